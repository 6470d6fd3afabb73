#include "patchformat.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace delta {

namespace {

constexpr char Magic[8] = { 'O', 'r', 'b', 'P', 'a', 't', 'c', 'h' };

void putU32(std::uint8_t* bytes, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[i] = std::uint8_t(value >> (8 * i));
    }
}

std::uint32_t getU32(const std::uint8_t* bytes)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

} // namespace

void putU64(std::uint8_t* bytes, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        bytes[i] = std::uint8_t(value >> (8 * i));
    }
}

std::uint64_t getU64(const std::uint8_t* bytes)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void writePatchHeader(const PatchHeader& header, std::uint8_t (&bytes)[PatchHeaderSize])
{
    std::memcpy(bytes, Magic, 8);
    putU32(bytes + 8, PatchFormatVersion);
    putU32(bytes + 12, std::uint32_t(header.method));
    putU64(bytes + 16, header.oldSize);
    putU64(bytes + 24, header.newSize);
    std::memcpy(bytes + 32, header.oldSha256.data(), 32);
    std::memcpy(bytes + 64, header.newSha256.data(), 32);
}

bool readPatchHeader(const std::uint8_t* bytes, std::size_t size, PatchHeader& header, std::string& error)
{
    if (size < PatchHeaderSize || std::memcmp(bytes, Magic, 8) != 0) {
        error = "not a patch of ours (no patch header)";
        return false;
    }
    const std::uint32_t version = getU32(bytes + 8);
    if (version != PatchFormatVersion) {
        error = "patch format version " + std::to_string(version) + " is not supported (this updater reads version "
            + std::to_string(PatchFormatVersion) + ")";
        return false;
    }
    const std::uint32_t method = getU32(bytes + 12);
    if (method != std::uint32_t(PatchMethod::Prefix) && method != std::uint32_t(PatchMethod::Difference)) {
        error = "unknown patch method " + std::to_string(method);
        return false;
    }
    header.method = PatchMethod(method);
    header.oldSize = getU64(bytes + 16);
    header.newSize = getU64(bytes + 24);
    std::memcpy(header.oldSha256.data(), bytes + 32, 32);
    std::memcpy(header.newSha256.data(), bytes + 64, 32);
    return true;
}

int prefixWindowLog(std::uint64_t oldSize, std::uint64_t newSize)
{
    // Sizes this large fit no window; saturate rather than wrap.
    if (oldSize > (std::uint64_t(1) << 62) || newSize > (std::uint64_t(1) << 62)) {
        return 64;
    }
    const std::uint64_t both = oldSize + newSize;
    return std::max(10, int(std::bit_width(both > 1 ? both - 1 : 1)));
}

} // namespace delta
