#pragma once

// A PostgreSQL server of a test's own: initdb and pg_ctl in a temporary folder, listening on
// loopback only, on the first free port of 18700-18749, stopped and removed with the object.
// initdb refuses to run as root, so as root the cluster belongs to the "postgres" account (of
// Debian's package) and its programs run through runuser. Where the postgresql package is
// missing, start() answers false with a reason for QSKIP.

#include <QString>
#include <QStringList>

class PostgresProcess
{
public:
    PostgresProcess() = default;
    ~PostgresProcess();
    PostgresProcess(const PostgresProcess&) = delete;
    PostgresProcess& operator=(const PostgresProcess&) = delete;

    // Whether initdb and pg_ctl are installed; otherwise why not in whyNot.
    static bool available(QString& whyNot);

    // Makes the cluster with a trusted user "orbisnap" and starts it. durable: with fsync, as a
    // production server runs (benchmarks); otherwise without, which tests of the vendor-server's
    // own behaviour do not need.
    bool start(QString& error, bool durable = false);
    // Creates database name (owned by "orbisnap").
    bool createDatabase(const QString& name, QString& error);
    // Runs sql (any number of statements, stopping at the first error) on database through psql.
    bool runSql(const QString& database, const QString& sql, QString& error);
    // postgresql://orbisnap@127.0.0.1:PORT/NAME
    QString url(const QString& database) const;
    int port() const { return listenPort; }

private:
    bool run(const QString& program, const QStringList& arguments, QString& output, int timeoutMs = 60000);

    QString folder;
    QString bin;
    int listenPort = 0;
    bool running = false;
};
