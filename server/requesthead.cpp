#include "requesthead.h"

#include <algorithm>

namespace RequestHead {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The library's header names compare without regard to ASCII case.
bool isRangeName(std::string_view name)
{
    constexpr std::string_view Range = "range";
    return name.size() == Range.size()
        && std::equal(name.begin(), name.end(), Range.begin(),
            [](char a, char b) { return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b; });
}

bool isAcceptableRange(std::string_view value)
{
    return value.size() <= MaxRangeBytes && value.find('%') == std::string_view::npos
        && std::size_t(std::count(value.begin(), value.end(), ',')) < MaxRanges;
}

} // namespace

std::size_t end(std::string_view bytes)
{
    // The first line is the request line, whatever it holds.
    std::size_t line = bytes.find('\n');
    while (line != std::string_view::npos) {
        const std::size_t start = line + 1;
        if (bytes.substr(start, 2) == "\r\n") {
            return start + 2;
        }
        line = bytes.find('\n', start);
    }
    return std::string_view::npos;
}

std::size_t limitRanges(std::string& bytes, std::size_t headEnd)
{
    std::size_t start = bytes.find('\n') + 1;
    while (start < headEnd) {
        const std::size_t newline = bytes.find('\n', start);
        if (newline == std::string::npos || newline >= headEnd) {
            break;
        }
        // Parsed as the library parses a header line: the name up to the first colon, the
        // value without the blanks around it. A line not ending in CRLF is skipped by it.
        const std::size_t colon = bytes.find(':', start);
        if (newline > start && bytes[newline - 1] == '\r' && colon < newline
            && isRangeName(std::string_view(bytes).substr(start, colon - start))) {
            std::size_t first = colon + 1;
            std::size_t last = newline - 1;
            while (last > first && isBlank(bytes[last - 1])) {
                --last;
            }
            while (first < last && isBlank(bytes[first])) {
                ++first;
            }
            if (!isAcceptableRange(std::string_view(bytes).substr(first, last - first))) {
                bytes.replace(first, last - first, RefusedRange);
                headEnd = headEnd - (last - first) + RefusedRange.size();
                start = bytes.find('\n', first + RefusedRange.size()) + 1;
                continue;
            }
        }
        start = newline + 1;
    }
    return headEnd;
}

} // namespace RequestHead
