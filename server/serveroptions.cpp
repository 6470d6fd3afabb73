#include "serveroptions.h"

#include "serverconfig.h"

#include <charconv>
#include <initializer_list>

namespace {

bool parsePort(std::string_view text, int& port)
{
    int value = -1;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535) {
        return false;
    }
    port = value;
    return true;
}

// A download base is written into the client's version-difference file as one token and the
// client appends "/" and a relative path to it, so it must be a plain http(s) URL without
// blanks, query or fragment.
bool checkPublicBase(std::string& base, std::string& error)
{
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    std::string host;
    int port = 0;
    if (!splitServerUrl(base, host, port)) {
        error = "--public-base must be an http:// or https:// URL: " + base;
        return false;
    }
    for (const unsigned char c : base) {
        if (c <= ' ' || c == 0x7f || c == '?' || c == '#') {
            error = "--public-base must not hold blanks, control characters, \"?\" or \"#\": " + base;
            return false;
        }
    }
    return true;
}

} // namespace

bool splitServerUrl(std::string_view url, std::string& host, int& port)
{
    int defaultPort = 0;
    for (const auto& [scheme, schemePort] :
        { std::pair { std::string_view("http://"), 80 }, std::pair { std::string_view("https://"), 443 } }) {
        if (url.starts_with(scheme)) {
            url.remove_prefix(scheme.size());
            defaultPort = schemePort;
            break;
        }
    }
    if (defaultPort == 0) {
        return false;
    }
    const std::string_view authority = url.substr(0, url.find('/'));
    std::string_view hostPart = authority;
    std::string_view portPart;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        hostPart = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':')) {
                return false;
            }
            portPart = rest.substr(1);
        }
    } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        hostPart = authority.substr(0, colon);
        portPart = authority.substr(colon + 1);
    }
    if (hostPart.empty()) {
        return false;
    }
    port = defaultPort;
    if (!portPart.empty() && !parsePort(portPart, port)) {
        return false;
    }
    host = std::string(hostPart);
    return true;
}

std::string urlHost(const std::string& host)
{
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

bool parseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error)
{
    if (!splitServerUrl(ServerBaseUrl, options.host, options.port)) {
        options.host = "127.0.0.1";
        options.port = 80;
    }
    options.releasesDir = "releases";

    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        std::string_view name = argument;
        std::string value;
        bool hasValue = false;
        if (const auto equals = argument.find('=');
            argument.starts_with("--") && equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = std::string(argument.substr(equals + 1));
            hasValue = true;
        }
        if (name != "--host" && name != "--port" && name != "--releases" && name != "--reports"
            && name != "--public-base" && name != "--dashboard-token" && name != "--import-reports"
            && name != "--online-secret" && name != "--online-expires-in" && name != "--lift-halt") {
            error = "unknown argument: " + std::string(argument);
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (value.empty()) {
            error = std::string(name) + " needs a value that is not empty";
            return false;
        }
        if (name == "--host") {
            // Brackets are URL syntax; the address itself has none.
            if (value.size() > 2 && value.front() == '[' && value.back() == ']') {
                value = value.substr(1, value.size() - 2);
            }
            options.host = value;
        } else if (name == "--port") {
            if (!parsePort(value, options.port)) {
                error = "--port needs a number from 0 to 65535: " + value;
                return false;
            }
        } else if (name == "--releases") {
            options.releasesDir = value;
        } else if (name == "--reports") {
            options.reportsFile = value;
        } else if (name == "--dashboard-token") {
            options.dashboardTokenFile = value;
        } else if (name == "--import-reports") {
            options.importReports = value;
        } else if (name == "--lift-halt") {
            options.liftHalt = value;
        } else if (name == "--online-secret") {
            options.onlineSecretFile = value;
        } else if (name == "--online-expires-in") {
            if (!parseDuration(value, options.onlineLifetimeSeconds)) {
                error = "--online-expires-in needs a duration such as 1d, 12h, 30m or 90s (at most 30d): " + value;
                return false;
            }
        } else {
            options.publicBase = value;
            if (!checkPublicBase(options.publicBase, error)) {
                return false;
            }
        }
    }
    if (!options.importReports.empty() && options.reportsFile.empty()) {
        error = "--import-reports needs --reports naming the database to copy into";
        return false;
    }
    return true;
}

bool parseDuration(std::string_view text, long long& seconds)
{
    if (text.size() < 2) {
        return false;
    }
    long long unit = 0;
    switch (text.back()) {
    case 's':
        unit = 1;
        break;
    case 'm':
        unit = 60;
        break;
    case 'h':
        unit = 3600;
        break;
    case 'd':
        unit = 86400;
        break;
    default:
        return false;
    }
    long long number = 0;
    const std::string_view digits = text.substr(0, text.size() - 1);
    const auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (failure != std::errc() || end != digits.data() + digits.size() || number < 1
        || number > MaxOnlineLifetimeSeconds / unit) {
        return false;
    }
    seconds = number * unit;
    return true;
}

std::string usageText(std::string_view program)
{
    std::string text = "usage: ";
    text += program;
    text += " [--host HOST] [--port PORT] [--releases DIR] [--reports FILE] [--public-base URL]\n"
            "       [--dashboard-token FILE] [--online-secret FILE [--online-expires-in DURATION]]\n"
            "       " + std::string(program) + " --import-reports FROM --reports TO\n"
            "       " + std::string(program) + " --releases DIR --reports FILE|URL --lift-halt CHANNEL\n"
            "\n"
            "Serves the releases directory DIR, in which DIR/VERSION/ holds the whole installation\n"
            "tree of each version, to the update check and the updater.\n"
            "\n"
            "  --host HOST         address to listen on (default: the compiled-in server's host)\n"
            "  --port PORT         port to listen on, 0 for any free one (default: the compiled-in\n"
            "                      server's port)\n"
            "  --releases DIR      the releases directory (default: ./releases)\n"
            "  --reports FILE|URL  the usage reports database (default: reports.sqlite beside DIR),\n"
            "                      or postgresql://USER@HOST/DB to share one among servers, whose\n"
            "                      pseudonym secret is then reports.secret beside DIR;\n"
            "                      reports.jsonl of earlier versions beside it is imported once.\n"
            "                      A FILE ending in .jsonl is such a file: the database is then the\n"
            "                      same name ending in .sqlite\n"
            "  --public-base URL   URL under which DIR is published, e.g. by nginx or a CDN; version\n"
            "                      V is then downloaded from URL/V/ (default: this server's /releases)\n"
            "  --dashboard-token FILE  serve GET /dashboard and /dashboard.json to requests with\n"
            "                      \"Authorization: Bearer TOKEN\", TOKEN being FILE's text\n"
            "  --import-reports FROM  copy every report of FROM (a file or a URL) into the\n"
            "                      --reports database TO, then exit; run again, it goes on where\n"
            "                      it stopped and copies only reports stored since\n"
            "  --lift-halt CHANNEL lift the automatic halt of CHANNEL's version (\"halt\" in\n"
            "                      channels.json), print what was lifted, then exit\n"
            "  --online-secret FILE  make every version answer from the signed manifests and\n"
            "                      sign it with this online key (see orbisnap-release keys)\n"
            "  --online-expires-in DURATION  how long such an answer is valid: 1d (default), 12h,\n"
            "                      30m, 90s; answers are signed again before they expire\n"
            "  --help              this text\n"
            "\n"
            "Optional files in DIR: product-info.json (an object keyed by version, \"*\" for any\n"
            "other) answers getProductInfo; ad.json answers getProductAd.\n"
            "Compiled-in server address: ";
    text += ServerBaseUrl;
    text += "\n";
    return text;
}
