#include "dashboard.h"

#include "dashboardpage.h"
#include "formdata.h"
#include "sha256.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

constexpr char HtmlType[] = "text/html; charset=utf-8";
constexpr char JsonType[] = "application/json; charset=utf-8";
constexpr char SignInPath[] = "/dashboard/sign-in";
constexpr char SignOutPath[] = "/dashboard/sign-out";

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

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// "scheme://authority/..." => "authority"; empty when url is not of that form.
std::string_view authorityOf(std::string_view url)
{
    const std::size_t start = url.find("://");
    if (start == std::string_view::npos) {
        return {};
    }
    url.remove_prefix(start + 3);
    return url.substr(0, url.find_first_of("/?#"));
}

// The values of every cookie called name the request carries.
std::vector<std::string> cookiesOf(const httplib::Request& request, std::string_view name)
{
    std::vector<std::string> values;
    const std::size_t headers = request.get_header_value_count("Cookie");
    for (std::size_t h = 0; h < headers; ++h) {
        const std::string header = request.get_header_value("Cookie", h);
        std::string_view cookies = header;
        while (!cookies.empty()) {
            const std::size_t end = cookies.find(';');
            const std::string_view pair = trimmed(cookies.substr(0, end));
            cookies.remove_prefix(end == std::string_view::npos ? cookies.size() : end + 1);
            const std::size_t equals = pair.find('=');
            if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
                values.emplace_back(pair.substr(equals + 1));
            }
        }
    }
    return values;
}

// The browser must keep none of these pages, and no other site may frame them.
void setPageHeaders(httplib::Response& response)
{
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    // Same-origin, not no-referrer: with no-referrer a browser sends "Origin: null" on the
    // page's own form posts, which could not be told from a post from another site.
    response.set_header("Referrer-Policy", "same-origin");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Content-Security-Policy",
        "default-src 'none'; style-src 'unsafe-inline'; img-src data:; form-action 'self'; frame-ancestors "
        "'none'");
}

void answerJsonError(httplib::Response& response, int status, const char* message)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(std::string("{\"error\":\"") + message + "\"}", JsonType);
}

const char* const SignInStyle = R"css(
body{font:15px/1.4 system-ui,sans-serif;margin:48px auto;max-width:420px;color:#212529;background:#fff}
h1{font-size:22px;font-weight:600}
label{display:block;margin:16px 0 4px}
input{width:100%;box-sizing:border-box;padding:8px;font:inherit;border:1px solid #adb5bd;border-radius:4px}
button{margin-top:12px;padding:8px 18px;font:inherit;border:0;border-radius:4px;background:#1c7ed6;color:#fff}
.message{padding:8px 12px;background:#fff3bf;border-radius:4px}
.hint{color:#6c757d;font-size:13px}
)css";

const char* const SignOutForm
    = "<form method=\"post\" action=\"/dashboard/sign-out\" style=\"position:absolute;top:20px;right:32px\">"
      "<button type=\"submit\" id=\"sign-out\">Sign out</button></form>\n";

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

void Dashboard::setPublicBase(const std::string& base)
{
    httpsBase = startsWithNoCase(base, "https://");
    const std::string_view authority = authorityOf(base);
    publicOrigin
        = authority.empty() ? std::string() : base.substr(0, base.find("://") + 3) + std::string(authority);
}

bool Dashboard::isTokenRight(std::string_view token) const
{
    return !tokenDigest.empty() && equalInConstantTime(digestOf(trimmed(token)), tokenDigest);
}

Dashboard::Check Dashboard::tryToken(const httplib::Request& request, std::string_view token)
{
    const auto now = SignInLimiter::Clock::now();
    const bool allowed = limiter.begin(request.remote_addr, now);
    if (allowed && isTokenRight(token)) {
        limiter.forgive(request.remote_addr);
        return Check::Right;
    }
    if (const auto line = limiter.noteWrong(request.remote_addr, !allowed, now)) {
        std::fprintf(stderr, "vendor-server: %s\n", line->c_str());
        std::fflush(stderr);
    }
    if (!allowed) {
        return Check::Refused;
    }
    // Slow, so that guessing is slow even from many addresses; but never on many threads.
    if (++waitingAnswers <= MaxWaitingAnswers) {
        std::this_thread::sleep_for(WrongTokenDelay);
    }
    --waitingAnswers;
    return Check::Wrong;
}

bool Dashboard::hasSession(const httplib::Request& request) const
{
    const auto now = DashboardSessions::Clock::now();
    for (const std::string& id : cookiesOf(request, CookieName)) {
        if (sessions.isValid(id, now)) {
            return true;
        }
    }
    return false;
}

bool Dashboard::isFromThisSite(const httplib::Request& request) const
{
    const std::string host = request.get_header_value("Host");
    const auto ours = [&](std::string_view url) {
        const std::string_view authority = authorityOf(url);
        return (!authority.empty() && authority == host)
            || (!publicOrigin.empty() && url.substr(0, publicOrigin.size()) == publicOrigin
                && (url.size() == publicOrigin.size() || url[publicOrigin.size()] == '/'));
    };
    if (request.has_header("Origin")) {
        return ours(request.get_header_value("Origin"));
    }
    if (request.has_header("Referer")) {
        return ours(request.get_header_value("Referer"));
    }
    // Neither: no browser's cross-site form post, and the cookie is SameSite=Strict anyway.
    return true;
}

bool Dashboard::wantsSecureCookie(const httplib::Request& request) const
{
    // A proxy that ends TLS says so; a client that lies only makes its own cookie Secure.
    return httpsBase || startsWithNoCase(request.get_header_value("X-Forwarded-Proto"), "https");
}

void Dashboard::answerSignIn(httplib::Response& response, int status, std::string_view message) const
{
    response.status = status;
    setPageHeaders(response);
    if (status == 401 && !response.has_header("WWW-Authenticate")) {
        response.set_header("WWW-Authenticate", "Bearer realm=\"dashboard\"");
    } else if (status == 429) {
        response.set_header("Retry-After", std::to_string(SignInLimiter::Window.count()));
    }
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width\"><title>Orbisnap usage: sign "
                       "in</title><style>";
    html += SignInStyle;
    html += "</style></head><body>\n<h1>Sign in to the dashboard</h1>\n";
    if (!message.empty()) {
        html += "<p class=\"message\" id=\"message\">" + htmlEscaped(message) + "</p>\n";
    }
    html += std::string("<form method=\"post\" action=\"") + SignInPath
        + "\"><label for=\"token\">Token</label>"
          "<input type=\"password\" id=\"token\" name=\"token\" autocomplete=\"current-password\" required "
          "autofocus>"
          "<button type=\"submit\" id=\"sign-in\">Sign in</button></form>\n"
          "<p class=\"hint\">The token is the text of the file given to vendor-server with "
          "--dashboard-token.</p>\n"
          "</body></html>\n";
    response.set_content(html, HtmlType);
}

void Dashboard::answer(const httplib::Request& request, httplib::Response& response, bool json)
{
    const bool bearer = request.has_header("Authorization");
    if (bearer) {
        const std::string header = request.get_header_value("Authorization");
        const std::string_view token
            = startsWithNoCase(header, "bearer ") ? std::string_view(header).substr(7) : std::string_view();
        switch (tryToken(request, token)) {
        case Check::Right:
            break;
        case Check::Refused:
            return json ? answerJsonError(response, 429, "too many wrong tokens; try again in a minute")
                        : answerSignIn(
                            response, 429, "Too many wrong tokens from this address: try again in a minute.");
        case Check::Wrong:
            response.set_header("WWW-Authenticate", "Bearer realm=\"dashboard\", error=\"invalid_token\"");
            return json ? answerJsonError(response, 401, "wrong token")
                        : answerSignIn(response, 401, "That is not the dashboard's token.");
        }
    } else if (json || !hasSession(request)) {
        if (json) {
            response.set_header("WWW-Authenticate", "Bearer realm=\"dashboard\"");
            return answerJsonError(
                response, 401, "send the dashboard's token as Authorization: Bearer TOKEN");
        }
        return answerSignIn(response, 401, {});
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
        return answerJsonError(response, 503, "the reports cannot be read");
    }
    // Figures of the vendor's users: never kept by a proxy or the browser's cache, and the
    // page may load nothing from elsewhere, so no value could ever run as a script.
    if (json) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_content(dashboardJson(figures), JsonType);
        return;
    }
    setPageHeaders(response);
    std::string html = dashboardHtml(figures);
    if (!bearer) {
        const std::size_t end = html.rfind("</body>");
        html.insert(end == std::string::npos ? html.size() : end, SignOutForm);
    }
    response.set_content(html, HtmlType);
}

void Dashboard::signIn(const httplib::Request& request, httplib::Response& response)
{
    if (!isFromThisSite(request)) {
        response.status = 403;
        response.set_content("A sign-in from another site is refused.\n", "text/plain; charset=utf-8");
        return;
    }
    FormData form;
    std::string error;
    std::string token;
    if (request.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded")
        && form.parse(request.body, error)) {
        token = form.value("token").value_or(std::string());
    }
    switch (tryToken(request, token)) {
    case Check::Refused:
        return answerSignIn(response, 429, "Too many wrong tokens from this address: try again in a minute.");
    case Check::Wrong:
        return answerSignIn(response, 401, "That is not the dashboard's token.");
    case Check::Right:
        break;
    }
    const std::optional<std::string> id = sessions.start(DashboardSessions::Clock::now());
    if (!id) {
        std::fprintf(stderr, "vendor-server: no random bytes for a dashboard session\n");
        std::fflush(stderr);
        return answerSignIn(response, 503, "The server cannot start a session now; try again.");
    }
    const auto seconds
        = std::chrono::duration_cast<std::chrono::seconds>(DashboardSessions::Lifetime).count();
    response.set_header("Set-Cookie",
        std::string(CookieName) + "=" + *id + "; Path=/dashboard; Max-Age=" + std::to_string(seconds)
            + "; HttpOnly; SameSite=Strict" + (wantsSecureCookie(request) ? "; Secure" : ""));
    response.set_header("Cache-Control", "no-store");
    response.set_header("Location", "/dashboard");
    response.status = 303;
}

void Dashboard::signOut(const httplib::Request& request, httplib::Response& response)
{
    if (!isFromThisSite(request)) {
        response.status = 403;
        response.set_content("A sign-out from another site is refused.\n", "text/plain; charset=utf-8");
        return;
    }
    for (const std::string& id : cookiesOf(request, CookieName)) {
        sessions.end(id);
    }
    response.set_header("Set-Cookie",
        std::string(CookieName) + "=; Path=/dashboard; Max-Age=0; HttpOnly; SameSite=Strict"
            + (wantsSecureCookie(request) ? "; Secure" : ""));
    response.set_header("Cache-Control", "no-store");
    response.set_header("Location", "/dashboard");
    response.status = 303;
}
