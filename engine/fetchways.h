#pragma once

// The ways one entry's file can be fetched, cheapest first, and the fetch that goes through
// them:
//
//   patch    the vendor's patch from the installed file to the new one; only when the file in
//            the installation directory is the patch's source (its SHA-256 is the entry's
//            patch "from"; the patch's own header checks size and SHA-256 again while it is
//            applied, so a file changed in between is never patched)
//   packed   the vendor's compressed copy of the new file
//   raw      the file itself, from the download base, as an updater without objects fetches it
//
// An object is only a way when it is smaller than the file; of two, the smaller goes first
// (the vendor's patches are, else they are not published).
//
// An object is fetched like any file (see FetchTarget) into the working directory's
//
//   .orbisnap-objects/NAME       NAME as objectnames.h gives it; its partial and the partial's
//                                info beside it while it arrives, kept for a Range resume
//
// checked against the object's own size and SHA-256 as it arrives, then decoded into the
// file's partial (FetchTarget again, so the output is bounded by the entry's size and kept only
// when it has the entry's size and SHA-256) and renamed into place; the object is removed then.
// A way that fails (the object missing or refused, a reply cut short, a decoding error, a
// source that changed) falls back to the next way once, with one line naming the file and the
// reason; the raw way is last, so no file is tried more than three times in a pass.
//
// Every call comes on the pass thread. Decoding runs on the pass's DecodeWorker when it has one
// (the fetch is then decoding() until collect() takes the outcome on the pass thread), else
// on the pass thread between transfers.

#include "fetchtarget.h"
#include "fileentry.h"
#include "filetransfers.h"

#include <QString>

#include <atomic>
#include <memory>
#include <vector>

enum class FetchWay { Patch, Packed, Raw };

// Where a pass fetches from and to.
struct FetchPlaces
{
    QString workDir;     // the working directory
    QString appDir;      // the installation directory, which holds the patches' sources
    QString objectsBase; // the objects folder's URL; empty: raw files only
};

// The working directory's folder for objects (relative).
inline constexpr char ObjectsWorkFolder[] = ".orbisnap-objects";

class DecodeWorker;

class FileFetch final : public TransferSink
{
public:
    // raw: the entry's raw target, as the pass makes it (it has said "downloading ..." and
    // checked the path). The ways are chosen now: the installed file is hashed here when the
    // entry has a patch.
    // decoder: where fetched objects are decoded; null: on the calling thread, at once.
    FileFetch(const FileEntry& entry, const FetchPlaces& places, std::unique_ptr<FetchTarget> raw,
        DecodeWorker* decoder = nullptr);
    ~FileFetch() override;
    FileFetch(const FileFetch&) = delete;
    FileFetch& operator=(const FileFetch&) = delete;

    // Whether a transfer is to be started for this file now: the first way's, or the next
    // way's after one failed.
    bool wantsStart() const { return pending; }
    // The request of the current way; clears wantsStart.
    TransferRequest request();
    // Ends a fetch that wants to start its next way, without starting it (the pass was asked
    // to stop); the file stays not fetched.
    void giveUp()
    {
        pending = false;
        ended = true;
    }

    bool begin(const TransferHead& head) override;
    bool write(const char* data, qint64 size) override;
    void finished(int error) override;

    // Whether a fetched object is being decoded: the fetch is neither over nor wanting a start
    // until collect() finds the decoding ended.
    bool decoding() const { return awaitingDecode; }
    // Takes the outcome of a decoding that has ended: the file stored, or the next way wanted.
    void collect();

    bool stored() const { return done; }
    bool over() const { return ended; }
    // The way currently tried, or the one that stored the file.
    FetchWay way() const { return current; }
    QString path() const { return raw->path(); }
    QString relativePath() const { return raw->relativePath(); }

private:
    // Decodes the fetched object into decodeOut; on the decoder's thread when there is one.
    bool decodeInto(const QString& objectPath, QString& reason);
    void fallBack(const QString& reason);
    void removeObjectsFolderIfEmpty() const;
    std::unique_ptr<FetchTarget> objectTarget() const;
    QString objectName() const;
    const FileObject& object() const;

    const FileEntry& entry;
    FetchPlaces places;
    std::unique_ptr<FetchTarget> raw;
    std::unique_ptr<FetchTarget> target; // the current object's, null on the raw way
    std::vector<FetchWay> ways; // in the order they are tried; the raw way last
    std::size_t tried = 0;      // ways[tried] is the current one
    FetchWay current = FetchWay::Raw;
    bool pending = true;
    bool done = false;
    bool ended = false;

    DecodeWorker* decoder;
    // Where the object decodes to: begun and finished on the pass thread, written by the
    // decoder in between.
    std::unique_ptr<FetchTarget> decodeOut;
    bool awaitingDecode = false;
    // Written by the decoder before decodeEnded is set, read by collect() after.
    bool decodedWell = false;
    QString decodeFailure;
    std::atomic<bool> decodeEnded { false };
};

// Removes what objects the working directory still holds: called when every file of the
// update is fetched, so no partial of an object is wanted any more.
void removeFetchedObjects(const QString& workDir);
