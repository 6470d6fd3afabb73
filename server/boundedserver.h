#pragma once

// An httplib::Server whose clients must send each request whole (request line, headers and
// body) within a time limit, however they pace it. The library's read time-out alone bounds
// only the pause between two pieces: a client that sends a header line every few seconds would
// hold its thread for as long as it likes, and a handful of them would hold every thread.
// The limit is lifted once the answer starts, so slow downloads are bounded only by the write
// time-out; a connection whose request ran out of time is closed after that request.

#include <httplib.h>

#include <chrono>

class BoundedServer final : public httplib::Server
{
public:
    explicit BoundedServer(std::chrono::milliseconds requestTimeLimit);

private:
    // The connection loop of the library, with a stream that keeps the deadline.
    bool process_and_close_socket(socket_t sock) override;

    std::chrono::milliseconds requestTimeLimit;
};
