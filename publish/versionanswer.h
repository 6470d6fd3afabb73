#pragma once

// The version answer: what an installation of one version needs to become the newest release.
//
//   { "version": NEWEST, "path": BASE/NEWEST,
//     "installed": INSTALLED,                   the version asked about; "*" for any version
//                                               the releases do not hold
//     "issued": "2026-12-08T10:00:00Z",         when the answer was made (UTC)
//     "u": [ {"file": P, "size": BYTES, "sha256": HEX}, ... ],   changed files
//     "d": [ {"file": P}, ... ],                                 dropped files
//     "n": [ {"file": P, "size": BYTES, "sha256": HEX}, ... ] }  new files
//
// Each list is sorted by bytes; size and SHA-256 are those of the newest release's file. An
// older client ignores the members it does not know.

#include "releasestore.h"

#include <json/value.h>

#include <string>
#include <string_view>

// The "installed" of the answer for versions the releases do not hold.
inline constexpr char AnyInstalledVersion[] = "*";

// The answer for installed (a version name or AnyInstalledVersion). An installed version that
// is the newest or newer gets the newest version with empty lists; one the releases do not
// hold gets every file of the newest in "n".
Json::Value versionAnswer(const ReleaseStore& store, std::string_view installed, const std::string& downloadBase,
    const std::string& issued);

// The same, taking the installation to target (one of store's releases) rather than the
// newest: a channel's version. An installed version that is target or newer gets target's
// version with empty lists.
Json::Value versionAnswer(const ReleaseStore& store, std::string_view installed, const Release& target,
    const std::string& downloadBase, const std::string& issued);

// Whether installed is the newest release or newer, i.e. has nothing to fetch.
bool isUpToDate(const ReleaseStore& store, std::string_view installed);
// Whether installed is target or newer.
bool isUpToDate(const ReleaseStore& store, std::string_view installed, const Release& target);

// The answer's bytes as sent and signed: compact JSON, UTF-8 as it is.
std::string answerBody(const Json::Value& answer);

// The current time as UTC ISO 8601, to the second ("2026-12-08T10:00:00Z").
std::string utcNow();
