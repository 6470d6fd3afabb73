#pragma once

// SHA-256, fed piece by piece as bytes arrive. The work is done by the platform's own
// implementation (OpenSSL's libcrypto on POSIX, CNG on Windows), which uses the processor's
// SHA instructions where it has them: the download pass hashes every byte it receives.

#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int Sha256Size = 32;
using Sha256Digest = std::array<std::uint8_t, Sha256Size>;

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Starts a new digest, dropping whatever was fed so far.
    void reset();
    void addData(const void* data, std::size_t size);
    void addData(QByteArrayView data) { addData(data.data(), std::size_t(data.size())); }
    // The digest of everything fed since the last reset; starts a new digest afterwards.
    Sha256Digest result();

    static Sha256Digest hash(QByteArrayView data);

    // The digest as 64 lower-case hex digits, the form the version-difference file and the
    // version answer carry.
    static std::string toHex(const Sha256Digest& digest);
    // Reads exactly 64 lower-case hex digits; anything else answers false and leaves digest.
    static bool fromHex(std::string_view text, Sha256Digest& digest);

private:
    struct State;
    State* state;
};

// Size and SHA-256 of a whole file, read in large pieces. On failure answers false with the
// cause (the system's error text) in *error when given.
bool hashFile(const QString& path, std::int64_t& size, Sha256Digest& digest, QString* error = nullptr);
