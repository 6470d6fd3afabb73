#include "filetransfers.h"

#include "debugmessage.h"
#include "failurecause.h"
#include "networkproxies.h"
#include "useragent.h"

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#ifdef __linux__
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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

// The code Qt's HTTP layer gives a reply of this status (400 and above).
QNetworkReply::NetworkError statusError(int status)
{
    switch (status) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

bool listsToken(const QByteArray& value, const char* token)
{
    for (const QByteArray& item : value.split(',')) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

void initializeCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

#ifdef _WIN32
bool underWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}
#endif

// The certificates https is verified against beyond libcurl's own trust store: those added to
// Qt's default TLS configuration, so the update check and the pass trust the same servers. On
// Windows libcurl leaves verifying to schannel and the system store; wine's schannel verifies
// nothing that way, so there the whole store goes along and libcurl checks the chain itself.
QByteArray extraTrust()
{
    QList<QSslCertificate> certificates = QSslConfiguration::defaultConfiguration().caCertificates();
#ifdef _WIN32
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    certificates.erase(std::remove_if(certificates.begin(), certificates.end(),
                           [&system](const QSslCertificate& certificate) { return system.contains(certificate); }),
        certificates.end());
    if (!certificates.isEmpty() || underWine()) {
        certificates += system;
    }
#endif
    QByteArray pem;
    for (const QSslCertificate& certificate : certificates) {
        pem += certificate.toPem();
    }
    return pem;
}

#ifdef __linux__
// Bytes the kernel has taken in on the socket so far; -1 when it does not tell.
qint64 bytesReceived(curl_socket_t socket)
{
    tcp_info info {};
    socklen_t size = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < socklen_t(offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)) {
        return -1;
    }
    return qint64(info.tcpi_bytes_received);
}
#endif

} // namespace

struct FileTransfers::Curl
{
    CURLM* multi = nullptr;
    // Read at the first https transfer, so a pass over plain http never loads Qt's TLS backend.
    std::optional<QByteArray> trust;
    // Handles of ended transfers, for the next ones: each holds a read buffer of ReadChunk.
    std::vector<CURL*> spare;
    // Per socket, its byte count when the last answer over it ended (0 for a new one): where
    // the next answer's bytes begin.
    std::unordered_map<curl_socket_t, qint64> answered;
    // Per connected socket, its local port: looked up once, not at every answer.
    mutable std::unordered_map<curl_socket_t, long> localPorts;

#ifdef __linux__
    static curl_socket_t onOpen(void* self, curlsocktype, curl_sockaddr* address)
    {
        const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (socket != CURL_SOCKET_BAD) {
            static_cast<Curl*>(self)->answered[socket] = 0;
        }
        return socket;
    }
    static int onClose(void* self, curl_socket_t socket)
    {
        static_cast<Curl*>(self)->answered.erase(socket);
        static_cast<Curl*>(self)->localPorts.erase(socket);
        return ::close(socket);
    }
    // The socket of easy's connection, found by its local port.
    curl_socket_t socketOf(CURL* easy) const
    {
        long port = 0;
        if (curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &port) != CURLE_OK || port <= 0) {
            return CURL_SOCKET_BAD;
        }
        for (const auto& [socket, count] : answered) {
            if (const auto known = localPorts.find(socket); known != localPorts.end()) {
                if (known->second == port) {
                    return socket;
                }
                continue;
            }
            sockaddr_storage address {};
            socklen_t size = sizeof address;
            if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
                continue;
            }
            const in_port_t local = address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                                                   : reinterpret_cast<sockaddr_in&>(address).sin_port;
            if (local == 0) {
                continue; // not connected yet
            }
            localPorts[socket] = ntohs(local);
            if (ntohs(local) == port) {
                return socket;
            }
        }
        return CURL_SOCKET_BAD;
    }
#endif
};

struct FileTransfers::Transfer
{
    FileTransfers* owner = nullptr;
    TransferRequest request;
    QUrl url;
    QNetworkProxy proxy;
    CURL* easy = nullptr;
    curl_slist* fields = nullptr;
    int hops = 0;
    bool refused = false; // never handed to libcurl; ends on the next turn of the run

    // The answer being read.
    int status = 0;
    bool headDone = false;
    qint64 headBytes = 0;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    bool taking = false;      // a 2xx whose body goes to the sink
    bool redirecting = false; // a redirection to `target`, its body dropped
    bool authRound = false;   // a 407 libcurl may answer with credentials; its body dropped
    QUrl target;
    int failure = -1; // set by the callback that stopped the transfer
    QString cause;

    QElapsedTimer quiet; // since the last byte came
    QElapsedTimer window;
    qint64 windowBytes = 0;
    curl_socket_t socket = CURL_SOCKET_BAD;
    qint64 rawStart = -1; // the socket's byte count when this request went out (Linux)
    qint64 rawSeen = -1;
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer()
    {
        if (easy) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(fields);
    }

    // Gives the handle back for another transfer.
    void release(Curl& state)
    {
        if (easy) {
            curl_easy_reset(easy);
            state.spare.push_back(easy);
            easy = nullptr;
        }
    }

    QString hostText() const { return url.host(); }

    QByteArray header(const char* name) const
    {
        QByteArray value;
        for (const auto& [key, text] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0) {
                value = value.isEmpty() ? text : value + ", " + text;
            }
        }
        return value;
    }

    size_t stop(int error, const QString& why)
    {
        failure = error;
        cause = why;
        return 0; // anything but the size given makes libcurl end the transfer
    }

    void startAnswer(int code)
    {
        status = code;
        headDone = false;
        headBytes = 0;
        headers.clear();
        taking = false;
        redirecting = false;
        authRound = false;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self)
    {
        return static_cast<Transfer*>(self)->takeHeader(QByteArray::fromRawData(data, qsizetype(size * count)));
    }

    static size_t onBody(char* data, size_t size, size_t count, void* self)
    {
        Transfer& transfer = *static_cast<Transfer*>(self);
        const size_t bytes = size * count;
        transfer.quiet.start();
        transfer.windowBytes += qint64(bytes);
        if (!transfer.taking) {
            return bytes;
        }
        if (!transfer.request.sink->write(data, qint64(bytes))) {
            return transfer.stop(QNetworkReply::OperationCanceledError, QStringLiteral("the updater stopped taking the answer"));
        }
        return bytes;
    }

    // Where the socket's byte count stood when this answer began; false when unknown.
    bool rawBaseline(const Curl& state)
    {
        if (rawStart >= 0) {
            return true;
        }
#ifdef __linux__
        const curl_socket_t active = state.socketOf(easy);
        if (active == CURL_SOCKET_BAD) {
            return false;
        }
#else
        const curl_socket_t active = CURL_SOCKET_BAD;
#endif
        const auto known = state.answered.find(active);
        if (known == state.answered.end()) {
            return false;
        }
        socket = active;
        rawStart = known->second;
        rawSeen = rawStart;
        return true;
    }

    size_t takeHeader(const QByteArray& raw)
    {
        const size_t bytes = size_t(raw.size());
        quiet.start();
        if (raw.startsWith("HTTP/")) {
            // An answer begins: an interim one, a proxy's demand for credentials, a
            // redirection or the file. libcurl has checked the status line.
            const qsizetype space = raw.indexOf(' ');
            startAnswer(space > 0 ? raw.mid(space + 1, 3).toInt() : 0);
            headBytes = raw.size();
            return bytes;
        }
        headBytes += raw.size();
        if (headBytes > MaxHeadBytes) {
            return stop(QNetworkReply::ProtocolFailure, FailureCause::notHttp(hostText()));
        }
        QByteArray line = raw;
        line.chop(line.endsWith("\r\n") ? 2 : line.endsWith('\n') ? 1 : 0);
        if (line.isEmpty()) {
            return takeHead() ? bytes : 0;
        }
        if ((line.startsWith(' ') || line.startsWith('\t')) && !headers.empty()) {
            // A folded line continues the header before it.
            headers.back().second += ' ' + line.trimmed();
            return bytes;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            return stop(QNetworkReply::ProtocolFailure, FailureCause::notHttp(hostText()));
        }
        headers.emplace_back(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
        return bytes;
    }

    // The head of an answer is whole; false ends the transfer.
    bool takeHead()
    {
        if (status < 200) {
            return true; // an interim answer (100 Continue): the real one follows
        }
        headDone = true;
        // Repeated lengths must agree ("18, 18").
        qint64 length = -1;
        const QByteArray announced = header("Content-Length");
        if (!announced.isEmpty()) {
            for (const QByteArray& item : announced.split(',')) {
                const qint64 value = headerNumber(item);
                if (value < 0 || (length >= 0 && value != length)) {
                    stop(QNetworkReply::ProtocolFailure, FailureCause::notHttp(hostText()));
                    return false;
                }
                length = value;
            }
        }
        if (listsToken(header("Transfer-Encoding").toLower(), "chunked")
            || !header("Transfer-Encoding").trimmed().isEmpty()) {
            length = -1;
        }
        if (status == 204 || status == 304) {
            length = 0;
        }
        if (status == 407 && proxy.type() == QNetworkProxy::HttpProxy) {
            // libcurl answers it with the proxy's credentials when it has any; what the last
            // round says is judged when the transfer ends.
            authRound = true;
            return true;
        }
        if (status >= 400) {
            stop(statusError(status), FailureCause::answered(hostText(), status, proxy));
            return false;
        }
        if (redirection(status)) {
            const QByteArray location = header("Location").trimmed();
            if (location.isEmpty()) {
                stop(QNetworkReply::ProtocolUnknownError, FailureCause::redirectRefused(hostText(), QString()));
                return false;
            }
            QUrl next = url.resolved(QUrl::fromEncoded(location, QUrl::TolerantMode));
            const QString from = url.scheme().toLower();
            const QString to = next.scheme().toLower();
            if (!next.isValid() || (to != QLatin1String("http") && to != QLatin1String("https"))
                || (from == QLatin1String("https") && to != QLatin1String("https"))) {
                stop(QNetworkReply::InsecureRedirectError,
                    FailureCause::redirectRefused(hostText(), QString::fromUtf8(location)));
                return false;
            }
            if (hops + 1 > MaxRedirects) {
                stop(QNetworkReply::TooManyRedirectsError,
                    FailureCause::redirectRefused(hostText(), QString::fromUtf8(location)));
                return false;
            }
            // Its page is read and dropped, so the connection serves the next hop.
            redirecting = true;
            target = next;
            return true;
        }
        if (status >= 300) {
            // A 3xx that is not followed carries no file.
            stop(QNetworkReply::ProtocolUnknownError, FailureCause::answered(hostText(), status, proxy));
            return false;
        }
        const QByteArray encoding = header("Content-Encoding").trimmed().toLower();
        if (!encoding.isEmpty() && encoding != "identity") {
            stop(QNetworkReply::UnknownContentError,
                QStringLiteral("%1 sent the file encoded (%2); it is taken only as it is").arg(hostText(),
                    QString::fromLatin1(encoding)));
            return false;
        }
        TransferHead head;
        head.status = status;
        head.length = length;
        if (status == 206) {
            parseContentRange(header("Content-Range"), head);
        }
        head.etag = header("ETag").trimmed();
        head.lastModified = header("Last-Modified").trimmed();
        if (!request.sink->begin(head)) {
            stop(QNetworkReply::OperationCanceledError, QStringLiteral("the updater stopped taking the answer"));
            return false;
        }
        taking = true;
        return true;
    }

    // The code and cause of a transfer libcurl ended with result.
    std::pair<int, QString> judge(CURLcode result) const
    {
        if (failure >= 0) {
            return { failure, cause };
        }
        const QString host = hostText();
        const bool proxied = proxy.type() == QNetworkProxy::HttpProxy;
        if (result == CURLE_OK) {
            if (authRound) {
                return { QNetworkReply::ProxyAuthenticationRequiredError,
                    FailureCause::proxyAuthentication(proxy, !proxy.user().isEmpty()) };
            }
            if (!headDone) {
                // The connection closed within the head, which libcurl lets pass.
                return { QNetworkReply::RemoteHostClosedError, FailureCause::closed(host) };
            }
            if (!taking) {
                return { QNetworkReply::ProtocolFailure, FailureCause::notHttp(host) };
            }
            return { QNetworkReply::NoError, QString() };
        }
        const QString text = QString::fromUtf8(errorText).trimmed();
        long tunnel = 0;
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
        if (proxied && tunnel >= 300) {
            const QString to = url.host() + QLatin1Char(':') + QString::number(url.port(443));
            if (tunnel == 407) {
                return { QNetworkReply::ProxyAuthenticationRequiredError,
                    FailureCause::proxyAuthentication(proxy, !proxy.user().isEmpty()) };
            }
            return { QNetworkReply::ProxyConnectionRefusedError, FailureCause::proxyRefusedTunnel(proxy, to, QString::number(tunnel)) };
        }
        switch (result) {
        case CURLE_UNSUPPORTED_PROTOCOL: // an answer from before HTTP/1.0
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return { QNetworkReply::ProtocolFailure, FailureCause::notHttp(host) };
        case CURLE_COULDNT_RESOLVE_PROXY:
            return { QNetworkReply::ProxyNotFoundError, FailureCause::proxyNameUnresolved(proxy) };
        case CURLE_COULDNT_RESOLVE_HOST:
            return { QNetworkReply::HostNotFoundError, FailureCause::hostNameUnresolved(host) };
        case CURLE_COULDNT_CONNECT:
            if (proxied) {
                return { QNetworkReply::ProxyConnectionRefusedError, FailureCause::proxyUnreachable(proxy, text) };
            }
            return { QNetworkReply::ConnectionRefusedError,
                FailureCause::refused(host + QLatin1Char(':')
                    + QString::number(url.port(url.scheme() == QLatin1String("https") ? 443 : 80))) };
        case CURLE_OPERATION_TIMEDOUT:
            return { QNetworkReply::TimeoutError, text };
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return { QNetworkReply::SslHandshakeFailedError, FailureCause::untrustedCertificate(host, text) };
        case CURLE_SSL_CONNECT_ERROR:
            return { QNetworkReply::SslHandshakeFailedError,
                QStringLiteral("the TLS handshake with %1 failed: %2").arg(host, text) };
        case CURLE_RECV_ERROR:
            if (text.contains(QLatin1String("chunk"), Qt::CaseInsensitive)) {
                return { QNetworkReply::ProtocolFailure, FailureCause::notHttp(host) };
            }
            return { QNetworkReply::RemoteHostClosedError, FailureCause::closed(host) };
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
            return { QNetworkReply::RemoteHostClosedError, FailureCause::closed(host) };
        default:
            return { QNetworkReply::UnknownNetworkError, text.isEmpty() ? QString::fromUtf8(curl_easy_strerror(result)) : text };
        }
    }
};

FileTransfers::FileTransfers(TransferLimits limits)
    : limits(limits)
    , curl(std::make_unique<Curl>())
{
    initializeCurlOnce();
    curl->multi = curl_multi_init();
    // Idle connections to other servers beyond what the pass can use at once go first.
    curl_multi_setopt(curl->multi, CURLMOPT_MAXCONNECTS, long(MaxParallel));
}

FileTransfers::~FileTransfers()
{
    for (const auto& transfer : running) {
        if (transfer->easy && !transfer->refused) {
            curl_multi_remove_handle(curl->multi, transfer->easy);
        }
    }
    running.clear();
    for (CURL* easy : curl->spare) {
        curl_easy_cleanup(easy);
    }
    curl_multi_cleanup(curl->multi);
}

void FileTransfers::run(const std::function<Next(TransferRequest&)>& next)
{
    noMore = false;
    waiting = false;
    woken = false;
    inRun = true;
    const int checkEvery = std::clamp(std::min(limits.rateWindowMs, limits.inactivityMs) / 4, 20, 1000);
    QElapsedTimer sinceCheck;
    sinceCheck.start();
    startFrom(next);
    while (!running.empty() || waiting) {
        int active = 0;
        curl_multi_perform(curl->multi, &active);
        const std::size_t before = running.size();
        takeFinished();
        if (sinceCheck.elapsed() >= checkEvery) {
            checkRates();
            sinceCheck.start();
        }
        if (woken.exchange(false) || running.size() < before) {
            startFrom(next);
        }
        if (running.empty() && !waiting) {
            break;
        }
        const bool refusedWaiting = std::any_of(
            running.begin(), running.end(), [](const auto& transfer) { return transfer->refused; });
        if (!refusedWaiting) {
            curl_multi_poll(curl->multi, nullptr, 0, checkEvery, nullptr);
        }
    }
    inRun = false;
}

void FileTransfers::wake()
{
    if (inRun.load()) {
        woken = true;
        curl_multi_wakeup(curl->multi);
    }
}

void FileTransfers::startFrom(const std::function<Next(TransferRequest&)>& next)
{
    while (!noMore && running.size() < std::size_t(MaxParallel)) {
        TransferRequest request;
        const Next answer = next(request);
        waiting = answer == Next::Wait;
        if (waiting || (answer == Next::Later && !running.empty())) {
            return;
        }
        if (answer != Next::Start) {
            noMore = true;
            return;
        }
        auto transfer = std::make_unique<Transfer>();
        transfer->owner = this;
        transfer->request = request;
        transfer->url = QUrl(request.url, QUrl::TolerantMode);
        debugMessage("url:", request.url);
        FailureCause::clear();
        Transfer& started = *transfer;
        running.push_back(std::move(transfer));
        send(started);
    }
}

void FileTransfers::send(Transfer& transfer)
{
    const QString scheme = transfer.url.scheme().toLower();
    const bool secure = scheme == QLatin1String("https");
    if (!transfer.url.isValid() || (!secure && scheme != QLatin1String("http")) || transfer.url.host().isEmpty()) {
        // Ended on the run's next turn, as a failed connection would be: the caller's next()
        // is not re-entered from inside its own call.
        transfer.refused = true;
        transfer.failure = QNetworkReply::ProtocolUnknownError;
        transfer.cause = QStringLiteral("%1 is no http or https URL").arg(transfer.request.url);
        return;
    }
    transfer.startAnswer(0);
    transfer.failure = -1;
    transfer.socket = CURL_SOCKET_BAD;
    transfer.rawStart = -1;
    transfer.windowBytes = 0;
    transfer.window.start();
    transfer.quiet.start();
    transfer.proxy = NetworkProxies::forUrl(transfer.url);

    if (transfer.easy) {
        curl_easy_reset(transfer.easy);
    } else if (!curl->spare.empty()) {
        transfer.easy = curl->spare.back();
        curl->spare.pop_back();
    } else {
        transfer.easy = curl_easy_init();
    }
    CURL* easy = transfer.easy;
    curl_slist_free_all(transfer.fields);
    transfer.fields = nullptr;

    // As Qt's HTTP layer forms it: fully encoded, dot segments resolved, no fragment or user.
    QUrl target = transfer.url.adjusted(QUrl::RemoveFragment | QUrl::RemoveUserInfo | QUrl::NormalizePathSegments);
    if (target.path().isEmpty()) {
        target.setPath(QStringLiteral("/"));
    }
    curl_easy_setopt(easy, CURLOPT_URL, target.toEncoded().constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // with this class's own refusals, below
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, long(ReadChunk));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent(RequestSender::Updater).constData());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
#ifdef __linux__
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Curl::onOpen);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, curl.get());
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Curl::onClose);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, curl.get());
#endif
    if (target.scheme() == QLatin1String("https") && !curl->trust) {
        curl->trust = extraTrust();
    }
    if (curl->trust && !curl->trust->isEmpty()) {
        curl_blob blob { curl->trust->data(), std::size_t(curl->trust->size()), CURL_BLOB_NOCOPY };
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
#ifdef _WIN32
    // An unreachable revocation server (common behind a proxy) does not fail the download.
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT));
#endif

    if (transfer.proxy.type() == QNetworkProxy::HttpProxy) {
        const QByteArray address = "http://" + NetworkProxies::describe(transfer.proxy).toUtf8();
        curl_easy_setopt(easy, CURLOPT_PROXY, address.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        if (!transfer.proxy.user().isEmpty()) {
            curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, transfer.proxy.user().toUtf8().constData());
            curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, transfer.proxy.password().toUtf8().constData());
        } else {
#ifdef _WIN32
            // NTLM and Negotiate with the logged-on user's own credentials (SSPI).
            curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
#endif
        }
    } else {
        // Straight to the server, whatever the environment says: the decision was made above.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    }

    // Bodies are stored as they come; nothing decodes them.
    transfer.fields = curl_slist_append(transfer.fields, "Accept-Encoding: identity");
    transfer.fields = curl_slist_append(transfer.fields, "Accept:");
    if (transfer.request.resumeFrom > 0) {
        const QByteArray range = "Range: bytes=" + QByteArray::number(transfer.request.resumeFrom) + '-';
        transfer.fields = curl_slist_append(transfer.fields, range.constData());
        if (!transfer.request.ifRange.isEmpty()) {
            transfer.fields = curl_slist_append(transfer.fields, ("If-Range: " + transfer.request.ifRange).constData());
        }
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.fields);
    curl_multi_add_handle(curl->multi, easy);
}

void FileTransfers::takeFinished()
{
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(curl->multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        Transfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        const CURLcode result = message->data.result;
#ifdef __linux__
        const curl_socket_t socket = curl->socketOf(message->easy_handle);
        if (socket != CURL_SOCKET_BAD) {
            curl->answered[socket] = bytesReceived(socket);
        }
#endif
        curl_multi_remove_handle(curl->multi, message->easy_handle);
        if (result == CURLE_OK && transfer->failure < 0 && transfer->redirecting) {
            ++transfer->hops;
            transfer->url = transfer->target;
            send(*transfer);
            continue;
        }
        const auto [error, cause] = transfer->judge(result);
        end(*transfer, error, cause);
    }
    std::vector<Transfer*> refused;
    for (const auto& transfer : running) {
        if (transfer->refused) {
            refused.push_back(transfer.get());
        }
    }
    for (Transfer* transfer : refused) {
        end(*transfer, transfer->failure, transfer->cause);
    }
}

void FileTransfers::checkRates()
{
    std::vector<Transfer*> now;
    for (const auto& transfer : running) {
        now.push_back(transfer.get());
    }
    for (Transfer* transfer : now) {
        if (transfer->refused) {
            continue;
        }
#ifdef __linux__
        // Bytes that came without making a whole header line show only in the socket's count:
        // they too keep a transfer alive, and too many of them before the head ends refuse it.
        // Over TLS the count includes the records' framing, so there libcurl's own bound on a
        // header line stands in.
        if (transfer->rawBaseline(*curl)) {
            const qint64 raw = bytesReceived(transfer->socket);
            if (raw > transfer->rawSeen) {
                transfer->rawSeen = raw;
                transfer->quiet.start();
            }
            if (!transfer->headDone && transfer->proxy.type() == QNetworkProxy::NoProxy
                && transfer->url.scheme() == QLatin1String("http") && raw - transfer->rawStart > MaxHeadBytes) {
                curl_multi_remove_handle(curl->multi, transfer->easy);
                end(*transfer, QNetworkReply::ProtocolFailure, FailureCause::notHttp(transfer->hostText()));
                continue;
            }
        }
#endif
        if (transfer->quiet.elapsed() >= limits.inactivityMs) {
            curl_multi_remove_handle(curl->multi, transfer->easy);
            end(*transfer, QNetworkReply::OperationCanceledError,
                FailureCause::timeOut(transfer->proxy.type() == QNetworkProxy::HttpProxy
                        ? transfer->hostText() + QStringLiteral(" (through the proxy ")
                            + NetworkProxies::describe(transfer->proxy) + QLatin1Char(')')
                        : transfer->hostText(),
                    std::max(1, limits.inactivityMs / 1000)));
            continue;
        }
        if (transfer->window.elapsed() < limits.rateWindowMs) {
            continue;
        }
        if (transfer->windowBytes < limits.minimumBytes) {
            curl_multi_remove_handle(curl->multi, transfer->easy);
            end(*transfer, QNetworkReply::TimeoutError,
                QStringLiteral("time-out: %1 sent fewer than %2 bytes in %3 s")
                    .arg(transfer->hostText())
                    .arg(limits.minimumBytes)
                    .arg(limits.rateWindowMs / 1000));
            continue;
        }
        transfer->windowBytes = 0;
        transfer->window.start();
    }
}

void FileTransfers::end(Transfer& transfer, int error, const QString& cause)
{
    if (error != QNetworkReply::NoError) {
        debugMessage("down load failed error code: ", error);
        FailureCause::print(cause);
    }
    transfer.request.sink->finished(error);
    transfer.release(*curl);
    const auto it = std::find_if(
        running.begin(), running.end(), [&transfer](const auto& held) { return held.get() == &transfer; });
    if (it != running.end()) {
        running.erase(it);
    }
}
