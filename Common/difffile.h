#pragma once

// The version-difference file "version_diff.txt", the hand-over from the update check to the
// updater. 8-bit text, one item per line, fields separated by white space (a carriage return
// counts as white space, so CR LF files read the same):
//
//   line 1   @Orbisnap                          marker; read past, never compared
//   line 2   OLD --> NEW                        versions, each at most 31 bytes
//   line 3   BASE [OBJECTS]                     download base, at most 255 bytes; then the URL
//                                               of the objects folder, at most 255 bytes
//   line 4+  STATE ACTION : PATH [SIZE SHA256 [packed=PSIZE:PSHA256] [patch=FROM:XSIZE:XSHA256]]
//                                               entries, in file order
//   (one)    0 [Health] : TIMEOUT STARTS        the start check the channel asks for
//
// STATE is 0 (NoDo), 1 (Updating) or 2 (Downloaded); any other number reads as 0. ACTION is
// [Add], [Delete] or [Changed]; a line with Nome, another name, fewer than four items, an
// action name over 31 bytes, a path over 127 bytes or a path that would leave its directory
// (see isSafeRelativePath) is skipped. An [Add] or [Changed] line may carry the file's size
// (decimal bytes) and SHA-256 (64 lower-case hex digits) after PATH; when the word after PATH
// starts like a number, both must be well-formed or the line is skipped with a diagnostic.
// Other words after PATH are ignored, as are words after the path of a [Delete] line. A file
// with fewer than three lines, or whose version or base is too long, is not loaded; neither is
// one whose installed version is not older than the newest (compareVersions).
//
// Objects: cheaper ways to a file's bytes, fetched from OBJECTS + "/" + the object's name (see
// objectnames.h). After the hash, "packed=" names the compressed copy by its own size and
// SHA-256, "patch=" a patch from the installed file whose SHA-256 is FROM by the patch's own
// size and SHA-256 (sizes decimal, hashes 64 lower-case hex digits). A malformed or repeated
// objects word costs the entry its objects, never its line: the file is then fetched whole,
// still checked against SIZE and SHA256. Words of other names are ignored. An OBJECTS word
// over 255 bytes is dropped with a diagnostic, and without OBJECTS no object is fetched.
//
// Start check: a line "0 [Health] : TIMEOUT STARTS" (seconds the new host may take to confirm,
// 1 to 3600; unconfirmed starts before a return, 1 to 100) asks the updater to start the new
// host with --orbisnap-health-check after the install and to return to the previous version
// when it does not confirm. An updater that does not know it skips the line as one of an
// unknown action. A malformed one is skipped with a diagnostic (no check); the writer puts it
// right after line 3.
//
// An updater that knows no objects reads every line as before: it takes one word of line 3
// and ignores the words after the hash. The writer puts the words in the order above, so a
// file it wrote reads back and writes out again byte for byte.

#include "fileentry.h"

#include <QString>

inline constexpr int VersionSize = 32;      // zero-terminated, so 31 bytes of text
inline constexpr int DownloadBaseSize = 256; // zero-terminated, so 255 bytes of text
inline constexpr char DiffFileName[] = "version_diff.txt";
inline constexpr char DiffFileMarker[] = "@Orbisnap";

// The start check a version-difference file asks for; off when timeout is 0.
struct DiffHealth
{
    int timeout = 0; // seconds
    int starts = 0;
    bool on() const { return timeout > 0; }
};

inline constexpr int MaxHealthTimeout = 3600;
inline constexpr int MaxHealthStarts = 100;

struct DiffFile
{
    char oldVersion[VersionSize] = {};
    char newVersion[VersionSize] = {};
    char downloadBase[DownloadBaseSize] = {};
    char objectsBase[DownloadBaseSize] = {}; // empty: no objects
    FileEntryList entries;
    DiffHealth health;
};

enum class DiffLoad {
    Loaded,       // a list, possibly empty
    CannotOpen,   // "load file failed !" was written
    Refused,      // too short or a field too long; a diagnostic was written
    NothingNewer, // the installed version is not older than the newest
};

// Reads path into diff (which must be empty). Diagnostics go to the standard error stream.
DiffLoad readDiffFile(const char* path, DiffFile& diff);

// Writes the file anew: marker, versions, base (and objectsBase when not empty), then one line
// per entry in list order, with size, SHA-256 and objects on the [Add] and [Changed] entries
// that have them; the start check's line first when health is given and on. Written to a temporary
// name, synced and renamed over path, every step checked (writeFileChecked), so a failed write
// (a full disk included) leaves the old file whole. On failure writes "save file failed !"
// and a second line with the path and the system's reason, and answers false.
bool writeDiffFile(const char* path, const char* oldVersion, const char* newVersion,
    const char* downloadBase, const FileEntry* head, const char* objectsBase = nullptr,
    const DiffHealth* health = nullptr);
