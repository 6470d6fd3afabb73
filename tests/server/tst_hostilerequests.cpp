// Requests no client needs, which a hostile one sends to grow the server's memory: Range
// headers of many or long ranges, heads of many headers, multipart bodies. Each gets its
// refusal from the real vendor-server, the ones within the limits are served as before, and
// valid requests are answered correctly after them.

#include "vendorserverprocess.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray bigFile()
{
    QByteArray bytes(64 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        bytes[i] = char((i * 131) >> 5);
    }
    return bytes;
}

// "bytes=0-0,2-2,..." with count ranges.
QByteArray ranges(int count)
{
    QByteArray header = "bytes=";
    for (int i = 0; i < count; ++i) {
        header += (i ? "," : "") + QByteArray::number(2 * i) + '-' + QByteArray::number(2 * i);
    }
    return header;
}

// count header lines of 100 bytes each.
QByteArray manyHeaders(int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i) {
        lines += "X-Filler-" + QByteArray::number(i).rightJustified(4, '0') + ": " + QByteArray(83, 'f') + "\r\n";
    }
    return lines;
}

} // namespace

class HostileRequestsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedOrServed_data();
    void refusedOrServed();
    void refusedHeadIsLogged();

private:
    QTemporaryDir dir;
    VendorServerProcess server;
};

void HostileRequestsTest::initTestCase()
{
    QVERIFY(dir.isValid());
    const QString releases = dir.filePath(QStringLiteral("releases"));
    QVERIFY(makeTree(releases, { { "1.0.3/a.txt", "a" }, { "1.0.4/big.bin", bigFile() } }));
    QVERIFY2(server.startOn(releases, { QStringLiteral("--reports"), dir.filePath(QStringLiteral("reports.sqlite")) }),
        server.errors().constData());
}

void HostileRequestsTest::refusedOrServed_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // checked when not empty

    const QByteArray file = "/releases/1.0.4/big.bin";
    const QByteArray report = "/prod/Orbisnap/useReport?";
    QTest::newRow("one-range-served") << QByteArray("GET") << file << QByteArray("Range: bytes=10-19\r\n")
                                      << QByteArray() << 206 << bigFile().mid(10, 10);
    QTest::newRow("16-ranges-served") << QByteArray("GET") << file << "Range: " + ranges(16) + "\r\n"
                                      << QByteArray() << 206 << QByteArray();
    QTest::newRow("17-ranges-refused") << QByteArray("GET") << file << "Range: " + ranges(17) + "\r\n"
                                       << QByteArray() << 416 << QByteArray();
    QTest::newRow("1000-ranges-refused") << QByteArray("GET") << file << "Range: " + ranges(1000) + "\r\n"
                                         << QByteArray() << 416 << QByteArray();
    QTest::newRow("lower-case-name-refused") << QByteArray("GET") << file << "range: " + ranges(17) + "\r\n"
                                             << QByteArray() << 416 << QByteArray();
    // Leading zeros make a value of exactly 512 bytes that still names bytes 0-9.
    QTest::newRow("512-byte-range-served")
        << QByteArray("GET") << file << "Range:  bytes=" + QByteArray(504, '0') + "-9 \r\n" << QByteArray() << 206
        << bigFile().left(10);
    QTest::newRow("513-byte-range-refused") << QByteArray("GET") << file
                                            << "Range: bytes=" + QByteArray(505, '0') + "-9\r\n" << QByteArray()
                                            << 416 << QByteArray();
    QTest::newRow("percent-encoded-comma-refused") << QByteArray("GET") << file
                                                   << QByteArray("Range: bytes=0-1%2C4-5\r\n") << QByteArray()
                                                   << 416 << QByteArray();
    // The library answers the first of several Range headers.
    QTest::newRow("first-of-two-range-headers-refused")
        << QByteArray("GET") << file << "Range: " + ranges(40) + "\r\nRange: bytes=0-1\r\n" << QByteArray() << 416
        << QByteArray();
    QTest::newRow("range-on-version-answer-refused")
        << QByteArray("GET") << QByteArray("/prod/Orbisnap/getVersionDiff?version=1.0.3")
        << "Range: " + ranges(200) + "\r\n" << QByteArray() << 416 << QByteArray();
    QTest::newRow("head-within-limit-served") << QByteArray("GET") << QByteArray("/releases/1.0.3/a.txt")
                                              << manyHeaders(300) << QByteArray() << 200 << QByteArray("a");
    QTest::newRow("head-beyond-limit-refused") << QByteArray("GET") << QByteArray("/releases/1.0.3/a.txt")
                                               << manyHeaders(400) << QByteArray() << 431 << QByteArray();
    QTest::newRow("multipart-report-refused")
        << QByteArray("POST") << report << QByteArray() << QByteArray("multipart/form-data; boundary=b") << 415
        << QByteArray();
    QTest::newRow("multipart-any-case-refused")
        << QByteArray("POST") << QByteArray("/nothing") << QByteArray()
        << QByteArray("Multipart/Form-Data; boundary=b") << 415 << QByteArray();
    QTest::newRow("url-encoded-report-served")
        << QByteArray("POST") << report << QByteArray() << QByteArray("application/x-www-form-urlencoded") << 200
        << QByteArray("{\"ok\":true}");
}

void HostileRequestsTest::refusedOrServed()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, contentType);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    const QByteArray form = method == "POST"
        ? (contentType.startsWith("multipart") ? QByteArray("--b\r\nContent-Disposition: form-data; name=\"mac\"\r\n\r\n"
                                                            "m\r\n--b--\r\n")
                                               : QByteArray("mac=m&version=1.0.3&computerName=c&userName=u&useState=1"))
        : QByteArray();
    const RawReply reply = rawRequest(server.port(), method, target, form, contentType, headers);
    QCOMPARE(reply.status, status);
    if (!body.isEmpty()) {
        QCOMPARE(reply.body, body);
    }
    // And the server serves on.
    const RawReply after = rawRequest(server.port(), "GET", "/releases/1.0.3/a.txt");
    QCOMPARE(after.status, 200);
    QCOMPARE(after.body, QByteArray("a"));
}

void HostileRequestsTest::refusedHeadIsLogged()
{
    const RawReply reply = rawRequest(server.port(), "GET", "/too-long-head", {}, {}, manyHeaders(400));
    QCOMPARE(reply.status, 431);
    QVERIFY(reply.body.contains("larger than 32768 bytes"));
    QTRY_VERIFY(server.output().contains("\"GET /too-long-head HTTP/1.1\" 431 "));
}

QTEST_GUILESS_MAIN(HostileRequestsTest)
#include "tst_hostilerequests.moc"
