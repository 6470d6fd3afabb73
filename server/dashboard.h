#pragma once

// The vendor's dashboard on vendor-server:
//
//   GET  /dashboard            the page (dashboardpage.h), for a browser; without a session or
//                              the token, a sign-in page (401) with no figures
//   GET  /dashboard.json       the same figures for scripts
//   POST /dashboard/sign-in    form field "token": starts a session (a cookie) and sends the
//                              browser to /dashboard (303)
//   POST /dashboard/sign-out   ends the session; back to /dashboard (303)
//
// Only for the vendor, and only when the server was given a token (--dashboard-token FILE):
// without it these paths are the 404 of an unknown path. A request carries the token as
// "Authorization: Bearer TOKEN" (scripts), or the browser carries the session cookie the
// sign-in gave (dashboardsessions.h: 256 random bits, 12 hours, HttpOnly, SameSite=Strict,
// Path=/dashboard, and Secure when the server is reached over https).
//
// Every token sent, in the header or the form, is a try: a wrong one is answered after a
// second, a client address has MaxTries wrong ones a minute and is then refused (429) until
// the oldest is a minute old (signinlimiter.h), and wrong tries are logged once a minute at
// most. The token is compared through its SHA-256, in constant time, so the time of the answer
// does not tell how much of a guess was right. GETs change nothing; the two POSTs are refused
// (403) when the browser says they come from another site (Origin, or Referer without it).

#include "dashboardfigures.h"
#include "dashboardsessions.h"
#include "releasestore.h"
#include "signinlimiter.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

class Dashboard
{
public:
    // Tokens shorter than this are refused: the dashboard is on the same port as the public calls.
    static constexpr std::size_t MinTokenBytes = 16;
    static constexpr const char* CookieName = "orbisnap_dashboard";
    // How long a wrong token's answer waits, and how many such answers may wait at once, so
    // that guesses never hold more than a few of the server's threads.
    static constexpr std::chrono::milliseconds WrongTokenDelay { 1000 };
    static constexpr int MaxWaitingAnswers = 8;

    explicit Dashboard(const ReleaseStore& store);
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    // Reads the token (the file's text without surrounding blanks and line ends) and opens the
    // database for reading. False with error naming the file and the cause.
    bool open(const std::filesystem::path& tokenFile, const std::string& database, std::string& error);
    // The URL under which clients reach the server (--public-base), if given: an https one
    // makes the cookie Secure, and its origin is the server's own beside the Host header.
    void setPublicBase(const std::string& base);

    // GET /dashboard (json false) and /dashboard.json.
    void answer(const httplib::Request& request, httplib::Response& response, bool json);
    void signIn(const httplib::Request& request, httplib::Response& response);
    void signOut(const httplib::Request& request, httplib::Response& response);

private:
    enum class Check { Right, Wrong, Refused };

    // Counts and compares one try of a token from the request's client, logging and waiting
    // when it is wrong.
    Check tryToken(const httplib::Request& request, std::string_view token);
    bool isTokenRight(std::string_view token) const;
    bool hasSession(const httplib::Request& request) const;
    bool isFromThisSite(const httplib::Request& request) const;
    bool wantsSecureCookie(const httplib::Request& request) const;
    void answerSignIn(httplib::Response& response, int status, std::string_view message) const;

    const ReleaseStore& store;
    std::string tokenDigest;
    DashboardQuery query;
    DashboardSessions sessions;
    SignInLimiter limiter;
    std::atomic<int> waitingAnswers = 0;
    bool httpsBase = false;
    std::string publicOrigin; // "https://host:port" of --public-base; empty without it
};
