#pragma once

// nginx (Debian's nginx-light) in the foreground as one process, no workers (so no user to
// switch to, whoever runs the test), with every path it writes inside a prefix folder of the
// test's, listening on loopback and serving what the test's server block says.

#include <QProcess>
#include <QString>

// nginx on PATH, in /usr/sbin or in /usr/local/sbin; empty when there is none.
QString nginxExecutable();

class NginxProcess
{
public:
    ~NginxProcess() { stop(); }

    // Starts nginx with `directives` inside its server block (a root, locations) and
    // `httpDirectives` before it (a proxy_cache_path), on a free loopback port, or on `port`
    // when given. The prefix gets logs/, temp/ and cache/.
    bool start(const QString& executable, const QString& prefix, const QString& directives, int port = 0,
        const QString& httpDirectives = {});
    // Ends it gracefully, finishing the requests under way; its logs are then complete.
    void stop();

    int port() const { return listenPort; }
    QString errors() { return QString::fromUtf8(process.readAllStandardError()); }
    QString accessLogPath() const { return logDir + QStringLiteral("/access.log"); }
    // Where a proxy_cache_path of the server block may keep its entries.
    QString cacheDir() const { return cache; }

private:
    bool writeConfig(const QString& prefix, const QString& directives, const QString& httpDirectives);
    bool run(const QString& executable, const QString& prefix);

    QProcess process;
    QString config;
    QString logDir;
    QString cache;
    int listenPort = -1;
};
