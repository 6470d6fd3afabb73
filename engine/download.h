#pragma once

// The download worker. Construction reads the version-difference file; start() runs one pass
// over its entries on a POSIX thread of its own: every entry that is not a deletion and not yet
// downloaded is fetched into the working directory, the file is written back with the new
// states, and each step is reported to `callback` on that thread. merge() then puts the fetched
// files in place, as the mode says.
//
// The owner sets `callback` and `userData` and reads `count` before start(); after start()
// only the worker thread touches the entries. requestStop() may be called from any thread.
// The worker must outlive its thread: wait() (also run by the destructor) joins it. Joining
// blocks until the pass and the callback's last event have returned, so the thread that waits
// must not be one the callback itself is waiting for (a blocking call into the GUI thread).

#include "difffile.h"
#include "filetransfers.h"
#include "serverconfig.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class FetchTarget;
class FileFetch;

enum DownloadEvent : std::int32_t {
    FileStart = 0,      // argument: the FileEntry about to be processed
    AllDone = 1,        // argument: 1 when the pass reached the end of the list, else 0
    NothingToUpdate = 2 // argument: 0; nothing else is sent
};

using DownloadCallback = void (*)(std::int32_t event, std::intptr_t argument, void* userData);

class Download
{
public:
    Download(const char* workDir, const char* diffPath, const char* appDir, const char* exeName,
        std::int32_t mode);
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;
    virtual ~Download();

    // Lists the versions and entries on the standard error stream.
    void print() const;
    // Starts the worker thread: 0 on success, else the thread library's error code (EBUSY
    // while a thread started earlier has not been joined).
    int start();
    // Joins the worker thread if one was started and not yet joined; does nothing when called
    // on the worker thread itself.
    void wait();
    // Asks the pass to stop before its next entry; safe from any thread.
    void requestStop() { stopRequested.store(true); }

    // Puts the fetched files in place as the mode says; hostExe is the host executable's full
    // path (UTF-8, not null). Mode 1 blocks the calling thread for up to about ten seconds.
    // Answers 1 when the files were put in place, and in mode 0 (postponed on purpose) and
    // unknown modes; 0 when the host stayed in use, the update was incomplete or the install
    // failed, in which case the installation, the fetched copies and the file are as they were.
    int merge(const char* hostExe);

    bool load();
    bool save();
    // Fetches one relative path into the working directory; true when it was stored whole and
    // made durable. Missing directories are created below the working directory; a path that
    // would leave it is refused. On failure any older copy stays as it was; a transfer cut
    // short stays as a partial file that the next fetch continues (see FetchTarget).
    bool fetchFile(const char* relativePath);
    // The pass; the body of the worker thread. Up to FileTransfers::MaxParallel files are
    // fetched at once over reused connections, each started after its entry's FileStart, in
    // list order; two entries of the same path are fetched one after the other. The fetched
    // files are made durable together at the end, before the file marks them downloaded. An
    // entry marked downloaded whose copy is no longer in the working directory is fetched
    // again.
    void run();
    // All or nothing: only when every entry to put in place is downloaded, stage every fetched
    // file beside its target, then swap them in with backups, restoring the backups if any
    // step fails. The updater's own executable (QCoreApplication::applicationName, with
    // ".exe") is left alone wherever it is listed. Answers 1 when installed (the fetched
    // copies and the version-difference file are then removed), else 0.
    int installFiles();
    // Checks every downloaded copy against its entry's size and SHA-256 once more. A copy that
    // differs (or has gone) is fetched again; true when every copy to install is as its entry
    // says. An entry without size and hash passes unless digests are required. The states
    // are written back when a copy was fetched again or given up.
    bool recheckFetchedCopies();

    DownloadCallback callback = nullptr;
    void* userData = nullptr;

    const std::string workDir;
    const std::string diffPath;
    const std::string appDir;
    const std::string exeName;
    std::int32_t mode = 0;

    // oldVersion, newVersion, downloadBase and the entry list, as read from the file.
    DiffFile diff;
    std::int32_t count = 0;

    // Time limits of every transfer; tests shorten them.
    TransferLimits transferLimits;
    // Whether an entry must carry its size and SHA-256 to be fetched: a build that trusts
    // release keys installs only bytes it can check.
    bool requireDigests = ReleaseKeysCompiledIn;

    std::atomic<bool> stopRequested { false };
    pthread_t thread {};
    bool threadStarted = false;
    bool loaded = false;

private:
    struct Fetch
    {
        FileEntry* entry;
        std::unique_ptr<FileFetch> target;
    };

    void send(DownloadEvent event, std::intptr_t argument);
    // Whether every entry to put in place is downloaded.
    bool allDownloaded() const;
    // Whether the entry is to be fetched; *copyGone tells that it was recorded as downloaded
    // but its copy has gone (its state is then set back to NoDo).
    bool needsFetch(FileEntry* entry, bool* copyGone) const;
    // Whether the working directory already holds a whole copy of the entry: a regular file of
    // its size and SHA-256 (an earlier pass fetched it, and the file was written anew since).
    bool holdsVerifiedCopy(const FileEntry* entry) const;
    // The first entry to put in place at relativePath (its size and hash), null when none.
    const FileEntry* entryFor(const char* relativePath) const;
    // Writes the progress line and checks the path; null when the path is refused.
    // syncBeforeRename: the path may be recorded as downloaded on disk already.
    std::unique_ptr<FetchTarget> prepareFetch(const FileEntry* entry, const char* relativePath, bool syncBeforeRename);
};
