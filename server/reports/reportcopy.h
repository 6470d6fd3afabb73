#pragma once

// Copies the reports of one reports database into another (SQLite to PostgreSQL, or back),
// pseudonyms as they are, each chunk in one transaction of the destination together with how
// far the copy got ('copied from <SOURCE ID>' in its meta). A copy that stops (killed, a full
// disk) starts again after the last chunk stored, so every report arrives exactly once; reports
// stored in the source since are taken by the next copy. The destination's aggregates are
// kept by its own writes, so its figures are those of the source.
//
// Both must hold pseudonyms of one secret: a destination whose check differs is refused; an
// empty one takes the source's check (the secret itself is a file, copied by whoever moves
// the database).
//
// The source must not be written by a vendor-server meanwhile on PostgreSQL, where reports
// committed out of id order could be passed over; stop its servers first.

#include "reportdatabase.h"

#include <cstdint>
#include <functional>
#include <string>

constexpr std::size_t CopyChunk = 10000;

// progress(copied so far by this call, all to copy at its start) after each chunk.
bool copyReports(ReportDatabase& from, ReportDatabase& to,
    const std::function<void(std::int64_t, std::int64_t)>& progress, std::int64_t& copied, std::string& error);
