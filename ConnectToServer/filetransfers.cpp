#include "filetransfers.h"

#include "debugmessage.h"
#include "networkaccessblock.h"
#include "useragent.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstring>

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

// The code Qt's HTTP layer gives a reply whose connection failed this way.
QNetworkReply::NetworkError socketError(int error)
{
    switch (QAbstractSocket::SocketError(error)) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    case QAbstractSocket::SslHandshakeFailedError:
        return QNetworkReply::SslHandshakeFailedError;
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case QAbstractSocket::ProxyConnectionRefusedError:
        return QNetworkReply::ProxyConnectionRefusedError;
    case QAbstractSocket::ProxyNotFoundError:
        return QNetworkReply::ProxyNotFoundError;
    case QAbstractSocket::ProxyConnectionClosedError:
        return QNetworkReply::ProxyConnectionClosedError;
    case QAbstractSocket::ProxyConnectionTimeoutError:
        return QNetworkReply::ProxyTimeoutError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

// Whether a comma-separated header value lists token (case-insensitive).
bool listsToken(const QByteArray& value, const char* token)
{
    for (const QByteArray& item : value.split(',')) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

struct FileTransfers::Transfer
{
    TransferRequest request;
    QUrl url;
    Connection* connection = nullptr;
    int hops = 0;
    bool resent = false;      // sent again after its reused connection had closed
    bool taking = false;      // the answer is a 2xx whose body goes to the sink
    bool redirecting = false; // the answer is a redirection to `target`, its body dropped
    QUrl target;
    bool ended = false;
    qint64 length = -1;
    qint64 arrived = 0;
    QElapsedTimer quiet; // since the last byte came
    QElapsedTimer window;
    qint64 windowBytes = 0;
};

// One HTTP/1.1 connection and the answer it is reading.
struct FileTransfers::Connection
{
    enum class Stage { Status, Headers, Body, ChunkSize, ChunkData, ChunkEnd, Trailers };

    quint64 serial = 0; // tells a connection from a later one at the same address
    QString scheme;
    QString host;
    int port = 0;
    QTcpSocket* socket = nullptr;
    Transfer* transfer = nullptr; // null while idle
    bool served = false;          // an answer was read whole over it before this one

    // The answer being read.
    Stage stage = Stage::Status;
    QByteArray line; // a head or chunk line not yet whole
    qint64 headBytes = 0;
    bool anyByte = false;
    int status = 0;
    bool http10 = false;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    qint64 left = -1; // bytes of the body or chunk still to come; -1 until the connection closes
    bool keepAlive = false;
    bool complete = false; // the whole answer was read

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
    bool hasHeader(const char* name) const
    {
        return std::any_of(headers.begin(), headers.end(),
            [name](const auto& header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; });
    }
    void startAnswer()
    {
        stage = Stage::Status;
        line.clear();
        headBytes = 0;
        anyByte = false;
        status = 0;
        headers.clear();
        left = -1;
        keepAlive = false;
        complete = false;
    }
};

FileTransfers::FileTransfers(TransferLimits limits)
    : limits(limits)
    , rateTimer(new QTimer(this))
{
    const int shortest = std::min(limits.rateWindowMs, limits.inactivityMs);
    rateTimer->setInterval(std::clamp(shortest / 4, 20, 1000));
    connect(rateTimer, &QTimer::timeout, this, &FileTransfers::checkRates);
}

FileTransfers::~FileTransfers()
{
    for (const auto& connection : connections) {
        connection->socket->disconnect(this);
        connection->socket->abort();
    }
}

void FileTransfers::run(const std::function<Next(TransferRequest&)>& next)
{
    QEventLoop loop;
    noMore = false;
    waiting = false;
    const auto refill = [this, &next, &loop] {
        startFrom(next);
        if (running.empty() && !waiting) {
            loop.quit();
        }
    };
    refillHook = refill;
    startFrom(next);
    if (!running.empty() || waiting) {
        rateTimer->start();
        loop.exec();
        rateTimer->stop();
    }
    refillHook = nullptr;
    ended.clear();
    dropped.clear();
}

void FileTransfers::wake()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (refillHook) {
                refillHook();
            }
        },
        Qt::QueuedConnection);
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
        transfer->request = request;
        transfer->url = QUrl(request.url, QUrl::TolerantMode);
        debugMessage("url:", request.url);
        Transfer& started = *transfer;
        running.push_back(std::move(transfer));
        send(started);
    }
}

FileTransfers::Connection* FileTransfers::connectionFor(const QUrl& url, QNetworkReply::NetworkError* refusal)
{
    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == QLatin1String("https");
    if (!url.isValid() || (!secure && scheme != QLatin1String("http")) || url.host().isEmpty()) {
        *refusal = QNetworkReply::ProtocolUnknownError;
        return nullptr;
    }
#if !QT_CONFIG(ssl)
    if (secure) {
        *refusal = QNetworkReply::ProtocolUnknownError;
        return nullptr;
    }
#endif
    const QString host = url.host();
    const int port = url.port(secure ? 443 : 80);
    for (const auto& held : connections) {
        if (!held->transfer && held->scheme == scheme && held->host == host && held->port == port
            && held->socket->state() == QAbstractSocket::ConnectedState) {
            return held.get();
        }
    }
    // Idle connections to other servers beyond what the pass can use at once go first.
    std::size_t idle = 0;
    for (const auto& held : connections) {
        idle += held->transfer == nullptr;
    }
    for (std::size_t i = 0; idle >= std::size_t(MaxParallel) && i < connections.size();) {
        if (!connections[i]->transfer) {
            drop(*connections[i]);
            --idle;
        } else {
            ++i;
        }
    }

    auto connection = std::make_unique<Connection>();
    connection->scheme = scheme;
    connection->host = host;
    connection->port = port;
#if QT_CONFIG(ssl)
    if (secure) {
        connection->socket = new QSslSocket(this);
    } else {
        connection->socket = new QTcpSocket(this);
    }
#else
    connection->socket = new QTcpSocket(this);
#endif
    // The socket holds at most one piece ahead of the sink, whatever the file's size.
    connection->socket->setReadBufferSize(ReadChunk);
    connection->serial = ++serials;
    Connection* made = connection.get();
    const quint64 serial = made->serial;
    connect(made->socket, &QIODevice::readyRead, this, [this, made, serial] {
        if (holds(made, serial)) {
            onReadable(*made);
        }
    });
    // Failures come through the event loop: a socket may report one from inside
    // connectToHost, before the request is written, and a connection dropped meanwhile (or in
    // an earlier run) is no longer this object's to handle.
    connect(
        made->socket, &QAbstractSocket::errorOccurred, this,
        [this, made, serial](QAbstractSocket::SocketError error) {
            if (holds(made, serial)) {
                onSocketError(*made, int(error));
            }
        },
        Qt::QueuedConnection);
    connect(
        made->socket, &QAbstractSocket::disconnected, this,
        [this, made, serial] {
            if (holds(made, serial)) {
                onSocketError(*made, int(QAbstractSocket::RemoteHostClosedError));
            }
        },
        Qt::QueuedConnection);
#if QT_CONFIG(ssl)
    if (secure) {
        static_cast<QSslSocket*>(made->socket)->connectToHostEncrypted(host, quint16(port));
    } else {
        made->socket->connectToHost(host, quint16(port));
    }
#else
    made->socket->connectToHost(host, quint16(port));
#endif
    connections.push_back(std::move(connection));
    return made;
}

void FileTransfers::send(Transfer& transfer)
{
    transfer.taking = false;
    transfer.redirecting = false;
    transfer.length = -1;
    transfer.arrived = 0;
    transfer.windowBytes = 0;
    transfer.window.start();
    transfer.quiet.start();

    QNetworkReply::NetworkError refusal = QNetworkReply::NoError;
    Connection* connection = connectionFor(transfer.url, &refusal);
    if (!connection) {
        // Reported through the event loop, as a failed connection would be: the caller's
        // next() is not re-entered from inside its own call.
        Transfer* self = &transfer;
        QTimer::singleShot(0, this, [this, self, refusal] {
            const bool runs = std::any_of(
                running.begin(), running.end(), [self](const auto& held) { return held.get() == self; });
            if (runs && !self->ended) {
                end(*self, refusal);
            }
        });
        return;
    }
    transfer.connection = connection;
    connection->transfer = &transfer;
    connection->startAnswer();

    // As Qt's HTTP layer forms it: the path and query, fully encoded, dot segments resolved.
    QUrl::FormattingOptions format = QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment
        | QUrl::RemoveUserInfo | QUrl::FullyEncoded;
    QUrl target = transfer.url;
    if (target.path().isEmpty()) {
        target.setPath(QStringLiteral("/"));
    } else {
        format |= QUrl::NormalizePathSegments;
    }
    QByteArray host = transfer.url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':')) {
        host = '[' + host + ']';
    }
    if (transfer.url.port() >= 0) {
        host += ':' + QByteArray::number(transfer.url.port());
    }
    QByteArray request = "GET " + target.toEncoded(format) + " HTTP/1.1\r\nHost: " + host
        + "\r\nUser-Agent: " + userAgent(RequestSender::Updater)
        // Bodies are stored as they come; nothing decodes them.
        + "\r\nAccept-Encoding: identity\r\n";
    if (transfer.request.resumeFrom > 0) {
        request += "Range: bytes=" + QByteArray::number(transfer.request.resumeFrom) + "-\r\n";
        if (!transfer.request.ifRange.isEmpty()) {
            request += "If-Range: " + transfer.request.ifRange + "\r\n";
        }
    }
    request += "\r\n";
    // A socket still connecting keeps what is written until it can send it.
    connection->socket->write(request);
}

void FileTransfers::onReadable(Connection& connection)
{
    if (buffer.size() < ReadChunk) {
        buffer.resize(ReadChunk);
    }
    for (;;) {
        const qint64 size = connection.socket->read(buffer.data(), ReadChunk);
        if (size <= 0) {
            return;
        }
        if (!connection.transfer) {
            // Nothing was asked for on this connection: whatever it says, it is not reused.
            drop(connection);
            return;
        }
        if (!feed(connection, buffer.constData(), size)) {
            return;
        }
    }
}

bool FileTransfers::feed(Connection& connection, const char* data, qint64 size)
{
    using Stage = Connection::Stage;
    connection.anyByte = true;
    connection.transfer->quiet.start();
    while (size > 0) {
        if (connection.stage == Stage::Body || connection.stage == Stage::ChunkData) {
            const qint64 piece = connection.left < 0 ? size : std::min(size, connection.left);
            if (!onBody(connection, data, piece)) {
                return false;
            }
            data += piece;
            size -= piece;
            if (connection.left > 0) {
                connection.left -= piece;
                if (connection.left == 0) {
                    if (connection.stage == Stage::ChunkData) {
                        connection.stage = Stage::ChunkEnd;
                    } else {
                        connection.complete = true;
                    }
                }
            }
        } else {
            const char* newline = static_cast<const char*>(std::memchr(data, '\n', std::size_t(size)));
            const qint64 taken = newline ? qint64(newline - data) + 1 : size;
            // The head as a whole, and each chunk line on its own, are bounded.
            const bool head = connection.stage == Stage::Status || connection.stage == Stage::Headers;
            connection.headBytes = (head ? connection.headBytes : connection.line.size()) + taken;
            if (connection.headBytes > MaxHeadBytes) {
                fail(*connection.transfer, QNetworkReply::ProtocolFailure);
                return false;
            }
            connection.line.append(data, taken);
            data += taken;
            size -= taken;
            if (!newline) {
                continue;
            }
            QByteArray line = std::move(connection.line);
            connection.line.clear();
            line.chop(line.endsWith("\r\n") ? 2 : 1);
            if (!takeLine(connection, line)) {
                return false;
            }
        }
        if (connection.complete) {
            // Bytes after the answer were not asked for: the connection is not used again.
            if (size > 0 || connection.socket->bytesAvailable() > 0) {
                connection.keepAlive = false;
            }
            onComplete(connection);
            return false;
        }
    }
    return true;
}

bool FileTransfers::takeLine(Connection& connection, const QByteArray& line)
{
    using Stage = Connection::Stage;
    Transfer& transfer = *connection.transfer;
    switch (connection.stage) {
    case Stage::Status: {
        // "HTTP/1.1 200 OK"
        const bool http11 = line.startsWith("HTTP/1.1 ");
        connection.http10 = line.startsWith("HTTP/1.0 ");
        bool valid = false;
        const int status = line.size() >= 12 && (http11 || connection.http10) ? line.mid(9, 3).toInt(&valid) : 0;
        if (!valid || status < 100 || status > 999 || (line.size() > 12 && line[12] != ' ')) {
            fail(transfer, QNetworkReply::ProtocolFailure);
            return false;
        }
        connection.status = status;
        connection.headers.clear();
        connection.stage = Stage::Headers;
        return true;
    }
    case Stage::Headers: {
        if (line.isEmpty()) {
            return onHead(connection);
        }
        if ((line.startsWith(' ') || line.startsWith('\t')) && !connection.headers.empty()) {
            // A folded line continues the header before it.
            connection.headers.back().second += ' ' + line.trimmed();
            return true;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            fail(transfer, QNetworkReply::ProtocolFailure);
            return false;
        }
        connection.headers.emplace_back(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
        return true;
    }
    case Stage::ChunkSize: {
        // "SIZE[;extension]" in hex.
        const qsizetype extension = line.indexOf(';');
        const QByteArray digits = (extension < 0 ? line : line.left(extension)).trimmed();
        bool valid = false;
        const qint64 chunk = digits.size() <= 15 ? digits.toLongLong(&valid, 16) : -1;
        if (!valid || chunk < 0) {
            fail(transfer, QNetworkReply::ProtocolFailure);
            return false;
        }
        connection.left = chunk;
        connection.stage = chunk == 0 ? Stage::Trailers : Stage::ChunkData;
        return true;
    }
    case Stage::ChunkEnd:
        if (!line.isEmpty()) {
            fail(transfer, QNetworkReply::ProtocolFailure);
            return false;
        }
        connection.stage = Stage::ChunkSize;
        return true;
    case Stage::Trailers:
        connection.complete = line.isEmpty();
        return true;
    case Stage::Body:
    case Stage::ChunkData:
        break;
    }
    return true;
}

bool FileTransfers::onHead(Connection& connection)
{
    using Stage = Connection::Stage;
    Transfer& transfer = *connection.transfer;
    const int status = connection.status;
    if (status < 200) {
        // An interim answer (100 Continue): the real one follows.
        connection.stage = Stage::Status;
        return true;
    }
    const QByteArray connectionHeader = connection.header("Connection");
    connection.keepAlive = connection.http10 ? listsToken(connectionHeader, "keep-alive")
                                             : !listsToken(connectionHeader, "close");
    // How the body ends: a chunked encoding, an announced length, or the connection's close.
    const QByteArray coding = connection.header("Transfer-Encoding").trimmed().toLower();
    const QByteArray announced = connection.header("Content-Length");
    connection.left = -1;
    if (status == 204 || status == 304) {
        connection.left = 0;
    } else if (!coding.isEmpty()) {
        if (coding.endsWith("chunked")) {
            connection.stage = Stage::ChunkSize;
        } else {
            connection.keepAlive = false;
        }
    } else if (!announced.isEmpty()) {
        // Repeated lengths must agree ("18, 18").
        qint64 length = -1;
        for (const QByteArray& item : announced.split(',')) {
            const qint64 value = headerNumber(item);
            if (value < 0 || (length >= 0 && value != length)) {
                fail(transfer, QNetworkReply::ProtocolFailure);
                return false;
            }
            length = value;
        }
        connection.left = length;
    } else {
        connection.keepAlive = false;
    }
    if (connection.stage == Stage::Headers) {
        connection.stage = Stage::Body;
    }
    transfer.length = connection.stage == Stage::Body ? connection.left : -1;

    if (status >= 400) {
        fail(transfer, statusError(status));
        return false;
    }
    if (redirection(status)) {
        const QByteArray location = connection.header("Location").trimmed();
        if (location.isEmpty()) {
            fail(transfer, QNetworkReply::ProtocolUnknownError);
            return false;
        }
        QUrl target = transfer.url.resolved(QUrl::fromEncoded(location, QUrl::TolerantMode));
        const QString from = transfer.url.scheme().toLower();
        const QString to = target.scheme().toLower();
        if (!target.isValid() || (to != QLatin1String("http") && to != QLatin1String("https"))
            || (from == QLatin1String("https") && to != QLatin1String("https"))) {
            fail(transfer, QNetworkReply::InsecureRedirectError);
            return false;
        }
        if (transfer.hops + 1 > MaxRedirects) {
            fail(transfer, QNetworkReply::TooManyRedirectsError);
            return false;
        }
        // Its page is read and dropped, so the connection serves the next hop.
        transfer.redirecting = true;
        transfer.target = target;
    } else if (status < 300) {
        const QByteArray encoding = connection.header("Content-Encoding").trimmed().toLower();
        if (!encoding.isEmpty() && encoding != "identity") {
            fail(transfer, QNetworkReply::UnknownContentError);
            return false;
        }
        TransferHead head;
        head.status = status;
        head.length = transfer.length;
        if (status == 206) {
            parseContentRange(connection.header("Content-Range"), head);
        }
        head.etag = connection.header("ETag").trimmed();
        head.lastModified = connection.header("Last-Modified").trimmed();
        if (!transfer.request.sink->begin(head)) {
            fail(transfer, QNetworkReply::OperationCanceledError);
            return false;
        }
        transfer.taking = true;
    } else {
        // A 3xx that is not followed carries no file.
        fail(transfer, QNetworkReply::ProtocolUnknownError);
        return false;
    }
    connection.complete = connection.stage == Stage::Body && connection.left == 0;
    return true;
}

bool FileTransfers::onBody(Connection& connection, const char* data, qint64 size)
{
    Transfer& transfer = *connection.transfer;
    transfer.windowBytes += size;
    if (!transfer.taking) {
        return true;
    }
    transfer.arrived += size;
    if (!transfer.request.sink->write(data, size)) {
        fail(transfer, QNetworkReply::OperationCanceledError);
        return false;
    }
    return true;
}

void FileTransfers::onComplete(Connection& connection)
{
    Transfer& transfer = *connection.transfer;
    // Only an answer whose end the connection could tell leaves it fit for the next request.
    connection.transfer = nullptr;
    transfer.connection = nullptr;
    connection.served = true;
    if (!connection.keepAlive || connection.left < 0) {
        drop(connection);
    }
    if (transfer.redirecting) {
        ++transfer.hops;
        transfer.url = transfer.target;
        send(transfer);
        return;
    }
    end(transfer, QNetworkReply::NoError);
}

void FileTransfers::onSocketError(Connection& connection, int error)
{
    Transfer* transfer = connection.transfer;
    if (!transfer) {
        // An idle connection the server closed.
        drop(connection);
        return;
    }
    if (error == int(QAbstractSocket::RemoteHostClosedError)) {
        // The server's last bytes may still wait in the socket; a body without a length ends
        // with its connection.
        connection.keepAlive = false;
        onReadable(connection);
        if (connection.transfer != transfer) {
            return;
        }
        if (connection.stage == Connection::Stage::Body && connection.left < 0) {
            onComplete(connection);
            return;
        }
    }
    if (connection.served && !connection.anyByte && !transfer->resent) {
        // The server closed the kept connection as the request went out: once more, afresh.
        transfer->resent = true;
        connection.transfer = nullptr;
        transfer->connection = nullptr;
        drop(connection);
        send(*transfer);
        return;
    }
    fail(*transfer, socketError(error));
}

void FileTransfers::checkRates()
{
    std::vector<Transfer*> now;
    for (const auto& transfer : running) {
        now.push_back(transfer.get());
    }
    for (Transfer* transfer : now) {
        if (transfer->ended) {
            continue;
        }
        if (transfer->quiet.elapsed() >= limits.inactivityMs) {
            fail(*transfer, QNetworkReply::OperationCanceledError);
            continue;
        }
        if (transfer->window.elapsed() < limits.rateWindowMs) {
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
    if (transfer.ended) {
        return;
    }
    // The rest of its answer is unread: the connection cannot serve another request.
    if (Connection* connection = transfer.connection) {
        connection->transfer = nullptr;
        transfer.connection = nullptr;
        drop(*connection);
    }
    end(transfer, error);
}

void FileTransfers::end(Transfer& transfer, int error)
{
    transfer.ended = true;
    if (error != QNetworkReply::NoError) {
        debugMessage("down load failed error code: ", error);
    }
    transfer.request.sink->finished(error);
    // The transfer stays alive until the run ends: this may be running inside one of its
    // connection's signals.
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

bool FileTransfers::holds(const Connection* connection, quint64 serial) const
{
    return std::any_of(connections.begin(), connections.end(),
        [connection, serial](const auto& held) { return held.get() == connection && held->serial == serial; });
}

void FileTransfers::drop(Connection& connection)
{
    const auto it = std::find_if(connections.begin(), connections.end(),
        [&connection](const auto& held) { return held.get() == &connection; });
    if (it == connections.end()) {
        return;
    }
    connection.socket->disconnect(this);
    connection.socket->abort();
    connection.socket->deleteLater();
    // Kept until the run ends: this may be running inside one of the socket's signals.
    dropped.push_back(std::move(*it));
    connections.erase(it);
}
