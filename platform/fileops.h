#pragma once

// File operations whose meaning differs between Windows and POSIX, in one place so the rest of
// the program states what it wants and not how each system spells it. No Qt here: the update
// engine, the update check and the tests all build on it.
//
// Paths are std::filesystem::path: UTF-16 on Windows (every call goes through the wide "W"
// functions, with the "\\?\" prefix for long absolute paths), bytes on POSIX. Make one from
// UTF-8 text with pathFromUtf8, never from a char* directly (Windows would read it in the ANSI
// code page).
//
// Windows keeps a file "held" while another program has it open without sharing (antivirus,
// indexers, backup tools open new files for a moment) or while it is a running image or a
// loaded DLL. The operations that change a directory entry retry a held file for a bounded time
// (RetryPolicy); POSIX has no such holders, and its calls are made once.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

// How long a held file is waited for: one new try every `step`, none after `limit`.
struct RetryPolicy
{
    std::chrono::milliseconds step { 25 };
    std::chrono::milliseconds limit { 3000 };
};

// The outcome of a file operation. On failure `error` holds the system's code; `heldTooLong`
// tells that every try failed because another program held the file, and `retries` how many
// tries followed the first.
struct FileResult
{
    std::error_code error;
    int retries = 0;
    bool heldTooLong = false;

    explicit operator bool() const { return !error; }
    // The system's text for the error, with the retries when they ran out, e.g. "The process
    // cannot access the file because it is being used by another process (still held after 120
    // retries in 3000 ms)". Empty on success.
    std::string describe() const;
};

// The system's own text for an error code (FormatMessage on Windows, strerror on POSIX), UTF-8.
std::string errorText(const std::error_code& error);

// Whether the error means that the file or a folder on its path does not exist.
bool isNotFound(const std::error_code& error);

// UTF-8 text to a path and back, the same on every system.
std::filesystem::path pathFromUtf8(std::string_view utf8);
std::string pathToUtf8(const std::filesystem::path& path);

// The path as the system's calls take it: on Windows a long absolute path (248 characters and
// more) gets the "\\?\" prefix (or "\\?\UNC\") so that it may exceed 260 characters, with "."
// and ".." resolved and "/" turned into "\" as the prefix requires; elsewhere the path unchanged.
std::filesystem::path systemPath(const std::filesystem::path& path);

enum class WriteProbe {
    Free,         // the file can be opened for writing now
    InUse,        // a running program holds it (a running executable, a loaded DLL)
    NoPermission, // this user may not write it (permissions, a read-only file system)
    Missing,      // there is no such file
    Failed,       // some other error; see the error code
};

// Whether the file could be written now, without writing, truncating or creating it. Windows:
// opened for writing with all sharing allowed, a sharing violation means in use and access
// denied no permission (a read-only attribute alone does not count: the updater clears it).
// POSIX: opened for writing, ETXTBSY (a running executable) means in use and EACCES, EPERM or
// EROFS no permission. *error (when given) receives the system's code for every outcome but Free.
WriteProbe probeForWriting(const std::filesystem::path& path, std::error_code* error = nullptr);

// Moves `from` onto `to` in one step, replacing a file there. The read-only attribute of `to`
// is cleared first (Windows refuses to replace such a file). Windows: MoveFileEx with replace
// and write-through, retried while either file is held; POSIX: rename(2).
FileResult replaceFile(const std::filesystem::path& from, const std::filesystem::path& to,
    const RetryPolicy& retry = {});

// Moves `from` to `to` only when nothing is at `to`. Windows lets a running executable or a
// loaded DLL be renamed (not replaced or deleted), which frees its name for a new file.
// Windows: MoveFileEx without replace, with write-through, retried while held; POSIX:
// renameat2 with RENAME_NOREPLACE, or link and unlink where the file system lacks it.
FileResult renameAside(const std::filesystem::path& from, const std::filesystem::path& to,
    const RetryPolicy& retry = {});

// Removes a file (not a directory), clearing its read-only attribute first; retried while held.
// A missing file is an error (isNotFound) the caller may ignore.
FileResult removeFile(const std::filesystem::path& path, const RetryPolicy& retry = {});

// Writes the file's data through to the disk (fsync, FlushFileBuffers), so that a rename that
// follows never shows a name with lost content after a power loss.
FileResult flushFile(const std::filesystem::path& path);

// Reserves disk space for the first `size` bytes of the open file `fd` (a C runtime descriptor)
// without changing its length, so that a disk without room for it fails now rather than part
// way through writing it. A file system that cannot reserve space is no failure: only a full
// disk or quota is (ENOSPC, EDQUOT; ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL,
// ERROR_DISK_QUOTA_EXCEEDED).
FileResult reserveSpace(int fd, std::uint64_t size);

// Makes the entries of a directory durable after renames into or out of it: fsync of the
// directory on POSIX; nothing on Windows, where the moves above write through.
FileResult syncDirectory(const std::filesystem::path& dir);

// Clears the read-only attribute (Windows) or adds the owner's write permission (POSIX).
FileResult clearReadOnly(const std::filesystem::path& path);

// Sets or clears the hidden attribute (Windows). POSIX hides names starting with "." and this
// does nothing there. A file moved onto another name keeps its attributes on Windows: clear
// the mark before a hidden temporary copy takes its final name.
FileResult setHidden(const std::filesystem::path& path, bool hidden = true);

// Whether the path itself is a symbolic link or (Windows) a junction or other name-surrogate
// reparse point; a missing path is not. Shell shortcuts (.lnk) are ordinary files.
bool isSymbolicLink(const std::filesystem::path& path);

// Opens a file like std::fopen, with a path that may hold any character (_wfopen on Windows).
std::FILE* openFile(const std::filesystem::path& path, const char* mode);

// Whether file names compare without regard to case on this system (Windows), so a name from
// a list must be matched that way against the files it may name.
constexpr bool caseInsensitiveNames()
{
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

// Whether a running executable or a loaded library keeps its name from being replaced or
// removed, so that it must be renamed aside first (Windows). POSIX replaces such names freely.
constexpr bool runningImagesKeepTheirName()
{
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

} // namespace platform
