#pragma once

#include "fileops.h"

#include <QString>

#include <filesystem>

// The update's working directory for a host executable name: the system's temporary directory
// (absolute) + "/" + the name without a trailing ".exe" (case-sensitive). Created (one level)
// when missing; "." when it cannot be created. The update check and the updater both apply it
// to the host's name, so both reach the same version-difference file.
QString updateWorkDir(const QString& exeName);

// The running program's file name as it is on disk, extension included ("My.App.exe"), taken
// from applicationFilePath: applicationName drops the extension on Windows and cuts the name at
// its first dot. Needs the application object.
QString executableFileName();

// Whether the file (UTF-8 path) could be replaced now: free, in use (a running executable or a
// loaded DLL), no permission, missing. Writes "exe file not exist: PATH" when it is missing and
// "no permission to write PATH: REASON" when this user may not write it, each one line on the
// standard error stream. Any other failure to open counts as in use, with its reason.
platform::WriteProbe probeExecutable(const char* path);

// Whether the file is in use (probeExecutable answers InUse or Failed). A missing file, and one
// the user may not write, are not in use: the callers that must tell "no permission" apart ask
// probeExecutable.
bool isFileBusy(const char* path);

// Whether the file (UTF-8 path) can be opened for reading.
bool fileExists(const char* path);

// dir + "/" + relative path, the one way paths are joined.
QString joinPath(const QString& dir, const QString& relative);

// The path as the file system calls take it (UTF-8 on POSIX; UTF-16 on Windows, with the long
// path prefix when absolute).
std::filesystem::path nativePath(const QString& path);

// How file names compare on this system: without regard to case on Windows. Use it wherever a
// name is matched against a file (not for names the program makes itself).
Qt::CaseSensitivity fileNameCase();

// Renames from over to in one step, replacing an existing file there (rename(2), MoveFileEx
// with replace on Windows, retried while another program briefly holds either file);
// QFile::rename refuses an existing target. The result converts to true on success and
// describes a failure.
platform::FileResult replaceFile(const QString& from, const QString& to);
