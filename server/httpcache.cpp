#include "httpcache.h"

namespace HttpCache {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::string strongEtag(const Sha256Digest& digest)
{
    return "\"" + Sha256::toHex(digest) + "\"";
}

std::string strongEtagOf(std::string_view body)
{
    return strongEtag(Sha256::hash(QByteArrayView(body.data(), qsizetype(body.size()))));
}

bool noneMatchNames(std::string_view ifNoneMatch, std::string_view etag)
{
    if (trimmed(ifNoneMatch) == "*") {
        return !etag.empty();
    }
    while (!ifNoneMatch.empty()) {
        const std::size_t comma = ifNoneMatch.find(',');
        std::string_view tag = trimmed(ifNoneMatch.substr(0, comma));
        ifNoneMatch = comma == std::string_view::npos ? std::string_view() : ifNoneMatch.substr(comma + 1);
        if (tag.starts_with("W/")) {
            tag.remove_prefix(2);
        }
        if (!tag.empty() && tag == etag) {
            return true;
        }
    }
    return false;
}

bool answerNotModified(const httplib::Request& request, httplib::Response& response, const std::string& etag,
    const char* lifetime, std::size_t length)
{
    response.set_header("ETag", etag);
    response.set_header("Cache-Control", lifetime);
    if (!request.has_header("If-None-Match") || !noneMatchNames(request.get_header_value("If-None-Match"), etag)) {
        return false;
    }
    response.status = 304;
    // A 304 may carry no Content-Length but the one a 200 would have had.
    response.set_header("Content-Length", std::to_string(length));
    return true;
}

void answer(const httplib::Request& request, httplib::Response& response, const std::string& body,
    const std::string& etag, const char* contentType, const char* lifetime)
{
    if (!answerNotModified(request, response, etag, lifetime, body.size())) {
        response.set_content(body, contentType);
    }
}

} // namespace HttpCache
