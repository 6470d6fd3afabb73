#include "reportlog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ReportLog::~ReportLog()
{
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

bool ReportLog::open(const std::filesystem::path& path, std::string& error)
{
    // Not through a symlink: a dangling one would create its target wherever it points.
    const int opened = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (opened < 0) {
        error = "cannot open reports file \"" + path.string()
            + "\" for appending: " + (errno == ELOOP ? std::string("it is a symlink") : std::strerror(errno));
        return false;
    }
    struct stat status = {};
    if (::fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(opened);
        error = "reports file \"" + path.string() + "\" is not a regular file";
        return false;
    }
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    descriptor = opened;
    filePath = path;
    return true;
}

bool ReportLog::append(const std::string& line)
{
    const std::string record = line + "\n";
    std::lock_guard lock(mutex);
    if (descriptor < 0) {
        return false;
    }
    // A record is stored whole and on disk, or not at all: a short write (a full disk) is
    // taken back, so the next record does not start in the middle of a broken line.
    struct stat before = {};
    if (::fstat(descriptor, &before) != 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < record.size()) {
        const ssize_t written = ::write(descriptor, record.data() + done, record.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += std::size_t(written);
    }
    if (done == record.size() && ::fdatasync(descriptor) == 0) {
        return true;
    }
    const int cause = errno;
    if (::ftruncate(descriptor, before.st_size) == 0) {
        ::fdatasync(descriptor);
    }
    errno = cause;
    return false;
}
