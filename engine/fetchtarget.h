#pragma once

// Where one fetched file goes while it arrives. The body is written, as it comes, to a partial
// file beside the file's place in the working directory:
//
//   PATH.orbisnap-partial        the bytes received so far
//   PATH.orbisnap-partial-info   line 1: the URL they came from
//                                line 2: the server's validator (a strong ETag, else the
//                                        Last-Modified date), for If-Range
//
// The info is written only where a resumption can pay: once a file reaches ResumableFrom bytes
// (so a killed process leaves it beside the partial), or when a transfer of a file of unknown
// size is cut off part-way. A file known to be smaller is simply fetched again, so a pass of
// small files neither writes nor looks for an info. The info goes before its partial is renamed
// to PATH: an info never lies in the working directory without its partial.
//
// A transfer cut short (network failure, time limit, killed process) leaves both, and the
// next fetch of the same URL asks only for the missing bytes, with Range and If-Range; a server
// that answers anything but a matching 206 sends the whole file again and it starts over. Only
// a partial whose whole body arrived is renamed to PATH; a partial is never taken for a file.
// A reply the updater cannot use, a failed write and a partial without a validator leave
// nothing behind.

#include "filehasher.h"
#include "filetransfers.h"
#include "sha256.h"

#include <memory>
#include <optional>

#include <QString>
#include <QStringList>

#include <cstdint>

class FetchTarget final : public TransferSink
{
public:
    static constexpr char PartialSuffix[] = ".orbisnap-partial";
    static constexpr char InfoSuffix[] = ".orbisnap-partial-info";

    // root: the working directory; relative: a path accepted by isUsableRelativePath;
    // expectedSize: the file's size when known, else -1; expectedHash: its SHA-256 when known.
    // With both known, the body is hashed as it arrives and kept only when size and hash match
    // (a mismatch is reported in one line naming the path and both sizes and hashes).
    FetchTarget(const QString& root, const QString& relative, const QString& url, qint64 expectedSize = -1,
        std::optional<Sha256Digest> expectedHash = std::nullopt);
    ~FetchTarget() override;
    FetchTarget(const FetchTarget&) = delete;
    FetchTarget& operator=(const FetchTarget&) = delete;

    // The request to make: a resumption when a usable partial of the same URL is there.
    TransferRequest request();

    bool begin(const TransferHead& head) override;
    bool write(const char* data, qint64 size) override;
    void finished(int error) override;

    // Whether the whole file was received and renamed to its place.
    bool stored() const { return done; }
    // Whether the transfer has ended, one way or the other.
    bool over() const { return ended; }
    QString path() const { return finalPath; }
    QString relativePath() const { return relative; }
    // Make the file durable before renaming it into place, rather than leaving that to the
    // batch sync at the end of the pass: an older copy at the place was already recorded as
    // downloaded, so an unsynced new one must not take its name.
    bool syncBeforeRename = false;
    // Keep the reason this side refused the reply (failure()) instead of writing it: the
    // caller has another way to the file and says so in a line of its own.
    bool quiet = false;
    // Why this side refused the reply or failed to store it; empty when it did not.
    const QString& failure() const { return failureText; }

private:
    // Whether a partial of this file may be worth continuing: its size is unknown or large.
    bool mayResume() const;
    // Records url and validator beside the partial; false (and nothing recorded) when that failed.
    bool writeInfo();
    bool openPartial(bool append);
    void closePartial();
    void discard();
    bool fail(const char* what, const QString& detail);
    bool hashPartial();
    void startBackgroundHash();
    bool digestOfBody(Sha256Digest& digest);

    QString root;
    QString relative;
    QString url;
    qint64 expectedSize;
    std::optional<Sha256Digest> expectedHash;
    Sha256 hash;                             // small files: hashed as they are written
    std::unique_ptr<FileHasher> background; // large ones: hashed beside the transfer
    QString finalPath;
    QString partialPath;
    QString infoPath;
    QStringList createdDirs;

    QString failureText;
    qint64 resumeFrom = 0;
    QByteArray validator;
    bool infoWritten = false; // the info on disk describes this partial
    int fd = -1;
    qint64 received = 0;
    qint64 hinted = 0; // bytes handed to the kernel's write-back so far
    bool refused = false; // this side ended the transfer: nothing is kept
    bool done = false;
    bool ended = false;
};

// Makes the stored files durable: one file-system sync when there are many, else a data sync
// of each file and its directory. False (with a diagnostic naming the system's reason) when
// any sync failed; then none of them may be taken as downloaded.
bool syncStoredFiles(const QString& root, const QStringList& paths);
