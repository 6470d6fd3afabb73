#include "dashboardsessions.h"

#include "sha256.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>

namespace {

std::string digestOf(std::string_view text)
{
    const Sha256Digest digest = Sha256::hash(QByteArrayView(text.data(), qsizetype(text.size())));
    return std::string(digest.begin(), digest.end());
}

bool randomBytes(unsigned char* buffer, std::size_t size)
{
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(buffer + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += std::size_t(got);
    }
    return true;
}

} // namespace

bool equalInConstantTime(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    // volatile: the compiler may not end the loop at the first difference.
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

std::optional<std::string> DashboardSessions::start(Clock::time_point now)
{
    unsigned char bytes[IdBytes];
    if (!randomBytes(bytes, sizeof bytes)) {
        return std::nullopt;
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char byte : bytes) {
        id += Hex[byte >> 4];
        id += Hex[byte & 15];
    }
    const std::lock_guard lock(mutex);
    dropExpired(now);
    if (expiryByDigest.size() >= MaxSessions) {
        expiryByDigest.erase(std::min_element(expiryByDigest.begin(), expiryByDigest.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    expiryByDigest[digestOf(id)] = now + Lifetime;
    return id;
}

bool DashboardSessions::isValid(std::string_view id, Clock::time_point now) const
{
    if (id.size() != 2 * IdBytes) {
        return false;
    }
    const std::lock_guard lock(mutex);
    const auto found = expiryByDigest.find(digestOf(id));
    return found != expiryByDigest.end() && now < found->second;
}

void DashboardSessions::end(std::string_view id)
{
    const std::string digest = digestOf(id);
    const std::lock_guard lock(mutex);
    expiryByDigest.erase(digest);
}

std::size_t DashboardSessions::size() const
{
    const std::lock_guard lock(mutex);
    return expiryByDigest.size();
}

void DashboardSessions::dropExpired(Clock::time_point now)
{
    std::erase_if(expiryByDigest, [now](const auto& entry) { return entry.second <= now; });
}
