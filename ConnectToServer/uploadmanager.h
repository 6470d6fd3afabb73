#pragma once

// The server client. One shared instance (UploadManager::instance), created on first use from
// any thread and kept to process exit. Every call blocks the calling thread until its reply
// has finished (see NetworkAccessBlock: time limit, redirections), may be made from any
// thread once the application object exists, and keeps nothing between calls. Outputs are
// touched only as each call states; nothing is thrown.
//
// Server calls go to ServerBaseUrl + "/" + ProductPath + "/<call>"; every caller value is
// percent-encoded, so a server that decodes the query or form sees exactly the caller's text.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

class QImage;
namespace Json {
class Value;
}

class UploadManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadManager)

public:
    static UploadManager* instance();

    // Asks which files differ between `version` and the newest release (GET
    // .../getVersionDiff?version=...). True when the reply arrived without error and parsed as
    // one JSON document (of any shape) into root. Logs "checkVersion failed error code: " on
    // a failed reply (root untouched), or "parser json value failed .. :" with the text and
    // "reply: " with the raw body on an unparsable one.
    bool getVersionDiff(const QString& version, Json::Value& root);

    // The same request, the answer kept as it came: body gets the raw bytes and signature the
    // value of the signature header (empty when the reply has none), for a caller that
    // verifies the bytes before it reads them. True when the reply arrived without error;
    // logs "checkVersion failed error code: " otherwise and leaves both untouched.
    bool getVersionAnswer(const QString& version, QByteArray& body, QByteArray& signature);
    // The same for an installation on channel: "&channel=" + channel follows the version,
    // except for an empty channel or "stable", whose request is the one above.
    bool getVersionAnswer(const QString& version, const QString& channel, QByteArray& body, QByteArray& signature);
    // Parses an answer body as getVersionDiff does, with the same two messages on failure.
    static bool parseVersionAnswer(const QByteArray& body, Json::Value& root);

    // Fetches url (a complete URL) into data. On success data is replaced with the body
    // (possibly empty); on failure it is left as it was. Logs "url:" with the URL first, and
    // "down load failed error code: " on failure (a truncated body is a failure).
    bool downloadFile(const char* url, QByteArray& data);

    // The host application's further calls. Each is a form POST below the product path whose
    // JSON answer goes into root (untouched when the reply failed). Only getProductInfo logs:
    // its URL and its parameter text, before sending.
    bool getProductInfo(const QString& version, Json::Value& root);
    bool useReport(const QString& mac, const QString& version, const QString& computerName,
        const QString& userName, std::uint8_t useState, Json::Value& root, const QString& returnedFrom = QString());
    bool getProductAd(Json::Value& root);

    // Fetches url (a complete URL) as it is and loads the picture into *image, which must not
    // be null. Undecodable data leaves *image as it was. True when *image is not null
    // afterwards: a failed reply gives false and leaves *image untouched.
    bool downloadImage(const char* url, QImage* image);

private:
    UploadManager() = default;
};
