#include "testhttpserver.h"

#include "serverconfig.h"

#include <QUrl>

namespace {

// Answered by the server itself and never logged.
constexpr char ProbePath[] = "/.testhttpserver-probe";

} // namespace

TestHttpServer::TestHttpServer()
{
    // Address reuse only, as vendor-server sets it: connections this server leaves waiting
    // out their close then do not keep the next server off the same port.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (request.path == ProbePath) {
            response.status = 204;
            return httplib::Server::HandlerResponse::Handled;
        }
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
    // The server starts its worker threads after it reports running; one answered request
    // proves they exist, so a test may change thread defaults afterwards without breaking it.
    httplib::Client probe("127.0.0.1", boundPort);
    return bool(probe.Get(ProbePath));
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
