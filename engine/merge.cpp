// Putting the fetched files in place. The install is all or nothing:
//
//   check    every [Add] and [Changed] entry (the updater's own executable aside) is
//            Downloaded and its fetched copy is in the working directory; else nothing is done
//   stage    each fetched copy gets a hidden temporary name beside its target: a second link
//            to it where the file system allows, else a copy
//   commit   each installed file that is replaced or deleted gets a hidden backup name beside
//            it (a second link, else the file is moved there), and the staged copy is renamed
//            onto the target
//   finish   backups, fetched copies and the version-difference file are removed
//
// A failure while staging or committing takes back every step already made (restores the
// backups, removes staged copies and the directories made for them), so the installation is
// as it was and the working directory still holds the fetched copies and the file with their
// states for the next run. Every temporary and backup name lies in the target's own directory,
// which is below the installation directory, and keeps each rename on one file system.

#include "download.h"

#include "enginepaths.h"
#include "filehelpers.h"
#include "leftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QTemporaryFile>

#include <cassert>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr qint64 CopyChunk = 1 << 20;

struct Step
{
    QString relative;
    QString target;
    QString source; // the fetched copy; empty for a deletion
    QString staged; // the temporary copy beside the target, while it exists
    QString backup; // the installed file's backup name, while it exists
    bool backupIsLink = false; // a second link to the installed file, not the file moved aside
    bool stagedIsCopy = false; // a file of its own, marked hidden until it takes the target's name
    bool placed = false;
};

// The file name of the updater's own executable, with ".exe".
QString ownExecutableName()
{
    QString name = executableFileName();
    if (!name.endsWith(QLatin1String(".exe"), fileNameCase())) {
        name += QLatin1String(".exe");
    }
    return name;
}

bool removeFile(const QString& path)
{
    return bool(platform::removeFile(nativePath(path)));
}

bool presentAt(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymbolicLink();
}

// Renames onto an existing name; a hidden temporary copy loses its mark first, since Windows
// keeps a file's attributes across the rename.
platform::FileResult moveOnto(const QString& from, const QString& to, bool unhide)
{
    if (unhide) {
        platform::setHidden(nativePath(from), false);
    }
    return replaceFile(from, to);
}

// A hidden name beside target that nobody else uses, made by creating the file empty.
QString reserveBeside(const QString& target, const char* purpose)
{
    const QFileInfo info(target);
    QTemporaryFile file(joinPath(info.path(),
        QLatin1Char('.') + info.fileName() + QLatin1Char('.') + QLatin1String(purpose)
            + QLatin1String("-XXXXXX")));
    file.setAutoRemove(false);
    return file.open() ? file.fileName() : QString();
}

// A second (hard) link to file under a fresh hidden name beside target; empty when the file
// system cannot make one. The name is taken only if nobody holds it, so no file is replaced.
QString linkBeside(const QString& file, const QString& target, const char* purpose)
{
    const QFileInfo info(target);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name = joinPath(info.path(),
            QStringLiteral(".%1.%2-%3")
                .arg(info.fileName(), QLatin1String(purpose))
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        std::error_code error;
        std::filesystem::create_hard_link(nativePath(file), nativePath(name), error);
        if (!error) {
            return name;
        }
        if (error != std::errc::file_exists) {
            return QString();
        }
    }
    return QString();
}

bool copyBeside(Step& step)
{
    QFile in(step.source);
    if (!in.open(QIODevice::ReadOnly)) {
        return false;
    }
    step.staged = reserveBeside(step.target, "stage");
    if (step.staged.isEmpty()) {
        return false;
    }
    step.stagedIsCopy = true;
    QFile out(step.staged);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    QByteArray buffer(CopyChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (out.write(buffer.constData(), got) != got) {
            return false;
        }
    }
    out.close();
    // Hidden only once written: Windows refuses to truncate a hidden file opened without the mark.
    platform::setHidden(nativePath(step.staged));
    return out.error() == QFileDevice::NoError;
}

// The staged bytes reach the disk before any rename relies on them: after a power loss a
// renamed file must not show up empty.
bool flushStaged(const Step& step)
{
    const platform::FileResult flushed = platform::flushFile(nativePath(step.staged));
    if (!flushed) {
        std::fprintf(stderr, "merge: cannot flush %s: %s\n", step.staged.toUtf8().constData(),
            flushed.describe().c_str());
    }
    return bool(flushed);
}

// Puts the fetched file under a temporary name beside the target, linked or copied. The staged
// file takes the permissions of the file it replaces (an executable stays executable).
bool stage(Step& step)
{
    // A link costs no copy of the bytes; a symbolic link is copied through, or the installed
    // file would become a link into the working directory.
    if (!QFileInfo(step.source).isSymbolicLink()) {
        step.staged = linkBeside(step.source, step.target, "stage");
    }
    if (step.staged.isEmpty() && !copyBeside(step)) {
        return false;
    }
    if (!flushStaged(step)) {
        return false;
    }
    const QFileInfo replaced(step.target);
    if (replaced.exists()) {
        QFile::setPermissions(step.staged, replaced.permissions());
    }
    return true;
}

// Whether a running program holds the file so that its name can only be renamed, not replaced
// or removed: the updater's own DLLs and plugins on Windows.
bool heldByRunningImage(const QString& path)
{
    return platform::runningImagesKeepTheirName()
        && platform::probeForWriting(nativePath(path)) == platform::WriteProbe::InUse;
}

// Moves the installed file to a fresh backup name beside it.
platform::FileResult moveToBackup(Step& step, bool held)
{
    const QString reserved = reserveBeside(step.target, "backup");
    if (reserved.isEmpty()) {
        return { std::make_error_code(std::errc::io_error) };
    }
    platform::FileResult moved;
    if (held) {
        // A held file may be renamed, but not onto an existing name.
        removeFile(reserved);
        moved = platform::renameAside(nativePath(step.target), nativePath(reserved));
    } else {
        moved = replaceFile(step.target, reserved);
    }
    if (!moved) {
        removeFile(reserved);
        return moved;
    }
    step.backup = reserved;
    platform::setHidden(nativePath(reserved));
    return moved;
}

// Keeps the installed file under a backup name, then renames the staged copy (if any) over
// the target. Where the backup can be a second link the target never goes missing: the rename
// replaces it in one step. Otherwise, and always for a file a running program holds, the
// installed file is moved aside first.
platform::FileResult commit(Step& step)
{
    if (presentAt(step.target)) {
        const bool held = heldByRunningImage(step.target);
        if (!held) {
            step.backup = linkBeside(step.target, step.target, "backup");
            step.backupIsLink = !step.backup.isEmpty();
        }
        if (!step.backupIsLink) {
            if (const platform::FileResult moved = moveToBackup(step, held); !moved) {
                return moved;
            }
        }
    }
    if (step.staged.isEmpty()) {
        // A deletion: the backup now holds the file.
        return step.backupIsLink ? platform::removeFile(nativePath(step.target)) : platform::FileResult {};
    }
    const platform::FileResult placed = moveOnto(step.staged, step.target, step.stagedIsCopy);
    if (!placed) {
        return placed;
    }
    step.staged.clear();
    step.placed = true;
    return placed;
}

void takeBack(Step& step)
{
    if (!step.backup.isEmpty()) {
        if (step.backupIsLink && !step.placed && presentAt(step.target)) {
            // The installed file was never replaced; its second name just goes.
            removeFile(step.backup);
            step.backup.clear();
        } else if (moveOnto(step.backup, step.target, !step.backupIsLink)) {
            // Renaming the backup over a placed copy restores the old file in one step.
            step.backup.clear();
        } else {
            std::fprintf(stderr, "merge: cannot restore %s, its previous content is in %s\n",
                step.target.toUtf8().constData(), step.backup.toUtf8().constData());
        }
    } else if (step.placed) {
        removeFile(step.target);
    }
    step.placed = false;
    if (!step.staged.isEmpty()) {
        removeFile(step.staged);
        step.staged.clear();
    }
}

void takeBackAll(std::vector<Step>& steps, const QStringList& createdDirs)
{
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        takeBack(*it);
    }
    removeCreatedDirs(createdDirs);
}

// Takes away the directories that held a fetched copy once they are empty, up to the root.
void removeEmptyParents(const QString& file, const QString& root)
{
    const QString below = QDir::cleanPath(root) + QLatin1Char('/');
    for (QString dir = QDir::cleanPath(QFileInfo(file).path()); dir.startsWith(below);
         dir = QFileInfo(dir).path()) {
        if (!QDir().rmdir(dir)) {
            break;
        }
    }
}

} // namespace

int Download::merge(const char* hostExe)
{
    assert(hostExe != nullptr);
    switch (mode) {
    case 0:
        std::fprintf(stderr, "exe  started,  merge  delay ...\n");
        return 1;
    case 1:
        // Eleven tests at most, a second apart; only a free result in the first ten installs.
        for (int remaining = 10;; --remaining) {
            const platform::WriteProbe host = probeExecutable(hostExe);
            if (host == platform::WriteProbe::NoPermission) {
                // Waiting does not change who may write the installation.
                return 0;
            }
            if (host == platform::WriteProbe::Free || host == platform::WriteProbe::Missing) {
                if (remaining == 0) {
                    return 0;
                }
                std::fprintf(stderr, "exe  finished,  merge  right now !\n");
                return installFiles();
            }
            if (remaining == 0) {
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    case 2: {
        // A running host executable cannot be replaced: leave everything for the next run.
        const platform::WriteProbe host = probeExecutable(hostExe);
        const bool free = host == platform::WriteProbe::Free || host == platform::WriteProbe::Missing;
        const int installed = free ? installFiles() : 0;
        std::fprintf(stderr, "merge ok !\n");
        return installed;
    }
    default:
        return 1;
    }
}

int Download::installFiles()
{
    if (!loaded) {
        return 0;
    }
    const QString own = ownExecutableName();
    const QString appRoot = QString::fromUtf8(appDir.c_str());
    const QString workRoot = QString::fromUtf8(workDir.c_str());

    std::vector<Step> steps;
    QHash<QString, std::size_t> stepOfPath;
    QStringList fetched;
    for (const FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        const QString relative = QString::fromUtf8(entry->file);
        const char* reason = nullptr;
        if (!isUsableRelativePath(entry->file, &reason)) {
            std::fprintf(stderr, "merge: %s: %s, nothing installed\n", entry->file, reason);
            return 0;
        }
        // The running updater cannot replace itself; the update check installs its new copy.
        if (lastComponent(relative).compare(own, fileNameCase()) == 0) {
            continue;
        }
        const QString source = entry->action == Delete ? QString() : joinPath(workRoot, relative);
        const QString target = joinPath(appRoot, relative);
        if (!source.isEmpty()) {
            const QFileInfo copy(source);
            if (entry->state != Downloaded || !copy.isFile()) {
                std::fprintf(stderr, "merge: %s is not downloaded, nothing installed\n", entry->file);
                return 0;
            }
            // With the working directory being the installation directory the copy was fetched
            // straight into place; moving it aside and then removing "the copy" would lose it.
            if (copy.canonicalFilePath() == QFileInfo(target).canonicalFilePath()) {
                continue;
            }
            fetched.append(source);
        }
        if (entry->action == Delete && QFileInfo(target).isDir() && !QFileInfo(target).isSymbolicLink()) {
            std::fprintf(stderr, "merge: %s is a directory, not deleted\n", entry->file);
            continue;
        }
        // The same file listed twice is put in place once, as its last entry says.
        const QString key = QDir::cleanPath(relative);
        const auto known = stepOfPath.constFind(key);
        if (known != stepOfPath.cend()) {
            steps[*known].source = source;
            continue;
        }
        stepOfPath.insert(key, steps.size());
        steps.push_back(Step { relative, target, source, {}, {}, false, false, false });
    }

    QStringList createdDirs;
    for (Step& step : steps) {
        if (step.source.isEmpty()) {
            continue;
        }
        if (!makeParentDirs(appRoot, step.relative, &createdDirs) || !stage(step)) {
            std::fprintf(
                stderr, "merge: cannot stage %s, nothing installed\n", step.target.toUtf8().constData());
            takeBackAll(steps, createdDirs);
            return 0;
        }
    }
    for (Step& step : steps) {
        if (const platform::FileResult committed = commit(step); !committed) {
            std::fprintf(stderr, "merge: cannot replace %s: %s, nothing installed\n",
                step.target.toUtf8().constData(), committed.describe().c_str());
            takeBackAll(steps, createdDirs);
            return 0;
        }
    }

    // A backup that a running program still holds (a DLL of this updater) goes in a later run.
    for (Step& step : steps) {
        if (!step.backup.isEmpty()) {
            removeNowOrLater(workRoot, step.backup);
        }
    }
    for (const QString& source : fetched) {
        removeFile(source);
        removeEmptyParents(source, workRoot);
    }
    removeFile(QString::fromUtf8(diffPath.c_str()));
    return 1;
}
