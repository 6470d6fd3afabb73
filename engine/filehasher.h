#pragma once

// Hashes a file that is being appended to, on a thread of its own, so that hashing a large
// download overlaps with receiving it instead of adding to it. The writer says how far the
// file is written (advance); the hasher reads those bytes back (from the page cache) in
// pieces of a fixed size, so it holds one piece of memory whatever the file's size.

#include "sha256.h"

#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

class FileHasher
{
public:
    static constexpr qint64 Piece = 256 << 10;

    // Starts hashing path from its first byte; nothing is read before advance() allows it.
    explicit FileHasher(const QString& path);
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;

    // The file holds at least `written` bytes now.
    void advance(qint64 written);
    // Waits until exactly `size` bytes were hashed and answers their digest; false (with the
    // reason in *error) when the file could not be read that far.
    bool finish(qint64 size, Sha256Digest& digest, QString* error);

private:
    void work();

    QString path;
    std::mutex mutex;
    std::condition_variable changed;
    qint64 available = 0;
    qint64 hashed = 0;
    bool finishing = false; // finish() was called: the last, partial piece may be read
    bool stopping = false;
    bool failed = false;
    QString failure;
    Sha256 hash;
    std::thread thread;
};
