#pragma once

// The objects of a releases directory, as the version answers advertise them:
//
//   DIR/objects/SHA256.zst        a compressed copy of the file whose SHA-256 is SHA256
//   DIR/objects/FROM-TO.patch     a patch from the file FROM to the file TO
//
// (names from objectnames.h; `orbisnap-release pack` makes them). Read once, like the
// releases: every regular file with an object's name is hashed, anything else there (a file
// being written, a symbolic link) is passed over. An answer then gains, for each file to fetch
// whose objects exist,
//
//   "u"/"n" element  "packed": {"size": N, "sha256": H}              the .zst object's own bytes
//   "u" element      "patch": {"from": H0, "size": N, "sha256": H}   the patch from the installed
//                                                                    version's file H0
//   document         "objects": BASE/objects                         where they are fetched
//
// "objects" only when the answer names an object, so a releases directory without objects
// gives the answers it always gave. A peer that ignores the members fetches the raw files.

#include "releasestore.h"
#include "sha256.h"

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct ObjectFile
{
    std::filesystem::path source;
    std::int64_t size = 0;
    Sha256Digest sha256 {};
    std::filesystem::file_time_type modified {}; // taken just before it was hashed
};

class AnswerObjects
{
public:
    // Reads DIR/objects; no folder is no objects. False when one cannot be read, with problems
    // naming it.
    bool load(const std::filesystem::path& releasesDir, std::vector<std::string>& problems);

    // The object of that name (as objectnames.h makes it); null when there is none.
    const ObjectFile* find(const std::string& name) const;
    // Every object, by name.
    const std::map<std::string, ObjectFile>& all() const { return objects; }
    bool empty() const { return objects.empty(); }

    // Adds the members above to answer (a version answer for installed with download base
    // downloadBase) and answers it.
    Json::Value addTo(Json::Value answer, const ReleaseStore& store, std::string_view installed,
        const std::string& downloadBase) const;

private:
    std::map<std::string, ObjectFile> objects;
};

// The URL the objects of download base downloadBase are fetched from: its sibling "objects".
std::string objectsUrl(const std::string& downloadBase);
