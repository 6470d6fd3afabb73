#include "reportstore.h"

#include <json/reader.h>
#include <json/value.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <climits>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

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

struct ReportStore::Batch
{
    std::vector<PseudonymousReport> reports;
    std::vector<std::string> errors; // one per report, empty when it was stored
    // Set once errors is final. The reports of a batch wait on it without the store's mutex,
    // so a commit of a few hundred reports wakes them without a few hundred turns at the lock.
    std::atomic<int> done { 0 };
};

namespace {

// A batch's reports sleep in the kernel until its commit ends. std::atomic::wait spins and
// yields first, which with a few hundred waiters on two cores costs more than the commit.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

void sleepWhileZero(std::atomic<int>& word)
{
    while (word.load() == 0) {
        syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
}

void wakeAll(std::atomic<int>& word)
{
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
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

ReportStore::~ReportStore() = default;

bool ReportStore::open(const std::string& where, const fs::path& secret, std::string& error)
{
    db = openReportDatabase(where, false, error);
    if (!db) {
        return false;
    }
    location = db->file().empty() ? db->describe().substr(std::string("reports database ").size()) : db->file();
    return checkSecret(secret, error);
}

bool ReportStore::checkSecret(const fs::path& secretFile, std::string& error)
{
    std::optional<std::string> stored;
    if (!db->readMeta("pseudonym-check", stored, error)) {
        error = "cannot read " + db->describe() + ": " + error;
        return false;
    }
    struct stat status = {};
    if (stored && ::lstat(secretFile.c_str(), &status) != 0 && errno == ENOENT) {
        // A new secret would give every known installation a second identity.
        error = "the pseudonym secret \"" + secretFile.string() + "\" that made the pseudonyms in " + db->describe()
            + " is missing; restore it, or give --reports a new database";
        return false;
    }
    if (!pseudonyms.openOrCreate(secretFile, error)) {
        return false;
    }
    const std::string check = hex(pseudonyms.of("check", "orbisnap pseudonyms"));
    if (!stored) {
        std::string cause;
        if (!db->write({}, { { "pseudonym-check", check } }, cause)) {
            error = "cannot write " + db->describe() + ": " + cause;
            return false;
        }
        return true;
    }
    if (*stored != check) {
        error = "the pseudonyms in " + db->describe() + " were made with another secret than \""
            + secretFile.string() + "\"; restore that one, or give --reports a new database";
        return false;
    }
    return true;
}

void ReportStore::setDurable(bool durable)
{
    exclusively([&] {
        db->setDurable(durable);
        return true;
    });
}

PseudonymousReport ReportStore::pseudonymous(const UsageReport& report) const
{
    PseudonymousReport out;
    out.time = report.time;
    out.mac = pseudonyms.of("mac", report.mac);
    out.computerName = pseudonyms.of("computerName", report.computerName);
    out.userName = pseudonyms.of("userName", report.userName);
    out.version = report.version;
    out.useState = report.useState;
    out.returnedFrom = report.returnedFrom;
    return out;
}

bool ReportStore::exclusively(const std::function<bool()>& work)
{
    {
        std::unique_lock lock(mutex);
        committed.wait(lock, [this] { return !writing; });
        writing = true;
    }
    const bool ok = work();
    {
        std::lock_guard lock(mutex);
        writing = false;
    }
    committed.notify_all();
    return ok;
}

bool ReportStore::store(const UsageReport& report, std::string& error)
{
    if (!db) {
        error = "the reports database is not open";
        return false;
    }
    // The keyed hashes outside the lock: they take longer than queueing.
    PseudonymousReport row = pseudonymous(report);
    std::unique_lock lock(mutex);
    if (filling && filling->reports.size() >= MaxBatch) {
        // A full batch waits for its commit; this report starts the next one.
        committed.wait(lock, [&] { return !filling || filling->reports.size() < MaxBatch; });
    }
    // The report that starts a batch commits it; the others only wait for the outcome.
    const bool commits = !filling;
    if (commits) {
        filling = std::make_shared<Batch>();
    }
    const std::shared_ptr<Batch> mine = filling;
    const std::size_t index = mine->reports.size();
    mine->reports.push_back(std::move(row));
    if (!commits) {
        lock.unlock();
        sleepWhileZero(mine->done);
        error = mine->errors[index];
        return error.empty();
    }

    // Everything queued while the commit before this one ran goes into this one.
    committed.wait(lock, [this] { return !writing; });
    writing = true;
    filling.reset();
    lock.unlock();
    // Those waiting for room in a full batch may start the next one.
    committed.notify_all();
    std::vector<std::string> errors(mine->reports.size());
    std::string cause;
    if (!db->write(mine->reports, {}, cause)) {
        if (mine->reports.size() == 1) {
            errors[0] = cause;
        } else {
            // One by one, so that a report the database refuses fails alone.
            for (std::size_t i = 0; i < mine->reports.size(); ++i) {
                db->write({ mine->reports[i] }, {}, errors[i]);
            }
        }
    }
    bool returns = false;
    for (std::size_t i = 0; i < mine->reports.size(); ++i) {
        returns = returns || (mine->reports[i].useState == ReturnedReportState && errors[i].empty());
    }
    mine->errors = std::move(errors);
    mine->done.store(1);
    wakeAll(mine->done);
    lock.lock();
    writing = false;
    lock.unlock();
    // The next batch's first report commits it.
    committed.notify_all();
    if (returns && afterReturns) {
        afterReturns();
    }
    error = mine->errors[index];
    return error.empty();
}

bool ReportStore::storeAll(const std::vector<UsageReport>& reports, std::string& error)
{
    if (!db) {
        error = "the reports database is not open";
        return false;
    }
    std::vector<PseudonymousReport> rows;
    rows.reserve(reports.size());
    for (const UsageReport& report : reports) {
        rows.push_back(pseudonymous(report));
    }
    return exclusively([&] { return db->write(rows, {}, error); });
}

bool ReportStore::importJsonLines(
    const fs::path& file, std::size_t& imported, std::vector<std::string>& problems, std::string& error)
{
    imported = 0;
    // Known by name and first line, not by path: a folder moved with its database must not
    // import again, and another file of the same name must not be taken for the one imported.
    const std::string key = "imported " + file.filename().string();
    const std::string headKey = key + " head";

    if (!db) {
        error = "the reports database is not open";
        return false;
    }
    std::int64_t done = 0;
    std::string head;
    std::optional<std::string> value;
    if (!db->readMeta(key, value, error)) {
        return false;
    }
    if (value) {
        done = std::strtoll(value->c_str(), nullptr, 10);
    }
    if (!db->readMeta(headKey, value, error)) {
        return false;
    }
    head = value.value_or(std::string());
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
        if (value.isMember("returnedFrom")) {
            if (!value["returnedFrom"].isString()) {
                fail("returnedFrom is not text");
                continue;
            }
            report.returnedFrom = value["returnedFrom"].asString();
        }
        reports.push_back(std::move(report));
    }
    std::vector<PseudonymousReport> rows;
    rows.reserve(reports.size());
    for (const UsageReport& report : reports) {
        rows.push_back(pseudonymous(report));
    }
    const MetaValues meta = { { key, std::to_string(done + std::int64_t(rest.size())) }, { headKey, fileHead } };
    if (!exclusively([&] { return db->write(rows, meta, error); })) {
        error = "cannot import \"" + file.string() + "\" into " + db->describe() + ": " + error;
        return false;
    }
    imported = reports.size();
    return true;
}
