#pragma once

// The vendor server's command line. Every option has a default, so a bare `vendor-server`
// started beside a `releases` folder serves it at the compiled-in server address:
//
//   --host HOST          address to listen on (default: the host of ServerBaseUrl)
//   --port PORT          port to listen on, 0 for any free one (default: the port of ServerBaseUrl)
//   --releases DIR       the releases directory (default: ./releases)
//   --reports FILE       the usage reports database (default: reports.sqlite beside DIR); a
//                        FILE ending in ".jsonl" names an earlier version's reports file: the
//                        database is then FILE with ".sqlite" in place of ".jsonl"
//   --dashboard-token FILE  serve the dashboard to requests that carry the token in FILE
//   --import-reports FROM  copy the reports of database FROM (a file or a postgresql:// URL)
//                        into the --reports database, then exit: nothing is served
//   --public-base URL    download base under which DIR is published, so that version V is
//                        fetched from URL/V/... (default: this server's own /releases)
//   --lift-halt CHANNEL  lift the automatic halt of CHANNEL's version (halts.h) in the --reports
//                        database, print what was lifted, then exit: nothing is served
//   --online-secret FILE the online key: answers are made from the signed manifests and
//                        signed with it (onlineanswers.h)
//   --online-expires-in DURATION  how long each such answer is valid ("90s", "30m", "12h",
//                        "1d"; default 1d, at most 30d)
//   --help               the usage text
//
// Options take their value as the next argument or after "=" (--port=8080).

#include <filesystem>
#include <string>
#include <string_view>

struct ServerOptions
{
    std::string host;
    int port = 0;
    std::filesystem::path releasesDir;
    std::filesystem::path reportsFile;
    std::filesystem::path dashboardTokenFile; // empty: no dashboard
    std::string importReports; // empty: serve
    std::string liftHalt;      // empty: serve
    std::string publicBase; // empty: this server's own /releases
    std::filesystem::path onlineSecretFile; // empty: answers as signed offline, or unsigned
    long long onlineLifetimeSeconds = 86400;
    bool help = false;
};

// Fills options from the command line on top of the defaults. On a bad command line answers
// false with error saying which argument is wrong.
bool parseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error);

std::string usageText(std::string_view program);

inline constexpr long long MaxOnlineLifetimeSeconds = 30LL * 86400;
// "90s", "30m", "12h", "1d": a whole number above 0 and a unit, at most 30 days.
bool parseDuration(std::string_view text, long long& seconds);

// Splits an http or https URL's authority into host and port ("[::1]" loses its brackets; a
// missing port is the scheme's). False when url is no such URL.
bool splitServerUrl(std::string_view url, std::string& host, int& port);

// The host as it goes into a URL: IPv6 addresses in brackets.
std::string urlHost(const std::string& host);
