#pragma once

// The commands of orbisnap-release that sign by roles (publish/roledocuments.h):
//
//   keys --releases DIR --root-secret FILE [--root-secret FILE ...] --release PUB[,PUB...]
//        --online PUB[,PUB...] [--root PUB,...] [--threshold ROLE=N ...] [--expires-in DAYS]
//        writes the next key document into DIR/signed (version 1 when there is none), valid
//        for DAYS (default 365). The root keys are --root's, else those of the document before,
//        else the public halves of the root secrets; a threshold not given is the one before
//        (1 for a new role). It must be signed by the threshold of its own root keys and of
//        the root keys of the document before: a new root is announced by both.
//
// With DIR/signed/keys.json, `sign` signs each release's manifest and the channel assignment
// with its --secret keys, which must be release keys and meet the release threshold, and
// `verify` checks the key chain, the manifests of the channels' versions and the assignment.

#include "channels.h"
#include "releasestore.h"

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

using CommandOptions = std::map<std::string, std::vector<std::string>>;

int runKeysCommand(const CommandOptions& options, std::ostream& out, std::ostream& err);
int signByRoles(const ReleaseStore& store, const std::vector<std::string>& secretFiles, std::ostream& out,
    std::ostream& err);
// True when the chain and role documents verify; every problem to err.
bool verifyByRoles(const ReleaseStore& store, const Channels& channels, std::ostream& out, std::ostream& err);
