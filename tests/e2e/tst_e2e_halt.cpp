// A release halted by returns, end to end: vendor-server at the compiled-in address offers
// 1.0.4 on stable with "halt": {"returns": 2}; two installations report their return from
// it; Host.exe on 1.0.3 then checks and finds nothing newer (in a keyed build, by the signed
// answer made for 1.0.3), writes no version-difference file and keeps its files.

#include "e2escene.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

#include <memory>

class HaltFlowTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void haltedReleaseNotTaken();

private:
    std::unique_ptr<E2eScene> scene;
};

void HaltFlowTest::init()
{
    scene = std::make_unique<E2eScene>();
    QVERIFY(scene->isValid());
    for (const QString& version : { QStringLiteral("1.0.3"), QStringLiteral("1.0.4") }) {
        QVERIFY(scene->writeRelease(version, sampleRelease(version)));
    }
    QVERIFY(writeFile(scene->path(QStringLiteral("releases/channels.json")),
        R"({"stable":{"version":"1.0.4","halt":{"returns":2}}})"));
    QVERIFY(scene->install(QStringLiteral("1.0.3")));
    QVERIFY(scene->startServer());
}

void HaltFlowTest::cleanup()
{
    QVERIFY(scene->waitForUpdaterEnd());
    const QByteArray reports = scene->sanitizerReports();
    scene.reset();
    QVERIFY2(reports.isEmpty(), reports.constData());
}

void HaltFlowTest::haltedReleaseNotTaken()
{
    const int port = scene->server().port();
    const auto answer = [port] {
        return rawRequest(port, "GET", "/prod/Orbisnap/getVersionDiff?version=1.0.3").body;
    };
    const QByteArray offered = answer();
    QVERIFY2(offered.contains(R"("version":"1.0.4")"), offered.constData());
    for (const QByteArray mac : { "aa", "bb" }) {
        const RawReply reply = rawRequest(port, "POST", "/prod/Orbisnap/useReport?",
            "mac=" + mac + "&version=1.0.3&computerName=pc&userName=u&useState=4&returnedFrom=1.0.4",
            "application/x-www-form-urlencoded");
        QCOMPARE(reply.status, 200);
    }
    QDeadlineTimer deadline(10000);
    while (answer() == offered && !deadline.hasExpired()) {
        QTest::qWait(50);
    }
    QVERIFY(answer() != offered);

    const Tree before = readTree(scene->installDir());
    const ProcessRun host = scene->runHost({ QStringLiteral("check"), QStringLiteral("2") });
    QVERIFY(host.finished);
    QVERIFY2(host.out.contains("no newer version than 1.0.3"), host.out.constData());
    QVERIFY(scene->waitForUpdaterEnd());
    QVERIFY(!QFile::exists(scene->diffFile()));
    QCOMPARE(treeDifference(readTree(scene->installDir()), before), QString());
}

QTEST_GUILESS_MAIN(HaltFlowTest)
#include "tst_e2e_halt.moc"
