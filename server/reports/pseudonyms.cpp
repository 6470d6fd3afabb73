#include "pseudonyms.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string describe(const std::filesystem::path& path)
{
    return "pseudonym secret \"" + path.string() + "\"";
}

bool readWhole(int fd, std::uint8_t* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, data + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += std::size_t(got);
    }
    return true;
}

bool writeWhole(int fd, const std::uint8_t* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += std::size_t(written);
    }
    return true;
}

} // namespace

bool Pseudonyms::openOrCreate(const std::filesystem::path& path, std::string& error)
{
    if (sodium_init() < 0) {
        error = "cannot initialise libsodium";
        return false;
    }
    created = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            error = "cannot create " + describe(path) + ": " + std::strerror(errno);
            return false;
        }
        randombytes_buf(secret.data(), secret.size());
        // A secret lost after its first pseudonyms were stored would split every installation
        // in two, so it is on disk, folder entry included, before anything uses it.
        const bool written = writeWhole(fd, secret.data(), secret.size()) && ::fsync(fd) == 0;
        const int cause = errno;
        ::close(fd);
        if (!written) {
            ::unlink(path.c_str());
            error = "cannot write " + describe(path) + ": " + std::strerror(cause);
            return false;
        }
        const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
        if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        created = true;
        return true;
    }
    if (fd < 0) {
        error = "cannot open " + describe(path) + ": "
            + (errno == ELOOP ? std::string("it is a symlink") : std::strerror(errno));
        return false;
    }
    struct stat status = {};
    const bool statted = ::fstat(fd, &status) == 0;
    std::string problem;
    if (!statted || !S_ISREG(status.st_mode)) {
        problem = "it is not a regular file";
    } else if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(status.st_mode & 07777));
        problem = std::string("its mode is ") + mode + ", which lets others read or change it; chmod 600 it";
    } else if (status.st_size != off_t(secret.size())) {
        problem = "it holds " + std::to_string(status.st_size) + " bytes, not " + std::to_string(secret.size());
    } else if (!readWhole(fd, secret.data(), secret.size())) {
        problem = std::string("cannot read it: ") + std::strerror(errno);
    }
    ::close(fd);
    if (!problem.empty()) {
        error = describe(path) + " refused: " + problem;
        return false;
    }
    return true;
}

Pseudonym Pseudonyms::of(std::string_view field, std::string_view value) const
{
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, secret.data(), secret.size());
    // The field's name and a NUL first: no value of one field can hash like another's.
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(field.data()), field.size());
    const unsigned char separator = 0;
    crypto_auth_hmacsha256_update(&state, &separator, 1);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(value.data()), value.size());
    Pseudonym out {};
    crypto_auth_hmacsha256_final(&state, out.data());
    return out;
}
