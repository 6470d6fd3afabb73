#pragma once

// The release channels of a releases directory, DIR/channels.json (optional):
//
//   { "stable": { "version": "1.0.4" },
//     "beta":   { "version": "1.1.0",
//                 "rollout": { "start": "2026-12-10T08:00:00Z", "days": 7 } } }
//
// Each member names a channel and the release (a version folder of DIR, by its exact name) its
// installations are taken to, which need not be the newest. "rollout" spreads the offer over
// "days" days from "start" (UTC): each installation takes the release from start + f x days
// on, f being its own fraction in [0, 1) (see rolloutfraction.h); it travels in the answer.
// Halting a release is setting the channel back to the previous version. "health":
// {"timeout": SECONDS, "starts": N} (both optional: 60 and 3) asks installations to check
// that the new version starts, and to return to the previous one when it does not; it
// travels in the answer too. "halt": {"returns": N} or {"returns": N, "share": S} halts the
// channel's version automatically once N installations returned from it (and, with "share",
// also at least S of those that took it did): vendor-server then offers it to no installation
// (halts.h). It stays on the server; answers carry nothing of it.
//
// A channel's name goes into the request's URL and into a folder name of the signed answers,
// so it is 1 to 32 of a-z, 0-9, ".", "_", "-", starting with a letter or digit. "stable", the
// channel of every installation that names none, must be there. Without the file there is one
// channel, "stable", whose version is the newest release.

#include "releasestore.h"
#include "rolloutfraction.h"

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char StableChannel[] = "stable";
inline constexpr char ChannelsFileName[] = "channels.json";

struct Rollout
{
    std::string start; // UTC, "2026-12-10T08:00:00Z"
    double days = 0;   // above 0, at most MaxRolloutDays
};

struct HealthCheck
{
    int timeout = 60; // seconds, 1 to 3600
    int starts = 3;   // unconfirmed starts before a return, 1 to 100
};

struct HaltRule
{
    std::int64_t returns = 0;   // installations returned from the version, 1 to MaxHaltReturns
    std::optional<double> share; // of those that took it, above 0 and at most 1
};

inline constexpr std::int64_t MaxHaltReturns = 1000000000;

// Whether returned of took installations meet rule.
bool haltReached(const HaltRule& rule, std::int64_t returned, std::int64_t took);

struct Channel
{
    std::string name;
    const Release* release = nullptr; // the version the channel takes installations to
    std::optional<Rollout> rollout;
    std::optional<HealthCheck> health;
    std::optional<HaltRule> halt;
};

class Channels
{
public:
    // Reads DIR/channels.json of store (which must outlive this). False with problems naming
    // every fault: no JSON object, a bad channel name, an unknown version, a bad rollout.
    bool load(const ReleaseStore& store, std::vector<std::string>& problems);

    // Sorted by name; never empty after a successful load.
    const std::vector<Channel>& all() const { return channels; }
    // Null for a name no channel has.
    const Channel* find(std::string_view name) const;

private:
    std::vector<Channel> channels;
};

// Whether name can name a channel.
bool isChannelName(std::string_view name);

// Adds the channel's members to an answer: "channel", and "rollout" and "health" when it has
// them.
void addChannelTerms(Json::Value& answer, const Channel& channel);
