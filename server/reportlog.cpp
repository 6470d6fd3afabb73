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
    ssize_t written = -1;
    do {
        written = ::write(descriptor, record.data(), record.size());
    } while (written < 0 && errno == EINTR);
    return written == ssize_t(record.size());
}
