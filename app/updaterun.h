#pragma once

// The update run: the progress window and the download worker wired together. runUpdate runs
// on the GUI thread; progressCallback runs on the worker thread and reaches the window only
// through its thread-safe operations.

#include "rungate.h"

#include <QString>

#include <cstdint>

class Download;
class Widget;

// The progress callback's user data. Filled before the worker thread starts and only read
// afterwards; the gate is the one part both threads change.
struct UpgradeContext
{
    QString exeName; // command-line argument 1, unchanged
    QString appDir;
    QString workDir;
    std::int32_t total = 0; // the worker's count, taken before its thread starts
    std::int32_t mode = 0;
    Download* worker = nullptr; // not owned
    Widget* window = nullptr; // mode 2 only; not owned
    RunGate gate;
};

// FileStart events shown in the window since the last completed pass. Worker thread only,
// apart from runUpdate setting it to 0 before the thread starts.
extern std::int32_t progressCount;

// The worker's DownloadCallback; userData is the UpgradeContext.
void progressCallback(std::int32_t event, std::intptr_t argument, void* userData);

// Runs one update from the prepared command line: shows the window in mode 2, fetches, merges
// and ends with the final message. Returns the exit code, 0 on every path, once the worker
// thread has ended. Called on the GUI thread once the application object exists.
int runUpdate(
    const QString& exeName, int mode, const QString& appDir, const QString& workDir, const QString& diffPath);
