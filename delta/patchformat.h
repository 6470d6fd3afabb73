#pragma once

// The patch object, FROM-TO.patch (see objectnames.h): a header of ours, then a body whose
// form the header's method names. Integers are little-endian.
//
//   magic       8 bytes   "OrbPatch"
//   version     u32       PatchFormatVersion (1); a reader refuses any other
//   method      u32       1 prefix, 2 difference; a reader refuses any other
//   old size    u64       size of the file the patch applies to
//   new size    u64       size of the file it makes
//   old sha256  32 bytes  SHA-256 of the file the patch applies to
//   new sha256  32 bytes  SHA-256 of the file it makes
//   body:
//     prefix      one zstd frame: the new file compressed with the old file as its prefix
//                 (the old file's bytes serve as history the frame's matches refer to)
//     difference  control size u64, diff size u64, extra size u64 (the three frames' sizes,
//                 which with the header make up the whole object), then three zstd frames:
//                   control  triples (add u64, copy u64, seek i64): take `add` bytes of the
//                            old file from the old position, each plus the next diff byte
//                            (mod 256); then `copy` bytes of the extra stream; then move the
//                            old position by `seek`
//                   diff     the byte-wise differences, `add` bytes per triple
//                   extra    bytes found nowhere in the old file, `copy` bytes per triple
//                 The old position starts at 0 and must stay within the old file, and every
//                 `add` range with it; the triples make exactly `new size` bytes, and each
//                 stream ends exactly where the triples stop taking from it.
//
// A reader trusts nothing of it: the header's old size and SHA-256 must be the very bytes it
// patches from, every value is checked against the bounds before use, and the output must be
// the header's new size and SHA-256.
//
// Memory: a compressed copy's frame and a difference's streams have windows of at most
// 2^DecodeWindowLogMax bytes, which readers enforce, so decoding them holds a bounded buffer
// whatever the file's size; only the old file is mapped. A prefix frame's window must span
// both files, and the decoder keeps the smaller of that window and the frame's stated content
// as history: so a prefix patch is made only for a new file of at most PrefixNewSizeMax bytes
// with a window of at most 2^PrefixWindowLogMax, and a reader refuses one whose frame does not
// state the header's new size. Bigger files are patched by difference, which streams.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace delta {

inline constexpr std::uint32_t PatchFormatVersion = 1;
inline constexpr std::size_t PatchHeaderSize = 96;
inline constexpr std::size_t DifferenceSizesSize = 24;
inline constexpr int DecodeWindowLogMax = 24;
inline constexpr std::uint64_t PrefixNewSizeMax = std::uint64_t(24) << 20;
inline constexpr int PrefixWindowLogMax = 27;

// The smallest window that holds both files (zstd takes 2^10 at least).
int prefixWindowLog(std::uint64_t oldSize, std::uint64_t newSize);

using Digest = std::array<std::uint8_t, 32>;

enum class PatchMethod : std::uint32_t {
    Prefix = 1,
    Difference = 2,
};

struct PatchHeader
{
    PatchMethod method = PatchMethod::Difference;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    Digest oldSha256 {};
    Digest newSha256 {};
};

void writePatchHeader(const PatchHeader& header, std::uint8_t (&bytes)[PatchHeaderSize]);
// False with the cause when the bytes are no patch header of a version and method we know.
bool readPatchHeader(const std::uint8_t* bytes, std::size_t size, PatchHeader& header, std::string& error);

// Little-endian integers as the format stores them.
void putU64(std::uint8_t* bytes, std::uint64_t value);
std::uint64_t getU64(const std::uint8_t* bytes);

} // namespace delta
