// Host.exe: a small host application, written the way a product that ships RevisionPusher.exe
// would use the host library.
//
//   Host.exe [start]                       the host's start-up, then its word that it went well
//                                          (UpdateCheck::confirmHealthy); also what the
//                                          updater's start check runs
//   Host.exe check MODE [--stay SECONDS] [--channel NAME]
//                                          look for a newer version (on release channel NAME,
//                                          default stable) and start the updater:
//                                          2 interactive update, then end
//                                          1 the host ends (after SECONDS, default 1) and the
//                                            updater puts the files in place once it has
//                                          0 the updater fetches now and the host keeps
//                                            running (SECONDS, default 10)
//   Host.exe info                          product information for the installed version
//   Host.exe report STATE                  usage report with STATE 0..255
//   Host.exe ad                            the advertisement, and its picture if it names one
//                                          (the text member "image" holding a URL)
//
// The installed version is the first line of version.txt beside the executable. Results go
// to the standard output, errors to the standard error stream. Exit code 0 when done, 1 when
// the server cannot be reached or its answer cannot be used, 2 for a wrong command line or a
// broken installation.

#include "failurecause.h"
#include "installationidentity.h"
#include "previousversion.h"
#include "serverconfig.h"
#include "updatecheck.h"
#include "uploadmanager.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QStringList>
#include <QSysInfo>
#include <QTimer>

#include <json/value.h>
#include <json/writer.h>

#include <cstdio>
#include <string>

namespace {

enum ExitCode { Done = 0, ServerTrouble = 1, WrongUse = 2 };

void say(const QString& text)
{
    std::fprintf(stdout, "%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

int fail(ExitCode code, const QString& text)
{
    std::fprintf(stderr, "Host: %s\n", text.toUtf8().constData());
    return code;
}

int usage()
{
    return fail(WrongUse,
        QStringLiteral("usage: Host.exe [start] | check MODE [--stay SECONDS] [--channel NAME] | info | report STATE | ad\n"
                       "  MODE 0, 1 or 2; STATE 0 to 255"));
}

QString unreachable()
{
    const QString cause = FailureCause::last();
    if (!cause.isEmpty()) {
        return QStringLiteral("cannot reach the server at %1: %2").arg(QString::fromUtf8(ServerBaseUrl), cause);
    }
    return QStringLiteral("cannot reach the server at %1, or it gave no JSON answer")
        .arg(QString::fromUtf8(ServerBaseUrl));
}

bool readInstalledVersion(QString& version)
{
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/version.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return false;
    }
    version = QString::fromUtf8(file.readLine()).trimmed();
    return !version.isEmpty();
}

QString compactJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return QString::fromStdString(Json::writeString(builder, value));
}

int check(const QString& version, int mode, int staySeconds, const QString& channel)
{
    UpdateCheck update;
    update.setChannel(channel);
    update.prepare(version.toUtf8().constData());
    switch (update.lastCheck()) {
    case UpdateCheck::CheckResult::ServerFailed:
        return fail(ServerTrouble, unreachable());
    case UpdateCheck::CheckResult::Refused:
        return fail(ServerTrouble, QStringLiteral("the server's version answer was refused"));
    case UpdateCheck::CheckResult::WriteFailed:
        return fail(ServerTrouble,
            QStringLiteral("cannot write the version-difference file in %1")
                .arg(QString::fromUtf8(update.workDirectory())));
    case UpdateCheck::CheckResult::Written:
        say(QStringLiteral("newer version than %1 found: %2")
                .arg(version, QString::fromUtf8(update.diffFilePath())));
        break;
    case UpdateCheck::CheckResult::NothingNewer:
    case UpdateCheck::CheckResult::NotRun:
        say(QStringLiteral("no newer version than %1").arg(version));
        break;
    }

    const UpdateCheck::LaunchResult launched
        = mode == 2 ? update.launchIfNewer() : (mode == 1 ? update.launchWaiting() : update.launch(0));
    switch (launched) {
    case UpdateCheck::LaunchResult::Started:
        say(QStringLiteral("updater started in mode %1").arg(mode));
        break;
    case UpdateCheck::LaunchResult::NoUpdate:
        say(QStringLiteral("updater not started: nothing to update"));
        break;
    case UpdateCheck::LaunchResult::AlreadyRunning:
        say(QStringLiteral("updater not started: it is already running"));
        break;
    case UpdateCheck::LaunchResult::NoPermission:
        say(QStringLiteral("updater not started: the installation cannot be written"));
        break;
    case UpdateCheck::LaunchResult::StartFailed:
        return fail(WrongUse,
            QStringLiteral("cannot start %1 beside Host.exe").arg(QString::fromLatin1(UpdaterExeName)));
    }
    if (mode == 2) {
        return Done;
    }

    // A host in mode 0 goes on with its work while the updater fetches; in mode 1 it is
    // closing, and the updater waits for it to be gone.
    const int seconds = staySeconds >= 0 ? staySeconds : (mode == 0 ? 10 : 1);
    say(mode == 0 ? QStringLiteral("running on for %1 s").arg(seconds)
                  : QStringLiteral("ending in %1 s").arg(seconds));
    QTimer::singleShot(seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    return QCoreApplication::exec();
}

// What a product does when it starts: here, reading its installation, which start() has done
// by the time it is called. Once the start-up went well the host says so; in the updater's
// start check that call ends the process with 0.
int start(const QString& version)
{
    say(QStringLiteral("started: version %1").arg(version));
    UpdateCheck::confirmHealthy();
    return Done;
}

int info(const QString& version)
{
    Json::Value root;
    if (!UploadManager::instance()->getProductInfo(version, root)) {
        return fail(ServerTrouble, unreachable());
    }
    say(QStringLiteral("product information for %1: %2").arg(version, compactJson(root)));
    return Done;
}

int report(const QString& version, unsigned state)
{
    const QString mac = installationMacAddress();
    const QString computer = QSysInfo::machineHostName();
    const QString user = installationUserName();
    Json::Value root;
    if (!UploadManager::instance()->useReport(mac, version, computer, user, std::uint8_t(state), root)) {
        return fail(ServerTrouble, unreachable());
    }
    say(QStringLiteral("usage report sent: state %1, version %2, computer %3, user %4, MAC %5")
            .arg(QString::number(state), version, computer, user,
                mac.isEmpty() ? QStringLiteral("unknown") : mac));
    say(QStringLiteral("server answered: %1").arg(compactJson(root)));
    return Done;
}

int advertisement()
{
    Json::Value root;
    if (!UploadManager::instance()->getProductAd(root)) {
        return fail(ServerTrouble, unreachable());
    }
    say(QStringLiteral("advertisement: %1").arg(compactJson(root)));
    if (!root.isObject() || !root["image"].isString() || root["image"].asString().empty()) {
        say(QStringLiteral("the advertisement names no picture"));
        return Done;
    }
    const std::string url = root["image"].asString();
    QImage picture;
    if (!UploadManager::instance()->downloadImage(url.c_str(), &picture)) {
        return fail(
            ServerTrouble, QStringLiteral("cannot load the picture %1").arg(QString::fromStdString(url)));
    }
    say(QStringLiteral("picture %1x%2 from %3")
            .arg(picture.width())
            .arg(picture.height())
            .arg(QString::fromStdString(url)));
    return Done;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);

    int staySeconds = -1;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--stay")); at >= 0) {
        bool ok = false;
        staySeconds = at + 1 < arguments.size() ? arguments.at(at + 1).toInt(&ok) : -1;
        if (!ok || staySeconds < 0) {
            return usage();
        }
        arguments.remove(at, 2);
    }
    QString channel;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--channel")); at >= 0) {
        channel = at + 1 < arguments.size() ? arguments.at(at + 1) : QString();
        if (channel.isEmpty()) {
            return usage();
        }
        arguments.remove(at, 2);
    }
    // The updater's start check starts the host with this argument and no command.
    arguments.removeAll(QString::fromLatin1(HealthCheckArgument));
    const QString command = arguments.isEmpty() ? QStringLiteral("start") : arguments.takeFirst();
    const bool takesValue = command == QLatin1String("check") || command == QLatin1String("report");
    const bool known = takesValue || command == QLatin1String("info") || command == QLatin1String("ad")
        || command == QLatin1String("start");
    if (!known || arguments.size() != (takesValue ? 1 : 0)
        || ((staySeconds >= 0 || !channel.isEmpty()) && command != QLatin1String("check"))) {
        return usage();
    }

    QString version;
    if (!readInstalledVersion(version)) {
        return fail(WrongUse,
            QStringLiteral("no installed version: %1/version.txt is missing or empty")
                .arg(QCoreApplication::applicationDirPath()));
    }

    bool ok = false;
    if (command == QLatin1String("check")) {
        const int mode = arguments.at(0).toInt(&ok);
        return ok && mode >= 0 && mode <= 2 ? check(version, mode, staySeconds, channel) : usage();
    }
    if (command == QLatin1String("report")) {
        const unsigned state = arguments.at(0).toUInt(&ok);
        return ok && state <= 255 ? report(version, state) : usage();
    }
    if (command == QLatin1String("info")) {
        return info(version);
    }
    if (command == QLatin1String("start")) {
        return start(version);
    }
    return advertisement();
}
