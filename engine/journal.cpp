#include "journal.h"

#include "changehook.h"
#include "filehelpers.h"
#include "previousreturn.h"
#include "fileops.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr char Marker[] = "@OrbisnapJournal 1";

QByteArray encodePath(const QString& path)
{
    return path.isEmpty() ? QByteArray("-") : path.toUtf8().toPercentEncoding("/:\\");
}

QString decodePath(const QByteArray& field)
{
    return field == "-" ? QString() : QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

const char* stateName(Journal::State state)
{
    switch (state) {
    case Journal::State::Staging:
        return "staging";
    case Journal::State::Committing:
        return "committing";
    case Journal::State::RollingBack:
        return "rollingback";
    case Journal::State::Finished:
        return "finished";
    }
    return "staging";
}

bool stateFromName(const QByteArray& name, Journal::State& state)
{
    for (Journal::State candidate : { Journal::State::Staging, Journal::State::Committing,
             Journal::State::RollingBack, Journal::State::Finished }) {
        if (name == stateName(candidate)) {
            state = candidate;
            return true;
        }
    }
    return false;
}

QByteArray serialize(const Journal& journal)
{
    QByteArray text = QByteArray(Marker) + '\n';
    text += QByteArray("state ") + stateName(journal.state) + '\n';
    text += "diff " + encodePath(journal.diffPath) + '\n';
    for (const QString& dir : journal.createdDirs) {
        text += "dir " + encodePath(dir) + '\n';
    }
    for (const JournalStep& step : journal.steps) {
        text += QByteArray("step ") + (step.deletion ? "delete " : "replace ") + (step.hadTarget ? "1 " : "0 ")
            + QByteArray::number(step.size) + ' ' + encodePath(step.target) + ' ' + encodePath(step.staged) + ' '
            + encodePath(step.backup) + ' ' + encodePath(step.fetched) + ' '
            + (step.sha256.isEmpty() ? QByteArray("-") : step.sha256) + '\n';
    }
    for (const QString& leftover : journal.leftovers) {
        text += "leftover " + encodePath(leftover) + '\n';
    }
    if (journal.keepPrevious) {
        text += "previous " + journal.oldVersion + ' ' + journal.newVersion + ' '
            + QByteArray::number(journal.healthTimeout) + ' ' + QByteArray::number(journal.healthStarts) + '\n';
    }
    for (const QString& dir : journal.pruneDirs) {
        text += "prune " + encodePath(dir) + '\n';
    }
    return text;
}

// --- file-system operations: each change passes the change hook first ---

bool present(const QString& path)
{
    if (path.isEmpty()) {
        return false;
    }
    std::error_code error;
    return std::filesystem::symlink_status(nativePath(path), error).type()
        != std::filesystem::file_type::not_found;
}

bool isFolder(const QString& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(nativePath(path), error).type() == std::filesystem::file_type::directory;
}

qint64 sizeOf(const QString& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(nativePath(path), error);
    return error ? -1 : qint64(size);
}

bool sameFile(const QString& a, const QString& b)
{
    std::error_code error;
    return std::filesystem::equivalent(nativePath(a), nativePath(b), error) && !error;
}

// True once nothing is at path any more (a file held by another program is waited for a
// while).
bool removePath(const QString& path)
{
    if (!present(path)) {
        return true;
    }
    beforeFileSystemChange();
    // Read-only marks are cleared, and a brief holder (a virus scanner) is waited for; a file
    // held for longer is left for a later run anyway.
    const platform::RetryPolicy brief { std::chrono::milliseconds(25), std::chrono::milliseconds(500) };
    platform::removeFile(nativePath(path), brief);
    return !present(path);
}

bool linkTo(const QString& file, const QString& link)
{
    beforeFileSystemChange();
    std::error_code error;
    std::filesystem::create_hard_link(nativePath(file), nativePath(link), error);
    return !error;
}

// Whether a running program holds the file so that its name can only be renamed, not replaced
// or removed: a loaded library or a running executable on Windows.
bool heldByRunningImage(const QString& path)
{
    return platform::runningImagesKeepTheirName()
        && platform::probeForWriting(nativePath(path)) == platform::WriteProbe::InUse;
}

// A file keeps its attributes across a rename on Windows, and a file made under a dot name may
// carry the hidden mark (wine sets it): the installed file must not stay hidden.
bool placedVisible(const QString& target)
{
    platform::setHidden(nativePath(target), false);
    return true;
}

// Moves a file to a free name beside it. Where a running image or a loaded library keeps its
// name from being replaced or removed (Windows), it may still be renamed: this frees the name.
bool moveAside(const QString& from, const QString& to)
{
    beforeFileSystemChange();
    if (!platform::renameAside(nativePath(from), nativePath(to))) {
        return false;
    }
    platform::setHidden(nativePath(to));
    return true;
}

// Keeps the file at target under the backup name: a second link where the file system has
// them (the target never goes missing), else the file itself moved there. A held file cannot
// be replaced under its name, nor could a second link of it be removed again: the file itself
// becomes the backup, and the new file takes the free name.
bool keepAside(const QString& target, const QString& backup)
{
    if (heldByRunningImage(target)) {
        return moveAside(target, backup);
    }
    return linkTo(target, backup) || moveAside(target, backup);
}

// Renames from onto to, replacing it. Two links of one file are the exception: rename(2) then
// does nothing and still reports success, so the second name is removed instead.
bool renameOnto(const QString& from, const QString& to)
{
    if (sameFile(from, to)) {
        return removePath(from);
    }
    beforeFileSystemChange();
    return bool(replaceFile(from, to));
}

bool removeEmptyDir(const QString& dir)
{
    if (!QFileInfo(dir).isDir() || !QDir(dir).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        return false;
    }
    beforeFileSystemChange();
    return QDir().rmdir(dir);
}

bool flushFile(const QString& path)
{
    return bool(platform::flushFile(nativePath(path)));
}

// Makes the entries of dir (renames, new and removed names) durable; on Windows the moves
// write through and this does nothing.
bool syncDir(const QString& dir)
{
    return bool(platform::syncDirectory(nativePath(dir)));
}

QStringList parentDirs(const Journal& journal, bool stagedOnly)
{
    QStringList dirs;
    QSet<QString> seen;
    for (const JournalStep& step : journal.steps) {
        if (stagedOnly && step.staged.isEmpty()) {
            continue;
        }
        const QString dir = QFileInfo(step.target).path();
        if (!seen.contains(dir)) {
            seen.insert(dir);
            dirs.append(dir);
        }
    }
    return dirs;
}

// One syncfs for each file system the folders lie on, where the platform has it: every file and
// folder entry changed there so far is durable once it returns, for one device flush rather
// than one per folder. False when that could not be done (no syncfs, a folder that cannot be
// looked at, a failed sync): the caller then syncs one by one.
bool syncFileSystemsOf(const QStringList& dirs)
{
#if defined(__linux__)
    QSet<dev_t> synced;
    for (const QString& dir : dirs) {
        const QByteArray name = QFile::encodeName(dir);
        struct stat status {};
        if (::stat(name.constData(), &status) != 0) {
            return false;
        }
        if (synced.contains(status.st_dev)) {
            continue;
        }
        const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool flushed = fd >= 0 && ::syncfs(fd) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        if (!flushed) {
            return false;
        }
        synced.insert(status.st_dev);
    }
    return true;
#else
    Q_UNUSED(dirs);
    return false;
#endif
}

void removeEmptyParents(const QString& file, const QString& root)
{
    const QString below = QDir::cleanPath(root) + QLatin1Char('/');
    for (QString dir = QDir::cleanPath(QFileInfo(file).path()); dir.startsWith(below);
         dir = QFileInfo(dir).path()) {
        // A folder gone already was removed by a run that died before reaching its parent.
        if (present(dir) && !removeEmptyDir(dir)) {
            break;
        }
    }
}

void say(const char* text, const QString& path)
{
    std::fprintf(stderr, "%s%s\n", text, path.toUtf8().constData());
}

} // namespace

QString journalPath(const QString& workDir)
{
    return joinPath(workDir, QString::fromLatin1(JournalFileName));
}

bool writeJournal(const QString& workDir, const Journal& journal)
{
    const QString path = journalPath(workDir);
    const QString fresh = path + QStringLiteral(".new");
    const QByteArray text = serialize(journal);
    beforeFileSystemChange();
    QFile file(fresh);
    QString why;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() || !file.flush()) {
        why = file.errorString();
    }
    file.close();
    // The reason named is that of the step that failed.
    const auto step = [&why](const platform::FileResult& result) {
        if (!result) {
            why = QString::fromStdString(result.describe());
        }
        return bool(result);
    };
    if (!why.isEmpty() || !step(platform::flushFile(nativePath(fresh))) || !renameOnto(fresh, path)
        || !step(platform::syncDirectory(nativePath(workDir)))) {
        if (why.isEmpty()) {
            why = QString::fromLocal8Bit(std::strerror(errno)); // the rename's
        }
        std::fprintf(stderr, "install journal not written: %s (%s)\n", path.toUtf8().constData(),
            why.toUtf8().constData());
        removePath(fresh);
        return false;
    }
    return true;
}

JournalRead readJournal(const QString& workDir, Journal& journal)
{
    QFile file(journalPath(workDir));
    if (!file.exists()) {
        return JournalRead::Missing;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return JournalRead::Unreadable;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.isEmpty() || lines.first() != Marker) {
        return JournalRead::Unreadable;
    }
    journal = Journal();
    bool stateSeen = false;
    for (const QByteArray& line : lines.mid(1)) {
        const QList<QByteArray> fields = line.split(' ');
        const QByteArray& key = fields.first();
        if (key == "state" && fields.size() == 2) {
            stateSeen = stateFromName(fields[1], journal.state);
            if (!stateSeen) {
                return JournalRead::Unreadable;
            }
        } else if (key == "diff" && fields.size() == 2) {
            journal.diffPath = decodePath(fields[1]);
        } else if (key == "dir" && fields.size() == 2) {
            journal.createdDirs.append(decodePath(fields[1]));
        } else if (key == "leftover" && fields.size() == 2) {
            journal.leftovers.append(decodePath(fields[1]));
        } else if (key == "prune" && fields.size() == 2) {
            journal.pruneDirs.append(decodePath(fields[1]));
        } else if (key == "previous" && fields.size() == 5) {
            bool timeoutOk = false;
            bool startsOk = false;
            journal.keepPrevious = true;
            journal.oldVersion = fields[1];
            journal.newVersion = fields[2];
            journal.healthTimeout = fields[3].toInt(&timeoutOk);
            journal.healthStarts = fields[4].toInt(&startsOk);
            if (!timeoutOk || !startsOk) {
                return JournalRead::Unreadable;
            }
        } else if (key == "step") {
            if (fields.size() != 9 || (fields[1] != "replace" && fields[1] != "delete")) {
                return JournalRead::Unreadable;
            }
            JournalStep step;
            step.deletion = fields[1] == "delete";
            step.hadTarget = fields[2] == "1";
            bool number = false;
            step.size = fields[3].toLongLong(&number);
            step.target = decodePath(fields[4]);
            step.staged = decodePath(fields[5]);
            step.backup = decodePath(fields[6]);
            step.fetched = decodePath(fields[7]);
            step.sha256 = fields[8] == "-" ? QByteArray() : fields[8];
            if (!number || step.target.isEmpty() || step.backup.isEmpty()
                || step.staged.isEmpty() != step.deletion) {
                return JournalRead::Unreadable;
            }
            journal.steps.push_back(step);
        }
        // Other lines are additions of a later version and are passed over.
    }
    return stateSeen ? JournalRead::Read : JournalRead::Unreadable;
}

bool removeJournal(const QString& workDir)
{
    const QString path = journalPath(workDir);
    const bool removed = removePath(path + QStringLiteral(".new")) && removePath(path);
    syncDir(workDir);
    return removed;
}

namespace journalsteps {

bool commit(JournalStep& step)
{
    if (step.deletion) {
        if (!present(step.target)) {
            return true;
        }
        // A second link keeps the file without moving it; where links are not to be had the
        // file itself is moved to the backup name.
        if (!present(step.backup) && !keepAside(step.target, step.backup)) {
            return false;
        }
        return removePath(step.target);
    }
    if (!present(step.staged)) {
        // Renamed onto the target by an earlier attempt.
        return present(step.target);
    }
    // A folder is never replaced by a file: its content is not the release's to drop.
    if (isFolder(step.target)) {
        return false;
    }
    if (present(step.target) && !present(step.backup) && !keepAside(step.target, step.backup)) {
        return false;
    }
    // The staged copy was hidden while it had its temporary name.
    platform::setHidden(nativePath(step.staged), false);
    if (renameOnto(step.staged, step.target)) {
        return placedVisible(step.target);
    }
    // A file that is held (a loaded library of the updater itself on Windows) cannot be
    // replaced, but it can be renamed aside: the backup becomes the held file itself, and the
    // new file takes its name. The held backup is removed once free, by this run or a later one.
    if (present(step.target) && sameFile(step.target, step.backup)) {
        return removePath(step.backup) && moveAside(step.target, step.backup)
            && renameOnto(step.staged, step.target) && placedVisible(step.target);
    }
    return false;
}

bool takeBack(JournalStep& step, bool committed)
{
    bool restored = true;
    if (present(step.backup)) {
        platform::setHidden(nativePath(step.backup), false);
        restored = renameOnto(step.backup, step.target);
        if (!restored) {
            std::fprintf(stderr, "merge: cannot restore %s, its previous content is in %s\n",
                step.target.toUtf8().constData(), step.backup.toUtf8().constData());
        }
    } else if (committed && !step.deletion && !step.hadTarget && !present(step.staged) && present(step.target)) {
        // Placed where there was nothing: taking it back means removing it.
        restored = removePath(step.target);
    }
    if (!step.deletion) {
        restored = removePath(step.staged) && restored;
    }
    return restored;
}

void finish(const QString& workDir, Journal& journal)
{
    QStringList remaining;
    const auto removeOrKeep = [&remaining](const QString& path) {
        if (!removePath(path)) {
            remaining.append(path);
        }
    };
    for (const QString& leftover : journal.leftovers) {
        removeOrKeep(leftover);
    }
    // Before the backups go: they are what the previous version is made of.
    if (journal.keepPrevious) {
        keepPreviousVersion(workDir, journal);
    }
    for (const JournalStep& step : journal.steps) {
        removeOrKeep(step.backup);
        if (!step.deletion) {
            removeOrKeep(step.staged);
        }
    }
    syncTargetDirs(journal);
    for (const JournalStep& step : journal.steps) {
        if (!step.fetched.isEmpty()) {
            removeOrKeep(step.fetched);
            removeEmptyParents(step.fetched, workDir);
        }
    }
    if (!journal.diffPath.isEmpty()) {
        removeOrKeep(journal.diffPath);
    }
    for (auto it = journal.pruneDirs.crbegin(); it != journal.pruneDirs.crend(); ++it) {
        if (present(*it)) {
            removeEmptyDir(*it);
        }
    }
    if (remaining.isEmpty()) {
        removeJournal(workDir);
        return;
    }
    // Held files (Windows) go on a later run; the journal now only names them.
    Journal rest;
    rest.state = Journal::State::Finished;
    rest.leftovers = remaining;
    for (const QString& path : remaining) {
        say("not removed yet, left for a later run: ", path);
    }
    writeJournal(workDir, rest);
    journal = rest;
}

bool rollBack(const QString& workDir, Journal& journal)
{
    const bool committed = journal.state != Journal::State::Staging;
    if (journal.state == Journal::State::Committing) {
        journal.state = Journal::State::RollingBack;
        // Without the record a later run would finish the install forward from what is left.
        writeJournal(workDir, journal);
    }
    bool restored = true;
    for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
        restored = takeBack(*it, committed) && restored;
    }
    for (auto it = journal.createdDirs.crbegin(); it != journal.createdDirs.crend(); ++it) {
        removeEmptyDir(*it);
    }
    syncTargetDirs(journal);
    if (restored) {
        removeJournal(workDir);
    }
    return restored;
}

bool flushStaged(const Journal& journal)
{
    // One syncfs per file system writes every staged copy and folder entry out at once, far
    // cheaper than an fsync per file and per folder for a release of many small files.
    const QStringList dirs = parentDirs(journal, true);
    if (syncFileSystemsOf(dirs)) {
        return true;
    }
    for (const JournalStep& step : journal.steps) {
        if (!step.staged.isEmpty() && !flushFile(step.staged)) {
            return false;
        }
    }
    for (const QString& dir : dirs) {
        if (!syncDir(dir)) {
            return false;
        }
    }
    return true;
}

void syncTargetDirs(const Journal& journal)
{
    const QStringList dirs = parentDirs(journal, false);
    if (syncFileSystemsOf(dirs)) {
        return;
    }
    for (const QString& dir : dirs) {
        syncDir(dir);
    }
}

} // namespace journalsteps

namespace {

// Whether the install can be finished forward: every step is either placed (its staged copy
// gone, the target there) or still has its staged copy, whole.
bool canFinishForward(const Journal& journal)
{
    for (const JournalStep& step : journal.steps) {
        if (step.deletion) {
            continue;
        }
        if (present(step.staged)) {
            if (step.size >= 0 && sizeOf(step.staged) != step.size) {
                say("staged copy damaged: ", step.staged);
                return false;
            }
            std::int64_t size = -1;
            Sha256Digest digest {};
            if (!step.sha256.isEmpty()
                && (!hashFile(step.staged, size, digest)
                    || QByteArray::fromStdString(Sha256::toHex(digest)) != step.sha256)) {
                say("staged copy damaged: ", step.staged);
                return false;
            }
        } else if (!present(step.target)) {
            say("staged copy missing: ", step.staged);
            return false;
        }
    }
    return true;
}

// Why the installation may not be touched now, or null when the host executable is free (or
// missing). Mode 1 waits as the merge does: ten one-second sleeps at most.
const char* hostBlocks(const QString& hostExe, int mode)
{
    const QByteArray path = hostExe.toUtf8();
    for (int remaining = mode == 1 ? 10 : 0;; --remaining) {
        switch (probeExecutable(path.constData())) {
        case platform::WriteProbe::Free:
        case platform::WriteProbe::Missing:
            return nullptr;
        case platform::WriteProbe::NoPermission:
            return "no permission to write the installation";
        case platform::WriteProbe::InUse:
        case platform::WriteProbe::Failed:
            break;
        }
        if (remaining == 0) {
            return "the host is in use";
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

} // namespace

const char* installationBlocked(const QString& hostExe, int mode)
{
    return hostBlocks(hostExe, mode);
}

Recovery recoverInstall(const QString& workDir, const QString& hostExe, int mode)
{
    Journal journal;
    switch (readJournal(workDir, journal)) {
    case JournalRead::Missing:
        // A journal update cut short before its rename.
        removePath(journalPath(workDir) + QStringLiteral(".new"));
        return Recovery::NoJournal;
    case JournalRead::Unreadable:
        say("install journal unreadable, installation left as it is: ", journalPath(workDir));
        return Recovery::Failed;
    case JournalRead::Read:
        break;
    }
    if (journal.state == Journal::State::Finished) {
        // The install is complete; only files that were held remain to be removed.
        journalsteps::finish(workDir, journal);
        return Recovery::Cleaned;
    }
    if (mode != 1 && mode != 2) {
        std::fprintf(stderr, "interrupted install left as it is: mode %d installs nothing\n", mode);
        return Recovery::Left;
    }
    if (const char* blocked = hostBlocks(hostExe, mode)) {
        std::fprintf(stderr, "interrupted install left as it is: %s\n", blocked);
        return Recovery::Left;
    }
    if (journal.state == Journal::State::Committing && canFinishForward(journal)) {
        bool placed = true;
        for (JournalStep& step : journal.steps) {
            if (!journalsteps::commit(step)) {
                say("merge: cannot replace ", step.target);
                placed = false;
                break;
            }
        }
        if (placed) {
            journalsteps::syncTargetDirs(journal);
            journalsteps::finish(workDir, journal);
            std::fprintf(stderr, "interrupted install completed\n");
            return Recovery::Completed;
        }
    }
    if (!journalsteps::rollBack(workDir, journal)) {
        return Recovery::Failed;
    }
    std::fprintf(stderr, "interrupted install taken back\n");
    return Recovery::TakenBack;
}
