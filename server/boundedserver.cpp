#include "boundedserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds duration(time_t seconds, time_t microseconds)
{
    return std::chrono::seconds(seconds) + std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::microseconds(microseconds));
}

// Waits until fd is ready for events; false on time-out, error or hang-up without data.
bool waitFor(int fd, short events, std::chrono::milliseconds timeout)
{
    pollfd entry { fd, events, 0 };
    for (;;) {
        const int ready = ::poll(&entry, 1, int(std::max<std::chrono::milliseconds::rep>(0, timeout.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && (entry.revents & events) != 0;
    }
}

void addressOf(const sockaddr_storage& address, std::string& ip, int& port)
{
    std::array<char, INET6_ADDRSTRLEN> text {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text.data(), text.size());
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
        port = ntohs(v6.sin6_port);
    }
    ip = text.data();
}

// A socket stream like the library's own, whose reads fail once the request's deadline has
// passed; the first write (the answer) lifts the deadline.
class DeadlineStream final : public httplib::Stream
{
public:
    DeadlineStream(int fd, std::chrono::milliseconds readTimeout, std::chrono::milliseconds writeTimeout)
        : fd(fd)
        , readTimeout(readTimeout)
        , writeTimeout(writeTimeout)
    {
    }

    void startRequest(Clock::time_point until)
    {
        deadline = until;
        armed = true;
    }
    bool ranOutOfTime() const { return expired; }

    // Whether the client begins another request within timeout.
    bool waitForRequest(std::chrono::milliseconds timeout) const
    {
        return start < end || waitFor(fd, POLLIN, timeout);
    }

    bool is_readable() const override { return start < end || waitFor(fd, POLLIN, readWait()); }
    bool is_writable() const override { return waitFor(fd, POLLOUT, writeTimeout); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (start == end) {
            if (!waitFor(fd, POLLIN, readWait())) {
                expired = armed && Clock::now() >= deadline;
                return -1;
            }
            ssize_t got = 0;
            do {
                got = ::recv(fd, buffer.data(), buffer.size(), 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                return got;
            }
            start = 0;
            end = std::size_t(got);
        }
        const std::size_t taken = std::min(size, end - start);
        std::copy_n(buffer.data() + start, taken, ptr);
        start += taken;
        return ssize_t(taken);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        armed = false;
        if (!waitFor(fd, POLLOUT, writeTimeout)) {
            return -1;
        }
        ssize_t sent = 0;
        do {
            sent = ::send(fd, ptr, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            addressOf(address, ip, port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            addressOf(address, ip, port);
        }
    }
    socket_t socket() const override { return fd; }

private:
    // The read time-out, or less when the request's deadline comes first.
    std::chrono::milliseconds readWait() const
    {
        if (!armed) {
            return readTimeout;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return std::clamp(left, std::chrono::milliseconds(0), readTimeout);
    }

    const int fd;
    const std::chrono::milliseconds readTimeout;
    const std::chrono::milliseconds writeTimeout;
    Clock::time_point deadline {};
    bool armed = false;
    bool expired = false;
    std::array<char, 4096> buffer {};
    std::size_t start = 0;
    std::size_t end = 0;
};

} // namespace

BoundedServer::BoundedServer(std::chrono::milliseconds requestTimeLimit)
    : requestTimeLimit(requestTimeLimit)
{
}

bool BoundedServer::process_and_close_socket(socket_t sock)
{
    DeadlineStream stream(sock, duration(read_timeout_sec_, read_timeout_usec_),
        duration(write_timeout_sec_, write_timeout_usec_));
    bool ok = false;
    for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
        if (!stream.waitForRequest(std::chrono::seconds(keep_alive_timeout_sec_))) {
            break;
        }
        stream.startRequest(Clock::now() + requestTimeLimit);
        bool closed = false;
        ok = process_request(stream, left == 1, closed, nullptr);
        if (!ok || closed || stream.ranOutOfTime()) {
            break;
        }
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}
