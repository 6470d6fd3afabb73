#include "filehelpers.h"
#include "smalldisk.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

Q_DECLARE_METATYPE(platform::WriteProbe)

class FileHelpersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void workDir_data();
    void workDir();
    void workDirCannotBeCreated();
    void busy();
    void missingIsFree();
    void probe_data();
    void probe();
    void exists();

private:
    QTemporaryDir tmp;
};

void FileHelpersTest::initTestCase()
{
    QVERIFY(tmp.isValid());
    // QDir::tempPath() follows TMPDIR, which keeps every directory this test makes inside tmp.
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
}

void FileHelpersTest::workDir_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<QString>("leaf");
    QTest::newRow("plain") << QStringLiteral("Host") << QStringLiteral("Host");
    QTest::newRow("exe-ending-removed") << QStringLiteral("Host.exe") << QStringLiteral("Host");
    QTest::newRow("ending-case-sensitive") << QStringLiteral("Host.EXE") << QStringLiteral("Host.EXE");
    QTest::newRow("only-last-ending") << QStringLiteral("Host.exe.exe") << QStringLiteral("Host.exe");
    QTest::newRow("utf8-name") << QStringLiteral("软件.exe") << QStringLiteral("软件");
}

void FileHelpersTest::workDir()
{
    QFETCH(QString, exeName);
    QFETCH(QString, leaf);
    const QString expected = QDir(tmp.path()).absolutePath() + QLatin1Char('/') + leaf;
    QCOMPARE(updateWorkDir(exeName), expected);
    QVERIFY(QFileInfo(expected).isDir());
    // A second call finds the directory that is there.
    QCOMPARE(updateWorkDir(exeName), expected);
}

void FileHelpersTest::workDirCannotBeCreated()
{
    // A plain file where the directory would go, and a name needing two levels.
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("Blocked")), "x"));
    QCOMPARE(updateWorkDir(QStringLiteral("Blocked.exe")), QStringLiteral("."));
    QCOMPARE(updateWorkDir(QStringLiteral("no/such/levels")), QStringLiteral("."));
}

void FileHelpersTest::busy()
{
    QVERIFY(QDir(tmp.path()).mkpath(QStringLiteral("install")));
    const QString exe = tmp.filePath(QStringLiteral("install/Host.exe"));
    {
        BusyExecutable running(exe, 30);
        QVERIFY(running.started());
        QVERIFY(isFileBusy(QFile::encodeName(exe).constData()));
    }
    // The same file once its process has ended.
    QVERIFY(!isFileBusy(QFile::encodeName(exe).constData()));
    QVERIFY(QFile::exists(exe));
}

void FileHelpersTest::missingIsFree()
{
    const QByteArray path = QFile::encodeName(tmp.filePath(QStringLiteral("absent.exe")));
    StderrCapture stderrText;
    QVERIFY(!isFileBusy(path.constData()));
    QCOMPARE(stderrText.text(), "exe file not exist: " + path + '\n');
    QVERIFY(!QFile::exists(QString::fromUtf8(path)));
}

void FileHelpersTest::probe_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<platform::WriteProbe>("expected");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QByteArray>("message"); // PATH stands for the file's path

    QTest::newRow("free") << "free" << platform::WriteProbe::Free << false << QByteArray();
    QTest::newRow("missing") << "missing" << platform::WriteProbe::Missing << false
                             << QByteArray("exe file not exist: PATH\n");
    QTest::newRow("running-executable") << "running" << platform::WriteProbe::InUse << true << QByteArray();
    // Told apart from "in use": nothing would come of waiting for it.
    QTest::newRow("no-permission") << "read-only" << platform::WriteProbe::NoPermission << false
                                   << "no permission to write PATH: " + QByteArray(std::strerror(EROFS)) + "\n";
    QTest::newRow("a-directory") << "directory" << platform::WriteProbe::Failed << true
                                 << "cannot open PATH for writing: " + QByteArray(std::strerror(EISDIR)) + "\n";
}

void FileHelpersTest::probe()
{
    QFETCH(QString, kind);
    QFETCH(platform::WriteProbe, expected);
    QFETCH(bool, busy);
    QFETCH(QByteArray, message);

    QString path = tmp.filePath(QStringLiteral("probe-%1/Host.exe").arg(kind));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    std::unique_ptr<BusyExecutable> running;
    std::unique_ptr<SmallDisk> readOnly;
    if (kind == QLatin1String("free")) {
        QVERIFY(writeFile(path, "host"));
    } else if (kind == QLatin1String("running")) {
        running = std::make_unique<BusyExecutable>(path, 30);
        QVERIFY(running->started());
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == QLatin1String("read-only")) {
        readOnly = std::make_unique<SmallDisk>(tmp.filePath(QStringLiteral("read-only")), "64k");
        if (!readOnly->isMounted()) {
            QSKIP("cannot mount a tmpfs here (needs root)");
        }
        path = readOnly->path() + QStringLiteral("/Host.exe");
        QVERIFY(writeFile(path, "host"));
        QVERIFY(readOnly->makeReadOnly());
    }
    const QByteArray utf8 = path.toUtf8();
    {
        StderrCapture stderrText;
        QCOMPARE(probeExecutable(utf8.constData()), expected);
        QCOMPARE(stderrText.text(), QByteArray(message).replace("PATH", utf8));
    }
    StderrCapture quiet;
    QCOMPARE(isFileBusy(utf8.constData()), busy);
    // The probe never creates what is missing.
    QCOMPARE(QFileInfo::exists(path), kind != QLatin1String("missing"));
}

void FileHelpersTest::exists()
{
    const QString path = tmp.filePath(QStringLiteral("present.txt"));
    QVERIFY(writeFile(path, "x"));
    QVERIFY(fileExists(QFile::encodeName(path).constData()));
    QVERIFY(!fileExists(QFile::encodeName(tmp.filePath(QStringLiteral("absent.txt"))).constData()));
}

QTEST_GUILESS_MAIN(FileHelpersTest)
#include "tst_filehelpers.moc"
