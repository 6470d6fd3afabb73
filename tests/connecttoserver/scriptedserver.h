#pragma once

// A loopback TCP server that answers every connection with the same script of raw bytes, for
// the misbehaving servers a real HTTP library will not imitate: one that accepts and never
// answers, one that stalls in the middle of the body, one that closes the connection early.
// Each connection reads the request head, then runs the steps (write bytes, or pause), then
// closes the connection or holds it open until the server stops.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>
#include <vector>

class ScriptedServer
{
public:
    struct Step
    {
        QByteArray bytes;
        int pauseMs = 0; // before the bytes are written
    };
    enum class End { Close, Hold };

    ScriptedServer(std::vector<Step> steps, End end);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Listens on a free loopback port; false when that failed.
    bool start();
    // http://127.0.0.1:PORT, no trailing slash.
    QString baseUrl() const;
    int connections() const { return accepted.load(); }

private:
    void serve();
    void runScript(int fd);
    // Sleeps up to ms, or less when the server stops; false once it stops.
    bool pause(int ms);

    std::vector<Step> steps;
    End end;
    int listenFd = -1;
    int wakePipe[2] = { -1, -1 };
    int port = 0;
    std::atomic<bool> stopping { false };
    std::atomic<int> accepted { 0 };
    std::thread worker;
};
