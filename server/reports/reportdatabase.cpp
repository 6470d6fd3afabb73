#include "reportdatabase.h"

#include "postgresreports.h"
#include "sqlitereports.h"

#include <random>

namespace {

constexpr std::int64_t SecondsPerDay = 86400;
// Transactions broken by the server to end a deadlock, tried again this many times.
constexpr int WriteAttempts = 5;

// The versions a report names for the per-release figures, and which flags it sets for each.
template <typename Visit>
void releasesNamed(const PseudonymousReport& report, Visit visit)
{
    if (!report.version.empty()) {
        visit(report.version, report.useState == ConfirmedReportState, false);
    }
    if (report.useState == ReturnedReportState && !report.returnedFrom.empty()) {
        visit(report.returnedFrom, false, true);
    }
}

void flagOnce(bool& flag, std::int64_t& count, bool& changed)
{
    if (!flag) {
        flag = true;
        ++count;
        changed = true;
    }
}

} // namespace

std::int64_t reportDay(std::int64_t time)
{
    return time >= 0 ? time / SecondsPerDay : (time + 1) / SecondsPerDay - 1;
}

void applyReports(const std::vector<PseudonymousReport>& reports, BatchChanges& changes)
{
    for (const PseudonymousReport& report : reports) {
        const std::int64_t day = reportDay(report.time);
        InstallationRow& installation = changes.installations.at({ report.mac, report.computerName, report.userName });
        if (installation.isNew) {
            installation.isNew = false;
            installation.changed = true;
            installation.firstTime = report.time;
            installation.lastTime = report.time;
            installation.lastDay = day;
            installation.lastVersion = report.version;
            ++changes.lastDayVersions[{ day, report.version }];
        } else if (report.time >= installation.lastTime) {
            --changes.lastDayVersions[{ installation.lastDay, installation.lastVersion }];
            ++changes.lastDayVersions[{ day, report.version }];
            installation.changed = true;
            installation.lastTime = report.time;
            installation.lastDay = day;
            installation.lastVersion = report.version;
        }
        if (report.time < installation.firstTime) {
            installation.firstTime = report.time;
            installation.changed = true;
        }
        changes.reports.push_back({ report.time, installation.id, report.version, report.useState, report.returnedFrom });
        releasesNamed(report, [&](const std::string& version, bool confirmed, bool returned) {
            ReleaseRow& row = changes.releases[{ installation.id, version }];
            ReleaseCount& count = changes.releaseCounts[version];
            flagOnce(row.took, count.took, row.changed);
            if (confirmed) {
                flagOnce(row.confirmed, count.confirmed, row.changed);
            }
            if (returned) {
                flagOnce(row.returned, count.returned, row.changed);
            }
        });
        StateCount& state = changes.dayStates[{ day, report.useState }];
        ++state.reports;
        state.lastTime = std::max(state.lastTime, report.time);

        const auto [entry, added] = changes.days.try_emplace({ day, installation.id });
        DayRow& row = entry->second;
        if (added || (!row.stored && !row.changed)) {
            row.version = report.version;
            row.time = report.time;
            row.changed = true;
            ++changes.dayVersions[{ day, report.version }];
        } else if (report.time >= row.time) {
            if (row.version != report.version) {
                --changes.dayVersions[{ day, row.version }];
                ++changes.dayVersions[{ day, report.version }];
                row.version = report.version;
            }
            row.time = report.time;
            row.changed = true;
        }
    }
}

bool ReportDatabase::write(const std::vector<PseudonymousReport>& reports, const MetaValues& meta, std::string& error)
{
    for (int attempt = 1;; ++attempt) {
        if (!begin(error)) {
            return false;
        }
        BatchChanges changes;
        for (const PseudonymousReport& report : reports) {
            changes.installations.try_emplace({ report.mac, report.computerName, report.userName });
        }
        bool ok = lockInstallations(changes, error);
        if (ok) {
            for (const PseudonymousReport& report : reports) {
                const InstallationRow& installation
                    = changes.installations.at({ report.mac, report.computerName, report.userName });
                changes.days.try_emplace({ reportDay(report.time), installation.id });
                releasesNamed(report, [&](const std::string& version, bool, bool) {
                    changes.releases.try_emplace({ installation.id, version });
                });
            }
            ok = readDays(changes, error) && readReleases(changes, error);
        }
        if (ok) {
            applyReports(reports, changes);
            ok = writeChanges(changes, error) && writeMeta(meta, error);
        }
        if (ok && commit(error)) {
            return true;
        }
        const bool retry = mayRetry() && attempt < WriteAttempts;
        rollback();
        if (!retry) {
            return false;
        }
    }
}

bool isPostgresLocation(const std::string& location)
{
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::unique_ptr<ReportDatabase> openReportDatabase(const std::string& location, bool readOnly, std::string& error)
{
    if (isPostgresLocation(location)) {
        auto database = std::make_unique<PostgresReports>();
        if (!database->open(location, error)) {
            return nullptr;
        }
        return database;
    }
    auto database = std::make_unique<SqliteReports>();
    if (!database->open(location, readOnly, error)) {
        return nullptr;
    }
    return database;
}

std::string newDatabaseId()
{
    std::random_device device;
    static const char digits[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 32; ++i) {
        id += digits[device() & 15];
    }
    return id;
}
