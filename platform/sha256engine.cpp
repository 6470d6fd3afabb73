#include "sha256engine.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace platform {

#ifdef _WIN32

namespace {

// The provider is opened once per process; a reusable hash object starts over after each
// BCryptFinishHash, which is what finish() needs.
BCRYPT_ALG_HANDLE sha256Provider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        const NTSTATUS status
            = BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_HASH_REUSABLE_FLAG);
        if (!BCRYPT_SUCCESS(status)) {
            std::abort();
        }
        return handle;
    }();
    return provider;
}

} // namespace

struct Sha256Engine::State
{
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256Engine::Sha256Engine() : state(new State)
{
    if (!BCRYPT_SUCCESS(
            BCryptCreateHash(sha256Provider(), &state->hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG))) {
        std::abort();
    }
}

Sha256Engine::~Sha256Engine()
{
    BCryptDestroyHash(state->hash);
    delete state;
}

void Sha256Engine::reset()
{
    // Finishing a reusable hash starts it over.
    UCHAR discard[32];
    BCryptFinishHash(state->hash, discard, sizeof discard, 0);
}

void Sha256Engine::add(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const UCHAR*>(data);
    // CNG takes at most 4 GiB per call.
    while (size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : ULONG(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0))) {
            std::abort();
        }
        bytes += piece;
        size -= piece;
    }
}

Sha256Bytes Sha256Engine::finish()
{
    Sha256Bytes digest {};
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

struct Sha256Engine::State
{
    EVP_MD_CTX* context = nullptr;
};

Sha256Engine::Sha256Engine() : state(new State)
{
    state->context = EVP_MD_CTX_new();
    if (!state->context) {
        std::abort();
    }
    reset();
}

Sha256Engine::~Sha256Engine()
{
    EVP_MD_CTX_free(state->context);
    delete state;
}

void Sha256Engine::reset()
{
    if (EVP_DigestInit_ex(state->context, sha256Method(), nullptr) != 1) {
        std::abort();
    }
}

void Sha256Engine::add(const void* data, std::size_t size)
{
    if (size > 0 && EVP_DigestUpdate(state->context, data, size) != 1) {
        std::abort();
    }
}

Sha256Bytes Sha256Engine::finish()
{
    Sha256Bytes digest {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state->context, digest.data(), &length) != 1 || length != digest.size()) {
        std::abort();
    }
    reset();
    return digest;
}

#endif

std::string Sha256Engine::toHex(const Sha256Bytes& digest)
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

} // namespace platform
