#pragma once

// SHA-256 by the system's own implementation: OpenSSL's libcrypto on POSIX, CNG on Windows,
// both of which use the processor's SHA instructions where it has them. Qt-free, so the update
// check's Sha256 and the patch library's ContentHash share it.
//
// A failure of the provider means the library itself is broken (out of memory); no digest can
// be trusted then, so the process stops rather than compare against a made-up one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using Sha256Bytes = std::array<std::uint8_t, 32>;

class Sha256Engine
{
public:
    Sha256Engine();
    ~Sha256Engine();
    Sha256Engine(const Sha256Engine&) = delete;
    Sha256Engine& operator=(const Sha256Engine&) = delete;

    // Starts a new digest, dropping whatever was added so far.
    void reset();
    void add(const void* data, std::size_t size);
    // The digest of everything added since the last reset; starts a new digest afterwards.
    Sha256Bytes finish();

    // 64 lower-case hex digits.
    static std::string toHex(const Sha256Bytes& digest);

private:
    struct State;
    State* state;
};

} // namespace platform
