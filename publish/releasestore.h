#pragma once

// The releases directory, read once at start-up and kept unchanged while the server runs
// (publish a release, then restart the server):
//
//   DIR/
//     VERSION/...          the whole installation tree of one version, e.g. DIR/1.0.4/bin/core.dll
//     product-info.json    optional, answers getProductInfo
//     ad.json              optional, answers getProductAd
//     signed/              optional, the signed version answers (see signedanswers.h)
//     objects/             optional, compressed copies and patches (see delta/objectnames.h)
//
// A version folder's name starts with a digit, is at most 30 bytes and holds only letters,
// digits and ". _ - + ~" (the client writes it as one token of 31 bytes with its "v"). Folders
// whose names start with "." are ignored; other folders that are no version name are skipped
// with a warning. Versions are ordered by compareVersions; two names that compare equal (1.01
// and 1.1) are an error, since a client could not tell which one it has.
//
// Every file of every release must be one the client can take, else the release is refused and
// the server does not start: a release served without one of its files would leave
// installations that match no release. The client takes a relative path when it passes
// isSafeRelativePath, is at most 127 bytes of UTF-8, and survives the client's download URL and
// the Windows file system: no "\", "?", "#", "%", "<", ">", "\"", "|", "*" or control
// character, and no two paths of one release that differ only in letter case. A symlink is
// taken for the file it points to when that is a regular file inside DIR; any other symlink
// (outside DIR, dangling, to a folder) and any special file is an error. A version folder
// holding no file is an error too: as the newest it would tell every client to delete
// everything.

#include "sha256.h"

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t MaxVersionBytes = 30;
inline constexpr std::size_t MaxRelativePathBytes = 127;
// The folder of the releases directory that holds the signed answers; never a release.
inline constexpr char SignedAnswersFolder[] = "signed";

struct ReleaseFile
{
    std::filesystem::path source; // the bytes to serve; a symlink's resolved target
    std::int64_t size = 0;        // as read at start-up
    Sha256Digest sha256 {};       // likewise
    std::filesystem::file_time_type modified {}; // taken just before it was hashed
};

struct Release
{
    std::string version;
    std::map<std::string, ReleaseFile> files; // "/"-separated relative path, sorted by bytes
};

// What an installation of one version needs to become the newest, each list sorted by bytes.
// A file counts as changed when its size or SHA-256 differs.
struct VersionDiff
{
    std::vector<std::string> changed;
    std::vector<std::string> deleted;
    std::vector<std::string> added;
};

class ReleaseStore
{
public:
    // Reads dir. False when it cannot be served; problems then names every folder or file at
    // fault. warnings names what was skipped.
    bool load(const std::filesystem::path& dir, std::vector<std::string>& problems,
        std::vector<std::string>& warnings);

    const std::filesystem::path& root() const { return rootDir; }
    // Oldest first; never empty after a successful load.
    const std::vector<Release>& releases() const { return all; }
    const Release& newest() const { return all.back(); }

    // The release whose folder is named exactly version; null when none.
    const Release* releaseNamed(std::string_view version) const;

    // What installed needs: nullopt when installed is the newest or newer; every file of the
    // newest in `added` when no release compares equal to installed.
    std::optional<VersionDiff> diffFrom(std::string_view installed) const;
    // The same towards target, one of releases(): nullopt when installed is target or newer.
    std::optional<VersionDiff> diffFrom(std::string_view installed, const Release& target) const;

    // The documents of DIR/product-info.json and DIR/ad.json; null values when absent.
    const Json::Value& productInfo() const { return productInfoDocument; }
    const Json::Value& advertisement() const { return adDocument; }

    // Whether path (absolute, normalised) lies inside the releases directory.
    bool contains(const std::filesystem::path& path) const;

private:
    void scanRelease(Release& release, const std::filesystem::path& dir, std::vector<std::string>& problems);
    void readDocuments(std::vector<std::string>& problems);

    std::filesystem::path rootDir;
    std::vector<Release> all;
    std::vector<VersionDiff> diffs; // diffs[i]: from all[i] to the newest
    Json::Value productInfoDocument;
    Json::Value adDocument;
};

// What an installation of from needs to become to.
VersionDiff diffBetween(const Release& from, const Release& to);

// Why the client could not take relative path; nullptr when it can.
const char* clientRefusal(std::string_view path);

// Whether name can be a version folder's name.
bool isVersionName(std::string_view name);
