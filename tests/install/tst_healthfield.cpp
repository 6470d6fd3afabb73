// The start check as an installation in the field lives it, black-box: the test host runs its
// own update check against a loopback server at the compiled-in address, which answers the
// version request, serves the new release and records every usage report; the real updater
// installs what the check wrote and runs the start check. What the server must hear: a
// return once, as state 4 with the version returned from; a confirmation once, as state 5;
// nothing of either for a channel without a start check. A version returned from is not
// offered to the installation again until a newer one exists.

#include "previousversion.h"
#include "smalldisk.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatecheck.h"
#include "updaterscene.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QUrlQuery>

#include <algorithm>
#include <memory>
#include <mutex>

namespace {

Tree withHost(Tree tree)
{
    tree.insert(QStringLiteral("Host.exe"), readFile(QStringLiteral(HEALTH_HOST_EXE)));
    return tree;
}

QString keys(const Tree& tree)
{
    return QStringList(tree.keys()).join(QLatin1Char(' '));
}

struct HostRun
{
    int exitCode = -1;
    QByteArray err;
};

// A usage report as the server received it.
struct Report
{
    QString version;
    QString useState;
    QString returnedFrom;
};

} // namespace

class HealthFieldTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void returnReportedOnce_data();
    void returnReportedOnce();
    void returnedVersionNotTakenAgain_data();
    void returnedVersionNotTakenAgain();
    void confirmationReportedOnce_data();
    void confirmationReportedOnce();
    void confirmationOnFullDisk();
    void withoutHealthNothingChanges_data();
    void withoutHealthNothingChanges();

private:
    QByteArray answer(const char* version, bool health) const;
    void setAnswer(const QByteArray& body);
    // The next `count` reports fail: with status 500, or (noJson) as a 200 without JSON.
    void failReports(int count, bool noJson);
    std::vector<Report> reports();
    HostRun runHost(const QStringList& arguments = { QStringLiteral("check") });
    // The old release with the test host, then the host's own check against the server
    // offering 1.0.4 (with or without a start check) and a run of the real updater in mode 1.
    QByteArray install(bool health);

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<Scene> scene;
    std::mutex mutex;
    QByteArray versionAnswer;
    int failing = 0;
    bool failWithoutJson = false;
    std::vector<std::string> reportBodies;
};

void HealthFieldTest::init()
{
    {
        std::lock_guard lock(mutex);
        reportBodies.clear();
        failing = 0;
    }
    server = std::make_unique<TestHttpServer>();
    httplib::Server& http = server->http();
    http.Get("/prod/Orbisnap/getVersionDiff", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(mutex);
        response.set_content(versionAnswer.toStdString(), "application/json");
    });
    http.Post("/prod/Orbisnap/useReport", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        reportBodies.push_back(request.body);
        if (failing > 0) {
            --failing;
            if (failWithoutJson) {
                response.set_content("<html>busy</html>", "text/html");
            } else {
                response.status = 500;
                response.set_content(R"({"error":"the report could not be stored"})", "application/json");
            }
            return;
        }
        response.set_content(R"({"recorded":true})", "application/json");
    });
    serveNewRelease(*server);
    QVERIFY(server->startAtServerBaseUrl());
    scene = std::make_unique<Scene>();
    QVERIFY(scene->temp.isValid());
}

void HealthFieldTest::cleanup()
{
    server.reset();
    scene.reset();
    qunsetenv("ORBISNAP_TEST_HOST");
}

QByteArray HealthFieldTest::answer(const char* version, bool health) const
{
    const auto list = [](const QStringList& paths) {
        QByteArray items;
        for (const QString& path : paths) {
            items += (items.isEmpty() ? "" : ",") + QByteArray(R"({"file":")") + path.toUtf8() + "\"}";
        }
        return '[' + items + ']';
    };
    return R"({"version":")" + QByteArray(version) + R"(","path":")" + server->baseUrl().toUtf8()
        + R"(/release","u":)" + list(changed) + R"(,"d":)" + list(deleted) + R"(,"n":)" + list(added)
        + (health ? R"(,"health":{"timeout":5,"starts":2})" : "") + '}';
}

void HealthFieldTest::setAnswer(const QByteArray& body)
{
    std::lock_guard lock(mutex);
    versionAnswer = body;
}

void HealthFieldTest::failReports(int count, bool noJson)
{
    std::lock_guard lock(mutex);
    failing = count;
    failWithoutJson = noJson;
}

std::vector<Report> HealthFieldTest::reports()
{
    std::lock_guard lock(mutex);
    std::vector<Report> seen;
    for (const std::string& body : reportBodies) {
        const QUrlQuery fields(QString::fromStdString(body));
        seen.push_back({ fields.queryItemValue(QStringLiteral("version")),
            fields.queryItemValue(QStringLiteral("useState")), fields.queryItemValue(QStringLiteral("returnedFrom")) });
    }
    return seen;
}

HostRun HealthFieldTest::runHost(const QStringList& arguments)
{
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), scene->tmp);
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(scene->app);
    // A file, not a pipe: an updater the host starts would inherit and hold it.
    const QString errFile = scene->temp.filePath(QStringLiteral("host.err"));
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(errFile);
    host.start(scene->app + QStringLiteral("/Host.exe"), arguments);
    HostRun run;
    if (!host.waitForFinished(30000)) {
        host.kill();
        host.waitForFinished(5000);
    } else if (host.exitStatus() == QProcess::NormalExit) {
        run.exitCode = host.exitCode();
    }
    run.err = readFile(errFile);
    return run;
}

QByteArray HealthFieldTest::install(bool health)
{
    if (!scene->reset(QStringLiteral(ORBISNAP_APP_EXE), QStringLiteral("http://127.0.0.1:9/unused"), false)) {
        return "scene not made";
    }
    const QString host = scene->app + QStringLiteral("/Host.exe");
    QFile::remove(host);
    QFile::remove(scene->work + QStringLiteral("/version_diff.txt"));
    if (!QFile::copy(QStringLiteral(HEALTH_HOST_EXE), host)
        || !QFile::setPermissions(host, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        return "host not copied";
    }
    setAnswer(answer("1.0.4", health));
    const HostRun check = runHost();
    const QByteArray diff = readFile(scene->work + QStringLiteral("/version_diff.txt"));
    if (check.exitCode != 0 || !diff.startsWith("@Orbisnap\nv1.0.3 --> v1.0.4\n")
        || diff.contains("0 [Health] : 5 2\n") != health) {
        return "the host's check wrote no file as expected: " + check.err + diff;
    }
    const Run run = runUpdater(*scene, QStringLiteral("1"), 0, 60000);
    return run.finished && run.exitCode == 0 ? run.err : "updater did not end: " + run.err;
}

void HealthFieldTest::returnReportedOnce_data()
{
    QTest::addColumn<int>("failedSends");
    QTest::addColumn<bool>("noJson");
    QTest::newRow("sent-at-once") << 0 << false;
    QTest::newRow("refused-once-sent-next") << 1 << false;
    QTest::newRow("refused-twice-sent-third") << 2 << false;
    QTest::newRow("no-json-reply-sent-next") << 1 << true;
}

// A release that fails its start check is returned from; every later check answers "nothing
// newer" while the server offers it, and the return reaches the server exactly once.
void HealthFieldTest::returnReportedOnce()
{
    QFETCH(int, failedSends);
    QFETCH(bool, noJson);
    qputenv("ORBISNAP_TEST_HOST", "exit3");
    const QByteArray installed = install(true);
    QVERIFY2(installed.contains("returned to v1.0.3\n"), installed.constData());
    QVERIFY(scene->installation() == withHost(oldRelease));
    QVERIFY(reports().empty());

    failReports(failedSends, noJson);
    const int checks = failedSends + 2;
    for (int i = 1; i <= checks; ++i) {
        const HostRun run = runHost();
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.err.count("update check: version \"v1.0.4\" was returned from; nothing newer offered"), 1);
        QCOMPARE(int(reports().size()), std::min(i, failedSends + 1));
        QCOMPARE(readFile(scene->work + QStringLiteral("/returned.version")),
            QByteArray(i > failedSends ? "v1.0.4 1\n" : "v1.0.4 0\n"));
    }
    QCOMPARE(server->countRequests("/prod/Orbisnap/getVersionDiff"), checks + 1);
    for (const Report& report : reports()) {
        QCOMPARE(report.useState, QString::number(ReturnedUseState));
        QCOMPARE(report.version, QStringLiteral("1.0.3"));
        QCOMPARE(report.returnedFrom, QStringLiteral("1.0.4"));
    }
    QVERIFY(scene->installation() == withHost(oldRelease));
    Tree work = snapshotTree(scene->work);
    QVERIFY2(work == Tree({ { "returned.version", "v1.0.4 1\n" } }), qPrintable(keys(work)));
}

void HealthFieldTest::returnedVersionNotTakenAgain_data()
{
    QTest::addColumn<QByteArray>("offered");
    QTest::addColumn<bool>("taken");
    QTest::newRow("returned-from-again") << QByteArray("1.0.4") << false;
    QTest::newRow("newer-than-returned") << QByteArray("1.0.5") << true;
    QTest::newRow("much-newer") << QByteArray("2.0") << true;
}

void HealthFieldTest::returnedVersionNotTakenAgain()
{
    QFETCH(QByteArray, offered);
    QFETCH(bool, taken);
    qputenv("ORBISNAP_TEST_HOST", "silent");
    const QByteArray installed = install(true);
    QVERIFY2(installed.contains("returned to v1.0.3\n"), installed.constData());

    setAnswer(answer(offered.constData(), true));
    const HostRun run = runHost();
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err.contains("was returned from; nothing newer offered"), !taken);
    const QByteArray diff = readFile(scene->work + QStringLiteral("/version_diff.txt"));
    if (taken) {
        QVERIFY2(diff.startsWith("@Orbisnap\nv1.0.3 --> v" + offered + '\n'), diff.constData());
    } else {
        QVERIFY2(!QFile::exists(scene->work + QStringLiteral("/version_diff.txt")), diff.constData());
    }
    QVERIFY(scene->installation() == withHost(oldRelease));
}

void HealthFieldTest::confirmationReportedOnce_data()
{
    QTest::addColumn<int>("failedSends");
    QTest::newRow("sent-at-once") << 0;
    QTest::newRow("refused-once-sent-next") << 1;
}

// A release that passes its check and confirms in its first normal start: the previous version
// goes at that start, and the next checks tell the server once, with state 5.
void HealthFieldTest::confirmationReportedOnce()
{
    QFETCH(int, failedSends);
    qputenv("ORBISNAP_TEST_HOST", "confirm");
    const QByteArray installed = install(true);
    QVERIFY2(installed.contains("start check of v1.0.4 passed"), installed.constData());
    QVERIFY(scene->installation() == withHost(newRelease));
    QVERIFY(QFile::exists(scene->work + QStringLiteral("/previous.version")));

    // The first start checks before its start-up confirms: nothing to report yet.
    const HostRun first = runHost();
    QCOMPARE(first.exitCode, 0);
    QVERIFY2(first.err.contains("version confirmed, previous version removed: \"v1.0.3\""), first.err.constData());
    QVERIFY(reports().empty());
    Tree work = snapshotTree(scene->work);
    work.remove(LockName);
    QVERIFY2(work == Tree({ { "confirmed.version", "v1.0.4 0\n" } }), qPrintable(keys(work)));

    failReports(failedSends, false);
    for (int i = 1; i <= failedSends + 2; ++i) {
        QCOMPARE(runHost().exitCode, 0);
        QCOMPARE(int(reports().size()), std::min(i, failedSends + 1));
    }
    for (const Report& report : reports()) {
        QCOMPARE(report.useState, QString::number(ConfirmedUseState));
        QCOMPARE(report.version, QStringLiteral("1.0.4"));
        QCOMPARE(report.returnedFrom, QString());
    }
    QCOMPARE(readFile(scene->work + QStringLiteral("/confirmed.version")), QByteArray("v1.0.4 1\n"));
    QVERIFY(scene->installation() == withHost(newRelease));
}

// The confirmation's record cannot be written: the version is confirmed all the same (its
// previous version goes and its starts are no longer counted, so it is never returned from);
// only the report is lost.
void HealthFieldTest::confirmationOnFullDisk()
{
    SmallDisk disk(scene->tmp, "4m");
    if (!disk.isMounted()) {
        QSKIP("cannot mount a tmpfs here (needs root)");
    }
    qputenv("ORBISNAP_TEST_HOST", "confirm");
    const QByteArray installed = install(true);
    QVERIFY2(installed.contains("start check of v1.0.4 passed"), installed.constData());
    QVERIFY(QFile::exists(scene->work + QStringLiteral("/previous.version")));
    QVERIFY(disk.fill(0));

    const HostRun confirming = runHost({});
    QCOMPARE(confirming.exitCode, 0);
    QVERIFY2(confirming.err.contains("not written: ") && confirming.err.contains("/Host/confirmed.version ("),
        confirming.err.constData());
    QVERIFY2(confirming.err.contains("version confirmed, previous version removed"), confirming.err.constData());
    for (int start = 0; start < 3; ++start) {
        QCOMPARE(runHost().exitCode, 0);
    }
    QVERIFY(reports().empty());
    Tree work = snapshotTree(scene->work);
    work.remove(LockName);
    QVERIFY2(work == Tree(), qPrintable(keys(work)));
    QVERIFY(scene->installation() == withHost(newRelease));
}

void HealthFieldTest::withoutHealthNothingChanges_data()
{
    QTest::addColumn<QByteArray>("behaviour");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("host-confirms") << QByteArray("confirm") << 0;
    QTest::newRow("host-fails") << QByteArray("exit3") << 3;
    QTest::newRow("host-never-confirms") << QByteArray("silent") << 0;
}

// An answer without "health": the release is installed as ever, whatever its host does, and
// nothing of the start check appears: no check, no previous version, no count, no report.
void HealthFieldTest::withoutHealthNothingChanges()
{
    QFETCH(QByteArray, behaviour);
    QFETCH(int, exitCode);
    qputenv("ORBISNAP_TEST_HOST", behaviour);
    const QByteArray installed = install(false);
    QVERIFY2(!installed.contains("start check"), installed.constData());
    QVERIFY(scene->installation() == withHost(newRelease));
    for (int start = 0; start < 4; ++start) {
        QCOMPARE(runHost().exitCode, exitCode);
        Tree work = snapshotTree(scene->work);
        work.remove(LockName);
        QVERIFY2(work == Tree(), qPrintable(keys(work)));
    }
    QCOMPARE(server->countRequests("/prod/Orbisnap/useReport"), 0);
    QVERIFY(scene->installation() == withHost(newRelease));
}

QTEST_GUILESS_MAIN(HealthFieldTest)
#include "tst_healthfield.moc"
