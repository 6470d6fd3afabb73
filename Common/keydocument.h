#pragma once

// The key document: which public keys hold which role, and how many of them must sign.
//
//   {"expires": "2027-12-08T10:00:00Z",
//    "roles": {"root":    {"keys": [PUB, ...], "threshold": 1},
//              "release": {"keys": [PUB, ...], "threshold": 1},
//              "online":  {"keys": [PUB, ...], "threshold": 1}},
//    "type": "orbisnap-keys", "version": 1}
//
// "root" keys only sign key documents; "release" keys sign what a release holds (its manifest)
// and which release each channel takes (the channel assignment); "online" keys sign the
// answers the server makes, which only keep them fresh. It travels in a SignedEnvelope whose
// signatures meet the threshold of its own root role and, from version 2 on, that of the
// version before it (keychain.h). PUB is base64 of 32 bytes.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <map>
#include <string>

inline constexpr char KeyDocumentType[] = "orbisnap-keys";
inline constexpr char RootRole[] = "root";
inline constexpr char ReleaseRole[] = "release";
inline constexpr char OnlineRole[] = "online";

struct RoleKeys
{
    QList<QByteArray> keys; // raw, 32 bytes each, no two alike
    int threshold = 1;      // 1 to keys.size()
};

class KeyDocument
{
public:
    // Reads the document's text; false with *why set unless it has a version above 0, a UTC
    // expiry and the three roles, each with usable keys and a threshold it can meet.
    bool parse(const QByteArray& text, QString* why);

    qint64 version() const { return number; }
    const QDateTime& expires() const { return expiry; }
    const RoleKeys& role(const char* name) const;
    const QByteArray& text() const { return documentText; }

    // The text of a new document.
    static QByteArray make(qint64 version, const QDateTime& expires, const std::map<std::string, RoleKeys>& roles);

private:
    qint64 number = 0;
    QDateTime expiry;
    std::map<std::string, RoleKeys> roles;
    QByteArray documentText;
};
