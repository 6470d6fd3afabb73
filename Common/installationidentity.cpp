#include "installationidentity.h"

#include <QNetworkInterface>

QString installationMacAddress()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& candidate : interfaces) {
        const auto flags = candidate.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack)) {
            continue;
        }
        const QString address = candidate.hardwareAddress();
        if (!address.isEmpty() && address != QLatin1String("00:00:00:00:00:00")) {
            return address;
        }
    }
    return QString();
}

QString installationUserName()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("USERNAME");
#else
    return qEnvironmentVariable("USER");
#endif
}
