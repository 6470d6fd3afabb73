#include "dashboard.h"

#include "dashboardpage.h"
#include "sha256.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>

namespace {

std::string digestOf(std::string_view text)
{
    const Sha256Digest digest = Sha256::hash(QByteArrayView(text.data(), qsizetype(text.size())));
    return std::string(digest.begin(), digest.end());
}

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool equalInConstantTime(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

} // namespace

Dashboard::Dashboard(const ReleaseStore& store)
    : store(store)
{
}

bool Dashboard::open(const std::filesystem::path& tokenFile, const std::string& database, std::string& error)
{
    std::ifstream in(tokenFile, std::ios::binary);
    if (!in) {
        error = "cannot read dashboard token file \"" + tokenFile.string() + "\"";
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string_view token = trimmed(text);
    if (token.size() < MinTokenBytes) {
        error = "dashboard token file \"" + tokenFile.string() + "\" holds a token of " + std::to_string(token.size())
            + " characters; give one of at least " + std::to_string(MinTokenBytes);
        return false;
    }
    for (const unsigned char c : token) {
        if (c <= ' ' || c >= 0x7f) {
            error = "dashboard token in \"" + tokenFile.string()
                + "\" holds a blank or a character that is not printable ASCII, which no header can carry";
            return false;
        }
    }
    tokenDigest = digestOf(token);
    return query.open(database, error);
}

bool Dashboard::allows(const httplib::Request& request) const
{
    if (tokenDigest.empty()) {
        return false;
    }
    const std::string header = request.get_header_value("Authorization");
    constexpr std::string_view Scheme = "bearer ";
    if (header.size() < Scheme.size()) {
        return false;
    }
    for (std::size_t i = 0; i < Scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != Scheme[i]) {
            return false;
        }
    }
    return equalInConstantTime(digestOf(trimmed(std::string_view(header).substr(Scheme.size()))), tokenDigest);
}

void Dashboard::answer(const httplib::Request& request, httplib::Response& response, bool json)
{
    if (!allows(request)) {
        response.status = 404;
        return;
    }
    std::vector<std::string> versions;
    for (const Release& release : store.releases()) {
        versions.push_back(release.version);
    }
    DashboardFigures figures;
    std::string error;
    if (!query.load(std::int64_t(std::time(nullptr)), versions, store.newest().version, figures, error)) {
        std::fprintf(stderr, "vendor-server: the dashboard cannot read the reports: %s\n", error.c_str());
        std::fflush(stderr);
        response.status = 503;
        response.set_content("{\"error\":\"the reports cannot be read\"}", "application/json; charset=utf-8");
        return;
    }
    // Figures of the vendor's users: never kept by a proxy or the browser's cache, and the
    // page may load nothing from elsewhere, so no value could ever run as a script.
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    if (json) {
        response.set_content(dashboardJson(figures), "application/json; charset=utf-8");
        return;
    }
    response.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; img-src data:");
    response.set_content(dashboardHtml(figures), "text/html; charset=utf-8");
}
