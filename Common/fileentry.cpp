#include "fileentry.h"

#include <cassert>
#include <cstring>

const char* fileStateName(std::int32_t state)
{
    return state >= 0 && state < 3 ? FileStateNames[state] : "";
}

const char* fileActionName(std::int32_t action)
{
    return action >= 0 && action < 4 ? FileActionNames[action] : "";
}

FileEntry* FileEntryList::append(std::int32_t action, std::int32_t state, const char* file)
{
    assert(std::strlen(file) < FilePathSize);
    auto* entry = new FileEntry;
    entry->action = action;
    entry->state = state;
    std::strncpy(entry->file, file, FilePathSize - 1);
    if (tail) {
        tail->next = entry;
    } else {
        head = entry;
    }
    tail = entry;
    ++count;
    return entry;
}

FileEntry* FileEntryList::append(
    std::int32_t action, std::int32_t state, const char* file, std::int64_t size, const std::uint8_t* sha256)
{
    assert(size >= 0 && sha256);
    FileEntry* entry = append(action, state, file);
    entry->size = size;
    entry->hasHash = true;
    std::memcpy(entry->sha256, sha256, FileHashSize);
    return entry;
}

void FileEntryList::clear()
{
    for (FileEntry* entry = head; entry;) {
        FileEntry* next = entry->next;
        delete entry;
        entry = next;
    }
    head = tail = nullptr;
    count = 0;
}
