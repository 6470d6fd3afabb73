#include "signedenvelope.h"

#include "answersignature.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <set>

bool SignedEnvelope::read(const Json::Value& value, QString* why)
{
    const auto fail = [why](const char* text) {
        if (why) {
            *why = QString::fromLatin1(text);
        }
        return false;
    };
    signedText.clear();
    signatureList.clear();
    if (!value.isObject() || !value["signed"].isString() || !value["signatures"].isArray()) {
        return fail("is no signed document (\"signed\" text and \"signatures\")");
    }
    signedText = QByteArray::fromStdString(value["signed"].asString());
    for (const Json::Value& entry : value["signatures"]) {
        if (!entry.isObject() || !entry["key"].isString() || !entry["sig"].isString()) {
            return fail("has a signature without \"key\" and \"sig\"");
        }
        EnvelopeSignature signature;
        signature.key = decodeBase64Exactly(QByteArray::fromStdString(entry["key"].asString()), PublicKeyBytes);
        signature.signature = decodeBase64Exactly(QByteArray::fromStdString(entry["sig"].asString()), SignatureBytes);
        if (signature.key.isEmpty() || signature.signature.isEmpty()) {
            return fail("has a signature whose key or value is no base64 of the right size");
        }
        signatureList << signature;
    }
    return true;
}

bool SignedEnvelope::parse(const QByteArray& bytes, QString* why)
{
    Json::Value value;
    if (!parseStrictJson(bytes, value)) {
        if (why) {
            *why = QStringLiteral("is no JSON");
        }
        return false;
    }
    return read(value, why);
}

int SignedEnvelope::validSignatures(const QList<QByteArray>& keys) const
{
    std::set<QByteArray> counted;
    for (const EnvelopeSignature& entry : signatureList) {
        if (keys.contains(entry.key) && !counted.contains(entry.key)
            && signatureMadeBy(signedText, entry.signature, entry.key)) {
            counted.insert(entry.key);
        }
    }
    return int(counted.size());
}

Json::Value SignedEnvelope::toJson() const
{
    Json::Value value(Json::objectValue);
    value["signed"] = signedText.toStdString();
    Json::Value list(Json::arrayValue);
    for (const EnvelopeSignature& entry : signatureList) {
        Json::Value item(Json::objectValue);
        item["key"] = entry.key.toBase64().toStdString();
        item["sig"] = entry.signature.toBase64().toStdString();
        list.append(item);
    }
    value["signatures"] = list;
    return value;
}

std::string SignedEnvelope::toBytes() const
{
    return compactJson(toJson()) + "\n";
}

std::string compactJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

bool parseStrictJson(const QByteArray& bytes, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(bytes.constData(), bytes.constData() + bytes.size(), &value, &errors);
}
