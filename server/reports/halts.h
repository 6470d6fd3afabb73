#pragma once

// Releases halted automatically: a channel with a "halt" rule (channels.h) stops offering its
// version V once the installations that returned from V meet the rule. The halt is kept in
// the reports database's meta table, so it outlasts a restart and every vendor-server on one
// PostgreSQL database sees it:
//
//   'halt CHANNEL VERSION'   "2026-12-09T06:00:00Z"               halted then (UTC)
//                            "lifted 2026-12-09T07:00:00Z"        lifted by the vendor then
//
// A key is written once (the first server to find the rule met writes it and logs it); a
// lifted halt stays lifted for that version, however many more returns are reported. A halt
// is of V only: once the channel names another version it no longer applies.
//
// The rule is checked at start and after each stored batch that holds a return (state 4),
// never while answering a version request; the halts are read again every RefreshInterval
// so that another server's halt is seen within seconds.

#include "channels.h"
#include "reportdatabase.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A halt the figures call for: channel's version returned from by returned of took.
struct DueHalt
{
    std::string channel;
    std::string version;
    std::int64_t returned = 0;
    std::int64_t took = 0;
};

// The halts releases (by version as reported) call for on channels' versions, in channel order.
std::vector<DueHalt> dueHalts(const Channels& channels, const std::map<std::string, ReleaseCount>& releases);

// The meta key of a halt, and back (false when key is no halt's).
std::string haltKey(const std::string& channel, const std::string& version);
bool parseHaltKey(const std::string& key, std::string& channel, std::string& version);
// The time of a halt that is in force: a value that is a UTC time, not "lifted ...".
std::optional<std::string> haltTime(const std::string& value);

class Halts
{
public:
    static constexpr std::chrono::seconds RefreshInterval { 2 };

    explicit Halts(const Channels& channels);
    Halts(const Halts&) = delete;
    Halts& operator=(const Halts&) = delete;
    ~Halts();

    // Opens a connection of its own to the reports database at location (which ReportStore
    // has already made or brought up to date), reads the halts and checks the rule once.
    bool open(const std::string& location, std::string& error);

    // Starts the thread that checks on request and reads the halts again periodically.
    void start();
    // Asks that thread to check the rule now; returns at once.
    void requestCheck();

    // Reads the figures, records and logs every halt newly due; then reads the halts.
    bool check(std::string& error);
    // Reads the halts in force.
    bool refresh(std::string& error);

    // When channel's current version was halted (UTC text); nullopt when it is not.
    std::optional<std::string> haltedSince(const Channel& channel) const;

private:
    void loop();

    const Channels& channels;
    std::unique_ptr<ReportDatabase> db;
    std::mutex dbMutex;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::map<std::pair<std::string, std::string>, std::string> halted; // (channel, version) -> time
    bool checkWanted = false;
    bool stopping = false;
    std::thread thread;
};

// Lifts the halts in force on channel in the reports database at location, naming each in
// lifted ("VERSION halted at TIME"). False with error when the database cannot be used.
bool liftHalts(const std::string& location, const std::string& channel, std::vector<std::string>& lifted,
    std::string& error);
