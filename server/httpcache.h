#pragma once

// What vendor-server tells HTTP caches (nginx's proxy_cache, a CDN, the client's own) about
// each answer: how long it may be kept (Cache-Control) and a strong validator (ETag) that
// changes whenever the body's bytes do, so a cache or client that holds the bytes is answered
// 304 Not Modified to If-None-Match and fetches nothing again.
//
//   version answers                      public, max-age=300      short: a publish, a halt
//                                                                  or a re-signing shows soon
//   release files (/releases/V/PATH)     public, max-age=86400
//   content-named files (/objects/...)   public, max-age=31536000, immutable
//   usage reports, product calls, errors no-store
//
// The ETag of a body is a quoted SHA-256 of its bytes; of a release file, the SHA-256 it had
// when the server read the releases, sent only while the file's size and modification time are
// still those it had then.

#include "sha256.h"

#include <httplib.h>

#include <string>
#include <string_view>

namespace HttpCache {

inline constexpr char VersionAnswerLifetime[] = "public, max-age=300";
inline constexpr char ReleaseFileLifetime[] = "public, max-age=86400";
inline constexpr char ContentNamedLifetime[] = "public, max-age=31536000, immutable";
inline constexpr char NotStored[] = "no-store";

// "\"<64 hex digits>\"".
std::string strongEtag(const Sha256Digest& digest);
std::string strongEtagOf(std::string_view body);

// Whether an If-None-Match value ("*", or a list of entity tags, weak ones included as the
// header's weak comparison wants) names etag.
bool noneMatchNames(std::string_view ifNoneMatch, std::string_view etag);

// Sets ETag and Cache-Control; answers 304 without a body when the request's If-None-Match
// names etag, else body with contentType.
void answer(const httplib::Request& request, httplib::Response& response, const std::string& body,
    const std::string& etag, const char* contentType, const char* lifetime);

// Sets ETag and Cache-Control. Answers whether the request's If-None-Match names etag; then the
// response is a 304 that gives the length of the body it stands for.
bool answerNotModified(const httplib::Request& request, httplib::Response& response, const std::string& etag,
    const char* lifetime, std::size_t length);

} // namespace HttpCache
