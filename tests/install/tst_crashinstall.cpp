// The install survives the updater's death at any moment. A real RevisionPusher.exe process
// (the tests' build, which can stop itself before a chosen file-system change of its merge)
// installs a realistic update: changed, deleted and added files, in new and existing
// sub-folders. It is killed (SIGKILL) before each of its changes in turn; the next run, with
// the host not running, must leave exactly the new release and not one file besides, in the
// installation and in the working directory. Also: what the next run does while it may not
// install, and two updaters started together for one host.

#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterscene.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>


class CrashInstallTest final : public QObject
{
    Q_OBJECT

private slots:
    void killedAtEveryChange();
    void killedAgainWhileRecovering_data();
    void killedAgainWhileRecovering();
    void recoveryWaits_data();
    void recoveryWaits();
    void twoUpdatersTogether();
};

void CrashInstallTest::killedAtEveryChange()
{
    Scene scene;
    QVERIFY(scene.temp.isValid());
    int oldAfterKill = 0;
    int newAfterKill = 0;
    int otherAfterKill = 0;
    int change = 1;
    for (;; ++change) {
        QVERIFY(scene.reset(QStringLiteral(STOPPING_UPDATER_EXE), QStringLiteral("http://127.0.0.1:9/release"), true));
        const Run killed = runUpdater(scene, QStringLiteral("1"), change);
        if (!killed.stopped) {
            // The merge has fewer changes than this: the run went through untouched.
            QVERIFY2(killed.finished && killed.exitCode == 0, killed.err.constData());
            QVERIFY2(scene.installation() == newRelease, qPrintable(differences(scene.installation(), newRelease)));
            QCOMPARE(snapshotTree(scene.work), Tree());
            break;
        }
        const Tree afterKill = scene.installation();
        if (afterKill == oldRelease) {
            ++oldAfterKill;
        } else if (afterKill == newRelease) {
            ++newAfterKill;
        } else {
            ++otherAfterKill;
        }

        const Run rerun = runUpdater(scene, QStringLiteral("1"), 0);
        const QString where = QStringLiteral("killed before change %1: ").arg(change);
        QVERIFY2(rerun.finished && rerun.exitCode == 0, qPrintable(where + QString::fromUtf8(rerun.err)));
        QVERIFY2(scene.installation() == newRelease,
            qPrintable(where + differences(scene.installation(), newRelease) + QLatin1Char('\n')
                + QString::fromUtf8(rerun.err)));
        QVERIFY2(snapshotTree(scene.work) == Tree(),
            qPrintable(where + QStringList(snapshotTree(scene.work).keys()).join(QLatin1Char(' '))));
    }
    // Every file of the update passes through several changes; far fewer would mean the hook
    // is not on the merge's way.
    QVERIFY2(change > 40, qPrintable(QString::number(change)));
    qInfo("%d changes, each killed once; right after the kill the installation was old %d, new %d, "
          "another state (a mix, or hidden files) %d times",
        change - 1, oldAfterKill, newAfterKill, otherAfterKill);
}

// The run that recovers is killed too, before each change of its recovery in turn: a third
// run still ends at exactly the new release. One row recovers forward (the first run was killed
// while committing), one backward and then merges afresh (killed while staging).
void CrashInstallTest::killedAgainWhileRecovering_data()
{
    QTest::addColumn<int>("firstKill");
    QTest::addColumn<QByteArray>("journalState");
    QTest::newRow("finishing-forward") << 30 << QByteArray("state committing");
    QTest::newRow("taking-back") << 8 << QByteArray("state staging");
}

void CrashInstallTest::killedAgainWhileRecovering()
{
    QFETCH(int, firstKill);
    QFETCH(QByteArray, journalState);

    Scene scene;
    QVERIFY(scene.temp.isValid());
    int change = 1;
    for (;; ++change) {
        QVERIFY(scene.reset(QStringLiteral(STOPPING_UPDATER_EXE), QStringLiteral("http://127.0.0.1:9/release"), true));
        QVERIFY(runUpdater(scene, QStringLiteral("1"), firstKill).stopped);
        QVERIFY(readFile(scene.work + QStringLiteral("/merge.journal")).contains(journalState));
        const Run second = runUpdater(scene, QStringLiteral("1"), change);
        const QString where = QStringLiteral("killed again before change %1: ").arg(change);
        if (!second.stopped) {
            QVERIFY2(second.finished && second.exitCode == 0, qPrintable(where + QString::fromUtf8(second.err)));
        } else {
            const Run third = runUpdater(scene, QStringLiteral("1"), 0);
            QVERIFY2(third.finished && third.exitCode == 0, qPrintable(where + QString::fromUtf8(third.err)));
        }
        QVERIFY2(scene.installation() == newRelease,
            qPrintable(where + differences(scene.installation(), newRelease)));
        QVERIFY2(snapshotTree(scene.work) == Tree(),
            qPrintable(where + QStringList(snapshotTree(scene.work).keys()).join(QLatin1Char(' '))));
        // Once the recovery has said how it ended, what follows is a fresh merge, which the
        // test above kills at every change already.
        if (!second.stopped || second.err.contains("interrupted install")) {
            break;
        }
    }
    QVERIFY2(change > 5, qPrintable(QString::number(change)));
    qInfo("the recovering run was killed at %d points", change);
}

// A run after a kill that may not install leaves everything as it is and says so in one line;
// the next run that may install finishes the job.
void CrashInstallTest::recoveryWaits_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("hostRunning");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("mode-0") << "0" << false
                            << QByteArray("interrupted install left as it is: mode 0 installs nothing\n");
    QTest::newRow("mode-3") << "3" << false
                            << QByteArray("interrupted install left as it is: mode 3 installs nothing\n");
    QTest::newRow("mode-2-host-running")
        << "2" << true << QByteArray("interrupted install left as it is: the host is in use\n");
}

void CrashInstallTest::recoveryWaits()
{
    QFETCH(QString, mode);
    QFETCH(bool, hostRunning);
    QFETCH(QByteArray, message);

    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(scene.reset(QStringLiteral(STOPPING_UPDATER_EXE), QStringLiteral("http://127.0.0.1:9/release"), true));
    // Half-way through: the journal says committing and some files are in place.
    const Run killed = runUpdater(scene, QStringLiteral("1"), 30);
    QVERIFY(killed.stopped);
    QVERIFY(QFileInfo::exists(scene.work + QStringLiteral("/merge.journal")));
    std::unique_ptr<BusyExecutable> host;
    if (hostRunning) {
        host = std::make_unique<BusyExecutable>(scene.app + QStringLiteral("/Host.exe"), 60);
        QVERIFY(host->started());
    }
    const Tree app = snapshotTree(scene.app);
    Tree work = snapshotTree(scene.work);
    work.remove(LockName); // the killed run's, taken over and dropped by the next

    const Run waiting = runUpdater(scene, mode, 0);
    QVERIFY(waiting.finished);
    QCOMPARE(waiting.exitCode, 0);
    QVERIFY2(waiting.err.contains(message), waiting.err.constData());
    QCOMPARE(waiting.err.count("interrupted install"), 1);
    QVERIFY(!waiting.err.contains("downloading"));
    QCOMPARE(snapshotTree(scene.app), app);
    QCOMPARE(snapshotTree(scene.work), work);

    if (host) {
        host->stop();
        QVERIFY(QFile::remove(scene.app + QStringLiteral("/Host.exe")));
        QVERIFY(writeFile(scene.app + QStringLiteral("/Host.exe"), "host executable"));
    }
    const Run done = runUpdater(scene, QStringLiteral("1"), 0);
    QVERIFY(done.finished);
    QVERIFY2(done.err.contains("interrupted install completed\n"), done.err.constData());
    QVERIFY2(scene.installation() == newRelease, qPrintable(differences(scene.installation(), newRelease)));
    QCOMPARE(snapshotTree(scene.work), Tree());
}

// Two updaters for one host started at the same moment: one fetches and installs, the other
// says "already running ..." and ends with 0 at once, fetching nothing.
void CrashInstallTest::twoUpdatersTogether()
{
    TestHttpServer server;
    // Slow enough that the first updater is still at work when the second starts.
    serveNewRelease(server, 150);
    QVERIFY(server.start());

    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(scene.reset(QStringLiteral(ORBISNAP_APP_EXE), server.baseUrl() + QStringLiteral("/release"), false));
    auto first = scene.start(QStringLiteral("1"), 0);
    auto second = scene.start(QStringLiteral("1"), 0);
    QVERIFY(first->waitForFinished(30000));
    QVERIFY(second->waitForFinished(30000));
    const QByteArray errors[] = { first->readAllStandardError(), second->readAllStandardError() };
    const int waved = int(errors[0].contains("already running ... \n")) + int(errors[1].contains("already running ... \n"));
    QVERIFY2(waved == 1, (errors[0] + "\n----\n" + errors[1]).constData());
    for (const auto* process : { first.get(), second.get() }) {
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
    }
    const QByteArray& idle = errors[0].contains("already running") ? errors[0] : errors[1];
    QVERIFY2(!idle.contains("downloading"), idle.constData());

    int fetched = 0;
    for (const SeenRequest& request : server.requests()) {
        fetched += request.path.rfind("/release/", 0) == 0 ? 1 : 0;
    }
    QCOMPARE(fetched, int(changed.size() + added.size()));
    QVERIFY2(scene.installation() == newRelease, qPrintable(differences(scene.installation(), newRelease)));
    QCOMPARE(snapshotTree(scene.work), Tree());
}

QTEST_GUILESS_MAIN(CrashInstallTest)
#include "tst_crashinstall.moc"
