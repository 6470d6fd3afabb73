#pragma once

// One line of the version-difference file in memory, and the list the entries form.

#include <cstdint>

enum FileAction : std::int32_t { Nome = 0, Add = 1, Delete = 2, Changed = 3 };
enum FileState : std::int32_t { NoDo = 0, Updating = 1, Downloaded = 2 };

inline constexpr const char* FileActionNames[4] = { "Nome", "[Add]", "[Delete]", "[Changed]" };
inline constexpr const char* FileStateNames[3] = { "NoDo", "Updating", "Downloaded" };

inline constexpr int FilePathSize = 128; // relative path, zero-terminated
inline constexpr int FileHashSize = 32;  // SHA-256

// An object the vendor published beside a release file that decodes to it: its own size in
// bytes (-1: none) and its own SHA-256.
struct FileObject
{
    std::int64_t size = -1;
    std::uint8_t sha256[FileHashSize] = {};

    bool present() const { return size >= 0; }
};

struct FileEntry
{
    std::int32_t action = Nome;
    std::int32_t state = NoDo;
    char file[FilePathSize] = {};
    FileEntry* next = nullptr;
    // What the release's bytes are, for [Add] and [Changed] entries whose line carries them:
    // the size in bytes (-1 when absent) and the SHA-256 (valid when hasHash). The two come
    // together: an entry has both or neither.
    std::int64_t size = -1;
    bool hasHash = false;
    std::uint8_t sha256[FileHashSize] = {};

    // Cheaper ways to the same bytes, for entries with a digest: a compressed copy, and a
    // patch from the installed file whose SHA-256 is patchFrom. Fixed size like the rest.
    FileObject packed;
    FileObject patch;
    std::uint8_t patchFrom[FileHashSize] = {};

    bool hasDigest() const { return hasHash && size >= 0; }
};

// Name of a state for display; empty for a value without a name.
const char* fileStateName(std::int32_t state);
// Name of an action as written in the file; empty for a value without a name.
const char* fileActionName(std::int32_t action);

// Singly linked, appended at the tail, owned by whoever built it.
class FileEntryList
{
public:
    FileEntryList() = default;
    FileEntryList(const FileEntryList&) = delete;
    FileEntryList& operator=(const FileEntryList&) = delete;
    ~FileEntryList() { clear(); }

    // Appends a copy of file, which must fit the field (strlen < FilePathSize), without size
    // and hash.
    FileEntry* append(std::int32_t action, std::int32_t state, const char* file);
    // The same with the file's size and SHA-256 (FileHashSize bytes).
    FileEntry* append(std::int32_t action, std::int32_t state, const char* file, std::int64_t size,
        const std::uint8_t* sha256);
    void clear();

    FileEntry* head = nullptr;
    FileEntry* tail = nullptr;
    std::int32_t count = 0;
};
