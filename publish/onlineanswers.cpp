#include "onlineanswers.h"

#include "roledocuments.h"
#include "versionanswer.h"

namespace fs = std::filesystem;

bool OnlineSigning::load(const ReleaseStore& store, const Channels& channels, const fs::path& secretFile,
    std::vector<std::string>& problems)
{
    const std::size_t before = problems.size();
    std::string error;
    if (!key.read(secretFile, error)) {
        problems.push_back(error);
        return false;
    }
    QList<SignedEnvelope> envelopes;
    if (!loadKeyChain(store.root(), QDateTime::currentDateTimeUtc(), envelopes, newest, problems)) {
        return false;
    }
    if (!newest.role(OnlineRole).keys.contains(publicKeyOf(key))) {
        problems.push_back("--online-secret " + secretFile.string() + ": " + key.publicKeyBase64()
            + " is no online key of key document version " + std::to_string(newest.version()));
    }
    std::vector<std::string> versions;
    for (const Channel& channel : channels.all()) {
        versions.push_back(channel.release->version);
    }
    checkRoleDocuments(store, newest, versions, problems);
    if (problems.size() != before) {
        return false;
    }
    chain = Json::Value(Json::arrayValue);
    for (const SignedEnvelope& envelope : envelopes) {
        chain.append(envelope.toJson());
    }
    const fs::path folder = store.root() / SignedAnswersFolder;
    for (const std::string& version : versions) {
        SignedEnvelope manifest;
        readEnvelope(folder / ManifestsFolder / (version + ".json"), manifest, error);
        manifests[version] = manifest.toJson();
    }
    SignedEnvelope signedAssignment;
    readEnvelope(folder / AssignmentFileName, signedAssignment, error);
    assignment = signedAssignment.toJson();
    return true;
}

SignedAnswer OnlineSigning::sign(Json::Value answer, const std::string& version) const
{
    answer["keys"] = chain;
    const auto manifest = manifests.find(version);
    answer["manifest"] = manifest == manifests.end() ? Json::Value() : manifest->second;
    answer["assignment"] = assignment;
    SignedAnswer signedAnswer;
    signedAnswer.body = answerBody(answer);
    signedAnswer.signature = key.signBase64(signedAnswer.body);
    return signedAnswer;
}
