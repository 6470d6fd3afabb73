#pragma once

// The usage reports database (SQLite, WAL mode). One connection writes, under a mutex; each
// report is one transaction, committed with a synced WAL (synchronous=FULL) before store()
// answers true, so a report answered as stored survives a crash, and one that fails (a full
// disk, a database locked by another process for longer than BusyTimeout) leaves nothing of
// itself: no report row without its counts, no count without its report.
//
// Schema (version 1, in meta 'schema'):
//
//   meta(key PRIMARY KEY, value)
//       'schema'          1
//       'pseudonym-check' HMAC of a fixed text under the secret: a database whose pseudonyms
//                         were made with another secret is refused, not silently split
//       'imported <NAME>' bytes of the JSON-lines file NAME imported so far
//       'imported <NAME> head'  pseudonym of its first line, which tells that file from others
//   installations(id, mac, computerName, userName, firstTime, lastTime, lastDay, lastVersion)
//       one per distinct (mac, computerName, userName) pseudonym triple; last* are those of
//       its latest report. Ids grow from 1 and rows are never deleted.
//   reports(id, time, installation, version, state)
//       every report; time in seconds since 1970 UTC as received, version and state as sent.
//   installationDays(day, installation, version, time)
//       days an installation reported on (day = time / 86400) with the version of its last
//       report that day.
//   dayVersions(day, version, installations)    installationDays counted by day and version
//   dayStates(day, state, reports)              reports counted by day and state
//
// The last three are kept in the report's own transaction, so the dashboard reads counts of a
// few hundred rows however many reports there are.

#include "pseudonyms.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One usage report as the client sent it, with the time the server received it.
struct UsageReport
{
    std::int64_t time = 0; // seconds since 1970, UTC
    std::string mac;
    std::string version;
    std::string computerName;
    std::string userName;
    int useState = 0;
    // With useState ReturnedState: the version the installation returned from.
    std::string returnedFrom;
};

// The state of a report sent after an installation returned to its previous version.
inline constexpr int ReturnedState = 4;

// Per release: installations that took it (reported it), and those that returned from it.
struct ReleaseReturns
{
    std::string version;
    std::int64_t took = 0;
    std::int64_t returned = 0;
    std::int64_t confirmed() const { return took - returned; }
    double rate() const { return took > 0 ? double(returned) / double(took) : 0.0; }
};

class ReportStore
{
public:
    static constexpr int BusyTimeoutMs = 1000;

    ReportStore() = default;
    ReportStore(const ReportStore&) = delete;
    ReportStore& operator=(const ReportStore&) = delete;
    ~ReportStore();

    // Opens (creating) the database at path and the pseudonym secret beside it (secretPath()).
    // False with error naming the file and the cause: not a database, a symlink, a secret that
    // is missing for a database that has pseudonyms, or that made none of them.
    bool open(const std::filesystem::path& path, std::string& error);

    // Stores one report, committed; false with error (SQLite's text) when nothing was stored.
    bool store(const UsageReport& report, std::string& error);
    // Stores reports in one transaction, all or none. For imports and benchmarks.
    bool storeAll(const std::vector<UsageReport>& reports, std::string& error);
    // The per-release figures of returns, by version; empty with error when unreadable.
    std::vector<ReleaseReturns> releaseReturns(std::string& error);
    // Installations that returned from version.
    std::int64_t returnsFrom(const std::string& version, std::string& error);

    // Imports the JSON-lines reports file of earlier versions (one {"time","mac","version",
    // "computerName","userName","useState"} per line) from where the last import of the same
    // file (same name, same first line) ended, so a restart imports nothing twice and lines
    // appended since are taken; another file of that name is not imported. The file is only
    // read. Malformed lines are skipped, each with a line in problems; false
    // (nothing imported) when the file cannot be read or the database not written.
    bool importJsonLines(const std::filesystem::path& file, std::size_t& imported,
        std::vector<std::string>& problems, std::string& error);

    // Skips the durable sync per commit: for filling a benchmark's database only.
    void setDurable(bool durable);

    const std::filesystem::path& path() const { return databasePath; }
    // The database file's path with ".secret" appended.
    static std::filesystem::path secretPath(const std::filesystem::path& database);

private:
    bool exec(const char* sql, std::string& error);
    bool prepareStatements(std::string& error);
    bool checkSecret(std::string& error);
    bool insert(const UsageReport& report, std::string& error);
    bool inTransaction(const std::vector<UsageReport>& reports,
        const std::vector<std::pair<std::string, std::string>>& meta, std::string& error);

    std::filesystem::path databasePath;
    Pseudonyms pseudonyms;
    sqlite3* db = nullptr;
    std::vector<sqlite3_stmt*> statements;
    std::mutex mutex;
};

// "2026-12-08T10:00:00Z" for t; and back (false when text is no such time).
std::string utcTimeText(std::int64_t t);
bool parseUtcTimeText(const std::string& text, std::int64_t& t);
