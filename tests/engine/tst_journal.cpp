// The install journal and the recovery of an interrupted install, in the test process: every
// state a killed merge can leave (made here step by step, as the merge makes it) is finished
// forward or taken back to exactly one release; an unreadable journal leaves everything alone;
// a file that cannot be removed yet is kept for a later run; a full disk installs nothing.

#include "download.h"
#include "enginetestutil.h"
#include "filehelpers.h"
#include "journal.h"
#include "sha256.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

Q_DECLARE_METATYPE(Recovery)

namespace {

const Tree installedOld { { "Host.exe", "host" }, { "a.dll", "A old" }, { "old.dll", "dropped" }, { "keep.txt", "k" } };
const Tree installedNew { { "Host.exe", "host" }, { "a.dll", "A new, longer" }, { "keep.txt", "k" }, { "new/", "" },
    { "new/b.dll", "B new" } };
const Tree fetchedFiles { { "a.dll", "A new, longer" }, { "new/", "" }, { "new/b.dll", "B new" } };
const QByteArray diffText
    = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://127.0.0.1:9/release\n2 [Changed] : a.dll\n0 [Delete] : old.dll\n2 [Add] : new/b.dll\n";

// Sets a file's immutable flag, which keeps even root from removing it; false where the file
// system has no such flag.
bool setImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

} // namespace

class JournalTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void roundTrip();
    void recovery_data();
    void recovery();
    void unreadable_data();
    void unreadable();
    void heldFileLeftForLaterRun();
    void fullDisk_data();
    void fullDisk();

private:
    // The journal of the merge from installedOld to installedNew, as the merge writes it.
    Journal plannedJournal() const;
    QString app(const QString& relative) const { return folders->app + QLatin1Char('/') + relative; }
    QString work(const QString& relative) const { return folders->work + QLatin1Char('/') + relative; }
    QString staged(const QString& relative) const;
    QString backup(const QString& relative) const;
    bool apply(const QString& operation);

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<Folders> folders;
    QStringList mounts;
};

void JournalTest::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folders = std::make_unique<Folders>(temp->path());
    QCoreApplication::setApplicationName(QStringLiteral("RevisionPusher.exe"));
}

void JournalTest::cleanup()
{
    for (const QString& mount : mounts) {
        ::umount(QFile::encodeName(mount).constData());
    }
    mounts.clear();
    folders.reset();
    temp.reset();
}

QString JournalTest::staged(const QString& relative) const
{
    const QFileInfo info(app(relative));
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".stage-t1");
}

QString JournalTest::backup(const QString& relative) const
{
    const QFileInfo info(app(relative));
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".backup-t1");
}

Journal JournalTest::plannedJournal() const
{
    Journal journal;
    journal.diffPath = folders->diff;
    journal.createdDirs = { app(QStringLiteral("new")) };
    const auto digest = [](const QByteArray& bytes) { return QByteArray::fromStdString(Sha256::toHex(Sha256::hash(bytes))); };
    JournalStep changed;
    changed.hadTarget = true;
    changed.target = app(QStringLiteral("a.dll"));
    changed.staged = staged(QStringLiteral("a.dll"));
    changed.backup = backup(QStringLiteral("a.dll"));
    changed.fetched = work(QStringLiteral("a.dll"));
    changed.size = fetchedFiles.value(QStringLiteral("a.dll")).size();
    changed.sha256 = digest(fetchedFiles.value(QStringLiteral("a.dll")));
    JournalStep dropped;
    dropped.deletion = true;
    dropped.hadTarget = true;
    dropped.target = app(QStringLiteral("old.dll"));
    dropped.backup = backup(QStringLiteral("old.dll"));
    JournalStep added;
    added.target = app(QStringLiteral("new/b.dll"));
    added.staged = staged(QStringLiteral("new/b.dll"));
    added.backup = backup(QStringLiteral("new/b.dll"));
    added.fetched = work(QStringLiteral("new/b.dll"));
    added.size = fetchedFiles.value(QStringLiteral("new/b.dll")).size();
    journal.steps = { changed, dropped, added };
    return journal;
}

// One change of the file system as the merge makes it: "mkdir new", "stage a.dll" (a second
// link of the fetched copy), "stage-short a.dll" (a copy cut short), "stage-other a.dll" (the
// same size, other bytes), "backup-link a.dll", "backup-move a.dll", "place a.dll" (the staged
// copy renamed onto the target), "remove old.dll", "restore a.dll" (the backup renamed back),
// "unstage a.dll" (the staged copy removed), "state committing".
bool JournalTest::apply(const QString& operation)
{
    const QString verb = operation.section(QLatin1Char(' '), 0, 0);
    const QString path = operation.section(QLatin1Char(' '), 1);
    std::error_code error;
    if (verb == QLatin1String("state")) {
        Journal journal = plannedJournal();
        journal.state = path == QLatin1String("committing") ? Journal::State::Committing : Journal::State::RollingBack;
        return writeJournal(folders->work, journal);
    }
    if (verb == QLatin1String("mkdir")) {
        return QDir().mkdir(app(path));
    }
    if (verb == QLatin1String("stage")) {
        std::filesystem::create_hard_link(nativePath(work(path)), nativePath(staged(path)), error);
        return !error;
    }
    if (verb == QLatin1String("stage-short")) {
        return writeFile(staged(path), fetchedFiles.value(path).left(3));
    }
    if (verb == QLatin1String("stage-other")) {
        return writeFile(staged(path), QByteArray(fetchedFiles.value(path).size(), 'x'));
    }
    if (verb == QLatin1String("backup-link")) {
        std::filesystem::create_hard_link(nativePath(app(path)), nativePath(backup(path)), error);
        return !error;
    }
    if (verb == QLatin1String("backup-move")) {
        return QFile::rename(app(path), backup(path));
    }
    if (verb == QLatin1String("place")) {
        return bool(replaceFile(staged(path), app(path)));
    }
    if (verb == QLatin1String("remove")) {
        return QFile::remove(app(path));
    }
    if (verb == QLatin1String("restore")) {
        return bool(replaceFile(backup(path), app(path)));
    }
    if (verb == QLatin1String("unstage")) {
        return QFile::remove(staged(path));
    }
    return false;
}

void JournalTest::roundTrip()
{
    Journal written = plannedJournal();
    written.state = Journal::State::Committing;
    written.leftovers = { app(QStringLiteral("name with blank%and percent.dll")) };
    written.steps[0].target = app(QStringLiteral("名前 with blank.dll"));
    QVERIFY(writeJournal(folders->work, written));
    // A later version's additions are passed over.
    QFile file(journalPath(folders->work));
    QVERIFY(file.open(QIODevice::Append));
    QVERIFY(file.write("checksum of-a-later-version\n") > 0);
    file.close();

    Journal read;
    QCOMPARE(readJournal(folders->work, read), JournalRead::Read);
    QCOMPARE(int(read.state), int(written.state));
    QCOMPARE(read.diffPath, written.diffPath);
    QCOMPARE(read.createdDirs, written.createdDirs);
    QCOMPARE(read.leftovers, written.leftovers);
    QCOMPARE(read.steps.size(), written.steps.size());
    for (std::size_t i = 0; i < read.steps.size(); ++i) {
        QCOMPARE(read.steps[i].deletion, written.steps[i].deletion);
        QCOMPARE(read.steps[i].hadTarget, written.steps[i].hadTarget);
        QCOMPARE(read.steps[i].size, written.steps[i].size);
        QCOMPARE(read.steps[i].target, written.steps[i].target);
        QCOMPARE(read.steps[i].staged, written.steps[i].staged);
        QCOMPARE(read.steps[i].backup, written.steps[i].backup);
        QCOMPARE(read.steps[i].fetched, written.steps[i].fetched);
        QCOMPARE(read.steps[i].sha256, written.steps[i].sha256);
    }
    QVERIFY(removeJournal(folders->work));
    QCOMPARE(readJournal(folders->work, read), JournalRead::Missing);
    QCOMPARE(snapshotTree(folders->work), Tree());
}

// Each row is the file system as a merge killed at that point leaves it (the journal, written
// in state staging first, then the changes in order). The next start finishes the install or
// takes it back: the installation is one release exactly, nothing hidden stays, and a taken
// back install leaves the fetched copies and the file for the next merge.
void JournalTest::recovery_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<Recovery>("outcome");

    const QStringList staged { "mkdir new", "stage a.dll", "stage new/b.dll", "state committing" };
    QTest::newRow("staging-nothing-yet") << QStringList() << Recovery::TakenBack;
    QTest::newRow("staging-folder-made") << QStringList { "mkdir new" } << Recovery::TakenBack;
    QTest::newRow("staging-copy-cut-short")
        << QStringList { "mkdir new", "stage a.dll", "stage-short new/b.dll" } << Recovery::TakenBack;
    QTest::newRow("committing-nothing-placed") << staged << Recovery::Completed;
    QTest::newRow("committing-backup-linked") << staged + QStringList { "backup-link a.dll" } << Recovery::Completed;
    QTest::newRow("committing-moved-aside") << staged + QStringList { "backup-move a.dll" } << Recovery::Completed;
    QTest::newRow("committing-one-placed")
        << staged + QStringList { "backup-link a.dll", "place a.dll" } << Recovery::Completed;
    QTest::newRow("committing-deletion-half-done")
        << staged + QStringList { "backup-link a.dll", "place a.dll", "backup-link old.dll" } << Recovery::Completed;
    QTest::newRow("committing-all-placed")
        << staged
            + QStringList { "backup-link a.dll", "place a.dll", "backup-link old.dll", "remove old.dll",
                  "place new/b.dll" }
        << Recovery::Completed;
    QTest::newRow("committing-staged-copy-damaged")
        << QStringList { "mkdir new", "stage a.dll", "stage new/b.dll", "state committing", "unstage new/b.dll",
               "stage-short new/b.dll", "backup-link a.dll", "place a.dll" }
        << Recovery::TakenBack;
    QTest::newRow("committing-staged-copy-other-bytes")
        << QStringList { "mkdir new", "stage-other a.dll", "stage new/b.dll", "state committing" }
        << Recovery::TakenBack;
    QTest::newRow("committing-placed-file-gone")
        << staged + QStringList { "backup-link a.dll", "place a.dll", "remove a.dll" } << Recovery::TakenBack;
    QTest::newRow("rolling-back-half-way")
        << staged
            + QStringList { "backup-link a.dll", "place a.dll", "backup-move old.dll", "place new/b.dll",
                  "state rollingback", "restore a.dll" }
        << Recovery::TakenBack;
}

void JournalTest::recovery()
{
    QFETCH(QStringList, changes);
    QFETCH(Recovery, outcome);

    QVERIFY(writeTree(folders->app, installedOld));
    QVERIFY(writeTree(folders->work, fetchedFiles));
    QVERIFY(writeFile(folders->diff, diffText));
    QVERIFY(writeJournal(folders->work, plannedJournal()));
    for (const QString& change : changes) {
        QVERIFY2(apply(change), qPrintable(change));
    }

    StderrCapture err;
    QCOMPARE(recoverInstall(folders->work, app(QStringLiteral("Host.exe")), 1), outcome);
    if (outcome == Recovery::Completed) {
        QCOMPARE(err.text(), QByteArray("interrupted install completed\n"));
        QCOMPARE(snapshotTree(folders->app), installedNew);
        QCOMPARE(snapshotTree(folders->work), Tree());
        return;
    }
    QVERIFY2(err.text().endsWith("interrupted install taken back\n"), err.text().constData());
    QCOMPARE(snapshotTree(folders->app), installedOld);
    Tree work = fetchedFiles;
    work.insert(QStringLiteral("version_diff.txt"), diffText);
    QCOMPARE(snapshotTree(folders->work), work);

    // The next merge starts afresh from what was kept.
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 1);
    QCOMPARE(worker.installFiles(), 1);
    QCOMPARE(snapshotTree(folders->app), installedNew);
    QCOMPARE(snapshotTree(folders->work), Tree());
}

// A journal that cannot be read says nothing reliable about the installation: it is left as
// it is, and so is the journal, for a person to look at.
void JournalTest::unreadable_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("other-marker") << QByteArray("@Journal 2\nstate committing\n");
    QTest::newRow("no-state") << QByteArray("@OrbisnapJournal 1\ndiff -\n");
    QTest::newRow("unknown-state") << QByteArray("@OrbisnapJournal 1\nstate half-done\n");
    QTest::newRow("step-cut-short") << QByteArray("@OrbisnapJournal 1\nstate committing\nstep replace 1 5 /a\n");
    QTest::newRow("step-of-unknown-kind")
        << QByteArray("@OrbisnapJournal 1\nstate committing\nstep rename 1 5 /a /b /c /d -\n");
    QTest::newRow("replace-without-staged-copy")
        << QByteArray("@OrbisnapJournal 1\nstate committing\nstep replace 1 5 /a - /c /d -\n");
    QTest::newRow("size-not-a-number")
        << QByteArray("@OrbisnapJournal 1\nstate committing\nstep replace 1 five /a /b /c /d -\n");
}

void JournalTest::unreadable()
{
    QFETCH(QByteArray, text);
    QVERIFY(writeTree(folders->app, installedOld));
    QVERIFY(writeTree(folders->work, fetchedFiles));
    QVERIFY(writeFile(journalPath(folders->work), text));
    const Tree appBefore = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);

    StderrCapture err;
    QCOMPARE(recoverInstall(folders->work, app(QStringLiteral("Host.exe")), 1), Recovery::Failed);
    QCOMPARE(err.text(), "install journal unreadable, installation left as it is: " + journalPath(folders->work).toUtf8() + '\n');
    QCOMPARE(snapshotTree(folders->app), appBefore);
    QCOMPARE(snapshotTree(folders->work), work);
}

// A backup that cannot be removed yet (held on Windows; here made immutable) does not keep the
// install from completing: the journal then names only that file, and a later start, in any
// mode, removes it once it can.
void JournalTest::heldFileLeftForLaterRun()
{
    QVERIFY(writeTree(folders->app, installedOld));
    QVERIFY(writeTree(folders->work, fetchedFiles));
    QVERIFY(writeFile(folders->diff, diffText));
    QVERIFY(writeJournal(folders->work, plannedJournal()));
    for (const char* change : { "mkdir new", "stage a.dll", "stage new/b.dll", "state committing",
             "backup-move a.dll", "place a.dll" }) {
        QVERIFY(apply(QString::fromLatin1(change)));
    }
    const QString held = backup(QStringLiteral("a.dll"));
    if (!setImmutable(held, true)) {
        QSKIP("the file system has no immutable flag, or this user may not set it");
    }
    // Cleared whatever happens, or the temporary folder could not be removed.
    const std::unique_ptr<const QString, void (*)(const QString*)> release(
        &held, [](const QString* path) { setImmutable(*path, false); });
    {
        StderrCapture err;
        QCOMPARE(recoverInstall(folders->work, app(QStringLiteral("Host.exe")), 1), Recovery::Completed);
        QCOMPARE(err.text(),
            "not removed yet, left for a later run: " + held.toUtf8() + "\ninterrupted install completed\n");
    }
    Tree withHeld = installedNew;
    withHeld.insert(QStringLiteral(".a.dll.backup-t1"), "A old");
    setImmutable(held, false);
    QCOMPARE(snapshotTree(folders->app), withHeld);
    Journal rest;
    QCOMPARE(readJournal(folders->work, rest), JournalRead::Read);
    QCOMPARE(int(rest.state), int(Journal::State::Finished));
    QCOMPARE(rest.leftovers, QStringList { held });

    StderrCapture err;
    QCOMPARE(recoverInstall(folders->work, app(QStringLiteral("Host.exe")), 0), Recovery::Cleaned);
    QCOMPARE(err.text(), QByteArray());
    QCOMPARE(snapshotTree(folders->app), installedNew);
    QCOMPARE(snapshotTree(folders->work), Tree());
}

// A disk that fills up while the staged copies are written, or before the journal is: the
// merge stops before the installation changes and keeps everything for the next run.
void JournalTest::fullDisk_data()
{
    QTest::addColumn<bool>("installationFull"); // else the working directory is full
    QTest::addColumn<QString>("message");
    QTest::newRow("installation-full") << true << "merge: cannot stage APP/big.bin, nothing installed\n";
    QTest::newRow("working-directory-full") << false << "install journal not written: WORK/merge.journal";
}

void JournalTest::fullDisk()
{
    QFETCH(bool, installationFull);
    QFETCH(QString, message);

    const QString small = installationFull ? folders->app : folders->work;
    QVERIFY(QDir().mkpath(small));
    if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m") != 0) {
        QSKIP(qPrintable(QStringLiteral("no small file system to fill: mount: %1").arg(QString::fromLocal8Bit(strerror(errno)))));
    }
    mounts.append(small);
    const QByteArray big(2 * 1024 * 1024, 'b');
    QVERIFY(writeTree(folders->app, { { "Host.exe", "host" }, { "a.dll", "A old" } }));
    if (installationFull) {
        // The working directory is on another file system: the copies cannot be linked in.
        QVERIFY(writeTree(folders->work, { { "a.dll", "A new" }, { "big.bin", big } }));
    } else {
        QVERIFY(writeTree(folders->work, { { "a.dll", "A new" }, { "big.bin", "small enough" } }));
    }
    QVERIFY(writeDiff(folders->diff, QStringLiteral("http://127.0.0.1:9/release"),
        { "2 [Changed] : a.dll", "2 [Add] : big.bin" }));
    if (!installationFull) {
        // Fill what is left to the last byte.
        QFile filler(folders->work + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(512, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
    }
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 2);
    QVERIFY(worker.loaded);
    const Tree appBefore = snapshotTree(folders->app);
    const Tree work = snapshotTree(folders->work);

    StderrCapture err;
    QCOMPARE(worker.installFiles(), 0);
    message.replace(QStringLiteral("APP"), folders->app).replace(QStringLiteral("WORK"), folders->work);
    QVERIFY2(err.text().contains(message.toUtf8()), err.text().constData());
    QCOMPARE(snapshotTree(folders->app), appBefore);
    QCOMPARE(snapshotTree(folders->work), work);
}

QTEST_GUILESS_MAIN(JournalTest)
#include "tst_journal.moc"
