// A host for the start-check tests. Its version is the first line of version.txt beside it;
// as version 1.0.4 it behaves as ORBISNAP_TEST_HOST says, any other version starts well:
//   exit3      ends with exit code 3
//   crash      dies of SIGSEGV
//   hang       never ends
//   silent     ends with 0 without confirming
//   confirm    confirms (UpdateCheck::confirmHealthy) and ends with 0
//   checkonly  confirms in the updater's check start only, and ends with 0 in normal starts
// With "check", a normal start first runs UpdateCheck::prepare, as a host's start-up does.

#include "updatecheck.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <csignal>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/version.txt"));
    const QString version = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readLine()).trimmed() : QString();
    const QString behaviour = version == QLatin1String("1.0.4") ? qEnvironmentVariable("ORBISNAP_TEST_HOST")
                                                                : QStringLiteral("confirm");
    if (QCoreApplication::arguments().contains(QStringLiteral("check")) && !UpdateCheck::isHealthCheckStart()) {
        UpdateCheck update;
        update.prepare(version.toUtf8().constData());
    }
    if (behaviour == QLatin1String("exit3")) {
        return 3;
    }
    if (behaviour == QLatin1String("crash")) {
        std::raise(SIGSEGV);
    }
    if (behaviour == QLatin1String("hang")) {
        QThread::sleep(600);
    }
    if (behaviour == QLatin1String("confirm")
        || (behaviour == QLatin1String("checkonly") && UpdateCheck::isHealthCheckStart())) {
        UpdateCheck::confirmHealthy();
    }
    return 0;
}
