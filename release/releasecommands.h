#pragma once

// The commands of orbisnap-release:
//
//   keygen --secret FILE                     a new signing key; FILE must not exist (written
//                                            mode 0600); prints the public key in the form
//                                            ORBISNAP_RELEASE_PUBLIC_KEYS takes
//   sign --releases DIR --secret FILE        size and SHA-256 of every file of every release,
//        [--base URL] [--issued TIME]        and one signed answer per release (and one for
//        [--expires-in DAYS]                 unknown versions) and channel (channels.json) into
//                                            DIR/signed, valid for DAYS (default 30) from the
//                                            time of issue; the download base defaults to the
//                                            compiled-in server's /releases
//   verify --releases DIR --public KEY[,KEY] checks that DIR/signed matches the releases and
//                                            that every answer is signed by one of the keys
//   pack --releases DIR [--from N]           compressed copies of the newest release's files and
//                                            patches to them from the N (default 3) newest older
//                                            releases into DIR/objects (see pack.h)
//
// Each command writes what it did to out and every problem to err, and answers the exit code:
// 0 done, 1 failed, 2 bad command line.

#include <iosfwd>

int runReleaseCommand(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
