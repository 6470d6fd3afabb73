#include "mappedfile.h"

#include "fileops.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace delta {

MappedFile::~MappedFile()
{
    close();
}

#ifdef _WIN32

bool MappedFile::open(const std::filesystem::path& path, std::string& error)
{
    close();
    const std::wstring name = platform::systemPath(path).wstring();
    const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = platform::errorText(std::error_code(int(::GetLastError()), std::system_category()));
        return false;
    }
    file = handle;
    LARGE_INTEGER size {};
    if (!::GetFileSizeEx(handle, &size)) {
        error = platform::errorText(std::error_code(int(::GetLastError()), std::system_category()));
        close();
        return false;
    }
    length = std::uint64_t(size.QuadPart);
    if (length == 0) {
        return true;
    }
    if (length > SIZE_MAX) {
        error = "too big to map";
        close();
        return false;
    }
    mapping = ::CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view = mapping ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
        error = platform::errorText(std::error_code(int(::GetLastError()), std::system_category()));
        close();
        return false;
    }
    bytes = static_cast<const std::uint8_t*>(view);
    return true;
}

void MappedFile::close()
{
    if (bytes) {
        ::UnmapViewOfFile(bytes);
    }
    if (mapping) {
        ::CloseHandle(mapping);
    }
    if (file) {
        ::CloseHandle(file);
    }
    bytes = nullptr;
    mapping = nullptr;
    file = nullptr;
    length = 0;
}

#else

bool MappedFile::open(const std::filesystem::path& path, std::string& error)
{
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = platform::errorText(std::error_code(errno, std::generic_category()));
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        error = platform::errorText(std::error_code(errno, std::generic_category()));
        ::close(fd);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    length = std::uint64_t(status.st_size);
    if (length == 0) {
        ::close(fd);
        return true;
    }
    void* view = ::mmap(nullptr, std::size_t(length), PROT_READ, MAP_PRIVATE, fd, 0);
    const int mapError = errno;
    ::close(fd);
    if (view == MAP_FAILED) {
        error = platform::errorText(std::error_code(mapError, std::generic_category()));
        length = 0;
        return false;
    }
    bytes = static_cast<const std::uint8_t*>(view);
    return true;
}

void MappedFile::close()
{
    if (bytes) {
        ::munmap(const_cast<std::uint8_t*>(bytes), std::size_t(length));
    }
    bytes = nullptr;
    length = 0;
}

#endif

} // namespace delta
