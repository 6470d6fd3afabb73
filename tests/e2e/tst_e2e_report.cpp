// A usage report end to end: `Host.exe report STATE` from an installation of 1.0.3, with the
// user's name taken from USER, sent to vendor-server at the compiled-in address and stored in
// its reports database, the names as pseudonyms. Names that hold the form's own characters must arrive as
// they are, not as extra or altered fields.

#include "e2escene.h"
#include "reportsdatabase.h"
#include "testfiles.h"

#include <QSysInfo>
#include <QTest>

#include <memory>

class UsageReportTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void userNameStoredExactly_data();
    void userNameStoredExactly();

private:
    std::unique_ptr<E2eScene> scene;
};

void UsageReportTest::init()
{
    scene = std::make_unique<E2eScene>();
    QVERIFY(scene->isValid());
    QVERIFY(scene->writeRelease(QStringLiteral("1.0.3"), sampleRelease(QStringLiteral("1.0.3"))));
    QVERIFY(scene->install(QStringLiteral("1.0.3")));
    QVERIFY(scene->startServer());
}

void UsageReportTest::cleanup()
{
    const QByteArray reports = scene->sanitizerReports();
    scene.reset();
    QVERIFY2(reports.isEmpty(), reports.constData());
}

void UsageReportTest::userNameStoredExactly_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("state");
    QTest::newRow("ampersand-and-equals") << QStringLiteral("Ann&Bob=team") << QStringLiteral("1");
    // Unescaped, this would end the name and repeat useState, which the server refuses.
    QTest::newRow("forged-field") << QStringLiteral("eve&useState=7") << QStringLiteral("2");
    QTest::newRow("plus-percent-blank") << QStringLiteral("a+b %41 c%") << QStringLiteral("0");
    QTest::newRow("non-ascii") << QStringLiteral("Zoë 张三") << QStringLiteral("255");
}

void UsageReportTest::userNameStoredExactly()
{
    QFETCH(QString, user);
    QFETCH(QString, state);
    scene->setUser(user);
    const ProcessRun host = scene->runHost({ QStringLiteral("report"), state });
    QVERIFY(host.finished);
    QCOMPARE(host.exitCode, 0);
    QVERIFY2(host.out.contains(", user " + user.toUtf8() + ", MAC "), host.out.constData());

    const QList<StoredReport> reports = storedReports(scene->reportsFile());
    QCOMPARE(reports.size(), 1);
    const StoredReport& report = reports.at(0);
    QCOMPARE(report.userName, expectedPseudonym(scene->reportsFile(), "userName", user));
    QCOMPARE(report.useState, state.toInt());
    QCOMPARE(report.version, QStringLiteral("1.0.3"));
    QCOMPARE(report.computerName,
        expectedPseudonym(scene->reportsFile(), "computerName", QSysInfo::machineHostName()));
    QCOMPARE(report.mac.size(), 64);
    QCOMPARE(loggedTargets(scene->server().output(), "POST", 200),
        QStringList { QStringLiteral("/prod/Orbisnap/useReport?") });
}

QTEST_GUILESS_MAIN(UsageReportTest)
#include "tst_e2e_report.moc"
