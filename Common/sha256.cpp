#include "sha256.h"

#include <QFile>

#include <cassert>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#ifdef _WIN32

namespace {

// The provider is opened once per process; a reusable hash object starts over after each
// BCryptFinishHash, which is what result() needs.
BCRYPT_ALG_HANDLE sha256Provider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        const NTSTATUS status = BCryptOpenAlgorithmProvider(
            &handle, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_HASH_REUSABLE_FLAG);
        if (!BCRYPT_SUCCESS(status)) {
            std::abort();
        }
        return handle;
    }();
    return provider;
}

} // namespace

struct Sha256::State
{
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state(new State)
{
    if (!BCRYPT_SUCCESS(BCryptCreateHash(sha256Provider(), &state->hash, nullptr, 0, nullptr, 0,
            BCRYPT_HASH_REUSABLE_FLAG))) {
        std::abort();
    }
}

Sha256::~Sha256()
{
    BCryptDestroyHash(state->hash);
    delete state;
}

void Sha256::reset()
{
    // Finishing a reusable hash starts it over.
    UCHAR discard[Sha256Size];
    BCryptFinishHash(state->hash, discard, sizeof discard, 0);
}

void Sha256::addData(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : ULONG(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0))) {
            std::abort();
        }
        bytes += piece;
        size -= piece;
    }
}

Sha256Digest Sha256::result()
{
    Sha256Digest digest {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(state->hash, digest.data(), ULONG(digest.size()), 0))) {
        std::abort();
    }
    return digest;
}

#else

namespace {

// Fetched once: an implicit fetch on every initialisation costs a lookup per file.
const EVP_MD* sha256Method()
{
    static EVP_MD* const method = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (!fetched) {
            std::abort();
        }
        return fetched;
    }();
    return method;
}

} // namespace

struct Sha256::State
{
    EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state(new State)
{
    state->context = EVP_MD_CTX_new();
    if (!state->context) {
        std::abort();
    }
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(state->context);
    delete state;
}

// A failure here means the library itself is broken (out of memory); no digest can be trusted
// then, so the process stops rather than compare against a made-up one.
void Sha256::reset()
{
    if (EVP_DigestInit_ex(state->context, sha256Method(), nullptr) != 1) {
        std::abort();
    }
}

void Sha256::addData(const void* data, std::size_t size)
{
    if (size > 0 && EVP_DigestUpdate(state->context, data, size) != 1) {
        std::abort();
    }
}

Sha256Digest Sha256::result()
{
    Sha256Digest digest {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state->context, digest.data(), &length) != 1 || length != digest.size()) {
        std::abort();
    }
    reset();
    return digest;
}

#endif

Sha256Digest Sha256::hash(QByteArrayView data)
{
    Sha256 sha;
    sha.addData(data);
    return sha.result();
}

std::string Sha256::toHex(const Sha256Digest& digest)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

bool Sha256::fromHex(std::string_view text, Sha256Digest& digest)
{
    if (text.size() != 2 * digest.size()) {
        return false;
    }
    const auto nibble = [](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    Sha256Digest read {};
    for (std::size_t i = 0; i < read.size(); ++i) {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        read[i] = std::uint8_t(high << 4 | low);
    }
    digest = read;
    return true;
}

bool hashFile(const QString& path, std::int64_t& size, Sha256Digest& digest, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error) {
            *error = file.errorString();
        }
        return false;
    }
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    std::int64_t total = 0;
    for (;;) {
        const qint64 got = file.read(buffer.data(), qint64(buffer.size()));
        if (got < 0) {
            if (error) {
                *error = file.errorString();
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        sha.addData(buffer.data(), std::size_t(got));
        total += got;
    }
    size = total;
    digest = sha.result();
    return true;
}
