#include "roledocuments.h"

#include "channels.h"
#include "checkedwrite.h"
#include "keychain.h"
#include "releasekey.h"
#include "roleanswer.h"
#include "utctime.h"

#include <QFile>

#include <fstream>
#include <set>
#include <iterator>

namespace fs = std::filesystem;

namespace {

fs::path signedFolder(const fs::path& releasesDir)
{
    return releasesDir / SignedAnswersFolder;
}

fs::path manifestPath(const fs::path& releasesDir, const std::string& version)
{
    return signedFolder(releasesDir) / ManifestsFolder / (version + ".json");
}

bool readBytes(const fs::path& path, QByteArray& bytes)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    bytes = QByteArray::fromStdString(text);
    return !stream.bad();
}

bool writeBytes(const fs::path& path, const std::string& bytes, std::string& error)
{
    std::error_code code;
    fs::create_directories(path.parent_path(), code);
    QString reason;
    if (code || !writeFileChecked(QFile::decodeName(path.c_str()), QByteArray::fromStdString(bytes), &reason)) {
        error = "cannot write " + path.string() + ": " + (code ? code.message() : reason.toStdString());
        return false;
    }
    return true;
}

Json::Value filesOf(const QByteArray& manifest)
{
    Json::Value document;
    return parseStrictJson(manifest, document) && document.isObject() ? document["files"] : Json::Value();
}

} // namespace

bool readEnvelope(const fs::path& path, SignedEnvelope& envelope, std::string& error)
{
    QByteArray bytes;
    if (!readBytes(path, bytes)) {
        error = path.string() + " is missing";
        return false;
    }
    QString why;
    if (!envelope.parse(bytes, &why)) {
        error = path.string() + " " + why.toStdString();
        return false;
    }
    return true;
}

bool keyDocumentPresent(const ReleaseStore& store)
{
    std::error_code code;
    return fs::exists(signedFolder(store.root()) / KeysFileName, code);
}

bool loadKeyChain(const fs::path& releasesDir, const QDateTime& now, QList<SignedEnvelope>& chain, KeyDocument& newest,
    std::vector<std::string>& problems)
{
    chain.clear();
    const fs::path folder = signedFolder(releasesDir) / KeysFolder;
    std::error_code code;
    for (qint64 version = 1; fs::exists(folder / (std::to_string(version) + ".json"), code); ++version) {
        SignedEnvelope envelope;
        std::string error;
        if (!readEnvelope(folder / (std::to_string(version) + ".json"), envelope, error)) {
            problems.push_back(error);
            return false;
        }
        KeyDocument document;
        QString why;
        if (!document.parse(envelope.text(), &why) || document.version() != version) {
            problems.push_back((folder / (std::to_string(version) + ".json")).string() + " "
                + (why.isEmpty() ? "is not key document version " + std::to_string(version) : why.toStdString()));
            return false;
        }
        chain << envelope;
    }
    if (chain.isEmpty()) {
        problems.push_back("no key document in " + folder.string() + " (orbisnap-release keys makes them)");
        return false;
    }
    KeyDocument first;
    first.parse(chain.front().text(), nullptr);
    if (!chain.front().meets(first.role(RootRole).keys, first.role(RootRole).threshold)) {
        problems.push_back("key document version 1 is not signed by the threshold of its own root keys");
        return false;
    }
    const KeyChainResult result = followKeyChain(chain, nullptr, first.role(RootRole), now);
    if (!result.accepted) {
        problems.push_back(result.why.toStdString());
        return false;
    }
    newest = result.newest;
    SignedEnvelope current;
    std::string error;
    if (!readEnvelope(signedFolder(releasesDir) / KeysFileName, current, error)) {
        problems.push_back(error);
        return false;
    }
    if (current.text() != newest.text()) {
        problems.push_back((signedFolder(releasesDir) / KeysFileName).string() + " is not the newest key document of "
            + folder.string());
        return false;
    }
    return true;
}

QByteArray publicKeyOf(const SecretKey& key)
{
    return QByteArray::fromBase64(QByteArray::fromStdString(key.publicKeyBase64()));
}

SignedEnvelope signDocument(const QByteArray& text, const std::vector<const SecretKey*>& keys)
{
    SignedEnvelope envelope;
    envelope.setText(text);
    for (const SecretKey* key : keys) {
        envelope.addSignature({ publicKeyOf(*key),
            QByteArray::fromBase64(QByteArray::fromStdString(key->signBase64(text.toStdString()))) });
    }
    return envelope;
}

QByteArray manifestText(const Release& release, const AnswerObjects& objects)
{
    Json::Value document(Json::objectValue);
    document["type"] = ManifestType;
    document["version"] = release.version;
    document["files"] = Json::Value(Json::objectValue);
    std::set<std::string> hashes;
    for (const auto& [path, file] : release.files) {
        Json::Value entry(Json::objectValue);
        entry["size"] = Json::Int64(file.size);
        entry["sha256"] = Sha256::toHex(file.sha256);
        document["files"][path] = entry;
        hashes.insert(Sha256::toHex(file.sha256));
    }
    // The objects that decode to one of its files: a compressed copy, or a patch to it.
    document["objects"] = Json::Value(Json::objectValue);
    for (const auto& [name, object] : objects.all()) {
        const auto dot = name.rfind('.');
        const auto dash = name.rfind('-');
        const std::string to = name.substr(dash == std::string::npos ? 0 : dash + 1,
            dot == std::string::npos ? std::string::npos : dot - (dash == std::string::npos ? 0 : dash + 1));
        if (hashes.contains(to)) {
            document["objects"][name]["size"] = Json::Int64(object.size);
            document["objects"][name]["sha256"] = Sha256::toHex(object.sha256);
        }
    }
    return QByteArray::fromStdString(compactJson(document));
}

bool assignmentText(const ReleaseStore& store, QByteArray& text, std::string& error)
{
    Json::Value channels(Json::objectValue);
    const fs::path file = store.root() / ChannelsFileName;
    std::error_code code;
    if (fs::exists(file, code)) {
        QByteArray bytes;
        Json::Value parsed;
        if (!readBytes(file, bytes) || !parseStrictJson(bytes, parsed) || !parsed.isObject()) {
            error = file.string() + " cannot be read as a JSON object";
            return false;
        }
        channels = parsed;
    } else {
        channels[StableChannel]["version"] = store.newest().version;
    }
    Json::Value document(Json::objectValue);
    document["type"] = AssignmentType;
    document["channels"] = channels;
    text = QByteArray::fromStdString(compactJson(document));
    return true;
}

bool writeKeyDocument(const fs::path& releasesDir, const SignedEnvelope& envelope, qint64 version, std::string& error)
{
    const fs::path folder = signedFolder(releasesDir);
    // The chain's member first: keys.json names only a document the chain holds.
    return writeBytes(folder / KeysFolder / (std::to_string(version) + ".json"), envelope.toBytes(), error)
        && writeBytes(folder / KeysFileName, envelope.toBytes(), error);
}

bool writeRoleDocuments(const ReleaseStore& store, const KeyDocument& keys, const std::vector<const SecretKey*>& secrets,
    std::vector<std::string>& notes, std::string& error)
{
    const RoleKeys& release = keys.role(ReleaseRole);
    AnswerObjects objects;
    std::vector<std::string> problems;
    if (!objects.load(store.root(), problems)) {
        error = problems.front();
        return false;
    }
    for (const Release& each : store.releases()) {
        const QByteArray text = manifestText(each, objects);
        const fs::path path = manifestPath(store.root(), each.version);
        SignedEnvelope existing;
        std::string unused;
        std::error_code code;
        if (fs::exists(path, code) && readEnvelope(path, existing, unused)) {
            if (filesOf(existing.text()) != filesOf(text)) {
                error = "release " + each.version + " is not what its signed manifest " + path.string()
                    + " holds: a signed release never changes; publish the change as a new version";
                return false;
            }
            if (existing.meets(release.keys, release.threshold)) {
                notes.push_back("manifest " + each.version + ": kept as signed");
                continue;
            }
            // Same files, signatures no longer enough (a release key was revoked): the text it
            // was signed with, signed anew.
            if (!writeBytes(path, signDocument(existing.text(), secrets).toBytes(), error)) {
                return false;
            }
            notes.push_back("manifest " + each.version + ": signed again with the current release keys");
            continue;
        }
        if (!writeBytes(path, signDocument(text, secrets).toBytes(), error)) {
            return false;
        }
        notes.push_back("manifest " + each.version + ": signed (" + std::to_string(each.files.size()) + " file(s))");
    }
    QByteArray assignment;
    if (!assignmentText(store, assignment, error)
        || !writeBytes(signedFolder(store.root()) / AssignmentFileName, signDocument(assignment, secrets).toBytes(),
            error)) {
        return false;
    }
    notes.push_back("channel assignment: signed");
    return true;
}

bool checkRoleDocuments(const ReleaseStore& store, const KeyDocument& keys, const std::vector<std::string>& versions,
    std::vector<std::string>& problems)
{
    const std::size_t before = problems.size();
    const RoleKeys& release = keys.role(ReleaseRole);
    AnswerObjects objects;
    objects.load(store.root(), problems);
    for (const std::string& version : versions) {
        const Release* each = store.releaseNamed(version);
        const fs::path path = manifestPath(store.root(), version);
        SignedEnvelope envelope;
        std::string error;
        if (!each || !readEnvelope(path, envelope, error)) {
            problems.push_back(error.empty() ? "no release " + version : error + " (run orbisnap-release sign)");
            continue;
        }
        const int valid = envelope.validSignatures(release.keys);
        if (valid < release.threshold) {
            problems.push_back(path.string() + " is signed by " + std::to_string(valid) + " of the "
                + std::to_string(release.threshold) + " release keys key document version "
                + std::to_string(keys.version()) + " requires");
        } else if (filesOf(envelope.text()) != filesOf(manifestText(*each, objects))) {
            problems.push_back(path.string() + " does not match release " + version + " as it is (files changed since "
                "it was signed)");
        }
    }
    const fs::path path = signedFolder(store.root()) / AssignmentFileName;
    SignedEnvelope envelope;
    std::string error;
    QByteArray current;
    if (!readEnvelope(path, envelope, error)) {
        problems.push_back(error + " (run orbisnap-release sign)");
    } else if (const int valid = envelope.validSignatures(release.keys); valid < release.threshold) {
        problems.push_back(path.string() + " is signed by " + std::to_string(valid) + " of the "
            + std::to_string(release.threshold) + " release keys key document version " + std::to_string(keys.version())
            + " requires");
    } else if (!assignmentText(store, current, error)) {
        problems.push_back(error);
    } else if (current != envelope.text()) {
        problems.push_back(path.string() + " does not match " + ChannelsFileName + " as it is (changed since it was "
            "signed; run orbisnap-release sign)");
    }
    return problems.size() == before;
}
