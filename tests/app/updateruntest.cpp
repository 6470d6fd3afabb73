// The whole update run in-process: the real window offscreen, the real worker thread, a
// loopback server with the release and real files. Boxes are answered by ModalBoxCloser.

#include "updaterun.h"
#include "modalboxcloser.h"
#include "runfixture.h"
#include "testfiles.h"
#include "widget.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

Q_DECLARE_METATYPE(Tree)

namespace {

const QString nothingText = QStringLiteral("当前没有内容需要更新");

QString succeeded(const QString& exeName)
{
    return QStringLiteral("升级成功，请重启软件：") + exeName;
}

QString notCompleted(const QString& exeName)
{
    return QStringLiteral("升级未完成，下次启动时将重试：") + exeName;
}

const std::map<std::string, QByteArray> release { { "a.dll", "A new" }, { "bin/core.dll", "core new" },
    { "c.dll", "C new" } };
const QByteArrayList threeEntries { "0 [Add] : a.dll", "0 [Changed] : bin/core.dll", "0 [Delete] : old.dll" };
const Tree installed { { "bin/", "" }, { "bin/core.dll", "core old" }, { "old.dll", "dropped" },
    { "keep.txt", "untouched" } };
const Tree merged { { "a.dll", "A new" }, { "bin/", "" }, { "bin/core.dll", "core new" },
    { "keep.txt", "untouched" } };

QStringList downloadedLines(const QStringList& files)
{
    QStringList lines;
    for (const QString& file : files) {
        lines << QStringLiteral("downloaded :  %1 ").arg(file);
    }
    return lines;
}

} // namespace

class UpdateRunTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fullRunWithWindow_data();
    void fullRunWithWindow();
    void mergeNotCompleted_data();
    void mergeNotCompleted();
    void withoutWindow_data();
    void withoutWindow();
    void nothingToUpdate_data();
    void nothingToUpdate();
    void windowClosedDuringDownload_data();
    void windowClosedDuringDownload();
    void threadNotCreated_data();
    void threadNotCreated();
};

void UpdateRunTest::initTestCase()
{
    // The merge leaves the running program's own file alone whatever the application calls
    // itself: the release's files are installed even under a name like theirs.
    QCoreApplication::setApplicationName(QStringLiteral("Host.exe"));
}

void UpdateRunTest::fullRunWithWindow_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QString>("runningFile");
    QTest::newRow("name-without-exe") << QStringLiteral("Host") << QString();
    QTest::newRow("name-with-exe") << QStringLiteral("Host.exe") << QString();
    // Host.EXE names Host.EXE.exe: a running Host.EXE is not the executable tested.
    QTest::newRow("upper-case-ending-is-not-exe") << QStringLiteral("Host.EXE") << QStringLiteral("Host.EXE");
}

void UpdateRunTest::fullRunWithWindow()
{
    QFETCH(QString, exeName);
    QFETCH(QString, runningFile);
    ReleaseServer server(release);
    QVERIFY(server.start());
    RunFolders run;
    QVERIFY(writeTree(run.app, installed));
    QVERIFY(run.writeDiff(server.base(), threeEntries));
    std::unique_ptr<BusyExecutable> running;
    if (!runningFile.isEmpty()) {
        running = std::make_unique<BusyExecutable>(run.app + QLatin1Char('/') + runningFile, 60);
        QVERIFY(running->started());
    }
    const Tree before = snapshotTree(run.app);

    WindowWatch watch;
    ModalBoxCloser closer;
    QString barAtBox;
    QString labelAtBox;
    closer.onBox([&](const SeenBox&) {
        barAtBox = watch.barNow();
        labelAtBox = watch.labelNow();
    });
    DebugLog log;
    StderrCapture err;
    LoopWatchdog watchdog;

    QCOMPARE(runUpdate(exeName, 2, run.app, run.work, run.diff), 0);

    QVERIFY(watch.shown());
    QCOMPARE(watch.progress(), QStringList({ "0/3", "1/3", "2/3", "3/3" }));
    QCOMPARE(closer.texts(), QStringList({ succeeded(exeName) }));
    QCOMPARE(barAtBox, QStringLiteral("3/3"));
    QCOMPARE(labelAtBox, QStringLiteral("更新文件名: old.dll \n更新状态: 正下载 ... \n"));
    QCOMPARE(log.startingWith("downloaded"), downloadedLines({ "a.dll", "bin/core.dll", "old.dll" }));
    QCOMPARE(log.startingWith("NoDo"),
        QStringList({ "NoDo  :  \"a.dll\" ", "NoDo  :  \"bin/core.dll\" ", "NoDo  :  \"old.dll\" " }));
    QVERIFY(err.text().contains("merge ok !\n"));

    Tree expected = merged;
    if (!runningFile.isEmpty()) {
        expected.insert(runningFile, before.value(runningFile));
    }
    QCOMPARE(snapshotTree(run.app), expected);
    QVERIFY(!QFile::exists(run.diff));
    QStringList asked = server.requested();
    asked.sort();
    QCOMPARE(asked, QStringList({ "a.dll", "bin/core.dll" }));
}

void UpdateRunTest::mergeNotCompleted_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QString>("runningFile");
    QTest::addColumn<QByteArrayList>("entries");
    QTest::addColumn<QByteArrayList>("entriesAfter");
    const QByteArrayList allFetched { "2 [Add] : a.dll", "2 [Changed] : bin/core.dll",
        "0 [Delete] : old.dll" };
    QTest::newRow("host-running") << QStringLiteral("Host") << QStringLiteral("Host.exe") << threeEntries
                                  << allFetched;
    QTest::newRow("host-exe-running")
        << QStringLiteral("Host.exe") << QStringLiteral("Host.exe") << threeEntries << allFetched;
    QTest::newRow("upper-case-name-tests-exe-appended")
        << QStringLiteral("Host.EXE") << QStringLiteral("Host.EXE.exe") << threeEntries << allFetched;
    // missing.dll is not on the server: the update is incomplete and nothing is installed.
    QTest::newRow("file-not-fetched")
        << QStringLiteral("Host.exe") << QString()
        << QByteArrayList({ "0 [Add] : a.dll", "0 [Add] : missing.dll", "0 [Delete] : old.dll" })
        << QByteArrayList({ "2 [Add] : a.dll", "0 [Add] : missing.dll", "0 [Delete] : old.dll" });
}

void UpdateRunTest::mergeNotCompleted()
{
    QFETCH(QString, exeName);
    QFETCH(QString, runningFile);
    QFETCH(QByteArrayList, entries);
    QFETCH(QByteArrayList, entriesAfter);
    ReleaseServer server(release);
    QVERIFY(server.start());
    RunFolders run;
    QVERIFY(writeTree(run.app, installed));
    QVERIFY(run.writeDiff(server.base(), entries));
    std::unique_ptr<BusyExecutable> running;
    if (!runningFile.isEmpty()) {
        running = std::make_unique<BusyExecutable>(run.app + QLatin1Char('/') + runningFile, 60);
        QVERIFY(running->started());
    }
    const Tree before = snapshotTree(run.app);

    WindowWatch watch;
    ModalBoxCloser closer;
    DebugLog log;
    StderrCapture err;
    LoopWatchdog watchdog;

    QCOMPARE(runUpdate(exeName, 2, run.app, run.work, run.diff), 0);

    QCOMPARE(closer.texts(), QStringList({ notCompleted(exeName) }));
    QCOMPARE(watch.progress(), QStringList({ "0/3", "1/3", "2/3", "3/3" }));
    QCOMPARE(snapshotTree(run.app), before);
    QCOMPARE(run.diffEntries(), entriesAfter);
    QVERIFY(err.text().contains("merge ok !\n"));
}

void UpdateRunTest::withoutWindow_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("installs");
    QTest::addColumn<QByteArray>("mergeLine");
    QTest::newRow("mode-0-postpones") << 0 << false << QByteArray("exe  started,  merge  delay ...\n");
    QTest::newRow("mode-1-host-gone") << 1 << true << QByteArray("exe  finished,  merge  right now !\n");
    QTest::newRow("mode-3-does-nothing") << 3 << false << QByteArray();
    QTest::newRow("mode-minus-1-does-nothing") << -1 << false << QByteArray();
}

void UpdateRunTest::withoutWindow()
{
    QFETCH(int, mode);
    QFETCH(bool, installs);
    QFETCH(QByteArray, mergeLine);
    ReleaseServer server(release);
    QVERIFY(server.start());
    RunFolders run;
    QVERIFY(writeTree(run.app, installed));
    QVERIFY(run.writeDiff(server.base(), threeEntries));
    const Tree before = snapshotTree(run.app);

    WindowWatch watch;
    ModalBoxCloser closer;
    DebugLog log;
    StderrCapture err;
    LoopWatchdog watchdog;

    // Ends by itself: nothing but the worker's last event ends the loop here.
    QCOMPARE(runUpdate(QStringLiteral("Host.exe"), mode, run.app, run.work, run.diff), 0);

    QVERIFY(!watch.shown());
    QVERIFY(closer.boxes().isEmpty());
    QCOMPARE(log.startingWith("downloaded"), downloadedLines({ "a.dll", "bin/core.dll", "old.dll" }));
    QVERIFY(log.startingWith("NoDo").isEmpty());
    const QByteArray printed = err.text();
    QVERIFY(printed.contains("downloading  ...  a.dll\n"));
    if (!mergeLine.isEmpty()) {
        QVERIFY2(printed.contains(mergeLine), printed.constData());
    }
    QVERIFY(!printed.contains("merge ok !"));
    if (installs) {
        QCOMPARE(snapshotTree(run.app), merged);
        QVERIFY(!QFile::exists(run.diff));
    } else {
        QCOMPARE(snapshotTree(run.app), before);
        QCOMPARE(run.diffEntries(),
            QByteArrayList({ "2 [Add] : a.dll", "2 [Changed] : bin/core.dll", "0 [Delete] : old.dll" }));
        QCOMPARE(readFile(run.work + QStringLiteral("/a.dll")), QByteArray("A new"));
    }
}

void UpdateRunTest::nothingToUpdate_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("diff"); // empty: no file
    QTest::addColumn<QStringList>("boxes");
    const QByteArray noEntries = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://127.0.0.1:1/release\n";
    const QByteArray sameVersion = "@Orbisnap\nv1.0 --> v1.0\nhttp://127.0.0.1:1/release\n0 [Add] : a.dll\n";
    QTest::newRow("mode-2-no-file") << 2 << QByteArray() << QStringList({ nothingText });
    QTest::newRow("mode-2-no-entries") << 2 << noEntries << QStringList({ nothingText });
    QTest::newRow("mode-2-nothing-newer") << 2 << sameVersion << QStringList({ nothingText });
    QTest::newRow("mode-0-no-file") << 0 << QByteArray() << QStringList();
    QTest::newRow("mode-1-no-entries") << 1 << noEntries << QStringList();
}

void UpdateRunTest::nothingToUpdate()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, diff);
    QFETCH(QStringList, boxes);
    RunFolders run;
    QVERIFY(writeTree(run.app, installed));
    if (!diff.isEmpty()) {
        QVERIFY(writeFile(run.diff, diff));
    }
    const Tree before = snapshotTree(run.app);

    WindowWatch watch;
    ModalBoxCloser closer;
    DebugLog log;
    StderrCapture err;
    LoopWatchdog watchdog;

    QCOMPARE(runUpdate(QStringLiteral("Host.exe"), mode, run.app, run.work, run.diff), 0);

    QCOMPARE(watch.shown(), mode == 2);
    QCOMPARE(closer.texts(), boxes);
    QVERIFY(watch.progress().isEmpty());
    QVERIFY(log.startingWith("downloaded").isEmpty());
    QCOMPARE(snapshotTree(run.app), before);
    QCOMPARE(readFile(run.diff), diff);
    QCOMPARE(err.text().contains("load file failed !\n"), diff.isEmpty());
}

void UpdateRunTest::windowClosedDuringDownload_data()
{
    QTest::addColumn<QString>("closeAt");
    QTest::addColumn<QString>("heldFile");
    QTest::addColumn<QByteArrayList>("entriesAfter");
    QTest::addColumn<QStringList>("requested");
    // Closed once all three files are under way side by side, the first still on its way:
    // transfers under way finish and are recorded, and nothing is installed.
    QTest::newRow("first-file") << QStringLiteral("2/3") << QStringLiteral("a.dll")
                                << QByteArrayList(
                                       { "2 [Add] : a.dll", "2 [Changed] : bin/core.dll", "2 [Add] : c.dll" })
                                << QStringList({ "a.dll", "bin/core.dll", "c.dll" });
    // The pass completes, but a run the user closed merges nothing.
    QTest::newRow("last-file") << QStringLiteral("2/3") << QStringLiteral("c.dll")
                               << QByteArrayList(
                                      { "2 [Add] : a.dll", "2 [Changed] : bin/core.dll", "2 [Add] : c.dll" })
                               << QStringList({ "a.dll", "bin/core.dll", "c.dll" });
}

void UpdateRunTest::windowClosedDuringDownload()
{
    QFETCH(QString, closeAt);
    QFETCH(QString, heldFile);
    QFETCH(QByteArrayList, entriesAfter);
    QFETCH(QStringList, requested);
    // The file on its way when the window closes is held until a while after the close, so the
    // stop request is in place before its download ends.
    std::atomic<bool> closed { false };
    const std::string held = heldFile.toStdString();
    ReleaseServer server(release, [&](const std::string& relative) {
        if (relative != held) {
            return;
        }
        QDeadlineTimer deadline(5000);
        while (!closed.load() && !deadline.hasExpired()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    QVERIFY(server.start());
    RunFolders run;
    QVERIFY(writeTree(run.app, installed));
    QVERIFY(
        run.writeDiff(server.base(), { "0 [Add] : a.dll", "0 [Changed] : bin/core.dll", "0 [Add] : c.dll" }));
    const Tree before = snapshotTree(run.app);

    WindowWatch watch;
    watch.onProgress = [&](const QString& value) {
        if (value == closeAt) {
            QTimer::singleShot(0, watch.shownWindow(), [&] {
                watch.shownWindow()->close();
                closed = true;
            });
        }
    };
    ModalBoxCloser closer;
    DebugLog log;
    StderrCapture err;
    LoopWatchdog watchdog;

    QCOMPARE(runUpdate(QStringLiteral("Host.exe"), 2, run.app, run.work, run.diff), 0);

    QVERIFY(closed.load());
    QVERIFY(closer.boxes().isEmpty());
    QVERIFY(watch.progress().contains(closeAt));
    QCOMPARE(watch.progress().last(), QStringLiteral("2/3"));
    QStringList asked = server.requested();
    asked.sort();
    QCOMPARE(asked, requested);
    QCOMPARE(snapshotTree(run.app), before);
    QCOMPARE(run.diffEntries(), entriesAfter);
    QCOMPARE(readFile(run.work + QStringLiteral("/a.dll")), QByteArray("A new"));
    QVERIFY(!err.text().contains("merge ok !"));
}

void UpdateRunTest::threadNotCreated_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("mode-2-failure-message") << 2 << QStringList({ notCompleted("Host") });
    QTest::newRow("mode-0-silent") << 0 << QStringList();
}

namespace {

pthread_attr_t savedThreadDefaults;
std::atomic<bool> threadDefaultsRestored { true };
QtMessageHandler previousHandler = nullptr;

void restoreThreadDefaults()
{
    if (!threadDefaultsRestored.exchange(true)) {
        pthread_setattr_default_np(&savedThreadDefaults);
    }
}

void restoreThreadDefaultsOnFailure(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.startsWith(QLatin1String("download thread not started"))) {
        restoreThreadDefaults();
    }
    previousHandler(type, context, text);
}

} // namespace

void UpdateRunTest::threadNotCreated()
{
    QFETCH(int, mode);
    QFETCH(QStringList, boxes);
    ReleaseServer server(release);
    QVERIFY(server.start());
    RunFolders run;
    QVERIFY(writeTree(run.app, installed));
    QVERIFY(run.writeDiff(server.base(), threeEntries));
    const Tree before = snapshotTree(run.app);
    const QByteArray diffBefore = readFile(run.diff);

    WindowWatch watch;
    ModalBoxCloser closer;
    DebugLog log;
    StderrCapture err;

    // A default stack larger than any address space makes every new thread fail for real. It
    // must fail only the worker's: Qt starts threads of its own for the failure box, so the
    // default goes back the moment the run reports the failure.
    QCOMPARE(pthread_getattr_default_np(&savedThreadDefaults), 0);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    QCOMPARE(pthread_attr_setstacksize(&huge, std::size_t(1) << 50), 0);
    QCOMPARE(pthread_setattr_default_np(&huge), 0);
    threadDefaultsRestored = false;
    previousHandler = qInstallMessageHandler(restoreThreadDefaultsOnFailure);
    const int result = runUpdate(QStringLiteral("Host"), mode, run.app, run.work, run.diff);
    qInstallMessageHandler(previousHandler);
    restoreThreadDefaults();
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&savedThreadDefaults);

    QCOMPARE(result, 0);
    QCOMPARE(closer.texts(), boxes);
    const QStringList diagnostic = log.startingWith("download thread not started, error ");
    QCOMPARE(diagnostic.size(), 1);
    QVERIFY(log.startingWith("downloaded").isEmpty());
    QVERIFY(server.requested().isEmpty());
    QCOMPARE(snapshotTree(run.app), before);
    QCOMPARE(readFile(run.diff), diffBefore);
}

QTEST_MAIN(UpdateRunTest)
#include "updateruntest.moc"
