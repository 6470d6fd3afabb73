#pragma once

// Streaming file downloads for the updater's download pass. One access manager, created on the
// calling thread, serves every transfer of a run, so connections are kept open and reused; at
// most MaxParallel transfers run at once. Each body goes to its sink in pieces of at most
// ReadChunk bytes as it arrives, and Qt buffers at most ReadChunk bytes per transfer ahead of
// it, so memory does not grow with the size of a file.
//
// Every request names the updater as its sender (see useragent.h).
//
// Messages and error codes are those of UploadManager::downloadFile: "url:" with the URL when a
// transfer starts, "down load failed error code: " with the toolkit's code when it fails.
//
// Limits: a transfer that moves no bytes for `inactivityMs` fails (OperationCanceledError, as in
// NetworkAccessBlock); one that moves fewer than `minimumBytes` in any window of `rateWindowMs`
// fails with TimeoutError. A body that ends before its announced length fails with
// RemoteHostClosedError. Redirections (301, 302, 303, 307, 308) are followed by the transport
// itself, at most MaxRedirects hops, never from https to http, with the same refusals as
// NetworkAccessBlock (one without a Location fails at once); any other 3xx fails.

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QTimer;

struct TransferLimits
{
    int inactivityMs = 30000;
    qint64 minimumBytes = 60 * 1024; // 1 KiB/s ...
    int rateWindowMs = 60000;        // ... over a minute
};

// What the final reply of a transfer announced.
struct TransferHead
{
    int status = 0;
    qint64 length = -1;     // Content-Length, -1 when none was sent
    qint64 rangeStart = -1; // first byte of a 206 reply's Content-Range, -1 otherwise
    qint64 rangeTotal = -1; // the whole file's size from Content-Range, -1 when unknown
    QByteArray etag;        // as sent, quotes included; empty when none
    QByteArray lastModified;
};

// Receives one transfer. All calls come on the thread that runs FileTransfers::run.
class TransferSink
{
public:
    virtual ~TransferSink() = default;
    // A 2xx reply's headers arrived, before any of its body. False abandons the transfer.
    virtual bool begin(const TransferHead& head) = 0;
    // The next bytes of the body. False abandons the transfer.
    virtual bool write(const char* data, qint64 size) = 0;
    // Called once per transfer, last: error 0 when the whole body arrived and was taken,
    // otherwise the toolkit's error code (OperationCanceledError when the sink abandoned it).
    virtual void finished(int error) = 0;
};

struct TransferRequest
{
    QString url;
    qint64 resumeFrom = 0; // > 0: ask only for the bytes from here on ("Range") ...
    QByteArray ifRange;    // ... if the file is still the one this validator names ("If-Range")
    TransferSink* sink = nullptr;
};

class FileTransfers final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTransfers)

public:
    static constexpr int MaxParallel = 4;
    static constexpr qint64 ReadChunk = 1 << 20;
    static constexpr int MaxRedirects = 10;

    enum class Next {
        Start, // the request was filled in: start it
        Later, // ask again once a running transfer has finished
        End,   // nothing more to start
    };

    explicit FileTransfers(TransferLimits limits = {});
    ~FileTransfers() override;

    // Asks next() for requests and starts them, at most MaxParallel at once, and blocks (in a
    // local event loop on the calling thread) until next() has answered End and every started
    // transfer has finished. next() answering Later while nothing runs ends the run as well.
    void run(const std::function<Next(TransferRequest&)>& next);

private:
    struct Transfer;

    void startFrom(const std::function<Next(TransferRequest&)>& next);
    void send(Transfer& transfer);
    void onHeaders(Transfer& transfer);
    void onReadyRead(Transfer& transfer);
    void onFinished(Transfer& transfer);
    void checkRates();
    void fail(Transfer& transfer, QNetworkReply::NetworkError error);
    void end(Transfer& transfer, int error);

    TransferLimits limits;
    QNetworkAccessManager* manager = nullptr;
    QTimer* rateTimer = nullptr;
    std::vector<std::unique_ptr<Transfer>> running;
    std::vector<std::unique_ptr<Transfer>> ended; // kept until the run returns
    std::function<void()> refillHook;             // set while run() waits
    QByteArray buffer;
    bool noMore = false;
};
