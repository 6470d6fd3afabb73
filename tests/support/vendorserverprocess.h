#pragma once

// The real vendor-server executable run as a child process for one test, and the few things
// its tests share: release trees on disk and raw HTTP requests.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class VendorServerProcess
{
public:
    VendorServerProcess() = default;
    ~VendorServerProcess();
    VendorServerProcess(const VendorServerProcess&) = delete;
    VendorServerProcess& operator=(const VendorServerProcess&) = delete;

    // Starts vendor-server with arguments and waits until it listens (true) or has exited
    // (false; then exitCode() and errors() tell why).
    bool start(const QStringList& arguments);
    // Starts with --releases dir --port 0 (any free port) and the given further arguments.
    bool startOn(const QString& releasesDir, const QStringList& more = {});

    int port() const { return listenPort; }
    // http://127.0.0.1:PORT
    QString baseUrl() const;

    // Everything written to standard output / standard error so far.
    QByteArray output();
    QByteArray errors();

    // Waits for the process to end by itself; false when it still runs after timeoutMs.
    bool waitForExit(int timeoutMs = 10000);
    void sendSignal(int signal);
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;

private:
    void collect();

    std::unique_ptr<QProcess> process;
    QByteArray out;
    QByteArray err;
    int listenPort = -1;
};

// Writes each relative path => bytes under root, creating folders; a path ending in "/" makes
// just that (empty) folder.
bool makeTree(const QString& root, const QMap<QString, QByteArray>& files);

struct RawReply
{
    int status = 0; // 0 when no HTTP reply came
    QByteArray headers;
    QByteArray body;
};

// Sends request target exactly as given, bytes untouched, and reads the reply to its end.
// headers: further header lines, each ending in "\r\n".
RawReply rawRequest(int port, const QByteArray& method, const QByteArray& target, const QByteArray& body = {},
    const QByteArray& contentType = {}, const QByteArray& headers = {});

// The value of header name (case-insensitive) in a reply's header block; empty when absent.
QByteArray headerValue(const QByteArray& headers, const QByteArray& name);
