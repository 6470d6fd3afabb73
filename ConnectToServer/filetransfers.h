#pragma once

// Streaming file downloads for the updater's download pass, through libcurl's multi interface
// on the calling thread: at most MaxParallel transfers run at once, and a connection that served
// one transfer serves the next to the same server (libcurl keeps them), so a pass of many small
// files pays for neither a connection nor a thread hand-off per file. Each body goes to its sink
// in pieces of at most ReadChunk bytes as it arrives, and libcurl reads at most ReadChunk bytes
// ahead of it, so memory does not grow with the size of a file. A request that finds its reused
// connection closed by the server before any byte of the answer came is sent once more over a
// fresh one (libcurl does so itself).
//
// Every request names the updater as its sender (see useragent.h) and asks for the bytes as
// they are ("Accept-Encoding: identity"); a body encoded anyway fails (UnknownContentError).
// Each request goes through the proxy NetworkProxies names for its URL: plain http as an
// absolute-URI request, https through CONNECT, with Basic, Digest, NTLM or Negotiate as the
// proxy asks. https is verified against the system's trust store and the certificates added
// to Qt's default TLS configuration.
//
// Messages and error codes are those of UploadManager::downloadFile: "url:" with the URL when a
// transfer starts, "down load failed error code: " with the toolkit's code when it fails,
// followed by a line naming the cause (see failurecause.h). The codes are QNetworkReply's, as
// Qt's own HTTP layer gives them: ContentNotFoundError for a 404, ConnectionRefusedError,
// HostNotFoundError, RemoteHostClosedError, SslHandshakeFailedError, the Proxy... codes for a
// proxy that refused or could not be reached, ProtocolFailure for an answer that is no
// HTTP/1.x, ProtocolUnknownError for a scheme other than http and https.
//
// Limits: a transfer that moves no bytes for `inactivityMs` fails (OperationCanceledError, as in
// NetworkAccessBlock); one that moves fewer than `minimumBytes` in any window of `rateWindowMs`
// fails with TimeoutError. A body that ends before its announced length fails with
// RemoteHostClosedError. Redirections (301, 302, 303, 307, 308) are followed by the transfer
// itself, at most MaxRedirects hops, never from https to http, with the same refusals as
// NetworkAccessBlock (one without a Location fails at once); any other 3xx fails. A head
// longer than MaxHeadBytes fails (ProtocolFailure).

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

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
    static constexpr qint64 MaxHeadBytes = 64 * 1024;

    enum class Next {
        Start, // the request was filled in: start it
        Later, // ask again once a running transfer has finished
        Wait,  // as Later, and when wake() is called: work outside the transfers (a decoding) may
               // bring more to start, so the run goes on even while no transfer runs
        End,   // nothing more to start
    };

    explicit FileTransfers(TransferLimits limits = {});
    ~FileTransfers() override;

    // Asks next() for requests and starts them, at most MaxParallel at once, and blocks the
    // calling thread (waiting on the transfers' sockets, not in an event loop) until next() has
    // answered End and every started transfer has finished. next() answering Later while nothing runs ends the run as well.
    void run(const std::function<Next(TransferRequest&)>& next);
    // Has a run that next() told to Wait ask next() again; safe from any thread, does nothing
    // when no run is under way by then. The object must outlive the call.
    void wake();

private:
    struct Transfer;
    struct Curl;

    void startFrom(const std::function<Next(TransferRequest&)>& next);
    void send(Transfer& transfer);
    void takeFinished();
    void checkRates();
    // Ends transfer with error unless it has ended already; libcurl lets go of it first.
    void end(Transfer& transfer, int error, const QString& cause = {});

    TransferLimits limits;
    std::unique_ptr<Curl> curl;
    std::vector<std::unique_ptr<Transfer>> running;
    std::atomic<bool> woken { false };
    std::atomic<bool> inRun { false };
    bool noMore = false;
    bool waiting = false; // next() answered Wait last
};
