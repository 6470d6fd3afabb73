#include "e2escene.h"

#include "serverconfig.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Listed by the server sorted by bytes, and written by the update check in this order.
struct SampleEntry
{
    const char* action;
    const char* file;
};
constexpr SampleEntry SampleEntries[] = {
    { "[Changed]", "data/core.dat" },
    { "[Changed]", "version.txt" },
    { "[Delete]", "legacy.dll" },
    { "[Add]", "plugins/new.dll" },
};

bool executableInUse(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ETXTBSY;
    }
    ::close(fd);
    return false;
}

} // namespace

Tree readTree(const QString& root)
{
    Tree tree;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        tree.insert(base.relativeFilePath(file), readFile(file));
    }
    return tree;
}

QString treeDifference(const Tree& actual, const Tree& expected)
{
    QStringList lines;
    QSet<QString> names(expected.keyBegin(), expected.keyEnd());
    for (auto it = actual.keyBegin(); it != actual.keyEnd(); ++it) {
        names.insert(*it);
    }
    QStringList sorted(names.begin(), names.end());
    sorted.sort();
    for (const QString& name : sorted) {
        if (!actual.contains(name)) {
            lines << QStringLiteral("missing: %1").arg(name);
        } else if (!expected.contains(name)) {
            lines << QStringLiteral("not expected: %1 (%2 bytes)").arg(name).arg(actual[name].size());
        } else if (actual[name] != expected[name]) {
            lines << QStringLiteral("differs: %1 (%2 bytes, expected %3)")
                         .arg(name)
                         .arg(actual[name].size())
                         .arg(expected[name].size());
        }
    }
    return lines.join(QLatin1Char('\n'));
}

Tree sampleRelease(const QString& version)
{
    Tree tree;
    tree.insert(QStringLiteral("Host.exe"), readFile(QStringLiteral(HOST_EXE)));
    tree.insert(QStringLiteral("RevisionPusher.exe"), readFile(QStringLiteral(ORBISNAP_APP_EXE)));
    tree.insert(QStringLiteral("version.txt"), version.toUtf8() + "\n");
    tree.insert(QStringLiteral("readme.txt"), "Orbisnap sample host\n");
    if (version == QLatin1String("1.0.3")) {
        tree.insert(QStringLiteral("data/core.dat"), "core data of 1.0.3\n");
        tree.insert(QStringLiteral("legacy.dll"), "a file that 1.0.4 no longer has\n");
    } else {
        tree.insert(QStringLiteral("data/core.dat"), "core data of 1.0.4, changed\n");
        tree.insert(QStringLiteral("plugins/new.dll"), "a plugin that is new in 1.0.4\n");
    }
    return tree;
}

QByteArray sampleDiffFile(const QString& downloadBase, const QStringList& fetched)
{
    QByteArray text = "@Orbisnap\nv1.0.3 --> v1.0.4\n" + downloadBase.toUtf8() + "\n";
    const Tree newest = sampleRelease(QStringLiteral("1.0.4"));
    for (const SampleEntry& entry : SampleEntries) {
        const bool done = fetched.contains(QLatin1String(entry.file));
        text += QByteArray(done ? "2 " : "0 ") + entry.action + " : " + entry.file;
        // Files to fetch carry the size and SHA-256 of the newest release's bytes.
        if (qstrcmp(entry.action, "[Delete]") != 0) {
            const QByteArray bytes = newest.value(QLatin1String(entry.file));
            text += ' ' + QByteArray::number(bytes.size()) + ' '
                + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        }
        text += "\n";
    }
    return text;
}

QStringList loggedTargets(const QByteArray& log, const QByteArray& method, int status)
{
    static const QRegularExpression line(QStringLiteral("\"(\\S+) (\\S+) HTTP/1\\.[01]\" (\\d{3}) "));
    QStringList targets;
    for (const QByteArray& text : log.split('\n')) {
        const auto match = line.match(QString::fromUtf8(text));
        if (match.hasMatch() && match.captured(1) == QLatin1String(method)
            && match.captured(3).toInt() == status) {
            targets << match.captured(2);
        }
    }
    return targets;
}

bool hasSanitizerReport(const QByteArray& output)
{
    return output.contains("Sanitizer") || output.contains("runtime error:");
}

E2eScene::E2eScene()
{
    valid = root.isValid() && QDir(root.path()).mkpath(QStringLiteral("releases"))
        && QDir(root.path()).mkpath(QStringLiteral("tmp"))
        && QDir(root.path()).mkpath(QStringLiteral("logs"));
}

E2eScene::~E2eScene()
{
    // A test that failed half-way may leave a mode-1 updater waiting for a host; it ends within
    // about ten seconds, and nothing should outlive the test that started it.
    waitForUpdaterEnd(15000);
}

QString E2eScene::path(const QString& relative) const
{
    return root.filePath(relative);
}

QString E2eScene::releaseDir(const QString& version) const
{
    return path(QStringLiteral("releases/") + version);
}

QString E2eScene::installed(const QString& relative) const
{
    return installDir() + QLatin1Char('/') + relative;
}

QString E2eScene::workDir() const
{
    return QDir(path(QStringLiteral("tmp"))).canonicalPath() + QStringLiteral("/Host");
}

bool E2eScene::writeRelease(const QString& version, const Tree& files)
{
    if (!writeTree(releaseDir(version), files)) {
        return false;
    }
    // Host.exe and the updater must run from the installation made of this release.
    for (auto it = files.keyBegin(); it != files.keyEnd(); ++it) {
        const QString file = releaseDir(version) + QLatin1Char('/') + *it;
        if (it->endsWith(QLatin1String(".exe"))
            && !QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ExeOwner)) {
            return false;
        }
    }
    return true;
}

bool E2eScene::install(const QString& version)
{
    const QString from = releaseDir(version);
    const Tree files = readTree(from);
    for (auto it = files.keyBegin(); it != files.keyEnd(); ++it) {
        const QString target = installed(*it);
        if (!QDir().mkpath(QFileInfo(target).absolutePath())
            || !QFile::copy(from + QLatin1Char('/') + *it, target)) {
            return false;
        }
    }
    return !files.isEmpty();
}

bool E2eScene::signReleases(const QString& downloadBase, Signing how)
{
    if (how == Signing::AsIs) {
        return true;
    }
    if (how == Signing::Unsigned) {
        return QDir(path(QStringLiteral("releases/signed"))).removeRecursively();
    }
    QString secret = QStringLiteral(TEST_RELEASE_SECRET);
    if (how == Signing::OtherKey) {
        secret = path(QStringLiteral("impostor.secret"));
        if (!QFileInfo::exists(secret)) {
            const ProcessRun keygen = run(QStringLiteral(RELEASE_TOOL_EXE),
                { QStringLiteral("keygen"), QStringLiteral("--secret"), secret }, QStringLiteral("keygen"));
            if (!keygen.finished || keygen.exitCode != 0) {
                return false;
            }
        }
    }
    // Signed as a vendor would after publishing, with the fixed test key: a build that trusts
    // it verifies every answer, one that trusts no key takes them as they come.
    const ProcessRun signing = run(QStringLiteral(RELEASE_TOOL_EXE),
        { QStringLiteral("sign"), QStringLiteral("--releases"), path(QStringLiteral("releases")),
            QStringLiteral("--secret"), secret, QStringLiteral("--base"), downloadBase },
        QStringLiteral("sign"));
    if (!signing.finished || signing.exitCode != 0) {
        qWarning("orbisnap-release sign failed: %s", readFile(signing.errPath).constData());
        return false;
    }
    return true;
}

bool E2eScene::startServer(const QStringList& more, Signing signing)
{
    const qsizetype publicBase = more.indexOf(QStringLiteral("--public-base"));
    if (!signReleases(publicBase >= 0 && publicBase + 1 < more.size() ? more[publicBase + 1] : ownDownloadBase(),
            signing)) {
        return false;
    }
    const QStringList arguments = QStringList { QStringLiteral("--releases"),
        path(QStringLiteral("releases")), QStringLiteral("--reports"), reportsFile() }
        + more;
    const QDeadlineTimer deadline(10000);
    for (;;) {
        if (vendorServer.start(arguments)) {
            return true;
        }
        if (!vendorServer.errors().contains("the port is taken") || deadline.hasExpired()) {
            qWarning("vendor-server did not start: %s", vendorServer.errors().constData());
            return false;
        }
        QThread::msleep(200);
    }
}

QString E2eScene::ownDownloadBase()
{
    const QUrl url(QString::fromUtf8(ServerBaseUrl));
    return QStringLiteral("http://%1:%2/releases").arg(url.host()).arg(url.port(80));
}

ProcessRun E2eScene::runHost(const QStringList& arguments)
{
    return runInstalled(QStringLiteral("Host.exe"), arguments, QStringLiteral("host"));
}

ProcessRun E2eScene::runUpdater(const QStringList& arguments)
{
    return runInstalled(QStringLiteral("RevisionPusher.exe"), arguments, QStringLiteral("updater"));
}

ProcessRun E2eScene::runInstalled(const QString& program, const QStringList& arguments, const QString& logName)
{
    if (launcher.isEmpty()) {
        return run(installed(program), arguments, logName);
    }
    return run(launcher.first(), launcher.mid(1) + QStringList { installed(program) } + arguments, logName);
}

ProcessRun E2eScene::run(const QString& program, const QStringList& arguments, const QString& logName)
{
    const QString stem = path(QStringLiteral("logs/%1-%2").arg(errFiles.size() + 1).arg(logName));
    ProcessRun result;
    result.errPath = stem + QStringLiteral(".err");
    errFiles << result.errPath;
    // Files, not pipes: a detached updater inherits them and goes on writing after the host has
    // ended, where a closed pipe would end it.
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setStandardOutputFile(stem + QStringLiteral(".out"));
    process.setStandardErrorFile(result.errPath);
    process.start(program, arguments);
    result.finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.out = readFile(stem + QStringLiteral(".out"));
    return result;
}

bool E2eScene::waitForUpdaterEnd(int timeoutMs) const
{
    const QString updater = installed(QStringLiteral("RevisionPusher.exe"));
    const QDeadlineTimer deadline(timeoutMs);
    while (executableInUse(updater)) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

QByteArray E2eScene::sanitizerReports() const
{
    QByteArray reports;
    for (const QString& file : errFiles) {
        const QByteArray text = readFile(file);
        if (hasSanitizerReport(text)) {
            reports += QFileInfo(file).fileName().toUtf8() + ":\n" + text + "\n";
        }
    }
    return reports;
}

QProcessEnvironment E2eScene::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
    // The user's data folder, where the host keeps its rollout fraction.
    environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
    environment.insert(QStringLiteral("USER"), userName);
    for (auto it = variables.cbegin(); it != variables.cend(); ++it) {
        if (it.value().isNull()) {
            environment.remove(it.key());
        } else {
            environment.insert(it.key(), it.value());
        }
    }
    return environment;
}
