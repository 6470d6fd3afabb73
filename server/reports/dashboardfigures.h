#pragma once

// The figures of the vendor's dashboard, read from the reports database's aggregates
// (reportdatabase.h) in one read transaction, so they agree with each other and take the same
// time however many installations and reports there are. Days are UTC days; the window is the last
// WindowDays days up to and including the day of `now`.
//
// - Active installations by version: per day, installations that reported that day, each under
//   the version of its last report that day. The MaxSeries versions with most installations on
//   the window's last days are shown, the newest release always among them; the rest are summed
//   as "other versions".
// - Newest share: of the installations active in the window, those whose latest report was on
//   the newest release.
// - Per release: the first day it was reported on, and the days from then until installations
//   on it or a newer release were at least half of that day's active installations (none while
//   they have not been).
// - Per release, over all time: the installations that took it, confirmed it and returned
//   from it (reportdatabase.h, releaseFigures), the return rate (returned / took), and the
//   channels it is halted automatically on, with the time (halts.h).
// - Reports per day by state; totals; the time of the latest report.

#include "reportdatabase.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>


struct VersionSeries
{
    std::string version; // empty for the other versions, summed
    bool newest = false;
    std::vector<std::int64_t> installations; // one per day of the window
};

struct StateSeries
{
    int state = 0;
    std::vector<std::int64_t> reports; // one per day of the window
};

struct ReleaseUptake
{
    std::string version;
    std::optional<std::int64_t> firstDay; // days since 1970
    std::optional<std::int64_t> daysToHalf;
    ReleaseCount installations;
    std::optional<double> returnRate; // none while no installation took it
    std::vector<std::pair<std::string, std::string>> halted; // (channel, UTC time) in force
};

struct DashboardFigures
{
    static constexpr int WindowDays = 30;
    static constexpr std::size_t MaxSeries = 8;

    std::int64_t now = 0;      // seconds since 1970, UTC: when the figures were read
    std::int64_t firstDay = 0; // the window's first day, days since 1970
    std::string newest;        // the newest release
    std::vector<VersionSeries> activeByVersion; // in version order, "other" first
    std::vector<std::int64_t> activePerDay;
    std::int64_t activeInstallations = 0; // reported within the window
    std::int64_t onNewest = 0;            // of those, latest report on the newest release
    std::vector<ReleaseUptake> releases;  // in version order
    std::vector<StateSeries> reportsByState;
    std::int64_t totalReports = 0;
    std::int64_t totalInstallations = 0;
    std::int64_t windowReports = 0;
    std::optional<std::int64_t> lastReport; // seconds since 1970

    // "2026-12-08" for a day of the window.
    std::string dayText(int index) const;
};

// A read-only connection to the reports database; load() may be called from any thread.
class DashboardQuery
{
public:
    DashboardQuery() = default;
    DashboardQuery(const DashboardQuery&) = delete;
    DashboardQuery& operator=(const DashboardQuery&) = delete;
    ~DashboardQuery();

    // location: an SQLite file or a postgresql:// URL, as ReportStore takes it.
    bool open(const std::string& location, std::string& error);

    // releases: the versions the server publishes (any order); newest: the newest of them.
    bool load(std::int64_t now, const std::vector<std::string>& releases, const std::string& newest,
        DashboardFigures& figures, std::string& error);

private:
    std::unique_ptr<ReportDatabase> db;
    std::mutex mutex;
};

// The figures of aggregates read for figures.firstDay (figures.now, firstDay and newest set).
void computeFigures(const ReportAggregates& aggregates, const std::vector<std::string>& releases, DashboardFigures& figures);
