// The project's own server client (UploadManager) against the real vendor-server started with
// no address options, so at the compiled-in ServerBaseUrl: what the client sends is what the
// server understands, and what the server answers is what the client reads.

#include "reportsdatabase.h"
#include "vendorserverprocess.h"

#include "serverconfig.h"
#include "uploadmanager.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <json/value.h>

namespace {

QStringList files(const Json::Value& list)
{
    QStringList names;
    for (const Json::Value& entry : list) {
        names << QString::fromStdString(entry["file"].asString());
    }
    return names;
}

} // namespace

class ServerClientTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versionDiffAndDownloads();
    void versionTextIsDecoded_data();
    void versionTextIsDecoded();
    void useReport_data();
    void useReport();
    void productInfoAndAd();

private:
    QTemporaryDir dir;
    VendorServerProcess server;
};

void ServerClientTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(makeTree(dir.filePath(QStringLiteral("releases")),
        { { "1.0.3/Host.exe", "host" }, { "1.0.3/bin/core.dll", "core 3" }, { "1.0.3/old.dll", "old" },
            { "1.0.3/version.txt", "1.0.3" }, { "1.0.4/Host.exe", "host" },
            { "1.0.4/bin/core.dll", "core 4" }, { "1.0.4/version.txt", "1.0.4" },
            { "1.0.4/plugins/new.dll", "new" } }));
    // Other test runs on this machine may hold the compiled-in port for a moment.
    QDeadlineTimer deadline(30000);
    while (!server.start({ QStringLiteral("--releases"), dir.filePath(QStringLiteral("releases")) })) {
        QVERIFY2(server.errors().contains("the port is taken") && !deadline.hasExpired(),
            server.errors().constData());
        QTest::qWait(500);
    }
    QVERIFY(server.output().contains(QByteArray("listening on ") + ServerBaseUrl + "\n"));
}

void ServerClientTest::versionDiffAndDownloads()
{
    Json::Value root;
    QVERIFY(UploadManager::instance()->getVersionDiff(QStringLiteral("1.0.3"), root));
    QCOMPARE(QString::fromStdString(root["version"].asString()), QStringLiteral("1.0.4"));
    const std::string base = root["path"].asString();
    QCOMPARE(
        QString::fromStdString(base), QString::fromUtf8(ServerBaseUrl) + QStringLiteral("/releases/1.0.4"));
    QCOMPARE(files(root["u"]), (QStringList { "bin/core.dll", "version.txt" }));
    QCOMPARE(files(root["d"]), QStringList { "old.dll" });
    QCOMPARE(files(root["n"]), QStringList { "plugins/new.dll" });

    // The updater fetches each file as base + "/" + relative path.
    for (const QString& file : files(root["u"]) + files(root["n"])) {
        QByteArray data;
        const std::string url = base + "/" + file.toStdString();
        QVERIFY(UploadManager::instance()->downloadFile(url.c_str(), data));
        QFile expected(dir.filePath(QStringLiteral("releases/1.0.4/") + file));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(data, expected.readAll());
    }
    QByteArray untouched("kept");
    QVERIFY(!UploadManager::instance()->downloadFile((base + "/old.dll").c_str(), untouched));
    QCOMPARE(untouched, QByteArray("kept"));

    Json::Value newest;
    QVERIFY(UploadManager::instance()->getVersionDiff(QStringLiteral("1.0.4"), newest));
    QVERIFY(newest.isObject() && newest.empty());
}

void ServerClientTest::versionTextIsDecoded_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QByteArray>("logged"); // as the query reached the server

    QTest::newRow("ampersand-and-hash") << "1.0.3&x=1#y" << QByteArray("version=1.0.3%26x%3D1%23y ");
    QTest::newRow("blank-and-plus") << "1.0 +3" << QByteArray("version=1.0%20%2B3 ");
}

void ServerClientTest::versionTextIsDecoded()
{
    QFETCH(QString, version);
    QFETCH(QByteArray, logged);

    // Such a version names no release, so every file of the newest is listed; the server took
    // the whole text as the version rather than splitting it.
    Json::Value root;
    QVERIFY(UploadManager::instance()->getVersionDiff(version, root));
    QCOMPARE(
        files(root["n"]), (QStringList { "Host.exe", "bin/core.dll", "plugins/new.dll", "version.txt" }));
    QVERIFY(files(root["u"]).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(server.output().contains(logged), 5000);
}

void ServerClientTest::useReport_data()
{
    QTest::addColumn<QString>("computerName");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<int>("useState");

    QTest::newRow("user-name-with-ampersand-and-equals") << "DESK-1"
                                                         << "a&b=c" << 1;
    QTest::newRow("plus-percent-blank") << "my pc"
                                        << "50%+50% d" << 0;
    QTest::newRow("non-ascii") << QString::fromUtf8("Büro-PC") << QString::fromUtf8("张三") << 255;
}

void ServerClientTest::useReport()
{
    QFETCH(QString, computerName);
    QFETCH(QString, userName);
    QFETCH(int, useState);

    Json::Value answer;
    QVERIFY(UploadManager::instance()->useReport(QStringLiteral("00:1A:2B:3C:4D:5E"), QStringLiteral("1.0.3"),
        computerName, userName, std::uint8_t(useState), answer));
    QVERIFY(answer["ok"].asBool());

    const QString database = dir.filePath(QStringLiteral("reports.sqlite"));
    const QList<StoredReport> reports = storedReports(database);
    QVERIFY(!reports.isEmpty());
    const StoredReport& report = reports.last();
    QCOMPARE(report.mac, expectedPseudonym(database, "mac", QStringLiteral("00:1A:2B:3C:4D:5E")));
    QCOMPARE(report.version, QStringLiteral("1.0.3"));
    QCOMPARE(report.computerName, expectedPseudonym(database, "computerName", computerName));
    QCOMPARE(report.userName, expectedPseudonym(database, "userName", userName));
    QCOMPARE(report.useState, useState);
}

void ServerClientTest::productInfoAndAd()
{
    Json::Value info;
    QVERIFY(UploadManager::instance()->getProductInfo(QStringLiteral("1.0.3"), info));
    QCOMPARE(QString::fromStdString(info["version"].asString()), QStringLiteral("1.0.3"));
    QCOMPARE(QString::fromStdString(info["newest"].asString()), QStringLiteral("1.0.4"));

    Json::Value ad;
    QVERIFY(UploadManager::instance()->getProductAd(ad));
    QVERIFY(ad["ads"].isArray());
}

QTEST_GUILESS_MAIN(ServerClientTest)
#include "tst_serverclient.moc"
