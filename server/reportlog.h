#pragma once

// The usage reports file: one JSON document per line, appended, never rewritten. Each append
// is one write(2) on a descriptor opened with O_APPEND, so concurrent requests (and another
// process appending to the same file) never interleave within a line. A record is synced
// before it counts as stored; one that could not be written whole (a full disk) is cut off
// again, so the file never holds a broken line.

#include <filesystem>
#include <mutex>
#include <string>

class ReportLog
{
public:
    ReportLog() = default;
    ReportLog(const ReportLog&) = delete;
    ReportLog& operator=(const ReportLog&) = delete;
    ~ReportLog();

    // Opens (creating when missing) path for appending; a symlink is refused. False with error
    // set when it cannot.
    bool open(const std::filesystem::path& path, std::string& error);
    // Appends line and a line feed and syncs; false (errno set) when not all of it could be
    // written and synced, and then nothing of it stays in the file.
    bool append(const std::string& line);

    const std::filesystem::path& path() const { return filePath; }

private:
    std::filesystem::path filePath;
    int descriptor = -1;
    std::mutex mutex;
};
