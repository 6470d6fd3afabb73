// The three form POSTs of the real vendor-server: usage reports stored decoded in the reports
// database, with pseudonyms for who sent them; product information by version; the
// advertisement document.

#include "reportsdatabase.h"
#include "smalldisk.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {

const QByteArray Form = "application/x-www-form-urlencoded";

QJsonObject json(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class FormsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void useReport_data();
    void useReport();
    void useReportRefused_data();
    void useReportRefused();
    void concurrentReportsAllStored();
    void reportOnFullDisk_data();
    void reportOnFullDisk();
    void reportOnLockedDatabase();
    void productInfo_data();
    void productInfo();
    void productAd();
    void defaultDocuments();

private:
    QString reportsFile() const { return dir.filePath(QStringLiteral("reports.sqlite")); }

    QTemporaryDir dir;
    VendorServerProcess server;
};

void FormsTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(makeTree(dir.filePath(QStringLiteral("releases")),
        { { "1.0.3/version.txt", "1.0.3" }, { "1.0.4/version.txt", "1.0.4" },
            { "product-info.json",
                "{\"1.0.3\": {\"notes\": \"three\"}, \"1.0.4\": {\"notes\": \"four\"}, \"*\": {\"notes\": "
                "\"any\"}}" },
            { "ad.json",
                "{\"ads\": [{\"text\": \"Spring sale\", \"image\": \"http://127.0.0.1/ad.png\"}]}" } }));
    // Default place of the reports: beside the releases directory.
    QVERIFY2(server.startOn(dir.filePath(QStringLiteral("releases"))), server.errors().constData());
    QVERIFY(server.output().contains("usage reports go to " + reportsFile().toUtf8()));
}

void FormsTest::useReport_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("computerName");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<int>("useState");

    QTest::newRow("plain") << QByteArray(
        "mac=00-1A-2B-3C-4D-5E&version=1.0.3&computerName=DESK-7&userName=ann&useState=1")
                           << "00-1A-2B-3C-4D-5E"
                           << "1.0.3"
                           << "DESK-7"
                           << "ann" << 1;
    QTest::newRow("user-name-with-ampersand-and-equals")
        << QByteArray("mac=m&version=1.0.3&computerName=pc&userName=a%26b%3Dc&useState=2") << "m"
        << "1.0.3"
        << "pc"
        << "a&b=c" << 2;
    QTest::newRow("plus-is-blank-encoded-plus-is-plus")
        << QByteArray("mac=m&version=1.0.3&computerName=my+pc&userName=A%2BB&useState=0") << "m"
        << "1.0.3"
        << "my pc"
        << "A+B" << 0;
    QTest::newRow("utf8-and-percent-sign")
        << QByteArray("mac=m&version=1.0.3&computerName=%E5%8A%9E%E5%85%AC&userName=100%25%20sure&useState=3")
        << "m"
        << "1.0.3" << QString::fromUtf8("办公") << "100% sure" << 3;
    QTest::newRow("line-break-stays-inside-the-line")
        << QByteArray("mac=m&version=1.0.3&computerName=pc&userName=two%0Alines%22q%22&useState=4") << "m"
        << "1.0.3"
        << "pc"
        << "two\nlines\"q\"" << 4;
    QTest::newRow("all-empty-state-0") << QByteArray("mac=&version=&computerName=&userName=&useState=0") << ""
                                       << ""
                                       << ""
                                       << "" << 0;
    QTest::newRow("state-255-fields-reordered")
        << QByteArray("useState=255&userName=u&computerName=c&version=v&mac=m") << "m"
        << "v"
        << "c"
        << "u" << 255;
}

void FormsTest::useReport()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, mac);
    QFETCH(QString, version);
    QFETCH(QString, computerName);
    QFETCH(QString, userName);
    QFETCH(int, useState);

    const qsizetype before = storedReports(reportsFile()).size();
    const qint64 sent = QDateTime::currentSecsSinceEpoch();
    const RawReply reply = rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?", body, Form);
    QCOMPARE(reply.status, 200);
    QCOMPARE(json(reply.body).value(QStringLiteral("ok")).toBool(), true);

    // Stored before it was answered: the database has it now.
    const QList<StoredReport> reports = storedReports(reportsFile());
    QCOMPARE(reports.size(), before + 1);
    const StoredReport& report = reports.last();
    QCOMPARE(report.mac, expectedPseudonym(reportsFile(), "mac", mac));
    QCOMPARE(report.computerName, expectedPseudonym(reportsFile(), "computerName", computerName));
    QCOMPARE(report.userName, expectedPseudonym(reportsFile(), "userName", userName));
    QCOMPARE(report.version, version);
    QCOMPARE(report.useState, useState);
    QVERIFY2(report.time >= sent - 1 && report.time <= QDateTime::currentSecsSinceEpoch(),
        QByteArray::number(report.time).constData());
    // Who sent it is kept as pseudonyms only: no byte of the database holds the name itself.
    if (userName.size() >= 3) {
        QVERIFY(!readFile(reportsFile()).contains(userName.toUtf8()));
        QVERIFY(!readFile(reportsFile() + QStringLiteral("-wal")).contains(userName.toUtf8()));
    }
}

void FormsTest::useReportRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("missing-use-state")
        << QByteArray("mac=m&version=v&computerName=c&userName=u") << QByteArray("useState missing");
    QTest::newRow("missing-user-name")
        << QByteArray("mac=m&version=v&computerName=c&useState=1") << QByteArray("userName missing");
    QTest::newRow("use-state-256") << QByteArray("mac=m&version=v&computerName=c&userName=u&useState=256")
                                   << QByteArray("useState must be a number from 0 to 255");
    QTest::newRow("use-state-negative") << QByteArray("mac=m&version=v&computerName=c&userName=u&useState=-1")
                                        << QByteArray("useState must be a number from 0 to 255");
    QTest::newRow("use-state-text") << QByteArray("mac=m&version=v&computerName=c&userName=u&useState=on")
                                    << QByteArray("useState must be a number from 0 to 255");
    QTest::newRow("repeated-user-name")
        << QByteArray("mac=m&version=v&computerName=c&userName=a&userName=b&useState=1")
        << QByteArray("userName given more than once");
    QTest::newRow("malformed-percent") << QByteArray("mac=m&version=v&computerName=c&userName=%zz&useState=1")
                                       << QByteArray("malformed percent-encoding");
    QTest::newRow("truncated-percent") << QByteArray("mac=m&version=v&computerName=c&userName=u&useState=1%2")
                                       << QByteArray("malformed percent-encoding");
    QTest::newRow("not-utf8") << QByteArray("mac=m&version=v&computerName=c&userName=%FF%FE&useState=1")
                              << QByteArray("userName is not UTF-8 text");
}

void FormsTest::useReportRefused()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, reason);

    const qsizetype stored = storedReports(reportsFile()).size();
    const RawReply reply = rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?", body, Form);
    QCOMPARE(reply.status, 400);
    QVERIFY2(json(reply.body).value(QStringLiteral("error")).toString().contains(QString::fromUtf8(reason)),
        reply.body.constData());
    QTRY_VERIFY_WITH_TIMEOUT(server.errors().contains(reason), 5000);
    // Nothing stored, nothing lost.
    QCOMPARE(storedReports(reportsFile()).size(), stored);
}

void FormsTest::concurrentReportsAllStored()
{
    const qsizetype before = storedReports(reportsFile()).size();
    constexpr int Reports = 24;
    std::vector<std::thread> senders;
    std::vector<int> statuses(Reports, 0);
    const int port = server.port();
    for (int i = 0; i < Reports; ++i) {
        senders.emplace_back([&statuses, port, i] {
            const QByteArray body = "mac=m&version=1.0.3&computerName=pc&userName=user"
                + QByteArray::number(i) + "-" + QByteArray(2000, 'x') + "&useState=7";
            statuses[std::size_t(i)]
                = rawRequest(port, "POST", "/prod/Orbisnap/useReport?", body, Form).status;
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    for (int status : statuses) {
        QCOMPARE(status, 200);
    }
    const QList<StoredReport> reports = storedReports(reportsFile());
    QCOMPARE(reports.size(), before + Reports);
    QSet<QByteArray> users;
    for (qsizetype i = before; i < reports.size(); ++i) {
        QCOMPARE(reports[i].useState, 7);
        users.insert(reports[i].userName);
    }
    for (int i = 0; i < Reports; ++i) {
        QVERIFY(users.contains(expectedPseudonym(reportsFile(), "userName",
            QStringLiteral("user%1-").arg(i) + QString(2000, QLatin1Char('x')))));
    }
}

void FormsTest::reportOnFullDisk_data()
{
    // Bytes left free after filling, and the size of the report's version (kept as sent, in the
    // report and in the day's counts): nothing left, or room for part of the report's pages.
    QTest::addColumn<int>("spare");
    QTest::addColumn<int>("versionBytes");
    QTest::newRow("nothing-free") << 0 << 6000;
    QTest::newRow("part-fits") << 8192 << 7500;
}

// A report that cannot be stored whole is refused with one line naming the cause and leaves
// nothing of itself; once there is room again, reports are stored as before.
void FormsTest::reportOnFullDisk()
{
    QFETCH(int, spare);
    QFETCH(int, versionBytes);
    SmallDisk disk(dir.filePath(QStringLiteral("small")), "256k");
    if (!disk.isMounted()) {
        QSKIP("cannot mount a tmpfs here (needs root); the full-disk store is not exercised");
    }
    const QString reports = disk.path() + QStringLiteral("/reports.sqlite");
    VendorServerProcess own;
    QVERIFY2(own.startOn(dir.filePath(QStringLiteral("releases")), { QStringLiteral("--reports"), reports }),
        own.errors().constData());
    const QByteArray first = "mac=m&version=1.0.3&computerName=c&userName=u&useState=1";
    QCOMPARE(rawRequest(own.port(), "POST", "/prod/Orbisnap/useReport?", first, Form).status, 200);
    QCOMPARE(storedReports(reports).size(), 1);

    QVERIFY(disk.fill(spare));
    const QByteArray big = "mac=m&version=" + QByteArray(versionBytes, 'v') + "&computerName=c&userName=u&useState=1";
    const RawReply refused = rawRequest(own.port(), "POST", "/prod/Orbisnap/useReport?", big, Form);
    QCOMPARE(refused.status, 500);
    QCOMPARE(json(refused.body).value(QStringLiteral("error")).toString(), QStringLiteral("the report could not be stored"));
    QTRY_VERIFY2(own.errors().contains("database or disk is full"), own.errors().constData());
    QCOMPARE(own.errors().count("the report could not be stored"), 1);
    QCOMPARE(storedReports(reports).size(), 1);

    QVERIFY(QFile::remove(disk.path() + QStringLiteral("/.filler")));
    QCOMPARE(rawRequest(own.port(), "POST", "/prod/Orbisnap/useReport?", first, Form).status, 200);
    const QList<StoredReport> stored = storedReports(reports);
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored.at(0).computerName, expectedPseudonym(reports, "computerName", QStringLiteral("c")));
    QCOMPARE(stored.at(1).computerName, expectedPseudonym(reports, "computerName", QStringLiteral("c")));
}

// Another process holding the write lock longer than the server waits: the report is refused
// in bounded time with one line, and stored once the lock is gone.
void FormsTest::reportOnLockedDatabase()
{
    const QByteArray body = "mac=m&version=1.0.3&computerName=locked&userName=u&useState=5";
    const qsizetype before = storedReports(reportsFile()).size();
    {
        LockedReportsDatabase lock(reportsFile());
        QVERIFY2(lock.isLocked(), lock.error().constData());
        const RawReply refused = rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?", body, Form);
        QCOMPARE(refused.status, 500);
        QCOMPARE(json(refused.body).value(QStringLiteral("error")).toString(),
            QStringLiteral("the report could not be stored"));
        QTRY_VERIFY2(server.errors().contains("database is locked"), server.errors().constData());
    }
    QCOMPARE(storedReports(reportsFile()).size(), before);
    QCOMPARE(rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?", body, Form).status, 200);
    const QList<StoredReport> after = storedReports(reportsFile());
    QCOMPARE(after.size(), before + 1);
    QCOMPARE(after.last().computerName, expectedPseudonym(reportsFile(), "computerName", QStringLiteral("locked")));
}

void FormsTest::productInfo_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("notes");

    QTest::newRow("exact-version") << QByteArray("version=1.0.3") << 200 << "three";
    QTest::newRow("newest-version") << QByteArray("version=1.0.4") << 200 << "four";
    QTest::newRow("equal-by-version-order") << QByteArray("version=1.0.03") << 200 << "three";
    QTest::newRow("encoded-version") << QByteArray("version=1%2E0%2E4") << 200 << "four";
    QTest::newRow("other-version-falls-back-to-star") << QByteArray("version=0.9") << 200 << "any";
    QTest::newRow("empty-version-falls-back-to-star") << QByteArray("version=") << 200 << "any";
    QTest::newRow("no-version-refused") << QByteArray("") << 400 << "";
}

void FormsTest::productInfo()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, notes);

    const RawReply reply = rawRequest(server.port(), "POST", "/prod/Orbisnap/getProductInfo?", body, Form);
    QCOMPARE(reply.status, status);
    if (status == 200) {
        QCOMPARE(json(reply.body).value(QStringLiteral("notes")).toString(), notes);
    }
}

void FormsTest::productAd()
{
    const RawReply reply = rawRequest(server.port(), "POST", "/prod/Orbisnap/getProductAd", {}, Form);
    QCOMPARE(reply.status, 200);
    const QJsonObject ad = json(reply.body);
    QCOMPARE(ad.value(QStringLiteral("ads")).toArray().size(), 1);
    QCOMPARE(
        ad.value(QStringLiteral("ads")).toArray().at(0).toObject().value(QStringLiteral("text")).toString(),
        QStringLiteral("Spring sale"));
    // Only POST is the call; a GET of the same path is not.
    QCOMPARE(rawRequest(server.port(), "GET", "/prod/Orbisnap/getProductAd").status, 404);
}

void FormsTest::defaultDocuments()
{
    QTemporaryDir bare;
    QVERIFY(makeTree(bare.filePath(QStringLiteral("releases")), { { "2.0/a.txt", "a" } }));
    const QString reports = bare.filePath(QStringLiteral("elsewhere.sqlite"));
    VendorServerProcess plain;
    QVERIFY2(
        plain.startOn(bare.filePath(QStringLiteral("releases")), { QStringLiteral("--reports"), reports }),
        plain.errors().constData());

    const QJsonObject info
        = json(rawRequest(plain.port(), "POST", "/prod/Orbisnap/getProductInfo?", "version=1.5", Form).body);
    QCOMPARE(info.value(QStringLiteral("version")).toString(), QStringLiteral("1.5"));
    QCOMPARE(info.value(QStringLiteral("newest")).toString(), QStringLiteral("2.0"));
    const QJsonObject ad
        = json(rawRequest(plain.port(), "POST", "/prod/Orbisnap/getProductAd", {}, Form).body);
    QVERIFY(ad.value(QStringLiteral("ads")).isArray());
    QVERIFY(ad.value(QStringLiteral("ads")).toArray().isEmpty());

    // --reports puts the reports where it says.
    QCOMPARE(rawRequest(plain.port(), "POST", "/prod/Orbisnap/useReport?",
                 "mac=m&version=2.0&computerName=c&userName=u&useState=9", Form)
                 .status,
        200);
    QCOMPARE(storedReports(reports).size(), 1);
    QVERIFY(!QFile::exists(bare.filePath(QStringLiteral("reports.sqlite"))));
}

QTEST_GUILESS_MAIN(FormsTest)
#include "tst_forms.moc"
