#pragma once

// A real HTTP server on loopback for one test: register handlers on http(), then start().
// Every request it sees is logged before its handler runs, so the log holds what arrives ahead
// of the body; a handler that needs the body sees it in its own request.

#include <httplib.h>

#include <QString>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SeenRequest
{
    std::string method;
    std::string path;   // without the query
    std::string target; // as sent, query included
    httplib::Headers headers;
};

class TestHttpServer
{
public:
    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    httplib::Server& http() { return server; }

    // Listens on a free loopback port; false when binding failed.
    bool start();
    // Listens on the port of the compiled-in server address (tests marked SERVER_PORT).
    bool startAtServerBaseUrl();
    void stop();

    int port() const { return boundPort; }
    // http://127.0.0.1:PORT, no trailing slash.
    QString baseUrl() const;
    std::vector<SeenRequest> requests() const;
    int countRequests(const std::string& path) const;

private:
    bool startOn(int port);

    httplib::Server server;
    std::thread listener;
    int boundPort = -1;
    mutable std::mutex mutex;
    std::vector<SeenRequest> seen;
};
