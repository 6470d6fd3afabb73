// An update whose files come from nginx, as they do at scale from an ordinary web server or a
// CDN: nginx (Debian's nginx-light) serves the releases folder on a free loopback port with a
// configuration of this test's own, vendor-server announces it with --public-base, and
// vendor-server itself answers only the version request.

#include "e2escene.h"
#include "nginxprocess.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <memory>

class NginxDownloadTest final : public QObject
{
    Q_OBJECT

private slots:
    void filesComeFromNginx();
};

void NginxDownloadTest::filesComeFromNginx()
{
    const QString nginx = nginxExecutable();
    if (nginx.isEmpty()) {
        QSKIP("no nginx executable on PATH, in /usr/sbin or in /usr/local/sbin (Debian: nginx-light)");
    }
    E2eScene scene;
    QVERIFY(scene.isValid());
    QVERIFY(scene.writeRelease(QStringLiteral("1.0.3"), sampleRelease(QStringLiteral("1.0.3"))));
    QVERIFY(scene.writeRelease(QStringLiteral("1.0.4"), sampleRelease(QStringLiteral("1.0.4"))));
    QVERIFY(scene.install(QStringLiteral("1.0.3")));

    NginxProcess web;
    QVERIFY(QDir().mkpath(scene.path(QStringLiteral("nginx"))));
    QVERIFY2(web.start(nginx, scene.path(QStringLiteral("nginx")),
                 QStringLiteral("root %1;").arg(scene.path(QStringLiteral("releases")))),
        qPrintable(web.errors()));
    const QString publicBase = QStringLiteral("http://127.0.0.1:%1").arg(web.port());
    QVERIFY(scene.startServer({ QStringLiteral("--public-base"), publicBase }));

    const ProcessRun host = scene.runHost(
        { QStringLiteral("check"), QStringLiteral("1"), QStringLiteral("--stay"), QStringLiteral("0") });
    QVERIFY(host.finished);
    QCOMPARE(host.exitCode, 0);
    QVERIFY(scene.waitForUpdaterEnd());

    const QString difference
        = treeDifference(readTree(scene.installDir()), readTree(scene.releaseDir(QStringLiteral("1.0.4"))));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(!QFileInfo::exists(scene.diffFile()));
    QCOMPARE(readTree(scene.workDir()).keys(), QStringList());

    // Every download went to nginx, in the order of the file; vendor-server served none.
    web.stop();
    QCOMPARE(loggedTargets(readFile(web.accessLogPath()), "GET", 200),
        (QStringList { QStringLiteral("/1.0.4/data/core.dat"), QStringLiteral("/1.0.4/version.txt"),
            QStringLiteral("/1.0.4/plugins/new.dll") }));
    QCOMPARE(loggedTargets(scene.server().output(), "GET", 200),
        QStringList { QStringLiteral("/prod/Orbisnap/getVersionDiff?version=1.0.3") });

    const QByteArray reports = scene.sanitizerReports();
    QVERIFY2(reports.isEmpty(), reports.constData());
}

QTEST_GUILESS_MAIN(NginxDownloadTest)
#include "tst_e2e_nginx.moc"
