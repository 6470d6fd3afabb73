#pragma once

// The usage reports file: one JSON document per line, appended, never rewritten. Each append
// is one write(2) on a descriptor opened with O_APPEND, so concurrent requests (and another
// process appending to the same file) never interleave within a line.

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
    // Appends line and a line feed; false when not all of it was written.
    bool append(const std::string& line);

    const std::filesystem::path& path() const { return filePath; }

private:
    std::filesystem::path filePath;
    int descriptor = -1;
    std::mutex mutex;
};
