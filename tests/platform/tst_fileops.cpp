// The platform layer against real files and real processes: a running executable, a loaded
// library and a holder that lets go after a moment, in a directory with non-ASCII letters and
// beyond 260 characters. Natively on Linux and, built for Windows, under wine.

#include "fileops.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using platform::WriteProbe;

Q_DECLARE_METATYPE(WriteProbe)

namespace {

fs::path fsPath(const QString& path)
{
#ifdef _WIN32
    return fs::path(path.toStdWString());
#else
    return fs::path(QFile::encodeName(path).toStdString());
#endif
}

QString helperPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/fileholder.exe");
}

QString libraryPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QStringLiteral(HELDLIB_NAME);
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One run of fileholder.exe (or a copy of it), started and waited for until it holds what it
// was asked to; killed when it goes out of scope.
class Holder
{
public:
    Holder(const QString& program, const QStringList& arguments)
    {
        process.setProgram(program);
        process.setArguments(arguments);
        process.start();
        if (!process.waitForStarted(10000)) {
            return;
        }
        while (!process.canReadLine() && process.state() == QProcess::Running) {
            process.waitForReadyRead(200);
        }
        holding = process.readLine().trimmed() == "ready";
    }
    ~Holder() { stop(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool isHolding() const { return holding; }
    QString errors() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    bool waitForEnd(int milliseconds) { return process.waitForFinished(milliseconds); }

private:
    QProcess process;
    bool holding = false;
};

bool isReadOnly(const QString& path)
{
#ifdef _WIN32
    const DWORD attributes = ::GetFileAttributesW(fsPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
#else
    return !(QFile::permissions(path) & QFile::WriteOwner);
#endif
}

bool makeReadOnly(const QString& path)
{
#ifdef _WIN32
    return ::SetFileAttributesW(fsPath(path).c_str(), FILE_ATTRIBUTE_READONLY);
#else
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
#endif
}

} // namespace

class FileOpsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void utf8Paths_data();
    void utf8Paths();
    void probe_data();
    void probe();
    void probeReadOnlyFile();
    void probeWithoutPermission();
    void replace_data();
    void replace();
    void renameAside_data();
    void renameAside();
    void replaceLoadedLibrary();
    void remove_data();
    void remove();
    void heldFile_data();
    void heldFile();
    void flushAndSync();
    void reserveSpace();
    void hidden();
    void symbolicLink_data();
    void symbolicLink();
    void longPaths();
    void systemPath_data();
    void systemPath();
    void describe();

private:
    QString file(const QString& name) const { return dir + QLatin1Char('/') + name; }

    std::unique_ptr<QTemporaryDir> temp;
    QString dir; // below temp, with non-ASCII letters
};

void FileOpsTest::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    dir = temp->path() + QStringLiteral("/Données 张三");
    QVERIFY(QDir().mkdir(dir));
}

void FileOpsTest::cleanup()
{
    temp.reset();
}

void FileOpsTest::utf8Paths_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("ascii") << QStringLiteral("plain.txt");
    QTest::newRow("latin") << QStringLiteral("José.txt");
    QTest::newRow("chinese") << QStringLiteral("张三.txt");
    QTest::newRow("outside-the-basic-plane") << QStringLiteral("notes \U0001F600.txt");
}

// UTF-8 text names the same file on every system, and openFile reaches it.
void FileOpsTest::utf8Paths()
{
    QFETCH(QString, name);
    const QByteArray utf8 = file(name).toUtf8();
    const fs::path path = platform::pathFromUtf8(std::string_view(utf8.constData(), utf8.size()));
    QCOMPARE(QByteArray::fromStdString(platform::pathToUtf8(path)), utf8);
    std::FILE* out = platform::openFile(path, "wb");
    QVERIFY(out);
    QCOMPARE(std::fwrite("bytes", 1, 5, out), std::size_t(5));
    std::fclose(out);
    QCOMPARE(readBytes(file(name)), QByteArray("bytes"));
}

void FileOpsTest::probe_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<WriteProbe>("expected");
    const bool windows = platform::runningImagesKeepTheirName();
    QTest::newRow("free-file") << "file" << WriteProbe::Free;
    QTest::newRow("missing-file") << "missing" << WriteProbe::Missing;
    QTest::newRow("missing-folder-on-the-path") << "missing-folder" << WriteProbe::Missing;
    QTest::newRow("running-executable") << "running" << WriteProbe::InUse;
    // Linux maps a library without denying writes to it; Windows keeps it from being written.
    QTest::newRow("loaded-library") << "loaded" << (windows ? WriteProbe::InUse : WriteProbe::Free);
    QTest::newRow("held-open-sharing-nothing") << "held" << (windows ? WriteProbe::InUse : WriteProbe::Free);
}

void FileOpsTest::probe()
{
    QFETCH(QString, kind);
    QFETCH(WriteProbe, expected);
    QString path = file(QStringLiteral("target.dll"));
    std::unique_ptr<Holder> holder;
    if (kind == QLatin1String("file") || kind == QLatin1String("held")) {
        QVERIFY(writeBytes(path, "content"));
        if (kind == QLatin1String("held")) {
            holder = std::make_unique<Holder>(helperPath(), QStringList { QStringLiteral("hold"), path, QStringLiteral("30000") });
        }
    } else if (kind == QLatin1String("missing-folder")) {
        path = file(QStringLiteral("no-such-folder/target.dll"));
    } else if (kind == QLatin1String("running")) {
        path = file(QStringLiteral("Host.exe"));
        QVERIFY(QFile::copy(helperPath(), path));
        QVERIFY(QFile::setPermissions(path, QFile::permissions(helperPath())));
        holder = std::make_unique<Holder>(path, QStringList { QStringLiteral("sleep"), QStringLiteral("30000") });
    } else if (kind == QLatin1String("loaded")) {
        QVERIFY(QFile::copy(libraryPath(), path));
        holder = std::make_unique<Holder>(helperPath(), QStringList { QStringLiteral("load"), path, QStringLiteral("30000") });
    }
    if (holder) {
        QVERIFY2(holder->isHolding(), qPrintable(holder->errors()));
    }
    const QByteArray before = readBytes(path);
    std::error_code error;
    QCOMPARE(platform::probeForWriting(fsPath(path), &error), expected);
    QCOMPARE(bool(error), expected != WriteProbe::Free);
    // The probe never makes, truncates or changes a file.
    QCOMPARE(readBytes(path), before);
    QCOMPARE(QFileInfo::exists(path), kind != QLatin1String("missing") && kind != QLatin1String("missing-folder"));
    if (holder) {
        holder->stop();
        QCOMPARE(platform::probeForWriting(fsPath(path)), WriteProbe::Free);
    }
}

// A read-only file is something the updater clears, not a lack of permission; the probe leaves
// the mark as it was.
void FileOpsTest::probeReadOnlyFile()
{
    const QString path = file(QStringLiteral("read-only.dll"));
    QVERIFY(writeBytes(path, "content"));
    QVERIFY(makeReadOnly(path));
#ifndef _WIN32
    if (::geteuid() != 0) {
        QCOMPARE(platform::probeForWriting(fsPath(path)), WriteProbe::NoPermission);
        return;
    }
#endif
    QCOMPARE(platform::probeForWriting(fsPath(path)), WriteProbe::Free);
    QVERIFY(isReadOnly(path));
}

// A user who may not write the installation gets "no permission", never "in use".
void FileOpsTest::probeWithoutPermission()
{
#ifdef _WIN32
    QSKIP("wine runs every program with full rights; only real Windows can deny writing here");
#else
    const QString path = file(QStringLiteral("Host.exe"));
    QVERIFY(writeBytes(path, "installed by another user"));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    if (::geteuid() != 0) {
        QVERIFY(makeReadOnly(path));
        QCOMPARE(platform::probeForWriting(fsPath(path)), WriteProbe::NoPermission);
        return;
    }
    // As root, let an unprivileged user probe a file that root owns.
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(temp->path(), open));
    QVERIFY(QFile::setPermissions(dir, open));
    QProcess probe;
    probe.start(QStringLiteral("setpriv"),
        { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
            helperPath(), QStringLiteral("probe"), path });
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
        QSKIP(qPrintable(QStringLiteral("cannot run the probe as the user nobody: %1 %2")
                             .arg(probe.errorString(), QString::fromLocal8Bit(probe.readAllStandardError()))));
    }
    QCOMPARE(probe.readAllStandardOutput(),
        QByteArray("no-permission ") + QByteArray(std::strerror(EACCES)) + '\n');
    QCOMPARE(readBytes(path), QByteArray("installed by another user"));
#endif
}

void FileOpsTest::replace_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<bool>("targetReadOnly");
    QTest::addColumn<bool>("sourceExists");
    QTest::newRow("onto-an-existing-file") << true << false << true;
    QTest::newRow("onto-nothing") << false << false << true;
    QTest::newRow("onto-a-read-only-file") << true << true << true;
    QTest::newRow("source-missing") << true << false << false;
}

void FileOpsTest::replace()
{
    QFETCH(bool, targetExists);
    QFETCH(bool, targetReadOnly);
    QFETCH(bool, sourceExists);
    const QString source = file(QStringLiteral("new.dll"));
    const QString target = file(QStringLiteral("core.dll"));
    if (sourceExists) {
        QVERIFY(writeBytes(source, "new"));
    }
    if (targetExists) {
        QVERIFY(writeBytes(target, "old"));
    }
    if (targetReadOnly) {
        QVERIFY(makeReadOnly(target));
    }
    const platform::FileResult result = platform::replaceFile(fsPath(source), fsPath(target));
    if (!sourceExists) {
        QVERIFY(!result);
        QVERIFY(platform::isNotFound(result.error));
        QVERIFY(!result.describe().empty());
        QCOMPARE(readBytes(target), QByteArray("old"));
        return;
    }
    QVERIFY2(result, result.describe().c_str());
    QCOMPARE(result.retries, 0);
    QCOMPARE(readBytes(target), QByteArray("new"));
    QVERIFY(!QFileInfo::exists(source));
}

void FileOpsTest::renameAside_data()
{
    QTest::addColumn<QString>("kind"); // what is at the name that is renamed
    QTest::addColumn<bool>("asideTaken");
    QTest::newRow("file-to-a-free-name") << "file" << false;
    QTest::newRow("never-onto-an-existing-name") << "file" << true;
    QTest::newRow("running-executable") << "running" << false;
}

// Renaming aside frees the name for the new file, even while the old one runs.
void FileOpsTest::renameAside()
{
    QFETCH(QString, kind);
    QFETCH(bool, asideTaken);
    const QString name = file(QStringLiteral("Tool.exe"));
    const QString aside = file(QStringLiteral(".Tool.exe.aside"));
    std::unique_ptr<Holder> running;
    if (kind == QLatin1String("running")) {
        QVERIFY(QFile::copy(helperPath(), name));
        QVERIFY(QFile::setPermissions(name, QFile::permissions(helperPath())));
        running = std::make_unique<Holder>(name, QStringList { QStringLiteral("sleep"), QStringLiteral("30000") });
        QVERIFY2(running->isHolding(), qPrintable(running->errors()));
    } else {
        QVERIFY(writeBytes(name, "old tool"));
    }
    const QByteArray old = readBytes(name);
    if (asideTaken) {
        QVERIFY(writeBytes(aside, "someone else's"));
    }
    const platform::FileResult result = platform::renameAside(fsPath(name), fsPath(aside));
    if (asideTaken) {
        QVERIFY(!result);
        QCOMPARE(readBytes(name), old);
        QCOMPARE(readBytes(aside), QByteArray("someone else's"));
        return;
    }
    QVERIFY2(result, result.describe().c_str());
    QVERIFY(!QFileInfo::exists(name));
    QCOMPARE(readBytes(aside), old);
    const QString next = file(QStringLiteral("next.exe"));
    QVERIFY(writeBytes(next, "new tool"));
    const platform::FileResult placed = platform::replaceFile(fsPath(next), fsPath(name));
    QVERIFY2(placed, placed.describe().c_str());
    QCOMPARE(readBytes(name), QByteArray("new tool"));
    if (running) {
        running->stop();
    }
    const platform::FileResult removed = platform::removeFile(fsPath(aside));
    QVERIFY2(removed, removed.describe().c_str());
}

// A DLL that a running program loaded cannot be replaced on Windows, only renamed aside; the
// new one then takes its name, and the old one goes once the program lets go.
void FileOpsTest::replaceLoadedLibrary()
{
    const QString library = file(QStringLiteral("plugin.dll"));
    const QString aside = file(QStringLiteral(".plugin.dll.aside"));
    const QString next = file(QStringLiteral("plugin.dll.new"));
    QVERIFY(QFile::copy(libraryPath(), library));
    QVERIFY(writeBytes(next, "new plugin"));
    Holder loaded(helperPath(), { QStringLiteral("load"), library, QStringLiteral("30000") });
    QVERIFY2(loaded.isHolding(), qPrintable(loaded.errors()));
    const platform::RetryPolicy brief { std::chrono::milliseconds(25), std::chrono::milliseconds(100) };
    const platform::FileResult replaced = platform::replaceFile(fsPath(next), fsPath(library), brief);
    if (platform::runningImagesKeepTheirName()) {
        QVERIFY(!replaced);
        QVERIFY(replaced.heldTooLong);
        QVERIFY(!platform::removeFile(fsPath(library), brief));
        const platform::FileResult moved = platform::renameAside(fsPath(library), fsPath(aside));
        QVERIFY2(moved, moved.describe().c_str());
        const platform::FileResult placed = platform::replaceFile(fsPath(next), fsPath(library));
        QVERIFY2(placed, placed.describe().c_str());
        QVERIFY(!platform::removeFile(fsPath(aside), brief));
        loaded.stop();
        const platform::FileResult removed = platform::removeFile(fsPath(aside));
        QVERIFY2(removed, removed.describe().c_str());
    } else {
        QVERIFY2(replaced, replaced.describe().c_str());
    }
    QCOMPARE(readBytes(library), QByteArray("new plugin"));
    QVERIFY(!QFileInfo::exists(aside));
    QVERIFY(!QFileInfo::exists(next));
}

void FileOpsTest::remove_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file") << "file";
    QTest::newRow("read-only-file") << "read-only";
    QTest::newRow("missing-file") << "missing";
}

void FileOpsTest::remove()
{
    QFETCH(QString, kind);
    const QString path = file(QStringLiteral("old.dll"));
    if (kind != QLatin1String("missing")) {
        QVERIFY(writeBytes(path, "old"));
    }
    if (kind == QLatin1String("read-only")) {
        QVERIFY(makeReadOnly(path));
    }
    const platform::FileResult result = platform::removeFile(fsPath(path));
    QCOMPARE(bool(result), kind != QLatin1String("missing"));
    QCOMPARE(platform::isNotFound(result.error), kind == QLatin1String("missing"));
    QVERIFY(!QFileInfo::exists(path));
}

void FileOpsTest::heldFile_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<int>("limitMs");
    QTest::newRow("replace-onto-a-file-held-briefly") << "replace-target" << 300 << 3000;
    QTest::newRow("replace-a-source-held-briefly") << "replace-source" << 300 << 3000;
    QTest::newRow("remove-a-file-held-briefly") << "remove" << 300 << 3000;
    QTest::newRow("replace-onto-a-file-held-too-long") << "replace-target" << 5000 << 200;
    QTest::newRow("remove-a-file-held-too-long") << "remove" << 5000 << 200;
}

// A holder that lets go in time is waited for; one that outlasts the limit is reported as such.
// Only Windows has holders that block these calls.
void FileOpsTest::heldFile()
{
    QFETCH(QString, operation);
    QFETCH(int, holdMs);
    QFETCH(int, limitMs);
    const QString source = file(QStringLiteral("staged.dll"));
    const QString target = file(QStringLiteral("core.dll"));
    QVERIFY(writeBytes(source, "new"));
    QVERIFY(writeBytes(target, "old"));
    const QString held = operation == QLatin1String("replace-source") ? source : target;
    Holder holder(helperPath(), { QStringLiteral("hold"), held, QString::number(holdMs) });
    QVERIFY2(holder.isHolding(), qPrintable(holder.errors()));

    const platform::RetryPolicy policy { std::chrono::milliseconds(25), std::chrono::milliseconds(limitMs) };
    const platform::FileResult result = operation == QLatin1String("remove")
        ? platform::removeFile(fsPath(target), policy)
        : platform::replaceFile(fsPath(source), fsPath(target), policy);
    const bool blocks = platform::runningImagesKeepTheirName();
    if (blocks && holdMs > limitMs) {
        QVERIFY(!result);
        QVERIFY(result.heldTooLong);
        QVERIFY(result.retries > 0);
        QVERIFY(QString::fromStdString(result.describe()).contains(QStringLiteral("still held by another program")));
        holder.stop();
        QCOMPARE(readBytes(target), QByteArray("old"));
        return;
    }
    QVERIFY2(result, result.describe().c_str());
    QCOMPARE(result.retries > 0, blocks);
    if (operation == QLatin1String("remove")) {
        QVERIFY(!QFileInfo::exists(target));
    } else {
        QCOMPARE(readBytes(target), QByteArray("new"));
    }
}

void FileOpsTest::flushAndSync()
{
    const QString path = file(QStringLiteral("staged.bin"));
    QVERIFY(writeBytes(path, QByteArray(100000, 'x')));
    platform::FileResult result = platform::flushFile(fsPath(path));
    QVERIFY2(result, result.describe().c_str());
    result = platform::syncDirectory(fsPath(dir));
    QVERIFY2(result, result.describe().c_str());
    result = platform::flushFile(fsPath(file(QStringLiteral("absent.bin"))));
    QVERIFY(platform::isNotFound(result.error));
    QCOMPARE(readBytes(path), QByteArray(100000, 'x'));
}

// Space is reserved without changing the file's length, which for a partial download is how much
// of it arrived; what was written stays.
void FileOpsTest::reserveSpace()
{
    const QString path = file(QStringLiteral("partial.bin"));
    std::FILE* stream = platform::openFile(fsPath(path), "wb");
    QVERIFY(stream);
    const bool written = std::fwrite("head", 1, 4, stream) == 4 && std::fflush(stream) == 0;
#ifdef _WIN32
    const platform::FileResult result = platform::reserveSpace(::_fileno(stream), 8 << 20);
#else
    const platform::FileResult result = platform::reserveSpace(::fileno(stream), 8 << 20);
#endif
    const bool grown = std::fwrite("tail", 1, 4, stream) == 4;
    QCOMPARE(std::fclose(stream), 0);
    QVERIFY(written && grown);
    QVERIFY2(result, result.describe().c_str());
    QCOMPARE(readBytes(path), QByteArray("headtail"));
}

// The hidden mark exists on Windows only; elsewhere the call succeeds and changes nothing.
void FileOpsTest::hidden()
{
    // Not a dot name: wine shows those as hidden whatever their attributes say.
    const QString path = file(QStringLiteral("staged.tmp"));
    QVERIFY(writeBytes(path, "x"));
    QVERIFY(platform::setHidden(fsPath(path)));
#ifdef _WIN32
    QVERIFY(::GetFileAttributesW(fsPath(path).c_str()) & FILE_ATTRIBUTE_HIDDEN);
    QVERIFY(platform::setHidden(fsPath(path), false));
    QVERIFY(!(::GetFileAttributesW(fsPath(path).c_str()) & FILE_ATTRIBUTE_HIDDEN));
    QVERIFY(platform::isNotFound(platform::setHidden(fsPath(file(QStringLiteral("absent")))).error));
#endif
    QCOMPARE(readBytes(path), QByteArray("x"));
}

void FileOpsTest::symbolicLink_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("isLink");
    QTest::newRow("regular-file") << "file" << false;
    QTest::newRow("shell-shortcut-is-a-file") << "shortcut" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("link-to-a-file") << "file-link" << true;
    QTest::newRow("dangling-link") << "dangling-link" << true;
    QTest::newRow("link-to-a-directory") << "dir-link" << true;
}

void FileOpsTest::symbolicLink()
{
    QFETCH(QString, kind);
    QFETCH(bool, isLink);
    const QString path = file(QStringLiteral("entry"));
    QVERIFY(writeBytes(file(QStringLiteral("real.txt")), "real"));
    std::error_code error;
#ifdef _WIN32
    // MinGW's std::filesystem makes no symbolic links; ask the system directly.
    const auto makeLink = [&](const QString& to, bool directory) {
        const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2; // unprivileged create
        if (!::CreateSymbolicLinkW(fsPath(path).c_str(), fsPath(to).c_str(), flags)) {
            error = std::error_code(int(::GetLastError()), std::system_category());
        } else if (::GetFileAttributesW(fsPath(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
            // Wine 8 makes the link but cannot read it back.
            error = std::error_code(int(::GetLastError()), std::system_category());
        }
    };
#else
    const auto makeLink = [&](const QString& to, bool directory) {
        if (directory) {
            fs::create_directory_symlink(fsPath(to), fsPath(path), error);
        } else {
            fs::create_symlink(fsPath(to), fsPath(path), error);
        }
    };
#endif
    if (kind == QLatin1String("file")) {
        QVERIFY(writeBytes(path, "x"));
    } else if (kind == QLatin1String("shortcut")) {
        QVERIFY(writeBytes(path, QByteArray("L\0\0\0", 4)));
    } else if (kind == QLatin1String("file-link")) {
        makeLink(file(QStringLiteral("real.txt")), false);
    } else if (kind == QLatin1String("dangling-link")) {
        makeLink(file(QStringLiteral("gone.txt")), false);
    } else if (kind == QLatin1String("dir-link")) {
        makeLink(temp->path(), true);
    }
    if (error) {
        QSKIP(qPrintable(QStringLiteral("cannot make a symbolic link here: %1")
                             .arg(QString::fromStdString(platform::errorText(error)))));
    }
    QCOMPARE(platform::isSymbolicLink(fsPath(path)), isLink);
}

// Paths beyond the 260 characters of Windows' classic limit work with every operation.
void FileOpsTest::longPaths()
{
    QString deep = dir;
    while (deep.size() < 300) {
        deep += QStringLiteral("/folder-with-a-long-name-%1").arg(deep.size());
    }
    std::error_code error;
    fs::create_directories(platform::systemPath(fsPath(deep)), error);
    QVERIFY2(!error, error.message().c_str());
    const fs::path source = fsPath(deep + QStringLiteral("/new.dll"));
    const fs::path target = fsPath(deep + QStringLiteral("/库.dll"));
    const fs::path aside = fsPath(deep + QStringLiteral("/.库.dll.aside"));
    for (const fs::path& path : { source, target }) {
        std::FILE* out = platform::openFile(path, "wb");
        QVERIFY(out);
        std::fputs(path == source ? "new" : "old", out);
        std::fclose(out);
    }
    QCOMPARE(platform::probeForWriting(target), WriteProbe::Free);
    QVERIFY(platform::flushFile(source));
    QVERIFY(platform::renameAside(target, aside));
    QVERIFY(platform::replaceFile(source, target));
    QVERIFY(platform::removeFile(aside));
    std::FILE* in = platform::openFile(target, "rb");
    QVERIFY(in);
    char text[8] = {};
    QCOMPARE(std::fread(text, 1, sizeof text, in), std::size_t(3));
    std::fclose(in);
    QCOMPARE(QByteArray(text), QByteArray("new"));
    QVERIFY(platform::removeFile(target));
}

void FileOpsTest::systemPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    const QString folder = QStringLiteral("folder-with-a-rather-long-name-");
    QString longTail;
    for (int i = 0; longTail.size() < 260; ++i) {
        longTail += folder + QString::number(i) + QLatin1Char('/');
    }
    longTail += QStringLiteral("a.dll");
    QString longTailBackslashed = longTail;
    longTailBackslashed.replace(QLatin1Char('/'), QLatin1Char('\\'));
#ifdef _WIN32
    QTest::newRow("short-absolute-unchanged") << "C:\\Users\\José\\a.dll" << "C:\\Users\\José\\a.dll";
    QTest::newRow("relative-unchanged") << "bin/" + longTail << "bin/" + longTail;
    QTest::newRow("long-absolute-prefixed") << "C:/Programs/" + longTail
                                            << "\\\\?\\C:\\Programs\\" + longTailBackslashed;
    QTest::newRow("long-with-dot-components-cleaned")
        << "C:/Programs/./x/../" + longTail << "\\\\?\\C:\\Programs\\" + longTailBackslashed;
    QTest::newRow("long-network-path") << "\\\\server\\share\\" + longTailBackslashed
                                       << "\\\\?\\UNC\\server\\share\\" + longTailBackslashed;
    QTest::newRow("long-network-path-with-slashes") << "//server/share/" + longTail
                                                    << "\\\\?\\UNC\\server\\share\\" + longTailBackslashed;
    QTest::newRow("prefixed-unchanged") << "\\\\?\\C:\\" + longTailBackslashed
                                        << "\\\\?\\C:\\" + longTailBackslashed;
#else
    QTest::newRow("short-absolute-unchanged") << "/home/José/a.dll" << "/home/José/a.dll";
    QTest::newRow("long-absolute-unchanged") << "/opt/" + longTail << "/opt/" + longTail;
#endif
}

// Only Windows needs (and gets) the long-path prefix, and only where a path is long.
void FileOpsTest::systemPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(platform::systemPath(fsPath(path)), fsPath(expected));
}

void FileOpsTest::describe()
{
    platform::FileResult result;
    QVERIFY(result.describe().empty());
    result.error = std::make_error_code(std::errc::no_such_file_or_directory);
    QCOMPARE(QString::fromStdString(result.describe()), QString::fromStdString(platform::errorText(result.error)));
    QVERIFY(!result.describe().empty());
    result.retries = 120;
    result.heldTooLong = true;
    QCOMPARE(QString::fromStdString(result.describe()),
        QString::fromStdString(platform::errorText(result.error))
            + QStringLiteral(" (still held by another program after 120 retries)"));
}

QTEST_GUILESS_MAIN(FileOpsTest)
#include "tst_fileops.moc"
