#include "answersignature.h"

#include "serverconfig.h"

#if defined(ORBISNAP_HAVE_SODIUM)
#include <sodium.h>
#endif

namespace {

// Strict base64: a value with stray characters or the wrong length is no key and no signature.
bool decodeExactly(QByteArrayView text, qsizetype bytes, QByteArray& out)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != bytes) {
        return false;
    }
    out = decoded.decoded;
    return true;
}

// A key whose y is not below p = 2^255 - 19, or whose point has a zero coordinate (y = 0, 1 or
// p - 1), is no key keygen makes; such a point has a small order, so it would let anyone sign.
bool degenerateKey(const QByteArray& key)
{
    static const QByteArray p = QByteArray::fromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    QByteArray y = key;
    y[31] = char(y[31] & 0x7f); // the sign of x
    const auto byte = [](const QByteArray& bytes, int at) { return static_cast<unsigned char>(bytes[at]); };
    if (y == QByteArray(32, '\0') || y == QByteArray(1, '\1') + QByteArray(31, '\0')
        || y == QByteArray(1, char(byte(p, 0) - 1)) + p.mid(1)) {
        return true;
    }
    for (int at = 31; at >= 0; --at) {
        if (byte(y, at) != byte(p, at)) {
            return byte(y, at) > byte(p, at);
        }
    }
    return true; // y == p
}

// Whether the signature's s is below the group order L, as RFC 8032 requires; otherwise s + L
// would be a second signature of the same answer.
bool canonicalSignature(const QByteArray& signature)
{
    static const unsigned char order[32] = { 0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2,
        0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x10 };
    for (int at = 31; at >= 0; --at) {
        const auto byte = static_cast<unsigned char>(signature[32 + at]);
        if (byte != order[at]) {
            return byte < order[at];
        }
    }
    return false; // s == L
}

#if defined(ORBISNAP_HAVE_SODIUM)

bool verifierReady()
{
    return sodium_init() >= 0;
}

bool madeBy(QByteArrayView body, const QByteArray& signature, const QByteArray& key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
               reinterpret_cast<const unsigned char*>(body.data()), std::size_t(body.size()),
               reinterpret_cast<const unsigned char*>(key.constData()))
        == 0;
}

#endif

} // namespace

const char* signatureCheckText(SignatureCheck check)
{
    switch (check) {
    case SignatureCheck::Valid:
        return "signature valid";
    case SignatureCheck::Unsigned:
        return "the answer is not signed";
    case SignatureCheck::Malformed:
        return "the signature is not base64 of 64 bytes";
    case SignatureCheck::UnknownKey:
        return "the signature is not by a trusted key (or the answer was altered)";
    case SignatureCheck::NoVerifier:
        return "this build cannot verify signatures";
    case SignatureCheck::NoKeys:
        return "no trusted release key";
    }
    return "";
}

QList<QByteArray> parsePublicKeys(QByteArrayView list, QList<QByteArray>* bad)
{
    QList<QByteArray> keys;
    for (const QByteArray& item : list.toByteArray().split(',')) {
        const QByteArray text = item.trimmed();
        if (text.isEmpty()) {
            continue;
        }
        QByteArray key;
        if (decodeExactly(text, PublicKeyBytes, key) && !degenerateKey(key)) {
            keys << key;
        } else if (bad) {
            *bad << text;
        }
    }
    return keys;
}

const QList<QByteArray>& compiledInPublicKeys()
{
    static const QList<QByteArray> keys = parsePublicKeys(ReleasePublicKeys);
    return keys;
}

bool signatureVerifierAvailable()
{
#if defined(ORBISNAP_HAVE_SODIUM)
    return verifierReady();
#else
    return false;
#endif
}

SignatureCheck checkAnswerSignature(
    QByteArrayView body, QByteArrayView signatureBase64, const QList<QByteArray>& publicKeys)
{
    if (signatureBase64.trimmed().isEmpty()) {
        return SignatureCheck::Unsigned;
    }
    QByteArray signature;
    if (!decodeExactly(signatureBase64.trimmed(), SignatureBytes, signature)) {
        return SignatureCheck::Malformed;
    }
    if (publicKeys.isEmpty()) {
        return SignatureCheck::NoKeys;
    }
    if (!signatureVerifierAvailable()) {
        return SignatureCheck::NoVerifier;
    }
#if defined(ORBISNAP_HAVE_SODIUM)
    if (!canonicalSignature(signature)) {
        return SignatureCheck::UnknownKey;
    }
    for (const QByteArray& key : publicKeys) {
        if (key.size() == PublicKeyBytes && !degenerateKey(key) && madeBy(body, signature, key)) {
            return SignatureCheck::Valid;
        }
    }
#else
    Q_UNUSED(body);
#endif
    return SignatureCheck::UnknownKey;
}

bool signatureMadeBy(QByteArrayView message, const QByteArray& signature, const QByteArray& key)
{
#if defined(ORBISNAP_HAVE_SODIUM)
    return signature.size() == SignatureBytes && key.size() == PublicKeyBytes && signatureVerifierAvailable()
        && canonicalSignature(signature) && !degenerateKey(key) && madeBy(message, signature, key);
#else
    Q_UNUSED(message);
    Q_UNUSED(signature);
    Q_UNUSED(key);
    return false;
#endif
}

QByteArray decodeBase64Exactly(QByteArrayView text, qsizetype bytes)
{
    QByteArray out;
    return decodeExactly(text, bytes, out) ? out : QByteArray();
}
