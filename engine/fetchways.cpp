#include "fetchways.h"

#include "decodeworker.h"
#include "delta.h"
#include "filehelpers.h"
#include "objectnames.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

QString hexOf(const std::uint8_t* bytes)
{
    Sha256Digest digest;
    std::memcpy(digest.data(), bytes, digest.size());
    return QString::fromStdString(Sha256::toHex(digest));
}

const char* wayName(FetchWay way)
{
    switch (way) {
    case FetchWay::Patch:
        return "the patch";
    case FetchWay::Packed:
        return "the compressed copy";
    case FetchWay::Raw:
        break;
    }
    return "the whole file";
}

// Decoded bytes go to the file's own target, which bounds them by the entry's size and hashes
// them as they come.
class TargetSink final : public delta::Sink
{
public:
    explicit TargetSink(FetchTarget& target) : target(target) { }

    bool write(const std::uint8_t* data, std::size_t size, std::string& error) override
    {
        if (target.write(reinterpret_cast<const char*>(data), qint64(size))) {
            return true;
        }
        error = target.failure().toStdString();
        return false;
    }

private:
    FetchTarget& target;
};

} // namespace

FileFetch::FileFetch(
    const FileEntry& entry, const FetchPlaces& places, std::unique_ptr<FetchTarget> raw, DecodeWorker* decoder)
    : entry(entry)
    , places(places)
    , raw(std::move(raw))
    , decoder(decoder)
{
    if (!places.objectsBase.isEmpty() && entry.hasDigest()) {
        if (entry.patch.present() && entry.patch.size < entry.size) {
            ways.push_back(FetchWay::Patch);
        }
        if (entry.packed.present() && entry.packed.size < entry.size) {
            ways.push_back(FetchWay::Packed);
        }
        if (ways.size() == 2 && entry.packed.size < entry.patch.size) {
            std::swap(ways[0], ways[1]);
        }
    }
    ways.push_back(FetchWay::Raw);
    current = ways.front();
    if (current != FetchWay::Patch) {
        return;
    }
    // The patch only from the very file it was made for: anything else there (a file the user
    // changed, one an earlier version left) is not patched.
    const QString installed = joinPath(places.appDir, relativePath());
    std::int64_t size = -1;
    Sha256Digest digest {};
    QString error;
    QString reason;
    if (!QFileInfo(installed).isFile()) {
        reason = QStringLiteral("the installed file is missing");
    } else if (!hashFile(installed, size, digest, &error)) {
        reason = QStringLiteral("the installed file cannot be read: %1").arg(error);
    } else if (!std::equal(digest.begin(), digest.end(), std::begin(entry.patchFrom))) {
        reason = QStringLiteral("the installed file is not the patch's source (sha256 %1, the patch is from %2)")
                     .arg(QString::fromStdString(Sha256::toHex(digest)), hexOf(entry.patchFrom));
    }
    if (!reason.isEmpty()) {
        fallBack(reason);
    }
}

FileFetch::~FileFetch() = default;

const FileObject& FileFetch::object() const
{
    return current == FetchWay::Patch ? entry.patch : entry.packed;
}

QString FileFetch::objectName() const
{
    const std::string to = hexOf(entry.sha256).toStdString();
    return QString::fromStdString(current == FetchWay::Patch
            ? delta::patchName(hexOf(entry.patchFrom).toStdString(), to)
            : delta::objectName(to));
}

std::unique_ptr<FetchTarget> FileFetch::objectTarget() const
{
    const FileObject& wanted = object();
    Sha256Digest digest;
    std::memcpy(digest.data(), wanted.sha256, digest.size());
    const QString name = objectName();
    auto fetched = std::make_unique<FetchTarget>(places.workDir,
        QLatin1String(ObjectsWorkFolder) + QLatin1Char('/') + name, places.objectsBase + QLatin1Char('/') + name,
        wanted.size, digest);
    fetched->quiet = true;
    return fetched;
}

TransferRequest FileFetch::request()
{
    pending = false;
    if (current == FetchWay::Raw) {
        target.reset();
        TransferRequest request = raw->request();
        request.sink = this;
        return request;
    }
    target = objectTarget();
    TransferRequest request = target->request();
    request.sink = this;
    return request;
}

bool FileFetch::begin(const TransferHead& head)
{
    return target ? target->begin(head) : raw->begin(head);
}

bool FileFetch::write(const char* data, qint64 size)
{
    return target ? target->write(data, size) : raw->write(data, size);
}

void FileFetch::finished(int error)
{
    if (!target) {
        raw->finished(error);
        done = raw->stored();
        ended = true;
        return;
    }
    target->finished(error);
    QString reason;
    if (!target->stored()) {
        reason = !target->failure().isEmpty() ? target->failure()
            : error != 0                      ? QStringLiteral("the transfer failed with error code %1").arg(error)
                                              : QStringLiteral("an empty reply");
        fallBack(reason);
        return;
    }
    const QString objectPath = target->path();
    target.reset();
    // The decoded file's partial is made here, on the pass thread, like every other file's:
    // folders in the working directory are made and removed by this thread alone.
    Sha256Digest digest;
    std::memcpy(digest.data(), entry.sha256, digest.size());
    // No URL: decoded bytes are never resumed, only decoded again.
    decodeOut = std::make_unique<FetchTarget>(places.workDir, relativePath(), QString(), entry.size, digest);
    decodeOut->quiet = true;
    decodeOut->syncBeforeRename = raw->syncBeforeRename;
    TransferHead head;
    head.status = 200;
    head.length = entry.size;
    if (!decodeOut->begin(head)) {
        decodeOut->finished(QNetworkReply::OperationCanceledError);
        reason = decodeOut->failure();
        decodeOut.reset();
        QFile::remove(objectPath);
        removeObjectsFolderIfEmpty();
        fallBack(reason);
        return;
    }
    awaitingDecode = true;
    const auto job = [this, objectPath] {
        decodedWell = decodeInto(objectPath, decodeFailure);
        // Whatever came of it, the object has served: a good one is not needed again, a bad
        // one must not be tried again.
        QFile::remove(objectPath);
        decodeEnded.store(true, std::memory_order_release);
    };
    if (decoder) {
        decoder->post(job);
        return;
    }
    job();
    collect();
}

void FileFetch::removeObjectsFolderIfEmpty() const
{
    // On the pass thread only: it is the one that makes the folder for the next object.
    QDir().rmdir(joinPath(places.workDir, QLatin1String(ObjectsWorkFolder)));
}

void FileFetch::collect()
{
    if (!awaitingDecode || !decodeEnded.load(std::memory_order_acquire)) {
        return;
    }
    awaitingDecode = false;
    decodeEnded.store(false, std::memory_order_relaxed);
    removeObjectsFolderIfEmpty();
    QString reason = decodeFailure;
    if (decodedWell) {
        decodeOut->finished(0);
        if (!decodeOut->stored()) {
            reason = decodeOut->failure().isEmpty()
                ? QStringLiteral("decodes to nothing")
                : QStringLiteral("decodes to other bytes: %1").arg(decodeOut->failure());
        }
    } else {
        decodeOut->finished(QNetworkReply::OperationCanceledError);
    }
    const bool stored = decodeOut->stored();
    decodeOut.reset();
    if (!stored) {
        fallBack(reason);
        return;
    }
    std::fprintf(stderr, "fetched by %s: %s (%lld bytes for %lld)\n",
        current == FetchWay::Patch ? "patch" : "compressed copy", entry.file, static_cast<long long>(object().size),
        static_cast<long long>(entry.size));
    done = true;
    ended = true;
}

bool FileFetch::decodeInto(const QString& objectPath, QString& reason)
{
    TargetSink sink(*decodeOut);
    std::string error;
    const std::uint64_t limit = std::uint64_t(entry.size);
    const bool decoded = current == FetchWay::Patch
        ? delta::applyPatch(nativePath(joinPath(places.appDir, relativePath())), nativePath(objectPath), limit, sink,
              error)
        : delta::decompress(nativePath(objectPath), limit, sink, error);
    if (!decoded) {
        reason = QStringLiteral("cannot be decoded: %1").arg(QString::fromStdString(error));
    }
    return decoded;
}

void FileFetch::fallBack(const QString& reason)
{
    const FetchWay failed = current;
    current = ways[std::min(++tried, ways.size() - 1)];
    std::fprintf(stderr, "%s: %s not used: %s; fetching %s\n", entry.file, wayName(failed),
        reason.toUtf8().constData(), wayName(current));
    pending = true;
}

void removeFetchedObjects(const QString& workDir)
{
    QDir objects(joinPath(workDir, QLatin1String(ObjectsWorkFolder)));
    if (objects.exists()) {
        objects.removeRecursively();
    }
}
