#pragma once

// An httplib::Server built for many keep-alive clients and for clients that send slowly.
//
// Idle connections hold no thread. The library serves each connection on one pool thread for
// as long as it stays open, so a few hundred keep-alive clients that pause between requests
// hold every thread while new connections wait in the queue, some until they time out. Here a
// connection whose next request has not arrived yet is handed to one poller thread (epoll),
// which gives it back to the pool once bytes arrive and closes it when it stays idle for the
// keep-alive time-out or when the server stops. The number of idle connections kept is
// bounded; beyond it the longest idle one is closed, which HTTP allows at any time.
//
// Clients must send each request whole (request line, headers and body) within a time limit,
// however they pace it. The library's read time-out alone bounds only the pause between two
// pieces: a client that sends a header line every few seconds would hold its thread for as
// long as it likes, and a handful of them would hold every thread. The limit is lifted once
// the answer starts, so slow downloads are bounded only by the write time-out; a connection
// whose request ran out of time is closed after that request.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>

class ConnectionPark;

class BoundedServer final : public httplib::Server
{
public:
    // workers: threads that serve requests; maxIdle: idle keep-alive connections kept open.
    BoundedServer(std::chrono::milliseconds requestTimeLimit, std::size_t workers, std::size_t maxIdle);

    // After a bind: lets up to backlog connections wait to be accepted. The library listens
    // with a backlog of 5; when many clients connect at once the kernel then drops handshakes,
    // and each dropped one waits a second or more for its retransmission.
    bool setBacklog(int backlog);

    // The library's logger, kept here too for the requests refused before the library sees
    // them (a head larger than RequestHead::MaxBytes, answered 431).
    BoundedServer& set_logger(httplib::Logger logger);

private:
    friend class ConnectionPark;

    // The connection loop of the library, with a stream that keeps the deadline, serving the
    // requests that have arrived and parking the connection when none has.
    bool process_and_close_socket(socket_t sock) override;
    bool serve(socket_t sock, std::size_t requestsLeft);

    std::chrono::milliseconds requestTimeLimit;
    httplib::Logger accessLog;
    std::size_t maxIdle;
    // The poller of the running accept loop; null while none runs.
    std::atomic<ConnectionPark*> park = nullptr;
};
