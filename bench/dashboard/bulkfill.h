#pragma once

// Fills a reports database straight in the store's schema (reportdatabase.h), without the
// store's per-report work: tens of millions of synthetic reports in minutes, for timing the
// dashboard at a large vendor's size. The model: installations report on a day with the
// chance that gives the number of reports asked for, one report a day at most; releases come
// every 15 days and each installation takes one after a delay of its own.

#include <cstdint>
#include <string>
#include <vector>

struct BulkModel
{
    std::int64_t installations = 0;
    std::int64_t reports = 0;
    int days = 90;
    std::int64_t now = 0; // the last day is now's
    std::vector<std::string> releases;
};

// location: an SQLite file or a postgresql:// URL whose database the store has just created
// (schema, secret check) and which holds no reports yet. Prints progress; false with error.
bool bulkFill(const std::string& location, const BulkModel& model, std::int64_t& stored, std::string& error);
