#include "answerobjects.h"

#include "objectnames.h"

#include <QFile>
#include <QString>

namespace fs = std::filesystem;

namespace {

bool isHex64(std::string_view text)
{
    Sha256Digest digest;
    return Sha256::fromHex(text, digest);
}

// Whether name is one objectnames.h makes.
bool isObjectName(const std::string& name)
{
    if (name.size() == 64 + std::string_view(delta::CopySuffix).size()) {
        return isHex64(std::string_view(name).substr(0, 64)) && delta::objectName(name.substr(0, 64)) == name;
    }
    if (name.size() == 64 + 1 + 64 + std::string_view(delta::PatchSuffix).size()) {
        const std::string from = name.substr(0, 64);
        const std::string to = name.substr(65, 64);
        return isHex64(from) && isHex64(to) && delta::patchName(from, to) == name;
    }
    return false;
}

Json::Value describe(const ObjectFile& object)
{
    Json::Value value(Json::objectValue);
    value["size"] = Json::Int64(object.size);
    value["sha256"] = Sha256::toHex(object.sha256);
    return value;
}

} // namespace

std::string objectsUrl(const std::string& downloadBase)
{
    return downloadBase + "/" + delta::ObjectsFolderName;
}

bool AnswerObjects::load(const fs::path& releasesDir, std::vector<std::string>& problems)
{
    objects.clear();
    const fs::path folder = releasesDir / delta::ObjectsFolderName;
    std::error_code code;
    if (!fs::is_directory(folder, code)) {
        return true;
    }
    const std::size_t before = problems.size();
    for (auto it = fs::directory_iterator(folder, code); !code && it != fs::directory_iterator(); it.increment(code)) {
        const std::string name = it->path().filename().string();
        std::error_code statusCode;
        if (!isObjectName(name) || !fs::is_regular_file(it->symlink_status(statusCode))) {
            continue;
        }
        ObjectFile object;
        object.source = it->path();
        std::error_code ignored;
        object.modified = fs::last_write_time(object.source, ignored);
        QString error;
        if (!hashFile(QFile::decodeName(it->path().c_str()), object.size, object.sha256, &error)) {
            problems.push_back("cannot read the object " + it->path().string() + ": " + error.toStdString());
            continue;
        }
        objects.emplace(name, std::move(object));
    }
    if (code) {
        problems.push_back("cannot list " + folder.string() + ": " + code.message());
    }
    return problems.size() == before;
}

const ObjectFile* AnswerObjects::find(const std::string& name) const
{
    const auto found = objects.find(name);
    return found == objects.end() ? nullptr : &found->second;
}

Json::Value AnswerObjects::addTo(Json::Value answer, const ReleaseStore& store, std::string_view installed,
    const std::string& downloadBase) const
{
    if (objects.empty() || !answer.isObject()) {
        return answer;
    }
    const Release* installedRelease = store.releaseNamed(installed);
    bool named = false;
    for (const char* key : { "u", "n" }) {
        Json::Value& list = answer[key];
        if (!list.isArray()) {
            continue;
        }
        for (Json::Value& element : list) {
            if (!element["sha256"].isString()) {
                continue;
            }
            const std::string to = element["sha256"].asString();
            if (const ObjectFile* packed = find(delta::objectName(to))) {
                element["packed"] = describe(*packed);
                named = true;
            }
            if (std::string_view(key) != "u" || !installedRelease) {
                continue;
            }
            const auto old = installedRelease->files.find(element["file"].asString());
            if (old == installedRelease->files.end()) {
                continue;
            }
            const std::string from = Sha256::toHex(old->second.sha256);
            if (const ObjectFile* patch = find(delta::patchName(from, to))) {
                Json::Value value = describe(*patch);
                value["from"] = from;
                element["patch"] = value;
                named = true;
            }
        }
    }
    if (named) {
        answer["objects"] = objectsUrl(downloadBase);
    }
    return answer;
}
