#include "sqlitereports.h"

#include <sqlite3.h>

#include <cstring>
#include <functional>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

const char* const CreateSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE installations(
    id INTEGER PRIMARY KEY,
    mac BLOB NOT NULL, computerName BLOB NOT NULL, userName BLOB NOT NULL,
    firstTime INTEGER NOT NULL, lastTime INTEGER NOT NULL, lastDay INTEGER NOT NULL,
    lastVersion TEXT NOT NULL,
    UNIQUE(mac, computerName, userName));
CREATE TABLE reports(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL, installation INTEGER NOT NULL, version TEXT NOT NULL, state INTEGER NOT NULL,
    returnedFrom TEXT NOT NULL DEFAULT '');
CREATE TABLE installationDays(
    day INTEGER NOT NULL, installation INTEGER NOT NULL, version TEXT NOT NULL, time INTEGER NOT NULL,
    PRIMARY KEY(day, installation)) WITHOUT ROWID;
CREATE TABLE dayVersions(
    day INTEGER NOT NULL, version TEXT NOT NULL, installations INTEGER NOT NULL,
    PRIMARY KEY(day, version)) WITHOUT ROWID;
CREATE TABLE lastDayVersions(
    day INTEGER NOT NULL, version TEXT NOT NULL, installations INTEGER NOT NULL,
    PRIMARY KEY(day, version)) WITHOUT ROWID;
CREATE TABLE dayStates(
    day INTEGER NOT NULL, state INTEGER NOT NULL, reports INTEGER NOT NULL, lastTime INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY(day, state)) WITHOUT ROWID;
)sql";

// The per-release figures: a new database's, and the second schema's once migrated.
const char* const ReleaseTables = R"sql(
CREATE TABLE installationReleases(
    installation INTEGER NOT NULL, version TEXT NOT NULL,
    took INTEGER NOT NULL, confirmed INTEGER NOT NULL, returned INTEGER NOT NULL,
    PRIMARY KEY(installation, version)) WITHOUT ROWID;
CREATE TABLE releaseFigures(
    version TEXT PRIMARY KEY, took INTEGER NOT NULL, confirmed INTEGER NOT NULL, returned INTEGER NOT NULL)
    WITHOUT ROWID;
)sql";

// From the second schema, which kept no returnedFrom: the per-release figures of the reports
// there are, none of them a return with its version.
const char* const MigrateFrom2 = R"sql(
ALTER TABLE reports ADD COLUMN returnedFrom TEXT NOT NULL DEFAULT '';
)sql";
const char* const FillReleaseTables = R"sql(
INSERT INTO installationReleases(installation, version, took, confirmed, returned)
    SELECT installation, version, 1, max(state = 5), 0 FROM reports WHERE version <> '' GROUP BY installation, version;
INSERT INTO releaseFigures(version, took, confirmed, returned)
    SELECT version, count(*), sum(confirmed), 0 FROM installationReleases GROUP BY version;
UPDATE meta SET value = 3 WHERE key = 'schema';
)sql";

// From the first schema, which counted installations by their latest report by reading every
// installation active in the window: the aggregates built from the rows there are, once.
const char* const MigrateFrom1 = R"sql(
CREATE TABLE lastDayVersions(
    day INTEGER NOT NULL, version TEXT NOT NULL, installations INTEGER NOT NULL,
    PRIMARY KEY(day, version)) WITHOUT ROWID;
INSERT INTO lastDayVersions(day, version, installations)
    SELECT lastDay, lastVersion, count(*) FROM installations GROUP BY lastDay, lastVersion;
DROP INDEX IF EXISTS installationsByLastDay;
ALTER TABLE dayStates ADD COLUMN lastTime INTEGER NOT NULL DEFAULT 0;
CREATE TEMP TABLE stateLastTimes AS
    SELECT (time - ((time % 86400) + 86400) % 86400) / 86400 AS day, state, max(time) AS lastTime
    FROM reports GROUP BY 1, 2;
UPDATE dayStates SET lastTime = coalesce(
    (SELECT s.lastTime FROM stateLastTimes s WHERE s.day = dayStates.day AND s.state = dayStates.state), 0);
DROP TABLE temp.stateLastTimes;
UPDATE meta SET value = 2 WHERE key = 'schema';
)sql";

const std::array<const char*, SqliteReports::StatementCount> StatementTexts = {
    "INSERT INTO installations(mac, computerName, userName, firstTime, lastTime, lastDay, lastVersion) "
    "VALUES(?1, ?2, ?3, 0, -9223372036854775808, 0, '') ON CONFLICT(mac, computerName, userName) DO NOTHING",
    "SELECT id, firstTime, lastTime, lastDay, lastVersion FROM installations "
    "WHERE mac = ?1 AND computerName = ?2 AND userName = ?3",
    "UPDATE installations SET firstTime = ?2, lastTime = ?3, lastDay = ?4, lastVersion = ?5 WHERE id = ?1",
    "SELECT version, time FROM installationDays WHERE day = ?1 AND installation = ?2",
    "INSERT INTO installationDays(day, installation, version, time) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(day, installation) DO UPDATE SET version = excluded.version, time = excluded.time",
    "INSERT INTO reports(time, installation, version, state, returnedFrom) VALUES(?1, ?2, ?3, ?4, ?5)",
    "INSERT INTO dayVersions(day, version, installations) VALUES(?1, ?2, ?3) "
    "ON CONFLICT(day, version) DO UPDATE SET installations = installations + excluded.installations",
    "INSERT INTO lastDayVersions(day, version, installations) VALUES(?1, ?2, ?3) "
    "ON CONFLICT(day, version) DO UPDATE SET installations = installations + excluded.installations",
    "INSERT INTO dayStates(day, state, reports, lastTime) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(day, state) DO UPDATE SET reports = reports + excluded.reports, "
    "lastTime = max(lastTime, excluded.lastTime)",
    "SELECT value FROM meta WHERE key = ?1",
    "INSERT INTO meta(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value",
    "SELECT took, confirmed, returned FROM installationReleases WHERE installation = ?1 AND version = ?2",
    "INSERT INTO installationReleases(installation, version, took, confirmed, returned) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(installation, version) DO UPDATE SET took = excluded.took, confirmed = excluded.confirmed, "
    "returned = excluded.returned",
    "INSERT INTO releaseFigures(version, took, confirmed, returned) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(version) DO UPDATE SET took = took + excluded.took, confirmed = confirmed + excluded.confirmed, "
    "returned = returned + excluded.returned",
    "SELECT key, value FROM meta WHERE substr(key, 1, length(?1)) = ?1 ORDER BY key",
    "INSERT INTO meta(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO NOTHING",
};

// Resets a statement whatever way the step left it, so no read stays open past its use.
class Step
{
public:
    explicit Step(sqlite3_stmt* statement)
        : statement(statement)
    {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    ~Step() { sqlite3_reset(statement); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

    Step& bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(statement, index, value);
        return *this;
    }
    Step& bind(int index, const std::string& text)
    {
        sqlite3_bind_text(statement, index, text.data(), int(text.size()), SQLITE_STATIC);
        return *this;
    }
    Step& bind(int index, const Pseudonym& blob)
    {
        sqlite3_bind_blob(statement, index, blob.data(), int(blob.size()), SQLITE_STATIC);
        return *this;
    }
    int run() { return sqlite3_step(statement); }
    bool done() { return run() == SQLITE_DONE; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement, column); }
    std::string text(int column) const
    {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return data ? std::string(data, std::size_t(sqlite3_column_bytes(statement, column))) : std::string();
    }

private:
    sqlite3_stmt* statement;
};

Pseudonym blobOf(sqlite3_stmt* statement, int column)
{
    Pseudonym out {};
    const void* data = sqlite3_column_blob(statement, column);
    if (data && sqlite3_column_bytes(statement, column) == int(out.size())) {
        std::memcpy(out.data(), data, out.size());
    }
    return out;
}

std::string columnText(sqlite3_stmt* statement, int column)
{
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return data ? std::string(data, std::size_t(sqlite3_column_bytes(statement, column))) : std::string();
}

// Runs sql with its integer parameters bound, calling row for each result row.
bool query(sqlite3* db, const char* sql, std::initializer_list<std::int64_t> parameters,
    const std::function<void(sqlite3_stmt*)>& row, std::string& error)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    int index = 1;
    for (const std::int64_t parameter : parameters) {
        sqlite3_bind_int64(statement, index++, parameter);
    }
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        row(statement);
    }
    if (result != SQLITE_DONE) {
        error = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    return result == SQLITE_DONE;
}

} // namespace

SqliteReports::~SqliteReports()
{
    for (sqlite3_stmt* statement : statements) {
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
}

std::string SqliteReports::describe() const
{
    return "reports database \"" + databasePath.string() + "\"";
}

std::string SqliteReports::failed() const
{
    return sqlite3_errmsg(db);
}

bool SqliteReports::exec(const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return true;
    }
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

bool SqliteReports::open(const fs::path& path, bool readOnly, std::string& error)
{
    databasePath = path;
    const std::string described = describe();
    struct stat status = {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) {
            error = "cannot open " + described + ": it is a symlink";
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            error = "cannot open " + described + ": it is not a regular file";
            return false;
        }
    }
    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
        | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = "cannot open " + described + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    std::string cause;
    if (!readOnly && (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", cause) || !createOrMigrate(cause))) {
        error = "cannot open " + described + ": " + cause;
        return false;
    }
    for (std::size_t i = 0; i < StatementTexts.size(); ++i) {
        if (sqlite3_prepare_v3(db, StatementTexts[i], -1, SQLITE_PREPARE_PERSISTENT, &statements[i], nullptr)
            != SQLITE_OK) {
            error = "cannot open " + described + ": " + failed();
            return false;
        }
    }
    return true;
}

bool SqliteReports::createOrMigrate(std::string& error)
{
    // Taken before looking, so two servers started on one new file cannot both create it.
    if (!exec("BEGIN IMMEDIATE", error)) {
        return false;
    }
    std::int64_t schema = 0;
    bool tables = false;
    bool ok = query(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'installations'", {},
        [&](sqlite3_stmt* row) { tables = sqlite3_column_int64(row, 0) > 0; }, error);
    if (ok && tables) {
        // The first schema wrote its number after its tables; tables without it are that one.
        schema = 1;
        ok = query(db, "SELECT value FROM meta WHERE key = 'schema'", {},
            [&](sqlite3_stmt* row) { schema = sqlite3_column_int64(row, 0); }, error);
    }
    if (ok && schema > ReportSchemaVersion) {
        error = "it has schema " + std::to_string(schema) + ", which this vendor-server does not know";
        ok = false;
    }
    if (ok && schema == 0) {
        ok = exec(CreateSchema, error) && exec(ReleaseTables, error)
            && exec(("INSERT INTO meta(key, value) VALUES('schema', " + std::to_string(ReportSchemaVersion)
                        + "), ('database-id', '" + newDatabaseId() + "')")
                        .c_str(),
                error);
    } else if (ok && schema == 1) {
        ok = exec("INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 1)", error) && exec(MigrateFrom1, error)
            && exec(("INSERT OR IGNORE INTO meta(key, value) VALUES('database-id', '" + newDatabaseId() + "')").c_str(),
                error);
        schema = 2;
    }
    if (ok && schema == 2) {
        ok = exec(MigrateFrom2, error) && exec(ReleaseTables, error) && exec(FillReleaseTables, error);
    }
    if (ok && exec("COMMIT", error)) {
        return true;
    }
    std::string ignored;
    exec("ROLLBACK", ignored);
    return false;
}

void SqliteReports::setDurable(bool durable)
{
    std::string ignored;
    exec(durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF", ignored);
}

bool SqliteReports::readMeta(const std::string& key, std::optional<std::string>& value, std::string& error)
{
    value.reset();
    Step read(statements[ReadMeta]);
    const int result = read.bind(1, key).run();
    if (result == SQLITE_ROW) {
        value = read.text(0);
    } else if (result != SQLITE_DONE) {
        error = failed();
        return false;
    }
    return true;
}

bool SqliteReports::begin(std::string& error)
{
    // IMMEDIATE takes the write lock first, so a database locked by another process fails here,
    // after the busy timeout, before anything is written.
    return exec("BEGIN IMMEDIATE", error);
}

bool SqliteReports::commit(std::string& error)
{
    return exec("COMMIT", error);
}

void SqliteReports::rollback()
{
    // A failed statement or commit (a full disk) may leave the transaction open; whatever it
    // wrote to the WAL has no commit record and is never read.
    if (!sqlite3_get_autocommit(db)) {
        std::string ignored;
        exec("ROLLBACK", ignored);
    }
}

bool SqliteReports::lockInstallations(BatchChanges& changes, std::string& error)
{
    // One writer holds the whole file: nothing to lock row by row.
    for (auto& [key, row] : changes.installations) {
        const auto& [mac, computer, user] = key;
        if (!Step(statements[InsertInstallation]).bind(1, mac).bind(2, computer).bind(3, user).done()) {
            error = failed();
            return false;
        }
        Step select(statements[SelectInstallation]);
        if (select.bind(1, mac).bind(2, computer).bind(3, user).run() != SQLITE_ROW) {
            error = failed();
            return false;
        }
        row.id = select.integer(0);
        row.firstTime = select.integer(1);
        row.lastTime = select.integer(2);
        row.lastDay = select.integer(3);
        row.lastVersion = select.text(4);
        row.isNew = row.lastTime == INT64_MIN;
    }
    return true;
}

bool SqliteReports::readDays(BatchChanges& changes, std::string& error)
{
    for (auto& [key, row] : changes.days) {
        Step select(statements[SelectDay]);
        const int result = select.bind(1, key.first).bind(2, key.second).run();
        if (result == SQLITE_ROW) {
            row.stored = true;
            row.version = select.text(0);
            row.time = select.integer(1);
        } else if (result != SQLITE_DONE) {
            error = failed();
            return false;
        }
    }
    return true;
}

bool SqliteReports::readReleases(BatchChanges& changes, std::string& error)
{
    for (auto& [key, row] : changes.releases) {
        Step select(statements[SelectRelease]);
        const int result = select.bind(1, key.first).bind(2, key.second).run();
        if (result == SQLITE_ROW) {
            row.stored = true;
            row.took = select.integer(0) != 0;
            row.confirmed = select.integer(1) != 0;
            row.returned = select.integer(2) != 0;
        } else if (result != SQLITE_DONE) {
            error = failed();
            return false;
        }
    }
    return true;
}

bool SqliteReports::writeChanges(const BatchChanges& changes, std::string& error)
{
    bool ok = true;
    for (const auto& [key, row] : changes.installations) {
        ok = ok && (!row.changed
                 || Step(statements[UpdateInstallation])
                        .bind(1, row.id)
                        .bind(2, row.firstTime)
                        .bind(3, row.lastTime)
                        .bind(4, row.lastDay)
                        .bind(5, row.lastVersion)
                        .done());
    }
    for (const BatchChanges::ReportRow& report : changes.reports) {
        ok = ok
            && Step(statements[InsertReport])
                   .bind(1, report.time)
                   .bind(2, report.installation)
                   .bind(3, report.version)
                   .bind(4, std::int64_t(report.state))
                   .bind(5, report.returnedFrom)
                   .done();
    }
    for (const auto& [key, row] : changes.releases) {
        ok = ok
            && (!row.changed
                || Step(statements[UpsertRelease])
                       .bind(1, key.first)
                       .bind(2, key.second)
                       .bind(3, std::int64_t(row.took))
                       .bind(4, std::int64_t(row.confirmed))
                       .bind(5, std::int64_t(row.returned))
                       .done());
    }
    for (const auto& [version, count] : changes.releaseCounts) {
        ok = ok
            && ((count.took == 0 && count.confirmed == 0 && count.returned == 0)
                || Step(statements[CountRelease])
                   .bind(1, version)
                   .bind(2, count.took)
                   .bind(3, count.confirmed)
                   .bind(4, count.returned)
                   .done());
    }
    for (const auto& [key, row] : changes.days) {
        ok = ok
            && (!row.changed
                || Step(statements[UpsertDay]).bind(1, key.first).bind(2, key.second).bind(3, row.version).bind(4, row.time).done());
    }
    for (const auto& [key, count] : changes.dayVersions) {
        ok = ok && (count == 0 || Step(statements[CountVersion]).bind(1, key.first).bind(2, key.second).bind(3, count).done());
    }
    for (const auto& [key, count] : changes.lastDayVersions) {
        ok = ok && (count == 0 || Step(statements[CountLatest]).bind(1, key.first).bind(2, key.second).bind(3, count).done());
    }
    for (const auto& [key, count] : changes.dayStates) {
        ok = ok
            && Step(statements[CountState])
                   .bind(1, key.first)
                   .bind(2, std::int64_t(key.second))
                   .bind(3, count.reports)
                   .bind(4, count.lastTime)
                   .done();
    }
    if (!ok) {
        error = failed();
    }
    return ok;
}

bool SqliteReports::writeMeta(const MetaValues& meta, std::string& error)
{
    for (const auto& [key, value] : meta) {
        if (!Step(statements[WriteMeta]).bind(1, key).bind(2, value).done()) {
            error = failed();
            return false;
        }
    }
    return true;
}

bool SqliteReports::readMetaPrefix(const std::string& prefix, MetaValues& values, std::string& error)
{
    values.clear();
    Step read(statements[ReadMetaPrefix]);
    read.bind(1, prefix);
    int result = SQLITE_ROW;
    while ((result = read.run()) == SQLITE_ROW) {
        values.emplace_back(read.text(0), read.text(1));
    }
    if (result != SQLITE_DONE) {
        error = failed();
        return false;
    }
    return true;
}

bool SqliteReports::addMeta(const std::string& key, const std::string& value, bool& added, std::string& error)
{
    added = false;
    if (!Step(statements[AddMeta]).bind(1, key).bind(2, value).done()) {
        error = failed();
        return false;
    }
    added = sqlite3_changes(db) > 0;
    return true;
}

bool SqliteReports::readAggregates(std::int64_t firstDay, ReportAggregates& out, std::string& error)
{
    out = ReportAggregates();
    // One snapshot for every figure, while reports go on being written.
    if (!exec("BEGIN", error)) {
        return false;
    }
    const bool ok = query(db, "SELECT day, version, installations FROM dayVersions WHERE installations > 0", {},
                        [&](sqlite3_stmt* row) {
                            out.dayVersions.push_back(
                                { sqlite3_column_int64(row, 0), columnText(row, 1), sqlite3_column_int64(row, 2) });
                        },
                        error)
        && query(db,
            "SELECT version, sum(installations) FROM lastDayVersions WHERE day >= ?1 GROUP BY version "
            "HAVING sum(installations) > 0",
            { firstDay },
            [&](sqlite3_stmt* row) { out.latestSince.emplace_back(columnText(row, 0), sqlite3_column_int64(row, 1)); },
            error)
        && query(db, "SELECT coalesce(sum(installations), 0) FROM lastDayVersions", {},
            [&](sqlite3_stmt* row) { out.installations = sqlite3_column_int64(row, 0); }, error)
        && query(db, "SELECT day, state, reports FROM dayStates", {},
            [&](sqlite3_stmt* row) {
                out.dayStates.push_back(
                    { sqlite3_column_int64(row, 0), int(sqlite3_column_int64(row, 1)), sqlite3_column_int64(row, 2) });
            },
            error)
        && query(db, "SELECT max(lastTime) FROM dayStates", {},
            [&](sqlite3_stmt* row) {
                if (sqlite3_column_type(row, 0) != SQLITE_NULL) {
                    out.lastReport = sqlite3_column_int64(row, 0);
                }
            },
            error)
        && query(db, "SELECT version, took, confirmed, returned FROM releaseFigures", {},
            [&](sqlite3_stmt* row) {
                out.releases[columnText(row, 0)] = ReleaseCount {
                    sqlite3_column_int64(row, 1), sqlite3_column_int64(row, 2), sqlite3_column_int64(row, 3) };
            },
            error)
        && query(db,
            ("SELECT key, value FROM meta WHERE substr(key, 1, " + std::to_string(std::strlen(HaltMetaPrefix))
                + ") = '" + HaltMetaPrefix + "' ORDER BY key")
                .c_str(),
            {},
            [&](sqlite3_stmt* row) { out.halts.emplace_back(columnText(row, 0), columnText(row, 1)); }, error);
    std::string ignored;
    exec("COMMIT", ignored);
    return ok;
}

bool SqliteReports::readReports(std::int64_t after, std::size_t limit,
    std::vector<std::pair<std::int64_t, PseudonymousReport>>& out, std::string& error)
{
    out.clear();
    return query(db,
        "SELECT r.id, r.time, i.mac, i.computerName, i.userName, r.version, r.state, r.returnedFrom FROM reports r "
        "JOIN installations i ON i.id = r.installation WHERE r.id > ?1 ORDER BY r.id LIMIT ?2",
        { after, std::int64_t(limit) },
        [&](sqlite3_stmt* row) {
            PseudonymousReport report;
            report.time = sqlite3_column_int64(row, 1);
            report.mac = blobOf(row, 2);
            report.computerName = blobOf(row, 3);
            report.userName = blobOf(row, 4);
            report.version = columnText(row, 5);
            report.useState = int(sqlite3_column_int64(row, 6));
            report.returnedFrom = columnText(row, 7);
            out.emplace_back(sqlite3_column_int64(row, 0), std::move(report));
        },
        error);
}

bool SqliteReports::countReports(std::int64_t after, std::int64_t& count, std::string& error)
{
    count = 0;
    return query(db, "SELECT count(*) FROM reports WHERE id > ?1", { after },
        [&](sqlite3_stmt* row) { count = sqlite3_column_int64(row, 0); }, error);
}
