#pragma once

// Making compressed copies and patches (see delta.h for the objects, patchformat.h for the
// patch's bytes). Run where releases are published: a patch may take minutes and, for the
// suffix array of the old file, several times its size in memory; decoding takes neither.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace delta {

// The compressed copy of the file: one zstd frame at level 19 with long-distance matching, its
// content size and a checksum.
bool makeCompressedCopy(const std::filesystem::path& file, std::vector<std::uint8_t>& object, std::string& error);

enum class PatchChoice {
    Smaller,        // both methods where the prefix method can be used, the smaller kept
    PrefixOnly,     // fails where the files do not fit the prefix method's window
    DifferenceOnly,
};

// Whether the prefix method may be used for these sizes: the new file small enough for the
// decoder to hold, both files within its window (see patchformat.h).
bool prefixMethodFits(std::uint64_t oldSize, std::uint64_t newSize);

// The patch that turns oldFile into newFile.
bool makePatch(const std::filesystem::path& oldFile, const std::filesystem::path& newFile,
    std::vector<std::uint8_t>& patch, std::string& error, PatchChoice choice = PatchChoice::Smaller);

} // namespace delta
