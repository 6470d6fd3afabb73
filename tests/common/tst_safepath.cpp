// The one path check: what the server, the update check and the reader accept as a relative
// path of a release, and why they refuse the rest.

#include "safepath.h"

#include <QTest>

class SafePathTest : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
};

void SafePathTest::paths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("reason"); // empty: accepted

    QTest::newRow("plain") << QByteArray("bin/core.dll") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("backslash-separator") << QByteArray("bin\\core.dll") << QByteArray();
    QTest::newRow("dot-component") << QByteArray("./bin/./a.dll") << QByteArray();
    QTest::newRow("hidden-file") << QByteArray(".config/a.ini") << QByteArray();
    QTest::newRow("dots-inside-a-name") << QByteArray("a..b/c.d.e") << QByteArray();
    QTest::newRow("utf8-name") << QByteArray("données/张三.txt") << QByteArray();
    QTest::newRow("tilde-without-digit") << QByteArray("~backup/notes~.txt") << QByteArray();
    QTest::newRow("device-like-but-longer") << QByteArray("console.dll") << QByteArray();
    QTest::newRow("com-without-digit") << QByteArray("COM.dll") << QByteArray();
    QTest::newRow("com-zero-is-no-device") << QByteArray("com0.dll") << QByteArray();
    QTest::newRow("nul-inside-a-name") << QByteArray("null.txt") << QByteArray();

    QTest::newRow("absolute") << QByteArray("/etc/passwd") << QByteArray("absolute path");
    QTest::newRow("absolute-backslash") << QByteArray("\\\\server\\x") << QByteArray("absolute path");
    QTest::newRow("drive-letter") << QByteArray("C:/x.dll") << QByteArray("path holds a colon");
    QTest::newRow("stream") << QByteArray("a.dll:evil") << QByteArray("path holds a colon");
    QTest::newRow("blank") << QByteArray("a b.dll") << QByteArray("path holds white space");
    QTest::newRow("trailing-blank") << QByteArray("a.dll ") << QByteArray("path holds white space");
    QTest::newRow("dotdot") << QByteArray("bin/../../x") << QByteArray("path has a \"..\" component");
    QTest::newRow("dotdot-backslash") << QByteArray("bin\\..\\x") << QByteArray("path has a \"..\" component");

    const QByteArray trailingDot("path has a component ending in \".\"");
    QTest::newRow("trailing-dot-names-the-updater") << QByteArray("RevisionPusher.exe.") << trailingDot;
    QTest::newRow("trailing-dots-on-a-folder") << QByteArray("bin../a.dll") << trailingDot;
    QTest::newRow("three-dots") << QByteArray("a/...") << trailingDot;

    const QByteArray device("path names a Windows device");
    QTest::newRow("nul") << QByteArray("NUL") << device;
    QTest::newRow("nul-with-extension") << QByteArray("nul.dll") << device;
    QTest::newRow("con-lower-case-in-folder") << QByteArray("bin/con") << device;
    QTest::newRow("device-as-folder") << QByteArray("aux/readme.txt") << device;
    QTest::newRow("prn-two-extensions") << QByteArray("Prn.txt.bak") << device;
    QTest::newRow("com1") << QByteArray("COM1.log") << device;
    QTest::newRow("lpt9") << QByteArray("plugins/lpt9") << device;
    QTest::newRow("conout") << QByteArray("CONOUT$") << device;

    const QByteArray shortName("path has a Windows short name (\"~\" and a digit)");
    QTest::newRow("short-folder") << QByteArray("PROGRA~1/x.dll") << shortName;
    QTest::newRow("short-file") << QByteArray("REVISI~1.EXE") << shortName;
    QTest::newRow("short-name-two-digits") << QByteArray("bin/LIBSTD~12.DLL") << shortName;
}

void SafePathTest::paths()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, reason);
    const char* why = nullptr;
    const bool accepted = isSafeRelativePath(std::string_view(path.constData(), path.size()), &why);
    QCOMPARE(accepted, reason.isEmpty());
    if (!accepted) {
        QCOMPARE(QByteArray(why), reason);
    } else {
        QCOMPARE(why, nullptr);
    }
}

QTEST_APPLESS_MAIN(SafePathTest)
#include "tst_safepath.moc"
