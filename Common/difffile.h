#pragma once

// The version-difference file "version_diff.txt", the hand-over from the update check to the
// updater. 8-bit text, one item per line, fields separated by white space (a carriage return
// counts as white space, so CR LF files read the same):
//
//   line 1   @Orbisnap                          marker; read past, never compared
//   line 2   OLD --> NEW                        versions, each at most 31 bytes
//   line 3   BASE                               download base, at most 255 bytes
//   line 4+  STATE ACTION : PATH [SIZE SHA256]  entries, in file order
//
// STATE is 0 (NoDo), 1 (Updating) or 2 (Downloaded); any other number reads as 0. ACTION is
// [Add], [Delete] or [Changed]; a line with Nome, another name, fewer than four items, an
// action name over 31 bytes, a path over 127 bytes or a path that would leave its directory
// (see isSafeRelativePath) is skipped. An [Add] or [Changed] line may carry the file's size
// (decimal bytes) and SHA-256 (64 lower-case hex digits) after PATH; when the word after PATH
// starts like a number, both must be well-formed or the line is skipped with a diagnostic.
// Other words after PATH (and anything after the hash) are ignored, as are words after the
// path of a [Delete] line. A file with fewer than
// three lines, or whose version or base is too long, is not loaded; neither is one whose
// installed version is not older than the newest (compareVersions).

#include "fileentry.h"

#include <QString>

inline constexpr int VersionSize = 32;      // zero-terminated, so 31 bytes of text
inline constexpr int DownloadBaseSize = 256; // zero-terminated, so 255 bytes of text
inline constexpr char DiffFileName[] = "version_diff.txt";
inline constexpr char DiffFileMarker[] = "@Orbisnap";

struct DiffFile
{
    char oldVersion[VersionSize] = {};
    char newVersion[VersionSize] = {};
    char downloadBase[DownloadBaseSize] = {};
    FileEntryList entries;
};

enum class DiffLoad {
    Loaded,       // a list, possibly empty
    CannotOpen,   // "load file failed !" was written
    Refused,      // too short or a field too long; a diagnostic was written
    NothingNewer, // the installed version is not older than the newest
};

// Reads path into diff (which must be empty). Diagnostics go to the standard error stream.
DiffLoad readDiffFile(const char* path, DiffFile& diff);

// Writes the file anew: marker, versions, base, then one line per entry in list order, with
// size and SHA-256 on the [Add] and [Changed] entries that have them. Written to a temporary
// name, synced and renamed over path, every step checked (writeFileChecked), so a failed write
// (a full disk included) leaves the old file whole. On failure writes "save file failed !"
// and a second line with the path and the system's reason, and answers false.
bool writeDiffFile(const char* path, const char* oldVersion, const char* newVersion,
    const char* downloadBase, const FileEntry* head);
