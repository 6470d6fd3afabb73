// The working directory's trust and the updater lock, on the update check's side: which
// directories pass, that a check writes nothing into one that does not and never installs a
// staged updater from it, and that a launch stays away while an updater holds the lock. The
// server is a real loopback server on the port of the compiled-in address.

#include "temporarytmpdir.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatecheck.h"
#include "workdir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <mutex>

#include <unistd.h>

namespace {

QStringList& debugMessages()
{
    static QStringList seen;
    return seen;
}

void collect(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtDebugMsg) {
        debugMessages().append(text);
    }
}

constexpr uint NobodyId = 65534;

const QFile::Permissions OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

// Makes what the row describes at path; false when the system does not allow it here.
bool makeWorkDir(const QString& kind, const QString& path, const QString& elsewhere, QString* skip)
{
    if (kind == QLatin1String("missing")) {
        return true;
    }
    if (kind == QLatin1String("plain-file")) {
        return writeFile(path, "not a folder");
    }
    if (kind == QLatin1String("symbolic-link")) {
        return QDir().mkpath(elsewhere) && QFile::setPermissions(elsewhere, OwnerOnly) && QFile::link(elsewhere, path);
    }
    if (!QDir().mkpath(path)) {
        return false;
    }
    if (kind == QLatin1String("foreign-owner")) {
        if (::geteuid() != 0) {
            *skip = QStringLiteral("giving a folder away needs root");
            return false;
        }
        return QFile::setPermissions(path, OwnerOnly) && ::chown(QFile::encodeName(path).constData(), NobodyId, NobodyId) == 0;
    }
    const QHash<QString, QFile::Permissions> modes {
        { QStringLiteral("private"), OwnerOnly },
        { QStringLiteral("readable-by-all"), OwnerOnly | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther },
        { QStringLiteral("writable-by-group"), OwnerOnly | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup },
        { QStringLiteral("writable-by-all"),
            OwnerOnly | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                | QFile::ExeOther },
    };
    return QFile::setPermissions(path, modes.value(kind, OwnerOnly));
}

} // namespace

class WorkDirTrustTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void trust_data();
    void trust();
    void checkRefusesUntrusted_data();
    void checkRefusesUntrusted();
    void launchRespectsLock();
    void staleLockTakenOver();

private:
    // <temporary directory>/<the executable's file name without ".exe">
    QString workDir() const { return temp->path() + QLatin1Char('/') + ownWorkDirName(); }

    TestHttpServer server;
    std::unique_ptr<TemporaryTmpDir> temp;
    QtMessageHandler previousHandler = nullptr;
};

void WorkDirTrustTest::initTestCase()
{
    server.http().Get("/prod/Orbisnap/getVersionDiff", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(
            R"({"version":"1.0.4","path":"http://dl.example/1.0.4","u":[{"file":"core.dll"}]})", "application/json");
    });
    QVERIFY(server.startAtServerBaseUrl());
}

void WorkDirTrustTest::init()
{
    temp = std::make_unique<TemporaryTmpDir>();
    QVERIFY(temp->isValid());
    debugMessages().clear();
    previousHandler = qInstallMessageHandler(collect);
}

void WorkDirTrustTest::cleanup()
{
    qInstallMessageHandler(previousHandler);
    temp.reset();
}

void WorkDirTrustTest::trust_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("reason");

    QTest::newRow("private") << "private" << true << QString();
    QTest::newRow("readable-by-all") << "readable-by-all" << true << QString();
    QTest::newRow("writable-by-group") << "writable-by-group" << false << "is writable by other users (mode 0770)";
    QTest::newRow("writable-by-all") << "writable-by-all" << false << "is writable by other users (mode 0777)";
    QTest::newRow("symbolic-link") << "symbolic-link" << false << "is a symbolic link";
    QTest::newRow("foreign-owner") << "foreign-owner" << false
                                   << QStringLiteral("is owned by user %1, not by user 0").arg(NobodyId);
    QTest::newRow("plain-file") << "plain-file" << false << "is not a directory";
    QTest::newRow("missing") << "missing" << false << "No such file or directory";
}

void WorkDirTrustTest::trust()
{
    QFETCH(QString, kind);
    QFETCH(bool, trusted);
    QFETCH(QString, reason);

    QString skip;
    if (!makeWorkDir(kind, workDir(), temp->path() + QStringLiteral("/elsewhere"), &skip)) {
        if (!skip.isEmpty()) {
            QSKIP(qPrintable(skip));
        }
        QFAIL("cannot make the folder");
    }
    QString why;
    QCOMPARE(isTrustedWorkDir(workDir(), &why), trusted);
    QCOMPARE(why, reason);
}

// Whatever the server answers, nothing is written into or through an untrusted working
// directory, and a staged updater planted there is not installed.
void WorkDirTrustTest::checkRefusesUntrusted_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic-link") << "symbolic-link";
    QTest::newRow("foreign-owner") << "foreign-owner";
    QTest::newRow("writable-by-all") << "writable-by-all";
}

void WorkDirTrustTest::checkRefusesUntrusted()
{
    QFETCH(QString, kind);
    const QString elsewhere = temp->path() + QStringLiteral("/elsewhere");
    QString skip;
    if (!makeWorkDir(kind, workDir(), elsewhere, &skip)) {
        if (!skip.isEmpty()) {
            QSKIP(qPrintable(skip));
        }
        QFAIL("cannot make the folder");
    }
    const QString planted = workDir() + QStringLiteral("/RevisionPusher.exe");
    QVERIFY(writeFile(planted, "planted updater"));
    const Tree before = snapshotTree(temp->path());
    const QString installed = QCoreApplication::applicationDirPath() + QStringLiteral("/RevisionPusher.exe");
    QVERIFY(!QFileInfo::exists(installed));

    UpdateCheck update;
    update.trustKeys({});
    QVERIFY(!update.prepare("1.0.3"));
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::WriteFailed);
    QCOMPARE(snapshotTree(temp->path()), before);
    QVERIFY(!QFileInfo::exists(installed));
    QString why;
    QVERIFY(!isTrustedWorkDir(workDir(), &why));
    const QString refusal = QStringLiteral("working directory refused, no file written: \"%1\" \"%2\" ")
                                .arg(QDir(QDir::tempPath()).absolutePath() + QLatin1Char('/') + ownWorkDirName(), why);
    QVERIFY2(debugMessages().contains(refusal), qPrintable(debugMessages().join(QLatin1Char('\n'))));
}

// The running updater's lock keeps a launch back even where the in-use test of its executable
// cannot see it; once the lock is free the launch goes ahead (here it then finds no updater).
void WorkDirTrustTest::launchRespectsLock()
{
    QVERIFY(makeWorkDir(QStringLiteral("private"), workDir(), QString(), nullptr));
    UpdateCheck update;
    update.trustKeys({});
    QVERIFY(update.prepare("1.0.3"));
    QVERIFY(QFileInfo::exists(workDir() + QStringLiteral("/version_diff.txt")));

    {
        QLockFile running(updaterLockPath(workDir()));
        QVERIFY(running.tryLock(0));
        QVERIFY(isUpdaterLocked(workDir()));
        debugMessages().clear();
        QCOMPARE(update.launch(1), UpdateCheck::LaunchResult::AlreadyRunning);
        QCOMPARE(update.launchWaiting(), UpdateCheck::LaunchResult::AlreadyRunning);
        QCOMPARE(debugMessages(), QStringList({ QStringLiteral("already running ... "), QStringLiteral("already running ... ") }));
    }
    QVERIFY(!isUpdaterLocked(workDir()));
    QCOMPARE(update.launch(1), UpdateCheck::LaunchResult::StartFailed);
    // Looking at the lock leaves no lock file behind.
    QVERIFY(!QFileInfo::exists(updaterLockPath(workDir())));
}

// A lock left by a process that died is no updater at work: it is taken over.
void WorkDirTrustTest::staleLockTakenOver()
{
    QVERIFY(makeWorkDir(QStringLiteral("private"), workDir(), QString(), nullptr));
    QProcess gone;
    gone.start(QStringLiteral("/bin/sleep"), { QStringLiteral("30") });
    QVERIFY(gone.waitForStarted(5000));
    const qint64 pid = gone.processId();
    gone.kill();
    QVERIFY(gone.waitForFinished(5000));
    // QLockFile's own format: pid, application name, host name.
    QVERIFY(writeFile(updaterLockPath(workDir()),
        QByteArray::number(pid) + "\nRevisionPusher.exe\n" + QSysInfo::machineHostName().toUtf8() + '\n'));
    QVERIFY(!isUpdaterLocked(workDir()));
    bool held = true;
    auto lock = takeUpdaterLock(workDir(), &held);
    QVERIFY(lock);
    QVERIFY(!held);
}

QTEST_GUILESS_MAIN(WorkDirTrustTest)
#include "tst_workdirtrust.moc"
