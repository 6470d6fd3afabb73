#include "roleanswer.h"

#include "answersignature.h"
#include "checkedwrite.h"
#include "debugmessage.h"
#include "keychain.h"
#include "rolloutfraction.h"
#include "serverconfig.h"
#include "utctime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// A signed member's document: its envelope meets the release threshold, and its text is a
// JSON object of the type expected.
bool releaseSigned(const Json::Value& member, const char* name, const char* type, const KeyDocument& keys,
    Json::Value& document, QString& why)
{
    SignedEnvelope envelope;
    QString problem;
    if (!envelope.read(member, &problem)) {
        why = QStringLiteral("%1 %2").arg(QString::fromLatin1(name), problem);
        return false;
    }
    const RoleKeys& release = keys.role(ReleaseRole);
    const int valid = envelope.validSignatures(release.keys);
    if (valid < release.threshold) {
        why = QStringLiteral("%1 is signed by %2 of the %3 release keys key document version %4 requires")
                  .arg(QString::fromLatin1(name))
                  .arg(valid)
                  .arg(release.threshold)
                  .arg(keys.version());
        return false;
    }
    if (!parseStrictJson(envelope.text(), document) || !document.isObject() || document["type"] != type) {
        why = QStringLiteral("%1 is no %2 document").arg(QString::fromLatin1(name), QString::fromLatin1(type));
        return false;
    }
    return true;
}

// Every file to fetch is the manifest's, byte for byte, and no file to delete is.
bool matchesManifest(const Json::Value& answer, const Json::Value& files, QString& why)
{
    if (!files.isObject()) {
        why = QStringLiteral("the release's manifest lists no files");
        return false;
    }
    for (const char* list : { "u", "n", "d" }) {
        if (!answer[list].isNull() && !answer[list].isArray()) {
            why = QStringLiteral("%1 is not an array").arg(QString::fromLatin1(list));
            return false;
        }
    }
    for (const char* list : { "u", "n" }) {
        const Json::Value& entries = answer[list];
        for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
            const Json::Value& entry = entries[i];
            if (!entry.isObject()) {
                why = QStringLiteral("%1[%2] is not an object").arg(QString::fromLatin1(list)).arg(i);
                return false;
            }
            const std::string file = entry["file"].isString() ? entry["file"].asString() : std::string();
            const Json::Value& signedFile = files[file];
            const QString where = QStringLiteral("%1[%2] %3").arg(QString::fromLatin1(list)).arg(i).arg(QString::fromStdString(file));
            if (!signedFile.isObject()) {
                why = where + QStringLiteral(" is not in the release's manifest");
                return false;
            }
            if (!entry["size"].isIntegral() || !signedFile["size"].isIntegral()
                || entry["size"].asLargestInt() != signedFile["size"].asLargestInt()) {
                why = where + QStringLiteral(" has another size than the release's manifest");
                return false;
            }
            if (!entry["sha256"].isString() || entry["sha256"] != signedFile["sha256"]) {
                why = where + QStringLiteral(" has another SHA-256 than the release's manifest");
                return false;
            }
        }
    }
    const Json::Value& deleted = answer["d"];
    for (Json::ArrayIndex i = 0; i < deleted.size(); ++i) {
        const Json::Value& file = deleted[i].isObject() ? deleted[i]["file"] : Json::Value::nullSingleton();
        if (!file.isString() || files.isMember(file.asString())) {
            why = QStringLiteral("d[%1] deletes a file the release's manifest holds").arg(i);
            return false;
        }
    }
    return true;
}

bool readKept(const QString& path, SignedEnvelope& kept)
{
    QFile file(path);
    if (!file.exists()) {
        return false;
    }
    QString why;
    if (!file.open(QIODevice::ReadOnly) || !kept.parse(file.readAll(), &why)) {
        debugMessage("update check: the kept key document is unreadable, starting from the built-in root keys:", path);
        return false;
    }
    return true;
}

} // namespace

const RoleKeys& compiledInRootKeys()
{
    static const RoleKeys root = [] {
        RoleKeys keys;
        keys.keys = parsePublicKeys(RootPublicKeys);
        keys.threshold = RootKeyThreshold;
        return keys;
    }();
    return root;
}

QString keptKeyDocumentPath(const QString& hostName)
{
    return QFileInfo(rolloutFractionPath(hostName)).dir().filePath(QStringLiteral("keys.json"));
}

bool checkRoleAnswer(const QByteArray& body, const QByteArray& signatureBase64, const RoleKeys& root,
    const QString& keptPath, const QString& channel, Json::Value& answer, QString& why)
{
    if (!parseStrictJson(body, answer) || !answer.isObject() || !answer["keys"].isArray()) {
        why = QStringLiteral("the answer carries no key documents");
        return false;
    }
    QList<SignedEnvelope> chain;
    for (const Json::Value& member : answer["keys"]) {
        SignedEnvelope envelope;
        QString problem;
        if (!envelope.read(member, &problem)) {
            why = QStringLiteral("a key document %1").arg(problem);
            return false;
        }
        chain << envelope;
    }
    SignedEnvelope kept;
    const bool haveKept = readKept(keptPath, kept);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const KeyChainResult keys = followKeyChain(chain, haveKept ? &kept : nullptr, root, now);
    if (!keys.accepted) {
        why = keys.why;
        return false;
    }
    const RoleKeys& online = keys.newest.role(OnlineRole);
    if (online.threshold != 1) {
        why = QStringLiteral("the online threshold is not 1, which one answer signature cannot meet");
        return false;
    }
    const SignatureCheck signature = checkAnswerSignature(body, signatureBase64, online.keys);
    if (signature != SignatureCheck::Valid) {
        why = QStringLiteral("answer: %1 (online keys of key document version %2)")
                  .arg(QString::fromLatin1(signatureCheckText(signature)))
                  .arg(keys.newest.version());
        return false;
    }
    const auto expires = answer["expires"].isString() ? parseUtcTime(answer["expires"].asString()) : std::nullopt;
    if (!expires || *expires <= now) {
        why = QStringLiteral("the answer has expired or names no expiry");
        return false;
    }
    // Whoever holds the online key could otherwise sign one answer valid for years, and keep
    // installations on it long after the key was replaced.
    if (*expires > now.addDays(MaxOnlineAnswerDays)) {
        why = QStringLiteral("the answer expires more than %1 days ahead").arg(MaxOnlineAnswerDays);
        return false;
    }
    Json::Value manifest;
    Json::Value assignment;
    if (!releaseSigned(answer["manifest"], "manifest", ManifestType, keys.newest, manifest, why)
        || !releaseSigned(answer["assignment"], "channel assignment", AssignmentType, keys.newest, assignment, why)) {
        return false;
    }
    const Json::Value& assigned = assignment["channels"][channel.toStdString()];
    if (!assigned.isObject() || !assigned["version"].isString()) {
        why = QStringLiteral("the channel assignment has no channel %1").arg(channel);
        return false;
    }
    if (answer["version"] != assigned["version"] || manifest["version"] != assigned["version"]) {
        why = QStringLiteral("the answer or manifest names another version than the channel assignment gives "
                             "channel %1 (%2)")
                  .arg(channel, QString::fromStdString(assigned["version"].asString()));
        return false;
    }
    if (answer["channel"] != channel.toStdString()) {
        why = QStringLiteral("the answer is not for channel %1").arg(channel);
        return false;
    }
    if (!matchesManifest(answer, manifest["files"], why)) {
        return false;
    }
    if (assigned.isMember("rollout")) {
        answer["rollout"] = assigned["rollout"];
    } else {
        answer.removeMember("rollout");
    }
    KeyDocument keptDocument;
    const qint64 keptVersion = haveKept && keptDocument.parse(kept.text(), nullptr) ? keptDocument.version() : 0;
    if (keys.newest.version() > keptVersion) {
        QString problem;
        QDir().mkpath(QFileInfo(keptPath).absolutePath());
        if (!writeFileChecked(keptPath, QByteArray::fromStdString(keys.envelope.toBytes()), &problem)) {
            debugMessage("update check: the newest key document could not be kept:", keptPath, problem);
        }
    }
    return true;
}
