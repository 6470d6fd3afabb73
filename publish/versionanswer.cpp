#include "versionanswer.h"

#include "version.h"

#include <json/writer.h>

#include <array>
#include <ctime>

namespace {

Json::Value fileList(const Release& target, const std::vector<std::string>& paths, bool withDigest)
{
    Json::Value list(Json::arrayValue);
    for (const std::string& path : paths) {
        Json::Value entry(Json::objectValue);
        entry["file"] = path;
        if (withDigest) {
            const ReleaseFile& file = target.files.at(path);
            entry["size"] = Json::Int64(file.size);
            entry["sha256"] = Sha256::toHex(file.sha256);
        }
        list.append(entry);
    }
    return list;
}

} // namespace

bool isUpToDate(const ReleaseStore& store, std::string_view installed)
{
    return installed != AnyInstalledVersion && !store.diffFrom(installed);
}

bool isUpToDate(const ReleaseStore& store, std::string_view installed, const Release& target)
{
    return installed != AnyInstalledVersion && !store.diffFrom(installed, target);
}

Json::Value versionAnswer(const ReleaseStore& store, std::string_view installed, const std::string& downloadBase,
    const std::string& issued)
{
    return versionAnswer(store, installed, store.newest(), downloadBase, issued);
}

Json::Value versionAnswer(const ReleaseStore& store, std::string_view installed, const Release& target,
    const std::string& downloadBase, const std::string& issued)
{
    VersionDiff diff;
    if (installed == AnyInstalledVersion) {
        for (const auto& [path, file] : target.files) {
            diff.added.push_back(path);
        }
    } else if (const std::optional<VersionDiff> needed = store.diffFrom(installed, target)) {
        diff = *needed;
    }
    Json::Value document(Json::objectValue);
    document["version"] = target.version;
    document["path"] = downloadBase + "/" + target.version;
    document["installed"] = std::string(installed);
    document["issued"] = issued;
    document["u"] = fileList(target, diff.changed, true);
    document["d"] = fileList(target, diff.deleted, false);
    document["n"] = fileList(target, diff.added, true);
    return document;
}

std::string answerBody(const Json::Value& answer)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, answer);
}

std::string utcNow()
{
    std::array<char, 32> stamp {};
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return stamp.data();
}
