#pragma once

#include <QString>

#include <filesystem>

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

// The path as the file system calls take it (UTF-8 on POSIX, UTF-16 on Windows).
std::filesystem::path nativePath(const QString& path);

// Renames from over to in one step, replacing an existing file there (rename(2), MoveFileEx
// with replace on Windows); QFile::rename refuses an existing target.
bool replaceFile(const QString& from, const QString& to);
