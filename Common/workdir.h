#pragma once

// Trust in the update's working directory, and the one-updater-at-a-time lock kept in it.
//
// On Linux the temporary directory is shared by every user, so "$TMPDIR/Host" may have been
// made, or linked elsewhere, by someone else; whoever can write there could plant the files the
// updater installs. It is used only when it is a real directory (not a symbolic link) owned by
// the current user and writable by nobody else. When it is not, nothing is fetched, written or
// installed: the updater ends after one diagnostic and the update check writes no file. On
// Windows the per-user TMP is private already and every directory passes.
//
// Inside a trusted directory only its owner can create entries, which is what makes the
// per-path symbolic-link checks of the download and the merge sufficient.

#include <QLockFile>
#include <QString>

#include <memory>

// Whether dir may be used as the working directory; on refusal *reason (when given) names the
// cause in a few words, with the system's error text where a call failed.
bool isTrustedWorkDir(const QString& dir, QString* reason = nullptr);

// The lock file that marks a running updater: dir + "/RevisionPusher.lock".
QString updaterLockPath(const QString& workDir);

// Takes the updater lock of workDir for as long as the answer lives. A lock left by a process
// that has died is taken over; a lock of a live process is never stale, however long its run.
// Null when another updater holds it (*held is then true) or the lock file cannot be made
// (*held false, *reason says why).
std::unique_ptr<QLockFile> takeUpdaterLock(const QString& workDir, bool* held, QString* reason = nullptr);

// Whether an updater holds the lock of workDir now. Does not keep the lock.
bool isUpdaterLocked(const QString& workDir);
