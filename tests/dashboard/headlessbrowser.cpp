#include "headlessbrowser.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int CallTimeoutMs = 20000;

// Moves fd above the descriptors the child gets, close-on-exec, so dup2 onto 3 and 4 never
// meets one of the pipe's own ends.
int lifted(int fd)
{
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

} // namespace

QString HeadlessBrowser::executable()
{
    const QString chosen = qEnvironmentVariable("ORBISNAP_CHROMIUM");
    if (!chosen.isEmpty()) {
        return chosen;
    }
    for (const char* name : { "chromium", "chromium-browser" }) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty()) {
            return found;
        }
    }
    return {};
}

HeadlessBrowser::~HeadlessBrowser()
{
    if (pid > 0) {
        QJsonObject ignored;
        call(QStringLiteral("Browser.close"), {}, ignored, false);
        QDeadlineTimer deadline(5000);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (deadline.hasExpired()) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            ::usleep(20000);
        }
    }
    for (const int fd : { toBrowser, fromBrowser }) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool HeadlessBrowser::start(int width, int height)
{
    const QString program = executable();
    if (program.isEmpty() || !profile.isValid()) {
        why = QStringLiteral("no chromium, or no temporary profile folder");
        return false;
    }
    int in[2];
    int out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) {
        why = QStringLiteral("no pipe");
        return false;
    }
    const int childIn = lifted(in[0]);
    toBrowser = lifted(in[1]);
    fromBrowser = lifted(out[0]);
    const int childOut = lifted(out[1]);

    QList<QByteArray> arguments = { QFile::encodeName(program), "--headless=new", "--remote-debugging-pipe",
        "--user-data-dir=" + QFile::encodeName(profile.path()), "--no-first-run", "--no-default-browser-check",
        "--disable-gpu", "--disable-extensions", "--disable-background-networking", "--disable-sync",
        "--disable-component-update", "--hide-scrollbars", "--mute-audio", "--force-color-profile=srgb",
        // Containers often have a small /dev/shm, which a renderer would crash on.
        "--disable-dev-shm-usage",
        "--window-size=" + QByteArray::number(width) + "," + QByteArray::number(height), "about:blank" };
    // Chromium's sandbox refuses to run as root, which CI is.
    if (::geteuid() == 0) {
        arguments.insert(1, "--no-sandbox");
    }
    std::vector<char*> argv;
    for (QByteArray& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn, 3);
    posix_spawn_file_actions_adddup2(&actions, childOut, 4);
    // Its chatter would drown the test's own output.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(childIn);
    ::close(childOut);
    if (spawned != 0) {
        pid = -1;
        why = QStringLiteral("cannot start %1: %2").arg(program, QString::fromLocal8Bit(std::strerror(spawned)));
        return false;
    }

    QJsonObject result;
    if (!call(QStringLiteral("Target.createTarget"), { { QStringLiteral("url"), QStringLiteral("about:blank") } },
            result, false)) {
        return false;
    }
    const QString target = result.value(QStringLiteral("targetId")).toString();
    if (!call(QStringLiteral("Target.attachToTarget"),
            { { QStringLiteral("targetId"), target }, { QStringLiteral("flatten"), true } }, result, false)) {
        return false;
    }
    session = result.value(QStringLiteral("sessionId")).toString();
    return call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
        { { QStringLiteral("width"), width }, { QStringLiteral("height"), height },
            { QStringLiteral("deviceScaleFactor"), 1 }, { QStringLiteral("mobile"), false } },
        result);
}

bool HeadlessBrowser::send(const QJsonObject& message)
{
    const QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact) + QByteArray(1, '\0');
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(toBrowser, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            why = QStringLiteral("the browser does not read its pipe");
            return false;
        }
        done += written;
    }
    return true;
}

bool HeadlessBrowser::receive(QJsonObject& message, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (const qsizetype end = pending.indexOf('\0'); end >= 0) {
            message = QJsonDocument::fromJson(pending.left(end)).object();
            pending.remove(0, end + 1);
            return true;
        }
        pollfd wait = { fromBrowser, POLLIN, 0 };
        const int ready = ::poll(&wait, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            why = QStringLiteral("no message from the browser within %1 ms").arg(timeoutMs);
            return false;
        }
        char buffer[65536];
        const ssize_t got = ::read(fromBrowser, buffer, sizeof buffer);
        if (got <= 0) {
            why = QStringLiteral("the browser ended");
            return false;
        }
        pending.append(buffer, got);
    }
}

bool HeadlessBrowser::call(const QString& method, const QJsonObject& params, QJsonObject& result, bool toPage)
{
    const int id = nextId++;
    QJsonObject message = { { QStringLiteral("id"), id }, { QStringLiteral("method"), method },
        { QStringLiteral("params"), params } };
    if (toPage) {
        message.insert(QStringLiteral("sessionId"), session);
    }
    if (!send(message)) {
        return false;
    }
    QDeadlineTimer deadline(CallTimeoutMs);
    QJsonObject answer;
    while (receive(answer, int(std::max<qint64>(1, deadline.remainingTime())))) {
        if (!answer.contains(QStringLiteral("id"))) {
            events.append(answer);
            continue;
        }
        if (answer.value(QStringLiteral("id")).toInt() != id) {
            continue;
        }
        if (answer.contains(QStringLiteral("error"))) {
            why = method + QStringLiteral(": ")
                + QString::fromUtf8(QJsonDocument(answer.value(QStringLiteral("error")).toObject()).toJson());
            return false;
        }
        result = answer.value(QStringLiteral("result")).toObject();
        return true;
    }
    why = method + QStringLiteral(": ") + why;
    return false;
}

bool HeadlessBrowser::waitForEvent(const QString& method, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (qsizetype i = 0; i < events.size(); ++i) {
            if (events[i].value(QStringLiteral("method")).toString() == method
                && events[i].value(QStringLiteral("sessionId")).toString() == session) {
                events.remove(0, i + 1);
                return true;
            }
        }
        events.clear();
        QJsonObject message;
        if (!receive(message, int(std::max<qint64>(1, deadline.remainingTime())))) {
            why = method + QStringLiteral(": ") + why;
            return false;
        }
        events.append(message);
    }
}
