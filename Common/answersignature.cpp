#include "answersignature.h"

#include "serverconfig.h"

#ifdef ORBISNAP_HAVE_SODIUM
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
        if (decodeExactly(text, PublicKeyBytes, key)) {
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
#ifdef ORBISNAP_HAVE_SODIUM
    return sodium_init() >= 0;
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
#ifdef ORBISNAP_HAVE_SODIUM
    for (const QByteArray& key : publicKeys) {
        if (key.size() == PublicKeyBytes
            && crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                   reinterpret_cast<const unsigned char*>(body.data()), std::size_t(body.size()),
                   reinterpret_cast<const unsigned char*>(key.constData()))
                == 0) {
            return SignatureCheck::Valid;
        }
    }
#else
    Q_UNUSED(body);
#endif
    return SignatureCheck::UnknownKey;
}
