#include "filetransfers.h"

#include "debugmessage.h"
#include "networkaccessblock.h"
#include "useragent.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>

struct FileTransfers::Transfer
{
    TransferRequest request;
    QUrl url;
    QNetworkReply* reply = nullptr;
    int hops = 0;
    bool headersSeen = false;
    bool taking = false; // the reply is a 2xx whose body goes to the sink
    bool ended = false;
    qint64 length = -1;
    qint64 arrived = 0;
    QElapsedTimer window;
    qint64 windowBytes = 0;
    QNetworkReply::NetworkError failure = QNetworkReply::NoError;
};

namespace {

bool redirection(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

qint64 headerNumber(const QByteArray& value)
{
    bool valid = false;
    const qint64 number = value.trimmed().toLongLong(&valid);
    return valid && number >= 0 ? number : -1;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*").
void parseContentRange(const QByteArray& value, TransferHead& head)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes ")) {
        return;
    }
    const qsizetype dash = text.indexOf('-');
    const qsizetype slash = text.indexOf('/');
    if (dash < 0 || slash < dash) {
        return;
    }
    head.rangeStart = headerNumber(text.mid(6, dash - 6));
    const QByteArray total = text.mid(slash + 1);
    head.rangeTotal = total == "*" ? -1 : headerNumber(total);
}

} // namespace

FileTransfers::FileTransfers(TransferLimits limits)
    : limits(limits)
    , manager(new QNetworkAccessManager(this))
    , rateTimer(new QTimer(this))
{
    // Every transfer goes over a connection this manager keeps; nothing is cached or stored.
    manager->setCookieJar(nullptr);
    rateTimer->setInterval(std::clamp(limits.rateWindowMs / 4, 50, 1000));
    connect(rateTimer, &QTimer::timeout, this, &FileTransfers::checkRates);
}

FileTransfers::~FileTransfers() = default;

void FileTransfers::run(const std::function<Next(TransferRequest&)>& next)
{
    QEventLoop loop;
    noMore = false;
    const auto refill = [this, &next, &loop] {
        startFrom(next);
        if (running.empty()) {
            loop.quit();
        }
    };
    refillHook = refill;
    startFrom(next);
    if (!running.empty()) {
        rateTimer->start();
        loop.exec();
        rateTimer->stop();
    }
    refillHook = nullptr;
    ended.clear();
}

void FileTransfers::startFrom(const std::function<Next(TransferRequest&)>& next)
{
    while (!noMore && running.size() < std::size_t(MaxParallel)) {
        TransferRequest request;
        const Next answer = next(request);
        if (answer == Next::Later && !running.empty()) {
            return;
        }
        if (answer != Next::Start) {
            noMore = true;
            return;
        }
        auto transfer = std::make_unique<Transfer>();
        transfer->request = request;
        transfer->url = QUrl(request.url, QUrl::TolerantMode);
        debugMessage("url:", request.url);
        Transfer& started = *transfer;
        running.push_back(std::move(transfer));
        send(started);
    }
}

void FileTransfers::send(Transfer& transfer)
{
    QNetworkRequest request(transfer.url);
    // Bodies are stored as they come; Qt's decompressor never runs on them.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setRawHeader("User-Agent", userAgent(RequestSender::Updater));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Qt 6.4 re-sends a request whose redirection arrived on a kept-open connection; the
    // transport follows redirections itself, one plain request per hop.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(limits.inactivityMs);
    if (transfer.request.resumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(transfer.request.resumeFrom) + '-');
        if (!transfer.request.ifRange.isEmpty()) {
            request.setRawHeader("If-Range", transfer.request.ifRange);
        }
    }
    transfer.headersSeen = false;
    transfer.taking = false;
    transfer.length = -1;
    transfer.arrived = 0;
    transfer.windowBytes = 0;
    transfer.window.start();

    QNetworkReply* reply = manager->get(request);
    transfer.reply = reply;
    reply->setReadBufferSize(ReadChunk);
    Transfer* self = &transfer;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, self] { onHeaders(*self); });
    connect(reply, &QIODevice::readyRead, this, [this, self] { onReadyRead(*self); });
    connect(reply, &QNetworkReply::finished, this, [this, self] { onFinished(*self); });
}

void FileTransfers::onHeaders(Transfer& transfer)
{
    if (transfer.ended || transfer.headersSeen) {
        return;
    }
    QNetworkReply* reply = transfer.reply;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300) {
        return; // a redirection or an error: its body is read and dropped
    }
    transfer.headersSeen = true;
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
        fail(transfer, QNetworkReply::UnknownContentError);
        return;
    }
    TransferHead head;
    head.status = status;
    if (reply->hasRawHeader("Content-Length")) {
        head.length = headerNumber(reply->rawHeader("Content-Length"));
    }
    if (status == 206) {
        parseContentRange(reply->rawHeader("Content-Range"), head);
    }
    head.etag = reply->rawHeader("ETag").trimmed();
    head.lastModified = reply->rawHeader("Last-Modified").trimmed();
    transfer.length = head.length;
    if (!transfer.request.sink->begin(head)) {
        fail(transfer, QNetworkReply::OperationCanceledError);
        return;
    }
    transfer.taking = true;
}

void FileTransfers::onReadyRead(Transfer& transfer)
{
    if (transfer.ended) {
        return;
    }
    QNetworkReply* reply = transfer.reply;
    if (!transfer.headersSeen) {
        onHeaders(transfer);
        if (transfer.ended) {
            return;
        }
    }
    if (buffer.size() < ReadChunk) {
        buffer.resize(ReadChunk);
    }
    for (;;) {
        const qint64 size = reply->read(buffer.data(), ReadChunk);
        if (size <= 0) {
            return;
        }
        transfer.windowBytes += size;
        if (!transfer.taking) {
            continue;
        }
        transfer.arrived += size;
        if (!transfer.request.sink->write(buffer.constData(), size)) {
            fail(transfer, QNetworkReply::OperationCanceledError);
            return;
        }
    }
}

void FileTransfers::onFinished(Transfer& transfer)
{
    if (transfer.ended) {
        return;
    }
    QNetworkReply* reply = transfer.reply;
    if (reply->isOpen()) {
        onReadyRead(transfer);
        if (transfer.ended) {
            return;
        }
    }
    if (transfer.failure != QNetworkReply::NoError) {
        end(transfer, transfer.failure);
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && redirection(status)) {
        QUrl target;
        if (const QNetworkReply::NetworkError refused = NetworkAccessBlock::redirectTarget(reply, &target)) {
            end(transfer, refused);
            return;
        }
        if (++transfer.hops > MaxRedirects) {
            end(transfer, QNetworkReply::TooManyRedirectsError);
            return;
        }
        reply->disconnect(this);
        reply->deleteLater();
        transfer.url = target;
        send(transfer);
        return;
    }
    int error = reply->error();
    if (error == QNetworkReply::NoError && !transfer.taking) {
        // A 1xx or 3xx left as the final answer carries no file.
        error = QNetworkReply::ProtocolUnknownError;
    }
    if (error == QNetworkReply::NoError && transfer.length >= 0 && transfer.arrived < transfer.length) {
        // Qt 6.4 now and then finishes a reply cut short without an error.
        error = QNetworkReply::RemoteHostClosedError;
    }
    end(transfer, error);
}

void FileTransfers::checkRates()
{
    std::vector<Transfer*> now;
    for (const auto& transfer : running) {
        now.push_back(transfer.get());
    }
    for (Transfer* transfer : now) {
        if (transfer->ended || transfer->window.elapsed() < limits.rateWindowMs) {
            continue;
        }
        if (transfer->windowBytes < limits.minimumBytes) {
            fail(*transfer, QNetworkReply::TimeoutError);
            continue;
        }
        transfer->windowBytes = 0;
        transfer->window.start();
    }
}

void FileTransfers::fail(Transfer& transfer, QNetworkReply::NetworkError error)
{
    transfer.failure = error;
    // abort() finishes the reply, which ends the transfer with the error above.
    transfer.reply->abort();
    if (!transfer.ended) {
        end(transfer, error);
    }
}

void FileTransfers::end(Transfer& transfer, int error)
{
    transfer.ended = true;
    if (error != QNetworkReply::NoError) {
        debugMessage("down load failed error code: ", error);
    }
    transfer.reply->disconnect(this);
    transfer.reply->deleteLater();
    transfer.request.sink->finished(error);
    // The transfer stays alive until the run ends: this may be running inside one of its
    // reply's signals.
    const auto it = std::find_if(
        running.begin(), running.end(), [&transfer](const auto& held) { return held.get() == &transfer; });
    if (it != running.end()) {
        ended.push_back(std::move(*it));
        running.erase(it);
    }
    if (refillHook) {
        refillHook();
    }
}
