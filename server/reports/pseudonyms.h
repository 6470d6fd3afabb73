#pragma once

// Keyed hashes that stand for what identifies a user: the same MAC address, computer name or
// user name gives the same pseudonym under one secret, so installations are recognised across
// reports, while the server keeps nothing that says who they are.
//
// The secret is 32 random bytes in a file of its own (mode 0600) beside the reports database,
// made on first start and never overwritten. Whoever holds both the secret and the database
// can test guesses (a MAC address of a known maker, a common user name) against the
// pseudonyms; without the secret they cannot.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

using Pseudonym = std::array<std::uint8_t, 32>;

class Pseudonyms
{
public:
    // Reads the secret from path, or makes one there when no file exists (created exclusively
    // with mode 0600 and synced, with its folder). Refuses, with error naming the file and the
    // cause, a symlink, a file that is not exactly 32 bytes, or one that group or others may
    // read or write: a secret others can read turns the pseudonyms back into guessable values.
    bool openOrCreate(const std::filesystem::path& path, std::string& error);

    // HMAC-SHA-256 under the secret of field ("mac", "computerName", ...) and value, so equal
    // values in different fields give different pseudonyms.
    Pseudonym of(std::string_view field, std::string_view value) const;

    // Whether the secret was made by openOrCreate() just now.
    bool isNew() const { return created; }

private:
    std::array<std::uint8_t, 32> secret {};
    bool created = false;
};
