#include "keydocument.h"

#include "answersignature.h"
#include "signedenvelope.h"
#include "utctime.h"

namespace {

bool readRole(const Json::Value& value, RoleKeys& role, QString& why)
{
    if (!value.isObject() || !value["keys"].isArray() || !value["threshold"].isInt()) {
        why = QStringLiteral("has no \"keys\" and \"threshold\"");
        return false;
    }
    for (const Json::Value& key : value["keys"]) {
        QList<QByteArray> bad;
        const QList<QByteArray> parsed
            = key.isString() ? parsePublicKeys(QByteArray::fromStdString(key.asString()), &bad) : QList<QByteArray>();
        if (parsed.size() != 1 || !bad.isEmpty() || role.keys.contains(parsed.front())) {
            why = QStringLiteral("has a key that is no usable public key, or a key twice");
            return false;
        }
        role.keys << parsed.front();
    }
    role.threshold = value["threshold"].asInt();
    if (role.threshold < 1 || role.threshold > role.keys.size()) {
        why = QStringLiteral("has a threshold its keys cannot meet");
        return false;
    }
    return true;
}

} // namespace

bool KeyDocument::parse(const QByteArray& text, QString* why)
{
    QString problem;
    Json::Value document;
    roles.clear();
    if (!parseStrictJson(text, document) || !document.isObject()) {
        problem = QStringLiteral("is no JSON object");
    } else if (document["type"] != KeyDocumentType) {
        problem = QStringLiteral("is no key document");
    } else if (!document["version"].isInt64() || document["version"].asInt64() < 1) {
        problem = QStringLiteral("has no version above 0");
    } else if (const auto until = document["expires"].isString() ? parseUtcTime(document["expires"].asString())
                                                                    : std::nullopt;
               !until) {
        problem = QStringLiteral("has no expiry (UTC)");
    } else {
        number = document["version"].asInt64();
        expiry = *until;
        for (const char* name : { RootRole, ReleaseRole, OnlineRole }) {
            QString roleProblem;
            if (!readRole(document["roles"][name], roles[name], roleProblem)) {
                problem = QStringLiteral("role %1 %2").arg(QString::fromLatin1(name), roleProblem);
                break;
            }
        }
    }
    if (!problem.isEmpty()) {
        if (why) {
            *why = problem;
        }
        return false;
    }
    documentText = text;
    return true;
}

const RoleKeys& KeyDocument::role(const char* name) const
{
    static const RoleKeys none;
    const auto found = roles.find(name);
    return found == roles.end() ? none : found->second;
}

QByteArray KeyDocument::make(qint64 version, const QDateTime& expires, const std::map<std::string, RoleKeys>& roles)
{
    Json::Value document(Json::objectValue);
    document["type"] = KeyDocumentType;
    document["version"] = Json::Int64(version);
    document["expires"] = utcTimeText(expires);
    for (const auto& [name, role] : roles) {
        Json::Value keys(Json::arrayValue);
        for (const QByteArray& key : role.keys) {
            keys.append(key.toBase64().toStdString());
        }
        document["roles"][name]["keys"] = keys;
        document["roles"][name]["threshold"] = role.threshold;
    }
    return QByteArray::fromStdString(compactJson(document));
}
