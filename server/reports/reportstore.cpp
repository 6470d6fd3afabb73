#include "reportstore.h"

#include <json/reader.h>
#include <json/value.h>

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr int SchemaVersion = 1;
constexpr std::int64_t SecondsPerDay = 86400;

const char* const Schema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS installations(
    id INTEGER PRIMARY KEY,
    mac BLOB NOT NULL, computerName BLOB NOT NULL, userName BLOB NOT NULL,
    firstTime INTEGER NOT NULL, lastTime INTEGER NOT NULL, lastDay INTEGER NOT NULL,
    lastVersion TEXT NOT NULL,
    UNIQUE(mac, computerName, userName));
CREATE INDEX IF NOT EXISTS installationsByLastDay ON installations(lastDay, lastVersion);
CREATE TABLE IF NOT EXISTS reports(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL, installation INTEGER NOT NULL, version TEXT NOT NULL, state INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS installationDays(
    day INTEGER NOT NULL, installation INTEGER NOT NULL, version TEXT NOT NULL, time INTEGER NOT NULL,
    PRIMARY KEY(day, installation)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS dayVersions(
    day INTEGER NOT NULL, version TEXT NOT NULL, installations INTEGER NOT NULL,
    PRIMARY KEY(day, version)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS dayStates(
    day INTEGER NOT NULL, state INTEGER NOT NULL, reports INTEGER NOT NULL,
    PRIMARY KEY(day, state)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS releaseInstallations(
    version TEXT NOT NULL, installation INTEGER NOT NULL,
    PRIMARY KEY(version, installation)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS releaseReturns(
    version TEXT NOT NULL, installation INTEGER NOT NULL, time INTEGER NOT NULL,
    PRIMARY KEY(version, installation)) WITHOUT ROWID;
)sql";

enum Statement {
    UpsertInstallation,
    InsertReport,
    SelectDay,
    InsertDay,
    UpdateDay,
    CountVersion,
    CountState,
    ReadMeta,
    WriteMeta,
    TookRelease,
    ReturnedFrom,
    StatementCount
};

const std::array<const char*, StatementCount> StatementTexts = {
    // Every SET expression sees the row as it was, so "latest" compares with the old lastTime.
    "INSERT INTO installations(mac, computerName, userName, firstTime, lastTime, lastDay, lastVersion) "
    "VALUES(?1, ?2, ?3, ?4, ?4, ?5, ?6) ON CONFLICT(mac, computerName, userName) DO UPDATE SET "
    "firstTime = min(firstTime, excluded.firstTime), "
    "lastVersion = CASE WHEN excluded.lastTime >= lastTime THEN excluded.lastVersion ELSE lastVersion END, "
    "lastDay = CASE WHEN excluded.lastTime >= lastTime THEN excluded.lastDay ELSE lastDay END, "
    "lastTime = max(lastTime, excluded.lastTime) RETURNING id",
    "INSERT INTO reports(time, installation, version, state) VALUES(?1, ?2, ?3, ?4)",
    "SELECT version, time FROM installationDays WHERE day = ?1 AND installation = ?2",
    "INSERT INTO installationDays(day, installation, version, time) VALUES(?1, ?2, ?3, ?4)",
    "UPDATE installationDays SET version = ?3, time = ?4 WHERE day = ?1 AND installation = ?2",
    "INSERT INTO dayVersions(day, version, installations) VALUES(?1, ?2, ?3) "
    "ON CONFLICT(day, version) DO UPDATE SET installations = installations + excluded.installations",
    "INSERT INTO dayStates(day, state, reports) VALUES(?1, ?2, 1) "
    "ON CONFLICT(day, state) DO UPDATE SET reports = reports + 1",
    "SELECT value FROM meta WHERE key = ?1",
    "INSERT INTO meta(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value",
    "INSERT OR IGNORE INTO releaseInstallations(version, installation) VALUES(?1, ?2)",
    // A return is counted once per installation and version, however often it is reported.
    "INSERT OR IGNORE INTO releaseReturns(version, installation, time) VALUES(?1, ?2, ?3)",
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
    // SQLITE_ROW or SQLITE_DONE, or an error code.
    int run() { return sqlite3_step(statement); }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement, column); }
    std::string text(int column) const
    {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return data ? std::string(data, std::size_t(sqlite3_column_bytes(statement, column))) : std::string();
    }

private:
    sqlite3_stmt* statement;
};

std::string hex(const Pseudonym& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

} // namespace

std::string utcTimeText(std::int64_t t)
{
    std::array<char, 32> stamp {};
    const std::time_t seconds = std::time_t(t);
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return stamp.data();
}

bool parseUtcTimeText(const std::string& text, std::int64_t& t)
{
    std::tm utc {};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    t = std::int64_t(timegm(&utc));
    return true;
}

fs::path ReportStore::secretPath(const fs::path& database)
{
    fs::path secret = database;
    secret += ".secret";
    return secret;
}

ReportStore::~ReportStore()
{
    for (sqlite3_stmt* statement : statements) {
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
}

bool ReportStore::exec(const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return true;
    }
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

bool ReportStore::open(const fs::path& path, std::string& error)
{
    const std::string described = "reports database \"" + path.string() + "\"";
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
    databasePath = path;
    if (sqlite3_open_v2(path.c_str(), &db,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        error = "cannot open " + described + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    std::string cause;
    // WAL: the dashboard reads while reports are written, and a commit is one sequential append.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", cause) || !exec(Schema, cause)) {
        error = "cannot open " + described + ": " + cause;
        return false;
    }
    if (!prepareStatements(cause)) {
        error = "cannot open " + described + ": " + cause;
        return false;
    }
    {
        Step schema(statements[ReadMeta]);
        if (schema.bind(1, std::string("schema")).run() == SQLITE_ROW && schema.integer(0) != SchemaVersion) {
            error = described + " has schema " + schema.text(0) + ", which this vendor-server does not know";
            return false;
        }
    }
    return checkSecret(error);
}

bool ReportStore::prepareStatements(std::string& error)
{
    for (const char* text : StatementTexts) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db, text, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db);
            return false;
        }
        statements.push_back(statement);
    }
    return true;
}

bool ReportStore::checkSecret(std::string& error)
{
    const fs::path secretFile = secretPath(databasePath);
    std::string stored;
    {
        Step check(statements[ReadMeta]);
        if (check.bind(1, std::string("pseudonym-check")).run() == SQLITE_ROW) {
            stored = check.text(0);
        }
    }
    struct stat status = {};
    if (!stored.empty() && ::lstat(secretFile.c_str(), &status) != 0 && errno == ENOENT) {
        // A new secret would give every known installation a second identity.
        error = "the pseudonym secret \"" + secretFile.string() + "\" that made the pseudonyms in \""
            + databasePath.string() + "\" is missing; restore it, or give --reports a new database";
        return false;
    }
    if (!pseudonyms.openOrCreate(secretFile, error)) {
        return false;
    }
    const std::string check = hex(pseudonyms.of("check", "orbisnap pseudonyms"));
    if (stored.empty()) {
        Step write(statements[WriteMeta]);
        std::string cause;
        if (write.bind(1, std::string("pseudonym-check")).bind(2, check).run() != SQLITE_DONE
            || !exec("INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 1)", cause)) {
            error = "cannot write \"" + databasePath.string() + "\": " + sqlite3_errmsg(db);
            return false;
        }
        return true;
    }
    if (stored != check) {
        error = "the pseudonyms in \"" + databasePath.string() + "\" were made with another secret than \""
            + secretFile.string() + "\"; restore that one, or give --reports a new database";
        return false;
    }
    return true;
}

void ReportStore::setDurable(bool durable)
{
    std::lock_guard lock(mutex);
    std::string ignored;
    exec(durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF", ignored);
}

bool ReportStore::insert(const UsageReport& report, std::string& error)
{
    const std::int64_t day = report.time >= 0 ? report.time / SecondsPerDay : (report.time + 1) / SecondsPerDay - 1;
    std::int64_t installation = 0;
    // Bound as static: they live until the step is reset.
    const Pseudonym mac = pseudonyms.of("mac", report.mac);
    const Pseudonym computer = pseudonyms.of("computerName", report.computerName);
    const Pseudonym user = pseudonyms.of("userName", report.userName);
    {
        Step upsert(statements[UpsertInstallation]);
        upsert.bind(1, mac).bind(2, computer).bind(3, user).bind(4, report.time).bind(5, day).bind(6, report.version);
        if (upsert.run() != SQLITE_ROW) {
            error = sqlite3_errmsg(db);
            return false;
        }
        installation = upsert.integer(0);
    }
    bool ok = Step(statements[InsertReport])
                  .bind(1, report.time)
                  .bind(2, installation)
                  .bind(3, report.version)
                  .bind(4, std::int64_t(report.useState))
                  .run()
        == SQLITE_DONE;
    ok = ok
        && Step(statements[CountState]).bind(1, day).bind(2, std::int64_t(report.useState)).run() == SQLITE_DONE;
    // Per release: the installations that reported it (took it), and those that returned from it.
    ok = ok && Step(statements[TookRelease]).bind(1, report.version).bind(2, installation).run() == SQLITE_DONE;
    if (ok && report.useState == ReturnedState && !report.returnedFrom.empty()) {
        ok = Step(statements[TookRelease]).bind(1, report.returnedFrom).bind(2, installation).run() == SQLITE_DONE
            && Step(statements[ReturnedFrom]).bind(1, report.returnedFrom).bind(2, installation).bind(3, report.time).run()
                == SQLITE_DONE;
    }
    if (!ok) {
        error = sqlite3_errmsg(db);
        return false;
    }

    // The installation counts once a day, under the version of its last report that day.
    std::string dayVersion;
    std::int64_t dayTime = 0;
    bool known = false;
    {
        Step select(statements[SelectDay]);
        const int result = select.bind(1, day).bind(2, installation).run();
        if (result == SQLITE_ROW) {
            known = true;
            dayVersion = select.text(0);
            dayTime = select.integer(1);
        } else if (result != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            return false;
        }
    }
    const auto count = [&](const std::string& version, std::int64_t by) {
        return Step(statements[CountVersion]).bind(1, day).bind(2, version).bind(3, by).run() == SQLITE_DONE;
    };
    if (!known) {
        ok = Step(statements[InsertDay]).bind(1, day).bind(2, installation).bind(3, report.version).bind(4, report.time).run()
                == SQLITE_DONE
            && count(report.version, 1);
    } else if (report.time >= dayTime) {
        ok = Step(statements[UpdateDay]).bind(1, day).bind(2, installation).bind(3, report.version).bind(4, report.time).run()
            == SQLITE_DONE;
        if (ok && dayVersion != report.version) {
            ok = count(dayVersion, -1) && count(report.version, 1);
        }
    }
    if (!ok) {
        error = sqlite3_errmsg(db);
    }
    return ok;
}

bool ReportStore::inTransaction(const std::vector<UsageReport>& reports,
    const std::vector<std::pair<std::string, std::string>>& meta, std::string& error)
{
    // IMMEDIATE takes the write lock first, so a database locked by another process fails here,
    // after the busy timeout, before anything is written.
    if (!exec("BEGIN IMMEDIATE", error)) {
        return false;
    }
    bool ok = true;
    for (const UsageReport& report : reports) {
        if (!insert(report, error)) {
            ok = false;
            break;
        }
    }
    for (const auto& [key, value] : meta) {
        if (!ok) {
            break;
        }
        Step write(statements[WriteMeta]);
        ok = write.bind(1, key).bind(2, value).run() == SQLITE_DONE;
        if (!ok) {
            error = sqlite3_errmsg(db);
        }
    }
    if (ok && exec("COMMIT", error)) {
        return true;
    }
    // A failed statement or commit (a full disk) may leave the transaction open; whatever it
    // wrote to the WAL has no commit record and is never read.
    if (!sqlite3_get_autocommit(db)) {
        std::string ignored;
        exec("ROLLBACK", ignored);
    }
    return false;
}

bool ReportStore::store(const UsageReport& report, std::string& error)
{
    return storeAll({ report }, error);
}

bool ReportStore::storeAll(const std::vector<UsageReport>& reports, std::string& error)
{
    std::lock_guard lock(mutex);
    if (!db) {
        error = "the reports database is not open";
        return false;
    }
    return inTransaction(reports, {}, error);
}

bool ReportStore::importJsonLines(
    const fs::path& file, std::size_t& imported, std::vector<std::string>& problems, std::string& error)
{
    imported = 0;
    // Known by name and first line, not by path: a folder moved with its database must not
    // import again, and another file of the same name must not be taken for the one imported.
    const std::string key = "imported " + file.filename().string();
    const std::string headKey = key + " head";

    std::lock_guard lock(mutex);
    std::int64_t done = 0;
    std::string head;
    {
        Step read(statements[ReadMeta]);
        if (read.bind(1, key).run() == SQLITE_ROW) {
            done = read.integer(0);
        }
    }
    {
        Step read(statements[ReadMeta]);
        if (read.bind(1, headKey).run() == SQLITE_ROW) {
            head = read.text(0);
        }
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read \"" + file.string() + "\": " + std::strerror(errno);
        return false;
    }
    std::string firstLine;
    std::getline(in, firstLine);
    // Kept as a pseudonym: the line holds names in clear.
    const std::string fileHead = in ? hex(pseudonyms.of("importHead", firstLine)) : std::string();
    in.clear();
    if (done > 0 && head != fileHead) {
        problems.push_back("\"" + file.string() + "\" is not the file imported before (its first line differs); not imported");
        return true;
    }
    in.seekg(0, std::ios::end);
    const std::int64_t size = in.tellg();
    if (size < done) {
        problems.push_back("\"" + file.string() + "\" is shorter than when it was imported (" + std::to_string(done)
            + " bytes); not imported again");
        return true;
    }
    in.seekg(done);
    std::string rest(std::size_t(size - done), '\0');
    if (!in.read(rest.data(), std::streamsize(rest.size()))) {
        error = "cannot read \"" + file.string() + "\"";
        return false;
    }
    // Only whole lines: one being appended right now is taken by the next start.
    const std::size_t end = rest.rfind('\n');
    if (end == std::string::npos) {
        return true;
    }
    rest.resize(end + 1);

    std::vector<UsageReport> reports;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::int64_t lineNumber = 0;
    // The line numbers count from the file's start, also when an earlier import took its head.
    if (done > 0) {
        std::ifstream head(file, std::ios::binary);
        std::string line;
        for (std::int64_t at = 0; at < done && std::getline(head, line); at += std::int64_t(line.size()) + 1) {
            ++lineNumber;
        }
    }
    std::size_t from = 0;
    while (from < rest.size()) {
        const std::size_t to = rest.find('\n', from);
        const std::string_view line(rest.data() + from, to - from);
        from = to + 1;
        ++lineNumber;
        Json::Value value;
        std::string parseError;
        const auto fail = [&](const std::string& why) {
            problems.push_back("\"" + file.string() + "\" line " + std::to_string(lineNumber) + " skipped: " + why);
        };
        if (line.empty()) {
            continue;
        }
        if (!reader->parse(line.data(), line.data() + line.size(), &value, &parseError) || !value.isObject()) {
            fail("no JSON object");
            continue;
        }
        UsageReport report;
        bool whole = true;
        for (const auto& [name, target] : { std::pair { "mac", &report.mac }, std::pair { "version", &report.version },
                 std::pair { "computerName", &report.computerName }, std::pair { "userName", &report.userName } }) {
            if (!value[name].isString()) {
                fail(std::string(name) + " is missing or not text");
                whole = false;
                break;
            }
            *target = value[name].asString();
        }
        if (!whole) {
            continue;
        }
        if (!value["time"].isString() || !parseUtcTimeText(value["time"].asString(), report.time)) {
            fail("time is missing or not a UTC time");
            continue;
        }
        if (!value["useState"].isInt64() || value["useState"].asInt64() < 0 || value["useState"].asInt64() > 255) {
            fail("useState is missing or not a number from 0 to 255");
            continue;
        }
        report.useState = int(value["useState"].asInt64());
        reports.push_back(std::move(report));
    }
    if (!inTransaction(reports, { { key, std::to_string(done + std::int64_t(rest.size())) }, { headKey, fileHead } }, error)) {
        error = "cannot import \"" + file.string() + "\" into \"" + databasePath.string() + "\": " + error;
        return false;
    }
    imported = reports.size();
    return true;
}

std::vector<ReleaseReturns> ReportStore::releaseReturns(std::string& error)
{
    std::vector<ReleaseReturns> rows;
    sqlite3_stmt* statement = nullptr;
    const char* text = "SELECT t.version, count(*), "
                       "(SELECT count(*) FROM releaseReturns r WHERE r.version = t.version) "
                       "FROM releaseInstallations t GROUP BY t.version";
    if (sqlite3_prepare_v2(db, text, -1, &statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return rows;
    }
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        ReleaseReturns row;
        row.version = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        row.took = sqlite3_column_int64(statement, 1);
        row.returned = sqlite3_column_int64(statement, 2);
        rows.push_back(row);
    }
    if (result != SQLITE_DONE) {
        error = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    return rows;
}

std::int64_t ReportStore::returnsFrom(const std::string& version, std::string& error)
{
    for (const ReleaseReturns& row : releaseReturns(error)) {
        if (row.version == version) {
            return row.returned;
        }
    }
    return 0;
}
