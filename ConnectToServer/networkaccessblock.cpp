#include "networkaccessblock.h"

#include "failurecause.h"
#include "networkproxies.h"
#include "useragent.h"

#include <QEventLoop>
#include <QImage>
#include <QNetworkAccessManager>
#include <QUrl>

#include <new>

void BlockingReplyDeleter::operator()(QNetworkReply* reply) const
{
    // The manager is the reply's parent; deleting it releases both, and with them the
    // manager's connection and its worker thread.
    QObject* manager = reply->parent();
    if (manager) {
        delete manager;
    } else {
        delete reply;
    }
}

namespace {

// Statuses that Qt's HTTP layer treats as redirections: it follows them or fails the reply.
bool followedStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 || status == 308;
}

// The Content-Length of the latest hop, -1 when it announced none. After a 307 or 308 Qt may
// join the headers of the hops ("18, 5"), and QNetworkReply::header() answers the first one.
qint64 announcedLength(const QNetworkReply* reply)
{
    const QByteArray joined = reply->rawHeader("Content-Length");
    if (joined.isEmpty()) {
        return -1;
    }
    bool valid = false;
    const qint64 length = joined.mid(joined.lastIndexOf(',') + 1).trimmed().toLongLong(&valid);
    return valid && length >= 0 ? length : -1;
}

// Room for the announced length, so the body grows without copies. A length past any sane
// file is not reserved (the body then grows as it arrives); nor is one the memory refuses.
void reserveFor(QByteArray& body, qint64 length)
{
    constexpr qint64 maxReserve = qint64(1) << 31;
    if (length <= 0 || length > maxReserve) {
        return;
    }
    try {
        body.reserve(qsizetype(length));
    } catch (const std::bad_alloc&) {
    }
}

// Marks a reply that Qt finished without error although fewer bytes arrived than announced.
constexpr char IncompleteProperty[] = "incompleteBody";

// What the caller gets in place of a redirection this module refused: the hop's status, headers
// and request, the refusal as its error, and no body, so that a caller who checks error() alone
// never takes a redirect page for the resource.
class RefusedRedirectReply final : public QNetworkReply
{
public:
    RefusedRedirectReply(const QNetworkReply& hop, QNetworkReply::NetworkError refusal, QObject* parent)
        : QNetworkReply(parent)
    {
        setRequest(hop.request());
        setUrl(hop.url());
        setOperation(hop.operation());
        for (const RawHeaderPair& header : hop.rawHeaderPairs()) {
            setRawHeader(header.first, header.second);
        }
        for (const QNetworkRequest::Attribute attribute :
            { QNetworkRequest::HttpStatusCodeAttribute, QNetworkRequest::HttpReasonPhraseAttribute }) {
            setAttribute(attribute, hop.attribute(attribute));
        }
        setError(refusal, describe(refusal, hop));
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        setFinished(true);
    }

    void abort() override { }
    qint64 bytesAvailable() const override { return 0; }

protected:
    qint64 readData(char*, qint64) override { return -1; }

private:
    static QString describe(QNetworkReply::NetworkError refusal, const QNetworkReply& hop)
    {
        const QString where = hop.url().toDisplayString();
        switch (refusal) {
        case QNetworkReply::TooManyRedirectsError:
            return QStringLiteral("more than %1 redirections, the last from %2").arg(NetworkAccessBlock::MaxRedirects).arg(where);
        case QNetworkReply::InsecureRedirectError:
            return QStringLiteral("redirection from %1 to \"%2\" refused")
                .arg(where, QString::fromUtf8(hop.rawHeader("Location")));
        default:
            return QStringLiteral("redirection without a Location from %1").arg(where);
        }
    }
};

// Hands the caller a refusal in place of the finished hop; the hop goes at once, the refusal
// with the manager like any other reply.
BlockingReply refuse(BlockingReply hop, QNetworkReply::NetworkError refusal)
{
    QObject* manager = hop->parent();
    auto* refused = new RefusedRedirectReply(*hop, refusal, manager);
    if (manager) {
        // The manager now owns the refusal; only the hop itself is deleted.
        QNetworkReply* finished = hop.release();
        delete finished;
    }
    return BlockingReply(refused);
}

// taken: what fetch() has already read of the body during the transfer.
BlockingReply finish(QNetworkAccessManager* manager, QNetworkReply* reply, const QByteArray* taken = nullptr)
{
    NetworkAccessBlock::refuseUnfollowedRedirect(reply);
    // A reply that the manager has already finished must not wait for a second notification.
    if (!reply->isFinished()) {
        NetworkAccessBlock::waitForFinished(manager);
    }
    // Bodies come as they are (identity), so the announced length is the final hop's byte count.
    const qint64 announced = announcedLength(reply);
    const qint64 arrived = (reply->isOpen() ? reply->bytesAvailable() : 0) + (taken ? taken->size() : 0);
    if (reply->error() == QNetworkReply::NoError && announced >= 0 && arrived < announced) {
        reply->setProperty(IncompleteProperty, true);
    }
    return BlockingReply(reply);
}

} // namespace

QNetworkRequest NetworkAccessBlock::withPolicy(QNetworkRequest request, int inactivityMs)
{
    // Qt 6.4 can crash in its decompressor on compressed bodies of redirection hops. Asking for
    // the bytes as they are keeps that code out of every request; a request that names its own
    // Accept-Encoding is not decompressed by Qt either.
    if (!request.hasRawHeader("Accept-Encoding")) {
        request.setRawHeader("Accept-Encoding", "identity");
    }
    // A caller that names its sender (the update check) keeps its name; the rest are the host's.
    if (!request.hasRawHeader("User-Agent")) {
        request.setRawHeader("User-Agent", userAgent(RequestSender::Host));
    }
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    request.setTransferTimeout(inactivityMs);
    return request;
}

QNetworkRequest NetworkAccessBlock::makeRequest(const QString& url, int inactivityMs)
{
    return withPolicy(QNetworkRequest(QUrl(url, QUrl::TolerantMode)), inactivityMs);
}

QNetworkRequest NetworkAccessBlock::makeFormRequest(const QString& url, qsizetype bodySize, int inactivityMs)
{
    QNetworkRequest request = makeRequest(url, inactivityMs);
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, qlonglong(bodySize));
    return request;
}

void NetworkAccessBlock::refuseUnfollowedRedirect(QNetworkReply* reply)
{
    // Headers of every hop arrive here; those of a followed hop carry a redirection status.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 300 && status < 400 && !followedStatus(status)) {
            reply->abort();
        }
    });
}

BlockingReply NetworkAccessBlock::get(const QString& url, const QString& query, int inactivityMs)
{
    return exchange(makeRequest(url + query, inactivityMs), false, QByteArray(), nullptr);
}

BlockingReply NetworkAccessBlock::get(const QNetworkRequest& request, int inactivityMs)
{
    return exchange(withPolicy(request, inactivityMs), false, QByteArray(), nullptr);
}

BlockingReply NetworkAccessBlock::post(const QString& url, const QString& parameters, int inactivityMs)
{
    const QByteArray body = parameters.toUtf8();
    return post(makeFormRequest(url, body.size(), inactivityMs), body, inactivityMs);
}

BlockingReply NetworkAccessBlock::post(
    const QNetworkRequest& request, const QByteArray& body, int inactivityMs)
{
    return exchange(withPolicy(request, inactivityMs), true, body, nullptr);
}

BlockingReply NetworkAccessBlock::fetch(
    const QString& url, const QString& query, QByteArray& body, int inactivityMs)
{
    BlockingReply finished = exchange(makeRequest(url + query, inactivityMs), false, QByteArray(), &body);
    if (finished->isOpen()) {
        body += finished->readAll();
    }
    return finished;
}

QNetworkReply::NetworkError NetworkAccessBlock::redirectTarget(const QNetworkReply* reply, QUrl* target)
{
    const QByteArray location = reply->rawHeader("Location").trimmed();
    if (location.isEmpty()) {
        return QNetworkReply::ProtocolUnknownError;
    }
    *target = reply->url().resolved(QUrl::fromEncoded(location, QUrl::TolerantMode));
    const QString from = reply->url().scheme();
    const QString to = target->scheme();
    if (!target->isValid() || (to != QLatin1String("http") && to != QLatin1String("https"))
        || (from == QLatin1String("https") && to != QLatin1String("https"))) {
        return QNetworkReply::InsecureRedirectError;
    }
    return QNetworkReply::NoError;
}

BlockingReply NetworkAccessBlock::exchange(QNetworkRequest request, bool post, const QByteArray& body, QByteArray* taken)
{
    // Qt 6.4 sends a redirected request twice when the redirection came on a connection the
    // server keeps open (a redirected POST then fails with UnknownNetworkError after the server
    // took it twice). Redirections are followed here instead, each hop on a manager, and so a
    // connection, of its own, with the rules of Qt's no-less-safe policy.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    NetworkProxies::applyToQt();
    FailureCause::clear();
    for (int hops = 0;; ++hops) {
        auto* manager = new QNetworkAccessManager;
        QNetworkReply* reply = post ? manager->post(request, body) : manager->get(request);
        if (taken) {
            takeBody(reply, *taken);
        }
        BlockingReply finished = finish(manager, reply, taken);
        const int status = finished->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (finished->error() != QNetworkReply::NoError || !followedStatus(status)) {
            return finished;
        }
        QUrl target;
        QNetworkReply::NetworkError refused = redirectTarget(finished.get(), &target);
        if (!refused && hops >= MaxRedirects) {
            refused = QNetworkReply::TooManyRedirectsError;
        }
        if (refused) {
            if (taken) {
                taken->clear();
            }
            return refuse(std::move(finished), refused);
        }
        // As browsers and Qt do: 303, and 301 or 302 after a POST, go on as a GET without body.
        if (post && (status == 301 || status == 302 || status == 303)) {
            post = false;
            request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant());
            request.setHeader(QNetworkRequest::ContentLengthHeader, QVariant());
        }
        request.setUrl(target);
        if (taken) {
            taken->clear();
        }
    }
}

void NetworkAccessBlock::takeBody(QNetworkReply* reply, QByteArray& body)
{
    reply->setReadBufferSize(FetchBufferBytes);
    body.clear();
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, &body] {
        body.truncate(0);
        reserveFor(body, announcedLength(reply));
    });
    QObject::connect(reply, &QIODevice::readyRead, reply, [reply, &body] { body += reply->readAll(); });
}

QNetworkReply::NetworkError NetworkAccessBlock::errorOf(QNetworkReply* reply)
{
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError) {
        return error;
    }
    if (reply->property(IncompleteProperty).toBool()) {
        return QNetworkReply::RemoteHostClosedError;
    }
    // Asked for the bytes as they are, a server that encodes them anyway sends no usable body.
    // Only a reply without redirections is judged here: Qt may carry a hop's headers over into
    // the final ones.
    const QByteArray asked = reply->request().rawHeader("Accept-Encoding");
    const QByteArray sent = reply->rawHeader("Content-Encoding").trimmed().toLower();
    const bool redirected = reply->url() != reply->request().url();
    if (asked == "identity" && !redirected && !sent.isEmpty() && sent != "identity") {
        return QNetworkReply::UnknownContentError;
    }
    return error;
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
    // An aborted reply is closed; reading it would only draw a warning from QIODevice.
    if (!reply->isOpen()) {
        return QString();
    }
    return textBeforeZero(reply->readAll());
}

QString NetworkAccessBlock::textBeforeZero(const QByteArray& body)
{
    const qsizetype zero = body.indexOf('\0');
    return QString::fromUtf8(zero >= 0 ? body.left(zero) : body);
}

QImage NetworkAccessBlock::readImage(QNetworkReply* reply)
{
    if (!reply->isOpen()) {
        return QImage();
    }
    return QImage::fromData(reply->readAll());
}
