// bench_dashboard [REPORTS] [INSTALLATIONS] [RUNS] [--keep DIR] [--bulk] [--reports URL]
//
// Fills a fresh reports database with REPORTS synthetic reports (default 1,000,000) from
// INSTALLATIONS installations (default 30,000) over the last 90 days, six releases coming out
// every 15 days and taken up over the following days, then times, RUNS times each (default 7):
// reading the figures, the page (figures + HTML) and the JSON (figures + JSON), and storing one
// more report durably. Prints the figures, and the best and the median of wall and CPU time.
// --keep DIR keeps the database (DIR/reports.sqlite) for timing it through vendor-server.
// --bulk writes the rows straight in the store's schema (bulkfill.h) instead of through the
// store, for tens of millions of reports. --reports URL fills a PostgreSQL database instead
// (an empty one: postgresql://USER@HOST/DB).

#include "bulkfill.h"
#include "dashboardfigures.h"
#include "dashboardpage.h"
#include "reportstore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Times
{
    double wallMs;
    double cpuMs;
};

double cpuNowMs()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

Times measure(const std::function<void()>& work)
{
    const double cpu = cpuNowMs();
    const auto start = std::chrono::steady_clock::now();
    work();
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return { wall, cpuNowMs() - cpu };
}

void report(const char* what, std::vector<Times> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Times& a, const Times& b) { return a.wallMs < b.wallMs; });
    const Times& best = runs.front();
    const Times& median = runs[runs.size() / 2];
    std::printf("%-34s best %8.1f ms wall %8.1f ms CPU   median %8.1f ms wall %8.1f ms CPU   (%zu runs)\n", what,
        best.wallMs, best.cpuMs, median.wallMs, median.cpuMs, runs.size());
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t reports = 1000000;
    std::size_t installations = 30000;
    int runs = 7;
    fs::path keep;
    bool bulk = false;
    std::string url;
    std::vector<std::string> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--bulk") {
            bulk = true;
        } else if (argument == "--reports" && i + 1 < argc) {
            url = argv[++i];
        } else if (argument == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            numbers.push_back(argument);
        }
    }
    if (numbers.size() > 0) {
        reports = std::stoul(numbers[0]);
    }
    if (numbers.size() > 1) {
        installations = std::stoul(numbers[1]);
    }
    if (numbers.size() > 2) {
        runs = std::max(1, std::stoi(numbers[2]));
    }

    const fs::path folder = keep.empty() ? fs::temp_directory_path() / ("bench_dashboard." + std::to_string(::getpid())) : keep;
    fs::create_directories(folder);
    const fs::path database = folder / "reports.sqlite";
    for (const char* suffix : { "", "-wal", "-shm", ".secret" }) {
        fs::remove(database.string() + suffix);
    }
    const std::string location = url.empty() ? database.string() : url;
    std::optional<ReportStore> store(std::in_place);
    std::string error;
    if (!store->open(location, ReportStore::secretPath(database), error)) {
        std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
        return 1;
    }

    constexpr int Days = 90;
    const std::vector<std::string> releases = { "1.0.0", "1.0.1", "1.0.2", "1.0.3", "1.0.4", "1.0.5" };
    const std::int64_t now = std::time(nullptr);
    const std::int64_t firstDay = now / 86400 - Days + 1;
    std::mt19937_64 random(20261208);
    // Each installation takes a release after a delay of its own (a few days for most, weeks
    // for some), and reports on a day with the probability that gives REPORTS in all.
    std::exponential_distribution<double> delay(1.0 / 6.0);
    std::vector<double> lag(installations);
    for (double& days : lag) {
        days = delay(random);
    }
    const double perDay = double(reports) / (double(Days) * double(installations));
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> second(0, 86399);
    std::uniform_int_distribution<int> state(0, 3);

    std::printf("filling %s: %zu reports from %zu installations over %d days%s\n", location.c_str(), reports,
        installations, Days, bulk ? ", straight in the schema" : "");
    store->setDurable(false);
    std::size_t stored = 0;
    std::vector<UsageReport> batch;
    const Times fill = measure([&] {
        if (bulk) {
            // The rows are written by a connection of their own, to a database no one else uses.
            store.reset();
            std::int64_t made = 0;
            if (!bulkFill(location, { std::int64_t(installations), std::int64_t(reports), Days, now, releases }, made, error)) {
                std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
                std::exit(1);
            }
            stored = std::size_t(made);
            store.emplace();
            if (!store->open(location, ReportStore::secretPath(database), error)) {
                std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
                std::exit(1);
            }
            return;
        }
        for (int day = 0; day < Days && stored < reports; ++day) {
            for (std::size_t i = 0; i < installations && stored < reports; ++i) {
                if (chance(random) >= perDay) {
                    continue;
                }
                std::size_t release = 0;
                for (std::size_t r = 0; r < releases.size(); ++r) {
                    if (double(day) >= double(r) * 15.0 + lag[i]) {
                        release = r;
                    }
                }
                UsageReport one;
                one.time = (firstDay + day) * 86400 + second(random);
                one.mac = "02:00:00:" + std::to_string(i);
                one.computerName = "PC-" + std::to_string(i);
                one.userName = "user" + std::to_string(i);
                one.version = releases[release];
                one.useState = state(random);
                batch.push_back(std::move(one));
                ++stored;
                if (batch.size() == 20000) {
                    if (!store->storeAll(batch, error)) {
                        std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
                        std::exit(1);
                    }
                    batch.clear();
                }
            }
        }
        if (!batch.empty() && !store->storeAll(batch, error)) {
            std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
            std::exit(1);
        }
    });
    store->setDurable(true);
    std::printf("filled %zu reports in %.1f s (%.1f s CPU): %.0f reports/s %s\n", stored, fill.wallMs / 1e3,
        fill.cpuMs / 1e3, double(stored) / (fill.wallMs / 1e3), bulk ? "straight in the schema" : "in batches of 20,000");
    if (url.empty()) {
        std::error_code code;
        const auto mib = [&](const std::string& file) {
            const auto size = fs::file_size(file, code);
            return code ? 0.0 : double(size) / 1048576.0;
        };
        std::printf("database %.1f MiB, WAL %.1f MiB\n", mib(database.string()), mib(database.string() + "-wal"));
    }

    DashboardQuery query;
    if (!query.open(location, error)) {
        std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
        return 1;
    }
    DashboardFigures figures;
    std::vector<Times> loads;
    std::vector<Times> pages;
    std::vector<Times> jsons;
    std::size_t pageBytes = 0;
    std::size_t jsonBytes = 0;
    for (int run = 0; run < runs; ++run) {
        loads.push_back(measure([&] { query.load(now, releases, releases.back(), figures, error); }));
        pages.push_back(measure([&] {
            query.load(now, releases, releases.back(), figures, error);
            pageBytes = dashboardHtml(figures).size();
        }));
        jsons.push_back(measure([&] {
            query.load(now, releases, releases.back(), figures, error);
            jsonBytes = dashboardJson(figures).size();
        }));
    }
    if (!error.empty()) {
        std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
        return 1;
    }
    std::printf("figures: %lld reports, %lld installations, %lld active in 30 days, %.1f%% on %s\n",
        (long long)figures.totalReports, (long long)figures.totalInstallations, (long long)figures.activeInstallations,
        figures.activeInstallations ? 100.0 * double(figures.onNewest) / double(figures.activeInstallations) : 0.0,
        figures.newest.c_str());
    for (const VersionSeries& series : figures.activeByVersion) {
        std::printf("  %-14s active today %lld, 30 days ago %lld\n", series.version.empty() ? "other" : series.version.c_str(),
            (long long)series.installations.back(), (long long)series.installations.front());
    }
    for (const ReleaseUptake& uptake : figures.releases) {
        std::printf("  release %-8s first reported %s, half of the active installations after %s day(s)\n",
            uptake.version.c_str(), uptake.firstDay ? utcTimeText(*uptake.firstDay * 86400).substr(0, 10).c_str() : "never",
            uptake.daysToHalf ? std::to_string(*uptake.daysToHalf).c_str() : "no");
    }
    report("figures (queries)", loads);
    report(("page (figures + " + std::to_string(pageBytes) + " B HTML)").c_str(), pages);
    report(("JSON (figures + " + std::to_string(jsonBytes) + " B)").c_str(), jsons);

    std::vector<Times> stores;
    for (int run = 0; run < std::max(runs, 20); ++run) {
        UsageReport one;
        one.time = now;
        one.mac = "02:00:01:" + std::to_string(run);
        one.computerName = "PC-new";
        one.userName = "user";
        one.version = releases.back();
        one.useState = 1;
        stores.push_back(measure([&] {
            if (!store->store(one, error)) {
                std::fprintf(stderr, "bench_dashboard: %s\n", error.c_str());
                std::exit(1);
            }
        }));
    }
    report("one report stored, synced", stores);
    if (keep.empty()) {
        fs::remove_all(folder);
    }
    return 0;
}
