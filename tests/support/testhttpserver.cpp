#include "testhttpserver.h"

#include "serverconfig.h"

#include <QUrl>

TestHttpServer::TestHttpServer()
{
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(mutex);
        seen.push_back({ request.method, request.path, request.target, request.headers });
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

TestHttpServer::~TestHttpServer()
{
    stop();
}

bool TestHttpServer::start()
{
    return startOn(0);
}

bool TestHttpServer::startAtServerBaseUrl()
{
    return startOn(QUrl(QString::fromUtf8(ServerBaseUrl)).port(80));
}

bool TestHttpServer::startOn(int port)
{
    if (port == 0) {
        boundPort = server.bind_to_any_port("127.0.0.1");
    } else {
        boundPort = server.bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (boundPort <= 0) {
        return false;
    }
    listener = std::thread([this] { server.listen_after_bind(); });
    // The socket already listens; waiting for the accept loop keeps stop() from racing it.
    while (!server.is_running()) {
        std::this_thread::yield();
    }
    return true;
}

void TestHttpServer::stop()
{
    if (listener.joinable()) {
        server.stop();
        listener.join();
    }
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(boundPort);
}

std::vector<SeenRequest> TestHttpServer::requests() const
{
    std::lock_guard lock(mutex);
    return seen;
}

int TestHttpServer::countRequests(const std::string& path) const
{
    std::lock_guard lock(mutex);
    int n = 0;
    for (const SeenRequest& request : seen) {
        n += request.path == path;
    }
    return n;
}
