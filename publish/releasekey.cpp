#include "releasekey.h"

#include <QByteArray>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string toBase64(const unsigned char* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).toBase64().toStdString();
}

std::string systemError()
{
    return std::strerror(errno);
}

} // namespace

bool initSodium(std::string& error)
{
    if (sodium_init() < 0) {
        error = "libsodium cannot be initialised";
        return false;
    }
    return true;
}

SecretKey::~SecretKey()
{
    sodium_memzero(bytes.data(), bytes.size());
}

bool SecretKey::generate(const std::filesystem::path& file, std::string& error)
{
    if (!initSodium(error)) {
        return false;
    }
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    static_assert(crypto_sign_SECRETKEYBYTES == Bytes);
    crypto_sign_keypair(publicKey, bytes.data());
    const std::string text = toBase64(bytes.data(), bytes.size()) + "\n";

    // O_EXCL: an existing key (perhaps the only copy of the one clients trust) is never
    // overwritten.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + file.string() + ": " + systemError();
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        ok = wrote > 0;
        done += ok ? std::size_t(wrote) : 0;
    }
    ok = ok && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0;
    const std::string reason = ok ? std::string() : systemError();
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        error = "cannot write " + file.string() + ": " + (reason.empty() ? systemError() : reason);
        ::unlink(file.c_str());
        return false;
    }
    return true;
}

bool SecretKey::read(const std::filesystem::path& file, std::string& error)
{
    if (!initSodium(error)) {
        return false;
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + file.string() + ": " + systemError();
        return false;
    }
    char buffer[256];
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    const std::string reason = got < 0 ? systemError() : std::string();
    ::close(fd);
    if (got < 0) {
        error = "cannot read " + file.string() + ": " + reason;
        return false;
    }
    const QByteArray text = QByteArray(buffer, qsizetype(got)).trimmed();
    sodium_memzero(buffer, sizeof buffer);
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != qsizetype(Bytes)) {
        error = file.string() + " is no secret key (base64 of " + std::to_string(Bytes)
            + " bytes, as orbisnap-release keygen writes it)";
        return false;
    }
    std::memcpy(bytes.data(), decoded.decoded.constData(), Bytes);
    // The last 32 bytes are the public key; a damaged file that no longer matches its seed
    // would sign with a key nobody trusts.
    unsigned char derived[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(derived, bytes.data());
    unsigned char seed[crypto_sign_SEEDBYTES];
    crypto_sign_ed25519_sk_to_seed(seed, bytes.data());
    unsigned char fromSeed[crypto_sign_PUBLICKEYBYTES];
    unsigned char scratch[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(fromSeed, scratch, seed);
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(scratch, sizeof scratch);
    if (std::memcmp(derived, fromSeed, sizeof derived) != 0) {
        error = file.string() + " is damaged: its public half does not belong to its secret half";
        return false;
    }
    return true;
}

std::string SecretKey::publicKeyBase64() const
{
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(publicKey, bytes.data());
    return toBase64(publicKey, sizeof publicKey);
}

std::string SecretKey::signBase64(std::string_view message) const
{
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
        message.size(), bytes.data());
    return toBase64(signature, sizeof signature);
}
