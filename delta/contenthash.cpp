#include "contenthash.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace delta {

#ifdef _WIN32

struct ContentHash::State
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

ContentHash::ContentHash() : state(new State)
{
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state->provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))
        || !BCRYPT_SUCCESS(BCryptCreateHash(state->provider, &state->hash, nullptr, 0, nullptr, 0, 0))) {
        std::abort();
    }
}

ContentHash::~ContentHash()
{
    BCryptDestroyHash(state->hash);
    BCryptCloseAlgorithmProvider(state->provider, 0);
    delete state;
}

void ContentHash::add(const void* data, std::size_t size)
{
    auto bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    // CNG takes at most 4 GiB per call.
    while (size > 0) {
        const ULONG piece = ULONG(size < 0x40000000u ? size : 0x40000000u);
        if (!BCRYPT_SUCCESS(BCryptHashData(state->hash, bytes, piece, 0))) {
            std::abort();
        }
        bytes += piece;
        size -= piece;
    }
}

Digest ContentHash::finish()
{
    Digest digest {};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(state->hash, digest.data(), ULONG(digest.size()), 0))) {
        std::abort();
    }
    return digest;
}

#else

struct ContentHash::State
{
    EVP_MD_CTX* context = nullptr;
};

ContentHash::ContentHash() : state(new State)
{
    state->context = EVP_MD_CTX_new();
    if (!state->context || EVP_DigestInit_ex(state->context, EVP_sha256(), nullptr) != 1) {
        std::abort();
    }
}

ContentHash::~ContentHash()
{
    EVP_MD_CTX_free(state->context);
    delete state;
}

void ContentHash::add(const void* data, std::size_t size)
{
    if (size > 0 && EVP_DigestUpdate(state->context, data, size) != 1) {
        std::abort();
    }
}

Digest ContentHash::finish()
{
    Digest digest {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state->context, digest.data(), &length) != 1 || length != digest.size()) {
        std::abort();
    }
    return digest;
}

#endif

Digest ContentHash::of(const void* data, std::size_t size)
{
    ContentHash hash;
    hash.add(data, size);
    return hash.finish();
}

std::string toHex(const Digest& digest)
{
    static const char Hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (const std::uint8_t byte : digest) {
        text += Hex[byte >> 4];
        text += Hex[byte & 15];
    }
    return text;
}

} // namespace delta
