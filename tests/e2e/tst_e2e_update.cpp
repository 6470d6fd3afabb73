// The whole update with real processes: vendor-server serving releases 1.0.3 and 1.0.4, an
// installation of 1.0.3 holding the real Host.exe and RevisionPusher.exe, and the update
// check started with `Host.exe check MODE --stay 0`, so the host ends at once and the updater
// it starts detached does not wait for it. Every outcome is shown by its effect: the
// installation compared file by file with a release, the version-difference file, the
// working directory, and vendor-server's access log.

#include "e2escene.h"
#include "serverconfig.h"
#include "encode.h"
#include "filehelpers.h"
#include "objectnames.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

#include <memory>

namespace {

const QString Old = QStringLiteral("1.0.3");
const QString New = QStringLiteral("1.0.4");

QStringList check(const char* mode)
{
    return { QStringLiteral("check"), QString::fromLatin1(mode), QStringLiteral("--stay"),
        QStringLiteral("0") };
}

// Sorted: the updater fetches several files at once, so the server logs them in any order.
QStringList releaseTargets(const QStringList& files)
{
    QStringList targets;
    for (const QString& file : files) {
        targets << QStringLiteral("/releases/1.0.4/") + file;
    }
    targets.sort();
    return targets;
}

// The release files of a server log in sorted order, after whatever precedes the first one.
QStringList sortedReleaseTargets(QStringList logged)
{
    const qsizetype first = logged.indexOf(QRegularExpression(QStringLiteral("/releases/.*")));
    if (first >= 0) {
        std::sort(logged.begin() + first, logged.end());
    }
    return logged;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// The files 1.0.4 changes or adds, which the updater fetches, in the order of the file.
const QStringList Fetched
    = { QStringLiteral("data/core.dat"), QStringLiteral("version.txt"), QStringLiteral("plugins/new.dll") };

} // namespace

Q_DECLARE_METATYPE(E2eScene::Signing)

class UpdateFlowTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void demoFlowUpdatesToNewest_data();
    void demoFlowUpdatesToNewest();
    void modeZeroFetchesThenModeOneMergesWithoutRefetching();
    void changedUpdaterIsStagedThenInstalledByNextCheck();
    void missingFileKeepsInstallation_data();
    void missingFileKeepsInstallation();
    void tenthVersionIsNewerThanNinth();
    void answersTrustedAsTheBuildSays_data();
    void objectsTakeTheCheapWay_data();
    void objectsTakeTheCheapWay();
    void answersTrustedAsTheBuildSays();

private:
    // Host.exe check MODE --stay 0 from the installation, then waits for the updater; false
    // when it still runs after a minute.
    bool checkAndWait(const char* mode, ProcessRun& host);
    Tree installation() const { return readTree(scene->installDir()); }
    Tree release(const QString& version) const { return readTree(scene->releaseDir(version)); }

    std::unique_ptr<E2eScene> scene;
};

void UpdateFlowTest::init()
{
    scene = std::make_unique<E2eScene>();
    QVERIFY(scene->isValid());
    QVERIFY(scene->writeRelease(Old, sampleRelease(Old)));
    QVERIFY(scene->writeRelease(New, sampleRelease(New)));
    QVERIFY(scene->install(Old));
}

void UpdateFlowTest::cleanup()
{
    QVERIFY(scene->waitForUpdaterEnd());
    const QByteArray reports = scene->sanitizerReports();
    scene.reset();
    QVERIFY2(reports.isEmpty(), reports.constData());
}

bool UpdateFlowTest::checkAndWait(const char* mode, ProcessRun& host)
{
    host = scene->runHost(check(mode));
    // The host has ended; an updater it started was running by then.
    return scene->waitForUpdaterEnd();
}

void UpdateFlowTest::demoFlowUpdatesToNewest_data()
{
    QTest::addColumn<bool>("hostChanged");
    QTest::newRow("same-host-exe") << false;
    // The host's own executable is replaced once the host has ended.
    QTest::newRow("host-exe-changed") << true;
}

void UpdateFlowTest::demoFlowUpdatesToNewest()
{
    QFETCH(bool, hostChanged);
    QStringList fetched = Fetched;
    if (hostChanged) {
        Tree newer = sampleRelease(New);
        newer[QStringLiteral("Host.exe")] += QByteArray("\nbuild of release 1.0.4\n");
        QVERIFY(scene->writeRelease(New, newer));
        fetched.prepend(QStringLiteral("Host.exe"));
    }
    QVERIFY(scene->startServer());
    ProcessRun host;
    QVERIFY(checkAndWait("1", host));
    QVERIFY(host.finished);
    QCOMPARE(host.exitCode, 0);
    QCOMPARE(host.out,
        "newer version than 1.0.3 found: " + scene->diffFile().toUtf8()
            + "\nupdater started in mode 1\nending in 0 s\n");

    const QString difference = treeDifference(installation(), release(New));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(!QFileInfo::exists(scene->diffFile()));
    // Fetched copies are gone with it; nothing is left behind in the working directory.
    QCOMPARE(readTree(scene->workDir()).keys(), QStringList());
    // The updater merged as mode 1 says, once the host had ended.
    QVERIFY(readFile(host.errPath).contains("exe  finished,  merge  right now !\n"));

    const QByteArray log = scene->server().output();
    QCOMPARE(sortedReleaseTargets(loggedTargets(log, "GET", 200)),
        QStringList { QStringLiteral("/prod/Orbisnap/getVersionDiff?version=1.0.3") }
            + releaseTargets(fetched));

    // The installed host runs and is 1.0.4 now: nothing newer to find.
    ProcessRun again;
    QVERIFY(checkAndWait("1", again));
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.startsWith("no newer version than 1.0.4\nupdater not started: nothing to update\n"),
        again.out.constData());
}

void UpdateFlowTest::modeZeroFetchesThenModeOneMergesWithoutRefetching()
{
    QVERIFY(scene->startServer());
    ProcessRun host;
    QVERIFY(checkAndWait("0", host));
    QVERIFY(host.finished);
    QCOMPARE(host.exitCode, 0);
    QVERIFY(host.out.endsWith("updater started in mode 0\nrunning on for 0 s\n"));
    QVERIFY(readFile(host.errPath).contains("exe  started,  merge  delay ...\n"));

    // Fetched, not merged: the installation is still 1.0.3, the file records every fetch.
    QString difference = treeDifference(installation(), release(Old));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(readFile(scene->diffFile()), sampleDiffFile(E2eScene::ownDownloadBase() + "/1.0.4", Fetched));
    Tree fetched;
    for (const QString& file : Fetched) {
        fetched.insert(file, release(New).value(file));
    }
    fetched.insert(QStringLiteral("version_diff.txt"), readFile(scene->diffFile()));
    difference = treeDifference(readTree(scene->workDir()), fetched);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    const QByteArray logAfterFetch = scene->server().output();
    QCOMPARE(sortedReleaseTargets(loggedTargets(logAfterFetch, "GET", 200).filter(QStringLiteral("/releases/"))),
        releaseTargets(Fetched));

    // A host ending later launches the updater in mode 1 on the file as it is; a new check
    // would write the file afresh with every state 0.
    const ProcessRun updater = scene->runUpdater({ QStringLiteral("Host.exe"), QStringLiteral("1") });
    QVERIFY(updater.finished);
    QCOMPARE(updater.exitCode, 0);
    const QByteArray updaterErr = readFile(updater.errPath);
    QVERIFY(updaterErr.contains("exe  finished,  merge  right now !\n"));
    QVERIFY2(!updaterErr.contains("downloading"), updaterErr.constData());

    difference = treeDifference(installation(), release(New));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(!QFileInfo::exists(scene->diffFile()));
    QCOMPARE(readTree(scene->workDir()).keys(), QStringList());
    // Not one request more: each file was downloaded once, by the first run.
    QCOMPARE(scene->server().output(), logAfterFetch);
}

void UpdateFlowTest::changedUpdaterIsStagedThenInstalledByNextCheck()
{
    const QString updaterPath = QStringLiteral("RevisionPusher.exe");
    Tree newer = sampleRelease(New);
    // Still a working executable: bytes after the ELF image are never loaded.
    newer[updaterPath] += QByteArray("\nbuild of release 1.0.4\n");
    QVERIFY(scene->writeRelease(New, newer));
    QVERIFY(scene->startServer());

    ProcessRun first;
    QVERIFY(checkAndWait("1", first));
    QVERIFY(first.finished);
    QCOMPARE(first.exitCode, 0);
    // Everything is in place but the updater itself, which waits in the working directory.
    Tree expected = release(New);
    expected[updaterPath] = release(Old).value(updaterPath);
    QString difference = treeDifference(installation(), expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(!QFileInfo::exists(scene->diffFile()));
    QCOMPARE(readTree(scene->workDir()), (Tree { { updaterPath, newer.value(updaterPath) } }));
    QCOMPARE(loggedTargets(scene->server().output(), "GET", 200)
                 .count(QStringLiteral("/releases/1.0.4/RevisionPusher.exe")),
        1);

    // The next check finds nothing newer and installs the staged updater all the same.
    ProcessRun next;
    QVERIFY(checkAndWait("1", next));
    QVERIFY(next.finished);
    QCOMPARE(next.exitCode, 0);
    QCOMPARE(next.out,
        QByteArray("no newer version than 1.0.4\nupdater not started: nothing to update\nending in 0 s\n"));
    difference = treeDifference(installation(), release(New));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(readTree(scene->workDir()).keys(), QStringList());

    // The installed copy is the new updater and runs: without arguments it prints its usage.
    const ProcessRun usage = scene->runUpdater({});
    QVERIFY(usage.finished);
    QCOMPARE(usage.exitCode, 0);
    QVERIFY(readFile(usage.errPath).contains("param error ! \n  ThisApp  RevisionPusher.exe  1 "));
}

void UpdateFlowTest::missingFileKeepsInstallation_data()
{
    QTest::addColumn<QString>("missing");
    QTest::newRow("new-file-404") << QStringLiteral("plugins/new.dll");
    QTest::newRow("changed-file-404") << QStringLiteral("data/core.dat");
}

void UpdateFlowTest::missingFileKeepsInstallation()
{
    QFETCH(QString, missing);
    QVERIFY(scene->startServer());
    // The server listed the file at start-up; taken away now, it answers 404.
    const QString missingPath = scene->releaseDir(New) + QLatin1Char('/') + missing;
    const QByteArray missingBytes = readFile(missingPath);
    QVERIFY(QFile::remove(missingPath));

    ProcessRun host;
    QVERIFY(checkAndWait("1", host));
    QVERIFY(host.finished);
    QCOMPARE(host.exitCode, 0);
    QString difference = treeDifference(installation(), release(Old));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QStringList fetched = Fetched;
    fetched.removeOne(missing);
    const QByteArray keptStates = sampleDiffFile(E2eScene::ownDownloadBase() + "/1.0.4", fetched);
    QCOMPARE(readFile(scene->diffFile()), keptStates);
    QVERIFY(readFile(host.errPath)
                .contains("merge: " + missing.toUtf8() + " is not downloaded, nothing installed\n"));
    const QByteArray log = scene->server().output();
    QCOMPARE(loggedTargets(log, "GET", 404), releaseTargets({ missing }));
    QCOMPARE(sortedReleaseTargets(loggedTargets(log, "GET", 200).filter(QStringLiteral("/releases/"))),
        releaseTargets(fetched));

    // With the file back, the next run fetches only what the kept states say is missing.
    QVERIFY(writeFile(missingPath, missingBytes));
    const ProcessRun updater = scene->runUpdater({ QStringLiteral("Host.exe"), QStringLiteral("1") });
    QVERIFY(updater.finished);
    difference = treeDifference(installation(), release(New));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(!QFileInfo::exists(scene->diffFile()));
    QCOMPARE(sorted(loggedTargets(scene->server().output(), "GET", 200).filter(QStringLiteral("/releases/"))),
        sorted(releaseTargets(fetched) + releaseTargets({ missing })));
}

void UpdateFlowTest::tenthVersionIsNewerThanNinth()
{
    // Server, update check and updater must agree that 1.0.10 follows 1.0.9, which a
    // comparison byte by byte would deny.
    Tree ninth = sampleRelease(Old);
    ninth[QStringLiteral("version.txt")] = "1.0.9\n";
    Tree tenth = sampleRelease(New);
    tenth[QStringLiteral("version.txt")] = "1.0.10\n";
    QVERIFY(scene->writeRelease(QStringLiteral("1.0.9"), ninth));
    QVERIFY(scene->writeRelease(QStringLiteral("1.0.10"), tenth));
    QVERIFY(QDir(scene->installDir()).removeRecursively());
    QVERIFY(scene->install(QStringLiteral("1.0.9")));
    QVERIFY(scene->startServer());

    ProcessRun host;
    QVERIFY(checkAndWait("1", host));
    QCOMPARE(host.exitCode, 0);
    QVERIFY2(host.out.startsWith("newer version than 1.0.9 found: "), host.out.constData());
    QVERIFY(readFile(host.errPath).contains("upgrade: v1.0.9 --> v1.0.10\n"));
    const QString difference = treeDifference(installation(), tenth);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QVERIFY(!QFileInfo::exists(scene->diffFile()));
}

void UpdateFlowTest::answersTrustedAsTheBuildSays_data()
{
    QTest::addColumn<E2eScene::Signing>("signing");
    QTest::newRow("unsigned") << E2eScene::Signing::Unsigned;
    QTest::newRow("signed-by-an-impostor") << E2eScene::Signing::OtherKey;
}

// A build that trusts release keys installs nothing from an answer the vendor did not sign;
// one that trusts none updates from whatever the server answers.
void UpdateFlowTest::answersTrustedAsTheBuildSays()
{
    QFETCH(E2eScene::Signing, signing);
    QVERIFY(scene->startServer({}, signing));
    ProcessRun host;
    QVERIFY(checkAndWait("1", host));
    QVERIFY(host.finished);
    if (ReleaseKeysCompiledIn) {
        QCOMPARE(host.exitCode, 1);
        const QByteArray why = signing == E2eScene::Signing::Unsigned
            ? "update check refused: \"answer\" the answer is not signed \n"
            : "update check refused: \"answer\" the signature is not by a trusted key (or the answer was altered) \n";
        QVERIFY2(readFile(host.errPath).startsWith(why), readFile(host.errPath).constData());
        QVERIFY(!QFileInfo::exists(scene->diffFile()));
        const QString difference = treeDifference(installation(), release(Old));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QCOMPARE(loggedTargets(scene->server().output(), "GET", 200).filter(QStringLiteral("/releases/")), QStringList());
    } else {
        QCOMPARE(host.exitCode, 0);
        const QString difference = treeDifference(installation(), release(New));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
}

void UpdateFlowTest::objectsTakeTheCheapWay_data()
{
    QTest::addColumn<bool>("olderUpdater");
    QTest::newRow("patch-compressed-copy-and-whole-files") << false;
    // A host and updater that know no objects: the file without their words, as such a host
    // writes it, against the same server.
    QTest::newRow("older-updater-whole-files") << true;
}

// Releases with objects beside them, made as `orbisnap-release pack` makes them (for the two
// files that need them; packing the programs takes longer than the whole test): data/big.dat,
// changed in 1.0.4, comes as a patch from the installed one, plugins/big.dll, new, as its
// compressed copy, the small files, whose objects would be no smaller, whole. An updater that
// ignores the objects fetches every file whole from the same server. Either way the
// installation becomes 1.0.4.
void UpdateFlowTest::objectsTakeTheCheapWay()
{
    QFETCH(bool, olderUpdater);
    QByteArray oldBig(128 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < oldBig.size(); ++i) {
        oldBig[i] = char((i * 7919) % 251 ^ (i >> 9));
    }
    const QByteArray newBig = QByteArray(oldBig).replace(4096, 7, "changed") + "appended in 1.0.4";
    const QByteArray plugin = QByteArray("a plugin that compresses well ").repeated(2000);
    Tree older = sampleRelease(Old);
    older[QStringLiteral("data/big.dat")] = oldBig;
    Tree newer = sampleRelease(New);
    newer[QStringLiteral("data/big.dat")] = newBig;
    newer[QStringLiteral("plugins/big.dll")] = plugin;
    QVERIFY(scene->writeRelease(Old, older));
    QVERIFY(scene->writeRelease(New, newer));
    QVERIFY(writeFile(scene->installed(QStringLiteral("data/big.dat")), oldBig));
    const auto hex = [](const QByteArray& bytes) {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
    };
    const QString objects = scene->path(QStringLiteral("releases/objects"));
    QVERIFY(QDir().mkpath(objects));
    std::vector<std::uint8_t> object;
    std::string error;
    QVERIFY2(delta::makePatch(nativePath(scene->releaseDir(Old) + "/data/big.dat"),
                 nativePath(scene->releaseDir(New) + "/data/big.dat"), object, error),
        error.c_str());
    QVERIFY(writeFile(objects + '/' + QString::fromStdString(delta::patchName(hex(oldBig), hex(newBig))),
        QByteArray(reinterpret_cast<const char*>(object.data()), qsizetype(object.size()))));
    QVERIFY2(delta::makeCompressedCopy(nativePath(scene->releaseDir(New) + "/plugins/big.dll"), object, error),
        error.c_str());
    QVERIFY(writeFile(objects + '/' + QString::fromStdString(delta::objectName(hex(plugin))),
        QByteArray(reinterpret_cast<const char*>(object.data()), qsizetype(object.size()))));
    QVERIFY(scene->startServer());

    QByteArray updaterErr;
    QStringList whole = Fetched;
    if (olderUpdater) {
        QByteArray file = sampleDiffFile(E2eScene::ownDownloadBase() + "/1.0.4", {});
        for (const char* path : { "data/big.dat", "plugins/big.dll" }) {
            const QByteArray bytes = newer.value(QLatin1String(path));
            file += QByteArray(path == QByteArrayView("data/big.dat") ? "0 [Changed] : " : "0 [Add] : ") + path + ' '
                + QByteArray::number(bytes.size()) + ' ' + QByteArray::fromStdString(hex(bytes)) + '\n';
            whole << QLatin1String(path);
        }
        QVERIFY(QDir().mkpath(scene->workDir()));
        QVERIFY(writeFile(scene->diffFile(), file));
        const ProcessRun updater = scene->runUpdater({ QStringLiteral("Host.exe"), QStringLiteral("1") });
        QVERIFY(updater.finished);
        QCOMPARE(updater.exitCode, 0);
        updaterErr = readFile(updater.errPath);
    } else {
        ProcessRun host;
        QVERIFY(checkAndWait("1", host));
        QCOMPARE(host.exitCode, 0);
        updaterErr = readFile(host.errPath);
    }
    const QString difference = treeDifference(installation(), release(New));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(readTree(scene->workDir()).keys(), QStringList());

    const QStringList fetched
        = loggedTargets(scene->server().output(), "GET", 200).filter(QStringLiteral("/releases/"));
    const QStringList objectsFetched = sorted(fetched.filter(QStringLiteral("/releases/objects/")));
    if (olderUpdater) {
        QCOMPARE(objectsFetched, QStringList());
        QVERIFY2(!updaterErr.contains("fetched by"), updaterErr.constData());
    } else {
        QCOMPARE(objectsFetched,
            sorted({ "/releases/objects/" + QString::fromStdString(delta::patchName(hex(oldBig), hex(newBig))),
                "/releases/objects/" + QString::fromStdString(delta::objectName(hex(plugin))) }));
        QVERIFY2(updaterErr.contains("fetched by patch: data/big.dat"), updaterErr.constData());
        QVERIFY2(updaterErr.contains("fetched by compressed copy: plugins/big.dll"), updaterErr.constData());
        QVERIFY2(!updaterErr.contains("not used"), updaterErr.constData());
    }
    QCOMPARE(sorted(fetched.filter(QStringLiteral("/releases/1.0.4/"))), releaseTargets(whole));
}

QTEST_GUILESS_MAIN(UpdateFlowTest)
#include "tst_e2e_update.moc"
