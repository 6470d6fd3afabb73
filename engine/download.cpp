#include "download.h"

#include "decodeworker.h"
#include "enginepaths.h"
#include "fetchtarget.h"
#include "fetchways.h"
#include "sha256.h"
#include "filehelpers.h"

#include <QByteArray>
#include <QFileInfo>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

void* runPass(void* worker)
{
    static_cast<Download*>(worker)->run();
    return nullptr;
}

// The relative path as it goes into the URL. Letters, digits, "-", ".", "_", "~" and the
// separators pass unchanged, which covers the names of a release; any other byte is
// percent-encoded, so a name holding "#", "?" or "%" asks for that file and not for another.
QByteArray urlPath(const char* relativePath)
{
    return QByteArray(relativePath).toPercentEncoding("/\\");
}

} // namespace

Download::Download(const char* workDir, const char* diffPath, const char* appDir, const char* exeName,
    std::int32_t mode)
    : workDir(workDir)
    , diffPath(diffPath)
    , appDir(appDir)
    , exeName(exeName)
    , mode(mode)
{
    loaded = load();
    count = diff.entries.count;
}

Download::~Download()
{
    wait();
}

bool Download::load()
{
    switch (readDiffFile(diffPath.c_str(), diff)) {
    case DiffLoad::Loaded:
        return true;
    case DiffLoad::NothingNewer:
        stopRequested.store(true);
        return false;
    case DiffLoad::CannotOpen:
    case DiffLoad::Refused:
        break;
    }
    return false;
}

bool Download::save()
{
    if (!loaded) {
        return false;
    }
    return writeDiffFile(diffPath.c_str(), diff.oldVersion, diff.newVersion, diff.downloadBase,
        diff.entries.head, diff.objectsBase, &diff.health);
}

void Download::print() const
{
    std::fprintf(stderr, "upgrade: %s --> %s\n", diff.oldVersion, diff.newVersion);
    for (const FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        std::fprintf(stderr, "%s  %s, %s\n", fileStateName(entry->state), fileActionName(entry->action),
            entry->file);
    }
    std::fprintf(stderr, "\n\n");
}

int Download::start()
{
    if (threadStarted) {
        return EBUSY;
    }
    const int result = pthread_create(&thread, nullptr, runPass, this);
    threadStarted = result == 0;
    return result;
}

void Download::wait()
{
    // A join from the worker's own thread (its callback releasing the worker) would never
    // return; such a caller must not wait for itself.
    if (threadStarted && !pthread_equal(thread, pthread_self())) {
        pthread_join(thread, nullptr);
        threadStarted = false;
    }
}

void Download::send(DownloadEvent event, std::intptr_t argument)
{
    if (callback) {
        callback(event, argument, userData);
    }
}

void Download::run()
{
    if (!loaded || diff.entries.count == 0) {
        send(NothingToUpdate, 0);
        return;
    }
    bool completed = true;
    FileEntry* cursor = diff.entries.head;
    FileEntry* waiting = nullptr; // its FileStart went out; its path is still being fetched
    bool waitingCopyGone = false;
    std::vector<Fetch> fetches;
    std::vector<FileEntry*> reused;
    const QString root = QString::fromUtf8(workDir.c_str());
    const FetchPlaces places { root, QString::fromUtf8(appDir.c_str()), QString::fromUtf8(diff.objectsBase) };

    const auto pathBusy = [&fetches](const FileEntry* entry) {
        const QString relative = QString::fromUtf8(entry->file);
        for (const Fetch& fetch : fetches) {
            if (!fetch.target->over() && fetch.target->relativePath().compare(relative, Qt::CaseInsensitive) == 0) {
                return true;
            }
        }
        return false;
    };
    // Objects are decoded beside the transfers; a decoding that ends has the pass look again.
    FileTransfers* transfersRunning = nullptr;
    DecodeWorker decoder([&transfersRunning] { transfersRunning->wake(); });
    // Nothing to start now: a decoding under way may still want its file's next way, or free
    // a path another entry waits for, so the run waits for it as for a transfer.
    const auto later = [&fetches] {
        const bool decoding
            = std::any_of(fetches.begin(), fetches.end(), [](const Fetch& fetch) { return fetch.target->decoding(); });
        return decoding ? FileTransfers::Next::Wait : FileTransfers::Next::Later;
    };
    // Hands out the next entry to fetch; FileStart goes out for every entry in list order,
    // each before its transfer starts.
    const auto next = [&](TransferRequest& request) {
        for (Fetch& fetch : fetches) {
            fetch.target->collect();
        }
        // A file whose way failed goes on with its next way before any new file starts.
        for (Fetch& fetch : fetches) {
            if (!fetch.target->wantsStart()) {
                continue;
            }
            if (stopRequested.load()) {
                completed = false;
                fetch.target->giveUp();
                continue;
            }
            request = fetch.target->request();
            return FileTransfers::Next::Start;
        }
        for (;;) {
            FileEntry* entry = waiting;
            bool copyGone = waitingCopyGone;
            if (!entry) {
                if (!cursor) {
                    // A running fetch may still fall back to its next way, which is asked for
                    // here once it has ended.
                    const bool running = std::any_of(
                        fetches.begin(), fetches.end(), [](const Fetch& fetch) { return !fetch.target->over(); });
                    return running ? later() : FileTransfers::Next::End;
                }
                if (stopRequested.load()) {
                    completed = false;
                    return FileTransfers::Next::End;
                }
                entry = cursor;
                cursor = cursor->next;
                send(FileStart, reinterpret_cast<std::intptr_t>(entry));
                if (!needsFetch(entry, &copyGone)) {
                    continue;
                }
                if (holdsVerifiedCopy(entry)) {
                    reused.push_back(entry);
                    continue;
                }
                if (pathBusy(entry)) {
                    waiting = entry;
                    waitingCopyGone = copyGone;
                    return later();
                }
            } else if (pathBusy(entry)) {
                return later();
            }
            waiting = nullptr;
            std::unique_ptr<FetchTarget> target = prepareFetch(entry, entry->file, copyGone);
            if (!target) {
                continue;
            }
            auto fetch = std::make_unique<FileFetch>(*entry, places, std::move(target), &decoder);
            request = fetch->request();
            fetches.push_back({ entry, std::move(fetch) });
            return FileTransfers::Next::Start;
        }
    };
    FileTransfers transfers(transferLimits);
    transfersRunning = &transfers;
    transfers.run(next);
    // A stop leaves the run while objects may still be decoding; what they make counts.
    decoder.drain();
    for (Fetch& fetch : fetches) {
        fetch.target->collect();
    }
    if (waiting) {
        // Only reachable when a transfer never ended; the entry stays as it was.
        completed = false;
    }

    QStringList stored;
    for (const Fetch& fetch : fetches) {
        if (fetch.target->stored()) {
            stored.append(fetch.target->path());
        }
    }
    for (const FileEntry* entry : reused) {
        stored.append(joinPath(root, QString::fromUtf8(entry->file)));
    }
    if (syncStoredFiles(root, stored)) {
        for (const Fetch& fetch : fetches) {
            if (fetch.target->stored()) {
                fetch.entry->state = Downloaded;
            }
        }
        for (FileEntry* entry : reused) {
            entry->state = Downloaded;
        }
    }
    if (allDownloaded()) {
        removeFetchedObjects(root);
    }
    save();
    send(AllDone, completed ? 1 : 0);
}

bool Download::allDownloaded() const
{
    for (const FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        if (entry->action != Delete && entry->state != Downloaded) {
            return false;
        }
    }
    return true;
}

bool Download::needsFetch(FileEntry* entry, bool* copyGone) const
{
    *copyGone = false;
    if (entry->action == Delete) {
        return false;
    }
    if (entry->state == Downloaded) {
        // A copy fetched by an earlier run is kept; one that has gone since (a cleaned
        // temporary directory) is fetched again, or the update could never be installed.
        const QString copy = joinPath(QString::fromUtf8(workDir.c_str()), QString::fromUtf8(entry->file));
        if (QFileInfo(copy).isFile()) {
            return false;
        }
        entry->state = NoDo;
        *copyGone = true;
    }
    return true;
}

bool Download::holdsVerifiedCopy(const FileEntry* entry) const
{
    // Only a digest can tell a whole copy from a stale or partial one.
    if (!entry->hasDigest()) {
        return false;
    }
    const QString copy = joinPath(QString::fromUtf8(workDir.c_str()), QString::fromUtf8(entry->file));
    qint64 found = -1;
    if (entryKind(copy, &found) != EntryKind::File || found != entry->size) {
        return false;
    }
    std::int64_t size = -1;
    Sha256Digest digest {};
    if (!hashFile(copy, size, digest) || size != entry->size
        || !std::equal(digest.begin(), digest.end(), std::begin(entry->sha256))) {
        return false;
    }
    std::fprintf(stderr, "already fetched: %s\n", entry->file);
    return true;
}

std::unique_ptr<FetchTarget> Download::prepareFetch(
    const FileEntry* entry, const char* relativePath, bool syncBeforeRename)
{
    std::fprintf(stderr, "downloading  ...  %s\n", relativePath);
    const char* reason = nullptr;
    if (!isUsableRelativePath(relativePath, &reason)) {
        std::fprintf(stderr, "not fetched: %s: %s\n", relativePath, reason);
        return nullptr;
    }
    qint64 size = -1;
    std::optional<Sha256Digest> digest;
    if (entry && entry->hasDigest()) {
        size = entry->size;
        digest.emplace();
        std::copy(std::begin(entry->sha256), std::end(entry->sha256), digest->begin());
    } else if (requireDigests) {
        std::fprintf(stderr, "not fetched: %s: no size and SHA-256 to check it against\n", relativePath);
        return nullptr;
    }
    const QByteArray url = QByteArray(diff.downloadBase) + '/' + urlPath(relativePath);
    auto target = std::make_unique<FetchTarget>(QString::fromUtf8(workDir.c_str()),
        QString::fromUtf8(relativePath), QString::fromUtf8(url), size, digest);
    target->syncBeforeRename = syncBeforeRename;
    return target;
}

bool Download::recheckFetchedCopies()
{
    const QString root = QString::fromUtf8(workDir.c_str());
    bool allGood = true;
    bool changed = false;
    for (FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        if (entry->action == Delete || entry->state != Downloaded) {
            continue;
        }
        if (!entry->hasDigest()) {
            if (requireDigests) {
                std::fprintf(stderr, "merge: %s has no size and SHA-256 to check it against\n", entry->file);
                allGood = false;
            }
            continue;
        }
        const QString copy = joinPath(root, QString::fromUtf8(entry->file));
        std::int64_t size = -1;
        Sha256Digest digest {};
        QString error;
        const bool read = hashFile(copy, size, digest, &error);
        if (read && size == entry->size && std::equal(digest.begin(), digest.end(), std::begin(entry->sha256))) {
            continue;
        }
        if (read) {
            Sha256Digest expected {};
            std::copy(std::begin(entry->sha256), std::end(entry->sha256), expected.begin());
            std::fprintf(stderr,
                "merge: %s changed since it was fetched (expected %lld bytes sha256 %s, found %lld bytes "
                "sha256 %s), fetching it again\n",
                entry->file, static_cast<long long>(entry->size), Sha256::toHex(expected).c_str(),
                static_cast<long long>(size), Sha256::toHex(digest).c_str());
        } else {
            std::fprintf(stderr, "merge: %s cannot be read (%s), fetching it again\n", entry->file,
                error.toUtf8().constData());
        }
        entry->state = NoDo;
        changed = true;
        if (fetchFile(entry->file)) {
            entry->state = Downloaded;
        } else {
            allGood = false;
        }
    }
    if (changed) {
        save();
    }
    return allGood;
}

const FileEntry* Download::entryFor(const char* relativePath) const
{
    for (const FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        if (entry->action != Delete && std::strcmp(entry->file, relativePath) == 0) {
            return entry;
        }
    }
    return nullptr;
}

bool Download::fetchFile(const char* relativePath)
{
    // The caller may have the path recorded as downloaded already: the new copy is made
    // durable before it takes the name.
    std::unique_ptr<FetchTarget> target = prepareFetch(entryFor(relativePath), relativePath, true);
    if (!target) {
        return false;
    }
    bool given = false;
    FileTransfers transfers(transferLimits);
    transfers.run([&](TransferRequest& request) {
        if (given) {
            return FileTransfers::Next::End;
        }
        given = true;
        request = target->request();
        return FileTransfers::Next::Start;
    });
    return target->stored() && syncStoredFiles(QString::fromUtf8(workDir.c_str()), { target->path() });
}
