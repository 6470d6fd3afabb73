#include "fetchtarget.h"

#include "enginepaths.h"
#include "fileops.h"
#include "filehelpers.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace {

// Writes at or above this size start the kernel's write-back as they go, so the sync at the
// end of the pass has little left to do.
constexpr qint64 WriteBackStep = qint64(8) << 20;
// From this size on a file is hashed on a thread of its own while it arrives; below it, a
// thread would cost more than the hashing.
constexpr qint64 BackgroundHashFrom = qint64(8) << 20;
// From this size on a partial is worth continuing after an interruption: its validator is
// recorded as soon as the partial has grown this far. Smaller files are simply fetched again.
constexpr qint64 ResumableFrom = qint64(1) << 20;
// From this size on a file's whole size is reserved on disk when its body starts: a disk without
// room for it fails at once instead of after most of it came, and the file lies in one piece.
constexpr qint64 ReserveFrom = qint64(1) << 20;
// From this many files on, one sync of the whole file system beats one per file.
constexpr int SyncWholeFileSystemFrom = 16;

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

int openFile(const QString& path, int flags)
{
#ifdef _WIN32
    // The long-path form: a partial file may lie deeper than 260 characters.
    return ::_wopen(nativePath(path).c_str(), flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
#else
    // Never through a symbolic link: one in the working directory was not made by the updater.
    return ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC | O_NOFOLLOW, 0644);
#endif
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const unsigned piece = unsigned(std::min<qint64>(size, 1 << 30));
#ifdef _WIN32
        const int written = ::_write(fd, data, piece);
#else
        const ssize_t written = ::write(fd, data, piece);
#endif
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool syncData(int fd)
{
#ifdef _WIN32
    return ::_commit(fd) == 0; // FlushFileBuffers
#else
    return ::fdatasync(fd) == 0;
#endif
}

bool closeFile(int fd)
{
#ifdef _WIN32
    return ::_close(fd) == 0;
#else
    return ::close(fd) == 0;
#endif
}

bool removePresent(const QString& path)
{
    return !QFileInfo::exists(path) || QFile::remove(path);
}

} // namespace

FetchTarget::FetchTarget(const QString& root, const QString& relative, const QString& url, qint64 expectedSize,
    std::optional<Sha256Digest> expectedHash)
    : root(root)
    , relative(relative)
    , url(url)
    , expectedSize(expectedSize)
    , expectedHash(expectedHash)
    , finalPath(joinPath(root, relative))
    , partialPath(finalPath + QLatin1String(PartialSuffix))
    , infoPath(finalPath + QLatin1String(InfoSuffix))
{
}

FetchTarget::~FetchTarget()
{
    background.reset();
    closePartial();
}

TransferRequest FetchTarget::request()
{
    TransferRequest request;
    request.url = url;
    request.sink = this;
    resumeFrom = 0;
    validator.clear();
    infoWritten = false;
    if (!mayResume()) {
        return request;
    }
    const QFileInfo partial(partialPath);
    QFile info(infoPath);
    if (partial.isFile() && partial.size() > 0 && info.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = info.readAll().split('\n');
        if (lines.size() >= 2 && QString::fromUtf8(lines[0]) == url && !lines[1].isEmpty()
            && (expectedSize < 0 || partial.size() < expectedSize)) {
            resumeFrom = partial.size();
            validator = lines[1];
            infoWritten = true;
            request.resumeFrom = resumeFrom;
            request.ifRange = validator;
        }
    }
    return request;
}

bool FetchTarget::begin(const TransferHead& head)
{
    QByteArray newValidator = head.etag.startsWith("W/") ? QByteArray() : head.etag;
    if (newValidator.isEmpty()) {
        newValidator = head.lastModified;
    }
    if (head.status == 206) {
        const bool matches = resumeFrom > 0 && head.rangeStart == resumeFrom
            && (expectedSize < 0 || head.rangeTotal < 0 || head.rangeTotal == expectedSize)
            && (head.length < 0 || head.rangeTotal < 0 || resumeFrom + head.length == head.rangeTotal);
        if (!matches) {
            return fail("a partial reply that does not continue the partial file",
                QStringLiteral("Content-Range from %1 of %2").arg(head.rangeStart).arg(head.rangeTotal));
        }
        received = resumeFrom;
        hinted = resumeFrom;
        if (!openPartial(true)) {
            return false;
        }
        startBackgroundHash();
        return background || hashPartial();
    }
    if (head.status != 200) {
        return fail("unexpected reply status", QString::number(head.status));
    }
    if (expectedSize >= 0 && head.length >= 0 && head.length != expectedSize) {
        return fail("size differs",
            QStringLiteral("expected %1 bytes, announced %2").arg(expectedSize).arg(head.length));
    }
    // The whole file again: the old partial and its validator go before the new bytes come,
    // so no validator ever describes bytes of another reply.
    resumeFrom = 0;
    received = 0;
    hinted = 0;
    hash.reset();
    // A file known to be small never had an info.
    if (mayResume() && !removePresent(infoPath)) {
        return fail("cannot remove", infoPath);
    }
    infoWritten = false;
    if (!makeParentDirs(root, relative, &createdDirs)) {
        std::fprintf(stderr, "cannot create the directory of %s below %s\n", relative.toUtf8().constData(),
            root.toUtf8().constData());
        refused = true;
        failureText = QStringLiteral("cannot create its directory");
        return false;
    }
    for (const QString& path : { finalPath, infoPath }) {
        // The info is only looked at where one may be written.
        if ((path == finalPath || mayResume()) && isLinkEntry(path)) {
            std::fprintf(stderr, "symbolic link refused: %s\n", path.toUtf8().constData());
            refused = true;
            failureText = QStringLiteral("symbolic link refused");
            return false;
        }
    }
    if (!openPartial(false)) {
        return false;
    }
    startBackgroundHash();
    validator = mayResume() ? newValidator : QByteArray();
    return true;
}

bool FetchTarget::mayResume() const
{
    return expectedSize < 0 || expectedSize >= ResumableFrom;
}

bool FetchTarget::writeInfo()
{
    QFile info(infoPath);
    if (!info.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || info.write(url.toUtf8() + '\n' + validator + '\n') < 0 || !info.flush()) {
        // Without its record the partial is simply not resumable.
        info.close();
        QFile::remove(infoPath);
        validator.clear();
        return false;
    }
    infoWritten = true;
    return true;
}

void FetchTarget::startBackgroundHash()
{
    background.reset();
    if (expectedHash && expectedSize >= BackgroundHashFrom) {
        background = std::make_unique<FileHasher>(partialPath);
        // A resumed partial's own bytes are hashed first, beside the transfer as well.
        background->advance(received);
    }
}

bool FetchTarget::digestOfBody(Sha256Digest& digest)
{
    if (!background) {
        digest = hash.result();
        return true;
    }
    QString error;
    const bool hashed = background->finish(received, digest, &error);
    // The hasher's handle goes before the file is renamed or removed (Windows refuses both
    // while it is open).
    background.reset();
    return hashed || fail("write file failed", error);
}

// A resumed transfer's hash starts with the bytes already in the partial.
bool FetchTarget::hashPartial()
{
    hash.reset();
    if (!expectedHash) {
        return true;
    }
    QFile partial(partialPath);
    if (!partial.open(QIODevice::ReadOnly)) {
        return fail("write file failed", partial.errorString());
    }
    QByteArray chunk(int(FileTransfers::ReadChunk), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 size = partial.read(chunk.data(), chunk.size());
        if (size < 0) {
            return fail("write file failed", partial.errorString());
        }
        if (size == 0) {
            break;
        }
        hash.addData(chunk.constData(), std::size_t(size));
        total += size;
    }
    if (total != resumeFrom) {
        return fail("write file failed", QStringLiteral("the partial file changed while in use"));
    }
    return true;
}

bool FetchTarget::openPartial(bool append)
{
    closePartial();
    fd = openFile(partialPath, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC));
    if (fd < 0) {
        return fail("write file failed", errnoText(errno));
    }
    if (expectedSize >= ReserveFrom) {
        if (const platform::FileResult reserved = platform::reserveSpace(fd, std::uint64_t(expectedSize)); !reserved) {
            return fail("write file failed", QString::fromStdString(reserved.describe()));
        }
    }
    return true;
}

bool FetchTarget::write(const char* data, qint64 size)
{
    if (expectedSize >= 0 && received + size > expectedSize) {
        return fail("more bytes than the file's size",
            QStringLiteral("expected %1 bytes, received more than %2").arg(expectedSize).arg(received + size - 1));
    }
    if (!writeAll(fd, data, size)) {
        return fail("write file failed", errnoText(errno));
    }
    received += size;
    if (!infoWritten && !validator.isEmpty() && received >= ResumableFrom) {
        writeInfo();
    }
    if (background) {
        background->advance(received);
    } else if (expectedHash) {
        hash.addData(data, std::size_t(size));
    }
#ifdef SYNC_FILE_RANGE_WRITE
    if (received - hinted >= WriteBackStep) {
        ::sync_file_range(fd, hinted, received - hinted, SYNC_FILE_RANGE_WRITE);
        hinted = received;
    }
#endif
    return true;
}

void FetchTarget::finished(int error)
{
    ended = true;
    if (error != 0 || refused) {
        background.reset();
        // Only bytes of a reply whose validator is known can be continued later.
        const bool resumable = !refused && received > 0 && !validator.isEmpty() && (infoWritten || writeInfo());
        closePartial();
        if (!resumable) {
            discard();
        }
        return;
    }
    if (received == 0 && expectedSize != 0) {
        // An empty body is taken for a failed download, not for an empty file.
        closePartial();
        discard();
        return;
    }
    if (expectedSize >= 0 && received != expectedSize) {
        fail("size differs", QStringLiteral("expected %1 bytes, received %2").arg(expectedSize).arg(received));
        closePartial();
        discard();
        return;
    }
    if (expectedHash) {
        Sha256Digest got {};
        if (!digestOfBody(got)) {
            closePartial();
            discard();
            return;
        }
        if (got != *expectedHash) {
            fail("content differs",
                QStringLiteral("expected %1 bytes sha256 %2, received %3 bytes sha256 %4")
                    .arg(expectedSize)
                    .arg(QString::fromStdString(Sha256::toHex(*expectedHash)))
                    .arg(received)
                    .arg(QString::fromStdString(Sha256::toHex(got))));
            closePartial();
            discard();
            return;
        }
    }
    if (fd >= 0 && syncBeforeRename && !syncData(fd)) {
        fail("write file failed", errnoText(errno));
        closePartial();
        discard();
        return;
    }
    const int descriptor = fd;
    fd = -1;
    if (descriptor >= 0 && !closeFile(descriptor)) {
        fail("write file failed", errnoText(errno));
        discard();
        return;
    }
    // Before the rename: a whole partial without its info is fetched again, an info without
    // its partial would lie about for ever.
    if (infoWritten) {
        QFile::remove(infoPath);
        infoWritten = false;
    }
    // A virus scanner that holds the new file for a moment is waited for (Windows).
    if (const platform::FileResult renamed = replaceFile(partialPath, finalPath); !renamed) {
        fail("write file failed", QString::fromStdString(renamed.describe()));
        discard();
        return;
    }
    done = true;
}

void FetchTarget::closePartial()
{
    if (fd >= 0) {
        closeFile(fd);
        fd = -1;
    }
}

void FetchTarget::discard()
{
    background.reset();
    QFile::remove(partialPath);
    if (mayResume()) {
        QFile::remove(infoPath);
    }
    infoWritten = false;
    removeCreatedDirs(createdDirs);
    createdDirs.clear();
}

bool FetchTarget::fail(const char* what, const QString& detail)
{
    refused = true;
    failureText = QStringLiteral("%1 (%2)").arg(QLatin1String(what), detail);
    if (quiet) {
        return false;
    }
    if (std::strcmp(what, "write file failed") == 0) {
        std::fprintf(stderr, "write file failed: %s (%s)\n", finalPath.toUtf8().constData(),
            detail.toUtf8().constData());
    } else {
        std::fprintf(stderr, "not fetched: %s: %s (%s)\n", relative.toUtf8().constData(), what,
            detail.toUtf8().constData());
    }
    return false;
}

bool syncStoredFiles(const QString& root, const QStringList& paths)
{
    if (paths.isEmpty()) {
        return true;
    }
#if defined(__linux__)
    if (paths.size() >= SyncWholeFileSystemFrom) {
        // One syncfs writes back every file and every rename of the pass together; the kernel
        // merges what one fdatasync per file would do one after another.
        const int fd = openFile(root, O_RDONLY | O_DIRECTORY);
        if (fd >= 0 && ::syncfs(fd) == 0) {
            ::close(fd);
            return true;
        }
        const int saved = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        std::fprintf(stderr, "write file failed: %s (%s)\n", root.toUtf8().constData(),
            errnoText(saved).toUtf8().constData());
        return false;
    }
#else
    Q_UNUSED(root);
#endif
    const auto synced = [](const QString& path, const platform::FileResult& result) {
        if (!result) {
            std::fprintf(stderr, "write file failed: %s (%s)\n", path.toUtf8().constData(), result.describe().c_str());
        }
        return bool(result);
    };
    QSet<QString> dirs;
    for (const QString& path : paths) {
        if (!synced(path, platform::flushFile(nativePath(path)))) {
            return false;
        }
        dirs.insert(QFileInfo(path).path());
    }
    for (const QString& dir : dirs) {
        if (!synced(dir, platform::syncDirectory(nativePath(dir)))) {
            return false;
        }
    }
    return true;
}
