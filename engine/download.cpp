#include "download.h"

#include "enginepaths.h"
#include "filehelpers.h"
#include "uploadmanager.h"

#include <QByteArray>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>

namespace {

void* runPass(void* worker)
{
    static_cast<Download*>(worker)->run();
    return nullptr;
}

// Writes data to a temporary name beside path and renames it over path only once every byte
// was written and flushed to disk, so a failed write never leaves a truncated file that a later
// step would take for a complete one. On failure the temporary file is gone and whatever was at
// path is untouched.
bool writeWhole(const QString& path, const QByteArray& data)
{
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && out.write(data) == data.size() && out.commit()) {
        return true;
    }
    out.cancelWriting();
    std::fprintf(stderr, "write file failed: %s (%s)\n", path.toUtf8().constData(),
        out.errorString().toUtf8().constData());
    return false;
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
        diff.entries.head);
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
    for (FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        if (stopRequested.load()) {
            completed = false;
            break;
        }
        send(FileStart, reinterpret_cast<std::intptr_t>(entry));
        if (entry->action == Delete) {
            continue;
        }
        if (entry->state == Downloaded) {
            // A copy fetched by an earlier run is kept; one that has gone since (a cleaned
            // temporary directory) is fetched again, or the update could never be installed.
            const QString copy = joinPath(QString::fromUtf8(workDir.c_str()), QString::fromUtf8(entry->file));
            if (QFileInfo(copy).isFile()) {
                continue;
            }
            entry->state = NoDo;
        }
        if (fetchFile(entry->file)) {
            entry->state = Downloaded;
        }
    }
    save();
    send(AllDone, completed ? 1 : 0);
}

bool Download::fetchFile(const char* relativePath)
{
    std::fprintf(stderr, "downloading  ...  %s\n", relativePath);
    const char* reason = nullptr;
    if (!isUsableRelativePath(relativePath, &reason)) {
        std::fprintf(stderr, "not fetched: %s: %s\n", relativePath, reason);
        return false;
    }
    const QByteArray url = QByteArray(diff.downloadBase) + '/' + urlPath(relativePath);
    QByteArray data;
    if (!UploadManager::instance()->downloadFile(url.constData(), data) || data.isEmpty()) {
        return false;
    }
    const QString root = QString::fromUtf8(workDir.c_str());
    const QString relative = QString::fromUtf8(relativePath);
    QStringList created;
    if (!makeParentDirs(root, relative, &created)) {
        std::fprintf(stderr, "cannot create the directory of %s below %s\n", relativePath, workDir.c_str());
        removeCreatedDirs(created);
        return false;
    }
    // QSaveFile writes through a symbolic link to wherever it points.
    if (isLinkEntry(joinPath(root, relative))) {
        std::fprintf(stderr, "symbolic link refused: %s\n", joinPath(root, relative).toUtf8().constData());
        removeCreatedDirs(created);
        return false;
    }
    if (!writeWhole(joinPath(root, relative), data)) {
        removeCreatedDirs(created);
        return false;
    }
    return true;
}
