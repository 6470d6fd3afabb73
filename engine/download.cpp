#include "download.h"

#include <cstdio>

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

void Download::wait()
{
    if (threadStarted) {
        pthread_join(thread, nullptr);
        threadStarted = false;
    }
}
