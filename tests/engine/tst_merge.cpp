// The merge into place: the four modes with a real host process, the skip of the updater's
// own executable, and the all-or-nothing install, whose failures leave the installation and
// the working directory byte for byte as they were.

#include "download.h"
#include "enginetestutil.h"
#include "filehelpers.h"
#include "smalldisk.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

namespace {

const QByteArrayList updateLines { "2 [Changed] : a.dll", "2 [Add] : plugins/new.dll",
    "0 [Delete] : old.dll" };
const Files installedRelease { { "a.dll", "A old" }, { "old.dll", "dropped" }, { "keep.txt", "untouched" } };
const Files fetchedRelease { { "a.dll", "A new" }, { "plugins/", "" }, { "plugins/new.dll", "new plugin" } };
const Files mergedRelease { { "a.dll", "A new" }, { "keep.txt", "untouched" }, { "plugins/", "" },
    { "plugins/new.dll", "new plugin" } };

// The merge leaves alone the file named like the running program (here the test executable),
// with ".exe" added where its name lacks it. In the tables OWN stands for that name and
// UPPER_OWN for it in capitals.
QString ownName()
{
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)) {
        name += QLatin1String(".exe");
    }
    return name;
}

QString withOwnName(QString text)
{
    text.replace(QLatin1String("UPPER_OWN"), ownName().toUpper());
    return text.replace(QLatin1String("OWN"), ownName());
}

QByteArrayList withOwnName(const QByteArrayList& lines)
{
    QByteArrayList result;
    for (const QByteArray& line : lines) {
        result.append(withOwnName(QString::fromUtf8(line)).toUtf8());
    }
    return result;
}

Files withOwnName(const Files& files)
{
    Files result;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        result.insert(withOwnName(it.key()), it.value());
    }
    return result;
}

} // namespace

class MergeTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void modes_data();
    void modes();
    void modeOneHostEndsAfterThreeSeconds();
    void modeOneHostNeverEnds();
    void install_data();
    void install();
    void executableStaysExecutable();
    void stagedByCopy_data();
    void stagedByCopy();
    void allOrNothing_data();
    void allOrNothing();
    void linksRefused_data();
    void linksRefused();
    void hardLinkedRerunLeavesNothing();
    void notLoadedInstallsNothing();
    void workingDirectoryIsInstallationDirectory();
    void passThenMerge();

private:
    std::unique_ptr<Download> prepare(
        const QByteArrayList& lines, const Files& installed, const Files& fetched, int mode);
    QString hostExe() const { return folders->app + QStringLiteral("/Host.exe"); }
    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<Folders> folders;
};

void MergeTest::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folders = std::make_unique<Folders>(temp->path());
    // Only the executable's file name counts, whatever the application calls itself.
    QCoreApplication::setApplicationName(QStringLiteral("a.dll"));
}

void MergeTest::cleanup()
{
    folders.reset();
    temp.reset();
}

std::unique_ptr<Download> MergeTest::prepare(
    const QByteArrayList& lines, const Files& installed, const Files& fetched, int mode)
{
    if (!writeTree(folders->app, installed) || !writeTree(folders->work, fetched)) {
        return nullptr;
    }
    if (!writeDiff(folders->diff, QStringLiteral("http://127.0.0.1:9/release"), lines)) {
        return nullptr;
    }
    auto worker = std::make_unique<Download>(folders->work.toUtf8().constData(),
        folders->diff.toUtf8().constData(), folders->app.toUtf8().constData(), "Host.exe", mode);
    return worker->loaded ? std::move(worker) : nullptr;
}

void MergeTest::modes_data()
{
    QTest::addColumn<int>("mode");
    // "missing", "idle" (present, not running), "running" or "read-only" (on a file system
    // nobody may write, as an installation the user has no permission for)
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("messages"); // HOST stands for the host executable's path
    QTest::addColumn<bool>("installed");

    QTest::newRow("mode-0-postpones")
        << 0 << "idle" << 1 << QByteArray("exe  started,  merge  delay ...\n") << false;
    QTest::newRow("mode-0-host-running")
        << 0 << "running" << 1 << QByteArray("exe  started,  merge  delay ...\n") << false;
    QTest::newRow("mode-3-does-nothing") << 3 << "idle" << 1 << QByteArray() << false;
    QTest::newRow("mode-minus-1-does-nothing") << -1 << "missing" << 1 << QByteArray() << false;
    QTest::newRow("mode-2-host-idle-installs") << 2 << "idle" << 1 << QByteArray("merge ok !\n") << true;
    QTest::newRow("mode-2-host-missing-counts-as-free")
        << 2 << "missing" << 1 << QByteArray("exe file not exist: HOST\nmerge ok !\n") << true;
    QTest::newRow("mode-2-host-running-installs-nothing")
        << 2 << "running" << 0 << QByteArray("merge ok !\n") << false;
    QTest::newRow("mode-1-host-idle-installs-at-once")
        << 1 << "idle" << 1 << QByteArray("exe  finished,  merge  right now !\n") << true;
    QTest::newRow("mode-1-host-missing-counts-as-free")
        << 1 << "missing" << 1 << QByteArray("exe file not exist: HOST\nexe  finished,  merge  right now !\n")
        << true;
    // Not "in use": waiting would not help, and nothing can be installed.
    const QByteArray noPermission = "no permission to write HOST: " + QByteArray(std::strerror(EROFS)) + "\n";
    QTest::newRow("mode-1-no-permission-installs-nothing-at-once") << 1 << "read-only" << 0 << noPermission << false;
    QTest::newRow("mode-2-no-permission-installs-nothing")
        << 2 << "read-only" << 0 << noPermission + "merge ok !\n" << false;
}

void MergeTest::modes()
{
    QFETCH(int, mode);
    QFETCH(QString, host);
    QFETCH(int, answer);
    QFETCH(QByteArray, messages);
    QFETCH(bool, installed);

    auto worker = prepare(updateLines, installedRelease, fetchedRelease, mode);
    QVERIFY(worker);
    QString hostPath = hostExe();
    std::unique_ptr<BusyExecutable> running;
    std::unique_ptr<SmallDisk> readOnly;
    if (host == QLatin1String("read-only")) {
        readOnly = std::make_unique<SmallDisk>(temp->filePath(QStringLiteral("read-only")), "64k");
        if (!readOnly->isMounted()) {
            QSKIP("cannot mount a tmpfs here (needs root)");
        }
        hostPath = readOnly->path() + QStringLiteral("/Host.exe");
        QVERIFY(writeFile(hostPath, "host executable"));
        QVERIFY(readOnly->makeReadOnly());
    } else if (host == QLatin1String("running")) {
        running = std::make_unique<BusyExecutable>(hostExe(), 60);
        QVERIFY(running->started());
        QVERIFY(isFileBusy(hostExe().toUtf8().constData()));
    } else if (host == QLatin1String("idle")) {
        QVERIFY(writeFile(hostExe(), "host executable"));
    }
    const Tree app = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);

    StderrCapture err;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(worker->merge(hostPath.toUtf8().constData()), answer);
    messages.replace("HOST", hostPath.toUtf8());
    QCOMPARE(err.text(), messages);
    if (readOnly) {
        QVERIFY2(clock.elapsed() < 5000, "mode 1 waited for a host it may not replace");
    }
    if (!installed) {
        QCOMPARE(snapshotTree(folders->app), app);
        QCOMPARE(snapshotTree(folders->work), work);
        return;
    }
    Tree merged = mergedRelease;
    if (host != QLatin1String("missing")) {
        merged.insert(QStringLiteral("Host.exe"), "host executable");
    }
    QCOMPARE(snapshotTree(folders->app), merged);
    QCOMPARE(snapshotTree(folders->work), Tree());
}

// The host releases its executable after about three seconds: the fourth or fifth test finds
// it free and the files go in place.
void MergeTest::modeOneHostEndsAfterThreeSeconds()
{
    auto worker = prepare(updateLines, installedRelease, fetchedRelease, 1);
    QVERIFY(worker);
    BusyExecutable host(hostExe(), 3);
    QVERIFY(host.started());
    QVERIFY(isFileBusy(hostExe().toUtf8().constData()));
    const QByteArray hostBytes = readFile(hostExe());

    StderrCapture err;
    QCOMPARE(worker->merge(hostExe().toUtf8().constData()), 1);
    QVERIFY(!isFileBusy(hostExe().toUtf8().constData()));
    QCOMPARE(err.text(), QByteArray("exe  finished,  merge  right now !\n"));
    Tree merged = mergedRelease;
    merged.insert(QStringLiteral("Host.exe"), hostBytes);
    QCOMPARE(snapshotTree(folders->app), merged);
    QCOMPARE(snapshotTree(folders->work), Tree());
}

// A host that keeps running: ten one-second sleeps, then the merge gives up and leaves all.
void MergeTest::modeOneHostNeverEnds()
{
    auto worker = prepare(updateLines, installedRelease, fetchedRelease, 1);
    QVERIFY(worker);
    BusyExecutable host(hostExe(), 60);
    QVERIFY(host.started());
    const Tree app = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);

    StderrCapture err;
    QElapsedTimer waited;
    waited.start();
    QCOMPARE(worker->merge(hostExe().toUtf8().constData()), 0);
    QVERIFY2(waited.elapsed() >= 9500, qPrintable(QString::number(waited.elapsed())));
    QVERIFY(host.started());
    QCOMPARE(err.text(), QByteArray());
    QCOMPARE(snapshotTree(folders->app), app);
    QCOMPARE(snapshotTree(folders->work), work);
}

void MergeTest::install_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<Files>("installed");
    QTest::addColumn<Files>("fetched");
    QTest::addColumn<Files>("appAfter");
    QTest::addColumn<Files>("workAfter"); // besides, version_diff.txt is always gone
    QTest::addColumn<QByteArray>("messages");

    QTest::newRow("add-top-level-file")
        << QByteArrayList { "2 [Add] : new.dll" } << Files { { "keep.txt", "k" } }
        << Files { { "new.dll", "new" } } << Files { { "keep.txt", "k" }, { "new.dll", "new" } } << Files {}
        << QByteArray();
    QTest::newRow("add-in-new-sub-directories")
        << QByteArrayList { "2 [Add] : plugins/new.dll", "2 [Add] : a/b/c/d.dll" } << Files {}
        << Files { { "plugins/new.dll", "p" }, { "a/b/c/d.dll", "d" } }
        << Files { { "plugins/", "" }, { "plugins/new.dll", "p" }, { "a/", "" }, { "a/b/", "" },
               { "a/b/c/", "" }, { "a/b/c/d.dll", "d" } }
        << Files {} << QByteArray();
    QTest::newRow("changed-replaces-installed")
        << QByteArrayList { "2 [Changed] : bin/core.dll" } << Files { { "bin/core.dll", "old core" } }
        << Files { { "bin/core.dll", "new core" } }
        << Files { { "bin/", "" }, { "bin/core.dll", "new core" } } << Files {} << QByteArray();
    QTest::newRow("changed-whose-installed-copy-is-gone")
        << QByteArrayList { "2 [Changed] : a.dll" } << Files {} << Files { { "a.dll", "A" } }
        << Files { { "a.dll", "A" } } << Files {} << QByteArray();
    QTest::newRow("delete-existing") << QByteArrayList { "0 [Delete] : old.dll" }
                                     << Files { { "old.dll", "o" }, { "keep.txt", "k" } } << Files {}
                                     << Files { { "keep.txt", "k" } } << Files {} << QByteArray();
    QTest::newRow("delete-already-gone-changes-nothing")
        << QByteArrayList { "0 [Delete] : old.dll" } << Files { { "keep.txt", "k" } } << Files {}
        << Files { { "keep.txt", "k" } } << Files {} << QByteArray();
    QTest::newRow("delete-of-a-directory-leaves-it")
        << QByteArrayList { "0 [Delete] : data", "2 [Add] : a.dll" }
        << Files { { "data/user.db", "u" } } << Files { { "a.dll", "A" } }
        << Files { { "data/", "" }, { "data/user.db", "u" }, { "a.dll", "A" } } << Files {}
        << QByteArray("merge: data is a directory, not deleted\n");
    QTest::newRow("own-executable-skipped")
        << QByteArrayList { "2 [Changed] : OWN", "2 [Changed] : a.dll" }
        << Files { { "OWN", "running updater" }, { "a.dll", "A old" } }
        << Files { { "OWN", "next updater" }, { "a.dll", "A new" } }
        << Files { { "OWN", "running updater" }, { "a.dll", "A new" } }
        << Files { { "OWN", "next updater" } } << QByteArray();
    QTest::newRow("own-executable-in-sub-folder-skipped-name-without-exe")
        << QByteArrayList { "2 [Add] : bin/OWN", "2 [Add] : a.dll" } << Files {}
        << Files { { "bin/OWN", "next updater" }, { "a.dll", "A" } }
        << Files { { "a.dll", "A" } }
        << Files { { "bin/", "" }, { "bin/OWN", "next updater" } } << QByteArray();
    QTest::newRow("own-executable-not-downloaded-does-not-block")
        << QByteArrayList { "0 [Changed] : OWN", "2 [Add] : a.dll" }
        << Files { { "OWN", "running updater" } } << Files { { "a.dll", "A" } }
        << Files { { "OWN", "running updater" }, { "a.dll", "A" } } << Files {}
        << QByteArray();
    QTest::newRow("own-executable-delete-skipped")
        << QByteArrayList { "0 [Delete] : OWN" }
        << Files { { "OWN", "updater" } } << Files {}
        << Files { { "OWN", "updater" } } << Files {} << QByteArray();
    QTest::newRow("name-that-only-ends-like-own-executable-installed")
        << QByteArrayList { "2 [Add] : MyOWN" } << Files {}
        << Files { { "MyOWN", "another program" } }
        << Files { { "MyOWN", "another program" } } << Files {} << QByteArray();
    // Windows names ignore case: the updater in capitals is still the running updater.
    QTest::newRow("own-name-in-capitals")
        << QByteArrayList { "2 [Add] : UPPER_OWN" } << Files {} << Files { { "UPPER_OWN", "r" } }
        << (platform::caseInsensitiveNames() ? Files {} : Files { { "UPPER_OWN", "r" } })
        << (platform::caseInsensitiveNames() ? Files { { "UPPER_OWN", "r" } } : Files {}) << QByteArray();
    QTest::newRow("same-path-twice-installed-once")
        << QByteArrayList { "2 [Add] : a.dll", "2 [Changed] : a.dll" }
        << Files { { "a.dll", "A old" } } << Files { { "a.dll", "A new" } } << Files { { "a.dll", "A new" } }
        << Files {} << QByteArray();
    QTest::newRow("add-then-delete-last-entry-wins")
        << QByteArrayList { "2 [Add] : a.dll", "0 [Delete] : a.dll" } << Files { { "a.dll", "A old" } }
        << Files { { "a.dll", "A new" } } << Files {} << Files {} << QByteArray();
}

void MergeTest::install()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(Files, installed);
    QFETCH(Files, fetched);
    QFETCH(Files, appAfter);
    QFETCH(Files, workAfter);
    QFETCH(QByteArray, messages);

    lines = withOwnName(lines);
    installed = withOwnName(installed);
    fetched = withOwnName(fetched);
    appAfter = withOwnName(appAfter);
    workAfter = withOwnName(workAfter);
    auto worker = prepare(lines, installed, fetched, 2);
    QVERIFY(worker);
    StderrCapture err;
    QCOMPARE(worker->installFiles(), 1);
    QCOMPARE(err.text(), messages);
    QCOMPARE(snapshotTree(folders->app), appAfter);
    QCOMPARE(snapshotTree(folders->work), workAfter);
}

// The staged copy takes the permissions of the file it replaces.
void MergeTest::executableStaysExecutable()
{
    auto worker = prepare(
        { "2 [Changed] : tool.exe" }, { { "tool.exe", "old tool" } }, { { "tool.exe", "new tool" } }, 2);
    QVERIFY(worker);
    const QString tool = folders->app + QStringLiteral("/tool.exe");
    const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(QFile::setPermissions(tool, executable));
    QCOMPARE(worker->installFiles(), 1);
    QCOMPARE(readFile(tool), QByteArray("new tool"));
    QCOMPARE(QFile::permissions(tool), executable);
}

// Where the fetched copy cannot get a second name beside the target (another file system) it
// is copied; the result is the same regular file.
void MergeTest::stagedByCopy_data()
{
    QTest::addColumn<QString>("workBase"); // empty: the usual working directory

    QTest::newRow("working-directory-on-another-file-system") << QStringLiteral("/dev/shm");
}

void MergeTest::stagedByCopy()
{
    QFETCH(QString, workBase);
    std::unique_ptr<QTemporaryDir> elsewhere;
    QString work = folders->work;
    if (!workBase.isEmpty()) {
        if (!QFileInfo(workBase).isDir()) {
            QSKIP("no second file system at /dev/shm");
        }
        elsewhere = std::make_unique<QTemporaryDir>(workBase + QStringLiteral("/engine-XXXXXX"));
        QVERIFY(elsewhere->isValid());
        work = elsewhere->path();
    }
    QVERIFY(writeTree(folders->app, { { "bin/tool.exe", "old tool" }, { "keep.txt", "k" } }));
    const QString tool = folders->app + QStringLiteral("/bin/tool.exe");
    QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i) {
        big[i] = char(i * 7 + i / 251);
    }
    Tree workAfter;
    if (workBase.isEmpty()) {
        // Both fetched copies are links to files kept elsewhere in the working directory.
        QVERIFY(writeTree(work, { { "store/tool.bin", big }, { "store/new.bin", "new" } }));
        QVERIFY(QDir().mkpath(work + QStringLiteral("/bin")));
        QVERIFY(
            QFile::link(work + QStringLiteral("/store/tool.bin"), work + QStringLiteral("/bin/tool.exe")));
        QVERIFY(QFile::link(work + QStringLiteral("/store/new.bin"), work + QStringLiteral("/new.dll")));
        workAfter = { { "store/", "" }, { "store/tool.bin", big }, { "store/new.bin", "new" } };
    } else {
        QVERIFY(writeTree(work, { { "bin/tool.exe", big }, { "new.dll", "new" } }));
    }
    const QString diff = work + QStringLiteral("/version_diff.txt");
    QVERIFY(writeDiff(diff, QStringLiteral("http://127.0.0.1:9/release"),
        { "2 [Changed] : bin/tool.exe", "2 [Add] : new.dll" }));
    Download worker(work.toUtf8().constData(), diff.toUtf8().constData(), folders->app.toUtf8().constData(),
        "Host.exe", 2);
    QCOMPARE(worker.installFiles(), 1);
    QCOMPARE(snapshotTree(folders->app),
        (Tree { { "bin/", "" }, { "bin/tool.exe", big }, { "keep.txt", "k" }, { "new.dll", "new" } }));
    QVERIFY(!QFileInfo(tool).isSymLink());
    QVERIFY(!QFileInfo(folders->app + QStringLiteral("/new.dll")).isSymLink());
    QCOMPARE(QFile::permissions(tool) & (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(snapshotTree(work), workAfter);
}

void MergeTest::allOrNothing_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<Files>("installed");
    QTest::addColumn<Files>("fetched");
    QTest::addColumn<QString>("message");

    const QByteArrayList full { "2 [Changed] : a.dll", "2 [Add] : plugins/new.dll", "0 [Delete] : old.dll",
        "2 [Changed] : data.bin" };
    const Files installed { { "a.dll", "A old" }, { "old.dll", "dropped" }, { "data.bin", "D old" } };
    const Files fetched { { "a.dll", "A new" }, { "plugins/new.dll", "new plugin" },
        { "data.bin", "D new" } };

    QTest::newRow("an-entry-not-downloaded")
        << QByteArrayList { "2 [Changed] : a.dll", "0 [Add] : plugins/new.dll" } << installed << fetched
        << "merge: plugins/new.dll is not downloaded, nothing installed\n";
    QTest::newRow("an-entry-still-updating")
        << QByteArrayList { "2 [Changed] : a.dll", "1 [Changed] : data.bin" } << installed << fetched
        << "merge: data.bin is not downloaded, nothing installed\n";
    QTest::newRow("a-fetched-copy-removed")
        << full << installed << Files { { "a.dll", "A new" }, { "data.bin", "D new" } }
        << "merge: plugins/new.dll is not downloaded, nothing installed\n";
    QTest::newRow("a-fetched-copy-is-a-directory")
        << full << installed
        << Files { { "a.dll", "A new" }, { "plugins/new.dll/", "" }, { "data.bin", "D new" } }
        << "merge: plugins/new.dll is not downloaded, nothing installed\n";
    QTest::newRow("staging-fails-parent-is-a-file")
        << QByteArrayList { "2 [Changed] : a.dll", "2 [Add] : plugins/new.dll", "2 [Add] : lib/x.dll" }
        << Files { { "a.dll", "A old" }, { "lib", "a file where a folder should be" } }
        << Files { { "a.dll", "A new" }, { "plugins/new.dll", "p" }, { "lib/x.dll", "x" } }
        << "merge: cannot stage APP/lib/x.dll, nothing installed\n";
    QTest::newRow("commit-fails-target-is-a-directory")
        << full << Files { { "a.dll", "A old" }, { "old.dll", "dropped" }, { "data.bin/part", "a folder" } }
        << fetched << "merge: cannot replace APP/data.bin, nothing installed\n";
}

// A refused or failed install leaves the installation and the working directory (fetched
// copies and the version-difference file with its states) byte for byte as they were.
void MergeTest::allOrNothing()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(Files, installed);
    QFETCH(Files, fetched);
    QFETCH(QString, message);

    auto worker = prepare(lines, installed, fetched, 2);
    QVERIFY(worker);
    const Tree app = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);
    StderrCapture err;
    QCOMPARE(worker->merge(hostExe().toUtf8().constData()), 0);
    message.replace(QStringLiteral("APP"), folders->app);
    QCOMPARE(QString::fromUtf8(err.text()),
        QStringLiteral("exe file not exist: %1\n").arg(hostExe()) + message + QStringLiteral("merge ok !\n"));
    QCOMPARE(snapshotTree(folders->app), app);
    QCOMPARE(snapshotTree(folders->work), work);
}

// A symbolic link where a fetched file or a folder on a target's way should be stops the whole
// install before anything is touched: nothing is read or written through it.
void MergeTest::linksRefused_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<Files>("installed");
    QTest::addColumn<Files>("fetched");
    QTest::addColumn<QString>("link"); // made to point at the outside folder (or its file.bin)
    QTest::addColumn<QString>("refused");

    QTest::newRow("fetched-file-is-a-link")
        << QByteArrayList { "2 [Changed] : a.dll", "2 [Add] : b.dll" } << Files { { "a.dll", "A old" } }
        << Files { { "b.dll", "B" } } << "WORK/a.dll" << "WORK/a.dll";
    QTest::newRow("fetched-folder-is-a-link")
        << QByteArrayList { "2 [Changed] : a.dll", "2 [Add] : plugins/file.bin" } << Files { { "a.dll", "A old" } }
        << Files { { "a.dll", "A new" } } << "WORK/plugins" << "WORK/plugins";
    QTest::newRow("installed-folder-is-a-link")
        << QByteArrayList { "2 [Changed] : a.dll", "2 [Add] : plugins/new.dll" } << Files { { "a.dll", "A old" } }
        << Files { { "a.dll", "A new" }, { "plugins/new.dll", "planted" } } << "APP/plugins" << "APP/plugins";
    QTest::newRow("installed-folder-is-a-link-on-delete")
        << QByteArrayList { "2 [Changed] : a.dll", "0 [Delete] : data/file.bin" }
        << Files { { "a.dll", "A old" } } << Files { { "a.dll", "A new" } } << "APP/data" << "APP/data";
}

void MergeTest::linksRefused()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(Files, installed);
    QFETCH(Files, fetched);
    QFETCH(QString, link);
    QFETCH(QString, refused);

    const QString outside = temp->path() + QStringLiteral("/outside");
    QVERIFY(writeTree(outside, { { "file.bin", "not the release's" } }));
    QVERIFY(writeTree(folders->app, installed) && writeTree(folders->work, fetched));
    const auto place = [this](QString path) {
        return path.replace(QStringLiteral("APP"), folders->app).replace(QStringLiteral("WORK"), folders->work);
    };
    link = place(link);
    QVERIFY(QFile::link(link.endsWith(QLatin1String(".dll")) ? outside + QStringLiteral("/file.bin") : outside, link));
    QVERIFY(writeDiff(folders->diff, QStringLiteral("http://127.0.0.1:9/release"), lines));
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 2);
    QVERIFY(worker.loaded);
    const Tree app = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);
    const Tree outsideBefore = snapshotTree(outside);

    StderrCapture err;
    QCOMPARE(worker.installFiles(), 0);
    QCOMPARE(QString::fromUtf8(err.text()),
        QStringLiteral("merge: symbolic link refused: %1, nothing installed\n").arg(place(refused)));
    QCOMPARE(snapshotTree(folders->app), app);
    QCOMPARE(snapshotTree(folders->work), work);
    QCOMPARE(snapshotTree(outside), outsideBefore);
    QVERIFY(QFileInfo(link).isSymLink());
}

// A run killed after placing a file but before removing its fetched copy can leave both names
// as links of one file. Renaming one link of a file onto another does nothing, so the rerun
// must remove the second name itself: nothing hidden stays behind.
void MergeTest::hardLinkedRerunLeavesNothing()
{
    QVERIFY(writeTree(folders->app, { { "keep.txt", "k" } }));
    QVERIFY(writeTree(folders->work, { { "a.dll", "A new" }, { "sub/b.dll", "B new" } }));
    QVERIFY(QDir().mkpath(folders->app + QStringLiteral("/sub")));
    for (const char* name : { "a.dll", "sub/b.dll" }) {
        std::error_code error;
        std::filesystem::create_hard_link(nativePath(folders->work + QLatin1Char('/') + QLatin1String(name)),
            nativePath(folders->app + QLatin1Char('/') + QLatin1String(name)), error);
        QVERIFY2(!error, error.message().c_str());
    }
    QVERIFY(writeDiff(folders->diff, QStringLiteral("http://127.0.0.1:9/release"),
        { "2 [Changed] : a.dll", "2 [Changed] : sub/b.dll" }));
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 2);
    QCOMPARE(worker.installFiles(), 1);
    QCOMPARE(snapshotTree(folders->app),
        (Tree { { "a.dll", "A new" }, { "keep.txt", "k" }, { "sub/", "" }, { "sub/b.dll", "B new" } }));
    QCOMPARE(snapshotTree(folders->work), Tree());
}

// A worker that loaded no list (here: nothing newer) has nothing to install and keeps the file.
void MergeTest::notLoadedInstallsNothing()
{
    QVERIFY(writeTree(folders->app, installedRelease));
    QVERIFY(writeTree(folders->work, fetchedRelease));
    QVERIFY(writeDiff(
        folders->diff, QStringLiteral("http://127.0.0.1:9/release"), updateLines, "v1.0.4 --> v1.0.4"));
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 2);
    QVERIFY(!worker.loaded);
    const Tree app = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);
    QCOMPARE(worker.installFiles(), 0);
    QCOMPARE(snapshotTree(folders->app), app);
    QCOMPARE(snapshotTree(folders->work), work);
}

// When the working directory is the installation directory itself, the fetched copies are
// already in place: they are kept, deletions still happen, and the file goes.
void MergeTest::workingDirectoryIsInstallationDirectory()
{
    QVERIFY(writeTree(folders->app, { { "a.dll", "A new" }, { "old.dll", "dropped" }, { "keep.txt", "k" } }));
    const QString diff = folders->app + QStringLiteral("/version_diff.txt");
    QVERIFY(writeDiff(diff, QStringLiteral("http://127.0.0.1:9/release"),
        { "2 [Changed] : a.dll", "0 [Delete] : old.dll" }));
    Download worker(folders->app.toUtf8().constData(), diff.toUtf8().constData(),
        (folders->app + QStringLiteral("/.")).toUtf8().constData(), "Host.exe", 2);
    QVERIFY(worker.loaded);
    QCOMPARE(worker.installFiles(), 1);
    QCOMPARE(snapshotTree(folders->app), (Tree { { "a.dll", "A new" }, { "keep.txt", "k" } }));
}

// The whole road: the pass fetches from a real server, and the callback's AllDone runs the
// merge on the worker thread, which installs and removes the working copies and the file.
void MergeTest::passThenMerge()
{
    ReleaseServer server;
    server.serve("a.dll", "A new");
    server.serve("plugins/new.dll", "new plugin");
    QVERIFY(server.start());
    QVERIFY(writeTree(folders->app, installedRelease));
    QVERIFY(writeFile(hostExe(), "host executable"));
    QVERIFY(writeDiff(folders->diff, server.base(),
        { "0 [Changed] : a.dll", "0 [Add] : plugins/new.dll", "0 [Delete] : old.dll" }));
    for (const char* relative : { "a.dll", "plugins/new.dll" }) {
        QTest::ignoreMessage(QtDebugMsg,
            QRegularExpression(
                QStringLiteral("^url: \"%1\" $")
                    .arg(QRegularExpression::escape(server.url(QString::fromLatin1(relative))))));
    }
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 2);
    EventLog log { folders->diff, QThread::currentThreadId(), {}, {} };
    int merged = -1;
    const QByteArray host = hostExe().toUtf8();
    log.then = [&](std::int32_t event, std::intptr_t completed) {
        if (event == AllDone && completed) {
            merged = worker.merge(host.constData());
        }
    };
    worker.callback = &EventLog::callback;
    worker.userData = &log;
    StderrCapture err;
    QCOMPARE(worker.start(), 0);
    worker.wait();
    QCOMPARE(
        log.summary(), (QStringList { "start:a.dll", "start:plugins/new.dll", "start:old.dll", "done:1" }));
    QCOMPARE(merged, 1);
    QCOMPARE(
        err.text(), QByteArray("downloading  ...  a.dll\ndownloading  ...  plugins/new.dll\nmerge ok !\n"));
    Tree expected = mergedRelease;
    expected.insert(QStringLiteral("Host.exe"), "host executable");
    QCOMPARE(snapshotTree(folders->app), expected);
    QCOMPARE(snapshotTree(folders->work), Tree());
}

QTEST_GUILESS_MAIN(MergeTest)
#include "tst_merge.moc"
