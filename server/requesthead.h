#pragma once

// The head of a request (request line and header lines up to the empty line), checked before
// the HTTP library parses it.
//
// The library keeps every header line a client sends, with no limit on their number, and
// matches the Range header with a std::regex, which recurses once per byte of it: an 8 KiB
// Range header takes some 2 MiB of the serving thread's stack, and a stack keeps the pages it
// once touched. Every thread that met one such request would hold them for good. Hence a head
// holds at most MaxBytes, and a Range header that no client needs (longer than MaxRangeBytes,
// more than MaxRanges ranges, or percent-encoded, which the library would decode first) is
// replaced by one the library refuses with 416 at once.

#include <cstddef>
#include <string>
#include <string_view>

namespace RequestHead {

inline constexpr std::size_t MaxBytes = 32 * 1024;
inline constexpr std::size_t MaxRangeBytes = 512;
inline constexpr std::size_t MaxRanges = 16;

// Where the head in bytes ends (just past its empty line), or npos while it has not ended. As
// for the library, only a line ending in CRLF ends the head.
std::size_t end(std::string_view bytes);

// The value of every Range header beyond the limits in the head that ends at headEnd, replaced
// by RefusedRange, which the library answers with 416; answers where the head now ends.
std::size_t limitRanges(std::string& bytes, std::size_t headEnd);

inline constexpr std::string_view RefusedRange = "refused";

} // namespace RequestHead
