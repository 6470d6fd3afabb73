#pragma once

// What the install tests share: an old and a new release of a realistic update (changed,
// deleted and added files, in new and existing sub-folders), an installation of the old one
// with a real RevisionPusher.exe beside the host, its working directory in a TMPDIR of its
// own, and runs of that updater as a real process.

#include "testfiles.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

extern const Tree oldRelease;
extern const Tree newRelease;
extern const QStringList changed;
extern const QStringList deleted;
extern const QStringList added;
extern const QString LockName;

struct Scene
{
    QTemporaryDir temp;
    QString app;
    QString tmp;
    QString work;
    QString runtime;

    Scene();
    // The old release with `updater` copied in as RevisionPusher.exe, and the working
    // directory (private) with a version-difference file whose files come from `base`; when
    // prefetched, its entries are downloaded and the fetched files are there, as an earlier
    // mode-0 run leaves them.
    bool reset(const QString& updater, const QString& base, bool prefetched);
    // The installation without the updater's own executable, which no release here changes.
    Tree installation() const;
    // Starts the updater for host "Host"; with stopBefore > 0 the tests' build stops itself
    // before that change of its merge.
    std::unique_ptr<QProcess> start(const QString& mode, int stopBefore);
};

struct Run
{
    bool stopped = false; // stopped itself before the change asked for, then killed
    bool finished = false; // ended by itself
    int exitCode = -1;
    QByteArray err;
};

// Runs the updater; with stopBefore > 0 it is killed (SIGKILL) as soon as it has stopped
// before that change. A run that neither stops nor ends within ms is killed and reported so.
Run runUpdater(Scene& scene, const QString& mode, int stopBefore, int ms = 30000);

// Which files differ between two trees, for a failure message.
QString differences(const Tree& actual, const Tree& expected);

// Serves the new release's files below /release/ on server, each after delayMs; other paths
// answer 404. Register before the server starts.
void serveNewRelease(TestHttpServer& server, int delayMs = 0);
