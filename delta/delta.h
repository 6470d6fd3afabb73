#pragma once

// Compressed copies and binary patches of release files: made by `orbisnap-release pack` when
// a release is published, decoded by the updater while it fetches.
//
// Objects, named by content in the releases folder's objects/ and never changed once written:
//
//   SHA256.zst              zstd frame of the file whose SHA-256 is SHA256
//   FROM-TO.patch           a patch that turns the file whose SHA-256 is FROM into the one
//                           whose SHA-256 is TO; its header (see patchformat.h) names the
//                           method, a format version, both sizes and both SHA-256
//
// Decoding never trusts the object: output is bounded by maxSize (the entry's size), a patch
// whose source is not the very bytes its header names is refused before any output, and the
// caller checks the result's size and SHA-256 as for any fetched file. Memory stays flat: the
// source of a patch is mapped, the output streams to the sink.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace delta {

// Where decoded bytes go; false stops the decoding (error names the sink's reason).
class Sink
{
public:
    virtual ~Sink() = default;
    virtual bool write(const std::uint8_t* data, std::size_t size, std::string& error) = 0;
};

// Decodes the compressed copy object into out. False with error naming the cause (a damaged
// frame, more than maxSize bytes, a sink failure).
bool decompress(const std::filesystem::path& object, std::uint64_t maxSize, Sink& out, std::string& error);

// Applies the patch object to oldFile into out. False with error naming the cause (a header
// that is not ours, oldFile's size or SHA-256 not the header's source, a damaged stream, more
// than maxSize bytes, a sink failure).
bool applyPatch(const std::filesystem::path& oldFile, const std::filesystem::path& patch, std::uint64_t maxSize,
    Sink& out, std::string& error);

} // namespace delta
