#include "healthcheck.h"

#include "journal.h"
#include "previousreturn.h"
#include "previousversion.h"

#include <QFileInfo>
#include <QProcess>

#include <cstdio>

namespace {

void say(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
}

bool returnNow(const QString& workDir, const PreviousVersion& previous, const QString& why)
{
    say(QStringLiteral("start check of %1 failed: %2; returning to %3")
            .arg(QString::fromUtf8(previous.newVersion), why, QString::fromUtf8(previous.oldVersion)));
    if (!returnToPrevious(workDir)) {
        say(QStringLiteral("return to %1 not made").arg(QString::fromUtf8(previous.oldVersion)));
        return false;
    }
    say(QStringLiteral("returned to %1").arg(QString::fromUtf8(previous.oldVersion)));
    return true;
}

} // namespace

bool runHealthCheck(const QString& hostExe, const QString& appDir, const QString& workDir, int timeoutSeconds,
    QString* why)
{
    if (!removeWorkRecord(workDir, HealthConfirmedName)) {
        *why = QStringLiteral("an earlier confirmation cannot be removed");
        return false;
    }
    QProcess host;
    host.setProgram(hostExe);
    host.setArguments({ QString::fromLatin1(HealthCheckArgument) });
    host.setWorkingDirectory(appDir);
    host.setProcessChannelMode(QProcess::ForwardedChannels);
    host.start();
    if (!host.waitForStarted(30000)) {
        *why = QStringLiteral("not started (%1)").arg(host.errorString());
        return false;
    }
    if (!host.waitForFinished(timeoutSeconds * 1000)) {
        host.kill();
        host.waitForFinished(10000);
        *why = QStringLiteral("no end within %1 s, ended").arg(timeoutSeconds);
        return false;
    }
    if (host.exitStatus() == QProcess::CrashExit) {
        *why = QStringLiteral("crashed");
        return false;
    }
    if (host.exitCode() != 0) {
        *why = QStringLiteral("exit code %1").arg(host.exitCode());
        return false;
    }
    if (readWorkRecord(workDir, HealthConfirmedName).isEmpty()) {
        *why = QStringLiteral("ended without confirming");
        return false;
    }
    removeWorkRecord(workDir, HealthConfirmedName);
    return true;
}

Settled settlePreviousVersion(const QString& workDir, const QString& hostExe, const QString& appDir, int mode,
    bool* returnedAfterStarts)
{
    if (returnedAfterStarts) {
        *returnedAfterStarts = false;
    }
    if (mode != 1 && mode != 2) {
        return Settled::Nothing;
    }
    const bool pending = QFileInfo::exists(workFile(workDir, ReturnPendingName));
    PreviousVersion previous;
    const PreviousRead read = readPreviousVersion(workDir, previous);
    if (!pending && read != PreviousRead::Read) {
        if (read == PreviousRead::Unreadable) {
            say(QStringLiteral("previous version record unreadable, left as it is: %1")
                    .arg(workFile(workDir, PreviousRecordName)));
        }
        return Settled::Nothing;
    }
    if (const char* blocked = installationBlocked(hostExe, mode)) {
        say(QStringLiteral("previous version left as it is: %1").arg(QString::fromLatin1(blocked)));
        return Settled::Nothing;
    }
    if (pending) {
        // A killed return: its journal was finished forward, or taken back and made again.
        if (read == PreviousRead::Read) {
            return returnToPrevious(workDir) ? Settled::Returned : Settled::Failed;
        }
        completeReturn(workDir);
        return Settled::Returned;
    }
    if (!previous.checked) {
        QString why;
        if (!runHealthCheck(hostExe, appDir, workDir, previous.timeout, &why)) {
            return returnNow(workDir, previous, why) ? Settled::Returned : Settled::Failed;
        }
        previous.checked = true;
        writePreviousVersion(workDir, previous);
        removeWorkRecord(workDir, HealthStartsName);
        say(QStringLiteral("start check of %1 passed").arg(QString::fromUtf8(previous.newVersion)));
        return Settled::Kept;
    }
    const int starts = readWorkRecord(workDir, HealthStartsName).toInt();
    if (starts >= previous.starts) {
        if (returnedAfterStarts) {
            *returnedAfterStarts = true;
        }
        return returnNow(workDir, previous, QStringLiteral("%1 starts without confirmation").arg(starts))
            ? Settled::Returned
            : Settled::Failed;
    }
    return Settled::Nothing;
}
