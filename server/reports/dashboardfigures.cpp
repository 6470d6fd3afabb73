#include "dashboardfigures.h"

#include "halts.h"
#include "reportdatabase.h"
#include "version.h"

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

DashboardQuery::~DashboardQuery() = default;

bool DashboardQuery::open(const std::string& location, std::string& error)
{
    std::string cause;
    db = openReportDatabase(location, true, cause);
    if (!db) {
        error = "cannot read the reports: " + cause;
        return false;
    }
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
    ReportAggregates aggregates;
    if (!db->readAggregates(figures.firstDay, aggregates, error)) {
        return false;
    }
    computeFigures(aggregates, releases, figures);
    return true;
}

void computeFigures(const ReportAggregates& aggregates, const std::vector<std::string>& releases, DashboardFigures& figures)
{
    constexpr int Days = DashboardFigures::WindowDays;
    const std::int64_t first = figures.firstDay;
    const std::int64_t last = first + Days - 1;
    const auto inWindow = [&](std::int64_t day) { return day >= first && day <= last; };

    // dayVersions is days x versions: small whatever the number of reports.
    const std::vector<ReportAggregates::DayCount>& dayVersions = aggregates.dayVersions;
    using DayCount = ReportAggregates::DayCount;

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
    for (const auto& [version, count] : aggregates.latestSince) {
        figures.activeInstallations += count;
        if (sameVersion(version, figures.newest)) {
            figures.onNewest += count;
        }
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
        if (const auto counted = aggregates.releases.find(uptake.version); counted != aggregates.releases.end()) {
            uptake.installations = counted->second;
            if (counted->second.took > 0) {
                uptake.returnRate = double(counted->second.returned) / double(counted->second.took);
            }
        }
        for (const auto& [key, value] : aggregates.halts) {
            std::string channel;
            std::string version;
            const std::optional<std::string> since = haltTime(value);
            if (since && parseHaltKey(key, channel, version) && version == uptake.version) {
                uptake.halted.emplace_back(channel, *since);
            }
        }
        figures.releases.push_back(std::move(uptake));
    }

    // Reports by state per day, and the totals.
    std::map<int, std::vector<std::int64_t>> byState;
    for (const ReportAggregates::StateDay& entry : aggregates.dayStates) {
        figures.totalReports += entry.reports;
        if (inWindow(entry.day)) {
            auto& series = byState[entry.state];
            series.resize(Days, 0);
            series[std::size_t(entry.day - first)] += entry.reports;
            figures.windowReports += entry.reports;
        }
    }
    for (auto& [state, counts] : byState) {
        figures.reportsByState.push_back({ state, std::move(counts) });
    }
    figures.totalInstallations = aggregates.installations;
    figures.lastReport = aggregates.lastReport;
}
