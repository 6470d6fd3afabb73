#pragma once

// Signed version answers. The release signer signs the exact bytes of each answer body with
// Ed25519; the server sends the signature beside the body as the header
//
//   X-Orbisnap-Signature: <base64 of the 64-byte signature>
//
// and the update check verifies it against the public keys this build trusts before it reads
// a byte of the answer. Keys are base64 of the 32-byte Ed25519 public key; a list holds several
// separated by commas, so a vendor can roll over to a new key while the old one is still
// installed out there.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

inline constexpr int SignatureBytes = 64;
inline constexpr int PublicKeyBytes = 32;

enum class SignatureCheck {
    Valid,
    Unsigned,     // no signature came with the answer
    Malformed,    // the signature is no base64 of 64 bytes
    UnknownKey,   // no trusted key made it (signed by another key, or the body was altered)
    NoVerifier,   // this build has no Ed25519 implementation
    NoKeys,       // no trusted key was given
};

// Why an answer was refused, for a diagnostic.
const char* signatureCheckText(SignatureCheck check);

// The keys of a comma-separated list (blanks around keys ignored). A key that is no base64
// of 32 bytes, or no usable Ed25519 key (a point of small order), is left out and named in *bad
// (when given).
QList<QByteArray> parsePublicKeys(QByteArrayView list, QList<QByteArray>* bad = nullptr);

// The keys this build was configured with (ORBISNAP_RELEASE_PUBLIC_KEYS); empty when none.
const QList<QByteArray>& compiledInPublicKeys();

// Whether this build can verify signatures at all.
bool signatureVerifierAvailable();

// Checks signatureBase64 (the header's value) over body against each of publicKeys (raw 32-byte
// keys). Valid when one of them made it.
SignatureCheck checkAnswerSignature(
    QByteArrayView body, QByteArrayView signatureBase64, const QList<QByteArray>& publicKeys);

// Whether signature (raw, 64 bytes) over message was made by key (raw, 32 bytes): a
// canonical signature by a usable key. False too when this build has no verifier.
bool signatureMadeBy(QByteArrayView message, const QByteArray& signature, const QByteArray& key);

// The raw bytes of strict base64 of exactly `bytes` bytes; empty when text is anything else.
QByteArray decodeBase64Exactly(QByteArrayView text, qsizetype bytes);
