#pragma once

// The sessions of the vendor signed in to the dashboard from a browser.
//
// A session id is 32 bytes from the kernel's CSPRNG (getrandom), given to the browser as 64
// hex digits in a cookie. The server keeps only the SHA-256 of each id, with its expiry: a
// copy of the table (a core dump, a debugger) signs nobody in, and a lookup compares digests,
// whose likeness tells nothing about the ids. A session ends at sign-out or Lifetime after
// sign-in, whatever happens in between.
//
// Only a sign-in with the token makes a session, and the table keeps at most MaxSessions:
// a new one beyond that ends the one that would expire first. Thread-safe.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class DashboardSessions
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::hours Lifetime { 12 };
    static constexpr std::size_t MaxSessions = 64;
    static constexpr std::size_t IdBytes = 32;

    // A new session from now; its id (hex), or nullopt when the kernel gives no random bytes.
    std::optional<std::string> start(Clock::time_point now);
    // Whether id names a session that has not ended by now.
    bool isValid(std::string_view id, Clock::time_point now) const;
    // Ends the session id names, if any.
    void end(std::string_view id);

    std::size_t size() const;

private:
    void dropExpired(Clock::time_point now);

    mutable std::mutex mutex;
    std::map<std::string, Clock::time_point> expiryByDigest;
};

// a == b, in a time that depends on their lengths only.
bool equalInConstantTime(std::string_view a, std::string_view b);
