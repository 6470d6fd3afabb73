#pragma once

#include <QString>

// The update's working directory for a host executable name: the system's temporary directory
// (absolute) + "/" + the name without a trailing ".exe" (case-sensitive). Created (one level)
// when missing; "." when it cannot be created. The update check and the updater both apply it
// to the host's name, so both reach the same version-difference file.
QString updateWorkDir(const QString& exeName);

// Whether the file is in use: it opens for reading but not for appending, which is what a
// running executable does (Windows, and ETXTBSY on Linux). A missing file is reported on the
// standard error stream and counts as free.
bool isFileBusy(const char* path);

// Whether the file can be opened for reading.
bool fileExists(const char* path);

// dir + "/" + relative path, the one way paths are joined.
QString joinPath(const QString& dir, const QString& relative);
