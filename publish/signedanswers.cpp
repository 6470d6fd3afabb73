#include "signedanswers.h"

#include "answerobjects.h"
#include "objectnames.h"
#include "checkedwrite.h"
#include "releasekey.h"
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

// The answer's bytes as they are signed: the version answer with the objects it can name.
std::string answerWithObjects(const ReleaseStore& store, const AnswerObjects& objects, const std::string& installed,
    const std::string& base, const std::string& issued)
{
    return answerBody(objects.addTo(versionAnswer(store, installed, base, issued), store, installed, base));
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

bool SignedAnswers::load(const ReleaseStore& store, std::vector<std::string>& problems)
{
    const std::size_t problemsBefore = problems.size();
    answers.clear();
    base.clear();
    newest.clear();
    const fs::path folder = folderOf(store);
    AnswerObjects objects;
    if (!objects.load(store.root(), problems)) {
        return false;
    }

    std::vector<std::string> installedVersions;
    for (const Release& release : store.releases()) {
        installedVersions.push_back(release.version);
    }
    installedVersions.push_back(AnyInstalledVersion);

    for (const std::string& installed : installedVersions) {
        const std::string name = answerName(installed);
        const fs::path bodyPath = folder / (name + ".json");
        SignedAnswer answer;
        if (!readWhole(bodyPath, answer.body)) {
            problems.push_back("no signed answer for " + (installed == AnyInstalledVersion ? std::string("unknown versions") : installed) + " (" + bodyPath.string() + ")");
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
            problems.push_back(bodyPath.string() + " names no newest version and download base");
            continue;
        }
        if (version != store.newest().version) {
            problems.push_back(bodyPath.string() + " takes installations to " + version + ", but the newest release is "
                + store.newest().version);
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
        // Byte for byte what the releases and their objects give now, for the same time and
        // download base: an answer must not send installations after an object that is gone or
        // other bytes, nor leave out one made since.
        if (answer.body != answerWithObjects(store, objects, installed, signedBase, issued)) {
            const std::vector<std::string> objectFaults = objectProblems(document, objects);
            for (const std::string& fault : objectFaults) {
                problems.push_back(bodyPath.string() + " " + fault);
            }
            if (objectFaults.empty()) {
                problems.push_back(bodyPath.string()
                    + " no longer matches the releases (files, sizes, hashes or objects changed)");
            }
            continue;
        }
        answers.emplace(name, std::move(answer));
    }
    if (problems.size() == problemsBefore) {
        newest = store.newest().version;
    }
    return problems.size() == problemsBefore;
}

const SignedAnswer* SignedAnswers::forInstalled(const ReleaseStore& store, std::string_view installed) const
{
    const std::string name(installed);
    if (store.releaseNamed(installed)) {
        const auto found = answers.find(name);
        return found == answers.end() ? nullptr : &found->second;
    }
    if (isUpToDate(store, installed)) {
        return nullptr;
    }
    const auto any = answers.find(AnyVersionAnswerName);
    return any == answers.end() ? nullptr : &any->second;
}

bool writeSignedAnswers(const ReleaseStore& store, const SecretKey& key, const std::string& downloadBase,
    const std::string& issued, std::string& error)
{
    const fs::path folder = folderOf(store);
    std::error_code code;
    fs::create_directories(folder, code);
    if (code) {
        error = "cannot create " + folder.string() + ": " + code.message();
        return false;
    }
    AnswerObjects objects;
    std::vector<std::string> problems;
    if (!objects.load(store.root(), problems)) {
        error = problems.front();
        return false;
    }
    std::set<std::string> written;
    std::vector<std::string> installedVersions;
    for (const Release& release : store.releases()) {
        installedVersions.push_back(release.version);
    }
    installedVersions.push_back(AnyInstalledVersion);
    for (const std::string& installed : installedVersions) {
        const std::string body = answerWithObjects(store, objects, installed, downloadBase, issued);
        const std::string name = answerName(installed) + ".json";
        const QString bodyPath = QFile::decodeName((folder / name).c_str());
        QString reason;
        // The signature first: a body without its matching signature beside it would be
        // refused, never served with the old one.
        if (!writeFileChecked(bodyPath + QStringLiteral(".sig"), QByteArray::fromStdString(key.signBase64(body) + "\n"), &reason)
            || !writeFileChecked(bodyPath, QByteArray::fromStdString(body), &reason)) {
            error = "cannot write " + bodyPath.toStdString() + ": " + reason.toStdString();
            return false;
        }
        written.insert(name);
        written.insert(name + ".sig");
    }
    for (auto it = fs::directory_iterator(folder, code); !code && it != fs::directory_iterator(); it.increment(code)) {
        const std::string name = it->path().filename().string();
        if (!written.contains(name) && (name.ends_with(".json") || name.ends_with(".json.sig"))) {
            std::error_code removal;
            if (!fs::remove(it->path(), removal) && removal) {
                error = "cannot remove the outdated " + it->path().string() + ": " + removal.message();
                return false;
            }
        }
    }
    return true;
}
