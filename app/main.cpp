// RevisionPusher.exe HOST MODE: fetches the files that version_diff.txt in the host's working
// directory lists and puts them in place, as MODE says (0 later, 1 once the host has ended,
// 2 now, with a progress window).

#include "debugmessage.h"
#include "difffile.h"
#include "filehelpers.h"
#include "updaterun.h"
#include "workdir.h"

#include <QApplication>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Reads the mode like atoi (leading white space, optional sign, digits, the rest ignored, no
// digits giving 0), but saturates instead of overflowing.
int parseMode(const char* text)
{
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT_MAX) {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    return int(negative ? -value : value);
}

// Modes 0 and 1 never show a window, and the host may run the updater where no display is
// reachable; the GUI application object still needs a platform to start on. Only where a
// display is a separate server (X11, Wayland): Windows and macOS always have their own, and
// without it the window of mode 2 and its final box would be invisible for ever.
void chooseHeadlessPlatform()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#endif
}

// The Windows updater is a GUI-subsystem program, so no console window flashes up when a host
// starts it. A caller that captures the output hands over its own standard handles, which stay;
// started from a console without them, the diagnostics go to that console.
void attachCallerConsole()
{
#ifdef _WIN32
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        // Without a console Qt would send its debug messages to the debugger instead.
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
        return;
    }
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
#endif
}

} // namespace

int main(int argc, char** argv)
{
    attachCallerConsole();
    chooseHeadlessPlatform();
    // Qt 6 takes every char string, translation and the locale's text as UTF-8, which is what
    // the program's texts are stored in; no codec set-up is left to do.
    //
    // The application object is never torn down: the process ends right after, and tearing down
    // the platform of a run that drew nothing would load the whole font configuration only to
    // free it again (Qt 6.4's font database does so), more memory than the download pass takes.
    // Held by a static so that leak checkers see it as still in use.
    static QApplication* const application = new QApplication(argc, argv);
    Q_UNUSED(application);
    const QString appDir = QCoreApplication::applicationDirPath();

    if (argc != 3) {
        debugMessage("param error ! \n  ThisApp  RevisionPusher.exe  1 ");
        return 0;
    }
    const QString exeName = QString::fromUtf8(argv[1]);
    const int mode = parseMode(argv[2]);
    const QString workDir = updateWorkDir(exeName);
    const QString diffPath = joinPath(workDir, QString::fromLatin1(DiffFileName));
    QString reason;
    if (!isTrustedWorkDir(workDir, &reason)) {
        debugMessage("working directory refused, nothing updated:", workDir, reason);
        return 0;
    }
    bool held = false;
    const auto lock = takeUpdaterLock(workDir, &held, &reason);
    if (!lock) {
        if (held) {
            debugMessage("already running ...");
        } else {
            debugMessage("updater lock not taken, nothing updated:", reason);
        }
        return 0;
    }
    return runUpdate(exeName, mode, appDir, workDir, diffPath);
}
