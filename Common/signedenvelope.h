#pragma once

// A signed document as it travels and lies on disk: the exact bytes that were signed, carried
// as a JSON string, with the signatures beside them:
//
//   {"signatures": [{"key": PUB, "sig": SIG}, ...], "signed": "<the document's text>"}
//
// PUB is base64 of a 32-byte Ed25519 public key, SIG base64 of the 64-byte signature of the
// text's UTF-8 bytes. Signatures cover those bytes and nothing else, so no reader needs to
// re-serialize JSON the way the signer did; a reader that does not know a member of the
// envelope or of the document ignores it.

#include <json/value.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <string>

struct EnvelopeSignature
{
    QByteArray key;       // raw, 32 bytes
    QByteArray signature; // raw, 64 bytes
};

class SignedEnvelope
{
public:
    // Reads an envelope from its JSON value; false with *why set when it is none (a signature
    // entry that is not base64 of the right size makes it none, too).
    bool read(const Json::Value& value, QString* why);
    // The same from a file's bytes.
    bool parse(const QByteArray& bytes, QString* why);

    const QByteArray& text() const { return signedText; }
    const QList<EnvelopeSignature>& signatures() const { return signatureList; }

    // How many of keys (raw) made a valid signature of the text; each key counts once.
    int validSignatures(const QList<QByteArray>& keys) const;
    // Whether at least threshold (at least 1) of keys signed it.
    bool meets(const QList<QByteArray>& keys, int threshold) const
    {
        return threshold >= 1 && validSignatures(keys) >= threshold;
    }

    // The envelope as a JSON value, and as the bytes of a file.
    Json::Value toJson() const;
    std::string toBytes() const;

    void setText(const QByteArray& text) { signedText = text; }
    void addSignature(const EnvelopeSignature& signature) { signatureList << signature; }

private:
    QByteArray signedText;
    QList<EnvelopeSignature> signatureList;
};

// Compact JSON, UTF-8 as it is, members sorted: the text of every signed document.
std::string compactJson(const Json::Value& value);
// Strict JSON (no comments, nothing after the value) into value; false when it is none.
bool parseStrictJson(const QByteArray& bytes, Json::Value& value);
