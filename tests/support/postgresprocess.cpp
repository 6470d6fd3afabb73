#include "postgresprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int FirstPort = 18700;
constexpr int LastPort = 18749;

QString binFolder()
{
    const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    if (!initdb.isEmpty()) {
        return QFileInfo(initdb).canonicalPath();
    }
    // Debian keeps them out of PATH, one folder per major version.
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto version = versions.rbegin(); version != versions.rend(); ++version) {
        const QString folder = QStringLiteral("/usr/lib/postgresql/") + *version + QStringLiteral("/bin");
        if (QFile::exists(folder + QStringLiteral("/initdb"))) {
            return folder;
        }
    }
    return {};
}

} // namespace

bool PostgresProcess::available(QString& whyNot)
{
    if (binFolder().isEmpty()) {
        whyNot = QStringLiteral("PostgreSQL's initdb is not installed (Debian package postgresql; scripts/setup.sh installs it)");
        return false;
    }
    if (::geteuid() == 0 && ::getpwnam("postgres") == nullptr) {
        whyNot = QStringLiteral("running as root without a \"postgres\" account for the test's cluster");
        return false;
    }
    return true;
}

PostgresProcess::~PostgresProcess()
{
    if (running) {
        QString ignored;
        run(bin + QStringLiteral("/pg_ctl"), { QStringLiteral("stop"), QStringLiteral("-D"), folder + QStringLiteral("/data"),
                                                 QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w") },
            ignored);
    }
    if (!folder.isEmpty()) {
        QDir(folder).removeRecursively();
    }
}

bool PostgresProcess::run(const QString& program, const QStringList& arguments, QString& output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (::geteuid() == 0) {
        process.setProgram(QStringLiteral("runuser"));
        process.setArguments(QStringList { QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program } + arguments);
    } else {
        process.setProgram(program);
        process.setArguments(arguments);
    }
    // The cluster's folder, not the test's, is where the server's programs may look around.
    process.setWorkingDirectory(folder);
    process.start();
    const bool finished = process.waitForFinished(timeoutMs);
    output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool PostgresProcess::start(QString& error, bool durable)
{
    if (!available(error)) {
        return false;
    }
    bin = binFolder();
    char name[] = "/tmp/orbisnap-pg.XXXXXX";
    if (!::mkdtemp(name)) {
        error = QStringLiteral("cannot make a temporary folder");
        return false;
    }
    folder = QString::fromLocal8Bit(name);
    if (::geteuid() == 0) {
        const passwd* account = ::getpwnam("postgres");
        if (::chown(name, account->pw_uid, account->pw_gid) != 0) {
            error = QStringLiteral("cannot give the temporary folder to postgres");
            return false;
        }
    }
    QString output;
    if (!run(bin + QStringLiteral("/initdb"),
            { QStringLiteral("-D"), folder + QStringLiteral("/data"), QStringLiteral("-U"), QStringLiteral("orbisnap"),
                QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                QStringLiteral("--no-sync") },
            output)) {
        error = QStringLiteral("initdb failed: ") + output;
        return false;
    }
    for (int port = FirstPort; port <= LastPort; ++port) {
        QString options = QStringLiteral("-p %1 -h 127.0.0.1 -k %2 -c max_connections=200").arg(port).arg(folder);
        if (!durable) {
            options += QStringLiteral(" -c fsync=off -c synchronous_commit=off -c full_page_writes=off");
        }
        if (run(bin + QStringLiteral("/pg_ctl"),
                { QStringLiteral("start"), QStringLiteral("-D"), folder + QStringLiteral("/data"), QStringLiteral("-w"),
                    QStringLiteral("-t"), QStringLiteral("30"), QStringLiteral("-l"), folder + QStringLiteral("/log"),
                    QStringLiteral("-o"), options },
                output)) {
            listenPort = port;
            running = true;
            return true;
        }
    }
    QFile log(folder + QStringLiteral("/log"));
    log.open(QIODevice::ReadOnly);
    error = QStringLiteral("PostgreSQL did not start on any port of %1-%2: ").arg(FirstPort).arg(LastPort)
        + QString::fromLocal8Bit(log.readAll().right(2000));
    return false;
}

bool PostgresProcess::createDatabase(const QString& name, QString& error)
{
    QString output;
    if (!run(bin + QStringLiteral("/createdb"),
            { QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(listenPort),
                QStringLiteral("-U"), QStringLiteral("orbisnap"), name },
            output)) {
        error = QStringLiteral("createdb failed: ") + output;
        return false;
    }
    return true;
}

bool PostgresProcess::runSql(const QString& database, const QString& sql, QString& error)
{
    QString output;
    if (!run(bin + QStringLiteral("/psql"),
            { QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(listenPort),
                QStringLiteral("-U"), QStringLiteral("orbisnap"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                QStringLiteral("-d"), database, QStringLiteral("-c"), sql },
            output)) {
        error = QStringLiteral("psql failed: ") + output;
        return false;
    }
    return true;
}

QString PostgresProcess::url(const QString& database) const
{
    return QStringLiteral("postgresql://orbisnap@127.0.0.1:%1/%2").arg(listenPort).arg(database);
}
