#include "previousreturn.h"

#include "changehook.h"
#include "filehelpers.h"
#include "fileops.h"
#include "previousversion.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

bool present(const QString& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(nativePath(path), error).type() != std::filesystem::file_type::not_found;
}

// A second name for the backup in the working directory where both lie on one file system,
// else a copy.
bool linkOrCopy(const QString& from, const QString& to)
{
    beforeFileSystemChange();
    std::error_code error;
    std::filesystem::create_hard_link(nativePath(from), nativePath(to), error);
    if (!error) {
        return true;
    }
    std::filesystem::copy_file(nativePath(from), nativePath(to), error);
    return !error;
}

bool digestOf(const QString& path, qint64& size, QByteArray& hex)
{
    std::int64_t bytes = -1;
    Sha256Digest digest {};
    if (!hashFile(path, bytes, digest)) {
        return false;
    }
    size = bytes;
    hex = QByteArray::fromStdString(Sha256::toHex(digest));
    return true;
}

void say(const char* text, const QString& path)
{
    std::fprintf(stderr, "%s%s\n", text, path.toUtf8().constData());
}

bool dropPrevious(const QString& workDir)
{
    if (!present(workFile(workDir, PreviousRecordName)) && !present(workFile(workDir, PreviousFolderName))) {
        return true;
    }
    beforeFileSystemChange();
    return removePreviousVersion(workDir);
}

// The folders on target's way that do not exist now, outermost first.
QStringList missingParents(const QString& target)
{
    QStringList missing;
    for (QString dir = QFileInfo(target).path(); !present(dir); dir = QFileInfo(dir).path()) {
        missing.prepend(dir);
        if (QFileInfo(dir).path() == dir) {
            break;
        }
    }
    return missing;
}

} // namespace

bool keepPreviousVersion(const QString& workDir, const Journal& journal)
{
    // The record is written last: one of this very install is whole, and a run killed while
    // the backups were being removed after it must not make it again from what is left.
    PreviousVersion kept;
    if (readPreviousVersion(workDir, kept) == PreviousRead::Read && kept.oldVersion == journal.oldVersion
        && kept.newVersion == journal.newVersion) {
        return true;
    }
    if (!dropPrevious(workDir)) {
        say("previous version not kept: an earlier one could not be removed from ", workDir);
        return false;
    }
    const QString folder = workFile(workDir, PreviousFolderName);
    beforeFileSystemChange();
    if (!QDir().mkpath(folder)) {
        say("previous version not kept: cannot make ", folder);
        return false;
    }
    PreviousVersion previous;
    previous.oldVersion = journal.oldVersion;
    previous.newVersion = journal.newVersion;
    previous.timeout = journal.healthTimeout;
    previous.starts = journal.healthStarts;
    previous.dirs = journal.createdDirs;
    int number = 0;
    for (const JournalStep& step : journal.steps) {
        if (!step.hadTarget) {
            if (!step.deletion) {
                previous.added.append(step.target);
            }
            continue;
        }
        PreviousFile file;
        file.target = step.target;
        file.copy = joinPath(folder, QString::number(++number));
        const char* failed = !present(step.backup)  ? "its backup is gone: "
            : !linkOrCopy(step.backup, file.copy)    ? "cannot link or copy: "
            : !digestOf(file.copy, file.size, file.sha256) ? "cannot read: "
            : !platform::flushFile(nativePath(file.copy)) ? "cannot flush: "
                                                           : nullptr;
        if (failed) {
            std::fprintf(stderr, "previous version not kept: %s%s\n", failed, step.target.toUtf8().constData());
            dropPrevious(workDir);
            return false;
        }
        previous.files.push_back(file);
    }
    platform::syncDirectory(nativePath(folder));
    beforeFileSystemChange();
    if (!writePreviousVersion(workDir, previous)) {
        dropPrevious(workDir);
        return false;
    }
    return true;
}

bool returnToPrevious(const QString& workDir)
{
    PreviousVersion previous;
    if (readPreviousVersion(workDir, previous) != PreviousRead::Read) {
        say("no previous version to return to in ", workDir);
        return false;
    }
    for (const PreviousFile& file : previous.files) {
        qint64 size = -1;
        QByteArray hex;
        if (!digestOf(file.copy, size, hex) || size != file.size || hex != file.sha256) {
            say("previous version damaged, not returned: ", file.copy);
            return false;
        }
    }
    beforeFileSystemChange();
    if (!writeWorkRecord(workDir, ReturnPendingName, previous.newVersion)) {
        return false;
    }
    Journal journal;
    journal.diffPath = workFile(workDir, PreviousRecordName);
    journal.pruneDirs = previous.dirs;
    const QString tag = journalsteps::newTag();
    QSet<QString> dirs;
    for (const PreviousFile& file : previous.files) {
        JournalStep step;
        step.hadTarget = present(file.target);
        step.target = file.target;
        step.staged = journalsteps::hiddenBeside(file.target, "stage", tag);
        step.backup = journalsteps::hiddenBeside(file.target, "backup", tag);
        step.fetched = file.copy;
        step.sha256 = file.sha256;
        for (const QString& dir : missingParents(file.target)) {
            if (!dirs.contains(dir)) {
                dirs.insert(dir);
                journal.createdDirs.append(dir);
            }
        }
        journal.steps.push_back(step);
    }
    for (const QString& target : previous.added) {
        if (!present(target)) {
            continue;
        }
        JournalStep step;
        step.deletion = true;
        step.hadTarget = true;
        step.target = target;
        step.backup = journalsteps::hiddenBeside(target, "backup", tag);
        journal.steps.push_back(step);
    }
    if (journal.steps.empty()) {
        dropPrevious(workDir);
    } else if (journalsteps::install(workDir, journal) != 1) {
        return false;
    }
    completeReturn(workDir);
    return true;
}

void completeReturn(const QString& workDir)
{
    const QByteArray from = readWorkRecord(workDir, ReturnPendingName);
    if (from.isEmpty()) {
        return;
    }
    // The version returned from is recorded before the mark of the return goes.
    beforeFileSystemChange();
    writeReportedVersion(workDir, ReturnedVersionName, ReportedVersion { from, false });
    removeWorkRecord(workDir, HealthStartsName);
    removeWorkRecord(workDir, HealthConfirmedName);
    dropPrevious(workDir);
    beforeFileSystemChange();
    removeWorkRecord(workDir, ReturnPendingName);
}
