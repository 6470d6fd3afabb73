// The host's side of the start check: UpdateCheck::confirmHealthy, the count of starts of a
// version installed but not yet confirmed, and the usage reports of a return and a confirmation.

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
    // The server hears of the confirmation at the next check. Recorded before the previous
    // version goes: a kill in between confirms again at the next start, and a confirmation
    // already recorded (perhaps reported) for this version stays as it is. A record that cannot
    // be written (one line says why) costs the report, never the confirmation: unconfirmed, the
    // version would be returned from after its starts.
    if (readReportedVersion(dir, ConfirmedVersionName).version != previous.newVersion) {
        writeReportedVersion(dir, ConfirmedVersionName, ReportedVersion { previous.newVersion, false });
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

namespace {

// The version as the server knows it, without the file's "v".
QString serverVersion(const QByteArray& token)
{
    return QString::fromUtf8(token.startsWith('v') ? token.mid(1) : token);
}

} // namespace

void UpdateCheck::sendVersionReports(const QString& workDir, const QString& installed)
{
    struct Report
    {
        const char* record;
        std::uint8_t state;
    };
    for (const Report report : { Report { ReturnedVersionName, ReturnedUseState },
             Report { ConfirmedVersionName, ConfirmedUseState } }) {
        ReportedVersion recorded = readReportedVersion(workDir, report.record);
        if (recorded.version.isEmpty() || recorded.reported) {
            continue;
        }
        const bool returned = report.state == ReturnedUseState;
        const QString version = returned ? installed : serverVersion(recorded.version);
        Json::Value root;
        if (!UploadManager::instance()->useReport(installationMacAddress(), version, QSysInfo::machineHostName(),
                installationUserName(), report.state, root,
                returned ? serverVersion(recorded.version) : QString())) {
            continue; // sent by a later check
        }
        recorded.reported = true;
        writeReportedVersion(workDir, report.record, recorded);
    }
}
