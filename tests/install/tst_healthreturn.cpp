// The start check after an install, black-box: a real RevisionPusher.exe installs the update of
// the install tests with a start check asked for, and starts the real host of the new version,
// which fails in each way a release fails (an exit code, a signal, a hang past the timeout, no
// confirmation) or confirms. A failure must leave the previous release byte for byte; a pass
// keeps the new release and its previous version until a normal start confirms it. The
// updater is also killed before every file-system change of the install and the return.

#include "previousversion.h"
#include "testfiles.h"
#include "updaterscene.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

namespace {

QByteArray hostBytes()
{
    return readFile(QStringLiteral(HEALTH_HOST_EXE));
}

Tree withHost(Tree tree)
{
    tree.insert(QStringLiteral("Host.exe"), hostBytes());
    return tree;
}

// The scene with the test host as Host.exe and the start check in the version-difference file.
bool prepare(Scene& scene, const QString& updater, int timeout, int starts)
{
    if (!scene.reset(updater, QStringLiteral("http://127.0.0.1:9/release"), true)) {
        return false;
    }
    const QString host = scene.app + QStringLiteral("/Host.exe");
    QFile::remove(host);
    if (!QFile::copy(QStringLiteral(HEALTH_HOST_EXE), host)
        || !QFile::setPermissions(host, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        return false;
    }
    QFile diff(scene.work + QStringLiteral("/version_diff.txt"));
    return diff.open(QIODevice::Append)
        && diff.write("0 [Health] : " + QByteArray::number(timeout) + ' ' + QByteArray::number(starts) + '\n') > 0;
}

// Runs the updater until it ends, or in mode 2 until it has said how the check ended (its final
// box then waits for a user), and kills it.
Run runUntilSettled(Scene& scene, const QString& mode, int stopBefore = 0)
{
    if (mode != QLatin1String("2") || stopBefore > 0) {
        return runUpdater(scene, mode, stopBefore, 60000);
    }
    Run run;
    auto process = scene.start(mode, 0);
    QDeadlineTimer deadline(60000);
    while (process->state() != QProcess::NotRunning && !deadline.hasExpired()
        && !run.err.contains("returned to ") && !run.err.contains(" passed\n")) {
        process->waitForReadyRead(20);
        run.err += process->readAllStandardError();
    }
    run.finished = process->state() == QProcess::NotRunning;
    process->kill();
    process->waitForFinished(5000);
    run.err += process->readAllStandardError();
    return run;
}

// Runs the installed host as a user would start it.
int startHost(Scene& scene, const QStringList& arguments = {})
{
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), scene.tmp);
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(scene.app);
    // An updater the host starts outlives it and inherits its streams: no pipe that closes.
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    host.start(scene.app + QStringLiteral("/Host.exe"), arguments);
    if (!host.waitForFinished(30000)) {
        host.kill();
        host.waitForFinished(5000);
        return -1;
    }
    return host.exitStatus() == QProcess::NormalExit ? host.exitCode() : -2;
}

QString keys(const Tree& tree)
{
    return QStringList(tree.keys()).join(QLatin1Char(' '));
}

const Tree returnedRecord { { "returned.version", "v1.0.4 0\n" } };

} // namespace

class HealthReturnTest final : public QObject
{
    Q_OBJECT

private slots:
    void checkDecides_data();
    void checkDecides();
    void killedAtEveryChange();
    void unconfirmedStartsReturn_data();
    void unconfirmedStartsReturn();
    void damagedCopyIsNotInstalled();
};

void HealthReturnTest::checkDecides_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<QByteArray>("reason");
    for (const char* const mode : { "1", "2" }) {
        const QByteArray m(mode);
        QTest::newRow("mode-" + m + "-exit-code") << QString::fromLatin1(mode) << "exit3" << false << QByteArray("exit code 3");
        QTest::newRow("mode-" + m + "-signal") << QString::fromLatin1(mode) << "crash" << false << QByteArray("crashed");
        QTest::newRow("mode-" + m + "-hang") << QString::fromLatin1(mode) << "hang" << false << QByteArray("no end within 2 s, ended");
        QTest::newRow("mode-" + m + "-no-confirmation") << QString::fromLatin1(mode) << "silent" << false << QByteArray("ended without confirming");
        QTest::newRow("mode-" + m + "-confirmed") << QString::fromLatin1(mode) << "confirm" << true << QByteArray("passed");
    }
}

void HealthReturnTest::checkDecides()
{
    QFETCH(QString, mode);
    QFETCH(QString, behaviour);
    QFETCH(bool, kept);
    QFETCH(QByteArray, reason);
    qputenv("ORBISNAP_TEST_HOST", behaviour.toUtf8());

    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(prepare(scene, QStringLiteral(ORBISNAP_APP_EXE), 2, 3));
    const Run run = runUntilSettled(scene, mode);
    QVERIFY2(run.err.contains(reason), run.err.constData());
    if (!kept) {
        QVERIFY2(run.err.contains("returned to v1.0.3\n"), run.err.constData());
        QVERIFY2(scene.installation() == withHost(oldRelease),
            qPrintable(differences(scene.installation(), withHost(oldRelease))));
        Tree work = snapshotTree(scene.work);
        work.remove(LockName); // mode 2 is killed in its final box
        QVERIFY2(work == returnedRecord, qPrintable(keys(work)));
        return;
    }
    QVERIFY2(scene.installation() == withHost(newRelease),
        qPrintable(differences(scene.installation(), withHost(newRelease))));
    // Kept until the new version confirms in a normal start: the replaced and dropped files,
    // each as it was.
    PreviousVersion previous;
    QCOMPARE(readPreviousVersion(scene.work, previous), PreviousRead::Read);
    QVERIFY(previous.checked);
    QCOMPARE(int(previous.files.size()), int(changed.size() + deleted.size()));
    for (const PreviousFile& file : previous.files) {
        const QString relative = file.target.mid(scene.app.size() + 1);
        QCOMPARE(readFile(file.copy), oldRelease.value(relative));
    }
    // The first normal start confirms: the previous version goes, the confirmation stays for
    // the next check to report.
    QCOMPARE(startHost(scene), 0);
    Tree work = snapshotTree(scene.work);
    work.remove(LockName);
    QVERIFY2(work == Tree({ { "confirmed.version", "v1.0.4 0\n" } }), qPrintable(keys(work)));
    QVERIFY(scene.installation() == withHost(newRelease));
}

// Killed before each file-system change of the install, its check and the return in turn: the
// next run ends with exactly the previous release, and the working directory holds nothing but
// the record of the version returned from.
void HealthReturnTest::killedAtEveryChange()
{
    qputenv("ORBISNAP_TEST_HOST", "exit3");
    Scene scene;
    QVERIFY(scene.temp.isValid());
    int change = 1;
    int returnChanges = 0;
    for (;; ++change) {
        QVERIFY(prepare(scene, QStringLiteral(STOPPING_UPDATER_EXE), 5, 3));
        const Run killed = runUpdater(scene, QStringLiteral("1"), change, 60000);
        QString where = QStringLiteral("killed before change %1: ").arg(change);
        if (!killed.stopped) {
            QVERIFY2(killed.finished && killed.exitCode == 0, qPrintable(where + QString::fromUtf8(killed.err)));
        } else {
            returnChanges += killed.err.contains("failed: exit code 3") ? 1 : 0;
            const Run rerun = runUpdater(scene, QStringLiteral("1"), 0, 60000);
            where += QString::fromUtf8(rerun.err.right(400)) + QLatin1Char('\n');
            QVERIFY2(rerun.finished && rerun.exitCode == 0, qPrintable(where + QString::fromUtf8(rerun.err)));
        }
        QVERIFY2(scene.installation() == withHost(oldRelease),
            qPrintable(where + differences(scene.installation(), withHost(oldRelease))));
        const Tree work = snapshotTree(scene.work);
        QVERIFY2(work == returnedRecord, qPrintable(where + keys(work)));
        if (!killed.stopped) {
            break;
        }
    }
    // The install alone makes more than forty changes; the return as many again.
    QVERIFY2(returnChanges > 20, qPrintable(QString::number(returnChanges)));
    qInfo("%d changes, each killed once, %d of them in the return", change - 1, returnChanges);
}

void HealthReturnTest::unconfirmedStartsReturn_data()
{
    QTest::addColumn<int>("starts");
    QTest::newRow("one-start") << 1;
    QTest::newRow("three-starts") << 3;
}

// A version that confirms in the check but never in normal starts: the host's own update
// check counts its starts and, after the channel's number, has the updater return.
void HealthReturnTest::unconfirmedStartsReturn()
{
    QFETCH(int, starts);
    qputenv("ORBISNAP_TEST_HOST", "checkonly");
    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(prepare(scene, QStringLiteral(ORBISNAP_APP_EXE), 5, starts));
    const Run run = runUntilSettled(scene, QStringLiteral("1"));
    QVERIFY2(run.err.contains("start check of v1.0.4 passed"), run.err.constData());
    QVERIFY(scene.installation() == withHost(newRelease));
    for (int start = 1; start <= starts; ++start) {
        QCOMPARE(startHost(scene, { QStringLiteral("check") }), 0);
        QCOMPARE(readFile(scene.work + QStringLiteral("/health.starts")).trimmed(), QByteArray::number(start));
        QVERIFY(scene.installation() == withHost(newRelease));
    }
    // The next start hands over to the updater and ends; the updater returns and starts the
    // restored host, which confirms.
    QCOMPARE(startHost(scene, { QStringLiteral("check") }), 0);
    QDeadlineTimer deadline(60000);
    while (!QFileInfo::exists(scene.work + QStringLiteral("/returned.version")) && !deadline.hasExpired()) {
        QTest::qWait(50);
    }
    while (QFileInfo::exists(scene.work + QStringLiteral("/") + LockName) && !deadline.hasExpired()) {
        QTest::qWait(50);
    }
    QVERIFY2(scene.installation() == withHost(oldRelease),
        qPrintable(differences(scene.installation(), withHost(oldRelease))));
    QCOMPARE(snapshotTree(scene.work), returnedRecord);
}

// A copy of the previous version that changed since it was set aside is never installed: the
// return is refused whole and the new release stays.
void HealthReturnTest::damagedCopyIsNotInstalled()
{
    qputenv("ORBISNAP_TEST_HOST", "checkonly");
    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(prepare(scene, QStringLiteral(ORBISNAP_APP_EXE), 5, 1));
    QVERIFY(runUntilSettled(scene, QStringLiteral("1")).err.contains("passed"));
    PreviousVersion previous;
    QCOMPARE(readPreviousVersion(scene.work, previous), PreviousRead::Read);
    QVERIFY(QFile::remove(previous.files.back().copy));
    QVERIFY(writeFile(previous.files.back().copy, "planted"));
    QVERIFY(writeFile(scene.work + QStringLiteral("/health.starts"), "1\n"));
    const Run run = runUpdater(scene, QStringLiteral("1"), 0, 60000);
    QVERIFY2(run.err.contains("previous version damaged, not returned: " + previous.files.back().copy.toUtf8()),
        run.err.constData());
    QVERIFY(scene.installation() == withHost(newRelease));
}

QTEST_GUILESS_MAIN(HealthReturnTest)
#include "tst_healthreturn.moc"
