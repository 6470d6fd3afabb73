#include "signedanswers.h"

#include "answerobjects.h"
#include "checkedwrite.h"
#include "objectnames.h"
#include "releasekey.h"
#include "utctime.h"
#include "version.h"
#include "versionanswer.h"

#include <QFile>
#include <QString>

#include <json/reader.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

fs::path folderOf(const ReleaseStore& store)
{
    return store.root() / SignedAnswersFolder;
}

// Where a channel's answers lie: "stable" where an older server and verifier read them.
fs::path folderOf(const ReleaseStore& store, const Channel& channel)
{
    return channel.name == StableChannel ? folderOf(store) : folderOf(store) / ChannelAnswersFolder / channel.name;
}

std::vector<std::string> installedVersions(const ReleaseStore& store)
{
    std::vector<std::string> versions;
    for (const Release& release : store.releases()) {
        versions.push_back(release.version);
    }
    versions.push_back(AnyInstalledVersion);
    return versions;
}

// The releases older than the channel's version: the installations a halt keeps where they are.
std::vector<std::string> olderVersions(const ReleaseStore& store, const Channel& channel)
{
    std::vector<std::string> versions;
    for (const Release& release : store.releases()) {
        if (compareVersions(release.version.c_str(), channel.release->version.c_str()) < 0) {
            versions.push_back(release.version);
        }
    }
    return versions;
}

bool readWhole(const fs::path& path, std::string& text)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    return !stream.bad();
}

bool parse(const std::string& body, Json::Value& document)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(body.data(), body.data() + body.size(), &document, &errors) && document.isObject();
}

// What is wrong with the objects a signed answer names, one text per object: missing, or not
// the bytes it was signed with. Empty when they all are as signed.
std::vector<std::string> objectProblems(const Json::Value& document, const AnswerObjects& objects)
{
    std::vector<std::string> problems;
    const auto check = [&](const Json::Value& member, const std::string& name) {
        const ObjectFile* object = objects.find(name);
        if (!object) {
            problems.push_back("names the object " + name + ", which is not in objects/");
        } else if (!member["size"].isIntegral() || member["size"].asLargestInt() != object->size
            || member["sha256"].asString() != Sha256::toHex(object->sha256)) {
            problems.push_back("names the object " + name + " with another size or SHA-256 than objects/ holds");
        }
    };
    for (const char* key : { "u", "n" }) {
        for (const Json::Value& element : document[key]) {
            if (!element.isObject() || !element["sha256"].isString()) {
                continue;
            }
            const std::string to = element["sha256"].asString();
            if (element["packed"].isObject()) {
                check(element["packed"], delta::objectName(to));
            }
            if (element["patch"].isObject() && element["patch"]["from"].isString()) {
                check(element["patch"], delta::patchName(element["patch"]["from"].asString(), to));
            }
        }
    }
    return problems;
}

std::string answerName(const std::string& installed)
{
    return installed == AnyInstalledVersion ? std::string(AnyVersionAnswerName) : installed;
}

} // namespace

bool SignedAnswers::presentIn(const fs::path& releasesDir)
{
    std::error_code error;
    return fs::exists(releasesDir / SignedAnswersFolder, error);
}

bool SignedAnswers::load(const ReleaseStore& store, const Channels& channels, std::vector<std::string>& problems)
{
    const std::size_t problemsBefore = problems.size();
    answers.clear();
    nothingNewer.clear();
    base.clear();
    newest.clear();
    expiry.clear();
    AnswerObjects objects;
    if (!objects.load(store.root(), problems)) {
        return false;
    }

    for (const Channel& channel : channels.all()) {
        const fs::path folder = folderOf(store, channel);
        const std::string onChannel = channel.name == StableChannel ? std::string() : " on channel " + channel.name;
        for (const std::string& installed : installedVersions(store)) {
            const std::string name = answerName(installed);
            const fs::path bodyPath = folder / (name + ".json");
            SignedAnswer answer;
            if (!readWhole(bodyPath, answer.body)) {
                problems.push_back("no signed answer for "
                    + (installed == AnyInstalledVersion ? std::string("unknown versions") : installed) + onChannel + " ("
                    + bodyPath.string() + ")");
                continue;
            }
            if (!readWhole(fs::path(bodyPath.string() + ".sig"), answer.signature)) {
                problems.push_back("no signature beside " + bodyPath.string());
                continue;
            }
            while (!answer.signature.empty() && std::isspace(static_cast<unsigned char>(answer.signature.back()))) {
                answer.signature.pop_back();
            }
            Json::Value document;
            if (!parse(answer.body, document)) {
                problems.push_back(bodyPath.string() + " is no JSON object");
                continue;
            }
            const std::string version = document["version"].isString() ? document["version"].asString() : "";
            const std::string path = document["path"].isString() ? document["path"].asString() : "";
            const std::string suffix = "/" + version;
            if (version.empty() || !path.ends_with(suffix)) {
                problems.push_back(bodyPath.string() + " names no version and download base");
                continue;
            }
            if (version != channel.release->version) {
                problems.push_back(bodyPath.string() + " takes installations to " + version + ", but channel "
                    + channel.name + " is at " + channel.release->version);
                continue;
            }
            const std::string signedBase = path.substr(0, path.size() - suffix.size());
            if (base.empty()) {
                base = signedBase;
            } else if (signedBase != base) {
                problems.push_back(bodyPath.string() + " has another download base than the other answers");
                continue;
            }
            const std::string issued = document["issued"].isString() ? document["issued"].asString() : "";
            const std::string expires = document["expires"].isString() ? document["expires"].asString() : "";
            if (!parseUtcTime(expires)) {
                problems.push_back(bodyPath.string() + " has no expiry (\"expires\")");
                continue;
            }
            // Byte for byte what the releases, their objects and the channels give now, for the
            // same times and base: an answer must not send installations after an object that is
            // gone or other bytes, nor leave out one made since.
            if (answer.body != signedAnswerBody(store, objects, channel, installed, signedBase, issued, expires)) {
                const std::vector<std::string> objectFaults = objectProblems(document, objects);
                for (const std::string& fault : objectFaults) {
                    problems.push_back(bodyPath.string() + " " + fault);
                }
                if (objectFaults.empty()) {
                    problems.push_back(bodyPath.string()
                        + " no longer matches the releases and channels (files, sizes, hashes, objects or rollout changed)");
                }
                continue;
            }
            if (expiry.empty() || expires < expiry) {
                expiry = expires;
            }
            answers[channel.name].emplace(name, std::move(answer));
        }
        loadNothingNewer(store, channel, folder / HaltedAnswersFolder, problems);
    }
    if (problems.size() == problemsBefore) {
        newest = channels.find(StableChannel)->release->version;
    }
    return problems.size() == problemsBefore;
}

const SignedAnswer* SignedAnswers::forInstalled(
    const ReleaseStore& store, const Channel& channel, std::string_view installed) const
{
    const auto set = answers.find(channel.name);
    if (set == answers.end()) {
        return nullptr;
    }
    const std::string name(installed);
    if (store.releaseNamed(installed)) {
        const auto found = set->second.find(name);
        return found == set->second.end() ? nullptr : &found->second;
    }
    if (isUpToDate(store, installed, *channel.release)) {
        return nullptr;
    }
    const auto any = set->second.find(AnyVersionAnswerName);
    return any == set->second.end() ? nullptr : &any->second;
}

void SignedAnswers::loadNothingNewer(
    const ReleaseStore& store, const Channel& channel, const fs::path& folder, std::vector<std::string>& problems)
{
    std::error_code code;
    if (!fs::is_directory(folder, code)) {
        return;
    }
    for (const std::string& installed : olderVersions(store, channel)) {
        const fs::path bodyPath = folder / (installed + ".json");
        SignedAnswer answer;
        if (!readWhole(bodyPath, answer.body) || !readWhole(fs::path(bodyPath.string() + ".sig"), answer.signature)) {
            problems.push_back("no signed \"nothing newer\" answer for " + installed + " on channel " + channel.name
                + " (" + bodyPath.string() + "[.sig])");
            continue;
        }
        while (!answer.signature.empty() && std::isspace(static_cast<unsigned char>(answer.signature.back()))) {
            answer.signature.pop_back();
        }
        Json::Value document;
        const std::string path = parse(answer.body, document) && document["path"].isString() ? document["path"].asString() : "";
        const std::string suffix = "/" + installed;
        const std::string issued = document["issued"].isString() ? document["issued"].asString() : "";
        const std::string expires = document["expires"].isString() ? document["expires"].asString() : "";
        if (!path.ends_with(suffix) || !parseUtcTime(expires)
            || answer.body
                != nothingNewerBody(store, channel, installed, path.substr(0, path.size() - suffix.size()), issued, expires)) {
            problems.push_back(bodyPath.string() + " is no \"nothing newer\" answer for " + installed + " on channel "
                + channel.name + " as the releases and channels are now");
            continue;
        }
        if (expiry.empty() || expires < expiry) {
            expiry = expires;
        }
        nothingNewer[channel.name].emplace(installed, std::move(answer));
    }
}

const SignedAnswer* SignedAnswers::nothingNewerFor(const Channel& channel, std::string_view installed) const
{
    const auto set = nothingNewer.find(channel.name);
    if (set == nothingNewer.end()) {
        return nullptr;
    }
    const auto found = set->second.find(std::string(installed));
    return found == set->second.end() ? nullptr : &found->second;
}

std::map<std::string, SignedAnswer> SignedAnswers::all() const
{
    std::map<std::string, SignedAnswer> flat;
    for (const auto& [channel, set] : answers) {
        for (const auto& [name, answer] : set) {
            flat.emplace(channel == StableChannel ? name : channel + "/" + name, answer);
        }
    }
    return flat;
}

std::string nothingNewerBody(const ReleaseStore& store, const Channel& channel, std::string_view installed,
    const std::string& downloadBase, const std::string& issued, const std::string& expires)
{
    // Towards the installed release itself: its own version with empty lists, which a host
    // takes as nothing newer.
    Json::Value answer = versionAnswer(store, installed, *store.releaseNamed(installed), downloadBase, issued);
    addChannelTerms(answer, channel);
    answer["expires"] = expires;
    return answerBody(answer);
}

std::string signedAnswerBody(const ReleaseStore& store, const AnswerObjects& objects, const Channel& channel,
    std::string_view installed, const std::string& downloadBase, const std::string& issued, const std::string& expires)
{
    Json::Value answer = objects.addTo(versionAnswer(store, installed, *channel.release, downloadBase, issued), store,
        installed, downloadBase);
    addChannelTerms(answer, channel);
    answer["expires"] = expires;
    return answerBody(answer);
}

namespace {

// Removes the answers in folder that were not just written; with channelFolders, also the
// folders of channels that are gone.
bool removeOutdated(const fs::path& folder, const std::set<std::string>& written, const Channels* channelFolders,
    std::string& error)
{
    std::error_code code;
    for (auto it = fs::directory_iterator(folder, code); !code && it != fs::directory_iterator(); it.increment(code)) {
        const std::string name = it->path().filename().string();
        std::error_code removal;
        if (channelFolders) {
            if (it->is_directory(removal) && !channelFolders->find(name)) {
                fs::remove_all(it->path(), removal);
            }
        } else if (!written.contains(name) && (name.ends_with(".json") || name.ends_with(".json.sig"))) {
            fs::remove(it->path(), removal);
        }
        if (removal) {
            error = "cannot remove the outdated " + it->path().string() + ": " + removal.message();
            return false;
        }
    }
    return true;
}

} // namespace

namespace {

// Writes answer body and its signature beside it, the signature first: a body without its
// matching signature would be refused, never served with the old one.
bool writeSigned(const fs::path& path, const std::string& body, const SecretKey& key, std::string& error)
{
    const QString bodyPath = QFile::decodeName(path.c_str());
    QString reason;
    if (!writeFileChecked(bodyPath + QStringLiteral(".sig"), QByteArray::fromStdString(key.signBase64(body) + "\n"),
            &reason)
        || !writeFileChecked(bodyPath, QByteArray::fromStdString(body), &reason)) {
        error = "cannot write " + bodyPath.toStdString() + ": " + reason.toStdString();
        return false;
    }
    return true;
}

bool createFolder(const fs::path& folder, std::string& error)
{
    std::error_code code;
    fs::create_directories(folder, code);
    if (code) {
        error = "cannot create " + folder.string() + ": " + code.message();
        return false;
    }
    return true;
}

bool writeNothingNewer(const ReleaseStore& store, const Channel& channel, const SecretKey& key, const fs::path& folder,
    const std::string& downloadBase, const std::string& issued, const std::string& expires, std::string& error)
{
    if (!createFolder(folder, error)) {
        return false;
    }
    std::set<std::string> written;
    for (const std::string& installed : olderVersions(store, channel)) {
        const std::string name = installed + ".json";
        if (!writeSigned(folder / name, nothingNewerBody(store, channel, installed, downloadBase, issued, expires), key,
                error)) {
            return false;
        }
        written.insert(name);
        written.insert(name + ".sig");
    }
    return removeOutdated(folder, written, nullptr, error);
}

} // namespace

bool writeSignedAnswers(const ReleaseStore& store, const Channels& channels, const SecretKey& key,
    const std::string& downloadBase, const std::string& issued, const std::string& expires, std::string& error)
{
    AnswerObjects objects;
    std::vector<std::string> problems;
    if (!objects.load(store.root(), problems)) {
        error = problems.front();
        return false;
    }
    for (const Channel& channel : channels.all()) {
        const fs::path folder = folderOf(store, channel);
        if (!createFolder(folder, error)) {
            return false;
        }
        std::set<std::string> written;
        for (const std::string& installed : installedVersions(store)) {
            const std::string body
                = signedAnswerBody(store, objects, channel, installed, downloadBase, issued, expires);
            const std::string name = answerName(installed) + ".json";
            if (!writeSigned(folder / name, body, key, error)) {
                return false;
            }
            written.insert(name);
            written.insert(name + ".sig");
        }
        if (!removeOutdated(folder, written, nullptr, error)
            || !writeNothingNewer(store, channel, key, folder / HaltedAnswersFolder, downloadBase, issued, expires, error)) {
            return false;
        }
    }
    std::error_code code;
    const fs::path channelsFolder = folderOf(store) / ChannelAnswersFolder;
    if (fs::is_directory(channelsFolder, code) && !removeOutdated(channelsFolder, {}, &channels, error)) {
        return false;
    }
    return true;
}
