#include "channels.h"

#include "utctime.h"

#include <json/reader.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxChannelNameBytes = 32;

std::string where(const fs::path& file, const std::string& name)
{
    return file.string() + ": channel \"" + name + "\"";
}

bool readRollout(const Json::Value& value, const std::string& at, Rollout& rollout, std::vector<std::string>& problems)
{
    if (!value.isObject()) {
        problems.push_back(at + ": \"rollout\" is no object with \"start\" and \"days\"");
        return false;
    }
    const Json::Value& start = value["start"];
    if (!start.isString() || !parseUtcTime(start.asString())) {
        problems.push_back(at + ": rollout \"start\" is no UTC time like 2026-12-10T08:00:00Z");
        return false;
    }
    const Json::Value& days = value["days"];
    if (!days.isNumeric() || !(days.asDouble() > 0) || days.asDouble() > MaxRolloutDays) {
        problems.push_back(at + ": rollout \"days\" must be a number above 0 and at most 365");
        return false;
    }
    rollout.start = start.asString();
    rollout.days = days.asDouble();
    return true;
}

bool readHealth(const Json::Value& value, const std::string& at, HealthCheck& health, std::vector<std::string>& problems)
{
    if (!value.isObject()) {
        problems.push_back(at + ": \"health\" is no object with \"timeout\" and \"starts\"");
        return false;
    }
    const auto whole = [&](const char* key, int low, int high, int& out) {
        const Json::Value& number = value[key];
        if (number.isNull()) {
            return true;
        }
        if (!number.isIntegral() || !number.isInt() || number.asInt() < low || number.asInt() > high) {
            problems.push_back(at + ": health \"" + key + "\" must be a whole number from " + std::to_string(low)
                + " to " + std::to_string(high));
            return false;
        }
        out = number.asInt();
        return true;
    };
    return whole("timeout", 1, 3600, health.timeout) && whole("starts", 1, 100, health.starts);
}

bool readHalt(const Json::Value& value, const std::string& at, HaltRule& halt, std::vector<std::string>& problems)
{
    if (!value.isObject()) {
        problems.push_back(at + ": \"halt\" is no object with \"returns\" and, optionally, \"share\"");
        return false;
    }
    const Json::Value& returns = value["returns"];
    if (!returns.isIntegral() || !returns.isInt64() || returns.asInt64() < 1 || returns.asInt64() > MaxHaltReturns) {
        problems.push_back(at + ": halt \"returns\" must be a whole number from 1 to " + std::to_string(MaxHaltReturns));
        return false;
    }
    halt.returns = returns.asInt64();
    if (value.isMember("share")) {
        const Json::Value& share = value["share"];
        if (!share.isNumeric() || !(share.asDouble() > 0) || share.asDouble() > 1) {
            problems.push_back(at + ": halt \"share\" must be a number above 0 and at most 1");
            return false;
        }
        halt.share = share.asDouble();
    }
    return true;
}

} // namespace

bool haltReached(const HaltRule& rule, std::int64_t returned, std::int64_t took)
{
    if (returned < rule.returns) {
        return false;
    }
    // took counts every installation that returned, so it is never 0 here.
    return !rule.share || double(returned) >= *rule.share * double(took);
}

bool isChannelName(std::string_view name)
{
    if (name.empty() || name.size() > MaxChannelNameBytes) {
        return false;
    }
    const auto lowerOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    return lowerOrDigit(name.front()) && std::all_of(name.begin(), name.end(), [&](char c) {
        return lowerOrDigit(c) || c == '.' || c == '_' || c == '-';
    });
}

bool Channels::load(const ReleaseStore& store, std::vector<std::string>& problems)
{
    channels.clear();
    const fs::path file = store.root() / ChannelsFileName;
    std::error_code error;
    if (!fs::exists(file, error)) {
        channels.push_back(Channel { StableChannel, &store.newest(), std::nullopt, std::nullopt, std::nullopt });
        return true;
    }
    std::ifstream stream(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (!stream && !stream.eof()) {
        problems.push_back("cannot read " + file.string());
        return false;
    }
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value document;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &document, &errors) || !document.isObject()) {
        problems.push_back(file.string() + " is no JSON object of channels");
        return false;
    }
    const std::size_t problemsBefore = problems.size();
    for (const std::string& name : document.getMemberNames()) {
        const std::string at = where(file, name);
        if (!isChannelName(name)) {
            problems.push_back(at + ": a channel's name is 1 to 32 of a-z, 0-9, \".\", \"_\", \"-\", starting with a letter or digit");
            continue;
        }
        const Json::Value& entry = document[name];
        const Json::Value& version = entry.isObject() ? entry["version"] : Json::Value();
        if (!version.isString()) {
            problems.push_back(at + " names no \"version\"");
            continue;
        }
        Channel channel { name, store.releaseNamed(version.asString()), std::nullopt, std::nullopt, std::nullopt };
        if (!channel.release) {
            problems.push_back(at + ": version " + version.asString() + " is no release of " + store.root().string());
            continue;
        }
        if (entry.isMember("rollout")) {
            Rollout rollout;
            if (!readRollout(entry["rollout"], at, rollout, problems)) {
                continue;
            }
            channel.rollout = rollout;
        }
        if (entry.isMember("health")) {
            HealthCheck health;
            if (!readHealth(entry["health"], at, health, problems)) {
                continue;
            }
            channel.health = health;
        }
        if (entry.isMember("halt")) {
            HaltRule halt;
            if (!readHalt(entry["halt"], at, halt, problems)) {
                continue;
            }
            channel.halt = halt;
        }
        channels.push_back(std::move(channel));
    }
    if (problems.size() == problemsBefore && !find(StableChannel)) {
        problems.push_back(file.string() + " has no \"stable\" channel, the one of installations that name none");
    }
    if (problems.size() != problemsBefore) {
        channels.clear();
        return false;
    }
    return true;
}

const Channel* Channels::find(std::string_view name) const
{
    const auto found = std::find_if(
        channels.begin(), channels.end(), [&](const Channel& channel) { return channel.name == name; });
    return found == channels.end() ? nullptr : &*found;
}

void addChannelTerms(Json::Value& answer, const Channel& channel)
{
    answer["channel"] = channel.name;
    if (channel.rollout) {
        Json::Value rollout(Json::objectValue);
        rollout["start"] = channel.rollout->start;
        const double days = channel.rollout->days;
        // Whole days as the vendor wrote them ("days": 7), not as 7.0.
        rollout["days"] = std::floor(days) == days ? Json::Value(Json::Int64(days)) : Json::Value(days);
        answer["rollout"] = rollout;
    }
    if (channel.health) {
        Json::Value health(Json::objectValue);
        health["timeout"] = channel.health->timeout;
        health["starts"] = channel.health->starts;
        answer["health"] = health;
    }
}
