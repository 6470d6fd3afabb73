#pragma once

// Names of the objects `orbisnap-release pack` writes into a releases folder and the updater
// fetches, in one place for the publishing side, the server and the updater. Qt-free.
//
//   RELEASES/objects/SHA256.zst          compressed copy of the file whose SHA-256 is SHA256
//   RELEASES/objects/FROM-TO.patch       patch from the file whose SHA-256 is FROM to the file
//                                        whose SHA-256 is TO
//
// Digests are 64 lower-case hex digits, as in the version answer. An object is named by the
// content it decodes to (and, for a patch, the content it applies to), never by a release or a
// path: the same file in several releases shares one object, and an object never changes once
// written, so any cache may keep it forever. A name under objects/ without one of these forms
// (a temporary file being written, say) is no object.

#include <string>
#include <string_view>

namespace delta {

inline constexpr char ObjectsFolderName[] = "objects";
inline constexpr char CopySuffix[] = ".zst";
inline constexpr char PatchSuffix[] = ".patch";

// "SHA256.zst"
inline std::string objectName(std::string_view sha256)
{
    return std::string(sha256) + CopySuffix;
}

// "FROM-TO.patch"
inline std::string patchName(std::string_view fromSha256, std::string_view toSha256)
{
    std::string name(fromSha256);
    name += '-';
    name += toSha256;
    name += PatchSuffix;
    return name;
}

} // namespace delta
