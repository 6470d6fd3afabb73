#pragma once

// A whole file mapped read-only, the source a patch is applied to: its pages are read on demand
// and may be dropped again by the system, so a big source costs address space rather than
// memory the process owns. On Windows the file is opened without write sharing, so nobody can
// change the bytes between hashing them and patching from them.

#include <cstdint>
#include <filesystem>
#include <string>

namespace delta {

class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False with the system's reason; an empty file maps to no bytes.
    bool open(const std::filesystem::path& path, std::string& error);

    const std::uint8_t* data() const { return bytes; }
    std::uint64_t size() const { return length; }

private:
    void close();

    const std::uint8_t* bytes = nullptr;
    std::uint64_t length = 0;
#ifdef _WIN32
    void* file = nullptr;
    void* mapping = nullptr;
#endif
};

} // namespace delta
