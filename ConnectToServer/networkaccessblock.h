#pragma once

// Blocking HTTP requests. Each request creates its own access manager on the calling thread
// and runs a local event loop there until the reply has finished, so any thread may call
// these (the download worker's own POSIX thread included) as long as the application object
// exists. While it waits, the calling thread's other events are still delivered, so a caller
// on the GUI thread must tolerate re-entry.
//
// The transport writes no log lines. Callers judge a finished reply by errorOf(reply), not by
// reply->error() alone: 0 is success; an HTTP status of 400 or more, a refused connection, a
// connection closed before the whole body arrived, a time-out and a refused or exhausted
// redirection are all non-zero.
//
// Redirections (301, 302, 303, 307, 308) are followed by this module, never from https to http,
// at most MaxRedirects hops, each hop over a fresh connection, and the final reply is the
// result. A refused redirection finishes the reply the caller gets with error() naming it
// (InsecureRedirectError to another scheme or from https to http, TooManyRedirectsError,
// ProtocolUnknownError without a Location), the last hop's status and headers, and an empty
// body. A 3xx reply that is not followed
// (300, 304, ...) is aborted, so no redirect page ever passes for the resource. A request that
// transfers no bytes for `inactivityMs` milliseconds is aborted and finishes as a failed reply
// (QNetworkReply::OperationCanceledError).
//
// Every request uses a manager of its own, hence a fresh connection. Bodies are asked for
// uncompressed ("Accept-Encoding: identity"). A request that names no User-Agent goes out as the
// host's (see useragent.h).

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>

#include <memory>

class QImage;
class QNetworkAccessManager;

// Owns a finished reply together with the manager that made it; both go when this does.
class BlockingReplyDeleter
{
public:
    void operator()(QNetworkReply* reply) const;
};
using BlockingReply = std::unique_ptr<QNetworkReply, BlockingReplyDeleter>;

class NetworkAccessBlock final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NetworkAccessBlock)

public:
    static constexpr int DefaultInactivityMs = 30000;
    static constexpr int MaxRedirects = 10;
    // What fetch() lets Qt buffer before the body is taken over.
    static constexpr qint64 FetchBufferBytes = 1 << 20;

    // GET of url immediately followed by query (no separator added). Returns the finished
    // reply, never null; its body is unread.
    static BlockingReply get(
        const QString& url, const QString& query, int inactivityMs = DefaultInactivityMs);
    // GET with request as given; only the time limit, the redirect policy, the Accept-Encoding
    // above and (when it names none) the host's User-Agent are applied to it.
    static BlockingReply get(const QNetworkRequest& request, int inactivityMs = DefaultInactivityMs);
    // Form POST: parameters (already formatted as form data by the caller) become the body as
    // UTF-8, with the form Content-Type and the body's Content-Length.
    static BlockingReply post(
        const QString& url, const QString& parameters, int inactivityMs = DefaultInactivityMs);
    // POST of body with request as given; only the time limit, the redirect policy and the
    // Accept-Encoding above are applied to it.
    static BlockingReply post(
        const QNetworkRequest& request, const QByteArray& body, int inactivityMs = DefaultInactivityMs);

    // GET like get(), but the body is taken into body as it arrives (body is replaced, not
    // appended to), so a large file is held in memory once rather than in Qt's buffers and
    // then again in a copy. Returns the finished reply with nothing left to read; body is
    // the caller's to use only when errorOf(reply) is 0.
    static BlockingReply fetch(
        const QString& url, const QString& query, QByteArray& body, int inactivityMs = DefaultInactivityMs);

    // The error code of a finished blocking reply: reply->error(), except that a reply whose
    // connection closed before the announced length had arrived is RemoteHostClosedError
    // even when Qt 6.4 finished it without error (it does so now and then), and a body
    // encoded although "identity" was asked for is UnknownContentError (judged on replies
    // without redirections only).
    static QNetworkReply::NetworkError errorOf(QNetworkReply* reply);

    // Returns once manager reports a finished reply.
    static void waitForFinished(QNetworkAccessManager* manager);

    // Body up to its first zero byte, decoded as UTF-8. Consumes the body: a second read
    // returns empty text.
    static QString readText(QNetworkReply* reply);
    // Body decoded as an image of whatever format the data shows; null when it is none.
    // Consumes the body.
    static QImage readImage(QNetworkReply* reply);
    // The text readText makes of a body: the bytes before the first zero byte, as UTF-8.
    static QString textBeforeZero(const QByteArray& body);

    // What every request of this module is built with, the asynchronous ones included.
    // The request for url, parsed leniently, with the time limit and the redirect policy.
    static QNetworkRequest makeRequest(const QString& url, int inactivityMs);
    // makeRequest plus the form Content-Type and a Content-Length of bodySize.
    static QNetworkRequest makeFormRequest(const QString& url, qsizetype bodySize, int inactivityMs);
    // request with the time limit, the redirect policy, Accept-Encoding identity and, when it
    // names none, the host's User-Agent applied.
    static QNetworkRequest withPolicy(QNetworkRequest request, int inactivityMs);
    // Arms the abort of a 3xx reply that Qt does not follow; call right after starting.
    static void refuseUnfollowedRedirect(QNetworkReply* reply);
    // Where a redirection reply leads: NoError with *target set, or why it is not followed
    // (ProtocolUnknownError without a Location; InsecureRedirectError to a scheme other than
    // http and https, or from https to http).
    static QNetworkReply::NetworkError redirectTarget(const QNetworkReply* reply, QUrl* target);

private:
    NetworkAccessBlock() = default;
    // Sends request (a POST of body when post is set), following redirections hop by hop;
    // taken (when given) receives the final hop's body as it arrives.
    static BlockingReply exchange(QNetworkRequest request, bool post, const QByteArray& body, QByteArray* taken);
    static void takeBody(QNetworkReply* reply, QByteArray& body);
};
