#pragma once

// Asynchronous requests with a completion callback. The request operations return at once
// with the reply in flight; the object and its manager live on the thread that constructed
// the object, which must run an event loop for the requests to progress. When a reply has
// finished, its whole body (zero bytes included) becomes the last reply's text and the
// callback given with that very request is called once, on that thread, with its user data,
// whether the reply failed or not. Several requests may be in flight at once. The reply is
// released after its callback; don't keep the returned pointer beyond it. Don't delete the
// object from inside a callback (use deleteLater).
//
// Requests are built as the blocking ones are (lenient URL, form body and headers, time limit,
// redirect policy; see NetworkAccessBlock).

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

using ReplyCallback = void (*)(void* userData);

class NetworkAccess final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NetworkAccess)

public:
    NetworkAccess();
    // Requests still in flight are abandoned: their callbacks are not called.
    ~NetworkAccess() override;

    // GET of url immediately followed by query. callback may be null.
    QNetworkReply* get(const QString& url, const QString& query, ReplyCallback callback, void* userData);
    // Form POST of parameters (already formatted as form data) as UTF-8.
    QNetworkReply* post(
        const QString& url, const QString& parameters, ReplyCallback callback, void* userData);
    // POST of body with request as given, time limit and redirect policy applied.
    QNetworkReply* post(
        const QNetworkRequest& request, const QByteArray& body, ReplyCallback callback, void* userData);

    // Text of the most recently finished reply; empty until one has finished. A callback reads
    // its own reply's text here.
    const QString& lastReplyText() const { return replyText; }

protected slots:
    void slot_replyFinished(QNetworkReply* reply);

private:
    struct Completion
    {
        ReplyCallback callback = nullptr;
        void* userData = nullptr;
    };

    QNetworkReply* track(QNetworkReply* reply, ReplyCallback callback, void* userData);

    QNetworkAccessManager* manager;
    QString replyText;
    // Each request's callback stays with its own reply until that reply has finished.
    QHash<QNetworkReply*, Completion> pending;
};
