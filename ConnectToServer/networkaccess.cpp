#include "networkaccess.h"

#include "networkaccessblock.h"
#include "networkproxies.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

NetworkAccess::NetworkAccess()
    : manager((NetworkProxies::applyToQt(), new QNetworkAccessManager(this)))
{
    connect(manager, &QNetworkAccessManager::finished, this, &NetworkAccess::slot_replyFinished);
}

NetworkAccess::~NetworkAccess()
{
    // The manager goes first and unheard, so that no reply finishing as it is torn down
    // reaches a half-destroyed object.
    disconnect(manager, nullptr, this, nullptr);
    delete manager;
}

QNetworkReply* NetworkAccess::get(
    const QString& url, const QString& query, ReplyCallback callback, void* userData)
{
    QNetworkRequest request
        = NetworkAccessBlock::makeRequest(url + query, NetworkAccessBlock::DefaultInactivityMs);
    return track(manager->get(request), callback, userData);
}

QNetworkReply* NetworkAccess::post(
    const QString& url, const QString& parameters, ReplyCallback callback, void* userData)
{
    const QByteArray body = parameters.toUtf8();
    const QNetworkRequest request
        = NetworkAccessBlock::makeFormRequest(url, body.size(), NetworkAccessBlock::DefaultInactivityMs);
    return track(manager->post(request, body), callback, userData);
}

QNetworkReply* NetworkAccess::post(
    const QNetworkRequest& request, const QByteArray& body, ReplyCallback callback, void* userData)
{
    const QNetworkRequest limited
        = NetworkAccessBlock::withPolicy(request, NetworkAccessBlock::DefaultInactivityMs);
    return track(manager->post(limited, body), callback, userData);
}

QNetworkReply* NetworkAccess::track(QNetworkReply* reply, ReplyCallback callback, void* userData)
{
    // The finished notification comes through the event loop, never from inside the call that
    // started the request, so the callback is in place before it can be needed.
    NetworkAccessBlock::refuseUnfollowedRedirect(reply);
    pending.insert(reply, Completion { callback, userData });
    return reply;
}

void NetworkAccess::slot_replyFinished(QNetworkReply* reply)
{
    // The whole body: unlike NetworkAccessBlock::readText this keeps zero bytes. An aborted
    // reply is closed and has no body left.
    replyText = reply->isOpen() ? QString::fromUtf8(reply->readAll()) : QString();
    const Completion completion = pending.take(reply);
    if (completion.callback) {
        completion.callback(completion.userData);
    }
    reply->deleteLater();
}
