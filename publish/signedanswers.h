#pragma once

// The signed version answers, made at publish time by `orbisnap-release sign` and served by
// vendor-server as they are:
//
//   DIR/signed/VERSION.json       the answer for installed VERSION on the "stable" channel
//                                 (every release, the newest included), exactly the bytes
//                                 that were signed
//   DIR/signed/VERSION.json.sig   base64 of the Ed25519 signature of those bytes, one line
//   DIR/signed/any.json[.sig]     the answer for a version the releases do not hold
//                                 ("installed": "*", every file of the channel's version in "n")
//   DIR/signed/channels/NAME/...  the same for each other channel NAME of channels.json (a
//                                 folder an older server or verifier does not look into)
//   .../halted/VERSION.json[.sig] beside each channel's answers, for each release older than
//                                 the channel's version: "nothing newer" for installed VERSION
//                                 (its own version and download base, empty lists), served
//                                 while the channel's version is halted (halts.h). A set
//                                 signed before there were such answers has no such folder;
//                                 its halted installations get an unsigned {}.
//
// Every answer takes its installation to its channel's version as it was when signed, with the
// objects (answerobjects.h) that were there, names the channel ("channel", and "rollout" when
// the channel has one) and when it stops being valid ("expires", UTC), so after publishing a
// release, changing one, packing or changing channels.json they must be made anew, and again
// before they expire. A set that no longer matches the releases, objects and channels (another
// version, other files, sizes or hashes, a release or channel without its answers, an object
// named that is gone or holds other bytes, one made since and not named, an answer without
// "expires") is refused as a whole.

#include "channels.h"
#include "releasestore.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

class AnswerObjects;
class SecretKey;

inline constexpr char AnyVersionAnswerName[] = "any";
// Below DIR/signed: the folder of the channels other than "stable".
inline constexpr char ChannelAnswersFolder[] = "channels";
// Beside a channel's answers: the "nothing newer" answers served while its version is halted.
inline constexpr char HaltedAnswersFolder[] = "halted";

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

    // Reads DIR/signed and checks it against the releases and channels as they are now. False
    // with problems saying what is missing, stale or malformed.
    bool load(const ReleaseStore& store, const Channels& channels, std::vector<std::string>& problems);

    // The answer for an installation of installed on channel: its release's own, "any" for a
    // version the releases do not hold; null when installed is the channel's version or newer
    // without being a release (nothing was signed for it).
    const SignedAnswer* forInstalled(
        const ReleaseStore& store, const Channel& channel, std::string_view installed) const;

    // The "nothing newer" answer for a release installed older than channel's version; null
    // when the set has none for it.
    const SignedAnswer* nothingNewerFor(const Channel& channel, std::string_view installed) const;

    // The download prefix the answers were signed with ("path" less "/VERSION").
    const std::string& downloadBase() const { return base; }
    // The version the "stable" answers take installations to.
    const std::string& newestVersion() const { return newest; }
    // The earliest "expires" of all answers (UTC text, which orders as the times do).
    const std::string& earliestExpiry() const { return expiry; }
    // Every answer, by installed version name ("any" included), prefixed by "CHANNEL/" for
    // channels other than "stable".
    std::map<std::string, SignedAnswer> all() const;

private:
    void loadNothingNewer(const ReleaseStore& store, const Channel& channel, const std::filesystem::path& folder,
        std::vector<std::string>& problems);

    std::map<std::string, std::map<std::string, SignedAnswer>> answers; // by channel, then name
    std::map<std::string, std::map<std::string, SignedAnswer>> nothingNewer; // by channel, then version
    std::string base;
    std::string newest;
    std::string expiry;
};

// Writes the answers for every release of store and for "any", for every channel, signed with
// key and valid until expires, into DIR/signed (made anew: answers of releases and channels
// that are gone are removed). Every file is written whole or not at all. False with error set
// on the first failure.
bool writeSignedAnswers(const ReleaseStore& store, const Channels& channels, const SecretKey& key,
    const std::string& downloadBase, const std::string& issued, const std::string& expires, std::string& error);

// The "nothing newer" answer as signed: installed's own version answer (installed is a release)
// with the channel's terms and "expires".
std::string nothingNewerBody(const ReleaseStore& store, const Channel& channel, std::string_view installed,
    const std::string& downloadBase, const std::string& issued, const std::string& expires);

// The answer as signed: the version answer towards the channel's version with the objects it
// can name, the channel's terms and "expires".
std::string signedAnswerBody(const ReleaseStore& store, const AnswerObjects& objects, const Channel& channel,
    std::string_view installed, const std::string& downloadBase, const std::string& issued, const std::string& expires);
