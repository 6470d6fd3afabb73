// The dashboard's figures, read from the aggregates the store keeps with each report, against
// a direct count over the reports as stored (read back in the order stored): installations
// by day and version, the share on the newest release, uptake per release, installations that
// took, confirmed and returned from each version, states, totals. Each case runs on SQLite and
// on a PostgreSQL of the test's own; on SQLite also through the migrations from the first and
// the second schema, whose aggregates are built from the rows there are.

#include "dashboardfigures.h"
#include "postgresprocess.h"
#include "reportdatabase.h"
#include "reportstore.h"

#include <sqlite3.h>

#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <set>
#include <thread>

struct Sent
{
    int daysAgo;
    int second; // of the day
    const char* who; // "a", or "a/u2": a's MAC and computer with another user
    const char* version;
    int state;
    const char* returnedFrom = "";
};
using Reports = std::vector<Sent>;
Q_DECLARE_METATYPE(Reports)

namespace {

// 2026-12-08T12:00:00Z
constexpr std::int64_t Now = 1796731200;
constexpr std::int64_t Today = Now / 86400;

UsageReport usageReport(const Sent& sent)
{
    const std::string who = sent.who;
    const std::size_t slash = who.find('/');
    const std::string machine = who.substr(0, slash);
    UsageReport report;
    report.time = (Today - sent.daysAgo) * 86400 + sent.second;
    report.mac = "mac-" + machine;
    report.computerName = "pc-" + machine;
    report.userName = slash == std::string::npos ? "user-" + machine : who.substr(slash + 1);
    report.version = sent.version;
    report.useState = sent.state;
    report.returnedFrom = sent.returnedFrom;
    return report;
}


// The figures counted straight from the reports, as the dashboard describes them.
struct Direct
{
    std::map<std::int64_t, std::map<std::string, std::int64_t>> byDay; // installations by day and version
    std::int64_t active = 0;
    std::int64_t onNewest = 0;
    std::map<std::pair<std::int64_t, int>, std::int64_t> states;
    std::int64_t reports = 0;
    std::int64_t installations = 0;
    std::optional<std::int64_t> lastReport;
    std::map<std::string, ReleaseCount> releases; // distinct installations by version
};

Direct directCount(const std::vector<PseudonymousReport>& stored, const std::string& newest, std::int64_t firstDay)
{
    Direct direct;
    std::map<InstallationKey, std::pair<std::int64_t, std::string>> latest; // time, version
    std::map<std::pair<InstallationKey, std::int64_t>, std::pair<std::int64_t, std::string>> lastOfDay;
    std::map<std::string, std::set<InstallationKey>> took, confirmed, returned;
    for (const PseudonymousReport& report : stored) {
        const InstallationKey key { report.mac, report.computerName, report.userName };
        const std::int64_t day = report.time / 86400;
        // A later report wins; of two at the same second, the one stored later.
        const auto take = [&](auto& map, const auto& at) {
            const auto found = map.find(at);
            if (found == map.end() || report.time >= found->second.first) {
                map[at] = { report.time, report.version };
            }
        };
        take(latest, key);
        take(lastOfDay, std::pair { key, day });
        if (!report.version.empty()) {
            took[report.version].insert(key);
        }
        if (report.useState == 5 && !report.version.empty()) {
            confirmed[report.version].insert(key);
        }
        if (report.useState == 4 && !report.returnedFrom.empty()) {
            took[report.returnedFrom].insert(key);
            returned[report.returnedFrom].insert(key);
        }
        ++direct.states[{ day, report.useState }];
        ++direct.reports;
        direct.lastReport = std::max(direct.lastReport.value_or(report.time), report.time);
    }
    for (const auto& [at, last] : lastOfDay) {
        ++direct.byDay[at.second][last.second];
    }
    for (const auto& [version, installations] : took) {
        direct.releases[version] = { std::int64_t(installations.size()), std::int64_t(confirmed[version].size()),
            std::int64_t(returned[version].size()) };
    }
    direct.installations = std::int64_t(latest.size());
    for (const auto& [key, last] : latest) {
        if (last.first / 86400 >= firstDay) {
            ++direct.active;
            direct.onNewest += last.second == newest ? 1 : 0;
        }
    }
    return direct;
}

std::vector<PseudonymousReport> readBack(ReportDatabase& database)
{
    std::vector<std::pair<std::int64_t, PseudonymousReport>> rows;
    std::string error;
    if (!database.readReports(0, 1000000, rows, error)) {
        qWarning("%s", error.c_str());
    }
    std::vector<PseudonymousReport> out;
    for (auto& row : rows) {
        out.push_back(std::move(row.second));
    }
    return out;
}

// The first schema's shape, as vendor-servers before the latest-version aggregate left it.
bool downgradeToFirstSchema(const std::string& file)
{
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK
        && sqlite3_exec(db,
               "BEGIN; DROP TABLE lastDayVersions; ALTER TABLE dayStates DROP COLUMN lastTime;"
               "CREATE INDEX installationsByLastDay ON installations(lastDay, lastVersion);"
               "DELETE FROM meta WHERE key = 'database-id'; UPDATE meta SET value = 1 WHERE key = 'schema'; COMMIT;",
               nullptr, nullptr, nullptr)
            == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The second schema's shape: no returnedFrom, no per-release figures.
bool downgradeToSecondSchema(const std::string& file)
{
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK
        && sqlite3_exec(db,
               "BEGIN; DROP TABLE installationReleases; DROP TABLE releaseFigures;"
               "ALTER TABLE reports DROP COLUMN returnedFrom; UPDATE meta SET value = 2 WHERE key = 'schema'; COMMIT;",
               nullptr, nullptr, nullptr)
            == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

QString countsText(const std::map<std::string, ReleaseCount>& counts)
{
    QString text;
    for (const auto& [version, count] : counts) {
        text += QStringLiteral("%1: %2/%3/%4; ")
                    .arg(QString::fromStdString(version))
                    .arg(count.took)
                    .arg(count.confirmed)
                    .arg(count.returned);
    }
    return text;
}

} // namespace

class ReportAggregatesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameAsDirectCount_data();
    void sameAsDirectCount();

private:
    QTemporaryDir dir;
    PostgresProcess postgres;
    QString noPostgres;
    int databases = 0;
};

void ReportAggregatesTest::initTestCase()
{
    QVERIFY(dir.isValid());
    if (PostgresProcess::available(noPostgres)) {
        QString error;
        QVERIFY2(postgres.start(error), qPrintable(error));
    }
}

void ReportAggregatesTest::sameAsDirectCount_data()
{
    // sqlite, migrated (SQLite through the first schema), schema2 (through the second),
    // postgresql, postgresql-schema2 (PostgreSQL through the second)
    QTest::addColumn<QString>("backend");
    // batch: one transaction; single: one store() at a time; concurrent; two-writers
    QTest::addColumn<QString>("how");
    QTest::addColumn<Reports>("reports");
    QTest::addColumn<int>("active");
    QTest::addColumn<int>("onNewest");
    QTest::addColumn<QString>("perVersion"); // took/confirmed/returned by version; empty: not given

    struct Case
    {
        const char* name;
        const char* how;
        Reports reports;
        int active;
        int onNewest;
        const char* perVersion = "";
    };
    const QList<Case> cases = {
        { "updated-within-a-day", "single", { { 3, 100, "a", "1.0", 1 }, { 3, 5000, "a", "1.1", 2 }, { 3, 6000, "b", "1.0", 1 } }, 2, 1 },
        { "older-report-stored-later", "single",
            { { 3, 5000, "a", "1.1", 1 }, { 3, 100, "a", "1.0", 1 }, { 5, 100, "a", "1.0", 1 } }, 1, 1 },
        { "several-a-day", "batch",
            { { 1, 10, "a", "1.1", 1 }, { 1, 20, "a", "1.1", 1 }, { 1, 30, "a", "1.1", 3 }, { 0, 40, "a", "1.1", 1 } }, 1, 1 },
        { "same-second-later-stored-wins", "single", { { 2, 100, "a", "1.1", 1 }, { 2, 100, "a", "1.0", 1 } }, 1, 0 },
        { "inactive-past-the-window", "batch",
            { { 40, 100, "a", "1.0", 1 }, { 30, 100, "b", "1.0", 1 }, { 29, 86399, "c", "1.0", 1 }, { 29, 0, "d", "1.1", 1 },
                { 45, 0, "e", "1.1", 1 } },
            2, 1 },
        { "left-the-window-after-updating", "batch",
            { { 50, 0, "a", "1.0", 1 }, { 31, 0, "a", "1.1", 1 }, { 10, 0, "b", "1.0", 1 } }, 1, 0 },
        { "downgraded", "single", { { 9, 0, "a", "1.1", 1 }, { 8, 0, "a", "1.0", 1 }, { 8, 10, "b", "1.1", 1 } }, 2, 1 },
        { "same-machine-other-user", "batch", { { 4, 0, "a", "1.0", 1 }, { 4, 0, "a/u2", "1.1", 1 } }, 2, 1 },
        { "versions-not-released-and-states", "batch",
            { { 6, 0, "a", "9.9-local", 0 }, { 6, 1, "b", "1.0", 255 }, { 5, 0, "c", "", 4 }, { 5, 1, "a", "1.1", 2 } }, 3, 1 },
        { "from-many-threads", "concurrent",
            { { 0, 1, "a", "1.0", 1 }, { 0, 2, "b", "1.0", 1 }, { 0, 3, "c", "1.1", 1 }, { 0, 4, "d", "1.1", 2 },
                { 1, 1, "a", "1.1", 1 }, { 1, 2, "e", "1.0", 1 }, { 2, 3, "f", "1.1", 1 }, { 2, 9, "f", "1.0", 1 } },
            6, 2 },
        // c returned twice from 1.1 and e from a version never reported otherwise; d sent a
        // return without the version (an older client); b confirmed twice.
        { "returns-and-confirmations", "single",
            { { 2, 0, "a", "1.0", 1 }, { 1, 0, "a", "1.0", 4, "1.1" }, { 1, 10, "b", "1.1", 5 }, { 1, 20, "b", "1.1", 5 },
                { 0, 0, "c", "1.0", 4, "1.1" }, { 0, 5, "c", "1.0", 4, "1.1" }, { 0, 9, "d", "1.1", 4 },
                { 0, 10, "e", "1.0", 4, "1.2-rc" }, { 0, 11, "f", "1.1", 5, "1.0" } },
            6, 3, "1.0: 3/0/0; 1.1: 5/2/2; 1.2-rc: 1/0/1; " },
        { "returns-from-many-threads", "concurrent",
            { { 0, 1, "a", "1.0", 4, "1.1" }, { 0, 2, "b", "1.0", 4, "1.1" }, { 0, 3, "c", "1.1", 5 }, { 0, 4, "d", "1.1", 5 },
                { 0, 5, "a", "1.0", 4, "1.1" }, { 0, 6, "e", "1.1", 1 }, { 0, 7, "c", "1.1", 5 }, { 0, 8, "f", "1.0", 4, "1.1" } },
            6, 3 },
        { "returns-from-two-writers", "two-writers",
            { { 0, 1, "a", "1.0", 4, "1.1" }, { 0, 2, "a", "1.0", 4, "1.1" }, { 0, 3, "b", "1.1", 5 }, { 0, 4, "b", "1.1", 5 },
                { 0, 5, "c", "1.0", 4, "1.1" }, { 0, 6, "c", "1.1", 1 }, { 0, 7, "d", "1.1", 5 }, { 0, 8, "d", "1.0", 4, "1.1" },
                { 0, 9, "e", "1.0", 4, "1.1" }, { 0, 10, "e", "1.0", 4, "1.1" } },
            5, 2 },
        { "returns-in-one-batch", "batch",
            { { 3, 1, "a", "1.1", 1 }, { 2, 2, "a", "1.0", 4, "1.1" }, { 1, 3, "a", "1.1", 5 }, { 0, 4, "b", "1.0", 4, "1.1" } },
            2, 1 },
    };
    for (const char* backend : { "sqlite", "migrated", "schema2", "postgresql", "postgresql-schema2" }) {
        for (const Case& c : cases) {
            // The earlier schemas kept no returnedFrom: what they stored holds no returns.
            const bool withReturns = backend == std::string("sqlite") || backend == std::string("postgresql");
            QTest::addRow("%s-%s", backend, c.name) << backend << c.how << c.reports << c.active << c.onNewest
                                                    << QString::fromLatin1(withReturns ? c.perVersion : "");
        }
    }
}

void ReportAggregatesTest::sameAsDirectCount()
{
    QFETCH(QString, backend);
    QFETCH(QString, how);
    QFETCH(Reports, reports);
    QFETCH(int, active);
    QFETCH(int, onNewest);
    QFETCH(QString, perVersion);

    const std::vector<std::string> releases = { "1.0", "1.1" };
    const std::string newest = releases.back();
    const std::string name = "db" + std::to_string(++databases);
    std::string location = dir.filePath(QString::fromStdString(name + ".sqlite")).toStdString();
    if (backend.startsWith(QStringLiteral("postgresql"))) {
        if (!noPostgres.isEmpty()) {
            QSKIP(qPrintable(noPostgres));
        }
        QString error;
        QVERIFY2(postgres.createDatabase(QString::fromStdString(name), error), qPrintable(error));
        location = postgres.url(QString::fromStdString(name)).toStdString();
    }
    const std::filesystem::path secret = dir.filePath(QString::fromStdString(name + ".secret")).toStdString();
    {
        ReportStore store;
        std::string error;
        QVERIFY2(store.open(location, secret, error), error.c_str());
        std::vector<UsageReport> all;
        for (const Sent& sent : reports) {
            all.push_back(usageReport(sent));
        }
        if (how == QStringLiteral("batch")) {
            QVERIFY2(store.storeAll(all, error), error.c_str());
        } else if (how == QStringLiteral("single")) {
            for (const UsageReport& report : all) {
                QVERIFY2(store.store(report, error), error.c_str());
            }
        } else {
            // "two-writers": every other report through a second store of its own connection,
            // as a second vendor-server on the same database.
            ReportStore other;
            if (how == QStringLiteral("two-writers")) {
                QVERIFY2(other.open(location, secret, error), error.c_str());
            }
            std::vector<std::thread> threads;
            std::atomic<int> failed = 0;
            for (std::size_t i = 0; i < all.size(); ++i) {
                ReportStore& writer = how == QStringLiteral("two-writers") && i % 2 == 1 ? other : store;
                threads.emplace_back([&, report = all[i]] {
                    std::string cause;
                    failed += writer.store(report, cause) ? 0 : 1;
                });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
            QCOMPARE(failed.load(), 0);
        }
    }
    if (backend == QStringLiteral("postgresql-schema2")) {
        QString failure;
        QVERIFY2(postgres.runSql(QString::fromStdString(name),
                     QStringLiteral("BEGIN; DROP TABLE installationReleases; DROP TABLE releaseFigures;"
                                    "ALTER TABLE reports DROP COLUMN returnedFrom;"
                                    "UPDATE meta SET value = '2' WHERE key = 'schema'; COMMIT;"),
                     failure),
            qPrintable(failure));
        ReportStore reopened;
        std::string error;
        QVERIFY2(reopened.open(location, secret, error), error.c_str());
    }
    if (backend == QStringLiteral("migrated") || backend == QStringLiteral("schema2")) {
        QVERIFY(backend == QStringLiteral("migrated") ? downgradeToSecondSchema(location) && downgradeToFirstSchema(location)
                                                      : downgradeToSecondSchema(location));
        ReportStore reopened;
        std::string error;
        QVERIFY2(reopened.open(location, secret, error), error.c_str());
    }

    DashboardQuery query;
    std::string error;
    QVERIFY2(query.open(location, error), error.c_str());
    DashboardFigures figures;
    QVERIFY2(query.load(Now, releases, newest, figures, error), error.c_str());
    auto database = openReportDatabase(location, true, error);
    QVERIFY2(database, error.c_str());
    const std::vector<PseudonymousReport> stored = readBack(*database);
    QCOMPARE(stored.size(), reports.size());
    const Direct direct = directCount(stored, newest, figures.firstDay);

    // The case's own expectation first, so that both counts cannot be wrong the same way.
    QCOMPARE(direct.active, std::int64_t(active));
    QCOMPARE(direct.onNewest, std::int64_t(onNewest));
    QCOMPARE(figures.activeInstallations, direct.active);
    QCOMPARE(figures.onNewest, direct.onNewest);
    QCOMPARE(figures.totalReports, direct.reports);
    QCOMPARE(figures.totalInstallations, direct.installations);
    QCOMPARE(figures.lastReport, direct.lastReport);

    std::set<std::string> shown;
    for (const VersionSeries& series : figures.activeByVersion) {
        shown.insert(series.version);
        for (int day = 0; day < DashboardFigures::WindowDays; ++day) {
            const auto onDay = direct.byDay.find(figures.firstDay + day);
            const std::int64_t count = onDay == direct.byDay.end() || !onDay->second.contains(series.version)
                ? 0
                : onDay->second.at(series.version);
            QVERIFY2(series.installations[std::size_t(day)] == count,
                qPrintable(QStringLiteral("%1 on day %2: %3, counted %4")
                               .arg(QString::fromStdString(series.version))
                               .arg(day)
                               .arg(series.installations[std::size_t(day)])
                               .arg(count)));
        }
    }
    for (const auto& [day, versions] : direct.byDay) {
        for (const auto& [version, count] : versions) {
            QVERIFY2(day < figures.firstDay || shown.contains(version), version.c_str());
        }
    }

    // Uptake: the first day on each release, and the days until it or a newer one had half.
    for (const ReleaseUptake& uptake : figures.releases) {
        const std::size_t index = std::size_t(std::find(releases.begin(), releases.end(), uptake.version) - releases.begin());
        std::optional<std::int64_t> firstDay;
        std::optional<std::int64_t> daysToHalf;
        for (const auto& [day, versions] : direct.byDay) {
            std::int64_t all = 0;
            std::int64_t atLeast = 0;
            for (const auto& [version, count] : versions) {
                all += count;
                const auto release = std::find(releases.begin(), releases.end(), version);
                if (release != releases.end() && std::size_t(release - releases.begin()) >= index) {
                    atLeast += count;
                }
                if (version == uptake.version && !firstDay) {
                    firstDay = day;
                }
            }
            if (firstDay && !daysToHalf && 2 * atLeast >= all) {
                daysToHalf = day - *firstDay;
            }
        }
        QCOMPARE(uptake.firstDay, firstDay);
        QCOMPARE(uptake.daysToHalf, daysToHalf);
    }

    std::int64_t inWindow = 0;
    for (const StateSeries& series : figures.reportsByState) {
        for (int day = 0; day < DashboardFigures::WindowDays; ++day) {
            const auto found = direct.states.find({ figures.firstDay + day, series.state });
            QCOMPARE(series.reports[std::size_t(day)], found == direct.states.end() ? 0 : found->second);
            inWindow += series.reports[std::size_t(day)];
        }
    }
    std::int64_t directInWindow = 0;
    for (const auto& [at, count] : direct.states) {
        directInWindow += at.first >= figures.firstDay ? count : 0;
    }
    QCOMPARE(inWindow, directInWindow);
    QCOMPARE(figures.windowReports, directInWindow);

    // Per version: every version as sent, from the aggregates; the releases, on the dashboard.
    ReportAggregates aggregates;
    QVERIFY2(database->readAggregates(0, aggregates, error), error.c_str());
    std::erase_if(aggregates.releases, [](const auto& entry) {
        return entry.second.took == 0 && entry.second.confirmed == 0 && entry.second.returned == 0;
    });
    if (!perVersion.isEmpty()) {
        QCOMPARE(countsText(direct.releases), perVersion);
    }
    QCOMPARE(countsText(aggregates.releases), countsText(direct.releases));
    for (const ReleaseUptake& release : figures.releases) {
        const ReleaseCount counted = direct.releases.contains(release.version) ? direct.releases.at(release.version) : ReleaseCount();
        QCOMPARE(release.installations.took, counted.took);
        QCOMPARE(release.installations.returned, counted.returned);
        QCOMPARE(release.returnRate.has_value(), counted.took > 0);
    }
}

QTEST_GUILESS_MAIN(ReportAggregatesTest)
#include "tst_reportaggregates.moc"
