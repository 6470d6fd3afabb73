// An update whose files come from nginx, as they do at scale from an ordinary web server or a
// CDN: nginx (Debian's nginx-light) serves the releases folder on a free loopback port with a
// configuration of this test's own, vendor-server announces it with --public-base, and
// vendor-server itself answers only the version request.

#include "e2escene.h"
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

namespace {

QString nginxExecutable()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    return onPath.isEmpty() ? QStandardPaths::findExecutable(
               QStringLiteral("nginx"), { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin") })
                            : onPath;
}

int freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : -1;
}

// nginx in the foreground as one process (no workers, so no user to switch to, whoever runs
// the test), with every path it writes inside `prefix`.
class NginxProcess
{
public:
    ~NginxProcess() { stop(); }

    bool start(const QString& executable, const QString& prefix, const QString& served)
    {
        // The port is free when probed; another program may take it before nginx binds.
        for (int attempt = 0; attempt < 3; ++attempt) {
            listenPort = freeLoopbackPort();
            if (listenPort > 0 && writeConfig(prefix, served) && run(executable, prefix)) {
                return true;
            }
        }
        return false;
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            // SIGQUIT: a graceful stop that finishes the requests under way.
            ::kill(pid_t(process.processId()), SIGQUIT);
            if (!process.waitForFinished(10000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }

    int port() const { return listenPort; }
    QString errors() { return QString::fromUtf8(process.readAllStandardError()); }
    QString accessLogPath() const { return logDir + QStringLiteral("/access.log"); }

private:
    bool writeConfig(const QString& prefix, const QString& served)
    {
        logDir = prefix + QStringLiteral("/logs");
        const QString temp = prefix + QStringLiteral("/temp");
        if (!QDir().mkpath(logDir) || !QDir().mkpath(temp)) {
            return false;
        }
        config = prefix + QStringLiteral("/nginx.conf");
        return writeFile(config,
            QStringLiteral("daemon off;\n"
                           "master_process off;\n"
                           "pid %1/nginx.pid;\n"
                           "error_log %2/error.log;\n"
                           "events { worker_connections 64; }\n"
                           "http {\n"
                           "    access_log %2/access.log;\n"
                           "    client_body_temp_path %3/body;\n"
                           "    proxy_temp_path %3/proxy;\n"
                           "    fastcgi_temp_path %3/fastcgi;\n"
                           "    uwsgi_temp_path %3/uwsgi;\n"
                           "    scgi_temp_path %3/scgi;\n"
                           "    server {\n"
                           "        listen 127.0.0.1:%4;\n"
                           "        root %5;\n"
                           "    }\n"
                           "}\n")
                .arg(prefix, logDir, temp)
                .arg(listenPort)
                .arg(served)
                .toUtf8());
    }

    bool run(const QString& executable, const QString& prefix)
    {
        process.start(executable, { QStringLiteral("-p"), prefix, QStringLiteral("-c"), config });
        if (!process.waitForStarted(5000)) {
            return false;
        }
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, quint16(listenPort));
            if (probe.waitForConnected(200)) {
                return true;
            }
            // Also the pause between probes; true once nginx has exited (a taken port, say).
            if (process.waitForFinished(20) || process.state() == QProcess::NotRunning) {
                return false;
            }
        }
        stop();
        return false;
    }

    QProcess process;
    QString config;
    QString logDir;
    int listenPort = -1;
};

} // namespace

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
    QVERIFY2(web.start(nginx, scene.path(QStringLiteral("nginx")), scene.path(QStringLiteral("releases"))),
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
