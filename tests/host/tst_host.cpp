// The sample host Host.exe as a real process, run from a temporary installation directory that
// holds version.txt and a stand-in RevisionPusher.exe (which records its arguments), with its
// own temporary directory and a loopback server at the compiled-in server address. Shows the
// update check end to end: the file written, the updater started with the host's name and
// the mode, the staged updater moved into place, and the messages when nothing is started.

#include "serverconfig.h"
#include "smalldisk.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <mutex>

namespace {

const QByteArray NewerAnswer
    = R"({"version":"1.0.4","path":"http://dl.example/1.0.4","u":[{"file":"bin/core.dll"}]})";
const QByteArray NewerFile
    = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://dl.example/1.0.4\n0 [Changed] : bin/core.dll\n";
const QByteArray SameAnswer = R"({"version":"1.0.3","path":"http://dl.example/1.0.3"})";

// A URL on the test server, which listens at the compiled-in address.
QByteArray onServer(const char* path)
{
    return QByteArray(ServerBaseUrl) + path;
}

struct HostRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;     // without the line below
    bool notVerified = false; // the check said that it takes answers unverified
};

// What a build without release keys says once per process when it takes an answer.
const QByteArray NotVerifiedLine = "update check: answers are not verified (no release key trusted) \n";

// The update check names the cause; the other calls say only that the server was not reached.
QString unreachableMessage(bool named)
{
    if (!named) {
        return QStringLiteral("Host: cannot reach the server at %1, or it gave no JSON answer\n")
            .arg(QString::fromUtf8(ServerBaseUrl));
    }
    const QUrl server(QString::fromUtf8(ServerBaseUrl));
    return QStringLiteral("Host: cannot reach the server at %1: %2:%3 refused the connection\n")
        .arg(QString::fromUtf8(ServerBaseUrl), server.host())
        .arg(server.port(80));
}

} // namespace

class HostTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void checkStartsUpdater_data();
    void checkStartsUpdater();
    void checkKeepsRunningInModeZero();
    void checkNamesChannel_data();
    void checkNamesChannel();
    void checkNothingNewer_data();
    void checkNothingNewer();
    void checkAlreadyRunning();
    void checkWithoutUpdater();
    void checkWithoutPermission();
    void checkInstallsStagedUpdater_data();
    void checkInstallsStagedUpdater();
    void checkStagedCopyFails();
    void checkRefusedAnswer();
    void serverUnreachable_data();
    void serverUnreachable();
    void info();
    void report();
    void advertisement_data();
    void advertisement();
    void wrongCommandLine_data();
    void wrongCommandLine();
    void startConfirms_data();
    void startConfirms();
    void noInstalledVersion_data();
    void noInstalledVersion();

private:
    void startServer();
    void setVersionAnswer(const QByteArray& body);
    void setAdAnswer(const QByteArray& body);
    std::vector<std::string> bodies();
    QProcess* startHost(const QStringList& arguments);
    HostRun runHost(const QStringList& arguments);
    QString app(const QString& name) const { return root->filePath(QStringLiteral("app/") + name); }
    QString work(const QString& name) const
    {
        return QDir(root->filePath(QStringLiteral("tmp"))).canonicalPath() + QStringLiteral("/Host/") + name;
    }
    QString updaterArgs() const { return app(QStringLiteral("updater-args.txt")); }

    std::unique_ptr<TestHttpServer> server;
    std::mutex answerMutex;
    std::string versionAnswer;
    std::string adAnswer;
    std::string picture;
    std::vector<std::string> postedBodies;
    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> running;
};

void HostTest::initTestCase()
{
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QVERIFY(image.save(&buffer, "PNG"));
    picture = buffer.data().toStdString();
}

void HostTest::startServer()
{
    server = std::make_unique<TestHttpServer>();
    httplib::Server& http = server->http();
    http.Get("/prod/Orbisnap/getVersionDiff", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(answerMutex);
        response.set_content(versionAnswer, "application/json");
    });
    // The server's request log is written before a body is read; the handlers keep the bodies.
    http.Post("/prod/Orbisnap/getProductInfo",
        [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(answerMutex);
            postedBodies.push_back(request.body);
            response.set_content(R"({"product":"Orbisnap demo","newest":"1.0.4"})", "application/json");
        });
    http.Post(
        "/prod/Orbisnap/useReport", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(answerMutex);
            postedBodies.push_back(request.body);
            response.set_content(R"({"recorded":true})", "application/json");
        });
    http.Post("/prod/Orbisnap/getProductAd", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(answerMutex);
        response.set_content(adAnswer, "application/json");
    });
    http.Get("/ad.png", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(picture, "image/png");
    });
    QVERIFY(server->startAtServerBaseUrl());
}

void HostTest::init()
{
    startServer();
    setVersionAnswer(NewerAnswer);
    setAdAnswer("{}");
    {
        std::lock_guard lock(answerMutex);
        postedBodies.clear();
    }
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    QVERIFY(
        QDir(root->path()).mkpath(QStringLiteral("app")) && QDir(root->path()).mkpath(QStringLiteral("tmp")));
    QVERIFY(QFile::copy(QStringLiteral(HOST_EXE), app(QStringLiteral("Host.exe"))));
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_EXE), app(QStringLiteral("RevisionPusher.exe"))));
    QVERIFY(writeFile(app(QStringLiteral("version.txt")), "1.0.3\n"));
}

void HostTest::cleanup()
{
    if (running) {
        running->kill();
        running->waitForFinished(5000);
        running.reset();
    }
    server.reset();
    root.reset();
}

void HostTest::setVersionAnswer(const QByteArray& body)
{
    std::lock_guard lock(answerMutex);
    versionAnswer = body.toStdString();
}

void HostTest::setAdAnswer(const QByteArray& body)
{
    std::lock_guard lock(answerMutex);
    adAnswer = body.toStdString();
}

std::vector<std::string> HostTest::bodies()
{
    std::lock_guard lock(answerMutex);
    return postedBodies;
}

QProcess* HostTest::startHost(const QStringList& arguments)
{
    auto* process = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), root->filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("USER"), QStringLiteral("tester"));
    process->setProcessEnvironment(environment);
    process->start(app(QStringLiteral("Host.exe")), arguments);
    return process;
}

HostRun HostTest::runHost(const QStringList& arguments)
{
    std::unique_ptr<QProcess> process(startHost(arguments));
    HostRun run;
    run.finished = process->waitForFinished(30000) && process->exitStatus() == QProcess::NormalExit;
    run.exitCode = process->exitCode();
    run.out = process->readAllStandardOutput();
    run.err = process->readAllStandardError();
    run.notVerified = run.err.startsWith(NotVerifiedLine);
    if (run.notVerified) {
        run.err.remove(0, NotVerifiedLine.size());
    }
    return run;
}

void HostTest::checkStartsUpdater_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("mode-2-interactive") << "2";
    QTest::newRow("mode-1-host-ending") << "1";
    QTest::newRow("mode-0-host-running") << "0";
}

void HostTest::checkStartsUpdater()
{
    QFETCH(QString, mode);
    const HostRun run
        = runHost({ QStringLiteral("check"), mode, QStringLiteral("--stay"), QStringLiteral("0") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QByteArray expected
        = "newer version than 1.0.3 found: " + work(QStringLiteral("version_diff.txt")).toUtf8() + "\n"
        + "updater started in mode " + mode.toUtf8() + "\n";
    if (mode == QLatin1String("0")) {
        expected += "running on for 0 s\n";
    } else if (mode == QLatin1String("1")) {
        expected += "ending in 0 s\n";
    }
    QCOMPARE(run.out, expected);
    QCOMPARE(readFile(work(QStringLiteral("version_diff.txt"))), NewerFile);
    // On Linux the host's name is its file name, ".exe" included; the updater takes both.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(updaterArgs()), 10000);
    QCOMPARE(readFile(updaterArgs()), "Host.exe\n" + mode.toUtf8() + "\n");
    QCOMPARE(server->countRequests("/prod/Orbisnap/getVersionDiff"), 1);
}

void HostTest::checkNamesChannel_data()
{
    QTest::addColumn<QStringList>("channel");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("exitCode");

    const QByteArray stable = "/prod/Orbisnap/getVersionDiff?version=1.0.3";
    QTest::newRow("none") << QStringList() << stable << 0;
    QTest::newRow("stable-as-before") << QStringList { "--channel", "stable" } << stable << 0;
    // This server's answer names no channel: an older server's, which is stable's.
    QTest::newRow("beta") << QStringList { "--channel", "beta" } << stable + "&channel=beta" << 1;
    QTest::newRow("encoded") << QStringList { "--channel", "a&b=c" } << stable + "&channel=a%26b%3Dc" << 1;
}

// The request names the channel after the version; stable's is the request as it always was.
void HostTest::checkNamesChannel()
{
    QFETCH(QStringList, channel);
    QFETCH(QByteArray, target);
    QFETCH(int, exitCode);

    const HostRun run = runHost(QStringList { "check", "0", "--stay", "0" } + channel);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    const std::vector<SeenRequest> seen = server->requests();
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(seen.front().target), target);
    if (exitCode != 0) {
        QVERIFY2(run.err.endsWith("update check refused: \"channel\" is not the channel asked about \n"
                                  "Host: the server's version answer was refused\n"),
            run.err.constData());
        QVERIFY(!QFileInfo::exists(work(QStringLiteral("version_diff.txt"))));
    }
}

void HostTest::checkKeepsRunningInModeZero()
{
    running.reset(startHost(
        { QStringLiteral("check"), QStringLiteral("0"), QStringLiteral("--stay"), QStringLiteral("30") }));
    QVERIFY(running->waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(updaterArgs()), 10000);
    QCOMPARE(readFile(updaterArgs()), QByteArray("Host.exe\n0\n"));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT(
        (out += running->readAllStandardOutput()).endsWith("running on for 30 s\n"), 10000);
    QCOMPARE(running->state(), QProcess::Running);
}

void HostTest::checkNothingNewer_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("latestMessage");
    // launchIfNewer does nothing without a newer version; launch names the reason.
    QTest::newRow("mode-2-silent") << "2" << false;
    QTest::newRow("mode-1-latest") << "1" << true;
    QTest::newRow("mode-0-latest") << "0" << true;
}

void HostTest::checkNothingNewer()
{
    QFETCH(QString, mode);
    QFETCH(bool, latestMessage);
    setVersionAnswer(SameAnswer);
    const HostRun run
        = runHost({ QStringLiteral("check"), mode, QStringLiteral("--stay"), QStringLiteral("0") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith("no newer version than 1.0.3\nupdater not started: nothing to update\n"));
    QCOMPARE(run.err, latestMessage ? QByteArray("already is the latest version ! \n") : QByteArray());
    QCOMPARE(run.notVerified, !ReleaseKeysCompiledIn);
    QVERIFY(!QFileInfo::exists(work(QStringLiteral("version_diff.txt"))));
    QVERIFY(!QFileInfo::exists(updaterArgs()));
}

void HostTest::checkAlreadyRunning()
{
    BusyExecutable updater(app(QStringLiteral("RevisionPusher.exe")), 30);
    QVERIFY(updater.started());
    const HostRun run = runHost(
        { QStringLiteral("check"), QStringLiteral("1"), QStringLiteral("--stay"), QStringLiteral("0") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray("already running ... \n"));
    QVERIFY(run.out.contains("updater not started: it is already running\n"));
    QVERIFY(!run.out.contains("updater started"));
    // The file is written all the same; the running updater or the next launch uses it.
    QCOMPARE(readFile(work(QStringLiteral("version_diff.txt"))), NewerFile);
    QVERIFY(updater.started());
}

// An installation this user may not write (here a read-only file system, which holds for root
// too): the updater is not started, with one line that says why, unlike "in use".
void HostTest::checkWithoutPermission()
{
    SmallDisk disk(root->filePath(QStringLiteral("app")), "64m");
    if (!disk.isMounted()) {
        QSKIP("cannot mount a tmpfs here (needs root)");
    }
    QVERIFY(QFile::copy(QStringLiteral(HOST_EXE), app(QStringLiteral("Host.exe"))));
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_EXE), app(QStringLiteral("RevisionPusher.exe"))));
    QVERIFY(writeFile(app(QStringLiteral("version.txt")), "1.0.3\n"));
    QVERIFY(disk.makeReadOnly());
    const HostRun run = runHost(
        { QStringLiteral("check"), QStringLiteral("1"), QStringLiteral("--stay"), QStringLiteral("0") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err,
        "no permission to write " + app(QStringLiteral("RevisionPusher.exe")).toUtf8() + ": "
            + QByteArray(std::strerror(EROFS)) + "\n");
    QVERIFY(run.out.contains("updater not started: the installation cannot be written\n"));
    QVERIFY(!run.out.contains("updater started"));
    QVERIFY(!QFile::exists(updaterArgs()));
}

void HostTest::checkWithoutUpdater()
{
    QVERIFY(QFile::remove(app(QStringLiteral("RevisionPusher.exe"))));
    const HostRun run = runHost({ QStringLiteral("check"), QStringLiteral("2") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    const QByteArray updater = app(QStringLiteral("RevisionPusher.exe")).toUtf8();
    // The in-use test reports the missing file and answers "not in use"; the start then fails.
    QCOMPARE(run.err,
        "update new version ............ \nexe file not exist: " + updater + "\nupdater not started: \""
            + updater + "\" \nHost: cannot start RevisionPusher.exe beside Host.exe\n");
    QCOMPARE(readFile(work(QStringLiteral("version_diff.txt"))), NewerFile);
}

void HostTest::checkInstallsStagedUpdater_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("launched");
    QTest::newRow("newer-version") << NewerAnswer << true << 0 << true;
    QTest::newRow("nothing-newer") << SameAnswer << true << 0 << false;
    QTest::newRow("server-down") << QByteArray() << false << 1 << false;
}

void HostTest::checkInstallsStagedUpdater()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, serverUp);
    QFETCH(int, exitCode);
    QFETCH(bool, launched);

    // The installed updater is an old one that cannot even run; the staged one, left by an
    // earlier update like any fetched file (not executable), is the stand-in.
    const QByteArray standIn = readFile(QStringLiteral(STANDIN_EXE));
    QVERIFY(!standIn.isEmpty());
    QVERIFY(QFile::remove(app(QStringLiteral("RevisionPusher.exe"))));
    QVERIFY(writeFile(app(QStringLiteral("RevisionPusher.exe")), "old updater"));
    QVERIFY(QFile::setPermissions(app(QStringLiteral("RevisionPusher.exe")),
        QFile::permissions(app(QStringLiteral("RevisionPusher.exe"))) | QFileDevice::ExeOwner));
    QVERIFY(QDir().mkpath(work(QString())));
    QVERIFY(writeFile(work(QStringLiteral("RevisionPusher.exe")), standIn));
    setVersionAnswer(answer);
    if (!serverUp) {
        server.reset();
    }

    const HostRun run = runHost({ QStringLiteral("check"), QStringLiteral("2") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(readFile(app(QStringLiteral("RevisionPusher.exe"))), standIn);
    QVERIFY(QFileInfo(app(QStringLiteral("RevisionPusher.exe"))).isExecutable());
    QVERIFY(!QFileInfo::exists(work(QStringLiteral("RevisionPusher.exe"))));
    QVERIFY(!QFileInfo::exists(app(QStringLiteral("RevisionPusher.exe.new"))));
    if (launched) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(updaterArgs()), 10000);
        QCOMPARE(readFile(updaterArgs()), QByteArray("Host.exe\n2\n"));
    } else {
        QVERIFY(!QFileInfo::exists(updaterArgs()));
    }
}

void HostTest::checkStagedCopyFails()
{
    const QByteArray standIn = readFile(app(QStringLiteral("RevisionPusher.exe")));
    QVERIFY(QDir().mkpath(work(QString())));
    QVERIFY(writeFile(work(QStringLiteral("RevisionPusher.exe")), "new updater"));
    // A directory where the copy goes makes the copy fail even for root.
    QVERIFY(QDir().mkdir(app(QStringLiteral("RevisionPusher.exe.new"))));
    QVERIFY(writeFile(app(QStringLiteral("RevisionPusher.exe.new/inside.txt")), "kept"));

    const HostRun run = runHost({ QStringLiteral("check"), QStringLiteral("2") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QByteArray message = "staged updater not installed: \""
        + work(QStringLiteral("RevisionPusher.exe")).toUtf8()
        + "\" cannot be copied beside the installed one \n";
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(readFile(app(QStringLiteral("RevisionPusher.exe"))), standIn);
    QCOMPARE(readFile(work(QStringLiteral("RevisionPusher.exe"))), QByteArray("new updater"));
    // The installed updater is still there to run.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(updaterArgs()), 10000);
    QCOMPARE(readFile(updaterArgs()), QByteArray("Host.exe\n2\n"));
}

void HostTest::checkRefusedAnswer()
{
    setVersionAnswer(R"({"version":"1.0.4","path":"http://h/p","n":[{"file":"../../evil.dll"}]})");
    const HostRun run = runHost(
        { QStringLiteral("check"), QStringLiteral("1"), QStringLiteral("--stay"), QStringLiteral("0") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err,
        QByteArray("update check refused: \"n[0].file\" path has a \"..\" component \n"
                   "Host: the server's version answer was refused\n"));
    QCOMPARE(run.out, QByteArray());
    QVERIFY(!QFileInfo::exists(work(QStringLiteral("version_diff.txt"))));
    QVERIFY(!QFileInfo::exists(updaterArgs()));
}

void HostTest::serverUnreachable_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("check-2") << QStringList { "check", "2" };
    QTest::newRow("check-1") << QStringList { "check", "1", "--stay", "0" };
    QTest::newRow("check-0") << QStringList { "check", "0", "--stay", "0" };
    QTest::newRow("info") << QStringList { "info" };
    QTest::newRow("report") << QStringList { "report", "1" };
    QTest::newRow("ad") << QStringList { "ad" };
}

void HostTest::serverUnreachable()
{
    QFETCH(QStringList, arguments);
    server.reset();
    const HostRun run = runHost(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.endsWith(unreachableMessage(arguments.first() == QLatin1String("check")).toUtf8()),
        run.err.constData());
    QCOMPARE(run.out, QByteArray());
    QVERIFY(!QFileInfo::exists(work(QStringLiteral("version_diff.txt"))));
    QVERIFY(!QFileInfo::exists(updaterArgs()));
}

void HostTest::info()
{
    const HostRun run = runHost({ QStringLiteral("info") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out,
        QByteArray("product information for 1.0.3: {\"newest\":\"1.0.4\",\"product\":\"Orbisnap demo\"}\n"));
    const std::vector<SeenRequest> seen = server->requests();
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].method, std::string("POST"));
    QCOMPARE(bodies(), std::vector<std::string> { "version=1.0.3" });
}

void HostTest::report()
{
    const HostRun run = runHost({ QStringLiteral("report"), QStringLiteral("7") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QByteArray computer = QSysInfo::machineHostName().toUtf8();
    QVERIFY2(run.out.startsWith(
                 "usage report sent: state 7, version 1.0.3, computer " + computer + ", user tester, MAC "),
        run.out.constData());
    QVERIFY(run.out.endsWith("\nserver answered: {\"recorded\":true}\n"));
    QCOMPARE(server->requests().size(), std::size_t(1));
    const std::vector<std::string> posted = bodies();
    QCOMPARE(posted.size(), std::size_t(1));
    const QByteArray body = QByteArray::fromStdString(posted[0]);
    QVERIFY2(body.startsWith("mac=") && body.contains("&version=1.0.3&computerName=")
            && body.endsWith("&userName=tester&useState=7"),
        body.constData());
}

void HostTest::advertisement_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("lastLine");
    QTest::addColumn<int>("pictureRequests");

    QTest::newRow("with-picture") << QByteArray(R"({"text":"New!","image":")" + onServer("/ad.png") + R"("})")
                                  << 0 << QByteArray("picture 4x3 from " + onServer("/ad.png") + "\n") << 1;
    QTest::newRow("without-picture") << QByteArray(R"({"text":"New!"})") << 0
                                     << QByteArray("the advertisement names no picture\n") << 0;
    QTest::newRow("not-an-object") << QByteArray("42") << 0
                                   << QByteArray("the advertisement names no picture\n") << 0;
    QTest::newRow("picture-missing") << QByteArray(R"({"image":")" + onServer("/gone.png") + R"("})") << 1
                                     << QByteArray() << 0;
}

void HostTest::advertisement()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, lastLine);
    QFETCH(int, pictureRequests);

    setAdAnswer(answer);
    const HostRun run = runHost({ QStringLiteral("ad") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(run.out.startsWith("advertisement: "));
    if (exitCode == 0) {
        QVERIFY2(run.out.endsWith(lastLine), run.out.constData());
    } else {
        QCOMPARE(run.err, "Host: cannot load the picture " + onServer("/gone.png") + "\n");
    }
    QCOMPARE(server->countRequests("/ad.png"), pictureRequests);
}

void HostTest::wrongCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown-command") << QStringList { "frob" };
    QTest::newRow("check-without-mode") << QStringList { "check" };
    QTest::newRow("check-mode-3") << QStringList { "check", "3" };
    QTest::newRow("check-mode-text") << QStringList { "check", "x" };
    QTest::newRow("check-stay-missing") << QStringList { "check", "1", "--stay" };
    QTest::newRow("check-stay-negative") << QStringList { "check", "1", "--stay", "-1" };
    QTest::newRow("stay-for-info") << QStringList { "info", "--stay", "5" };
    QTest::newRow("info-extra") << QStringList { "info", "now" };
    QTest::newRow("report-without-state") << QStringList { "report" };
    QTest::newRow("report-state-256") << QStringList { "report", "256" };
    QTest::newRow("report-state-negative") << QStringList { "report", "-1" };
    QTest::newRow("check-channel-missing") << QStringList { "check", "1", "--channel" };
    QTest::newRow("check-channel-empty") << QStringList { "check", "1", "--channel", "" };
    QTest::newRow("channel-for-report") << QStringList { "report", "3", "--channel", "beta" };
    QTest::newRow("start-extra") << QStringList { "start", "now" };
}

void HostTest::wrongCommandLine()
{
    QFETCH(QStringList, arguments);
    const HostRun run = runHost(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(
        run.err.startsWith("Host: usage: Host.exe [start] | check MODE [--stay SECONDS] [--channel NAME] | info | report STATE | ad\n"));
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(server->requests().size(), std::size_t(0));
}

// Started without a command (as the updater's start check starts it, too), the host runs its
// start-up and confirms it, asking the server nothing.
void HostTest::startConfirms_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList();
    QTest::newRow("start") << QStringList { "start" };
}

void HostTest::startConfirms()
{
    QFETCH(QStringList, arguments);
    const HostRun run = runHost(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("started: version 1.0.3\n"));
    QCOMPARE(server->requests().size(), std::size_t(0));
}

void HostTest::noInstalledVersion_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("blank-line") << QByteArray("  \n1.0.3\n");
}

void HostTest::noInstalledVersion()
{
    QFETCH(QByteArray, content);
    QVERIFY(QFile::remove(app(QStringLiteral("version.txt"))));
    if (!content.isNull()) {
        QVERIFY(writeFile(app(QStringLiteral("version.txt")), content));
    }
    const HostRun run = runHost({ QStringLiteral("check"), QStringLiteral("2") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.err,
        "Host: no installed version: " + app(QStringLiteral("version.txt")).toUtf8()
            + " is missing or empty\n");
    QCOMPARE(server->requests().size(), std::size_t(0));
}

QTEST_GUILESS_MAIN(HostTest)
#include "tst_host.moc"
