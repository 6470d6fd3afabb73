#include "releasestore.h"

#include "objectnames.h"
#include "safepath.h"
#include "sha256.h"
#include "version.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace {

bool isValidUtf8(std::string_view text)
{
    const QByteArray bytes = QByteArray::fromRawData(text.data(), qsizetype(text.size()));
    // Decoding replaces every malformed, overlong or surrogate sequence, so only valid text
    // comes back byte for byte.
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

std::string lowerAscii(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return lower;
}

// Sizes and digests by file, so that each file is read at most once however many releases
// share it (symlinks).
class DigestCache
{
public:
    // False when the file cannot be read; error then holds the system's reason.
    bool digest(const fs::path& file, std::int64_t& size, Sha256Digest& digest, std::string& error)
    {
        auto [slot, inserted] = digests.try_emplace(file.native());
        if (inserted) {
            QString reason;
            slot->second.ok = hashFile(QFile::decodeName(file.c_str()), slot->second.size, slot->second.digest, &reason);
            slot->second.error = reason.toStdString();
        }
        size = slot->second.size;
        digest = slot->second.digest;
        error = slot->second.error;
        return slot->second.ok;
    }

private:
    struct Entry
    {
        bool ok = false;
        std::int64_t size = 0;
        Sha256Digest digest {};
        std::string error;
    };
    std::map<std::string, Entry> digests;
};

std::string quoted(const fs::path& path)
{
    return "\"" + path.string() + "\"";
}

} // namespace

const char* clientRefusal(std::string_view path)
{
    if (path.empty()) {
        return "empty path";
    }
    const char* reason = nullptr;
    if (!isSafeRelativePath(path, &reason)) {
        return reason;
    }
    if (path.size() > MaxRelativePathBytes) {
        return "path longer than 127 bytes";
    }
    for (const unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) {
            return "path holds a control character";
        }
        if (c == '\\') {
            return "path holds a backslash";
        }
        if (c == '?' || c == '#' || c == '%') {
            return "path holds \"?\", \"#\" or \"%\", which the client's download URL does not keep";
        }
        if (c == '<' || c == '>' || c == '"' || c == '|' || c == '*') {
            return "path holds a character that Windows file names cannot hold";
        }
    }
    if (!isValidUtf8(path)) {
        return "path is not valid UTF-8";
    }
    return nullptr;
}

bool isVersionName(std::string_view name)
{
    if (name.empty() || name.size() > MaxVersionBytes
        || !std::isdigit(static_cast<unsigned char>(name.front()))) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '+' || c == '~';
    });
}

bool ReleaseStore::contains(const fs::path& path) const
{
    const std::string& base = rootDir.native();
    const std::string& candidate = path.native();
    return candidate.size() > base.size() + 1 && candidate.compare(0, base.size(), base) == 0
        && candidate[base.size()] == '/';
}

const Release* ReleaseStore::releaseNamed(std::string_view version) const
{
    const auto found = std::find_if(
        all.begin(), all.end(), [&](const Release& release) { return release.version == version; });
    return found == all.end() ? nullptr : &*found;
}

VersionDiff diffBetween(const Release& from, const Release& to)
{
    VersionDiff diff;
    for (const auto& [path, file] : from.files) {
        const auto counterpart = to.files.find(path);
        if (counterpart == to.files.end()) {
            diff.deleted.push_back(path);
        } else if (file.size != counterpart->second.size || file.sha256 != counterpart->second.sha256) {
            diff.changed.push_back(path);
        }
    }
    for (const auto& [path, file] : to.files) {
        if (!from.files.contains(path)) {
            diff.added.push_back(path);
        }
    }
    return diff;
}

std::optional<VersionDiff> ReleaseStore::diffFrom(std::string_view installed, const Release& target) const
{
    if (&target == &newest()) {
        return diffFrom(installed);
    }
    const std::string text(installed);
    if (compareVersions(text.c_str(), target.version.c_str()) >= 0) {
        return std::nullopt;
    }
    for (const Release& release : all) {
        if (compareVersions(text.c_str(), release.version.c_str()) == 0) {
            return diffBetween(release, target);
        }
    }
    VersionDiff everything;
    for (const auto& [path, file] : target.files) {
        everything.added.push_back(path);
    }
    return everything;
}

std::optional<VersionDiff> ReleaseStore::diffFrom(std::string_view installed) const
{
    const std::string text(installed);
    if (compareVersions(text.c_str(), newest().version.c_str()) >= 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (compareVersions(text.c_str(), all[i].version.c_str()) == 0) {
            return diffs[i];
        }
    }
    VersionDiff everything;
    for (const auto& [path, file] : newest().files) {
        everything.added.push_back(path);
    }
    return everything;
}

bool ReleaseStore::load(
    const fs::path& dir, std::vector<std::string>& problems, std::vector<std::string>& warnings)
{
    const std::size_t problemsBefore = problems.size();
    all.clear();
    diffs.clear();
    productInfoDocument = Json::Value();
    adDocument = Json::Value();

    std::error_code error;
    if (!fs::is_directory(dir, error)) {
        problems.push_back("releases directory " + quoted(dir)
            + (fs::exists(dir, error) ? " is not a directory" : " does not exist"));
        return false;
    }
    rootDir = fs::canonical(dir, error);
    if (error) {
        problems.push_back("cannot resolve releases directory " + quoted(dir) + ": " + error.message());
        return false;
    }

    std::vector<fs::path> versionDirs;
    for (auto it = fs::directory_iterator(rootDir, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (name.starts_with('.') || name == SignedAnswersFolder || name == delta::ObjectsFolderName
            || !fs::is_directory(status)) {
            if (fs::is_symlink(status) && fs::is_directory(fs::status(it->path(), statusError))) {
                warnings.push_back("skipping " + quoted(it->path()) + ": a symlinked folder is no release");
            }
            continue;
        }
        if (!isVersionName(name)) {
            warnings.push_back("skipping folder " + quoted(it->path())
                + ": not a version name (a digit first, at most 30 letters, digits or \"._-+~\")");
            continue;
        }
        versionDirs.push_back(it->path());
    }
    if (error) {
        problems.push_back("cannot list releases directory " + quoted(rootDir) + ": " + error.message());
        return false;
    }
    if (versionDirs.empty()) {
        problems.push_back("releases directory " + quoted(rootDir) + " holds no version folder (expected "
            + (rootDir / "VERSION").string() + "/ with the installation tree of each version)");
        return false;
    }

    std::sort(versionDirs.begin(), versionDirs.end(), [](const fs::path& a, const fs::path& b) {
        return compareVersions(a.filename().c_str(), b.filename().c_str()) < 0;
    });
    for (std::size_t i = 1; i < versionDirs.size(); ++i) {
        if (compareVersions(versionDirs[i - 1].filename().c_str(), versionDirs[i].filename().c_str()) == 0) {
            problems.push_back("version folders " + quoted(versionDirs[i - 1]) + " and "
                + quoted(versionDirs[i]) + " name the same version");
        }
    }

    for (const fs::path& versionDir : versionDirs) {
        Release release;
        release.version = versionDir.filename().string();
        scanRelease(release, versionDir, problems);
        all.push_back(std::move(release));
    }
    readDocuments(problems);
    if (problems.size() != problemsBefore) {
        return false;
    }

    // Every file's size and SHA-256, the identity answers carry and releases are compared by.
    DigestCache cache;
    for (Release& release : all) {
        for (auto& [path, file] : release.files) {
            std::string reason;
            // Taken before the bytes are read: a file changed while it is hashed then shows
            // another time later, so nobody takes the hash for its bytes.
            std::error_code ignored;
            file.modified = fs::last_write_time(file.source, ignored);
            if (!cache.digest(file.source, file.size, file.sha256, reason)) {
                problems.push_back("release " + release.version + ": cannot read " + quoted(file.source) + ": " + reason);
            }
        }
    }
    if (problems.size() != problemsBefore) {
        return false;
    }
    for (const Release& release : all) {
        diffs.push_back(diffBetween(release, all.back()));
    }
    return problems.size() == problemsBefore;
}

void ReleaseStore::scanRelease(Release& release, const fs::path& dir, std::vector<std::string>& problems)
{
    std::map<std::string, std::string> byLowerCase;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path& entry = it->path();
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (fs::is_directory(status)) {
            continue;
        }
        const std::string relative = entry.lexically_relative(dir).generic_string();
        ReleaseFile file;
        file.source = entry;
        if (fs::is_symlink(status)) {
            const fs::path target = fs::canonical(entry, statusError);
            if (statusError) {
                problems.push_back(
                    "release " + release.version + ": symlink " + quoted(entry) + " points nowhere");
                continue;
            }
            if (!contains(target)) {
                problems.push_back("release " + release.version + ": symlink " + quoted(entry)
                    + " points outside the releases directory, to " + quoted(target));
                continue;
            }
            if (!fs::is_regular_file(fs::status(target, statusError))) {
                problems.push_back("release " + release.version + ": symlink " + quoted(entry)
                    + " points to something that is not a file");
                continue;
            }
            file.source = target;
        } else if (!fs::is_regular_file(status)) {
            problems.push_back(
                "release " + release.version + ": " + quoted(entry) + " is not a regular file");
            continue;
        }
        if (const char* refusal = clientRefusal(relative)) {
            problems.push_back("release " + release.version + ": file " + quoted(entry)
                + " cannot be taken by the client: " + refusal);
            continue;
        }
        const auto [sameCase, fresh] = byLowerCase.try_emplace(lowerAscii(relative), relative);
        if (!fresh) {
            problems.push_back("release " + release.version + ": files \"" + sameCase->second + "\" and \""
                + relative + "\" differ only in letter case, which Windows cannot keep apart");
            continue;
        }
        release.files.emplace(relative, std::move(file));
    }
    if (error) {
        problems.push_back(
            "release " + release.version + ": cannot list " + quoted(dir) + ": " + error.message());
    } else if (release.files.empty()) {
        problems.push_back("release " + release.version + ": folder " + quoted(dir)
            + " holds no file; as the newest it would tell every installation to delete everything");
    }
}

void ReleaseStore::readDocuments(std::vector<std::string>& problems)
{
    const auto read = [&](const char* name, Json::Value& document) {
        const fs::path path = rootDir / name;
        std::error_code error;
        if (!fs::exists(path, error)) {
            return;
        }
        std::ifstream stream(path, std::ios::binary);
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        std::string parseErrors;
        if (!stream || !Json::parseFromStream(builder, stream, &document, &parseErrors)) {
            problems.push_back(quoted(path) + " is no JSON document: " + parseErrors);
        }
    };
    read("product-info.json", productInfoDocument);
    read("ad.json", adDocument);
    if (!productInfoDocument.isNull() && !productInfoDocument.isObject()) {
        problems.push_back(quoted(rootDir / "product-info.json")
            + " must be an object keyed by version (\"*\" for any other)");
    }
}
