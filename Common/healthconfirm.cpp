// The host's side of the start check: UpdateCheck::confirmHealthy, and the count of starts of a
// version installed but not yet confirmed.

#include "updatecheck.h"

#include "debugmessage.h"
#include "filehelpers.h"
#include "installationidentity.h"
#include "previousversion.h"
#include "workdir.h"

#include "uploadmanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSysInfo>

#include <json/value.h>

#include <cstdio>
#include <cstdlib>

bool UpdateCheck::isHealthCheckStart()
{
    return QCoreApplication::arguments().contains(QString::fromLatin1(HealthCheckArgument));
}

void UpdateCheck::confirmHealthy()
{
    const QString dir = updateWorkDir(executableFileName());
    if (!isTrustedWorkDir(dir)) {
        return;
    }
    if (isHealthCheckStart()) {
        const bool recorded
            = writeWorkRecord(dir, HealthConfirmedName, QByteArray::number(QCoreApplication::applicationPid()));
        std::fflush(stdout);
        std::fflush(stderr);
        // Without the record the check fails, whatever the exit code says.
        std::exit(recorded ? 0 : 1);
    }
    // A return under way is not stopped by a start of the version it leaves.
    if (QFileInfo::exists(workFile(dir, ReturnPendingName))) {
        return;
    }
    PreviousVersion previous;
    if (readPreviousVersion(dir, previous) != PreviousRead::Read) {
        return;
    }
    if (removePreviousVersion(dir)) {
        removeWorkRecord(dir, HealthStartsName);
        debugMessage("version confirmed, previous version removed:", QString::fromUtf8(previous.oldVersion));
    }
}

bool UpdateCheck::countUnconfirmedStart(const QString& workDir, const QByteArray& installedToken)
{
    PreviousVersion previous;
    if (QFileInfo::exists(workFile(workDir, ReturnPendingName))
        || readPreviousVersion(workDir, previous) != PreviousRead::Read || !previous.checked
        || previous.newVersion != installedToken) {
        return false;
    }
    const int starts = readWorkRecord(workDir, HealthStartsName).toInt();
    if (starts >= previous.starts) {
        return true;
    }
    writeWorkRecord(workDir, HealthStartsName, QByteArray::number(starts + 1));
    return false;
}

void UpdateCheck::reportReturn(const QString& workDir, const QString& version)
{
    ReturnedVersion returned = readReturnedVersion(workDir);
    if (returned.version.isEmpty() || returned.reported) {
        return;
    }
    Json::Value root;
    // The version returned from as the server knows it, without the file's "v".
    const QString from = QString::fromUtf8(returned.version.startsWith('v') ? returned.version.mid(1) : returned.version);
    if (!UploadManager::instance()->useReport(installationMacAddress(), version, QSysInfo::machineHostName(),
            installationUserName(), ReturnedUseState, root, from)) {
        return; // sent by a later check
    }
    returned.reported = true;
    writeReturnedVersion(workDir, returned);
}
