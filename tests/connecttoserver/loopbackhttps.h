#pragma once

// An https server on a loopback port that presents the test certificate (data/loopback.crt),
// which constructing it makes this process trust. Routes go on https() before start().

#include <httplib.h>

#include <QString>

#include <thread>

class LoopbackHttpsServer
{
public:
    LoopbackHttpsServer();
    ~LoopbackHttpsServer();
    LoopbackHttpsServer(const LoopbackHttpsServer&) = delete;
    LoopbackHttpsServer& operator=(const LoopbackHttpsServer&) = delete;

    httplib::SSLServer& https() { return server; }
    // Whether the certificate loaded and the server listens.
    bool start();
    // Stops the server; it waits for the connections its clients still hold.
    void stop();
    QString baseUrl() const { return QStringLiteral("https://127.0.0.1:%1").arg(port); }

private:
    httplib::SSLServer server;
    std::thread listener;
    int port = 0;
};
