#include "halts.h"

#include "reportstore.h"

#include <cstdio>
#include <ctime>

std::vector<DueHalt> dueHalts(const Channels& channels, const std::map<std::string, ReleaseCount>& releases)
{
    std::vector<DueHalt> due;
    for (const Channel& channel : channels.all()) {
        if (!channel.halt) {
            continue;
        }
        // Versions as the clients sent them, which for a release are its folder's name.
        const auto figures = releases.find(channel.release->version);
        if (figures != releases.end() && haltReached(*channel.halt, figures->second.returned, figures->second.took)) {
            due.push_back({ channel.name, channel.release->version, figures->second.returned, figures->second.took });
        }
    }
    return due;
}

std::string haltKey(const std::string& channel, const std::string& version)
{
    return HaltMetaPrefix + channel + " " + version;
}

bool parseHaltKey(const std::string& key, std::string& channel, std::string& version)
{
    const std::string prefix = HaltMetaPrefix;
    if (!key.starts_with(prefix)) {
        return false;
    }
    // A channel's name holds no blank; a version may.
    const std::size_t blank = key.find(' ', prefix.size());
    if (blank == std::string::npos || blank == prefix.size() || blank + 1 == key.size()) {
        return false;
    }
    channel = key.substr(prefix.size(), blank - prefix.size());
    version = key.substr(blank + 1);
    return true;
}

std::optional<std::string> haltTime(const std::string& value)
{
    std::int64_t ignored = 0;
    return parseUtcTimeText(value, ignored) ? std::optional<std::string>(value) : std::nullopt;
}

Halts::Halts(const Channels& channels)
    : channels(channels)
{
}

Halts::~Halts()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

bool Halts::open(const std::string& location, std::string& error)
{
    db = openReportDatabase(location, false, error);
    return db && check(error);
}

void Halts::start()
{
    thread = std::thread([this] { loop(); });
}

void Halts::requestCheck()
{
    {
        std::lock_guard lock(mutex);
        checkWanted = true;
    }
    wake.notify_all();
}

void Halts::loop()
{
    std::unique_lock lock(mutex);
    while (!stopping) {
        wake.wait_for(lock, RefreshInterval, [this] { return stopping || checkWanted; });
        if (stopping) {
            break;
        }
        const bool checking = checkWanted;
        checkWanted = false;
        lock.unlock();
        std::string error;
        if (!(checking ? check(error) : refresh(error))) {
            std::fprintf(stderr, "vendor-server: cannot read the halts from %s: %s\n", db->describe().c_str(),
                error.c_str());
            std::fflush(stderr);
        }
        lock.lock();
    }
}

bool Halts::check(std::string& error)
{
    {
        std::lock_guard lock(dbMutex);
        ReportAggregates aggregates;
        if (!db->readAggregates(0, aggregates, error)) {
            return false;
        }
        const std::string now = utcTimeText(std::int64_t(std::time(nullptr)));
        for (const DueHalt& due : dueHalts(channels, aggregates.releases)) {
            bool added = false;
            if (!db->addMeta(haltKey(due.channel, due.version), now, added, error)) {
                return false;
            }
            // Only the server that wrote the halt logs it; a lifted one is not halted again.
            if (added) {
                std::fprintf(stderr,
                    "vendor-server: channel %s: version %s halted automatically: %lld installations returned from "
                    "it of %lld that took it\n",
                    due.channel.c_str(), due.version.c_str(), static_cast<long long>(due.returned),
                    static_cast<long long>(due.took));
                std::fflush(stderr);
            }
        }
    }
    return refresh(error);
}

bool Halts::refresh(std::string& error)
{
    MetaValues values;
    {
        std::lock_guard lock(dbMutex);
        if (!db->readMetaPrefix(HaltMetaPrefix, values, error)) {
            return false;
        }
    }
    std::map<std::pair<std::string, std::string>, std::string> now;
    for (const auto& [key, value] : values) {
        std::string channel;
        std::string version;
        const std::optional<std::string> since = haltTime(value);
        if (since && parseHaltKey(key, channel, version)) {
            now[{ channel, version }] = *since;
        }
    }
    std::lock_guard lock(mutex);
    halted = std::move(now);
    return true;
}

std::optional<std::string> Halts::haltedSince(const Channel& channel) const
{
    std::lock_guard lock(mutex);
    const auto found = halted.find({ channel.name, channel.release->version });
    return found == halted.end() ? std::nullopt : std::optional<std::string>(found->second);
}

bool liftHalts(const std::string& location, const std::string& channel, std::vector<std::string>& lifted,
    std::string& error)
{
    lifted.clear();
    const std::unique_ptr<ReportDatabase> db = openReportDatabase(location, false, error);
    if (!db) {
        return false;
    }
    MetaValues values;
    if (!db->readMetaPrefix(HaltMetaPrefix + channel + " ", values, error)) {
        error = "cannot read " + db->describe() + ": " + error;
        return false;
    }
    MetaValues changes;
    const std::string now = utcTimeText(std::int64_t(std::time(nullptr)));
    for (const auto& [key, value] : values) {
        std::string named;
        std::string version;
        if (const std::optional<std::string> since = haltTime(value); since && parseHaltKey(key, named, version)) {
            // Kept as lifted rather than removed, so the returns already counted do not halt it again.
            changes.emplace_back(key, "lifted " + now);
            lifted.push_back(version + " halted at " + *since);
        }
    }
    if (!changes.empty() && !db->write({}, changes, error)) {
        error = "cannot write " + db->describe() + ": " + error;
        lifted.clear();
        return false;
    }
    return true;
}
