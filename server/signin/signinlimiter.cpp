#include "signinlimiter.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

std::string SignInLimiter::clientOf(const std::string& address)
{
    in6_addr six {};
    if (::inet_pton(AF_INET6, address.c_str(), &six) != 1) {
        return address;
    }
    static constexpr unsigned char MappedPrefix[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
    char text[INET6_ADDRSTRLEN] = {};
    if (std::memcmp(six.s6_addr, MappedPrefix, sizeof MappedPrefix) == 0) {
        ::inet_ntop(AF_INET, six.s6_addr + 12, text, sizeof text);
        return text;
    }
    std::memset(six.s6_addr + 8, 0, 8);
    ::inet_ntop(AF_INET6, &six, text, sizeof text);
    return std::string(text) + "/64";
}

std::size_t SignInLimiter::recent(const Tries& tries, Clock::time_point now)
{
    return std::size_t(std::count_if(tries.at.begin(), tries.at.begin() + std::ptrdiff_t(tries.count),
        [now](Clock::time_point at) { return now - at < Window; }));
}

bool SignInLimiter::begin(const std::string& address, Clock::time_point now)
{
    const std::string client = clientOf(address);
    const std::lock_guard lock(mutex);
    auto found = byClient.find(client);
    if (found == byClient.end()) {
        if (byClient.size() >= MaxAddresses) {
            std::erase_if(byClient, [now](const auto& entry) { return recent(entry.second, now) == 0; });
        }
        if (byClient.size() >= MaxAddresses) {
            return false;
        }
        found = byClient.emplace(client, Tries {}).first;
    }
    Tries& tries = found->second;
    if (recent(tries, now) >= MaxTries) {
        return false;
    }
    if (tries.count == MaxTries) {
        std::move(tries.at.begin() + 1, tries.at.end(), tries.at.begin());
        --tries.count;
    }
    tries.at[tries.count++] = now;
    return true;
}

void SignInLimiter::forgive(const std::string& address)
{
    const std::lock_guard lock(mutex);
    const auto found = byClient.find(clientOf(address));
    if (found == byClient.end() || found->second.count == 0) {
        return;
    }
    if (--found->second.count == 0) {
        byClient.erase(found);
    }
}

std::optional<std::string> SignInLimiter::noteWrong(
    const std::string& address, bool refused, Clock::time_point now)
{
    const std::lock_guard lock(mutex);
    ++(refused ? refusedSinceLog : wrongSinceLog);
    if (lastLogged && now - *lastLogged < LogInterval) {
        return std::nullopt;
    }
    std::string line = std::to_string(wrongSinceLog) + " wrong dashboard token(s) and "
        + std::to_string(refusedSinceLog) + " refused tr" + (refusedSinceLog == 1 ? "y" : "ies")
        + " since the last such line, the latest from " + address;
    lastLogged = now;
    wrongSinceLog = 0;
    refusedSinceLog = 0;
    return line;
}

std::size_t SignInLimiter::size() const
{
    const std::lock_guard lock(mutex);
    return byClient.size();
}
