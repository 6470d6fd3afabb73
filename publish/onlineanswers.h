#pragma once

// The online side of signing by roles: vendor-server makes each version answer from the
// releases, adds the key documents, the manifest of the release it names and the channel
// assignment (roledocuments.h, as signed offline), and signs the body with the online key
// for a short time (see Common/roleanswer.h for what a host checks). The online key cannot
// change what gets installed: the manifests and the assignment are signed by release keys,
// which the server never holds.

#include "channels.h"
#include "keydocument.h"
#include "releasekey.h"
#include "releasestore.h"
#include "signedanswers.h"

#include <json/value.h>

#include <QDateTime>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

class OnlineSigning
{
public:
    // Reads the online key and DIR/signed's key documents, manifests (of every channel's
    // version) and channel assignment, and checks them: the chain whole and not expired, the
    // key an online key of its newest document, each manifest and the assignment signed by
    // the release threshold and matching the releases and channels.json as they are. False
    // with problems naming each fault.
    bool load(const ReleaseStore& store, const Channels& channels, const std::filesystem::path& secretFile,
        std::vector<std::string>& problems);

    // answer (a version answer towards version, with "expires") with the key documents, the
    // manifest and the assignment added, and signed.
    SignedAnswer sign(Json::Value answer, const std::string& version) const;

    const KeyDocument& keys() const { return newest; }

private:
    SecretKey key;
    KeyDocument newest;
    Json::Value chain;
    std::map<std::string, Json::Value> manifests;
    Json::Value assignment;
};
