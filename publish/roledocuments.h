#pragma once

// The documents signed by roles, as they lie in DIR/signed (see Common/roleanswer.h for what a
// host checks):
//
//   DIR/signed/keys.json             the newest key document (Common/keydocument.h)
//   DIR/signed/keys/N.json           every key document by version, 1 to the newest: the
//                                    chain installations follow
//   DIR/signed/manifests/V.json      the manifest of release V, signed by the release threshold
//   DIR/signed/assignment.json       the channel assignment, likewise
//
// each a SignedEnvelope. A manifest never changes once signed: signing again an unchanged
// release keeps its manifest byte for byte (or signs the same text anew when its signatures no
// longer meet the release threshold, after a release key was revoked), and a release whose
// files changed is refused.

#include "answerobjects.h"
#include "keydocument.h"
#include "releasestore.h"
#include "signedenvelope.h"

#include <QDateTime>

#include <filesystem>
#include <string>
#include <vector>

class SecretKey;

inline constexpr char KeysFileName[] = "keys.json";
inline constexpr char KeysFolder[] = "keys";
inline constexpr char ManifestsFolder[] = "manifests";
inline constexpr char AssignmentFileName[] = "assignment.json";

// Whether DIR/signed/keys.json exists: the releases are then signed by roles.
bool keyDocumentPresent(const ReleaseStore& store);

// The key documents of DIR/signed/keys/, 1 to the newest, checked: each is signed by its own
// root threshold and, after the first, by that of the one before; keys.json is the newest;
// the newest has not expired at now. False with problems naming the fault.
bool loadKeyChain(const std::filesystem::path& releasesDir, const QDateTime& now, QList<SignedEnvelope>& chain,
    KeyDocument& newest, std::vector<std::string>& problems);

// Signs text with each key.
SignedEnvelope signDocument(const QByteArray& text, const std::vector<const SecretKey*>& keys);
// The raw 32 bytes of a key's public half.
QByteArray publicKeyOf(const SecretKey& key);

// The manifest's text for release, naming the objects there are for its files.
QByteArray manifestText(const Release& release, const AnswerObjects& objects);
// The channel assignment's text: channels.json's members as they are (every member of every
// channel), or {"stable": {"version": NEWEST}} without the file. False with error set when
// channels.json cannot be read.
bool assignmentText(const ReleaseStore& store, QByteArray& text, std::string& error);

// Writes the key document after newest (or the first when newest is null) into DIR/signed.
bool writeKeyDocument(const std::filesystem::path& releasesDir, const SignedEnvelope& envelope, qint64 version,
    std::string& error);

// Writes each release's manifest and the channel assignment signed with keys, which must meet
// the release threshold of keys.json. Lines of what was done go to notes. False with error set
// on the first fault, such as a release changed after its manifest was signed.
bool writeRoleDocuments(const ReleaseStore& store, const KeyDocument& keys, const std::vector<const SecretKey*>& secrets,
    std::vector<std::string>& notes, std::string& error);

// Checks the manifests of the versions named and the channel assignment in DIR/signed against
// keys and the releases as they are. False with problems naming each fault.
bool checkRoleDocuments(const ReleaseStore& store, const KeyDocument& keys, const std::vector<std::string>& versions,
    std::vector<std::string>& problems);

// The envelope read from path; false with error set when it is missing or no envelope.
bool readEnvelope(const std::filesystem::path& path, SignedEnvelope& envelope, std::string& error);
