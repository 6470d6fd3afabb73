#pragma once

// The difference between two files in the form the difference method stores (see
// patchformat.h), before compression. The idea is bsdiff's (Colin Percival, "Naive differences
// of executable code"): code that changed little between two builds mostly matches the old
// code byte for byte except for addresses that moved, often by one constant. Stored as
// byte-wise differences against an approximate match, those addresses become runs of the same
// few small values, which compress far better than the new bytes themselves.
//
// Matches are found with a suffix array of the old file (libdivsufsort), then extended forward
// and backward for as long as at least half of the bytes agree, so an approximate match absorbs
// the changed bytes between exact ones.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace delta {

struct Difference
{
    std::vector<std::uint8_t> control; // triples (add u64, copy u64, seek i64), little-endian
    std::vector<std::uint8_t> diff;
    std::vector<std::uint8_t> extra;
};

// False when the old file is too big for the suffix array (2 GiB and more).
bool computeDifference(const std::uint8_t* oldBytes, std::size_t oldSize, const std::uint8_t* newBytes,
    std::size_t newSize, Difference& difference);

} // namespace delta
