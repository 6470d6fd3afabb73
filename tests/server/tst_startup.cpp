// Starting and stopping the real vendor-server: every reason it refuses to start, a port that
// is already taken, and the clean stop on SIGINT and SIGTERM.

#include "vendorserverprocess.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

using Tree = QMap<QString, QByteArray>;

const Tree ValidRelease = { { "releases/1.0/a.txt", "a" } };

Tree with(Tree tree, const Tree& more)
{
    tree.insert(more);
    return tree;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedStart_data();
    void refusedStart();
    void skippedFolderWarns();
    void help();
    void portTaken_data();
    void portTaken();
    void signalStop_data();
    void signalStop();
};

void StartupTest::refusedStart_data()
{
    QTest::addColumn<Tree>("tree");
    // Pairs of link path and target, both relative to the temporary folder.
    QTest::addColumn<QStringList>("links");
    // "@" stands for the temporary folder; --releases @/releases and --port 0 come first.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("exitCode");

    const QStringList none;
    QTest::newRow("missing-releases-dir")
        << Tree() << none << QStringList() << QByteArray("/releases\" does not exist") << 1;
    QTest::newRow("releases-path-is-a-file")
        << Tree { { "releases", "x" } } << none << QStringList() << QByteArray("is not a directory") << 1;
    QTest::newRow("empty-releases-dir") << Tree { { "releases/", "" } } << none << QStringList()
                                        << QByteArray("holds no version folder") << 1;
    QTest::newRow("no-version-folder-only-docs")
        << Tree { { "releases/docs/readme.txt", "r" } } << none << QStringList()
        << QByteArray("holds no version folder") << 1;
    QTest::newRow("empty-version-folder") << Tree { { "releases/1.0/", "" } } << none << QStringList()
                                          << QByteArray("release 1.0: folder") << 1;
    QTest::newRow("equal-versions-1.01-and-1.1")
        << Tree { { "releases/1.01/a.txt", "a" }, { "releases/1.1/a.txt", "a" } } << none << QStringList()
        << QByteArray("name the same version") << 1;
    QTest::newRow("file-with-blank")
        << Tree { { "releases/1.0/my file.txt", "a" } } << none << QStringList()
        << QByteArray("my file.txt\" cannot be taken by the client: path holds white space") << 1;
    QTest::newRow("file-with-colon") << Tree { { "releases/1.0/a:b.txt", "a" } } << none << QStringList()
                                     << QByteArray(
                                            "a:b.txt\" cannot be taken by the client: path holds a colon")
                                     << 1;
    QTest::newRow("path-over-127-bytes")
        << Tree { { "releases/1.0/" + QString(60, QLatin1Char('d')) + "/" + QString(67, QLatin1Char('f')),
               "a" } }
        << none << QStringList() << QByteArray("path longer than 127 bytes") << 1;
    QTest::newRow("file-with-backslash") << Tree { { "releases/1.0/a\\b.txt", "a" } } << none << QStringList()
                                         << QByteArray("path holds a backslash") << 1;
    QTest::newRow("file-with-hash") << Tree { { "releases/1.0/a#b.txt", "a" } } << none << QStringList()
                                    << QByteArray("download URL does not keep") << 1;
    QTest::newRow("names-differing-in-case")
        << Tree { { "releases/1.0/bin/Core.dll", "a" }, { "releases/1.0/bin/core.dll", "b" } } << none
        << QStringList() << QByteArray("differ only in letter case") << 1;
    QTest::newRow("symlink-pointing-outside")
        << with(ValidRelease, Tree { { "secret.txt", "s" } })
        << QStringList { "releases/1.0/out.txt", "secret.txt" } << QStringList()
        << QByteArray("out.txt\" points outside the releases directory") << 1;
    QTest::newRow("dangling-symlink")
        << ValidRelease << QStringList { "releases/1.0/gone.txt", "nothing-here" } << QStringList()
        << QByteArray("gone.txt\" points nowhere") << 1;
    QTest::newRow("symlink-to-folder")
        << with(ValidRelease, Tree { { "releases/1.0/real/b.txt", "b" } })
        << QStringList { "releases/1.0/alias", "releases/1.0/real" } << QStringList()
        << QByteArray("alias\" points to something that is not a file") << 1;
    QTest::newRow("product-info-no-json")
        << with(ValidRelease, Tree { { "releases/product-info.json", "{oops" } }) << none << QStringList()
        << QByteArray("product-info.json\" is no JSON document") << 1;
    QTest::newRow("product-info-no-object")
        << with(ValidRelease, Tree { { "releases/product-info.json", "[1]" } }) << none << QStringList()
        << QByteArray("must be an object keyed by version") << 1;
    QTest::newRow("ad-no-json") << with(ValidRelease, Tree { { "releases/ad.json", "" } }) << none
                                << QStringList() << QByteArray("ad.json\" is no JSON document") << 1;
    QTest::newRow("reports-inside-releases")
        << ValidRelease << none << QStringList { "--reports", "@/releases/reports.sqlite" }
        << QByteArray("lies inside the releases directory") << 1;
    QTest::newRow("reports-symlink-into-releases")
        << ValidRelease << QStringList { "r.sqlite", "releases/1.0/b.txt" }
        << QStringList { "--reports", "@/r.sqlite" } << QByteArray("it is a symlink") << 1;
    for (const char* duration : { "0s", "90", "5x", "31d", "-1h" }) {
        QTest::addRow("online-expires-in-%s", duration)
            << ValidRelease << none << QStringList { "--online-expires-in", duration }
            << QByteArray("--online-expires-in needs a duration such as 1d, 12h, 30m or 90s") << 2;
    }
    QTest::newRow("online-secret-without-key-documents")
        << with(ValidRelease, Tree { { "online.secret", "c2VjcmV0" } }) << none
        << QStringList { "--online-secret", "@/online.secret" } << QByteArray("is no secret key") << 1;
    QTest::newRow("earlier-reports-file-inside-releases")
        << ValidRelease << none << QStringList { "--reports", "@/releases/reports.jsonl" }
        << QByteArray("lies inside the releases directory") << 1;
    QTest::newRow("reports-folder-missing")
        << ValidRelease << none << QStringList { "--reports", "@/no/such/reports.sqlite" }
        << QByteArray("the folder of reports database") << 1;
    QTest::newRow("reports-is-a-folder")
        << with(ValidRelease, Tree { { "reportsdir/", "" } }) << none
        << QStringList { "--reports", "@/reportsdir" } << QByteArray("it is not a regular file") << 1;
    QTest::newRow("all-interfaces-without-public-base")
        << ValidRelease << none << QStringList { "--host", "0.0.0.0" } << QByteArray("give --public-base")
        << 1;
    QTest::newRow("download-base-over-255-bytes")
        << ValidRelease << none
        << QStringList { "--public-base", "http://127.0.0.1/" + QString(250, QLatin1Char('x')) }
        << QByteArray("is longer than 255 bytes") << 1;
    QTest::newRow("unknown-option") << ValidRelease << none << QStringList { "--colour" }
                                    << QByteArray("unknown argument: --colour") << 2;
    QTest::newRow("port-out-of-range") << ValidRelease << none << QStringList { "--port=70000" }
                                       << QByteArray("--port needs a number from 0 to 65535") << 2;
    QTest::newRow("option-without-value")
        << ValidRelease << none << QStringList { "--reports" } << QByteArray("--reports needs a value") << 2;
    QTest::newRow("public-base-not-http")
        << ValidRelease << none << QStringList { "--public-base", "ftp://x/y" }
        << QByteArray("--public-base must be an http:// or https:// URL") << 2;
}

void StartupTest::refusedStart()
{
    QFETCH(Tree, tree);
    QFETCH(QStringList, links);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    QFETCH(int, exitCode);

    QTemporaryDir dir;
    QVERIFY(makeTree(dir.path(), tree));
    for (qsizetype i = 0; i + 1 < links.size(); i += 2) {
        QVERIFY(QFile::link(dir.filePath(links[i + 1]), dir.filePath(links[i])));
    }
    arguments.replaceInStrings(QStringLiteral("@"), dir.path());

    VendorServerProcess server;
    QVERIFY(!server.startOn(dir.filePath(QStringLiteral("releases")), arguments));
    QVERIFY(server.waitForExit());
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), exitCode);
    QVERIFY2(server.errors().contains(message), server.errors().constData());
    QVERIFY(!server.output().contains("listening on"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("releases/reports.jsonl"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("releases/reports.sqlite"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("releases/reports.sqlite.secret"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("releases/1.0/b.txt"))));
}

void StartupTest::skippedFolderWarns()
{
    QTemporaryDir dir;
    QVERIFY(makeTree(dir.path(),
        with(ValidRelease, Tree { { "releases/incoming/b.txt", "b" }, { "releases/.git/x", "x" } })));
    VendorServerProcess server;
    QVERIFY2(server.startOn(dir.filePath(QStringLiteral("releases"))), server.errors().constData());
    QVERIFY(
        server.errors().contains("warning: skipping folder \"" + dir.filePath("releases/incoming").toUtf8()));
    QVERIFY(!server.errors().contains(".git"));
    QVERIFY(server.output().contains("1 version(s), newest 1.0 with 1 file(s)"));
}

void StartupTest::help()
{
    VendorServerProcess server;
    QVERIFY(!server.start({ QStringLiteral("--help") }));
    QVERIFY(server.waitForExit());
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(server.output().startsWith("usage: "));
    QVERIFY(server.output().contains("--public-base URL"));
}

void StartupTest::portTaken_data()
{
    QTest::addColumn<bool>("byVendorServer");

    // The server must not share a port through SO_REUSEPORT with a second one of its kind.
    QTest::newRow("taken-by-another-vendor-server") << true;
    QTest::newRow("taken-by-another-program") << false;
}

void StartupTest::portTaken()
{
    QFETCH(bool, byVendorServer);

    QTemporaryDir dir;
    QVERIFY(makeTree(dir.path(), ValidRelease));
    const QString releases = dir.filePath(QStringLiteral("releases"));
    VendorServerProcess first;
    QTcpServer other;
    int port = 0;
    if (byVendorServer) {
        QVERIFY2(first.startOn(releases), first.errors().constData());
        port = first.port();
    } else {
        QVERIFY(other.listen(QHostAddress::LocalHost));
        port = other.serverPort();
    }

    VendorServerProcess second;
    QVERIFY(!second.start(
        { QStringLiteral("--releases"), releases, QStringLiteral("--port"), QString::number(port) }));
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 1);
    QVERIFY2(second.errors().contains(
                 "cannot listen on 127.0.0.1:" + QByteArray::number(port) + ": the port is taken"),
        second.errors().constData());
    if (byVendorServer) {
        QCOMPARE(rawRequest(port, "GET", "/releases/1.0/a.txt").body, QByteArray("a"));
    }
}

void StartupTest::signalStop_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("idleConnection");
    QTest::addColumn<QByteArray>("said");

    QTest::newRow("sigint") << int(SIGINT) << false << QByteArray("stopped on SIGINT");
    QTest::newRow("sigterm") << int(SIGTERM) << false << QByteArray("stopped on SIGTERM");
    QTest::newRow("sigterm-with-idle-keep-alive-connection")
        << int(SIGTERM) << true << QByteArray("stopped on SIGTERM");
}

void StartupTest::signalStop()
{
    QFETCH(int, signal);
    QFETCH(bool, idleConnection);
    QFETCH(QByteArray, said);

    QTemporaryDir dir;
    QVERIFY(makeTree(dir.path(), ValidRelease));
    VendorServerProcess server;
    QVERIFY2(server.startOn(dir.filePath(QStringLiteral("releases"))), server.errors().constData());

    QTcpSocket client;
    if (idleConnection) {
        client.connectToHost(QHostAddress::LocalHost, quint16(server.port()));
        QVERIFY(client.waitForConnected(5000));
        client.write("GET /releases/1.0/a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY(client.waitForReadyRead(5000));
        QVERIFY(client.readAll().startsWith("HTTP/1.1 200"));
    }
    server.sendSignal(signal);
    QVERIFY(server.waitForExit(15000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(server.output().endsWith("vendor-server: " + said + "\n"));
    QVERIFY2(server.errors().isEmpty(), server.errors().constData());
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
