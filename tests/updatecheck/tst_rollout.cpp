// Channels and staged rollouts as an installation sees them: the real update check against
// the real vendor-server at the compiled-in address, with answers signed by the test key in a
// build that trusts it and computed ones otherwise. A rollout whose start is past, future or
// half-way; many fresh installations, whose share taking a half-way release must be near one
// half; a halt; a nearly expired answer; and the installation's fraction kept, or drawn again
// when its file is garbled.

#include "debuglog.h"
#include "filehelpers.h"
#include "releasetool.h"
#include "rolloutfraction.h"
#include "serverconfig.h"
#include "temporarytmpdir.h"
#include "testfiles.h"
#include "updatecheck.h"
#include "vendorserverprocess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(UpdateCheck::CheckResult)

namespace {

const QMap<QString, QByteArray> Releases = {
    { "releases/1.0.3/a.txt", "a of 1.0.3\n" },
    { "releases/1.0.4/a.txt", "a of 1.0.4\n" },
    { "releases/1.1.0/a.txt", "a of 1.1.0\n" },
};

QString utc(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

// channels.json with beta at 1.1.0, rolled out over `days` from `start`.
QByteArray channelsWithRollout(const QDateTime& start, int days)
{
    return R"({"stable":{"version":"1.0.4"},"beta":{"version":"1.1.0","rollout":{"start":")" + utc(start).toUtf8()
        + R"(","days":)" + QByteArray::number(days) + "}}}";
}

} // namespace

class RolloutTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void channelAndRollout_data();
    void channelAndRollout();
    void freshInstallationsShare();
    void halt();
    void nearlyExpiredAnswerTaken();
    void fractionKept();
    void garbledFractionDrawnAgain_data();
    void garbledFractionDrawnAgain();

private:
    bool serve(const QByteArray& channels, const QStringList& signOptions = {});
    QString diffPath() const
    {
        return tempRoot->path() + QLatin1Char('/') + ownWorkDirName() + QStringLiteral("/version_diff.txt");
    }
    // The update check keeps it under the executable's name, here the test's.
    QString checkFractionFile() const { return rolloutFractionPath(executableFileName()); }
    QString fractionFile() const { return rolloutFractionPath(QStringLiteral("Host")); }

    std::unique_ptr<TemporaryTmpDir> tempRoot;
    std::unique_ptr<VendorServerProcess> server;
};

void RolloutTest::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("Host"));
}

void RolloutTest::init()
{
    tempRoot = std::make_unique<TemporaryTmpDir>();
    QVERIFY(tempRoot->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(tempRoot->path() + QStringLiteral("/data")));
    QVERIFY(makeTree(tempRoot->path(), Releases));
}

void RolloutTest::cleanup()
{
    server.reset();
    tempRoot.reset();
}

// Writes channels.json, signs when this build verifies, and starts vendor-server at the
// compiled-in address.
bool RolloutTest::serve(const QByteArray& channels, const QStringList& signOptions)
{
    const QString releases = tempRoot->path() + QStringLiteral("/releases");
    if (!writeFile(releases + QStringLiteral("/channels.json"), channels)) {
        return false;
    }
    if (ReleaseKeysCompiledIn) {
        const ToolRun run = runReleaseTool(
            QStringList { "sign", "--releases", releases, "--secret", testSecretKeyFile() } + signOptions);
        if (run.exitCode != 0) {
            qWarning("%s", run.err.constData());
            return false;
        }
    }
    server = std::make_unique<VendorServerProcess>();
    const QDeadlineTimer deadline(30000);
    while (!server->start({ "--releases", releases, "--reports", tempRoot->path() + "/reports.jsonl" })) {
        // Other test runs on this machine may hold the compiled-in port for a moment.
        if (!server->errors().contains("the port is taken") || deadline.hasExpired()) {
            qWarning("%s", server->errors().constData());
            return false;
        }
        QTest::qWait(200);
    }
    return true;
}

void RolloutTest::channelAndRollout_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("startHoursFromNow");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<UpdateCheck::CheckResult>("result");
    QTest::addColumn<QString>("versionLine"); // of the file; empty: none written
    QTest::addColumn<bool>("saysWhen");

    using R = UpdateCheck::CheckResult;
    QTest::newRow("stable-ignores-beta") << "stable" << -1000 << "1.0.3" << R::Written << "v1.0.3 --> v1.0.4" << false;
    QTest::newRow("beta-rollout-over") << "beta" << -24 * 8 << "1.0.3" << R::Written << "v1.0.3 --> v1.1.0" << false;
    QTest::newRow("beta-rollout-to-come") << "beta" << 5 << "1.0.3" << R::NothingNewer << "" << true;
    QTest::newRow("beta-from-stable-to-come") << "beta" << 5 << "1.0.4" << R::NothingNewer << "" << true;
    QTest::newRow("beta-up-to-date") << "beta" << 5 << "1.1.0" << R::NothingNewer << "" << false;
    // The installation went back to stable: 1.0.4 is older, which takes nothing back.
    QTest::newRow("stable-behind-the-installation") << "stable" << -1000 << "1.1.0" << R::NothingNewer << "" << false;
    QTest::newRow("unknown-channel") << "nightly" << -1000 << "1.0.3" << R::ServerFailed << "" << false;
}

void RolloutTest::channelAndRollout()
{
    QFETCH(QString, channel);
    QFETCH(int, startHoursFromNow);
    QFETCH(QString, installed);
    QFETCH(UpdateCheck::CheckResult, result);
    QFETCH(QString, versionLine);
    QFETCH(bool, saysWhen);

    QVERIFY(serve(channelsWithRollout(QDateTime::currentDateTimeUtc().addSecs(startHoursFromNow * 3600), 7)));
    UpdateCheck update;
    update.setChannel(channel);
    DebugLog log;
    update.check(installed);
    QCOMPARE(update.lastCheck(), result);
    QCOMPARE(update.isUpdateAvailable(), !versionLine.isEmpty());
    if (versionLine.isEmpty()) {
        QVERIFY(!QFile::exists(diffPath()));
    } else {
        QCOMPARE(readFile(diffPath()).split('\n').value(1), versionLine.toUtf8());
    }
    const QStringList lines = log.lines().filter(QStringLiteral("staged rollout"));
    QCOMPARE(lines.size(), saysWhen ? 1 : 0);
    if (saysWhen) {
        QVERIFY2(lines[0].startsWith(QStringLiteral("update check: staged rollout, version \"1.1.0\" offered to "
                                                    "this installation from ")),
            qPrintable(lines[0]));
    }
    QCOMPARE(QFile::exists(checkFractionFile()), saysWhen || (channel == "beta" && result == UpdateCheck::CheckResult::Written));
}

// 200 installations, each with a fraction of its own, check a 7-day rollout that started 3.5
// days ago: about half take the release. With 200 draws the count's standard deviation is
// about 7; 100 +- 40 fails a correct draw with a chance near 1 in 10^8.
void RolloutTest::freshInstallationsShare()
{
    QVERIFY(serve(channelsWithRollout(QDateTime::currentDateTimeUtc().addSecs(-84 * 3600), 7)));
    int taking = 0;
    constexpr int Installations = 200;
    for (int i = 0; i < Installations; ++i) {
        // A fresh installation: no fraction drawn yet.
        QFile::remove(checkFractionFile());
        UpdateCheck update;
        update.setChannel(QStringLiteral("beta"));
        DebugLog quiet;
        update.check(QStringLiteral("1.0.3"));
        QVERIFY(update.lastCheck() == UpdateCheck::CheckResult::Written
            || update.lastCheck() == UpdateCheck::CheckResult::NothingNewer);
        taking += update.lastCheck() == UpdateCheck::CheckResult::Written ? 1 : 0;
    }
    QVERIFY2(taking > 60 && taking < 140, qPrintable(QString::number(taking)));
}

// Beta is set back to 1.0.4 while the rollout of 1.1.0 is under way: an installation that
// had not taken it is offered 1.0.4 (or nothing), never 1.1.0; one that took it stays.
void RolloutTest::halt()
{
    const QByteArray halted = R"({"stable":{"version":"1.0.4"},"beta":{"version":"1.0.4"}})";
    QVERIFY(serve(halted));
    UpdateCheck waiting;
    waiting.setChannel(QStringLiteral("beta"));
    waiting.check(QStringLiteral("1.0.3"));
    QCOMPARE(waiting.lastCheck(), UpdateCheck::CheckResult::Written);
    QCOMPARE(readFile(diffPath()).split('\n').value(1), QByteArray("v1.0.3 --> v1.0.4"));
    QVERIFY(QFile::remove(diffPath()));

    UpdateCheck took;
    took.setChannel(QStringLiteral("beta"));
    took.check(QStringLiteral("1.1.0"));
    QCOMPARE(took.lastCheck(), UpdateCheck::CheckResult::NothingNewer);
    QVERIFY(!QFile::exists(diffPath()));
}

// An answer a day from its expiry is still valid; the server warns about it.
void RolloutTest::nearlyExpiredAnswerTaken()
{
    if (!ReleaseKeysCompiledIn) {
        QSKIP("answers expire only when signed: run in the keyed build");
    }
    QVERIFY(serve(channelsWithRollout(QDateTime::currentDateTimeUtc(), 7),
        { "--issued", utc(QDateTime::currentDateTimeUtc().addDays(-29)), "--expires-in", "30" }));
    QVERIFY2(server->errors().contains("warning: the signed answers expire at "), server->errors().constData());
    UpdateCheck update;
    DebugLog log;
    update.check(QStringLiteral("1.0.3"));
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);
    QCOMPARE(log.lines(), QStringList());
}

// Drawn once, then read back as it is, by this process and by any later one.
void RolloutTest::fractionKept()
{
    const double first = installationRolloutFraction(QStringLiteral("Host"));
    QVERIFY(first >= 0.0 && first < 1.0);
    const QByteArray kept = readFile(fractionFile());
    QCOMPARE(kept.trimmed().toDouble(), first);
    for (int i = 0; i < 3; ++i) {
        DebugLog log;
        QCOMPARE(installationRolloutFraction(QStringLiteral("Host")), first);
        QCOMPARE(log.lines(), QStringList());
    }
    QCOMPARE(readFile(fractionFile()), kept);
    // Another host on the same machine draws its own.
    installationRolloutFraction(QStringLiteral("Other"));
    QVERIFY(QFile::exists(rolloutFractionPath(QStringLiteral("Other"))));
}

void RolloutTest::garbledFractionDrawnAgain_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("words") << QByteArray("half\n");
    QTest::newRow("one") << QByteArray("1\n");
    QTest::newRow("negative") << QByteArray("-0.25\n");
    QTest::newRow("not-a-number") << QByteArray("nan\n");
    QTest::newRow("binary") << QByteArray("\x00\xff\x13", 3);
}

// A garbled file is drawn again and rewritten, with one message naming it; the new fraction
// is then kept as any other.
void RolloutTest::garbledFractionDrawnAgain()
{
    QFETCH(QByteArray, content);
    QVERIFY(QDir().mkpath(QFileInfo(fractionFile()).absolutePath()));
    QVERIFY(writeFile(fractionFile(), content));
    DebugLog log;
    const double fraction = installationRolloutFraction(QStringLiteral("Host"));
    QVERIFY(fraction >= 0.0 && fraction < 1.0);
    QCOMPARE(log.lines(),
        QStringList { QStringLiteral("rollout fraction unreadable, drawn again: \"%1\" ").arg(fractionFile()) });
    QCOMPARE(readFile(fractionFile()).trimmed().toDouble(), fraction);
    DebugLog later;
    QCOMPARE(installationRolloutFraction(QStringLiteral("Host")), fraction);
    QCOMPARE(later.lines(), QStringList());
}

QTEST_GUILESS_MAIN(RolloutTest)
#include "tst_rollout.moc"
