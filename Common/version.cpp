#include "version.h"

#include <cstring>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

int compareVersions(const char* a, const char* b)
{
    while (*a && *b) {
        if (isDigit(*a) && isDigit(*b)) {
            // Compare the numbers without converting them, so any length is fine: skip leading
            // zeros, then the longer run is the larger; equal lengths compare digit by digit.
            while (*a == '0' && isDigit(a[1])) {
                ++a;
            }
            while (*b == '0' && isDigit(b[1])) {
                ++b;
            }
            const char* endA = a;
            const char* endB = b;
            while (isDigit(*endA)) {
                ++endA;
            }
            while (isDigit(*endB)) {
                ++endB;
            }
            const auto lengthA = endA - a;
            const auto lengthB = endB - b;
            if (lengthA != lengthB) {
                return lengthA < lengthB ? -1 : 1;
            }
            if (const int order = std::strncmp(a, b, std::size_t(lengthA)); order != 0) {
                return order < 0 ? -1 : 1;
            }
            a = endA;
            b = endB;
            continue;
        }
        const auto byteA = static_cast<unsigned char>(*a);
        const auto byteB = static_cast<unsigned char>(*b);
        if (byteA != byteB) {
            return byteA < byteB ? -1 : 1;
        }
        ++a;
        ++b;
    }
    const auto byteA = static_cast<unsigned char>(*a);
    const auto byteB = static_cast<unsigned char>(*b);
    return byteA == byteB ? 0 : (byteA < byteB ? -1 : 1);
}
