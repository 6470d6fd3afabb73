#pragma once

// Blocking HTTP requests. Each request creates its own access manager on the calling thread
// and runs a local event loop there until the reply has finished, so any thread may call
// these (the download worker's own POSIX thread included) as long as the application object
// exists. The transport judges nothing: callers test reply->error() (0 is success; any HTTP
// status of 400 or more, a refused connection or a time-out is non-zero).
//
// Redirections are followed (never from https to http, at most MaxRedirects hops) and the
// final reply is the result. A request that transfers no bytes for `inactivityMs` is aborted
// and finishes as a failed reply.

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

    // GET of url immediately followed by query (no separator added).
    static BlockingReply get(const QString& url, const QString& query,
        int inactivityMs = DefaultInactivityMs);
    // Form POST: parameters are sent as the body, already formatted by the caller.
    static BlockingReply post(const QString& url, const QString& parameters,
        int inactivityMs = DefaultInactivityMs);
    // POST of body with request as given (time limit and redirect policy are added).
    static BlockingReply post(const QNetworkRequest& request, const QByteArray& body,
        int inactivityMs = DefaultInactivityMs);

    // Returns once manager reports a finished reply.
    static void waitForFinished(QNetworkAccessManager* manager);

    // Body up to its first zero byte, decoded as UTF-8. Consumes the body.
    static QString readText(QNetworkReply* reply);
    // Body decoded as an image of any format the data shows; null when it is none.
    static QImage readImage(QNetworkReply* reply);

    // The request both GET and form POST build: lenient URL parsing, time limit, redirects.
    static QNetworkRequest makeRequest(const QString& url, int inactivityMs);

private:
    NetworkAccessBlock() = default;
};
