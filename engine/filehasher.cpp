#include "filehasher.h"

#include <QByteArray>
#include <QFile>

FileHasher::FileHasher(const QString& path)
    : path(path)
    , thread([this] { work(); })
{
}

FileHasher::~FileHasher()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

void FileHasher::advance(qint64 written)
{
    bool wake = false;
    {
        std::lock_guard lock(mutex);
        available = std::max(available, written);
        wake = available - hashed >= Piece;
    }
    if (wake) {
        changed.notify_all();
    }
}

bool FileHasher::finish(qint64 size, Sha256Digest& digest, QString* error)
{
    std::unique_lock lock(mutex);
    available = std::max(available, size);
    finishing = true;
    changed.notify_all();
    changed.wait(lock, [&] { return failed || hashed >= size; });
    if (failed || hashed != size) {
        if (error) {
            *error = failed ? failure : QStringLiteral("the file grew while it was hashed");
        }
        return false;
    }
    digest = hash.result();
    return true;
}

void FileHasher::work()
{
    QFile file(path);
    QByteArray piece(int(Piece), Qt::Uninitialized);
    bool opened = false;
    std::unique_lock lock(mutex);
    for (;;) {
        // Whole pieces only until the end is known: a writer of many small pieces would
        // otherwise have each of them read back on its own.
        changed.wait(lock,
            [&] { return stopping || available - hashed >= Piece || (finishing && available > hashed); });
        if (stopping) {
            return;
        }
        const qint64 want = std::min(Piece, available - hashed);
        lock.unlock();
        if (!opened) {
            opened = file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        }
        const qint64 got = opened ? file.read(piece.data(), want) : -1;
        if (got > 0) {
            hash.addData(piece.constData(), std::size_t(got));
        }
        lock.lock();
        if (got <= 0) {
            failed = true;
            failure = opened ? (got == 0 ? QStringLiteral("the file is shorter than written") : file.errorString())
                             : file.errorString();
            changed.notify_all();
            return;
        }
        hashed += got;
        changed.notify_all();
    }
}
