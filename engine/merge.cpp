// Putting the fetched files in place. The install is all or nothing, and stays so when the
// process dies half-way (see journal.h):
//
//   check    every [Add] and [Changed] entry (the updater's own executable aside) is
//            Downloaded, its fetched copy is a plain file in the working directory and no folder
//            on its way (there or in the installation) is a symbolic link; else nothing is done
//   journal  the steps, with a hidden staged and backup name beside each target, are written
//            to the working directory and made durable before the installation is touched
//   stage    each fetched copy gets its staged name: a second link to it where the file system
//            allows, else a copy; all are flushed, then the journal says "committing"
//   commit   each installed file that is replaced or deleted keeps a backup name (a second
//            link, or the file moved there), and the staged copy is renamed onto the target
//   finish   backups, fetched copies, the version-difference file and the journal are removed
//
// A failure while staging or committing takes back every step already made, so the
// installation is as it was and the working directory still holds the fetched copies and the
// file with their states for the next run. Every staged and backup name lies in the target's
// own directory, which keeps each rename on one file system.

#include "download.h"

#include "changehook.h"
#include "enginepaths.h"
#include "journal.h"
#include "sha256.h"
#include "filehelpers.h"
#include "fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

namespace {

constexpr qint64 CopyChunk = 1 << 20;

// The file name of the updater's own executable, with ".exe".
QString ownExecutableName()
{
    QString name = executableFileName();
    if (!name.endsWith(QLatin1String(".exe"), fileNameCase())) {
        name += QLatin1String(".exe");
    }
    return name;
}

bool presentAt(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymbolicLink();
}

bool copyTo(const QString& source, const QString& staged)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return false;
    }
    beforeFileSystemChange();
    // NewOnly: the name is this merge's own; something already there is not ours to overwrite.
    QFile out(staged);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
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
    return out.error() == QFileDevice::NoError;
}

// Puts the fetched file under its staged name, linked or copied. The staged file takes the
// permissions of the file it replaces (an executable stays executable).
bool stage(const JournalStep& step)
{
    beforeFileSystemChange();
    std::error_code error;
    std::filesystem::create_hard_link(nativePath(step.fetched), nativePath(step.staged), error);
    if (error && !copyTo(step.fetched, step.staged)) {
        return false;
    }
    const QFileInfo replaced(step.target);
    if (replaced.exists() && !replaced.isSymbolicLink()) {
        beforeFileSystemChange();
        QFile::setPermissions(step.staged, replaced.permissions());
    }
    // Out of sight while it has its temporary name (Windows; the leading dot does it elsewhere).
    platform::setHidden(nativePath(step.staged));
    return true;
}

// The folders below root that the file root/relative needs and that do not exist yet,
// outermost first.
QStringList missingDirs(const QString& root, const QString& relative)
{
    QStringList missing;
    const QStringList parts = QDir::cleanPath(relative).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString level = root;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        level = joinPath(level, parts[i]);
        if (!presentAt(level)) {
            missing.append(level);
        }
    }
    return missing;
}

bool makeDirs(const QStringList& dirs)
{
    for (const QString& dir : dirs) {
        beforeFileSystemChange();
        if (!QDir().mkdir(dir)) {
            return false;
        }
    }
    return true;
}

} // namespace

namespace journalsteps {

QString hiddenBeside(const QString& target, const char* purpose, const QString& tag)
{
    const QFileInfo info(target);
    return joinPath(info.path(), QStringLiteral(".%1.%2-%3").arg(info.fileName(), QLatin1String(purpose), tag));
}

QString newTag()
{
    return QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

int install(const QString& workRoot, Journal& journal)
{
    if (!writeJournal(workRoot, journal)) {
        return 0;
    }
    const QString where = QFileInfo(journal.steps.front().target).path();
    const auto giveUp = [&](const char* what, const QString& target) {
        std::fprintf(stderr, "merge: cannot %s %s, nothing installed\n", what, target.toUtf8().constData());
        journalsteps::rollBack(workRoot, journal);
        return 0;
    };
    if (!makeDirs(journal.createdDirs)) {
        return giveUp("create the folders of", where);
    }
    for (JournalStep& step : journal.steps) {
        if (!step.deletion && !stage(step)) {
            return giveUp("stage", step.target);
        }
    }
    if (!journalsteps::flushStaged(journal)) {
        return giveUp("flush the staged copies of", where);
    }
    for (JournalStep& step : journal.steps) {
        if (!step.deletion) {
            step.size = QFileInfo(step.staged).size();
        }
    }
    journal.state = Journal::State::Committing;
    if (!writeJournal(workRoot, journal)) {
        journal.state = Journal::State::Staging;
        return giveUp("record the staged copies of", where);
    }
    for (JournalStep& step : journal.steps) {
        if (!journalsteps::commit(step)) {
            return giveUp("replace", step.target);
        }
    }
    journalsteps::syncTargetDirs(journal);
    journalsteps::finish(workRoot, journal);
    return 1;
}

} // namespace journalsteps

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
    // The working directory is a temporary folder anybody can write to: each fetched copy is
    // checked against its size and hash again right before it is put in place.
    if (!recheckFetchedCopies()) {
        return 0;
    }
    const QString own = ownExecutableName();
    const QString appRoot = QString::fromUtf8(appDir.c_str());
    const QString workRoot = QString::fromUtf8(workDir.c_str());
    const QString tag = journalsteps::newTag();

    // A working directory that is the installation directory holds the copies in place already.
    // Links on a file's way are refused below, so elsewhere only a target that is itself a link
    // can lead to its fetched copy; only then is the file's own path resolved.
    const bool sameRoot = QFileInfo(workRoot).canonicalFilePath() == QFileInfo(appRoot).canonicalFilePath();

    Journal journal;
    journal.diffPath = QString::fromUtf8(diffPath.c_str());
    QHash<QString, std::size_t> stepOfPath;
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
        // A linked folder would take the file out of the installation directory.
        if (const QString link = linkOnPath(appRoot, relative, false); !link.isEmpty()) {
            std::fprintf(stderr, "merge: symbolic link refused: %s, nothing installed\n", link.toUtf8().constData());
            return 0;
        }
        const QString source = entry->action == Delete ? QString() : joinPath(workRoot, relative);
        const QString target = joinPath(appRoot, relative);
        if (!source.isEmpty()) {
            // What lies in the working directory is installed only as a plain file reached
            // through plain folders: a link there could bring in any file of the system.
            if (const QString link = linkOnPath(workRoot, relative, true); !link.isEmpty()) {
                std::fprintf(stderr, "merge: symbolic link refused: %s, nothing installed\n", link.toUtf8().constData());
                return 0;
            }
            const QFileInfo copy(source);
            if (entry->state != Downloaded || !copy.isFile()) {
                std::fprintf(stderr, "merge: %s is not downloaded, nothing installed\n", entry->file);
                return 0;
            }
            // With the working directory being the installation directory the copy was fetched
            // straight into place; moving it aside and then removing "the copy" would lose it.
            if ((sameRoot || isLinkEntry(target)) && copy.canonicalFilePath() == QFileInfo(target).canonicalFilePath()) {
                continue;
            }
        }
        if (entry->action == Delete && QFileInfo(target).isDir() && !QFileInfo(target).isSymbolicLink()) {
            std::fprintf(stderr, "merge: %s is a directory, not deleted\n", entry->file);
            continue;
        }
        JournalStep step;
        step.deletion = source.isEmpty();
        step.hadTarget = presentAt(target);
        step.target = target;
        step.staged = step.deletion ? QString() : journalsteps::hiddenBeside(target, "stage", tag);
        step.backup = journalsteps::hiddenBeside(target, "backup", tag);
        step.fetched = source;
        if (!step.deletion && entry->hasDigest()) {
            // Checked against it once more as it is staged (the copies were re-hashed just now).
            Sha256Digest digest {};
            std::copy(std::begin(entry->sha256), std::end(entry->sha256), digest.begin());
            step.sha256 = QByteArray::fromStdString(Sha256::toHex(digest));
        }
        // The same file listed twice is put in place once, as its last entry says.
        const QString key = QDir::cleanPath(relative);
        const auto known = stepOfPath.constFind(key);
        if (known != stepOfPath.cend()) {
            JournalStep& first = journal.steps[*known];
            first.deletion = step.deletion;
            first.staged = step.staged;
            first.sha256 = step.sha256;
            // A copy fetched for an earlier entry of the path still goes with the rest.
            if (!source.isEmpty()) {
                first.fetched = source;
            }
            continue;
        }
        stepOfPath.insert(key, journal.steps.size());
        journal.steps.push_back(step);
    }
    for (const JournalStep& step : journal.steps) {
        const QString relative = step.target.mid(appRoot.size() + 1);
        for (const QString& dir : step.deletion ? QStringList() : missingDirs(appRoot, relative)) {
            if (!journal.createdDirs.contains(dir)) {
                journal.createdDirs.append(dir);
            }
        }
    }

    if (journal.steps.empty()) {
        beforeFileSystemChange();
        QFile::remove(journal.diffPath);
        return 1;
    }
    if (diff.health.on()) {
        journal.keepPrevious = true;
        journal.oldVersion = diff.oldVersion;
        journal.newVersion = diff.newVersion;
        journal.healthTimeout = diff.health.timeout;
        journal.healthStarts = diff.health.starts;
    }
    return journalsteps::install(workRoot, journal);
}
