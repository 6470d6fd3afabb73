#include "dashboardfigures.h"

#include "version.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <functional>
#include <map>

namespace {

constexpr std::int64_t SecondsPerDay = 86400;

std::int64_t dayOf(std::int64_t t)
{
    return t >= 0 ? t / SecondsPerDay : (t + 1) / SecondsPerDay - 1;
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

std::string columnText(sqlite3_stmt* statement, int column)
{
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return data ? std::string(data, std::size_t(sqlite3_column_bytes(statement, column))) : std::string();
}

bool sameVersion(const std::string& a, const std::string& b)
{
    return compareVersions(a.c_str(), b.c_str()) == 0;
}

} // namespace

std::string DashboardFigures::dayText(int index) const
{
    std::array<char, 16> text {};
    const std::time_t t = std::time_t((firstDay + index) * SecondsPerDay);
    std::tm utc {};
    gmtime_r(&t, &utc);
    std::strftime(text.data(), text.size(), "%Y-%m-%d", &utc);
    return text.data();
}

DashboardQuery::~DashboardQuery()
{
    sqlite3_close(db);
}

bool DashboardQuery::open(const std::filesystem::path& database, std::string& error)
{
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
            nullptr)
        != SQLITE_OK) {
        error = "cannot read reports database \"" + database.string() + "\": " + (db ? sqlite3_errmsg(db) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(db, 1000);
    return true;
}

bool DashboardQuery::load(std::int64_t now, const std::vector<std::string>& releases, const std::string& newest,
    DashboardFigures& figures, std::string& error)
{
    figures = DashboardFigures();
    figures.now = now;
    figures.firstDay = dayOf(now) - DashboardFigures::WindowDays + 1;
    figures.newest = newest;
    std::lock_guard lock(mutex);
    if (!db) {
        error = "the reports database is not open";
        return false;
    }
    // One snapshot for every figure, while reports go on being written.
    if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    const bool ok = read(releases, figures, error);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return ok;
}

bool DashboardQuery::read(const std::vector<std::string>& releases, DashboardFigures& figures, std::string& error)
{
    constexpr int Days = DashboardFigures::WindowDays;
    const std::int64_t first = figures.firstDay;
    const std::int64_t last = first + Days - 1;
    const auto inWindow = [&](std::int64_t day) { return day >= first && day <= last; };

    // dayVersions is days x versions: small whatever the number of reports.
    struct DayCount
    {
        std::int64_t day;
        std::string version;
        std::int64_t count;
    };
    std::vector<DayCount> dayVersions;
    if (!query(db, "SELECT day, version, installations FROM dayVersions WHERE installations > 0", {},
            [&](sqlite3_stmt* row) {
                dayVersions.push_back({ sqlite3_column_int64(row, 0), columnText(row, 1), sqlite3_column_int64(row, 2) });
            },
            error)) {
        return false;
    }

    // Active installations by version in the window.
    std::map<std::string, std::vector<std::int64_t>> byVersion;
    figures.activePerDay.assign(Days, 0);
    for (const DayCount& entry : dayVersions) {
        if (inWindow(entry.day)) {
            auto& series = byVersion[entry.version];
            series.resize(Days, 0);
            series[std::size_t(entry.day - first)] += entry.count;
            figures.activePerDay[std::size_t(entry.day - first)] += entry.count;
        }
    }
    // Ranked by the last week's installations, so a new release shows as soon as it is taken.
    std::vector<std::pair<std::int64_t, std::string>> ranked;
    for (const auto& [version, counts] : byVersion) {
        std::int64_t recent = 0;
        for (int day = Days - 7; day < Days; ++day) {
            recent += counts[std::size_t(day)];
        }
        ranked.emplace_back(sameVersion(version, figures.newest) ? INT64_MAX : recent, version);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<VersionSeries> shown;
    VersionSeries other;
    other.installations.assign(Days, 0);
    bool hasOther = false;
    bool newestShown = false;
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        const std::vector<std::int64_t>& counts = byVersion[ranked[i].second];
        if (i < DashboardFigures::MaxSeries) {
            const bool newest = sameVersion(ranked[i].second, figures.newest);
            newestShown = newestShown || newest;
            shown.push_back({ ranked[i].second, newest, counts });
        } else {
            hasOther = true;
            for (int day = 0; day < Days; ++day) {
                other.installations[std::size_t(day)] += counts[std::size_t(day)];
            }
        }
    }
    if (!newestShown && !figures.newest.empty()) {
        shown.push_back({ figures.newest, true, std::vector<std::int64_t>(Days, 0) });
    }
    std::sort(shown.begin(), shown.end(),
        [](const VersionSeries& a, const VersionSeries& b) { return compareVersions(a.version.c_str(), b.version.c_str()) < 0; });
    if (hasOther) {
        figures.activeByVersion.push_back(std::move(other));
    }
    for (VersionSeries& series : shown) {
        figures.activeByVersion.push_back(std::move(series));
    }

    // Installations active in the window, by the version of their latest report.
    if (!query(db, "SELECT lastVersion, count(*) FROM installations WHERE lastDay >= ?1 GROUP BY lastVersion",
            { first },
            [&](sqlite3_stmt* row) {
                const std::int64_t count = sqlite3_column_int64(row, 1);
                figures.activeInstallations += count;
                if (sameVersion(columnText(row, 0), figures.newest)) {
                    figures.onNewest += count;
                }
            },
            error)) {
        return false;
    }

    // Uptake per release: versions as clients sent them, matched to releases by version order;
    // only releases count as "newer", so no client can claim uptake with a made-up version.
    std::vector<std::string> ordered = releases;
    std::sort(ordered.begin(), ordered.end(),
        [](const std::string& a, const std::string& b) { return compareVersions(a.c_str(), b.c_str()) < 0; });
    std::map<std::int64_t, std::int64_t> activeOnDay;
    for (const DayCount& entry : dayVersions) {
        activeOnDay[entry.day] += entry.count;
    }
    for (std::size_t r = 0; r < ordered.size(); ++r) {
        ReleaseUptake uptake;
        uptake.version = ordered[r];
        std::map<std::int64_t, std::int64_t> atLeast; // installations on this release or a newer one, by day
        for (const DayCount& entry : dayVersions) {
            const auto release = std::find_if(ordered.begin() + std::ptrdiff_t(r), ordered.end(),
                [&](const std::string& known) { return sameVersion(known, entry.version); });
            if (release == ordered.end()) {
                continue;
            }
            atLeast[entry.day] += entry.count;
            if (release == ordered.begin() + std::ptrdiff_t(r) && (!uptake.firstDay || entry.day < *uptake.firstDay)) {
                uptake.firstDay = entry.day;
            }
        }
        if (uptake.firstDay) {
            for (const auto& [day, count] : atLeast) {
                if (day >= *uptake.firstDay && 2 * count >= activeOnDay[day]) {
                    uptake.daysToHalf = day - *uptake.firstDay;
                    break;
                }
            }
        }
        figures.releases.push_back(std::move(uptake));
    }

    // Reports by state per day, and the totals.
    std::map<int, std::vector<std::int64_t>> byState;
    if (!query(db, "SELECT day, state, reports FROM dayStates", {},
            [&](sqlite3_stmt* row) {
                const std::int64_t day = sqlite3_column_int64(row, 0);
                const std::int64_t count = sqlite3_column_int64(row, 2);
                figures.totalReports += count;
                if (inWindow(day)) {
                    auto& series = byState[int(sqlite3_column_int64(row, 1))];
                    series.resize(Days, 0);
                    series[std::size_t(day - first)] += count;
                    figures.windowReports += count;
                }
            },
            error)) {
        return false;
    }
    for (auto& [state, counts] : byState) {
        figures.reportsByState.push_back({ state, std::move(counts) });
    }
    // Ids grow from 1 and no row is ever deleted, so the largest is the count without a scan.
    return query(db, "SELECT max(id) FROM installations", {},
               [&](sqlite3_stmt* row) { figures.totalInstallations = sqlite3_column_int64(row, 0); }, error)
        && query(db, "SELECT time FROM reports ORDER BY id DESC LIMIT 1", {},
            [&](sqlite3_stmt* row) { figures.lastReport = sqlite3_column_int64(row, 0); }, error)
        && query(db,
            "SELECT t.version, count(*), (SELECT count(*) FROM releaseReturns r WHERE r.version = t.version) "
            "FROM releaseInstallations t GROUP BY t.version",
            {},
            [&](sqlite3_stmt* row) {
                figures.returns.push_back(
                    { columnText(row, 0), sqlite3_column_int64(row, 1), sqlite3_column_int64(row, 2) });
            },
            error);
}
