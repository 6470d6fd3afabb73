#pragma once

// Where the usage reports are kept: an SQLite file (sqlitereports.h) or a PostgreSQL database
// that several vendor-servers share (postgresreports.h). Both keep the same tables:
//
//   meta(key PRIMARY KEY, value)
//       'schema'          3
//       'database-id'     random, made with the database: names it as the source of a copy
//       'pseudonym-check' HMAC of a fixed text under the secret (reportstore.h)
//       'imported <NAME>', 'imported <NAME> head'   how far a JSON-lines file was imported
//       'copied from <ID>'  the last report id copied from database ID (reportcopy.h)
//       'halt <CHANNEL> <VERSION>'  when the channel's version was halted, or lifted (halts.h)
//   installations(id, mac, computerName, userName, firstTime, lastTime, lastDay, lastVersion)
//       one per distinct pseudonym triple; last* are those of its latest report.
//   reports(id, time, installation, version, state, returnedFrom)
//       every report; time in seconds since 1970 UTC as received, version, state and
//       returnedFrom as sent ('' when the client sent none).
//   installationDays(day, installation, version, time)
//       days an installation reported on (day = floor(time / 86400)) with the version of its
//       last report that day.
//   dayVersions(day, version, installations)       installationDays counted by day and version
//   lastDayVersions(day, version, installations)   installations counted by the day and the
//                                                  version of their latest report
//   dayStates(day, state, reports, lastTime)       reports counted by day and state, with the
//                                                  time of the latest of them
//   installationReleases(installation, version, took, confirmed, returned)
//       the versions an installation was seen with, each flag 0 or 1: took (a report names the
//       version, as version or as returnedFrom), confirmed (a report of state 5 with that
//       version), returned (a report of state 4 with that returnedFrom).
//   releaseFigures(version, took, confirmed, returned)
//       installationReleases' flags summed by version.
//
// dayVersions, lastDayVersions, dayStates and releaseFigures are the aggregates the dashboard
// reads: a few rows per day and version however many installations and reports there are.
// Each write keeps them in the same transaction as the reports it stores. Later columns and
// state values need no change here: every statement names its columns, and a state is any
// integer.
//
// A write goes the same way for both: lock the batch's installations (in one order, so
// concurrent writers cannot deadlock on them), read their day and release entries, work out every change
// here in C++ (applyReports), write the rows, then add the counts in one order. Rows of an
// installation change only while its row is locked, and counts only by adding, so writers
// that share a database keep them right.

#include "pseudonyms.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

constexpr int ReportSchemaVersion = 3;
// The usage states the per-release figures count.
constexpr int ReturnedReportState = 4;
constexpr int ConfirmedReportState = 5;

// Days since 1970 of a time in seconds, rounded down also before 1970.
std::int64_t reportDay(std::int64_t time);

// A report as stored: the installation as its pseudonyms.
struct PseudonymousReport
{
    std::int64_t time = 0;
    Pseudonym mac {};
    Pseudonym computerName {};
    Pseudonym userName {};
    std::string version;
    int useState = 0;
    std::string returnedFrom; // empty: none sent
};

using InstallationKey = std::tuple<Pseudonym, Pseudonym, Pseudonym>;

// An installation's row while a batch is applied. isNew: no report of it was stored before.
struct InstallationRow
{
    std::int64_t id = 0;
    std::int64_t firstTime = 0;
    std::int64_t lastTime = 0;
    std::int64_t lastDay = 0;
    std::string lastVersion;
    bool isNew = false;
    bool changed = false;
};

// installationDays(day, installation) while a batch is applied.
struct DayRow
{
    std::string version;
    std::int64_t time = 0;
    bool stored = false; // already in the table
    bool changed = false;
};

// installationReleases(installation, version) while a batch is applied.
struct ReleaseRow
{
    bool took = false;
    bool confirmed = false;
    bool returned = false;
    bool stored = false; // already in the table
    bool changed = false;
};

// Installations counted for one version; the releaseFigures row, or what a batch adds to it.
struct ReleaseCount
{
    std::int64_t took = 0;
    std::int64_t confirmed = 0;
    std::int64_t returned = 0;
};

struct StateCount
{
    std::int64_t reports = 0;
    std::int64_t lastTime = INT64_MIN;
};

// What one batch changes: rows to write and counts to add, in key order.
struct BatchChanges
{
    std::map<InstallationKey, InstallationRow> installations;
    std::map<std::pair<std::int64_t, std::int64_t>, DayRow> days; // (day, installation id)
    struct ReportRow
    {
        std::int64_t time;
        std::int64_t installation;
        std::string version;
        int state;
        std::string returnedFrom;
    };
    std::vector<ReportRow> reports;
    std::map<std::pair<std::int64_t, std::string>, ReleaseRow> releases; // (installation id, version)
    std::map<std::string, ReleaseCount> releaseCounts;
    std::map<std::pair<std::int64_t, std::string>, std::int64_t> dayVersions;
    std::map<std::pair<std::int64_t, std::string>, std::int64_t> lastDayVersions;
    std::map<std::pair<std::int64_t, int>, StateCount> dayStates;
};

// Applies reports, in their order, to the installations and day rows loaded for them: an
// installation counts once a day, under the version of its last report that day, and once in
// all, under the day and version of its latest report (a later report wins a tie); and once per
// version it took, confirmed or returned from.
void applyReports(const std::vector<PseudonymousReport>& reports, BatchChanges& changes);

using MetaValues = std::vector<std::pair<std::string, std::string>>;

// The meta keys of halted releases: "halt CHANNEL VERSION".
inline constexpr char HaltMetaPrefix[] = "halt ";

// The aggregates the dashboard reads, from one snapshot.
struct ReportAggregates
{
    struct DayCount
    {
        std::int64_t day;
        std::string version;
        std::int64_t count;
    };
    std::vector<DayCount> dayVersions;                                    // every day
    std::vector<std::pair<std::string, std::int64_t>> latestSince; // by version, latest report on or after the day asked
    struct StateDay
    {
        std::int64_t day;
        int state;
        std::int64_t reports;
    };
    std::vector<StateDay> dayStates; // every day
    std::int64_t installations = 0;
    std::optional<std::int64_t> lastReport;
    std::map<std::string, ReleaseCount> releases; // by version as sent
    MetaValues halts; // the meta values whose key starts with HaltMetaPrefix
};

class ReportDatabase
{
public:
    virtual ~ReportDatabase() = default;

    // "reports database \"FILE\"" or the URL without its password: for messages.
    virtual std::string describe() const = 0;
    // The file of an SQLite database; empty for a server.
    virtual std::string file() const { return {}; }

    virtual bool readMeta(const std::string& key, std::optional<std::string>& value, std::string& error) = 0;
    // Every meta value whose key starts with prefix, in key order.
    virtual bool readMetaPrefix(const std::string& prefix, MetaValues& values, std::string& error) = 0;
    // Sets key to value unless it is set already, in one transaction; added tells which.
    virtual bool addMeta(const std::string& key, const std::string& value, bool& added, std::string& error) = 0;

    // Stores reports and their aggregates and sets the meta values in one transaction, durable
    // when it answers true (unless setDurable(false)); false with error and nothing stored.
    bool write(const std::vector<PseudonymousReport>& reports, const MetaValues& meta, std::string& error);

    // The aggregates, latestSince counted from firstDay on.
    virtual bool readAggregates(std::int64_t firstDay, ReportAggregates& out, std::string& error) = 0;

    // For copies: up to limit reports with ids above after, in id order, and how many there are.
    virtual bool readReports(std::int64_t after, std::size_t limit,
        std::vector<std::pair<std::int64_t, PseudonymousReport>>& out, std::string& error)
        = 0;
    virtual bool countReports(std::int64_t after, std::int64_t& count, std::string& error) = 0;

    // Without the durable sync per commit: for filling a benchmark's database only.
    virtual void setDurable(bool durable) = 0;

protected:
    virtual bool begin(std::string& error) = 0;
    virtual bool commit(std::string& error) = 0;
    virtual void rollback() = 0;
    // Whether the failed transaction may succeed when run again (a deadlock broken by the server).
    virtual bool mayRetry() const { return false; }
    // Creates the installations not stored yet (isNew, lastTime INT64_MIN) and fills every
    // entry of changes.installations, locking their rows until the transaction ends.
    virtual bool lockInstallations(BatchChanges& changes, std::string& error) = 0;
    // Fills changes.days with the stored rows of the keys it holds (stored = true).
    virtual bool readDays(BatchChanges& changes, std::string& error) = 0;
    // The same for changes.releases.
    virtual bool readReleases(BatchChanges& changes, std::string& error) = 0;
    virtual bool writeChanges(const BatchChanges& changes, std::string& error) = 0;
    virtual bool writeMeta(const MetaValues& meta, std::string& error) = 0;
};

// Opens "postgresql://..." / "postgres://..." as PostgreSQL, anything else as an SQLite file,
// creating the schema, or bringing an earlier one up to date, on first use. readOnly: for the
// dashboard, which never writes (an SQLite file must then exist).
std::unique_ptr<ReportDatabase> openReportDatabase(const std::string& location, bool readOnly, std::string& error);

bool isPostgresLocation(const std::string& location);

// A random id for a new database.
std::string newDatabaseId();
