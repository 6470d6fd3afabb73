#include "vendorserverprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

VendorServerProcess::~VendorServerProcess()
{
    if (!process) {
        return;
    }
    // Stopped the way an operator stops it, so a sanitizer build gets to its exit checks.
    if (process->state() != QProcess::NotRunning) {
        sendSignal(SIGTERM);
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    collect();
    // A sanitizer report from the server fails the test run, whichever test started it.
    if (err.contains("Sanitizer") || err.contains("runtime error:")) {
        std::fprintf(stderr, "vendor-server reported:\n%s\n", err.constData());
        std::_Exit(3);
    }
}

bool VendorServerProcess::start(const QStringList& arguments)
{
    process = std::make_unique<QProcess>();
    out.clear();
    err.clear();
    listenPort = -1;
    process->setProgram(QStringLiteral(VENDOR_SERVER_EXE));
    process->setArguments(arguments);
    process->start();
    if (!process->waitForStarted(5000)) {
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on http://[^ ]*:(\\d+)\n"));
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        collect();
        if (const auto match = listening.match(QString::fromUtf8(out)); match.hasMatch()) {
            listenPort = match.captured(1).toInt();
            return true;
        }
        if (process->state() == QProcess::NotRunning) {
            collect();
            return false;
        }
        process->waitForReadyRead(100);
    }
    return false;
}

bool VendorServerProcess::startOn(const QString& releasesDir, const QStringList& more)
{
    return start(QStringList { QStringLiteral("--releases"), releasesDir, QStringLiteral("--port"),
                     QStringLiteral("0") }
        + more);
}

QString VendorServerProcess::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listenPort);
}

void VendorServerProcess::collect()
{
    if (process) {
        out += process->readAllStandardOutput();
        err += process->readAllStandardError();
    }
}

QByteArray VendorServerProcess::output()
{
    // The server flushes each line as it writes it, so a short wait sees all of it.
    if (process && process->state() != QProcess::NotRunning) {
        process->waitForReadyRead(50);
    }
    collect();
    return out;
}

QByteArray VendorServerProcess::errors()
{
    collect();
    return err;
}

bool VendorServerProcess::waitForExit(int timeoutMs)
{
    const bool ended = process->state() == QProcess::NotRunning || process->waitForFinished(timeoutMs);
    collect();
    return ended;
}

void VendorServerProcess::sendSignal(int signal)
{
    ::kill(pid_t(process->processId()), signal);
}

int VendorServerProcess::exitCode() const
{
    return process->exitCode();
}

QProcess::ExitStatus VendorServerProcess::exitStatus() const
{
    return process->exitStatus();
}

bool makeTree(const QString& root, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path)) {
                return false;
            }
            continue;
        }
        if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
            return false;
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size()) {
            return false;
        }
    }
    return true;
}

QByteArray headerValue(const QByteArray& headers, const QByteArray& name)
{
    for (const QByteArray& line : headers.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

RawReply rawRequest(int port, const QByteArray& method, const QByteArray& target, const QByteArray& body,
    const QByteArray& contentType, const QByteArray& headers)
{
    RawReply reply;
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        return reply;
    }
    timeval timeout { 10, 0 };
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(sock);
        return reply;
    }
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers;
    if (!contentType.isEmpty()) {
        request += "Content-Type: " + contentType + "\r\n";
    }
    if (!body.isEmpty() || method == "POST") {
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    qsizetype sent = 0;
    while (sent < request.size()) {
        const ssize_t n
            = ::send(sock, request.constData() + sent, std::size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += n;
    }
    QByteArray received;
    char buffer[16384];
    ssize_t got = 0;
    while ((got = ::recv(sock, buffer, sizeof(buffer), 0)) > 0) {
        received.append(buffer, got);
    }
    ::close(sock);

    const qsizetype headerEnd = received.indexOf("\r\n\r\n");
    if (!received.startsWith("HTTP/1.1 ") || headerEnd < 0) {
        return reply;
    }
    reply.status = received.mid(9, 3).toInt();
    reply.headers = received.left(headerEnd);
    reply.body = received.mid(headerEnd + 4);
    return reply;
}
