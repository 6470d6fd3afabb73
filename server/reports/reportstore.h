#pragma once

// The usage reports as vendor-server stores them: each report's installation made a triple of
// pseudonyms (pseudonyms.h), kept in a reports database (reportdatabase.h: an SQLite file, or
// PostgreSQL shared by several servers) with the aggregates the dashboard reads.
//
// store() answers true only once its report is durable, but concurrent reports share one
// transaction and one sync (group commit): the report that starts a batch waits until no
// commit is running and then writes every report that has queued by then, while the others
// wait for that commit's outcome. A
// failed batch of several is tried again report by report, so one report the database refuses
// fails alone; a report that fails (a full disk, a database locked by another process for
// longer than its busy timeout) leaves nothing of itself.
//
// The database's meta 'pseudonym-check' (an HMAC of a fixed text under the secret) refuses a
// secret other than the one that made its pseudonyms, which would count every installation
// twice.

#include "pseudonyms.h"
#include "reportdatabase.h"

#include <condition_variable>
#include <functional>
#include <memory>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

// One usage report as the client sent it, with the time the server received it.
struct UsageReport
{
    std::int64_t time = 0; // seconds since 1970, UTC
    std::string mac;
    std::string version;
    std::string computerName;
    std::string userName;
    int useState = 0;
    std::string returnedFrom; // the version a state-4 report returned from; empty when not sent
};

class ReportStore
{
public:
    // Reports written in one transaction at most; more wait for the next.
    static constexpr std::size_t MaxBatch = 4096;

    ReportStore() = default;
    ReportStore(const ReportStore&) = delete;
    ReportStore& operator=(const ReportStore&) = delete;
    ~ReportStore();

    // Opens (creating) the database at location (a file, or a postgresql:// URL) and the
    // pseudonym secret at secret. False with error naming the database or file and the cause:
    // not a database, a symlink, a secret that is missing for a database that has pseudonyms,
    // or that made none of them.
    bool open(const std::string& location, const std::filesystem::path& secret, std::string& error);
    // An SQLite file with its secret beside it (secretPath()).
    bool open(const std::filesystem::path& path, std::string& error) { return open(path.string(), secretPath(path), error); }

    // Stores one report, durably, sharing the commit with concurrent calls; false with error
    // (the database's text) when it was not stored.
    bool store(const UsageReport& report, std::string& error);
    // Stores reports in one transaction, all or none. For imports and benchmarks.
    bool storeAll(const std::vector<UsageReport>& reports, std::string& error);

    // Imports the JSON-lines reports file of earlier versions (one {"time","mac","version",
    // "computerName","userName","useState"[,"returnedFrom"]} per line) from where the last import of the same
    // file (same name, same first line) ended, so a restart imports nothing twice and lines
    // appended since are taken; another file of that name is not imported. The file is only
    // read. Malformed lines are skipped, each with a line in problems; false
    // (nothing imported) when the file cannot be read or the database not written.
    bool importJsonLines(const std::filesystem::path& file, std::size_t& imported,
        std::vector<std::string>& problems, std::string& error);

    // Called by the thread that committed a batch holding a report of state 4, after the
    // commit and outside every lock of this store. Set it before the first store().
    void setAfterReturns(std::function<void()> callback) { afterReturns = std::move(callback); }

    // Skips the durable sync per commit: for filling a benchmark's database only.
    void setDurable(bool durable);

    // The database's file, or its URL without a password.
    const std::string& path() const { return location; }
    // The database, for copies (reportcopy.h); null before open().
    ReportDatabase* database() { return db.get(); }
    // The database file's path with ".secret" appended.
    static std::filesystem::path secretPath(const std::filesystem::path& database);

private:
    struct Batch;
    bool checkSecret(const std::filesystem::path& secret, std::string& error);
    PseudonymousReport pseudonymous(const UsageReport& report) const;
    // Runs work as the database's only user, after any commit under way.
    bool exclusively(const std::function<bool()>& work);

    std::string location;
    Pseudonyms pseudonyms;
    std::unique_ptr<ReportDatabase> db;
    std::function<void()> afterReturns;

    std::mutex mutex;
    std::condition_variable committed;
    std::shared_ptr<Batch> filling; // reports waiting for the next commit
    bool writing = false;           // a commit, or exclusive work, is under way
};

// "2026-12-08T10:00:00Z" for t; and back (false when text is no such time).
std::string utcTimeText(std::int64_t t);
bool parseUtcTimeText(const std::string& text, std::int64_t& t);
