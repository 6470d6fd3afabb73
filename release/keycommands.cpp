#include "keycommands.h"

#include "answersignature.h"
#include "keychain.h"
#include "releasekey.h"
#include "roledocuments.h"
#include "utctime.h"

#include <QByteArray>

#include <algorithm>
#include <charconv>
#include <memory>
#include <ostream>

namespace fs = std::filesystem;

namespace {

// Key documents stay valid this long unless --expires-in says otherwise: the root is offline,
// and a year is a reasonable interval to bring it out.
constexpr int DefaultKeyExpiryDays = 365;
constexpr int MaxKeyExpiryDays = 3660;

std::string value(const CommandOptions& options, const char* name, const std::string& fallback = {})
{
    const auto found = options.find(name);
    return found == options.end() || found->second.empty() ? fallback : found->second.front();
}

bool readSecrets(const std::vector<std::string>& files, std::vector<std::unique_ptr<SecretKey>>& keys,
    std::ostream& err)
{
    for (const std::string& file : files) {
        auto key = std::make_unique<SecretKey>();
        std::string error;
        if (!key->read(file, error)) {
            err << "orbisnap-release: " << error << "\n";
            return false;
        }
        keys.push_back(std::move(key));
    }
    return true;
}

std::vector<const SecretKey*> pointers(const std::vector<std::unique_ptr<SecretKey>>& keys)
{
    std::vector<const SecretKey*> list;
    for (const auto& key : keys) {
        list.push_back(key.get());
    }
    return list;
}

bool readKeyList(const std::string& option, const std::string& text, QList<QByteArray>& keys, std::ostream& err)
{
    QList<QByteArray> bad;
    keys = parsePublicKeys(QByteArray::fromStdString(text), &bad);
    for (const QByteArray& key : bad) {
        err << "orbisnap-release: " << option << " \"" << key.toStdString()
            << "\" is no public key (base64 of the 32 bytes keygen makes)\n";
    }
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (keys.indexOf(keys[i]) != i) {
            err << "orbisnap-release: " << option << " names a key twice\n";
            return false;
        }
    }
    if (keys.isEmpty() && bad.isEmpty()) {
        err << "orbisnap-release: " << option << " names no key\n";
    }
    return bad.isEmpty() && !keys.isEmpty();
}

std::string keyText(const QByteArray& key)
{
    return key.toBase64().toStdString();
}

} // namespace

int runKeysCommand(const CommandOptions& options, std::ostream& out, std::ostream& err)
{
    const fs::path dir = value(options, "--releases");
    const std::string days = value(options, "--expires-in", std::to_string(DefaultKeyExpiryDays));
    int expiryDays = 0;
    const auto [end, failure] = std::from_chars(days.data(), days.data() + days.size(), expiryDays);
    if (failure != std::errc() || end != days.data() + days.size() || expiryDays < 1 || expiryDays > MaxKeyExpiryDays) {
        err << "orbisnap-release: --expires-in \"" << days << "\" is no number of days from 1 to " << MaxKeyExpiryDays
            << "\n";
        return 2;
    }
    std::map<std::string, RoleKeys> roles;
    if (!readKeyList("--release", value(options, "--release"), roles[ReleaseRole].keys, err)
        || !readKeyList("--online", value(options, "--online"), roles[OnlineRole].keys, err)
        || (options.contains("--root") && !readKeyList("--root", value(options, "--root"), roles[RootRole].keys, err))) {
        return 2;
    }
    std::vector<std::unique_ptr<SecretKey>> secrets;
    if (!readSecrets(options.at("--root-secret"), secrets, err)) {
        return 1;
    }

    // The document before, expired or not: an expired root is renewed this way, too.
    std::error_code code;
    const bool first = !fs::exists(dir / SignedAnswersFolder / KeysFileName, code);
    QList<SignedEnvelope> chain;
    KeyDocument previous;
    std::vector<std::string> problems;
    if (!first && !loadKeyChain(dir, QDateTime::fromSecsSinceEpoch(0, Qt::UTC), chain, previous, problems)) {
        for (const std::string& problem : problems) {
            err << "orbisnap-release: " << problem << "\n";
        }
        err << "orbisnap-release: no key document written: the chain there is not whole\n";
        return 1;
    }
    if (roles[RootRole].keys.isEmpty()) {
        if (first) {
            for (const auto& secret : secrets) {
                roles[RootRole].keys << publicKeyOf(*secret);
            }
        } else {
            roles[RootRole].keys = previous.role(RootRole).keys;
        }
    }
    for (auto& [name, role] : roles) {
        const int before = first ? 1 : previous.role(name.c_str()).threshold;
        role.threshold = std::min<int>(before, int(role.keys.size()));
    }
    const auto thresholds = options.find("--threshold");
    for (const std::string& item : thresholds == options.end() ? std::vector<std::string>() : thresholds->second) {
        const auto equals = item.find('=');
        const std::string name = item.substr(0, equals);
        int number = 0;
        const std::string count = equals == std::string::npos ? std::string() : item.substr(equals + 1);
        const auto [at, wrong] = std::from_chars(count.data(), count.data() + count.size(), number);
        if (!roles.contains(name) || wrong != std::errc() || at != count.data() + count.size() || number < 1
            || number > roles[name].keys.size()) {
            err << "orbisnap-release: --threshold \"" << item
                << "\" is no ROLE=N with ROLE root, release or online and N from 1 to its number of keys\n";
            return 2;
        }
        roles[name].threshold = number;
    }
    if (roles[OnlineRole].threshold != 1) {
        err << "orbisnap-release: the online role signs each answer with one key: its threshold is 1\n";
        return 2;
    }

    const qint64 version = first ? 1 : previous.version() + 1;
    const QDateTime expires = QDateTime::currentDateTimeUtc().addDays(expiryDays);
    const QByteArray text = KeyDocument::make(version, QDateTime::fromSecsSinceEpoch(expires.toSecsSinceEpoch(), Qt::UTC), roles);
    const SignedEnvelope envelope = signDocument(text, pointers(secrets));
    const auto enough = [&](const RoleKeys& root, const std::string& whose) {
        const int valid = envelope.validSignatures(root.keys);
        if (valid >= root.threshold) {
            return true;
        }
        err << "orbisnap-release: no key document written: the root secrets given are " << valid << " of the "
            << root.threshold << " " << whose << " root keys it must be signed by\n";
        return false;
    };
    if (!enough(roles[RootRole], "new") || (!first && !enough(previous.role(RootRole), "previous"))) {
        return 1;
    }
    std::string error;
    if (!writeKeyDocument(dir, envelope, version, error)) {
        err << "orbisnap-release: " << error << "\n";
        return 1;
    }
    out << "key document version " << version << " written to " << (dir / SignedAnswersFolder / KeysFileName).string()
        << ", expires " << utcTimeText(expires) << "\n";
    for (const char* name : { RootRole, ReleaseRole, OnlineRole }) {
        out << name << ": " << roles[name].threshold << " of";
        for (const QByteArray& key : roles[name].keys) {
            out << " " << keyText(key);
        }
        out << "\n";
    }
    if (!first && roles[RootRole].keys != previous.role(RootRole).keys) {
        out << "root keys changed: signed by the previous and the new root\n";
    }
    return 0;
}

int signByRoles(const ReleaseStore& store, const std::vector<std::string>& secretFiles, std::ostream& out,
    std::ostream& err)
{
    QList<SignedEnvelope> chain;
    KeyDocument keys;
    std::vector<std::string> problems;
    if (!loadKeyChain(store.root(), QDateTime::currentDateTimeUtc(), chain, keys, problems)) {
        for (const std::string& problem : problems) {
            err << "orbisnap-release: " << problem << "\n";
        }
        err << "orbisnap-release: nothing signed: the key documents do not hold (orbisnap-release keys renews them)\n";
        return 1;
    }
    std::vector<std::unique_ptr<SecretKey>> secrets;
    if (!readSecrets(secretFiles, secrets, err)) {
        return 1;
    }
    const RoleKeys& release = keys.role(ReleaseRole);
    QList<QByteArray> distinct;
    for (std::size_t i = 0; i < secrets.size(); ++i) {
        const QByteArray key = publicKeyOf(*secrets[i]);
        if (!release.keys.contains(key)) {
            err << "orbisnap-release: --secret " << secretFiles[i] << ": " << keyText(key)
                << " is no release key of key document version " << keys.version() << "\n";
            return 1;
        }
        if (!distinct.contains(key)) {
            distinct << key;
        }
    }
    if (distinct.size() < release.threshold) {
        err << "orbisnap-release: nothing signed: " << distinct.size() << " release key(s) given, key document version "
            << keys.version() << " requires " << release.threshold << "\n";
        return 1;
    }
    std::vector<std::string> notes;
    std::string error;
    if (!writeRoleDocuments(store, keys, pointers(secrets), notes, error)) {
        err << "orbisnap-release: " << error << "\n";
        return 1;
    }
    for (const std::string& note : notes) {
        out << note << "\n";
    }
    out << "signed by " << distinct.size() << " of the release keys of key document version " << keys.version()
        << " into " << (store.root() / SignedAnswersFolder).string() << "\n";
    return 0;
}

bool verifyByRoles(const ReleaseStore& store, const Channels& channels, std::ostream& out, std::ostream& err)
{
    QList<SignedEnvelope> chain;
    KeyDocument keys;
    std::vector<std::string> problems;
    std::vector<std::string> versions;
    for (const Channel& channel : channels.all()) {
        versions.push_back(channel.release->version);
    }
    const bool ok = loadKeyChain(store.root(), QDateTime::currentDateTimeUtc(), chain, keys, problems)
        && checkRoleDocuments(store, keys, versions, problems);
    for (const std::string& problem : problems) {
        err << "orbisnap-release: " << problem << "\n";
    }
    if (ok) {
        out << "verified key documents 1 to " << keys.version() << " (expires "
            << utcTimeText(keys.expires()) << "), the channel assignment and the manifests of";
        for (const std::string& version : versions) {
            out << " " << version;
        }
        out << "\n";
    }
    return ok;
}
