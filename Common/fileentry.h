#pragma once

// One line of the version-difference file in memory, and the list the entries form.

#include <cstdint>

enum FileAction : std::int32_t { Nome = 0, Add = 1, Delete = 2, Changed = 3 };
enum FileState : std::int32_t { NoDo = 0, Updating = 1, Downloaded = 2 };

inline constexpr const char* FileActionNames[4] = { "Nome", "[Add]", "[Delete]", "[Changed]" };
inline constexpr const char* FileStateNames[3] = { "NoDo", "Updating", "Downloaded" };

inline constexpr int FilePathSize = 128; // relative path, zero-terminated

struct FileEntry
{
    std::int32_t action = Nome;
    std::int32_t state = NoDo;
    char file[FilePathSize] = {};
    FileEntry* next = nullptr;
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

    // Appends a copy of file, which must fit the field (strlen < FilePathSize).
    FileEntry* append(std::int32_t action, std::int32_t state, const char* file);
    void clear();

    FileEntry* head = nullptr;
    FileEntry* tail = nullptr;
    std::int32_t count = 0;
};
