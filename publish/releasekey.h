#pragma once

// The release signer's Ed25519 key (libsodium). The secret key file holds one line: the
// base64 of the 64-byte libsodium secret key (seed and public key). It is written once, mode
// 0600, and belongs offline with the person who publishes releases; the vendor server never
// needs it. The public key is given out as base64 of its 32 bytes, the form
// ORBISNAP_RELEASE_PUBLIC_KEYS takes.

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

class SecretKey
{
public:
    static constexpr std::size_t Bytes = 64;

    SecretKey() = default;
    ~SecretKey();
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;

    // Makes a new key and writes it to file, which must not exist yet. False with error set
    // (the system's reason) otherwise; an existing file is never touched.
    bool generate(const std::filesystem::path& file, std::string& error);
    // Reads a key file written by generate.
    bool read(const std::filesystem::path& file, std::string& error);

    // Base64 of the 32-byte public key.
    std::string publicKeyBase64() const;
    // Base64 of the 64-byte detached signature of message.
    std::string signBase64(std::string_view message) const;

private:
    std::array<unsigned char, Bytes> bytes {};
};

// Whether libsodium could be set up; every other call needs it.
bool initSodium(std::string& error);
