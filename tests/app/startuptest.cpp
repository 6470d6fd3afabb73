// Start-up as a real process: the usage message, the mode argument read like atoi, and the
// working directory inside the process's own TMPDIR. The executable is copied into a
// temporary installation directory, so a merge only ever touches that copy's folder.

#include "runfixture.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

struct Started
{
    QTemporaryDir temp;
    QString app; // holds the copy of RevisionPusher.exe
    QString tmp; // the process's TMPDIR
    QString current; // the process's working directory
    std::unique_ptr<QProcess> process;
    QByteArray err;

    Started()
    {
        app = temp.path() + QStringLiteral("/app");
        tmp = temp.path() + QStringLiteral("/tmp");
        current = temp.path() + QStringLiteral("/cwd");
        for (const QString& dir : { app, tmp, current, temp.path() + QStringLiteral("/runtime") }) {
            QDir().mkpath(dir);
        }
        QFile::setPermissions(temp.path() + QStringLiteral("/runtime"),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QFile::copy(QStringLiteral(ORBISNAP_APP_EXE), exe());
        QFile::setPermissions(exe(), QFile::permissions(exe()) | QFileDevice::ExeOwner);
    }

    QString exe() const { return app + QStringLiteral("/RevisionPusher.exe"); }

    void start(const QStringList& arguments)
    {
        process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), temp.path() + QStringLiteral("/runtime"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(current);
        process->start(exe(), arguments);
    }

    // Waits for the process to end by itself; false when it is still running after ms.
    bool finishes(int ms = 20000)
    {
        const bool finished = process->waitForFinished(ms);
        err += process->readAllStandardError();
        return finished;
    }

    // Reads the error output until it holds text; false after ms.
    bool printsSoon(const QByteArray& text, int ms = 20000)
    {
        QDeadlineTimer deadline(ms);
        while (!err.contains(text) && !deadline.hasExpired() && process->state() != QProcess::NotRunning) {
            process->waitForReadyRead(50);
            err += process->readAllStandardError();
        }
        err += process->readAllStandardError();
        return err.contains(text);
    }

    ~Started()
    {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
};

const QByteArray usage = "param error ! \n  ThisApp  RevisionPusher.exe  1  \n";

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void usageMessage_data();
    void usageMessage();
    void mode_data();
    void mode();
    void workingDirectory_data();
    void workingDirectory();
    void workingDirectoryCannotBeMade();
};

void StartupTest::usageMessage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("one") << QStringList({ "Host.exe" });
    QTest::newRow("three") << QStringList({ "Host.exe", "2", "more" });
}

void StartupTest::usageMessage()
{
    QFETCH(QStringList, arguments);
    Started run;
    run.start(arguments);
    QVERIFY(run.finishes());
    QCOMPARE(run.process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process->exitCode(), 0);
    QVERIFY2(run.err.contains(usage), run.err.constData());
    // No worker: nothing read, no working directory made.
    QVERIFY(!run.err.contains("upgrade:"));
    QVERIFY(QDir(run.tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void StartupTest::mode_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("window");
    QTest::addColumn<QByteArray>("mergeLine"); // empty: no merge
    const QByteArray now = "merge ok !\n";
    const QByteArray later = "exe  started,  merge  delay ...\n";
    QTest::newRow("2") << QStringLiteral("2") << true << now;
    QTest::newRow("02") << QStringLiteral("02") << true << now;
    QTest::newRow("2x") << QStringLiteral("2x") << true << now;
    QTest::newRow("blank-2") << QStringLiteral(" 2") << true << now;
    QTest::newRow("x") << QStringLiteral("x") << false << later;
    QTest::newRow("empty") << QString() << false << later;
    QTest::newRow("0") << QStringLiteral("0") << false << later;
    QTest::newRow("3") << QStringLiteral("3") << false << QByteArray();
    QTest::newRow("minus-1") << QStringLiteral("-1") << false << QByteArray();
}

void StartupTest::mode()
{
    QFETCH(QString, mode);
    QFETCH(bool, window);
    QFETCH(QByteArray, mergeLine);
    ReleaseServer server(std::map<std::string, QByteArray> { { "a.dll", "A new" } });
    QVERIFY(server.start());
    Started run;
    QVERIFY(QDir().mkpath(run.tmp + QStringLiteral("/Host")));
    const QString diff = run.tmp + QStringLiteral("/Host/version_diff.txt");
    QVERIFY(
        writeFile(diff, "@Orbisnap\nv1.0.3 --> v1.0.4\n" + server.base().toUtf8() + "\n0 [Add] : a.dll\n"));

    run.start({ QStringLiteral("Host.exe"), mode });
    const QByteArray status = "NoDo  :  \"a.dll\" ";
    if (window) {
        // The final box waits for a user who is not there; the merge line comes before it.
        QVERIFY2(run.printsSoon(mergeLine), run.err.constData());
        QVERIFY(run.process->state() != QProcess::NotRunning);
        QVERIFY(run.err.contains(status));
        QCOMPARE(readFile(run.app + QStringLiteral("/a.dll")), QByteArray("A new"));
        QVERIFY(!QFile::exists(diff));
        return;
    }
    QVERIFY(run.finishes());
    QCOMPARE(run.process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process->exitCode(), 0);
    QVERIFY2(run.err.contains("downloaded :  a.dll "), run.err.constData());
    QVERIFY(!run.err.contains(status));
    QVERIFY(!run.err.contains("merge ok !"));
    QVERIFY(!run.err.contains("exe  finished"));
    QCOMPARE(run.err.contains("exe  started,  merge  delay ..."), !mergeLine.isEmpty());
    QVERIFY(!QFile::exists(run.app + QStringLiteral("/a.dll")));
    QCOMPARE(readFile(diff).split('\n').value(3), QByteArray("2 [Add] : a.dll"));
    QCOMPARE(readFile(run.tmp + QStringLiteral("/Host/a.dll")), QByteArray("A new"));
}

void StartupTest::workingDirectory_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Host") << QStringLiteral("Host") << QStringLiteral("Host");
    QTest::newRow("Host.exe") << QStringLiteral("Host.exe") << QStringLiteral("Host");
    QTest::newRow("Host.EXE-kept") << QStringLiteral("Host.EXE") << QStringLiteral("Host.EXE");
}

void StartupTest::workingDirectory()
{
    QFETCH(QString, exeName);
    QFETCH(QString, expected);
    Started run;
    run.start({ exeName, QStringLiteral("0") });
    QVERIFY(run.finishes());
    QCOMPARE(run.process->exitCode(), 0);
    QCOMPARE(QDir(run.tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({ expected }));
    QVERIFY(QFileInfo(run.tmp + QLatin1Char('/') + expected).isDir());
    QVERIFY(run.err.contains("load file failed !\n"));
}

void StartupTest::workingDirectoryCannotBeMade()
{
    Started run;
    // A file where the directory would go: the process falls back on its current directory.
    QVERIFY(writeFile(run.tmp + QStringLiteral("/Host"), "not a directory"));
    QVERIFY(writeFile(
        run.current + QStringLiteral("/version_diff.txt"), "@Orbisnap\nv7 --> v8\nhttp://127.0.0.1:1\n"));
    run.start({ QStringLiteral("Host.exe"), QStringLiteral("0") });
    QVERIFY(run.finishes());
    QCOMPARE(run.process->exitCode(), 0);
    QVERIFY2(run.err.contains("upgrade: v7 --> v8\n"), run.err.constData());
    QCOMPARE(readFile(run.tmp + QStringLiteral("/Host")), QByteArray("not a directory"));
}

QTEST_GUILESS_MAIN(StartupTest)
#include "startuptest.moc"
