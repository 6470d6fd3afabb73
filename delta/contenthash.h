#pragma once

// SHA-256 for the patch library, which stays Qt-free (the updater's Sha256 in Common is built on
// Qt types). Same providers as there: OpenSSL's libcrypto on POSIX, CNG on Windows.

#include "patchformat.h"

#include <cstddef>
#include <string>

namespace delta {

class ContentHash
{
public:
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash&) = delete;
    ContentHash& operator=(const ContentHash&) = delete;

    void add(const void* data, std::size_t size);
    // The digest of everything added; the object is spent afterwards.
    Digest finish();

    static Digest of(const void* data, std::size_t size);

private:
    struct State;
    State* state;
};

std::string toHex(const Digest& digest);

} // namespace delta
