#include "scriptedserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ScriptedServer::ScriptedServer(std::vector<Step> steps, End end)
    : steps(std::move(steps))
    , end(end)
{
}

ScriptedServer::~ScriptedServer()
{
    stopping = true;
    if (wakePipe[1] >= 0) {
        const char wake = 0;
        (void)!::write(wakePipe[1], &wake, 1);
    }
    if (worker.joinable()) {
        worker.join();
    }
    for (int fd : { listenFd, wakePipe[0], wakePipe[1] }) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool ScriptedServer::start()
{
    if (::pipe(wakePipe) != 0) {
        return false;
    }
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listenFd, 16) != 0
        || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    port = ntohs(address.sin_port);
    worker = std::thread([this] { serve(); });
    return true;
}

QString ScriptedServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

bool ScriptedServer::pause(int ms)
{
    pollfd wake { wakePipe[0], POLLIN, 0 };
    ::poll(&wake, 1, ms);
    return !stopping;
}

void ScriptedServer::serve()
{
    while (!stopping) {
        pollfd fds[2] = { { listenFd, POLLIN, 0 }, { wakePipe[0], POLLIN, 0 } };
        if (::poll(fds, 2, -1) <= 0 || stopping) {
            continue;
        }
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        ++accepted;
        runScript(fd);
        ::close(fd);
    }
}

void ScriptedServer::runScript(int fd)
{
    // The request head ends with an empty line; a body, if any, is not awaited.
    QByteArray head;
    while (!head.contains("\r\n\r\n")) {
        pollfd fds[2] = { { fd, POLLIN, 0 }, { wakePipe[0], POLLIN, 0 } };
        if (::poll(fds, 2, -1) <= 0 || stopping) {
            return;
        }
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        head.append(buffer, got);
    }
    for (const Step& step : steps) {
        if (step.pauseMs > 0 && !pause(step.pauseMs)) {
            return;
        }
        if (::send(fd, step.bytes.constData(), size_t(step.bytes.size()), MSG_NOSIGNAL)
            != step.bytes.size()) {
            return;
        }
    }
    if (end == End::Hold) {
        pause(-1);
    }
}
