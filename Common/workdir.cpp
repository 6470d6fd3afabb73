#include "workdir.h"

#include <QFile>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

bool isTrustedWorkDir(const QString& dir, QString* reason)
{
#ifdef _WIN32
    Q_UNUSED(dir);
    Q_UNUSED(reason);
    return true;
#else
    const auto refuse = [reason](const QString& why) {
        if (reason) {
            *reason = why;
        }
        return false;
    };
    struct stat status {};
    // lstat: a link to a directory must not pass as the directory.
    if (::lstat(QFile::encodeName(dir).constData(), &status) != 0) {
        return refuse(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (S_ISLNK(status.st_mode)) {
        return refuse(QStringLiteral("is a symbolic link"));
    }
    if (!S_ISDIR(status.st_mode)) {
        return refuse(QStringLiteral("is not a directory"));
    }
    if (status.st_uid != ::geteuid()) {
        return refuse(QStringLiteral("is owned by user %1, not by user %2").arg(status.st_uid).arg(::geteuid()));
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(QStringLiteral("is writable by other users (mode %1)")
                          .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0')));
    }
    return true;
#endif
}

QString updaterLockPath(const QString& workDir)
{
    return workDir + QStringLiteral("/RevisionPusher.lock");
}

std::unique_ptr<QLockFile> takeUpdaterLock(const QString& workDir, bool* held, QString* reason)
{
    auto lock = std::make_unique<QLockFile>(updaterLockPath(workDir));
    // Age says nothing here: a download of a large release may run for hours. Only a lock whose
    // process has died is stale, which QLockFile finds out by itself.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        if (held) {
            *held = false;
        }
        return lock;
    }
    const bool byOther = lock->error() == QLockFile::LockFailedError;
    if (held) {
        *held = byOther;
    }
    if (reason) {
        *reason = byOther ? QStringLiteral("held by another updater")
                          : QStringLiteral("cannot create %1").arg(updaterLockPath(workDir));
    }
    return nullptr;
}

bool isUpdaterLocked(const QString& workDir)
{
    bool held = false;
    takeUpdaterLock(workDir, &held);
    return held;
}
