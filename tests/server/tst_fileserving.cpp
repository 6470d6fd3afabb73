// The files of the releases as the real vendor-server serves them: bytes and Content-Length,
// 404 for what is not there, and no request that reaches anything outside the releases
// directory.

#include "vendorserverprocess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray Secret = "TOP-SECRET outside the releases";

QByteArray header(const RawReply& reply, const QByteArray& name)
{
    for (const QByteArray& line : reply.headers.split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ":")) {
            return line.mid(name.size() + 1).trimmed();
        }
    }
    return {};
}

QByteArray bigFile()
{
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        bytes[i] = char((i * 131) >> 7);
    }
    return bytes;
}

} // namespace

class FileServingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void files_data();
    void files();
    void head();
    void traversal_data();
    void traversal();
    void swappedForSymlinkAfterStart_data();
    void swappedForSymlinkAfterStart();
    void accessLog();

private:
    QString releases() const { return dir.filePath(QStringLiteral("releases")); }

    QTemporaryDir dir;
    VendorServerProcess server;
};

void FileServingTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(makeTree(dir.path(), { { "secret.txt", Secret }, { "outside/core.dll", Secret } }));
    QVERIFY(makeTree(releases(),
        { { "1.0.3/old.dll", "old dll" }, { "1.0.4/version.txt", "1.0.4" },
            { "1.0.4/bin/core.dll", "core four" }, { "1.0.4/empty.txt", "" },
            { "1.0.4/zero-bytes.bin", QByteArray("a\0b\0c", 5) },
            { QString::fromUtf8("1.0.4/données/é.txt"), "accent" }, { "1.0.4/big.bin", bigFile() },
            { "1.0.4/victim.txt", "victim" }, { "1.0.4/victimdir/inner.txt", "inner" },
            { "product-info.json", "{}" } }));
    // A symlink to a file inside the releases directory is served as that file.
    QVERIFY(QFile::link(
        releases() + QStringLiteral("/1.0.3/old.dll"), releases() + QStringLiteral("/1.0.4/shared.dll")));
    QVERIFY2(server.startOn(releases()), server.errors().constData());
}

void FileServingTest::files_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // checked when status is 200

    QTest::newRow("top-level-file") << QByteArray("/releases/1.0.4/version.txt") << 200
                                    << QByteArray("1.0.4");
    QTest::newRow("sub-folder-file") << QByteArray("/releases/1.0.4/bin/core.dll") << 200
                                     << QByteArray("core four");
    QTest::newRow("empty-file") << QByteArray("/releases/1.0.4/empty.txt") << 200 << QByteArray();
    QTest::newRow("zero-bytes-kept") << QByteArray("/releases/1.0.4/zero-bytes.bin") << 200
                                     << QByteArray("a\0b\0c", 5);
    QTest::newRow("utf8-name-percent-encoded")
        << QByteArray("/releases/1.0.4/donn%C3%A9es/%C3%A9.txt") << 200 << QByteArray("accent");
    QTest::newRow("streamed-3mib-file") << QByteArray("/releases/1.0.4/big.bin") << 200 << bigFile();
    QTest::newRow("older-release-file")
        << QByteArray("/releases/1.0.3/old.dll") << 200 << QByteArray("old dll");
    QTest::newRow("symlink-inside-served")
        << QByteArray("/releases/1.0.4/shared.dll") << 200 << QByteArray("old dll");
    QTest::newRow("missing-file-404") << QByteArray("/releases/1.0.4/nothere.dll") << 404 << QByteArray();
    QTest::newRow("file-of-other-release-404")
        << QByteArray("/releases/1.0.4/old.dll") << 404 << QByteArray();
    QTest::newRow("missing-version-404") << QByteArray("/releases/9.9/version.txt") << 404 << QByteArray();
    QTest::newRow("folder-404") << QByteArray("/releases/1.0.4/bin") << 404 << QByteArray();
    QTest::newRow("version-folder-404") << QByteArray("/releases/1.0.4/") << 404 << QByteArray();
    QTest::newRow("releases-root-404") << QByteArray("/releases/") << 404 << QByteArray();
    QTest::newRow("top-level-json-not-served")
        << QByteArray("/releases/product-info.json") << 404 << QByteArray();
    QTest::newRow("nul-in-path-refused")
        << QByteArray("/releases/1.0.4/version.txt%00.png") << 400 << QByteArray();
}

void FileServingTest::files()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    const RawReply reply = rawRequest(server.port(), "GET", target);
    QCOMPARE(reply.status, status);
    if (status == 200) {
        QCOMPARE(header(reply, "Content-Length"), QByteArray::number(body.size()));
        QCOMPARE(reply.body.size(), body.size());
        QVERIFY(reply.body == body);
    }
}

void FileServingTest::head()
{
    const RawReply reply = rawRequest(server.port(), "HEAD", "/releases/1.0.4/big.bin");
    QCOMPARE(reply.status, 200);
    QCOMPARE(header(reply, "Content-Length"), QByteArray::number(bigFile().size()));
    QVERIFY(reply.body.isEmpty());
}

void FileServingTest::traversal_data()
{
    QTest::addColumn<QByteArray>("target");

    const QByteArray absolute = QDir(dir.path()).absoluteFilePath(QStringLiteral("secret.txt")).toUtf8();
    QTest::newRow("dotdot") << QByteArray("/releases/1.0.4/../../secret.txt");
    QTest::newRow("dotdot-as-version") << QByteArray("/releases/../secret.txt");
    QTest::newRow("dotdot-staying-inside") << QByteArray("/releases/1.0.4/bin/../version.txt");
    QTest::newRow("encoded-dots") << QByteArray("/releases/1.0.4/%2e%2e/%2e%2e/secret.txt");
    QTest::newRow("encoded-dots-and-slashes") << QByteArray("/releases/1.0.4/%2E%2E%2F%2E%2E%2Fsecret.txt");
    QTest::newRow("encoded-slashes") << QByteArray("/releases/1.0.4/..%2f..%2fsecret.txt");
    QTest::newRow("encoded-version-dots") << QByteArray("/releases/%2e%2e/secret.txt");
    QTest::newRow("double-encoded") << QByteArray("/releases/1.0.4/%252e%252e/%252e%252e/secret.txt");
    QTest::newRow("backslashes") << QByteArray("/releases/1.0.4/..\\..\\secret.txt");
    QTest::newRow("encoded-backslashes") << QByteArray("/releases/1.0.4/..%5c..%5csecret.txt");
    QTest::newRow("absolute-path") << "/releases/1.0.4/" + absolute;
    QTest::newRow("absolute-path-encoded") << "/releases/1.0.4/" + absolute.toPercentEncoding();
    QTest::newRow("absolute-etc-passwd") << QByteArray("/releases/1.0.4//etc/passwd");
    QTest::newRow("relative-target") << QByteArray("../secret.txt");
    QTest::newRow("outside-releases-prefix") << QByteArray("/secret.txt");
    QTest::newRow("very-long-path") << "/releases/1.0.4/" + QByteArray(8000, 'a');
    QTest::newRow("absolute-form") << QByteArray("http://127.0.0.1/releases/1.0.4/../../secret.txt");
}

void FileServingTest::traversal()
{
    QFETCH(QByteArray, target);

    const RawReply reply = rawRequest(server.port(), "GET", target);
    QVERIFY2(reply.status == 400 || reply.status == 404, QByteArray::number(reply.status).constData());
    QVERIFY(!reply.body.contains("TOP-SECRET"));
    QVERIFY(!reply.body.contains("root:"));
    // The server is still there and still serves.
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/1.0.4/version.txt").body, QByteArray("1.0.4"));
}

void FileServingTest::swappedForSymlinkAfterStart_data()
{
    QTest::addColumn<QString>("swapped");
    QTest::addColumn<QString>("pointsTo");
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("file-swapped") << "1.0.4/victim.txt"
                                  << "secret.txt" << QByteArray("/releases/1.0.4/victim.txt");
    QTest::newRow("folder-swapped") << "1.0.4/victimdir"
                                    << "outside" << QByteArray("/releases/1.0.4/victimdir/inner.txt");
}

void FileServingTest::swappedForSymlinkAfterStart()
{
    QFETCH(QString, swapped);
    QFETCH(QString, pointsTo);
    QFETCH(QByteArray, target);

    // Someone with write access to the releases replaces a published file or folder with a
    // symlink leading out; the server must notice at request time.
    const QString path = releases() + QLatin1Char('/') + swapped;
    QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
    if (pointsTo == QStringLiteral("outside")) {
        QVERIFY(makeTree(dir.filePath(QStringLiteral("outside")), { { "inner.txt", Secret } }));
    }
    QVERIFY(QFile::link(dir.filePath(pointsTo), path));

    const RawReply reply = rawRequest(server.port(), "GET", target);
    QCOMPARE(reply.status, 403);
    QVERIFY(!reply.body.contains("TOP-SECRET"));
    QTRY_VERIFY_WITH_TIMEOUT(server.errors().contains("resolves outside the releases directory"), 5000);
}

void FileServingTest::accessLog()
{
    const RawReply reply = rawRequest(server.port(), "GET", "/releases/1.0.4/bin/core.dll?log=1");
    QCOMPARE(reply.status, 200);
    static const QRegularExpression line(
        QStringLiteral("^127\\.0\\.0\\.1 - - \\[\\d\\d/\\w{3}/\\d{4}:\\d\\d:\\d\\d:\\d\\d \\+0000\\] "
                       "\"GET /releases/1\\.0\\.4/bin/core\\.dll\\?log=1 HTTP/1\\.1\" 200 9$"),
        QRegularExpression::MultilineOption);
    // The line is flushed as the request ends; give the pipe a moment.
    QTRY_VERIFY_WITH_TIMEOUT(line.match(QString::fromUtf8(server.output())).hasMatch(), 5000);
    // A quote in the target cannot close the quoted request line early.
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/a\"b").status, 404);
    QTRY_VERIFY_WITH_TIMEOUT(server.output().contains("\"GET /releases/a\\x22b HTTP/1.1\" 404 "), 5000);
}

QTEST_GUILESS_MAIN(FileServingTest)
#include "tst_fileserving.moc"
