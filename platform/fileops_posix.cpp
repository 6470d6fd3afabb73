// The POSIX side of the platform layer (Linux first): plain system calls, made once, since no
// other program can hold a file against a rename or a removal here.

#include "fileops.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::error_code lastError()
{
    return std::error_code(errno, std::generic_category());
}

std::error_code fromResult(int result)
{
    return result == 0 ? std::error_code() : lastError();
}

class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) { }
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }
    bool valid() const { return fd >= 0; }

private:
    int fd;
};

// fsync of whatever the path names, opened without writing to it.
FileResult syncPath(const std::filesystem::path& path, int flags)
{
    FileResult result;
    const Descriptor descriptor(::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!descriptor.valid()) {
        result.error = lastError();
        return result;
    }
    result.error = fromResult(::fsync(descriptor.get()));
    return result;
}

} // namespace

std::string errorText(const std::error_code& error)
{
    return error.message();
}

bool isNotFound(const std::error_code& error)
{
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

std::filesystem::path systemPath(const std::filesystem::path& path)
{
    return path;
}

WriteProbe probeForWriting(const std::filesystem::path& path, std::error_code* error)
{
    // No O_CREAT and no O_TRUNC: the probe never makes or changes a file. O_NONBLOCK keeps a
    // FIFO without a reader from blocking the open.
    const Descriptor descriptor(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (descriptor.valid()) {
        return WriteProbe::Free;
    }
    const int code = errno;
    if (error) {
        *error = std::error_code(code, std::generic_category());
    }
    switch (code) {
    case ETXTBSY:
        return WriteProbe::InUse;
    case EACCES:
    case EPERM:
    case EROFS:
        return WriteProbe::NoPermission;
    case ENOENT:
    case ENOTDIR:
        return WriteProbe::Missing;
    default:
        return WriteProbe::Failed;
    }
}

FileResult replaceFile(const std::filesystem::path& from, const std::filesystem::path& to, const RetryPolicy&)
{
    FileResult result;
    result.error = fromResult(::rename(from.c_str(), to.c_str()));
    return result;
}

FileResult renameAside(const std::filesystem::path& from, const std::filesystem::path& to, const RetryPolicy&)
{
    FileResult result;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return result;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        result.error = lastError();
        return result;
    }
    // A file system without RENAME_NOREPLACE: link(2) refuses an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) {
        result.error = lastError();
        return result;
    }
    if (::unlink(from.c_str()) != 0) {
        result.error = lastError();
        ::unlink(to.c_str());
    }
    return result;
}

FileResult removeFile(const std::filesystem::path& path, const RetryPolicy&)
{
    FileResult result;
    result.error = fromResult(::unlink(path.c_str()));
    return result;
}

FileResult reserveSpace(int fd, std::uint64_t size)
{
    FileResult result;
#if defined(__linux__)
    // FALLOC_FL_KEEP_SIZE: the length stays what was written, which is how much of a partial
    // file has arrived.
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) != 0 && (errno == ENOSPC || errno == EDQUOT)) {
        result.error = lastError();
    }
#else
    (void)fd;
    (void)size;
#endif
    return result;
}

FileResult flushFile(const std::filesystem::path& path)
{
    return syncPath(path, 0);
}

FileResult syncDirectory(const std::filesystem::path& dir)
{
    return syncPath(dir, O_DIRECTORY);
}

FileResult clearReadOnly(const std::filesystem::path& path)
{
    FileResult result;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        result.error = lastError();
        return result;
    }
    if ((status.st_mode & S_IWUSR) == 0) {
        result.error = fromResult(::chmod(path.c_str(), (status.st_mode & 07777) | S_IWUSR));
    }
    return result;
}

FileResult setHidden(const std::filesystem::path&, bool)
{
    return {};
}

bool isSymbolicLink(const std::filesystem::path& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

std::FILE* openFile(const std::filesystem::path& path, const char* mode)
{
    return std::fopen(path.c_str(), mode);
}

} // namespace platform
