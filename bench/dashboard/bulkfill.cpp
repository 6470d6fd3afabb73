#include "bulkfill.h"

#include "reportdatabase.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

namespace {

// splitmix64: the same numbers in every pass, so each table is written in a pass of its own.
struct Random
{
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double unit() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
};

Pseudonym pseudonymOf(std::int64_t installation, std::uint64_t field)
{
    Random random { std::uint64_t(installation) * 3 + field };
    Pseudonym out {};
    for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t word = random.next();
        for (std::size_t b = 0; b < 8; ++b) {
            out[i + b] = std::uint8_t(word >> (8 * b));
        }
    }
    return out;
}

struct Row
{
    std::int64_t time;
    std::int64_t installation; // from 1
    int release;
    int state;
};

class Model
{
public:
    explicit Model(const BulkModel& model)
        : model(model)
        , lag(std::size_t(model.installations))
    {
        Random random { 20261208 };
        for (float& days : lag) {
            days = float(-std::log(1.0 - random.unit()) * 6.0);
        }
    }

    // Every report in time order, one a day at most per installation.
    void forEach(const std::function<void(const Row&)>& take) const
    {
        Random random { 42 };
        const double chance = double(model.reports) / (double(model.days) * double(model.installations));
        const std::int64_t firstDay = model.now / 86400 - model.days + 1;
        std::int64_t made = 0;
        for (int day = 0; day < model.days; ++day) {
            for (std::int64_t i = 0; i < model.installations && made < model.reports; ++i) {
                if (random.unit() >= chance) {
                    continue;
                }
                int release = 0;
                for (std::size_t r = 0; r < model.releases.size(); ++r) {
                    if (double(day) >= double(r) * 15.0 + double(lag[std::size_t(i)])) {
                        release = int(r);
                    }
                }
                const std::uint64_t bits = random.next();
                take({ (firstDay + day) * 86400 + std::int64_t(bits % 86400), i + 1, release, int((bits >> 32) % 4) });
                ++made;
            }
        }
    }

    const BulkModel& model;
    std::vector<float> lag;
};

struct Totals
{
    std::map<std::pair<std::int64_t, int>, std::int64_t> dayVersions;
    std::map<std::pair<std::int64_t, int>, std::int64_t> lastDayVersions;
    std::map<std::pair<std::int64_t, int>, std::pair<std::int64_t, std::int64_t>> dayStates;
    std::vector<std::int64_t> firstTime;
    std::vector<std::int64_t> lastTime;
    std::vector<std::uint8_t> lastRelease;
};

Totals totalsOf(const Model& model, std::int64_t& count)
{
    Totals totals;
    const std::size_t n = std::size_t(model.model.installations);
    totals.firstTime.assign(n, INT64_MIN);
    totals.lastTime.assign(n, INT64_MIN);
    totals.lastRelease.assign(n, 0);
    count = 0;
    model.forEach([&](const Row& row) {
        const std::int64_t day = reportDay(row.time);
        ++totals.dayVersions[{ day, row.release }];
        auto& state = totals.dayStates[{ day, row.state }];
        ++state.first;
        state.second = std::max(state.second, row.time);
        const std::size_t i = std::size_t(row.installation - 1);
        if (totals.firstTime[i] == INT64_MIN) {
            totals.firstTime[i] = row.time;
        }
        totals.lastTime[i] = row.time;
        totals.lastRelease[i] = std::uint8_t(row.release);
        ++count;
    });
    for (std::size_t i = 0; i < n; ++i) {
        if (totals.lastTime[i] != INT64_MIN) {
            ++totals.lastDayVersions[{ reportDay(totals.lastTime[i]), totals.lastRelease[i] }];
        }
    }
    return totals;
}

void progress(const char* what, std::int64_t done, std::int64_t all)
{
    if (done % 1000000 == 0 || done == all) {
        std::printf("\r  %-18s %lld of %lld", what, (long long)done, (long long)all);
        std::fflush(stdout);
        if (done == all) {
            std::printf("\n");
        }
    }
}

bool fillSqlite(const std::string& file, const Model& model, const Totals& totals, std::int64_t count, std::string& error)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        sqlite3_close(db);
        return false;
    }
    const auto exec = [&](const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
    // No journal and no sync while filling: the file is made new, and made again if this fails.
    bool ok = exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-1000000; BEGIN");
    const auto insert = [&](const char* sql, const std::function<bool(sqlite3_stmt*)>& rows) {
        sqlite3_stmt* statement = nullptr;
        ok = ok && sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && rows(statement);
        sqlite3_finalize(statement);
    };
    const auto step = [&](sqlite3_stmt* statement) {
        const bool done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
        return done;
    };
    const std::vector<std::string>& releases = model.model.releases;
    insert("INSERT INTO reports(time, installation, version, state) VALUES(?1, ?2, ?3, ?4)", [&](sqlite3_stmt* s) {
        bool good = true;
        std::int64_t done = 0;
        model.forEach([&](const Row& row) {
            sqlite3_bind_int64(s, 1, row.time);
            sqlite3_bind_int64(s, 2, row.installation);
            sqlite3_bind_text(s, 3, releases[std::size_t(row.release)].c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(s, 4, row.state);
            good = good && step(s);
            progress("reports", ++done, count);
        });
        return good;
    });
    insert("INSERT INTO installationDays(day, installation, version, time) VALUES(?1, ?2, ?3, ?4)", [&](sqlite3_stmt* s) {
        bool good = true;
        std::int64_t done = 0;
        model.forEach([&](const Row& row) {
            sqlite3_bind_int64(s, 1, reportDay(row.time));
            sqlite3_bind_int64(s, 2, row.installation);
            sqlite3_bind_text(s, 3, releases[std::size_t(row.release)].c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(s, 4, row.time);
            good = good && step(s);
            progress("installation days", ++done, count);
        });
        return good;
    });
    insert("INSERT INTO installations(id, mac, computerName, userName, firstTime, lastTime, lastDay, lastVersion) "
           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
        [&](sqlite3_stmt* s) {
            bool good = true;
            const std::int64_t n = model.model.installations;
            for (std::int64_t i = 0; i < n && good; ++i) {
                if (totals.lastTime[std::size_t(i)] == INT64_MIN) {
                    continue;
                }
                sqlite3_bind_int64(s, 1, i + 1);
                for (int field = 0; field < 3; ++field) {
                    const Pseudonym p = pseudonymOf(i + 1, std::uint64_t(field));
                    sqlite3_bind_blob(s, 2 + field, p.data(), int(p.size()), SQLITE_TRANSIENT);
                }
                sqlite3_bind_int64(s, 5, totals.firstTime[std::size_t(i)]);
                sqlite3_bind_int64(s, 6, totals.lastTime[std::size_t(i)]);
                sqlite3_bind_int64(s, 7, reportDay(totals.lastTime[std::size_t(i)]));
                sqlite3_bind_text(s, 8, releases[totals.lastRelease[std::size_t(i)]].c_str(), -1, SQLITE_STATIC);
                good = step(s);
                progress("installations", i + 1, n);
            }
            return good;
        });
    const auto counts = [&](const char* sql, const std::map<std::pair<std::int64_t, int>, std::int64_t>& by) {
        insert(sql, [&](sqlite3_stmt* s) {
            bool good = true;
            for (const auto& [key, n] : by) {
                sqlite3_bind_int64(s, 1, key.first);
                sqlite3_bind_text(s, 2, releases[std::size_t(key.second)].c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_int64(s, 3, n);
                good = good && step(s);
            }
            return good;
        });
    };
    counts("INSERT INTO dayVersions(day, version, installations) VALUES(?1, ?2, ?3)", totals.dayVersions);
    counts("INSERT INTO lastDayVersions(day, version, installations) VALUES(?1, ?2, ?3)", totals.lastDayVersions);
    insert("INSERT INTO dayStates(day, state, reports, lastTime) VALUES(?1, ?2, ?3, ?4)", [&](sqlite3_stmt* s) {
        bool good = true;
        for (const auto& [key, n] : totals.dayStates) {
            sqlite3_bind_int64(s, 1, key.first);
            sqlite3_bind_int64(s, 2, key.second);
            sqlite3_bind_int64(s, 3, n.first);
            sqlite3_bind_int64(s, 4, n.second);
            good = good && step(s);
        }
        return good;
    });
    ok = ok && exec("COMMIT") && exec("PRAGMA journal_mode=WAL");
    if (!ok) {
        error = sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return ok;
}

bool fillPostgres(const std::string& url, const Model& model, const Totals& totals, std::int64_t count, std::string& error)
{
    PGconn* connection = PQconnectdb(url.c_str());
    const auto failed = [&] {
        error = PQerrorMessage(connection);
        PQfinish(connection);
        return false;
    };
    if (PQstatus(connection) != CONNECTION_OK) {
        return failed();
    }
    const auto exec = [&](const std::string& sql) {
        PGresult* result = PQexec(connection, sql.c_str());
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
        PQclear(result);
        return ok;
    };
    const auto copy = [&](const std::string& sql, const std::function<void(std::string&, const std::function<void()>&)>& rows) {
        PGresult* result = PQexec(connection, sql.c_str());
        const bool started = PQresultStatus(result) == PGRES_COPY_IN;
        PQclear(result);
        if (!started) {
            return false;
        }
        std::string buffer;
        bool good = true;
        rows(buffer, [&] {
            if (buffer.size() > (1 << 20)) {
                good = good && PQputCopyData(connection, buffer.data(), int(buffer.size())) == 1;
                buffer.clear();
            }
        });
        good = good && (buffer.empty() || PQputCopyData(connection, buffer.data(), int(buffer.size())) == 1)
            && PQputCopyEnd(connection, nullptr) == 1;
        result = PQgetResult(connection);
        good = good && PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
        while ((result = PQgetResult(connection)) != nullptr) {
            PQclear(result);
        }
        return good;
    };
    const std::vector<std::string>& releases = model.model.releases;
    const auto hex = [](const Pseudonym& p) {
        static const char digits[] = "0123456789abcdef";
        std::string out = "\\\\x";
        for (const std::uint8_t b : p) {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    };
    bool ok = exec("SET synchronous_commit = off") && exec("BEGIN")
        && copy("COPY reports(time, installation, version, state) FROM STDIN", [&](std::string& out, const auto& flush) {
               std::int64_t done = 0;
               model.forEach([&](const Row& row) {
                   out += std::to_string(row.time) + '\t' + std::to_string(row.installation) + '\t'
                       + releases[std::size_t(row.release)] + '\t' + std::to_string(row.state) + '\n';
                   flush();
                   progress("reports", ++done, count);
               });
           })
        && copy("COPY installationDays(day, installation, version, time) FROM STDIN", [&](std::string& out, const auto& flush) {
               std::int64_t done = 0;
               model.forEach([&](const Row& row) {
                   out += std::to_string(reportDay(row.time)) + '\t' + std::to_string(row.installation) + '\t'
                       + releases[std::size_t(row.release)] + '\t' + std::to_string(row.time) + '\n';
                   flush();
                   progress("installation days", ++done, count);
               });
           })
        && copy("COPY installations(id, mac, computerName, userName, firstTime, lastTime, lastDay, lastVersion) FROM STDIN",
            [&](std::string& out, const auto& flush) {
                const std::int64_t n = model.model.installations;
                for (std::int64_t i = 0; i < n; ++i) {
                    const std::size_t at = std::size_t(i);
                    if (totals.lastTime[at] != INT64_MIN) {
                        out += std::to_string(i + 1) + '\t' + hex(pseudonymOf(i + 1, 0)) + '\t' + hex(pseudonymOf(i + 1, 1))
                            + '\t' + hex(pseudonymOf(i + 1, 2)) + '\t' + std::to_string(totals.firstTime[at]) + '\t'
                            + std::to_string(totals.lastTime[at]) + '\t' + std::to_string(reportDay(totals.lastTime[at]))
                            + '\t' + releases[totals.lastRelease[at]] + '\n';
                        flush();
                    }
                    progress("installations", i + 1, n);
                }
            })
        && exec("SELECT setval(pg_get_serial_sequence('installations', 'id'), (SELECT max(id) FROM installations))");
    for (const auto& [table, by] : { std::pair { "dayVersions", &totals.dayVersions }, std::pair { "lastDayVersions", &totals.lastDayVersions } }) {
        for (const auto& [key, n] : *by) {
            ok = ok
                && exec(std::string("INSERT INTO ") + table + "(day, version, installations) VALUES(" + std::to_string(key.first)
                    + ", '" + releases[std::size_t(key.second)] + "', " + std::to_string(n) + ")");
        }
    }
    for (const auto& [key, n] : totals.dayStates) {
        ok = ok
            && exec("INSERT INTO dayStates(day, state, reports, lastTime) VALUES(" + std::to_string(key.first) + ", "
                + std::to_string(key.second) + ", " + std::to_string(n.first) + ", " + std::to_string(n.second) + ")");
    }
    ok = ok && exec("COMMIT") && exec("ANALYZE");
    if (!ok) {
        return failed();
    }
    PQfinish(connection);
    return true;
}

} // namespace

bool bulkFill(const std::string& location, const BulkModel& bulk, std::int64_t& stored, std::string& error)
{
    const Model model(bulk);
    const Totals totals = totalsOf(model, stored);
    return isPostgresLocation(location) ? fillPostgres(location, model, totals, stored, error)
                                        : fillSqlite(location, model, totals, stored, error);
}
