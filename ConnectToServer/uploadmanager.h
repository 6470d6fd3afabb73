#pragma once

// The server client. One shared instance (UploadManager::instance), created on first use from
// any thread and kept to process exit. Every call blocks the calling thread until its reply
// has finished (see NetworkAccessBlock) and keeps nothing between calls.

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

    // Asks which files differ between `version` and the newest release. True when the reply
    // arrived without error and parsed as one JSON document (of any shape) into root.
    bool getVersionDiff(const QString& version, Json::Value& root);

    // Fetches url (a complete URL) into data. On success data is replaced with the body
    // (possibly empty); on failure it is left as it was.
    bool downloadFile(const char* url, QByteArray& data);

    // The host application's further calls. Each is a form POST below the product path whose
    // JSON answer goes into root; values are percent-encoded.
    bool getProductInfo(const QString& version, Json::Value& root);
    bool useReport(const QString& mac, const QString& version, const QString& computerName,
        const QString& userName, std::uint8_t useState, Json::Value& root);
    bool getProductAd(Json::Value& root);

    // Fetches url (a complete URL) as it is and loads the picture into *image, which must not
    // be null. Undecodable data leaves *image as it was. True when *image is not null
    // afterwards: a failed reply gives false and leaves *image untouched.
    bool downloadImage(const char* url, QImage* image);

private:
    UploadManager() = default;
};
