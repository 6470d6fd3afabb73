#pragma once

#include <QString>

// Runs one update from the prepared command line and answers the exit code. Called on the GUI
// thread once the application object exists.
int runUpdate(const QString& exeName, int mode, const QString& appDir, const QString& workDir,
    const QString& diffPath);
