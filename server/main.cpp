// vendor-server: the project's own vendor server. Reads the releases directory, opens the
// reports database (importing an earlier version's reports file), binds the port, then serves until SIGINT or SIGTERM (exit 0). Any start-up
// failure is one clear message on standard error and exit 1; a bad command line exits 2.

#include "allocatorsettings.h"
#include "answerobjects.h"
#include "channels.h"
#include "onlineanswers.h"
#include "releasestore.h"
#include "dashboard.h"
#include "halts.h"
#include "reportcopy.h"
#include "reportstore.h"
#include "serveroptions.h"
#include "signedanswers.h"
#include "utctime.h"
#include "vendorserver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxDownloadBaseBytes = 255;

void say(const std::string& line)
{
    std::fprintf(stdout, "vendor-server: %s\n", line.c_str());
    std::fflush(stdout);
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "vendor-server: %s\n", message.c_str());
    return 1;
}

bool isWildcardHost(const std::string& host)
{
    return host == "0.0.0.0" || host == "::" || host == "*";
}

// The reports database and its pseudonym secret; inside the releases directory it would be published
// along with the releases (by nginx, say), so it must lie elsewhere.
bool checkReportsPlace(const fs::path& reports, const ReleaseStore& store, std::string& error)
{
    std::error_code code;
    // Resolved whole, so that a symlink named as the reports file cannot lead inside either.
    const fs::path resolved = fs::weakly_canonical(fs::absolute(reports, code), code);
    if (code || !fs::is_directory(resolved.parent_path(), code)) {
        error = "the folder of reports database \"" + reports.string() + "\" does not exist";
        return false;
    }
    if (resolved == store.root() || store.contains(resolved)) {
        error = "reports database \"" + reports.string() + "\" lies inside the releases directory \""
            + store.root().string() + "\", which is published; give --reports a place outside it";
        return false;
    }
    return true;
}

// Signed answers expiring within this long are announced at start-up and once a day.
constexpr qint64 ExpiryWarningDays = 7;

std::string signCommand(const ReleaseStore& store)
{
    return "orbisnap-release sign --releases " + store.root().string() + " --secret FILE";
}

// One warning when the answers expire within ExpiryWarningDays (or have expired).
void warnOfExpiry(const std::string& expires, const ReleaseStore& store)
{
    const std::optional<QDateTime> expiry = parseUtcTime(expires);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!expiry || now.secsTo(*expiry) > ExpiryWarningDays * 24 * 3600) {
        return;
    }
    const std::string when = *expiry <= now ? "expired at " + expires + ": installations refuse them"
                                            : "expire at " + expires + ", in "
            + std::to_string(now.secsTo(*expiry) / 3600) + " hour(s)";
    std::fprintf(stderr, "vendor-server: warning: the signed answers %s; run %s, then restart the server\n",
        when.c_str(), signCommand(store).c_str());
    std::fflush(stderr);
}

// Repeats the expiry warning once a day until stopped.
class ExpiryReminder
{
public:
    ExpiryReminder(std::string expires, const ReleaseStore& store)
        : thread([this, expires = std::move(expires), &store] {
            std::unique_lock lock(mutex);
            while (!wake.wait_for(lock, std::chrono::hours(24), [this] { return stopping; })) {
                warnOfExpiry(expires, store);
            }
        })
    {
    }
    ~ExpiryReminder()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    ExpiryReminder(const ExpiryReminder&) = delete;
    ExpiryReminder& operator=(const ExpiryReminder&) = delete;

private:
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

// vendor-server --import-reports FROM --reports TO: copies, with a progress line, then exits.
int importReports(const std::string& from, const std::string& to)
{
    std::string error;
    const std::unique_ptr<ReportDatabase> source = openReportDatabase(from, false, error);
    if (!source) {
        return fail(error);
    }
    const std::unique_ptr<ReportDatabase> target = openReportDatabase(to, false, error);
    if (!target) {
        return fail(error);
    }
    if (!source->file().empty() && source->file() == target->file()) {
        return fail("--import-reports and --reports name the same database");
    }
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    int shown = -1;
    std::int64_t copied = 0;
    const bool done = copyReports(*source, *target,
        [&](std::int64_t so, std::int64_t all) {
            // On a terminal one line rewritten; in a log a line every 5%.
            const int percent = all > 0 ? int(so * 100 / all) : 100;
            if (!terminal && percent / 5 == shown / 5 && so < all) {
                return;
            }
            shown = percent;
            std::fprintf(stdout, "%svendor-server: copied %lld of %lld report(s) (%d%%)%s", terminal ? "\r" : "",
                (long long)so, (long long)all, percent, terminal ? "" : "\n");
            std::fflush(stdout);
        },
        copied, error);
    if (terminal && shown >= 0) {
        std::fputs("\n", stdout);
    }
    if (!done) {
        return fail("the copy stopped after " + std::to_string(copied) + " report(s), which are kept; run the same "
            "command again to go on: " + error);
    }
    // The pseudonyms need their secret wherever the reports go.
    const fs::path secret = source->file().empty() ? fs::path("reports.secret beside the releases directory of its servers")
                                                   : ReportStore::secretPath(source->file());
    std::error_code code;
    if (!target->file().empty() && !source->file().empty() && !fs::exists(ReportStore::secretPath(target->file()), code)) {
        fs::copy_file(secret, ReportStore::secretPath(target->file()), code);
        if (!code) {
            fs::permissions(ReportStore::secretPath(target->file()), fs::perms::owner_read | fs::perms::owner_write, code);
        }
    }
    say("copied " + std::to_string(copied) + " report(s) from " + source->describe() + " into " + target->describe()
        + "; its pseudonyms are those of the secret " + secret.string()
        + ": every vendor-server using it needs that secret (for PostgreSQL, as reports.secret beside its releases "
          "directory)");
    return 0;
}

// The reports database of options: a PostgreSQL URL, or an SQLite file (by default beside the
// releases directory; a name ending in .jsonl, an earlier version's reports file, stands for
// the database beside it).
fs::path reportsDatabase(const ServerOptions& options, const ReleaseStore& store)
{
    if (isPostgresLocation(options.reportsFile.string())) {
        return options.reportsFile;
    }
    fs::path file = options.reportsFile.empty() ? store.root().parent_path() / "reports.sqlite" : options.reportsFile;
    if (file.extension() == ".jsonl") {
        file.replace_extension(".sqlite");
    }
    return file;
}

// vendor-server --releases DIR --reports DB --lift-halt CHANNEL: prints each halt lifted.
int liftHalt(const std::string& channel, const fs::path& database)
{
    if (!isChannelName(channel)) {
        return fail("--lift-halt needs a channel's name, not \"" + channel + "\"");
    }
    std::error_code code;
    if (!isPostgresLocation(database.string()) && !fs::is_regular_file(database, code)) {
        return fail("no reports database at " + database.string() + ", so no halt to lift");
    }
    std::vector<std::string> lifted;
    std::string error;
    if (!liftHalts(database.string(), channel, lifted, error)) {
        return fail(error);
    }
    if (lifted.empty()) {
        say("channel " + channel + " has no halt to lift");
    }
    for (const std::string& halt : lifted) {
        say("channel " + channel + ": lifted the halt of version " + halt);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Taken by the signal thread alone; blocked here before any thread exists, so every thread
    // the server starts inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that hangs up mid-download must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    AllocatorSettings::apply();

    ServerOptions options;
    std::string error;
    if (!parseServerOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "vendor-server: %s\n%s", error.c_str(), usageText(argv[0]).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText(argv[0]).c_str(), stdout);
        return 0;
    }
    if (!options.importReports.empty()) {
        return importReports(options.importReports, options.reportsFile.string());
    }
    if (options.publicBase.empty() && isWildcardHost(options.host)) {
        return fail("listening on all interfaces (" + options.host
            + ") gives clients no address to download from; give --public-base as well");
    }

    ReleaseStore store;
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    const bool loaded = store.load(options.releasesDir, problems, warnings);
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "vendor-server: warning: %s\n", warning.c_str());
    }
    if (!loaded) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "vendor-server: %s\n", problem.c_str());
        }
        return fail("not started: the releases directory cannot be served as it is");
    }

    Channels channels;
    if (!channels.load(store, problems)) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "vendor-server: %s\n", problem.c_str());
        }
        return fail("not started: the channels cannot be served as they are");
    }
    if (!options.liftHalt.empty()) {
        return liftHalt(options.liftHalt, reportsDatabase(options, store));
    }

    // Signed answers, when the releases directory has them, must be for the releases and
    // channels as they are, and still valid: a newer release, changed files or channels, or
    // time passing need a new signing, which only the holder of the secret key can do.
    // With the online key, answers are made here from what the release keys signed; without
    // it, as the offline signer made them (or unsigned).
    OnlineSigning online;
    const bool onlineMode = !options.onlineSecretFile.empty();
    if (onlineMode && !online.load(store, channels, options.onlineSecretFile, problems)) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "vendor-server: %s\n", problem.c_str());
        }
        return fail("not started: the signed key documents, manifests or channel assignment do not verify; run "
                    "orbisnap-release verify --releases "
            + store.root().string());
    }
    SignedAnswers signedAnswers;
    const bool signedMode = !onlineMode && SignedAnswers::presentIn(store.root());
    if (signedMode && !signedAnswers.load(store, channels, problems)) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "vendor-server: %s\n", problem.c_str());
        }
        return fail("not started: the signed answers do not match the releases; run " + signCommand(store));
    }
    if (signedMode) {
        const std::optional<QDateTime> expiry = parseUtcTime(signedAnswers.earliestExpiry());
        if (expiry && *expiry <= QDateTime::currentDateTimeUtc()) {
            return fail("not started: the signed answers expired at " + signedAnswers.earliestExpiry()
                + " and installations refuse them; run " + signCommand(store));
        }
        warnOfExpiry(signedAnswers.earliestExpiry(), store);
    }

    // Unsigned answers advertise the objects there are now; signed ones name those they were
    // signed with, which load() above checked are there. Served either way.
    AnswerObjects objects;
    if (!objects.load(store.root(), problems)) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "vendor-server: %s\n", problem.c_str());
        }
        return fail("not started: the objects cannot be read");
    }

    // A PostgreSQL URL, or an SQLite file (by default beside the releases directory).
    const bool reportsOnServer = isPostgresLocation(options.reportsFile.string());
    const fs::path reportsFile = reportsDatabase(options, store);
    // Earlier versions appended JSON lines to reports.jsonl; a command line that still names
    // that file keeps working, with the database beside it.
    fs::path earlierReports = (reportsOnServer ? store.root().parent_path() : reportsFile.parent_path()) / "reports.jsonl";
    if (!reportsOnServer && options.reportsFile.extension() == ".jsonl") {
        earlierReports = options.reportsFile;
    }
    if (!reportsOnServer && !checkReportsPlace(reportsFile, store, error)) {
        return fail(error);
    }
    // With PostgreSQL the secret is a file of each server's own, beside the releases directory.
    const fs::path secretFile = reportsOnServer ? store.root().parent_path() / "reports.secret"
                                                : ReportStore::secretPath(reportsFile);
    ReportStore reports;
    if (!reports.open(reportsFile.string(), secretFile, error)) {
        return fail(error);
    }
    std::error_code code;
    if (fs::is_regular_file(earlierReports, code)) {
        std::size_t imported = 0;
        std::vector<std::string> skipped;
        const bool done = reports.importJsonLines(earlierReports, imported, skipped, error);
        for (const std::string& line : skipped) {
            std::fprintf(stderr, "vendor-server: warning: %s\n", line.c_str());
        }
        if (!done) {
            return fail(error);
        }
        if (imported > 0) {
            say("imported " + std::to_string(imported) + " report(s) from " + earlierReports.string()
                + " (the file is kept as it is)");
        }
    }
    // After the import, so that its returns count; the rule is checked once here.
    Halts halts(channels);
    if (!halts.open(reportsFile.string(), error)) {
        return fail("cannot check the halts: " + error);
    }
    reports.setAfterReturns([&halts] { halts.requestCheck(); });
    Dashboard dashboard(store);
    if (!options.dashboardTokenFile.empty() && !dashboard.open(options.dashboardTokenFile, reportsFile.string(), error)) {
        return fail(error);
    }

    VendorServer server(store, channels, reports);
    const int port = server.bind(options.host, options.port, error);
    if (port < 0) {
        return fail(error);
    }
    const std::string ownAddress = "http://" + urlHost(options.host) + ":" + std::to_string(port);
    std::string downloadBase = options.publicBase.empty() ? ownAddress + "/releases" : options.publicBase;
    if (signedMode) {
        if (!options.publicBase.empty() && options.publicBase != signedAnswers.downloadBase()) {
            return fail("--public-base " + options.publicBase + " is not the download base the answers were signed with ("
                + signedAnswers.downloadBase() + "); sign again with --base " + options.publicBase);
        }
        if (options.publicBase.empty() && downloadBase != signedAnswers.downloadBase()) {
            std::fprintf(stderr,
                "vendor-server: warning: the answers were signed with download base %s, not this server's %s\n",
                signedAnswers.downloadBase().c_str(), downloadBase.c_str());
        }
        downloadBase = signedAnswers.downloadBase();
        server.setSignedAnswers(&signedAnswers);
    }
    if (onlineMode) {
        server.setOnlineSigning(&online, options.onlineLifetimeSeconds);
    }
    // The client keeps the download base of the newest version in a 256-byte field.
    const std::string newestBase = downloadBase + "/" + store.newest().version;
    if (newestBase.size() > MaxDownloadBaseBytes) {
        return fail(
            "download base \"" + newestBase + "\" is longer than 255 bytes, which the client cannot keep");
    }
    server.setDownloadBase(downloadBase);
    server.setHalts(&halts);
    server.setObjects(&objects);
    if (!options.dashboardTokenFile.empty()) {
        dashboard.setPublicBase(options.publicBase);
        server.setDashboard(&dashboard);
    }

    say("releases " + store.root().string() + ": " + std::to_string(store.releases().size())
        + " version(s), newest " + store.newest().version + " with "
        + std::to_string(store.newest().files.size()) + " file(s)");
    say("usage reports go to " + reports.path());
    if (!options.dashboardTokenFile.empty()) {
        say("dashboard at " + ownAddress + "/dashboard: sign in with the token in "
            + options.dashboardTokenFile.string());
    }
    say("download base " + downloadBase);
    if (!objects.empty()) {
        say("objects " + objectsUrl(downloadBase));
    }
    if (onlineMode) {
        say("version answers: signed online, valid " + std::to_string(options.onlineLifetimeSeconds)
            + " s, by key document version " + std::to_string(online.keys().version()) + " (expires "
            + utcTimeText(online.keys().expires()) + ")");
    } else {
        say(signedMode ? "version answers: signed, from " + (store.root() / SignedAnswersFolder).string()
                       : std::string("version answers: unsigned (no signed answers in the releases directory)"));
    }
    for (const Channel& channel : channels.all()) {
        say("channel " + channel.name + ": " + channel.release->version
            + (channel.rollout ? ", rolled out from " + channel.rollout->start : std::string()));
        if (const std::optional<std::string> since = halts.haltedSince(channel)) {
            say("channel " + channel.name + ": " + channel.release->version + " halted automatically at " + *since
                + " (lift with --lift-halt " + channel.name + ")");
        }
    }
    if (signedMode) {
        say("signed answers expire at " + signedAnswers.earliestExpiry());
    }
    say("listening on " + ownAddress);
    std::optional<ExpiryReminder> reminder;
    if (signedMode) {
        reminder.emplace(signedAnswers.earliestExpiry(), store);
    }

    halts.start();

    std::atomic<int> stoppedBy = 0;
    std::atomic<bool> finished = false;
    std::thread stopper([&] {
        int signal = 0;
        if (sigwait(&stopSignals, &signal) != 0 || finished) {
            return;
        }
        stoppedBy = signal;
        // A signal that comes before the accept loop runs must still stop it.
        while (!server.isRunning() && !finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        server.stop();
    });

    server.run();
    finished = true;
    const int signal = stoppedBy;
    if (signal == 0) {
        // Wake the stopper so that it ends before the server it points to does.
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    if (signal == 0) {
        return fail("the server stopped unexpectedly");
    }
    say(std::string("stopped on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    return 0;
}
