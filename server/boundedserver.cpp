#include "boundedserver.h"

#include "requesthead.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

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
// passed; the first write (the answer) lifts the deadline. It reads each request's head whole
// before the library does, so the head can be checked first (requesthead.h).
class DeadlineStream final : public httplib::Stream
{
public:
    enum class Head { Ready, TooLarge, Cut };

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
    // Whether a read timed out or the client hung up: the request was cut off, and whatever
    // the library answered to it, the connection has nothing more to give.
    bool readFailed() const { return failed; }

    // Whether the client begins another request within timeout.
    bool waitForRequest(std::chrono::milliseconds timeout) const
    {
        return start < pending.size() || waitFor(fd, POLLIN, timeout);
    }

    // Reads until the next request's head has arrived whole, and limits its Range headers.
    // Cut: the client stopped or ran out of time first, and the library meets the same end.
    Head readHead()
    {
        pending.erase(0, start);
        start = 0;
        std::size_t headEnd = RequestHead::end(pending);
        while (headEnd == std::string::npos) {
            if (pending.size() >= RequestHead::MaxBytes) {
                return Head::TooLarge;
            }
            if (!receive()) {
                return Head::Cut;
            }
            headEnd = RequestHead::end(pending);
        }
        if (headEnd > RequestHead::MaxBytes) {
            return Head::TooLarge;
        }
        RequestHead::limitRanges(pending, headEnd);
        return Head::Ready;
    }
    // Reads and drops what the client still sends, for a moment and up to a bound, after an
    // answer that ends the connection: closing with bytes unread would reset it, and the
    // client could lose the answer.
    void drain()
    {
        ::shutdown(fd, SHUT_WR);
        const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        std::array<char, ReceiveBytes> scratch;
        for (std::size_t dropped = 0; dropped < 4 * RequestHead::MaxBytes;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0 || !waitFor(fd, POLLIN, left)) {
                return;
            }
            const ssize_t got = ::recv(fd, scratch.data(), scratch.size(), 0);
            if (got <= 0) {
                return;
            }
            dropped += std::size_t(got);
        }
    }

    // The request line as it arrived, for the log of a refused head.
    std::string_view requestLine() const
    {
        const std::string_view rest = std::string_view(pending).substr(start);
        return rest.substr(0, std::min(rest.find_first_of("\r\n"), rest.size()));
    }

    bool is_readable() const override { return start < pending.size() || waitFor(fd, POLLIN, readWait()); }
    bool is_writable() const override { return waitFor(fd, POLLOUT, writeTimeout); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (start == pending.size()) {
            pending.clear();
            start = 0;
            if (!receive()) {
                return lastReceived;
            }
        }
        const std::size_t taken = std::min(size, pending.size() - start);
        std::copy_n(pending.data() + start, taken, ptr);
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
    // Appends what the client sent next; false when it sent nothing in time or hung up.
    bool receive()
    {
        // Once a read has failed the request is cut off: the library, reading on, must not
        // wait a second read time-out for it.
        if (failed) {
            return false;
        }
        if (!waitFor(fd, POLLIN, readWait())) {
            expired = armed && Clock::now() >= deadline;
            failed = true;
            lastReceived = -1;
            return false;
        }
        const std::size_t had = pending.size();
        pending.resize(had + ReceiveBytes);
        ssize_t got = 0;
        do {
            got = ::recv(fd, pending.data() + had, ReceiveBytes, 0);
        } while (got < 0 && errno == EINTR);
        pending.resize(had + std::size_t(std::max<ssize_t>(got, 0)));
        lastReceived = got;
        if (got <= 0) {
            failed = true;
            return false;
        }
        return true;
    }

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
    bool failed = false;
    static constexpr std::size_t ReceiveBytes = 4096;
    // What arrived and the library has not read yet, from start on: at most a head and one
    // receive more.
    std::string pending;
    std::size_t start = 0;
    ssize_t lastReceived = 0;
};

// Answers a head too large to read with 431, and logs it.
void refuseHead(DeadlineStream& stream, const httplib::Logger& accessLog)
{
    const std::string body = "{\"error\":\"the request head is larger than "
        + std::to_string(RequestHead::MaxBytes) + " bytes\"}";
    const std::string answer = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                               "Cache-Control: no-store\r\n"
                               "Connection: close\r\n"
                               "Content-Type: application/json; charset=utf-8\r\n"
                               "Content-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;
    [[maybe_unused]] const ssize_t written = stream.write(answer.data(), answer.size());
    stream.drain();
    if (!accessLog) {
        return;
    }
    // Logged as the library logs what it answers: the request line's three parts.
    httplib::Request request;
    const std::string_view line = stream.requestLine();
    const std::size_t methodEnd = std::min(line.find(' '), line.size());
    const std::size_t targetEnd = std::min(line.rfind(' '), line.size());
    request.method = line.substr(0, methodEnd);
    if (targetEnd > methodEnd) {
        request.target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
        request.version = line.substr(targetEnd + 1);
    }
    stream.get_remote_ip_and_port(request.remote_addr, request.remote_port);
    httplib::Response response;
    response.status = 431;
    response.body = body;
    accessLog(request, response);
}

void closeConnection(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

} // namespace

// The task queue of one accept loop: the library's thread pool, and the poller that keeps the
// idle connections until their next request arrives.
class ConnectionPark final : public httplib::TaskQueue
{
public:
    ConnectionPark(BoundedServer& server, std::size_t workers, std::size_t maxIdle)
        : server(server)
        , pool(workers)
        , maxIdle(std::max<std::size_t>(maxIdle, 1))
        , poller(::epoll_create1(EPOLL_CLOEXEC))
        , wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = wake;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, wake, &event);
        watcher = std::thread([this] { watch(); });
    }
    ~ConnectionPark() override
    {
        server.park = nullptr;
        ::close(poller);
        ::close(wake);
    }

    void enqueue(std::function<void()> task) override { pool.enqueue(std::move(task)); }

    void shutdown() override
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            for (const auto& [fd, connection] : idle) {
                ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
                closeConnection(fd);
            }
            idle.clear();
            order.clear();
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
        watcher.join();
        // Tasks still queued find the server stopped and close their connections; a connection
        // a worker would park now is closed at once.
        pool.shutdown();
    }

    // Keeps fd until its next request arrives; false (fd not taken) once the server stops.
    bool keep(int fd, std::size_t requestsLeft)
    {
        std::lock_guard lock(mutex);
        if (stopping || poller < 0) {
            return false;
        }
        while (idle.size() >= maxIdle && !order.empty()) {
            const Waiting oldest = order.front();
            order.pop_front();
            const auto found = idle.find(oldest.fd);
            if (found != idle.end() && found->second.serial == oldest.serial) {
                drop(found);
            }
        }
        const std::uint64_t serial = ++serials;
        const Clock::time_point until = Clock::now() + std::chrono::seconds(server.keep_alive_timeout_sec_);
        epoll_event event {};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
        event.data.fd = fd;
        if (::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) != 0) {
            return false;
        }
        idle.emplace(fd, Idle { requestsLeft, serial });
        order.push_back(Waiting { until, fd, serial });
        return true;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Idle
    {
        std::size_t requestsLeft;
        std::uint64_t serial; // tells this stay from an earlier one of a reused descriptor
    };
    struct Waiting
    {
        Clock::time_point until;
        int fd;
        std::uint64_t serial;
    };

    void drop(std::unordered_map<int, Idle>::iterator entry)
    {
        ::epoll_ctl(poller, EPOLL_CTL_DEL, entry->first, nullptr);
        closeConnection(entry->first);
        idle.erase(entry);
    }

    // Milliseconds until the longest idle connection times out; -1 with none. Closes the
    // ones whose time is up first.
    int closeTimedOut()
    {
        const Clock::time_point now = Clock::now();
        while (!order.empty()) {
            const Waiting& front = order.front();
            const auto found = idle.find(front.fd);
            if (found == idle.end() || found->second.serial != front.serial) {
                order.pop_front();
                continue;
            }
            if (front.until > now) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(front.until - now);
                return int(left.count());
            }
            drop(found);
            order.pop_front();
        }
        return -1;
    }

    void watch()
    {
        std::array<epoll_event, 64> events {};
        std::vector<std::pair<int, std::size_t>> ready;
        for (;;) {
            int timeout = -1;
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    return;
                }
                timeout = closeTimedOut();
            }
            const int count = ::epoll_wait(poller, events.data(), int(events.size()), timeout);
            if (count < 0 && errno != EINTR) {
                return;
            }
            ready.clear();
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    return;
                }
                for (int i = 0; i < count; ++i) {
                    const auto found = idle.find(events[std::size_t(i)].data.fd);
                    if (found == idle.end()) {
                        continue; // the wake-up, or one closed meanwhile
                    }
                    ::epoll_ctl(poller, EPOLL_CTL_DEL, found->first, nullptr);
                    ready.emplace_back(found->first, found->second.requestsLeft);
                    idle.erase(found);
                }
            }
            // A hang-up comes here too: the worker reads the end and closes.
            for (const auto& [fd, requestsLeft] : ready) {
                pool.enqueue([this, fd, requestsLeft] { server.serve(fd, requestsLeft); });
            }
        }
    }

    BoundedServer& server;
    httplib::ThreadPool pool;
    const std::size_t maxIdle;
    const int poller;
    const int wake;
    std::thread watcher;
    std::mutex mutex;
    bool stopping = false;
    std::uint64_t serials = 0;
    std::unordered_map<int, Idle> idle;
    std::deque<Waiting> order; // by time-out, which is by arrival: every stay is as long
};

BoundedServer::BoundedServer(std::chrono::milliseconds requestTimeLimit, std::size_t workers, std::size_t maxIdle)
    : requestTimeLimit(requestTimeLimit)
    , maxIdle(maxIdle)
{
    new_task_queue = [this, workers] {
        auto* queue = new ConnectionPark(*this, workers, this->maxIdle);
        park = queue;
        return queue;
    };
}

BoundedServer& BoundedServer::set_logger(httplib::Logger logger)
{
    accessLog = logger;
    httplib::Server::set_logger(std::move(logger));
    return *this;
}

bool BoundedServer::setBacklog(int backlog)
{
    return svr_sock_ != INVALID_SOCKET && ::listen(svr_sock_, backlog) == 0;
}

bool BoundedServer::process_and_close_socket(socket_t sock)
{
    // The library sends an answer's headers and body in separate writes; with Nagle's
    // algorithm the body then waits for the client's delayed acknowledgement, some 40 ms.
    int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    return serve(sock, keep_alive_max_count_);
}

bool BoundedServer::serve(socket_t sock, std::size_t requestsLeft)
{
    DeadlineStream stream(sock, duration(read_timeout_sec_, read_timeout_usec_),
        duration(write_timeout_sec_, write_timeout_usec_));
    bool ok = true;
    bool keep = false;
    for (; requestsLeft > 0 && svr_sock_ != INVALID_SOCKET; --requestsLeft) {
        // What has not arrived yet is waited for by the poller, not by this thread.
        if (!stream.waitForRequest(std::chrono::milliseconds(0))) {
            keep = true;
            break;
        }
        stream.startRequest(Clock::now() + requestTimeLimit);
        if (stream.readHead() == DeadlineStream::Head::TooLarge) {
            refuseHead(stream, accessLog);
            break;
        }
        bool closed = false;
        ok = process_request(stream, requestsLeft == 1, closed, nullptr);
        if (!ok || closed || stream.ranOutOfTime() || stream.readFailed()) {
            break;
        }
    }
    ConnectionPark* const idle = park.load();
    if (keep && svr_sock_ != INVALID_SOCKET && idle && idle->keep(sock, requestsLeft)) {
        return ok;
    }
    closeConnection(sock);
    return ok;
}
