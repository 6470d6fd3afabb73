#include "uploadmanager.h"

#include "debugmessage.h"
#include "failurecause.h"
#include "networkaccessblock.h"
#include "serverconfig.h"
#include "useragent.h"

#include <QImage>
#include <QUrl>

#include <json/reader.h>
#include <json/value.h>

#include <cassert>
#include <exception>
#include <utility>

namespace {

// Values travel percent-encoded so that "&", "=", "+", "%" or "#" in a caller's text cannot
// forge or split fields; letters, digits, ".", "-", "_" and "~" go out unchanged.
QString encoded(const QString& value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

// ServerBaseUrl followed by the call's template, %1 filled with ProductPath.
QString callUrl(const char* pathTemplate)
{
    return QString::fromUtf8(ServerBaseUrl)
        + QString::fromLatin1(pathTemplate).arg(QString::fromLatin1(ProductPath));
}

// The same with %2 filled by value in the same pass, so a placeholder inside value stays as it is.
QString callUrl(const char* pathTemplate, const QString& value)
{
    return QString::fromUtf8(ServerBaseUrl)
        + QString::fromLatin1(pathTemplate).arg(QString::fromLatin1(ProductPath), value);
}

// Parses text as one JSON document of any shape, comments allowed and kept. The classic
// reader throws on documents nested deeper than its stack limit; that is a parse failure
// like any other, and nothing is thrown to the caller.
bool parseJson(const QString& text, Json::Value& root)
{
    const QByteArray utf8 = text.toUtf8();
    const char* begin = utf8.constData();
    // The classic reader in its default configuration: any value at the top level, comments
    // allowed, trailing text ignored. jsoncpp marks it deprecated in favour of CharReader,
    // whose defaults differ (it skips a byte-order mark, for one).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    try {
        return reader.parse(begin, begin + qstrlen(begin), root, true);
    } catch (const std::exception&) {
        return false;
    }
}

// The three host calls: a form POST whose answer, when it arrived without error, is parsed
// into root. A failed reply is not read and leaves root as it was.
bool postCall(const QString& url, const QString& parameters, Json::Value& root)
{
    BlockingReply reply = NetworkAccessBlock::post(url, parameters);
    if (NetworkAccessBlock::errorOf(reply.get()) != QNetworkReply::NoError) {
        return false;
    }
    return parseJson(NetworkAccessBlock::readText(reply.get()), root);
}

} // namespace

UploadManager* UploadManager::instance()
{
    // A function-local static is initialised exactly once even when two threads arrive at once.
    static UploadManager shared;
    return &shared;
}

bool UploadManager::getVersionDiff(const QString& version, Json::Value& root)
{
    QByteArray body;
    QByteArray signature;
    return getVersionAnswer(version, body, signature) && parseVersionAnswer(body, root);
}

bool UploadManager::getVersionAnswer(const QString& version, QByteArray& body, QByteArray& signature)
{
    return getVersionAnswer(version, QString(), body, signature);
}

bool UploadManager::getVersionAnswer(
    const QString& version, const QString& channel, QByteArray& body, QByteArray& signature)
{
    QString url = callUrl("/%1/getVersionDiff?version=%2", encoded(version));
    // Stable's request stays as it always was, which every server and cache knows.
    if (!channel.isEmpty() && channel != QLatin1String("stable")) {
        url += QStringLiteral("&channel=") + encoded(channel);
    }
    QNetworkRequest request = NetworkAccessBlock::makeRequest(url, NetworkAccessBlock::DefaultInactivityMs);
    request.setRawHeader("User-Agent", userAgent(RequestSender::UpdateCheck));
    BlockingReply reply = NetworkAccessBlock::get(request);
    const int error = NetworkAccessBlock::errorOf(reply.get());
    if (error != QNetworkReply::NoError) {
        debugMessage("checkVersion failed error code: ", error);
        FailureCause::print(FailureCause::ofReply(*reply, error));
        return false;
    }
    body = reply->readAll();
    signature = reply->rawHeader(VersionAnswerSignatureHeader);
    return true;
}

bool UploadManager::parseVersionAnswer(const QByteArray& body, Json::Value& root)
{
    const QString text = NetworkAccessBlock::textBeforeZero(body);
    if (!parseJson(text, root)) {
        debugMessage("parser json value failed .. :", text);
        debugMessage("reply: ", QString::fromUtf8(body));
        return false;
    }
    return true;
}

bool UploadManager::downloadFile(const char* url, QByteArray& data)
{
    const QString text = QString::fromUtf8(url);
    debugMessage("url:", text);
    QByteArray body;
    BlockingReply reply = NetworkAccessBlock::fetch(text, QString(), body);
    const int error = NetworkAccessBlock::errorOf(reply.get());
    if (error != QNetworkReply::NoError) {
        debugMessage("down load failed error code: ", error);
        FailureCause::print(FailureCause::ofReply(*reply, error));
        return false;
    }
    data = std::move(body);
    return true;
}

bool UploadManager::getProductInfo(const QString& version, Json::Value& root)
{
    const QString url = callUrl("/%1/getProductInfo?");
    const QString parameters = QStringLiteral("version=%1").arg(encoded(version));
    debugMessage(url);
    debugMessage(parameters);
    return postCall(url, parameters, root);
}

bool UploadManager::useReport(const QString& mac, const QString& version, const QString& computerName,
    const QString& userName, std::uint8_t useState, Json::Value& root, const QString& returnedFrom)
{
    QString parameters = QStringLiteral("mac=%1").arg(encoded(mac))
        + QStringLiteral("&version=%1").arg(encoded(version))
        + QStringLiteral("&computerName=%1").arg(encoded(computerName))
        + QStringLiteral("&userName=%1").arg(encoded(userName))
        + QStringLiteral("&useState=%1").arg(unsigned(useState));
    // An extra field, after the others: a server that does not know it ignores it.
    if (!returnedFrom.isEmpty()) {
        parameters += QStringLiteral("&returnedFrom=%1").arg(encoded(returnedFrom));
    }
    return postCall(callUrl("/%1/useReport?"), parameters, root);
}

bool UploadManager::getProductAd(Json::Value& root)
{
    return postCall(callUrl("/%1/getProductAd"), QString(), root);
}

bool UploadManager::downloadImage(const char* url, QImage* image)
{
    assert(image != nullptr);
    // Without assertions (NDEBUG) a null destination is still refused, not written through.
    if (!image) {
        return false;
    }
    BlockingReply reply = NetworkAccessBlock::get(QString::fromUtf8(url), QString());
    if (NetworkAccessBlock::errorOf(reply.get()) != QNetworkReply::NoError) {
        return false;
    }
    // QImage::loadFromData would null the image on undecodable data; the caller's picture is
    // kept instead, and the result tells whether there is a picture afterwards.
    const QImage loaded = QImage::fromData(reply->readAll());
    if (!loaded.isNull()) {
        *image = loaded;
    }
    return !image->isNull();
}
