#include "nginxprocess.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QStandardPaths>
#include <QTcpSocket>

#include <csignal>

QString nginxExecutable()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    return onPath.isEmpty() ? QStandardPaths::findExecutable(
               QStringLiteral("nginx"), { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin") })
                            : onPath;
}

bool NginxProcess::start(
    const QString& executable, const QString& prefix, const QString& directives, int port, const QString& httpDirectives)
{
    // A free port is free when probed; another program may take it before nginx binds.
    for (int attempt = 0; attempt < 3; ++attempt) {
        listenPort = port > 0 ? port : freeLoopbackPort();
        if (listenPort > 0 && writeConfig(prefix, directives, httpDirectives) && run(executable, prefix)) {
            return true;
        }
    }
    return false;
}

void NginxProcess::stop()
{
    if (process.state() != QProcess::NotRunning) {
        // SIGQUIT: a graceful stop that finishes the requests under way.
        ::kill(pid_t(process.processId()), SIGQUIT);
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

bool NginxProcess::writeConfig(const QString& prefix, const QString& directives, const QString& httpDirectives)
{
    logDir = prefix + QStringLiteral("/logs");
    cache = prefix + QStringLiteral("/cache");
    const QString temp = prefix + QStringLiteral("/temp");
    if (!QDir().mkpath(logDir) || !QDir().mkpath(temp) || !QDir().mkpath(cache)) {
        return false;
    }
    config = prefix + QStringLiteral("/nginx.conf");
    return writeFile(config,
        QStringLiteral("daemon off;\n"
                       "master_process off;\n"
                       "pid %1/nginx.pid;\n"
                       "error_log %2/error.log;\n"
                       "events { worker_connections 64; }\n"
                       "http {\n"
                       "    access_log %2/access.log;\n"
                       "    client_body_temp_path %3/body;\n"
                       "    proxy_temp_path %3/proxy;\n"
                       "    fastcgi_temp_path %3/fastcgi;\n"
                       "    uwsgi_temp_path %3/uwsgi;\n"
                       "    scgi_temp_path %3/scgi;\n"
                       "    %4\n"
                       "    server {\n"
                       "        listen 127.0.0.1:%5;\n"
                       "        %6\n"
                       "    }\n"
                       "}\n")
            .arg(prefix, logDir, temp, httpDirectives)
            .arg(listenPort)
            .arg(directives)
            .toUtf8());
}

bool NginxProcess::run(const QString& executable, const QString& prefix)
{
    process.start(executable, { QStringLiteral("-p"), prefix, QStringLiteral("-c"), config });
    if (!process.waitForStarted(5000)) {
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(listenPort));
        if (probe.waitForConnected(200)) {
            return true;
        }
        // Also the pause between probes; true once nginx has exited (a taken port, say).
        if (process.waitForFinished(20) || process.state() == QProcess::NotRunning) {
            return false;
        }
    }
    stop();
    return false;
}
