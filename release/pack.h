#pragma once

// orbisnap-release pack: the objects the updater fetches instead of whole files (see
// delta/objectnames.h for their names, delta/patchformat.h for a patch's bytes):
//
//   DIR/objects/SHA256.zst       for each file of the newest release
//   DIR/objects/FROM-TO.patch    for each of the `fromReleases` newest older releases and each
//                                file at the same path that changed, kept only where it takes
//                                at most 90% of the compressed copy's bytes
//
// Objects never change once written: each is written to a hidden temporary name, made durable,
// decoded again and compared with the file it stands for (size and SHA-256), and only then
// renamed to its name. An object already there is decoded the same way and reused when whole,
// else made again. Objects of files no longer in a release stay (an answer given earlier may
// still name them). One pack at a time per releases directory: a start removes the temporary
// files a killed run left.
//
// The work is spread over the machine's cores, one file at a time per core. Prints one line per
// file of the newest release: its raw size, its compressed copy's, and per older release the
// patch's size, "same" (unchanged), "new" (no such path there) or "N dropped" (a patch not kept).

#include <iosfwd>

class ReleaseStore;

// Exit code: 0 when every object is in place, 1 when one could not be made.
int packObjects(const ReleaseStore& store, unsigned fromReleases, std::ostream& out, std::ostream& err);
