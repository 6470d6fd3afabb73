#pragma once

// SHA-256 for the patch library, with the updater's own provider (see sha256engine.h).

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
