#include "filehelpers.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

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

void FileHelpersTest::exists()
{
    const QString path = tmp.filePath(QStringLiteral("present.txt"));
    QVERIFY(writeFile(path, "x"));
    QVERIFY(fileExists(QFile::encodeName(path).constData()));
    QVERIFY(!fileExists(QFile::encodeName(tmp.filePath(QStringLiteral("absent.txt"))).constData()));
}

QTEST_GUILESS_MAIN(FileHelpersTest)
#include "tst_filehelpers.moc"
