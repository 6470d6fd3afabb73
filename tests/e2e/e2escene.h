#pragma once

// One end-to-end scene with real processes, all of it below a QTemporaryDir of its own:
//
//   releases/VERSION/   the release trees vendor-server serves (its --releases)
//   reports.sqlite      vendor-server's usage reports database (its --reports)
//   install/            an installation: a copy of one release, real Host.exe and
//                       RevisionPusher.exe included
//   tmp/                TMPDIR of every process the scene starts, so the working directory of
//                       the update is tmp/Host
//   data/               XDG_DATA_HOME of those processes (the user's data folder)
//   logs/               standard output and error of each of those processes; an updater that
//                       Host.exe starts detached inherits the host's, so its lines land there too
//
// vendor-server listens at the compiled-in server address, which is the one Host.exe asks.

#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Every regular file below a root (hidden ones included) by "/"-separated relative path; unlike
// snapshotTree it leaves directories out, so it compares with a release's file list.
Tree readTree(const QString& root);
// What differs between two trees, one line per file; empty when they are byte for byte equal.
QString treeDifference(const Tree& actual, const Tree& expected);

// The sample releases, as in the demo. 1.0.3 and 1.0.4 share readme.txt, Host.exe and
// RevisionPusher.exe (the ones just built); 1.0.4 changes data/core.dat and version.txt, drops
// legacy.dll and adds plugins/new.dll in a folder of its own.
Tree sampleRelease(const QString& version);

// The entry lines of the version-difference file the update check writes for the sample
// releases, in the order the server lists them (changed, deleted, added): "0 [Changed] : ...".
// Entries to fetch end in the size and SHA-256 of the file in 1.0.4. `fetched` names the
// entries expected in state 2.
QByteArray sampleDiffFile(const QString& downloadBase, const QStringList& fetched);

// Request targets (path and query as sent) of the access-log lines, in the common log format
// both vendor-server and nginx write, that have the method and status given.
QStringList loggedTargets(const QByteArray& log, const QByteArray& method, int status);

// Whether a report names a sanitizer finding.
bool hasSanitizerReport(const QByteArray& output);

struct ProcessRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    // The file the process (and any updater it started) writes its standard error to.
    QString errPath;
};

class E2eScene
{
public:
    E2eScene();
    ~E2eScene();
    E2eScene(const E2eScene&) = delete;
    E2eScene& operator=(const E2eScene&) = delete;

    bool isValid() const { return valid; }
    QString path(const QString& relative) const;
    QString releaseDir(const QString& version) const;
    QString installDir() const { return path(QStringLiteral("install")); }
    QString installed(const QString& relative) const;
    // tmp/Host, canonical, the way the update check and the updater name it.
    QString workDir() const;
    QString diffFile() const { return workDir() + QStringLiteral("/version_diff.txt"); }
    QString reportsFile() const { return path(QStringLiteral("reports.sqlite")); }

    bool writeRelease(const QString& version, const Tree& files);
    // Copies releases/VERSION to install/, permissions included.
    bool install(const QString& version);

    // vendor-server on the compiled-in address, serving releases/; retried for a few seconds
    // while another run on this machine holds the port.
    // How the releases are signed before the server starts: with the fixed test key (which a
    // keyed test build trusts), not at all, with a key of an impostor, or left as they are
    // (signed by the test itself).
    enum class Signing { TestKey, Unsigned, OtherKey, AsIs };
    // Signs the releases (orbisnap-release sign, for the download base --public-base in `more`
    // names, else the server's own), then starts vendor-server.
    bool startServer(const QStringList& more = {}, Signing signing = Signing::TestKey);
    bool signReleases(const QString& downloadBase, Signing signing = Signing::TestKey);
    VendorServerProcess& server() { return vendorServer; }
    // http://HOST:PORT/releases, the download base vendor-server announces of itself.
    static QString ownDownloadBase();

    // Runs install/Host.exe with the arguments, its output into logs/, and waits for it.
    ProcessRun runHost(const QStringList& arguments);
    // Runs install/RevisionPusher.exe directly, as a host's launch does, and waits for it.
    ProcessRun runUpdater(const QStringList& arguments);
    // Waits until no process runs install/RevisionPusher.exe (on Linux, as on Windows, a
    // running executable cannot be opened for writing); false when one still runs then.
    bool waitForUpdaterEnd(int timeoutMs = 60000) const;

    // USER for the processes started from here on.
    void setUser(const QString& user) { userName = user; }
    // A variable of the processes started from here on: set to value, or removed when it is null.
    void setVariable(const QString& name, const QString& value) { variables.insert(name, value); }
    // Host.exe and RevisionPusher.exe started from here on run as launcher + program +
    // arguments (a set-up of their own, say); the updater Host.exe starts inherits it.
    void setLauncher(const QStringList& prefix) { launcher = prefix; }
    // Everything the scene's processes wrote to standard error that is a sanitizer finding.
    QByteArray sanitizerReports() const;

private:
    ProcessRun run(const QString& program, const QStringList& arguments, const QString& logName);
    ProcessRun runInstalled(const QString& program, const QStringList& arguments, const QString& logName);
    QProcessEnvironment environment() const;

    QTemporaryDir root;
    bool valid = false;
    QString userName = QStringLiteral("tester");
    QMap<QString, QString> variables;
    QStringList launcher;
    VendorServerProcess vendorServer;
    QStringList errFiles;
};
