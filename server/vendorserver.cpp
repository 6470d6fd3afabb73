#include "vendorserver.h"

#include "formdata.h"
#include "httpcache.h"
#include "objectnames.h"
#include "serverconfig.h"
#include "utctime.h"
#include "version.h"
#include "versionanswer.h"

#include <json/writer.h>

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <array>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view ReleasesPrefix = "/releases/";
// Forms are a few short fields; anything near this size is no report.
constexpr std::size_t MaxBodyBytes = 64 * 1024;
// Requests served at once. Each one takes a thread while it sends its request, so a few
// clients that send slowly must not take them all (the library's default is 8). Connections
// between requests take none. Reports wait in their thread for the commit they share, so the
// more can wait at once, the more share one sync; but each thread's stack stays resident once
// touched, and 256 of them put the soak test's growth at its 8 MiB bound, so 64.
constexpr std::size_t MaxConnections = 64;
// Keep-alive connections kept open between requests, well below the default limit of 1,024
// open files.
constexpr std::size_t MaxIdleConnections = 768;
// Requests per connection: a client that checks and then fetches reuses one connection.
constexpr std::size_t MaxRequestsPerConnection = 1000;
// Connections waiting to be accepted (the kernel caps it at net.core.somaxconn).
constexpr int ListenBacklog = 1024;
// A client that sends nothing of its request for this long is dropped.
constexpr time_t RequestReadTimeoutSeconds = 3;
// And one that has not sent its whole request after this long, however it paces it, so one
// that sends a header line now and then holds its thread for seconds, not as long as it likes.
constexpr std::chrono::seconds RequestTimeLimit(10);
// A client that takes nothing of the answer for this long is dropped.
constexpr time_t ResponseWriteTimeoutSeconds = 30;

std::string jsonText(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

std::string regexEscaped(std::string_view text)
{
    std::string escaped;
    for (const char c : text) {
        if (std::strchr(".^$|()[]{}*+?\\", c) != nullptr) {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

std::string callPattern(std::string_view call)
{
    return regexEscaped(std::string("/") + ProductPath + "/" + std::string(call));
}

// Bytes from a client go into a log line escaped, so no request can forge or break lines; in
// the access log's quoted request line a quote is escaped too.
std::string printable(std::string_view text, bool inQuotes = true)
{
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f || c == '\\' || (c == '"' && inQuotes)) {
            std::array<char, 5> escape {};
            std::snprintf(escape.data(), escape.size(), "\\x%02X", c);
            out += escape.data();
        } else {
            out += char(c);
        }
    }
    return out;
}

void writeStdout(const std::string& line)
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void accessLog(const httplib::Request& request, const httplib::Response& response)
{
    std::array<char, 40> stamp {};
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    std::strftime(stamp.data(), stamp.size(), "%d/%b/%Y:%H:%M:%S +0000", &utc);
    const std::size_t bytes = response.content_provider_ ? response.content_length_ : response.body.size();
    writeStdout(printable(request.remote_addr) + " - - [" + stamp.data() + "] \"" + printable(request.method)
        + " " + printable(request.target) + " " + printable(request.version) + "\" "
        + std::to_string(response.status) + " " + std::to_string(bytes) + "\n");
}

constexpr char JsonType[] = "application/json; charset=utf-8";

// Product calls, reports and refusals: for this client, now, never kept by a cache.
void answerJson(httplib::Response& response, const Json::Value& document)
{
    response.set_header("Cache-Control", HttpCache::NotStored);
    response.set_content(jsonText(document), JsonType);
}

// A refused request: the reason goes to the client and, as a diagnostic, to standard error.
void refuse(
    const httplib::Request& request, httplib::Response& response, int status, const std::string& reason)
{
    std::fprintf(stderr, "vendor-server: %s %s refused: %s\n", printable(request.method).c_str(),
        printable(request.target, false).c_str(), printable(reason, false).c_str());
    std::fflush(stderr);
    Json::Value document(Json::objectValue);
    document["error"] = reason;
    response.status = status;
    answerJson(response, document);
}

std::string queryOf(const httplib::Request& request)
{
    const auto mark = request.target.find('?');
    return mark == std::string::npos ? std::string() : request.target.substr(mark + 1);
}

bool isUtf8(const std::string& text)
{
    const QByteArray bytes = QByteArray::fromRawData(text.data(), qsizetype(text.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

bool isMultipart(std::string_view contentType)
{
    constexpr std::string_view Multipart = "multipart/";
    return contentType.size() >= Multipart.size()
        && std::equal(Multipart.begin(), Multipart.end(), contentType.begin(),
            [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : fd(fd)
    {
    }
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

} // namespace

VendorServer::VendorServer(const ReleaseStore& store, const Channels& channels, ReportStore& reports)
    : store(store)
    , channels(channels)
    , reports(reports)
    , issued(utcNow())
    , http(RequestTimeLimit, MaxConnections, MaxIdleConnections)
{
    // Only SO_REUSEADDR (a restart may bind while old connections linger): the library's
    // default adds SO_REUSEPORT, with which a second server would silently share the port.
    http.set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    http.set_payload_max_length(MaxBodyBytes);
    http.set_read_timeout(RequestReadTimeoutSeconds, 0);
    http.set_write_timeout(ResponseWriteTimeoutSeconds, 0);
    // An idle connection holds no thread, and a stop closes it at once.
    http.set_keep_alive_timeout(5);
    http.set_keep_alive_max_count(MaxRequestsPerConnection);
    http.set_logger(accessLog);
    http.set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                   std::exception_ptr) { refuse(request, response, 500, "internal error"); });

    const auto route = [this](void (VendorServer::*handler)(const httplib::Request&, httplib::Response&)) {
        return httplib::Server::Handler(
            [this, handler](const httplib::Request& request, httplib::Response& response) {
                (this->*handler)(request, response);
            });
    };
    http.Get(callPattern("getVersionDiff"), route(&VendorServer::handleVersionDiff));
    http.Post(callPattern("getProductInfo"), route(&VendorServer::handleProductInfo));
    http.Post(callPattern("useReport"), route(&VendorServer::handleUseReport));
    http.Post(callPattern("getProductAd"), route(&VendorServer::handleProductAd));
    // Files by prefix, not by a regular expression: std::regex recurses once per character,
    // and the target is the client's (up to 8 KiB).
    http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        // No call takes multipart bodies, and the library would parse them before any handler
        // could refuse: into a table of up to 1,024 parts, each part's header matched by a
        // std::regex that recurses once per byte of it on the serving thread's stack.
        if (isMultipart(request.get_header_value("Content-Type"))) {
            refuse(request, response, 415, "multipart bodies are not accepted; send the form url-encoded");
            return httplib::Server::HandlerResponse::Handled;
        }
        if ((request.method != "GET" && request.method != "HEAD")
            || !request.path.starts_with(ReleasesPrefix)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        handleFile(request, response);
        return httplib::Server::HandlerResponse::Handled;
    });
    http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty() && response.status == 404) {
            response.set_content("{\"error\":\"not found\"}", JsonType);
        }
        if (!response.has_header("Cache-Control")) {
            response.set_header("Cache-Control", HttpCache::NotStored);
        }
    });
}

int VendorServer::bind(const std::string& host, int port, std::string& error)
{
    errno = 0;
    const int bound = port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        const int cause = errno;
        error = "cannot listen on " + host + ":" + std::to_string(port);
        if (cause == EADDRINUSE) {
            error += ": the port is taken (is another server running?)";
        } else if (cause != 0) {
            error += std::string(": ") + std::strerror(cause);
        } else {
            error += ": no address of this machine";
        }
        return -1;
    }
    if (!http.setBacklog(ListenBacklog)) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return -1;
    }
    return bound;
}

bool VendorServer::run()
{
    return http.listen_after_bind();
}

void VendorServer::stop()
{
    http.stop();
}

bool VendorServer::isRunning() const
{
    return http.is_running();
}

void VendorServer::handleVersionDiff(const httplib::Request& request, httplib::Response& response)
{
    FormData query;
    std::string error;
    if (!query.parse(queryOf(request), error)) {
        refuse(request, response, 400, error);
        return;
    }
    const std::optional<std::string> installed = query.value("version");
    if (!installed) {
        refuse(request, response, 400,
            query.isRepeated("version") ? "version given more than once" : "no version given");
        return;
    }
    if (query.isRepeated("channel")) {
        refuse(request, response, 400, "channel given more than once");
        return;
    }
    const std::string channelName = query.value("channel").value_or(StableChannel);
    const Channel* channel = isChannelName(channelName) ? channels.find(channelName) : nullptr;
    if (!channel) {
        refuse(request, response, 404, "no channel \"" + channelName + "\"");
        return;
    }
    // Every version answer can be kept by a cache: its bytes depend on the query alone. The
    // answers of releases, the ones asked for again and again, are made and hashed once.
    const bool release = store.releaseNamed(*installed) != nullptr;
    const bool halted = halts && halts->haltedSince(*channel) && !isUpToDate(store, *installed, *channel->release);
    const KnownAnswer answer = halted ? makeHaltedAnswer(*channel, *installed)
        : release                     ? knownAnswer(*channel, *installed)
                                      : makeAnswer(*channel, *installed);
    if (!answer.signature.empty()) {
        response.set_header(VersionAnswerSignatureHeader, answer.signature);
    }
    // A cache must not keep an online answer anywhere near its expiry.
    const std::string lifetime = online
        ? "public, max-age=" + std::to_string(std::min<long long>(300, onlineLifetime / 4))
        : std::string(HttpCache::VersionAnswerLifetime);
    HttpCache::answer(request, response, answer.body, answer.etag, JsonType, lifetime.c_str());
}

VendorServer::KnownAnswer VendorServer::makeAnswer(const Channel& channel, const std::string& installed) const
{
    if (online) {
        return makeOnlineAnswer(channel, installed);
    }
    KnownAnswer known;
    if (signedAnswers) {
        if (const SignedAnswer* answer = signedAnswers->forInstalled(store, channel, installed)) {
            known.body = answer->body;
            known.signature = answer->signature;
        } else {
            known.body = jsonText(Json::Value(Json::objectValue));
        }
    } else if (isUpToDate(store, installed, *channel.release)) {
        known.body = jsonText(Json::Value(Json::objectValue));
    } else {
        Json::Value answer = versionAnswer(store, installed, *channel.release, downloadBase, issued);
        if (objects) {
            answer = objects->addTo(std::move(answer), store, installed, downloadBase);
        }
        addChannelTerms(answer, channel);
        known.body = answerBody(answer);
    }
    known.etag = HttpCache::strongEtagOf(known.body);
    return known;
}

VendorServer::KnownAnswer VendorServer::makeHaltedAnswer(const Channel& channel, const std::string& installed) const
{
    KnownAnswer known;
    // Withholding needs no signature: a host that finds none refuses the answer and stays as
    // it is. Hosts that check signatures get a signed "nothing newer" where the set has one.
    const SignedAnswer* answer = signedAnswers && !online ? signedAnswers->nothingNewerFor(channel, installed) : nullptr;
    if (answer) {
        known.body = answer->body;
        known.signature = answer->signature;
    } else {
        known.body = jsonText(Json::Value(Json::objectValue));
    }
    known.etag = HttpCache::strongEtagOf(known.body);
    return known;
}

VendorServer::KnownAnswer VendorServer::knownAnswer(const Channel& channel, const std::string& installed)
{
    const std::pair<std::string, std::string> key(channel.name, installed);
    {
        std::lock_guard lock(knownMutex);
        if (const auto found = known.find(key);
            found != known.end() && std::chrono::steady_clock::now() < found->second.renewAt) {
            return found->second;
        }
    }
    KnownAnswer answer = makeAnswer(channel, installed);
    std::lock_guard lock(knownMutex);
    return known.insert_or_assign(key, std::move(answer)).first->second;
}

VendorServer::KnownAnswer VendorServer::makeOnlineAnswer(const Channel& channel, const std::string& installed) const
{
    // Every answer is signed, "nothing newer" included, so that each check carries the
    // newest key documents to the installation.
    const Release& target = *channel.release;
    const bool upToDate = isUpToDate(store, installed, target);
    const std::string asked = store.releaseNamed(installed) || upToDate ? installed : std::string(AnyInstalledVersion);
    const auto made = std::chrono::steady_clock::now();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime issuedAt = QDateTime::fromSecsSinceEpoch(now.toSecsSinceEpoch(), Qt::UTC);
    Json::Value answer = versionAnswer(store, asked, target, downloadBase, utcTimeText(issuedAt));
    if (objects && !upToDate) {
        answer = objects->addTo(std::move(answer), store, asked, downloadBase);
    }
    addChannelTerms(answer, channel);
    answer["expires"] = utcTimeText(issuedAt.addSecs(onlineLifetime));
    const SignedAnswer signedAnswer = online->sign(std::move(answer), target.version);
    KnownAnswer known;
    known.body = signedAnswer.body;
    known.signature = signedAnswer.signature;
    known.etag = HttpCache::strongEtagOf(known.body);
    // Made again once half its time has passed (the issue time is cut to the second).
    known.renewAt = made + std::chrono::milliseconds(onlineLifetime * 500 - 1000);
    return known;
}

void VendorServer::handleProductInfo(const httplib::Request& request, httplib::Response& response)
{
    FormData form;
    std::string error;
    if (!form.parse(request.body, error)) {
        refuse(request, response, 400, error);
        return;
    }
    const std::optional<std::string> version = form.value("version");
    if (!version) {
        refuse(request, response, 400,
            form.isRepeated("version") ? "version given more than once" : "no version given");
        return;
    }
    const Json::Value& info = store.productInfo();
    if (info.isObject()) {
        for (const std::string& key : info.getMemberNames()) {
            if (key != "*" && compareVersions(key.c_str(), version->c_str()) == 0) {
                answerJson(response, info[key]);
                return;
            }
        }
        if (info.isMember("*")) {
            answerJson(response, info["*"]);
            return;
        }
    }
    Json::Value document(Json::objectValue);
    document["version"] = *version;
    document["newest"] = store.newest().version;
    answerJson(response, document);
}

void VendorServer::handleUseReport(const httplib::Request& request, httplib::Response& response)
{
    FormData form;
    std::string error;
    if (!form.parse(request.body, error)) {
        refuse(request, response, 400, error);
        return;
    }
    UsageReport report;
    report.time = std::int64_t(std::time(nullptr));
    for (const auto& [name, target] : { std::pair { "mac", &report.mac }, std::pair { "version", &report.version },
             std::pair { "computerName", &report.computerName }, std::pair { "userName", &report.userName },
             std::pair { "useState", static_cast<std::string*>(nullptr) } }) {
        const std::optional<std::string> value = form.value(name);
        if (!value) {
            refuse(request, response, 400,
                std::string(name) + (form.isRepeated(name) ? " given more than once" : " missing"));
            return;
        }
        if (!isUtf8(*value)) {
            refuse(request, response, 400, std::string(name) + " is not UTF-8 text");
            return;
        }
        if (target) {
            *target = *value;
            continue;
        }
        unsigned useState = 256;
        const auto [end, failure] = std::from_chars(value->data(), value->data() + value->size(), useState);
        if (failure != std::errc() || end != value->data() + value->size() || useState > 255) {
            refuse(request, response, 400, "useState must be a number from 0 to 255, not \"" + *value + "\"");
            return;
        }
        report.useState = int(useState);
    }
    // Sent after the others by clients that returned from a version; older ones send none.
    if (form.isRepeated("returnedFrom")) {
        refuse(request, response, 400, "returnedFrom given more than once");
        return;
    }
    if (const std::optional<std::string> returnedFrom = form.value("returnedFrom")) {
        if (!isUtf8(*returnedFrom)) {
            refuse(request, response, 400, "returnedFrom is not UTF-8 text");
            return;
        }
        report.returnedFrom = *returnedFrom;
    }
    if (!reports.store(report, error)) {
        // One line naming the cause for the vendor; the client learns only that it failed.
        std::fprintf(stderr, "vendor-server: %s %s refused: the report could not be stored in \"%s\": %s\n",
            printable(request.method).c_str(), printable(request.target, false).c_str(), reports.path().c_str(),
            error.c_str());
        std::fflush(stderr);
        response.status = 500;
        Json::Value document(Json::objectValue);
        document["error"] = "the report could not be stored";
        answerJson(response, document);
        return;
    }
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    answerJson(response, answer);
}

void VendorServer::setDashboard(Dashboard* dashboard)
{
    http.Get("/dashboard", [dashboard](const httplib::Request& request, httplib::Response& response) {
        dashboard->answer(request, response, false);
    });
    http.Get("/dashboard\\.json", [dashboard](const httplib::Request& request, httplib::Response& response) {
        dashboard->answer(request, response, true);
    });
    http.Post("/dashboard/sign-in", [dashboard](const httplib::Request& request, httplib::Response& response) {
        dashboard->signIn(request, response);
    });
    http.Post("/dashboard/sign-out", [dashboard](const httplib::Request& request, httplib::Response& response) {
        dashboard->signOut(request, response);
    });
}

void VendorServer::handleProductAd(const httplib::Request&, httplib::Response& response)
{
    if (!store.advertisement().isNull()) {
        answerJson(response, store.advertisement());
        return;
    }
    Json::Value document(Json::objectValue);
    document["ads"] = Json::Value(Json::arrayValue);
    answerJson(response, document);
}

void VendorServer::handleFile(const httplib::Request& request, httplib::Response& response)
{
    // request.path is already percent-decoded, so every encoded form of ".." or "\" is seen here
    // as the plain character.
    const std::string_view rest = std::string_view(request.path).substr(ReleasesPrefix.size());
    const std::size_t slash = rest.find('/');
    const std::string_view version = rest.substr(0, slash);
    const std::string_view relative
        = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    // What was read at start-up of the file asked for: where it is, its size, hash and time.
    const fs::path* source = nullptr;
    std::int64_t knownSize = 0;
    const Sha256Digest* knownHash = nullptr;
    fs::file_time_type knownModified {};
    const char* lifetime = HttpCache::ReleaseFileLifetime;
    if (version == delta::ObjectsFolderName) {
        // The objects beside the releases, served like their files; only names read at
        // start-up match (a patch's name is longer than any release path may be).
        if (const ObjectFile* object = objects ? objects->find(std::string(relative)) : nullptr) {
            source = &object->source;
            knownSize = object->size;
            knownHash = &object->sha256;
            knownModified = object->modified;
            lifetime = HttpCache::ContentNamedLifetime;
        }
    } else if (const char* refusal = relative.empty() ? nullptr : clientRefusal(relative)) {
        refuse(request, response, 400, std::string("bad path: ") + refusal);
        return;
    } else if (const Release* release = store.releaseNamed(version)) {
        if (const auto file = release->files.find(std::string(relative)); file != release->files.end()) {
            source = &file->second.source;
            knownSize = file->second.size;
            knownHash = &file->second.sha256;
            knownModified = file->second.modified;
        }
    }
    if (!source) {
        response.status = 404;
        return;
    }

    // Resolve again now: a file replaced by a symlink since start-up must not lead outside.
    std::error_code error;
    const fs::path real = fs::canonical(*source, error);
    if (error) {
        response.status = 404;
        return;
    }
    if (!store.contains(real)) {
        refuse(request, response, 403, "the file now resolves outside the releases directory");
        return;
    }
    const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        response.status = 404;
        return;
    }
    auto descriptor = std::make_shared<Descriptor>(fd);
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        response.status = 404;
        return;
    }
    // The hash read at start-up names these bytes only while the file is as it was then.
    const bool unchanged
        = status.st_size == knownSize && fs::last_write_time(real, error) == knownModified && !error;
    if (unchanged) {
        const std::string etag = HttpCache::strongEtag(*knownHash);
        if (HttpCache::answerNotModified(request, response, etag, lifetime, std::size_t(status.st_size))) {
            return;
        }
        // A range of other bytes than the client's partial holds must not be sent: an If-Range
        // that names another version of the file asks for all of it. The request is the
        // server's own object, handed here as const.
        if (request.has_header("If-Range") && request.get_header_value("If-Range") != etag) {
            const_cast<httplib::Request&>(request).ranges.clear();
        }
    } else {
        response.set_header("Cache-Control", HttpCache::NotStored);
        if (request.has_header("If-Range")) {
            const_cast<httplib::Request&>(request).ranges.clear();
        }
    }
    if (status.st_size == 0) {
        // The library sends a provider of length 0 without Content-Length.
        response.set_content(std::string(), "application/octet-stream");
        return;
    }
    response.set_content_provider(std::size_t(status.st_size), "application/octet-stream",
        [descriptor](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::array<char, 64 * 1024> buffer;
            const ssize_t got
                = ::pread(descriptor->fd, buffer.data(), std::min(length, buffer.size()), off_t(offset));
            // A file that shrank while being sent ends the connection: the client then sees a
            // short body, never bytes that were not in the file.
            return got > 0 && sink.write(buffer.data(), std::size_t(got));
        });
}
