// Real vendor-server processes on reports kept beyond one server: two behind nginx sharing a
// PostgreSQL count what one server alone counts; a server killed (SIGKILL) under load has
// stored every report it answered as stored; --import-reports copies between SQLite and
// PostgreSQL both ways, goes on where a killed copy stopped, and the figures stay the same; a
// release halted by returns that one server stored is withheld by the other within seconds.

#include "dashboardfigures.h"
#include "nginxprocess.h"
#include "postgresprocess.h"
#include "reportstore.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <httplib.h>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <mutex>
#include <set>
#include <thread>

namespace {

const QByteArray Token = "shared-reports-dashboard-token-0451";

std::string form(const std::string& who, const std::string& version, int state)
{
    return "mac=" + who + "&version=" + version + "&computerName=pc-" + who + "&userName=u-" + who
        + "&useState=" + std::to_string(state);
}

// Each installation's reports in order from one thread; installations spread over threads.
int sendReports(int port, int installations, int threads)
{
    std::atomic<int> stored = 0;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            for (int i = t; i < installations; i += threads) {
                const std::string who = "inst" + std::to_string(i);
                // Every third one updates, every fifth reports a failed start.
                std::vector<std::pair<std::string, int>> reports = { { "1.0", 1 } };
                if (i % 3 == 0) {
                    reports.emplace_back("1.1", 2);
                }
                if (i % 5 == 0) {
                    reports.emplace_back(i % 3 == 0 ? "1.1" : "1.0", 3);
                }
                for (const auto& [version, state] : reports) {
                    const auto result = client.Post("/prod/Orbisnap/useReport?", form(who, version, state),
                        "application/x-www-form-urlencoded");
                    stored += result && result->status == 200 ? 1 : 0;
                }
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    return stored;
}

int reportsFor(int installations)
{
    int all = 0;
    for (int i = 0; i < installations; ++i) {
        all += 1 + (i % 3 == 0) + (i % 5 == 0);
    }
    return all;
}

// The dashboard's figures without the two times that differ by when they were read or sent.
QJsonObject figuresOf(int port)
{
    httplib::Client client("127.0.0.1", port);
    const auto result = client.Get("/dashboard.json", { { "Authorization", "Bearer " + Token.toStdString() } });
    if (!result || result->status != 200) {
        return {};
    }
    QJsonObject figures = QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object();
    figures.remove(QStringLiteral("generated"));
    figures.remove(QStringLiteral("lastReport"));
    return figures;
}

std::int64_t storedCount(const std::string& location)
{
    std::string error;
    auto database = openReportDatabase(location, true, error);
    std::int64_t count = -1;
    if (!database || !database->countReports(0, count, error)) {
        qWarning("%s", error.c_str());
    }
    return count;
}

DashboardFigures figuresAt(const std::string& location, std::int64_t now)
{
    DashboardQuery query;
    DashboardFigures figures;
    std::string error;
    if (!query.open(location, error) || !query.load(now, { "1.0", "1.1" }, "1.1", figures, error)) {
        qWarning("%s", error.c_str());
    }
    return figures;
}

} // namespace

class ReportServersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoServersBehindNginx();
    void killedUnderLoad_data();
    void killedUnderLoad();
    void haltShared();
    void importBothWays_data();
    void importBothWays();

private:
    QString path(const QString& name) const { return dir.filePath(name); }
    // A new database on the test's PostgreSQL, or the test skipped without one.
    std::string newPostgresDatabase(const QString& name);

    QTemporaryDir dir;
    PostgresProcess postgres;
    QString noPostgres;
};

void ReportServersTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(makeTree(path(QStringLiteral("site/releases")), { { "1.0/a.txt", "0" }, { "1.1/a.txt", "1" } }));
    QVERIFY(makeTree(path(QStringLiteral("alone/releases")), { { "1.0/a.txt", "0" }, { "1.1/a.txt", "1" } }));
    QVERIFY(writeFile(path(QStringLiteral("token")), Token));
    if (PostgresProcess::available(noPostgres)) {
        QString error;
        QVERIFY2(postgres.start(error), qPrintable(error));
    }
}

std::string ReportServersTest::newPostgresDatabase(const QString& name)
{
    QString error;
    if (!postgres.createDatabase(name, error)) {
        qWarning("%s", qPrintable(error));
        return {};
    }
    return postgres.url(name).toStdString();
}

void ReportServersTest::twoServersBehindNginx()
{
    if (!noPostgres.isEmpty()) {
        QSKIP(qPrintable(noPostgres));
    }
    const QString nginx = nginxExecutable();
    if (nginx.isEmpty()) {
        QSKIP("nginx is not installed");
    }
    const std::string shared = newPostgresDatabase(QStringLiteral("shared"));
    const std::string single = newPostgresDatabase(QStringLiteral("single"));
    QVERIFY(!shared.empty() && !single.empty());
    const QStringList dashboard = { QStringLiteral("--dashboard-token"), path(QStringLiteral("token")) };
    // Both in one site, so they share reports.secret beside its releases.
    VendorServerProcess first;
    VendorServerProcess second;
    VendorServerProcess alone;
    QVERIFY2(first.startOn(path(QStringLiteral("site/releases")), dashboard + QStringList { QStringLiteral("--reports"), QString::fromStdString(shared) }),
        first.errors().constData());
    QVERIFY2(second.startOn(path(QStringLiteral("site/releases")), dashboard + QStringList { QStringLiteral("--reports"), QString::fromStdString(shared) }),
        second.errors().constData());
    QVERIFY2(alone.startOn(path(QStringLiteral("alone/releases")), dashboard + QStringList { QStringLiteral("--reports"), QString::fromStdString(single) }),
        alone.errors().constData());

    NginxProcess proxy;
    QVERIFY(proxy.start(nginx, path(QStringLiteral("nginx")),
        QStringLiteral("location / { proxy_pass http://servers; proxy_http_version 1.1; proxy_set_header Connection \"\"; }"), 0,
        QStringLiteral("upstream servers { server 127.0.0.1:%1; server 127.0.0.1:%2; keepalive 16; }")
            .arg(first.port())
            .arg(second.port())));

    constexpr int Installations = 300;
    QCOMPARE(sendReports(proxy.port(), Installations, 16), reportsFor(Installations));
    QCOMPARE(sendReports(alone.port(), Installations, 16), reportsFor(Installations));
    proxy.stop();

    // Both servers took reports, each stored once.
    QVERIFY(first.output().count("useReport") > 0);
    QVERIFY(second.output().count("useReport") > 0);
    QCOMPARE(storedCount(shared), std::int64_t(reportsFor(Installations)));

    const QJsonObject sharedFigures = figuresOf(first.port());
    QVERIFY(!sharedFigures.isEmpty());
    QCOMPARE(sharedFigures.value(QStringLiteral("totals")).toObject().value(QStringLiteral("installations")).toInt(), Installations);
    QCOMPARE(figuresOf(second.port()), sharedFigures);
    QCOMPARE(figuresOf(alone.port()), sharedFigures);
}

void ReportServersTest::haltShared()
{
    if (!noPostgres.isEmpty()) {
        QSKIP(qPrintable(noPostgres));
    }
    const std::string shared = newPostgresDatabase(QStringLiteral("halted"));
    QVERIFY(!shared.empty());
    QVERIFY(makeTree(path(QStringLiteral("halt-site/releases")),
        { { "1.0/a.txt", "0" }, { "1.1/a.txt", "1" }, { "channels.json", R"({"stable":{"version":"1.1","halt":{"returns":3}}})" } }));
    VendorServerProcess servers[2];
    for (VendorServerProcess& server : servers) {
        QVERIFY2(server.startOn(path(QStringLiteral("halt-site/releases")), { QStringLiteral("--reports"), QString::fromStdString(shared) }),
            server.errors().constData());
    }
    // Two returns to the first, the third to the second, which halts; the first has no return
    // of its own to check after, and must read the halt from the database.
    for (int i = 0; i < 3; ++i) {
        httplib::Client client("127.0.0.1", servers[i / 2].port());
        const auto result = client.Post("/prod/Orbisnap/useReport?", form("r" + std::to_string(i), "1.0", 4) + "&returnedFrom=1.1",
            "application/x-www-form-urlencoded");
        QVERIFY(result && result->status == 200);
    }
    for (VendorServerProcess& server : servers) {
        httplib::Client client("127.0.0.1", server.port());
        const auto withheld = [&client] {
            const auto result = client.Get("/prod/Orbisnap/getVersionDiff?version=1.0");
            return result && result->status == 200 && result->body == "{}";
        };
        QTRY_VERIFY_WITH_TIMEOUT(withheld(), 8000);
    }
    QCOMPARE(servers[0].errors().count("halted automatically") + servers[1].errors().count("halted automatically"), 1);
    QVERIFY2(servers[1].errors().contains("channel stable: version 1.1 halted automatically: 3 installations returned from it of 3"),
        servers[1].errors().constData());
}

void ReportServersTest::killedUnderLoad_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

void ReportServersTest::killedUnderLoad()
{
    QFETCH(QString, backend);
    std::string location = path(QStringLiteral("killed.sqlite")).toStdString();
    if (backend == QStringLiteral("postgresql")) {
        if (!noPostgres.isEmpty()) {
            QSKIP(qPrintable(noPostgres));
        }
        location = newPostgresDatabase(QStringLiteral("killed"));
        QVERIFY(!location.empty());
    }
    const QString releases = path(QStringLiteral("killed-") + backend + QStringLiteral("/releases"));
    QVERIFY(makeTree(releases, { { "1.0/a.txt", "0" } }));
    VendorServerProcess server;
    QVERIFY2(server.startOn(releases, { QStringLiteral("--reports"), QString::fromStdString(location) }), server.errors().constData());

    // Clients that send until the server is gone, keeping what was answered as stored.
    std::mutex mutex;
    std::vector<std::string> acknowledged;
    std::atomic<bool> stop = false;
    std::vector<std::thread> clients;
    for (int t = 0; t < 24; ++t) {
        clients.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", server.port());
            client.set_keep_alive(true);
            client.set_read_timeout(5, 0);
            for (int n = 0; !stop; ++n) {
                const std::string who = "k" + std::to_string(t) + "-" + std::to_string(n);
                const auto result = client.Post("/prod/Orbisnap/useReport?", form(who, "1.0", 1), "application/x-www-form-urlencoded");
                if (!result) {
                    return;
                }
                if (result->status == 200) {
                    std::lock_guard lock(mutex);
                    acknowledged.push_back(who);
                }
            }
        });
    }
    QTest::qWait(1500);
    server.sendSignal(SIGKILL);
    QVERIFY(server.waitForExit());
    stop = true;
    for (std::thread& client : clients) {
        client.join();
    }
    QVERIFY2(acknowledged.size() > 100, qPrintable(QString::number(acknowledged.size())));

    // Reopened as a server would after the crash: every acknowledged report is there.
    const std::filesystem::path secret = backend == QStringLiteral("sqlite")
        ? ReportStore::secretPath(location)
        : std::filesystem::path(releases.toStdString()).parent_path() / "reports.secret";
    ReportStore reopened;
    std::string error;
    QVERIFY2(reopened.open(location, secret, error), error.c_str());
    Pseudonyms pseudonyms;
    QVERIFY2(pseudonyms.openOrCreate(secret, error), error.c_str());
    std::set<Pseudonym> stored;
    std::vector<std::pair<std::int64_t, PseudonymousReport>> rows;
    QVERIFY2(reopened.database()->readReports(0, 10000000, rows, error), error.c_str());
    for (const auto& [id, report] : rows) {
        stored.insert(report.mac);
    }
    std::size_t missing = 0;
    for (const std::string& who : acknowledged) {
        missing += stored.contains(pseudonyms.of("mac", who)) ? 0 : 1;
    }
    QCOMPARE(missing, std::size_t(0));
    QVERIFY(stored.size() >= acknowledged.size());
    // And the aggregates agree with the rows: each report counted once.
    QCOMPARE(figuresAt(location, std::time(nullptr)).totalReports, std::int64_t(rows.size()));
}

void ReportServersTest::importBothWays_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::newRow("sqlite-to-postgresql") << QStringLiteral("sqlite") << QStringLiteral("postgresql");
    QTest::newRow("postgresql-to-sqlite") << QStringLiteral("postgresql") << QStringLiteral("sqlite");
}

void ReportServersTest::importBothWays()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    if (!noPostgres.isEmpty()) {
        QSKIP(qPrintable(noPostgres));
    }
    const QString name = from + QStringLiteral("-to-") + to;
    const auto location = [&](const QString& kind, const QString& role) {
        return kind == QStringLiteral("sqlite") ? path(name + QStringLiteral("-") + role + QStringLiteral(".sqlite")).toStdString()
                                                : newPostgresDatabase(QString(name + QStringLiteral("_") + role).replace(QLatin1Char('-'), QLatin1Char('_')));
    };
    const std::string source = location(from, QStringLiteral("from"));
    const std::string target = location(to, QStringLiteral("to"));
    QVERIFY(!source.empty() && !target.empty());
    const std::int64_t now = std::time(nullptr);
    const auto fill = [&](int first, int count) {
        ReportStore store;
        std::string error;
        if (!store.open(source, path(name + QStringLiteral(".secret")).toStdString(), error)) {
            return error;
        }
        std::vector<UsageReport> reports;
        for (int i = first; i < first + count; ++i) {
            UsageReport report;
            report.time = now - (i % 40) * 86400 - i % 1000;
            report.mac = "m" + std::to_string(i % 5000);
            report.computerName = "pc";
            report.userName = "u";
            report.version = i % 7 == 0 ? "1.1" : "1.0";
            report.useState = i % 4;
            reports.push_back(report);
        }
        store.storeAll(reports, error);
        return error;
    };
    QCOMPARE(fill(0, 80000), std::string());

    const auto runImport = [&](bool killEarly) {
        QProcess import;
        import.start(QStringLiteral(VENDOR_SERVER_EXE),
            { QStringLiteral("--import-reports"), QString::fromStdString(source), QStringLiteral("--reports"), QString::fromStdString(target) });
        if (killEarly) {
            const QDeadlineTimer deadline(60000);
            while (!deadline.hasExpired() && !import.readAllStandardOutput().contains("copied")) {
                import.waitForReadyRead(5);
            }
            ::kill(pid_t(import.processId()), SIGKILL);
        }
        import.waitForFinished(120000);
        return std::pair { import.exitStatus() == QProcess::NormalExit ? import.exitCode() : -1,
            QString::fromUtf8(import.readAllStandardOutput() + import.readAllStandardError()) };
    };
    // Killed after its first chunk, then run again: every report once.
    const auto killed = runImport(true);
    QCOMPARE(killed.first, -1);
    const std::int64_t afterKill = storedCount(target);
    QVERIFY2(afterKill > 0 && afterKill < 80000, qPrintable(QString::number(afterKill)));
    const auto resumed = runImport(false);
    QVERIFY2(resumed.first == 0, qPrintable(resumed.second));
    QVERIFY2(resumed.second.contains(QStringLiteral("copied %1 of %1 report(s) (100%)").arg(80000 - afterKill)), qPrintable(resumed.second));
    QCOMPARE(storedCount(target), std::int64_t(80000));

    // Reports stored since are the only ones the next run copies.
    QCOMPARE(fill(80000, 500), std::string());
    const auto more = runImport(false);
    QVERIFY2(more.second.contains(QStringLiteral("copied 500 report(s)")), qPrintable(more.second));
    QCOMPARE(storedCount(target), std::int64_t(80500));

    const DashboardFigures before = figuresAt(source, now);
    const DashboardFigures after = figuresAt(target, now);
    QCOMPARE(after.totalReports, before.totalReports);
    QCOMPARE(after.totalInstallations, before.totalInstallations);
    QCOMPARE(after.activeInstallations, before.activeInstallations);
    QCOMPARE(after.onNewest, before.onNewest);
    QCOMPARE(after.lastReport, before.lastReport);
    QCOMPARE(after.activePerDay, before.activePerDay);
    QCOMPARE(after.activeByVersion.size(), before.activeByVersion.size());
    for (std::size_t i = 0; i < before.activeByVersion.size(); ++i) {
        QCOMPARE(after.activeByVersion[i].installations, before.activeByVersion[i].installations);
    }
    QCOMPARE(after.reportsByState.size(), before.reportsByState.size());
    for (std::size_t i = 0; i < before.reportsByState.size(); ++i) {
        QCOMPARE(after.reportsByState[i].reports, before.reportsByState[i].reports);
    }
    QCOMPARE(after.releases.size(), before.releases.size());
    for (std::size_t i = 0; i < before.releases.size(); ++i) {
        QCOMPARE(after.releases[i].firstDay, before.releases[i].firstDay);
        QCOMPARE(after.releases[i].daysToHalf, before.releases[i].daysToHalf);
    }

    // A destination whose pseudonyms come from another secret is refused.
    ReportStore other;
    std::string error;
    const std::string foreign = path(name + QStringLiteral("-foreign.sqlite")).toStdString();
    QVERIFY2(other.open(foreign, ReportStore::secretPath(foreign), error), error.c_str());
    QProcess refused;
    refused.start(QStringLiteral(VENDOR_SERVER_EXE),
        { QStringLiteral("--import-reports"), QString::fromStdString(source), QStringLiteral("--reports"), QString::fromStdString(foreign) });
    QVERIFY(refused.waitForFinished(60000));
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY(refused.readAllStandardError().contains("were made with different secrets"));
}

QTEST_GUILESS_MAIN(ReportServersTest)
#include "tst_reportservers.moc"
