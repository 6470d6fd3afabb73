#pragma once

// How often a client address may try a dashboard token: at most MaxTries wrong ones within
// Window; beyond that every try is refused (429) until the oldest wrong one is a Window old.
//
// A try is counted when it begins (begin), before the token is compared, so that many tries
// sent at once from one address cannot all pass the check before the first is counted; a try
// whose token was right is taken back (forgive). A refused try tells nothing about the token,
// right or wrong, so the limit cannot be got round by watching for a different refusal.
//
// Addresses are grouped: an IPv6 client usually holds a whole /64, so all addresses in one /64
// are one client; an IPv4-mapped IPv6 address is its IPv4 address.
//
// The table keeps at most MaxAddresses clients with a wrong try within Window. When it is full
// of them, a client not in it is refused until one ages out: taking it in would mean
// forgetting a client's wrong tries, which would let a client with many addresses try without
// limit.
//
// Wrong tries are logged once per LogInterval at most: the first wrong try after a quiet
// LogInterval makes a line, later ones are counted into the next line. Thread-safe.

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class SignInLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t MaxTries = 5;
    static constexpr std::chrono::seconds Window { 60 };
    static constexpr std::size_t MaxAddresses = 4096;
    static constexpr std::chrono::seconds LogInterval { 60 };

    // The client that address (as the socket gives it) belongs to.
    static std::string clientOf(const std::string& address);

    // Counts a try from address; false when it is refused and the token must not be compared.
    bool begin(const std::string& address, Clock::time_point now);
    // Takes back the try begun last from address, whose token was right.
    void forgive(const std::string& address);
    // Records that a try from address was wrong or refused; the line to log, if one is due.
    std::optional<std::string> noteWrong(const std::string& address, bool refused, Clock::time_point now);

    std::size_t size() const;

private:
    struct Tries
    {
        std::array<Clock::time_point, MaxTries> at {}; // the last tries, oldest first
        std::size_t count = 0;
    };

    static std::size_t recent(const Tries& tries, Clock::time_point now);

    mutable std::mutex mutex;
    std::map<std::string, Tries> byClient;
    std::optional<Clock::time_point> lastLogged;
    std::size_t wrongSinceLog = 0;
    std::size_t refusedSinceLog = 0;
};
