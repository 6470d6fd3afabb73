#include "tinyproxy.h"

bool TinyProxy::start(const QString& connectPorts, const QString& credentials, const QString& outgoing)
{
    port = freeLoopbackPort();
    QString config = QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 10\nMaxClients 20\nLogLevel Connect\n"
                                    "LogFile \"%2\"\n")
                         .arg(port)
                         .arg(dir.filePath(QStringLiteral("log")));
    for (const QString& allowed : connectPorts.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        config += QStringLiteral("ConnectPort %1\n").arg(allowed);
    }
    if (!credentials.isEmpty()) {
        config += QStringLiteral("BasicAuth %1\n")
                      .arg(QString(credentials).replace(QLatin1Char(':'), QLatin1Char(' ')));
    }
    if (!outgoing.isEmpty()) {
        config += QStringLiteral("Bind %1\n").arg(outgoing);
    }
    const QString file = dir.filePath(QStringLiteral("tinyproxy.conf"));
    if (port <= 0 || !writeFile(file, config.toUtf8())) {
        return false;
    }
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("tinyproxy"), { QStringLiteral("-d"), QStringLiteral("-c"), file });
    return process.waitForStarted(5000) && acceptingOnLoopback(port, 7500);
}

QString TinyProxy::log() const
{
    return QString::fromUtf8(readFile(dir.filePath(QStringLiteral("log"))));
}
