#include "updaterscene.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

const Tree oldRelease {
    { "Host.exe", "host executable" },
    { "version.txt", "1.0.3" },
    { "core.dll", "core 1.0.3" },
    { "bin/", "" },
    { "bin/net.dll", "net 1.0.3" },
    { "bin/old.dll", "dropped in 1.0.4" },
    { "legacy.dat", "dropped too" },
    { "data/", "" },
    { "data/readme.txt", "unchanged" },
    { "data/table.bin", QByteArray(40000, 'o') },
    { "lang/", "" },
    { "lang/de.qm", "de 1.0.3" },
    { "lang/fr.qm", "fr unchanged" },
};

const Tree newRelease {
    { "Host.exe", "host executable" },
    { "version.txt", "1.0.4" },
    { "core.dll", "core 1.0.4, somewhat longer" },
    { "bin/", "" },
    { "bin/net.dll", "net 1.0.4" },
    { "bin/new.dll", "new in 1.0.4" },
    { "data/", "" },
    { "data/readme.txt", "unchanged" },
    { "data/table.bin", QByteArray(70000, 'n') },
    { "data/extra/", "" },
    { "data/extra/more.bin", "more" },
    { "lang/", "" },
    { "lang/de.qm", "de 1.0.4" },
    { "lang/fr.qm", "fr unchanged" },
    { "plugins/", "" },
    { "plugins/img/", "" },
    { "plugins/img/png.dll", "png" },
    { "plugins/img/jpg.dll", "jpg" },
};

const QStringList changed { "version.txt", "core.dll", "bin/net.dll", "data/table.bin", "lang/de.qm" };
const QStringList deleted { "bin/old.dll", "legacy.dat" };
const QStringList added { "plugins/img/png.dll", "plugins/img/jpg.dll", "bin/new.dll", "data/extra/more.bin" };

const QString LockName = QStringLiteral("RevisionPusher.lock");

Scene::Scene()
    : app(temp.path() + QStringLiteral("/app"))
    , tmp(temp.path() + QStringLiteral("/tmp"))
    , work(tmp + QStringLiteral("/Host"))
    , runtime(temp.path() + QStringLiteral("/runtime"))
{
}

bool Scene::reset(const QString& updater, const QString& base, bool prefetched)
{
    QDir(app).removeRecursively();
    QDir(tmp).removeRecursively();
    if (!writeTree(app, oldRelease) || !QFile::copy(updater, app + QStringLiteral("/RevisionPusher.exe"))
        || !QFile::setPermissions(app + QStringLiteral("/RevisionPusher.exe"),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
        || !QDir().mkpath(work) || !QDir().mkpath(runtime)) {
        return false;
    }
    // Private, as the updater requires of its working directory.
    const auto owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (!QFile::setPermissions(work, owner) || !QFile::setPermissions(runtime, owner)) {
        return false;
    }
    QByteArray diff = "@Orbisnap\nv1.0.3 --> v1.0.4\n" + base.toUtf8() + '\n';
    const QByteArray state = prefetched ? "2" : "0";
    for (const QString& path : changed) {
        diff += state + " [Changed] : " + path.toUtf8() + '\n';
    }
    for (const QString& path : deleted) {
        diff += "0 [Delete] : " + path.toUtf8() + '\n';
    }
    for (const QString& path : added) {
        diff += state + " [Add] : " + path.toUtf8() + '\n';
    }
    if (prefetched) {
        Tree fetched;
        for (const QString& path : changed + added) {
            fetched.insert(path, newRelease.value(path));
        }
        if (!writeTree(work, fetched)) {
            return false;
        }
    }
    return writeFile(work + QStringLiteral("/version_diff.txt"), diff);
}

Tree Scene::installation() const
{
    Tree tree = snapshotTree(app);
    if (!tree.contains(QStringLiteral("RevisionPusher.exe"))) {
        tree.insert(QStringLiteral("RevisionPusher.exe missing"), QByteArray());
    }
    tree.remove(QStringLiteral("RevisionPusher.exe"));
    return tree;
}

std::unique_ptr<QProcess> Scene::start(const QString& mode, int stopBefore)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("ORBISNAP_STOP_BEFORE_CHANGE"));
    if (stopBefore > 0) {
        env.insert(QStringLiteral("ORBISNAP_STOP_BEFORE_CHANGE"), QString::number(stopBefore));
    }
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(temp.path());
    process->start(app + QStringLiteral("/RevisionPusher.exe"), { QStringLiteral("Host"), mode });
    return process;
}

Run runUpdater(Scene& scene, const QString& mode, int stopBefore, int ms)
{
    Run run;
    auto process = scene.start(mode, stopBefore);
    const QByteArray mark = "stopped before change " + QByteArray::number(stopBefore) + '\n';
    QDeadlineTimer deadline(ms);
    while (process->state() != QProcess::NotRunning && !deadline.hasExpired()) {
        process->waitForReadyRead(20);
        run.err += process->readAllStandardError();
        if (stopBefore > 0 && run.err.contains(mark)) {
            run.stopped = true;
            break;
        }
    }
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    } else {
        run.finished = process->exitStatus() == QProcess::NormalExit;
        run.exitCode = process->exitCode();
    }
    run.err += process->readAllStandardError();
    return run;
}

QString differences(const Tree& actual, const Tree& expected)
{
    QStringList lines;
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key())) {
            lines << QStringLiteral("extra ") + it.key();
        } else if (expected.value(it.key()) != it.value()) {
            lines << QStringLiteral("differs ") + it.key();
        }
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key())) {
            lines << QStringLiteral("missing ") + it.key();
        }
    }
    return lines.join(QStringLiteral(", "));
}


void serveNewRelease(TestHttpServer& server, int delayMs)
{
    server.http().Get(R"(/release/(.+))", [delayMs](const httplib::Request& request, httplib::Response& response) {
        const QString path = QString::fromStdString(request.matches[1].str());
        if (!newRelease.contains(path) || path.endsWith(QLatin1Char('/'))) {
            response.status = 404;
            return;
        }
        QThread::msleep(delayMs);
        const QByteArray body = newRelease.value(path);
        response.set_content(body.constData(), std::size_t(body.size()), "application/octet-stream");
    });
}
