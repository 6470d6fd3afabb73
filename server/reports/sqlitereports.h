#pragma once

// The reports database as an SQLite file (reportdatabase.h), in WAL mode: the dashboard reads
// while reports are written, and a commit is one sequential append, synced (synchronous=FULL)
// before write() answers. A database locked by another process for longer than BusyTimeoutMs
// fails the write, which then leaves nothing of itself.

#include "reportdatabase.h"

#include <array>
#include <filesystem>

struct sqlite3;
struct sqlite3_stmt;

class SqliteReports final : public ReportDatabase
{
public:
    static constexpr int BusyTimeoutMs = 1000;

    SqliteReports() = default;
    SqliteReports(const SqliteReports&) = delete;
    SqliteReports& operator=(const SqliteReports&) = delete;
    ~SqliteReports() override;

    // Refuses a symlink or anything but a regular file; readOnly opens an existing file only.
    bool open(const std::filesystem::path& path, bool readOnly, std::string& error);

    std::string describe() const override;
    std::string file() const override { return databasePath.string(); }
    bool readMeta(const std::string& key, std::optional<std::string>& value, std::string& error) override;
    bool readMetaPrefix(const std::string& prefix, MetaValues& values, std::string& error) override;
    bool addMeta(const std::string& key, const std::string& value, bool& added, std::string& error) override;
    bool readAggregates(std::int64_t firstDay, ReportAggregates& out, std::string& error) override;
    bool readReports(std::int64_t after, std::size_t limit,
        std::vector<std::pair<std::int64_t, PseudonymousReport>>& out, std::string& error) override;
    bool countReports(std::int64_t after, std::int64_t& count, std::string& error) override;
    void setDurable(bool durable) override;

    enum Statement {
        InsertInstallation,
        SelectInstallation,
        UpdateInstallation,
        SelectDay,
        UpsertDay,
        InsertReport,
        CountVersion,
        CountLatest,
        CountState,
        ReadMeta,
        WriteMeta,
        SelectRelease,
        UpsertRelease,
        CountRelease,
        ReadMetaPrefix,
        AddMeta,
        StatementCount
    };

protected:
    bool begin(std::string& error) override;
    bool commit(std::string& error) override;
    void rollback() override;
    bool lockInstallations(BatchChanges& changes, std::string& error) override;
    bool readDays(BatchChanges& changes, std::string& error) override;
    bool readReleases(BatchChanges& changes, std::string& error) override;
    bool writeChanges(const BatchChanges& changes, std::string& error) override;
    bool writeMeta(const MetaValues& meta, std::string& error) override;

private:
    bool exec(const char* sql, std::string& error);
    bool createOrMigrate(std::string& error);
    std::string failed() const;

    std::filesystem::path databasePath;
    sqlite3* db = nullptr;
    std::array<sqlite3_stmt*, StatementCount> statements {};
};
