// Many installations behind an ordinary HTTP cache: nginx with proxy_cache at the compiled-in
// server address, in front of vendor-server on a port of its own, as the README shows. 1,000
// checks from 10 installed versions on 2 channels reach vendor-server once per (version,
// channel) within the answers' lifetime, every answer still carries its signature, and the
// real update check and Host.exe take what the cache gives them.

#include "answersignature.h"
#include "e2escene.h"
#include "nginxprocess.h"
#include "releasetool.h"
#include "serverconfig.h"
#include "temporarytmpdir.h"
#include "updatecheck.h"
#include "uploadmanager.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTest>
#include <QUrl>

namespace {

constexpr int Versions = 10;
const QStringList Channels = { QStringLiteral("stable"), QStringLiteral("beta") };

QString versionName(int i)
{
    return QStringLiteral("1.0.%1").arg(i);
}

} // namespace

class CacheTest final : public QObject
{
    Q_OBJECT

private slots:
    void answersFromTheCache();
};

void CacheTest::answersFromTheCache()
{
    const QString nginx = nginxExecutable();
    if (nginx.isEmpty()) {
        QSKIP("no nginx executable on PATH, in /usr/sbin or in /usr/local/sbin (Debian: nginx-light)");
    }
    E2eScene scene;
    QVERIFY(scene.isValid());
    for (int i = 0; i < Versions; ++i) {
        Tree release = sampleRelease(versionName(i));
        release.insert(QStringLiteral("a.txt"), "a of " + versionName(i).toUtf8());
        QVERIFY(scene.writeRelease(versionName(i), release));
    }
    // Stable one behind beta, so each channel has versions behind, at and past its own.
    QVERIFY(writeFile(scene.path(QStringLiteral("releases/channels.json")),
        R"({"stable":{"version":"1.0.8"},"beta":{"version":"1.0.9"}})"));
    QVERIFY(scene.signReleases(E2eScene::ownDownloadBase()));

    // vendor-server on a free port, announcing downloads at the cache's address.
    VendorServerProcess origin;
    QVERIFY2(origin.startOn(scene.path(QStringLiteral("releases")),
                 { "--reports", scene.reportsFile(), "--public-base", E2eScene::ownDownloadBase() }),
        origin.errors().constData());
    NginxProcess cache;
    QVERIFY(QDir().mkpath(scene.path(QStringLiteral("nginx"))));
    const QString cacheDir = scene.path(QStringLiteral("nginx/cache"));
    QVERIFY2(cache.start(nginx, scene.path(QStringLiteral("nginx")),
                 QStringLiteral("location / {\n"
                                "            proxy_pass http://127.0.0.1:%1;\n"
                                "            proxy_cache answers;\n"
                                "            proxy_cache_lock on;\n"
                                "            proxy_http_version 1.1;\n"
                                "            proxy_set_header Connection \"\";\n"
                                "        }")
                     .arg(origin.port()),
                 QUrl(QString::fromUtf8(ServerBaseUrl)).port(80),
                 QStringLiteral("proxy_cache_path %1 levels=1 keys_zone=answers:1m inactive=1h;").arg(cacheDir)),
        qPrintable(cache.errors()));

    // 1,000 checks as installations make them, through the host library's own client.
    const QList<QByteArray> testKey = parsePublicKeys(testPublicKey());
    for (int i = 0; i < 1000; ++i) {
        const QString installed = versionName(i % Versions);
        const QString channel = Channels[(i / Versions) % 2];
        QByteArray body;
        QByteArray signature;
        QVERIFY(UploadManager::instance()->getVersionAnswer(installed, channel, body, signature));
        QCOMPARE(checkAnswerSignature(body, signature, testKey), SignatureCheck::Valid);
        const QJsonObject answer = QJsonDocument::fromJson(body).object();
        QCOMPARE(answer["installed"].toString(), installed);
        QCOMPARE(answer["channel"].toString(), channel);
    }

    // Each (version, channel) reached vendor-server once; the cache answered the rest.
    const auto answersReached = [&origin] {
        return loggedTargets(origin.output(), "GET", 200).filter(QStringLiteral("/getVersionDiff?"));
    };
    const QStringList reached = answersReached();
    QCOMPARE(reached.size(), Versions * 2);
    QCOMPARE(QSet<QString>(reached.begin(), reached.end()).size(), Versions * 2);

    // The real update check, verifying in a keyed build, takes the cached answers.
    TemporaryTmpDir tmp;
    QVERIFY(tmp.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + QStringLiteral("/data")));
    for (int i = 0; i < Versions; ++i) {
        for (const QString& channel : Channels) {
            UpdateCheck update;
            update.setChannel(channel);
            update.check(versionName(i));
            const int target = channel == QLatin1String("stable") ? 8 : 9;
            QCOMPARE(update.lastCheck(),
                i < target ? UpdateCheck::CheckResult::Written : UpdateCheck::CheckResult::NothingNewer);
        }
    }
    // Host.exe too: an installation of 1.0.3 on beta is told of 1.0.9.
    QVERIFY(scene.install(versionName(3)));
    const ProcessRun host = scene.runHost({ "check", "0", "--stay", "0", "--channel", "beta" });
    QVERIFY(host.finished);
    QCOMPARE(host.exitCode, 0);
    QVERIFY2(host.out.contains("newer version than 1.0.3 found"), host.out.constData());
    QCOMPARE(readFile(scene.diffFile()).split('\n').value(1), QByteArray("v1.0.3 --> v1.0.9"));
    QVERIFY(scene.waitForUpdaterEnd());

    cache.stop();
    QCOMPARE(answersReached().size(), Versions * 2);
    const QByteArray reports = scene.sanitizerReports();
    QVERIFY2(reports.isEmpty(), reports.constData());
}

QTEST_GUILESS_MAIN(CacheTest)
#include "tst_e2e_cache.moc"
