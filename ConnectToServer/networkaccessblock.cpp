#include "networkaccessblock.h"

#include <QEventLoop>
#include <QImage>
#include <QNetworkAccessManager>
#include <QUrl>

void BlockingReplyDeleter::operator()(QNetworkReply* reply) const
{
    // The manager is the reply's parent; deleting it releases both.
    QObject* manager = reply->parent();
    if (manager) {
        delete manager;
    } else {
        delete reply;
    }
}

namespace {

BlockingReply finish(QNetworkAccessManager* manager, QNetworkReply* reply)
{
    NetworkAccessBlock::waitForFinished(manager);
    return BlockingReply(reply);
}

} // namespace

QNetworkRequest NetworkAccessBlock::makeRequest(const QString& url, int inactivityMs)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
        QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    request.setTransferTimeout(inactivityMs);
    return request;
}

BlockingReply NetworkAccessBlock::get(const QString& url, const QString& query, int inactivityMs)
{
    auto* manager = new QNetworkAccessManager;
    QNetworkReply* reply = manager->get(makeRequest(url + query, inactivityMs));
    return finish(manager, reply);
}

BlockingReply NetworkAccessBlock::post(const QString& url, const QString& parameters, int inactivityMs)
{
    const QByteArray body = parameters.toUtf8();
    QNetworkRequest request = makeRequest(url, inactivityMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    auto* manager = new QNetworkAccessManager;
    QNetworkReply* reply = manager->post(request, body);
    return finish(manager, reply);
}

BlockingReply NetworkAccessBlock::post(const QNetworkRequest& request, const QByteArray& body, int inactivityMs)
{
    QNetworkRequest limited = request;
    limited.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
        QNetworkRequest::NoLessSafeRedirectPolicy);
    limited.setMaximumRedirectsAllowed(MaxRedirects);
    limited.setTransferTimeout(inactivityMs);
    auto* manager = new QNetworkAccessManager;
    QNetworkReply* reply = manager->post(limited, body);
    return finish(manager, reply);
}

void NetworkAccessBlock::waitForFinished(QNetworkAccessManager* manager)
{
    // Completion is delivered through this thread's event loop, never from inside the call
    // that started the request, so arming the wait afterwards cannot miss it.
    QEventLoop loop;
    QObject::connect(manager, &QNetworkAccessManager::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

QString NetworkAccessBlock::readText(QNetworkReply* reply)
{
    QByteArray body = reply->readAll();
    const qsizetype zero = body.indexOf('\0');
    if (zero >= 0) {
        body.truncate(zero);
    }
    return QString::fromUtf8(body);
}

QImage NetworkAccessBlock::readImage(QNetworkReply* reply)
{
    return QImage::fromData(reply->readAll());
}
