#include "updaterun.h"

#include "debugmessage.h"
#include "download.h"
#include "filehelpers.h"
#include "healthcheck.h"
#include "journal.h"
#include "widget.h"

#include <QApplication>
#include <QFile>
#include <QProcess>

#include <cstring>
#include <optional>

std::int32_t progressCount = 0;

namespace {

QString succeededText(const QString& exeName)
{
    return QStringLiteral("升级成功，请重启软件：%1").arg(exeName);
}

QString notCompletedText(const QString& exeName)
{
    return QStringLiteral("升级未完成，下次启动时将重试：%1").arg(exeName);
}

QString returnedText(const QString& exeName)
{
    return QStringLiteral("新版本未能正常启动，已恢复到上一版本：%1").arg(exeName);
}

// The host executable the merge tests and replaces: Host and Host.exe both name Host.exe
// (and Host.EXE where names ignore case).
QString hostExecutable(const QString& appDir, const QString& exeName)
{
    QString path = joinPath(appDir, exeName);
    if (!path.endsWith(QLatin1String(".exe"), fileNameCase())) {
        path += QLatin1String(".exe");
    }
    return path;
}

void showMessage(UpgradeContext& context, const QString& text)
{
    if (context.window) {
        context.gate.showBox([&] { context.window->showMessage(text); });
    }
}

void fileStarted(UpgradeContext& context, const FileEntry* entry)
{
    if (context.window) {
        context.window->showFileStatus(entry);
        const std::int32_t value = progressCount++;
        context.window->setProgress(context.total, value);
    }
    debugMessage("downloaded : ", entry->file);
}

void allDone(UpgradeContext& context, bool completed)
{
    if (!completed) {
        return;
    }
    // A run the user gave up on installs nothing; what was fetched waits for the next run.
    if (!context.gate.isOpen()) {
        return;
    }
    const QString hostExe = hostExecutable(context.appDir, context.exeName);
    const int installed = context.worker->merge(hostExe.toUtf8().constData());
    // The start check follows the install; mode 0 postpones both.
    const bool returned = installed == 1 && context.worker->diff.health.on()
        && settlePreviousVersion(context.workDir, hostExe, context.appDir, context.mode) == Settled::Returned;
    progressCount = 0;
    if (context.window) {
        context.window->setProgress(context.total, context.total);
    }
    showMessage(context,
        returned ? returnedText(context.exeName)
                 : (installed == 1 ? succeededText(context.exeName) : notCompletedText(context.exeName)));
    context.gate.endLoop();
}

void nothingToUpdate(UpgradeContext& context)
{
    showMessage(context, QStringLiteral("当前没有内容需要更新"));
    context.gate.endLoop();
}

} // namespace

void progressCallback(std::int32_t event, std::intptr_t argument, void* userData)
{
    auto& context = *static_cast<UpgradeContext*>(userData);
    switch (event) {
    case FileStart:
        fileStarted(context, reinterpret_cast<const FileEntry*>(argument));
        break;
    case AllDone:
        allDone(context, argument != 0);
        break;
    case NothingToUpdate:
        nothingToUpdate(context);
        break;
    default:
        break;
    }
}

int runUpdate(
    const QString& exeName, int mode, const QString& appDir, const QString& workDir, const QString& diffPath)
{
    // One run per process in the program; the tests run several.
    progressCount = 0;

    // An install that an earlier run left half-done is finished or taken back before anything
    // else; while that cannot be done, this run touches nothing either.
    const Recovery recovery = recoverInstall(workDir, hostExecutable(appDir, exeName), mode);
    if (recovery == Recovery::Left || recovery == Recovery::Failed) {
        return 0;
    }
    // A version installed earlier may still wait for its start check, a return may be due or
    // half-made: that comes before any new update.
    bool afterStarts = false;
    const Settled settled = settlePreviousVersion(workDir, hostExecutable(appDir, exeName), appDir, mode, &afterStarts);
    if (settled == Settled::Failed) {
        return 0;
    }
    if (settled == Settled::Returned) {
        // What was fetched for the version returned from no longer fits the installation.
        QFile::remove(diffPath);
        if (afterStarts) {
            QProcess::startDetached(hostExecutable(appDir, exeName), {}, appDir);
        }
        if (mode == 2) {
            Widget window;
            window.show();
            window.showMessage(returnedText(exeName));
        }
        return 0;
    }

    // Only mode 2 shows the window; the others never build it, which spares them the toolkit's
    // styles and fonts.
    std::optional<Widget> window;
    Download worker(workDir.toUtf8().constData(), diffPath.toUtf8().constData(), appDir.toUtf8().constData(),
        exeName.toUtf8().constData(), mode);
    UpgradeContext context;
    context.exeName = exeName;
    context.appDir = appDir;
    context.workDir = workDir;
    context.total = worker.count;
    context.mode = mode;
    context.worker = &worker;
    if (mode == 2) {
        context.window = &window.emplace();
        window->show();
    }
    worker.callback = progressCallback;
    worker.userData = &context;
    worker.print();

    if (const int error = worker.start(); error != 0) {
        // Nobody would end the event loop: end the run here.
        debugMessage(
            "download thread not started, error", error, QString::fromLocal8Bit(std::strerror(error)));
        if (context.window) {
            context.window->showMessage(notCompletedText(exeName));
        }
        return 0;
    }

    const int result = QApplication::exec();
    // The loop may have ended because the window was closed while the worker still runs: stop
    // it before its next entry, let a merge under way finish, and release nothing before its
    // thread has ended.
    context.gate.close(context.window);
    worker.requestStop();
    worker.wait();
    return result;
}
