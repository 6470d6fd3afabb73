#pragma once

// A tinyproxy (Debian's) of one test's own: its configuration file and log in a temporary
// folder, listening on a free loopback port, ended with the object.

#include "testfiles.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class TinyProxy
{
public:
    TinyProxy() = default;
    ~TinyProxy() { stopProcess(process); }
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    // connectPorts: the ports CONNECT may reach, comma-separated ("" for tinyproxy's default,
    // which is any); credentials: "user:password" for Basic authentication, or empty;
    // outgoing: the address its connections to servers come from ("" for the system's choice),
    // so a server tells requests that came through the proxy by their client address.
    bool start(const QString& connectPorts, const QString& credentials, const QString& outgoing = {});
    // The log as far as written: a "Request (file descriptor N): GET http://..." line for each
    // request, "CONNECT host:port" for a tunnel.
    QString log() const;

    int port = 0;

private:
    QTemporaryDir dir;
    QProcess process;
};
