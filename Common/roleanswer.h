#pragma once

// The check of an answer in a build that trusts root keys (ORBISNAP_ROOT_KEYS). The answer is
// the version answer (updatecheck.h) with three more members, which a reader that does not
// know them ignores:
//
//   "keys":       [ENVELOPE, ...]   the key documents (keydocument.h), in order of version
//   "manifest":   ENVELOPE          the manifest of the release the answer names
//   "assignment": ENVELOPE          the channel assignment
//
// and the whole body is signed, as the X-Orbisnap-Signature header, by an online key.
//
// The manifest, signed by the release threshold, holds every file of one release:
//   {"files": {PATH: {"sha256": H, "size": N}, ...}, "objects": {...},
//    "type": "orbisnap-manifest", "version": "1.0.4"}
// The channel assignment, signed by the release threshold, holds channels.json as the vendor
// signed it (every member a channel has):
//   {"channels": {"stable": {"version": "1.0.4"}, ...}, "type": "orbisnap-channels"}
//
// Accepted only when the key chain follows from the kept key document or the trusted root
// (keychain.h) to a document that has not expired; the body is signed by one of its online
// keys, has not expired and expires within MaxOnlineAnswerDays; manifest and assignment meet
// its release threshold; the channel asked about is assigned the version the answer and
// manifest name; every file to fetch is in the manifest with exactly that size and SHA-256,
// and every file to delete is one the manifest does not hold. The answer's "rollout" is then
// replaced by the assignment's. The newest key document is kept (keptPath) once accepted,
// never replaced by an older one.

#include "keydocument.h"

#include <json/value.h>

#include <QByteArray>
#include <QString>

inline constexpr char ManifestType[] = "orbisnap-manifest";
// The longest an online answer may be valid: one that expires later is refused.
inline constexpr int MaxOnlineAnswerDays = 31;
inline constexpr char AssignmentType[] = "orbisnap-channels";

// The root keys and threshold this build was configured with (ORBISNAP_ROOT_KEYS,
// ORBISNAP_ROOT_THRESHOLD); no keys when none.
const RoleKeys& compiledInRootKeys();

// Where the host named hostName keeps the newest key document it accepted: beside its rollout
// fraction, in the user's local data folder.
QString keptKeyDocumentPath(const QString& hostName);

// Checks body (with the header's signature) as above for an installation on channel. On
// success answer holds the parsed body and true is returned; otherwise why names the fault and
// nothing is written.
bool checkRoleAnswer(const QByteArray& body, const QByteArray& signatureBase64, const RoleKeys& root,
    const QString& keptPath, const QString& channel, Json::Value& answer, QString& why);
