#pragma once

// The signed version answers, made at publish time by `orbisnap-release sign` and served by
// vendor-server as they are:
//
//   DIR/signed/VERSION.json       the answer for installed VERSION (every release, the newest
//                                 included), exactly the bytes that were signed
//   DIR/signed/VERSION.json.sig   base64 of the Ed25519 signature of those bytes, one line
//   DIR/signed/any.json[.sig]     the answer for a version the releases do not hold
//                                 ("installed": "*", every file of the newest in "n")
//
// Every answer takes its installation to the newest release as it was when signed, with the
// objects (answerobjects.h) that were there, so after publishing a release, changing one or
// packing they must be made anew; a set that no longer matches the releases (another newest
// version, other files, sizes or hashes, a release without its answer, an object named that is
// gone or holds other bytes, one made since and not named) is refused as a whole.

#include "releasestore.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

class SecretKey;

inline constexpr char AnyVersionAnswerName[] = "any";

struct SignedAnswer
{
    std::string body;      // the bytes to send, as signed
    std::string signature; // base64, the header's value
};

class SignedAnswers
{
public:
    // Whether DIR holds the folder at all (the server then serves nothing unsigned).
    static bool presentIn(const std::filesystem::path& releasesDir);

    // Reads DIR/signed and checks it against the releases as they are now. False with
    // problems saying what is missing, stale or malformed.
    bool load(const ReleaseStore& store, std::vector<std::string>& problems);

    // The answer for an installation of installed: its release's own, the newest's for the
    // newest, "any" for a version the releases do not hold; null when installed is newer
    // than the newest (nothing was signed for it).
    const SignedAnswer* forInstalled(const ReleaseStore& store, std::string_view installed) const;

    // The download prefix the answers were signed with ("path" less "/NEWEST").
    const std::string& downloadBase() const { return base; }
    // The version the answers take installations to.
    const std::string& newestVersion() const { return newest; }
    // By installed version name, "any" included.
    const std::map<std::string, SignedAnswer>& all() const { return answers; }

private:
    std::map<std::string, SignedAnswer> answers;
    std::string base;
    std::string newest;
};

// Writes the answers for every release of store and for "any", signed with key, into
// DIR/signed (made anew: answers of releases that are gone are removed). Every file is written
// whole or not at all. False with error set on the first failure.
bool writeSignedAnswers(const ReleaseStore& store, const SecretKey& key, const std::string& downloadBase,
    const std::string& issued, std::string& error);
