#include "releasecommands.h"

#include "answersignature.h"
#include "channels.h"
#include "keycommands.h"
#include "pack.h"
#include "releasekey.h"
#include "releasestore.h"
#include "roledocuments.h"
#include "serverconfig.h"
#include "signedanswers.h"
#include "utctime.h"
#include "versionanswer.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char Usage[] = "usage: orbisnap-release keygen --secret FILE\n"
                         "       orbisnap-release sign --releases DIR --secret FILE [--base URL] [--issued TIME]\n"
                         "                             [--expires-in DAYS]\n"
                         "       orbisnap-release keys --releases DIR --root-secret FILE [--root-secret FILE ...]\n"
                         "                             --release PUB[,PUB...] --online PUB[,PUB...] [--root PUB,...]\n"
                         "                             [--threshold ROLE=N ...] [--expires-in DAYS]\n"
                         "       orbisnap-release verify --releases DIR [--public KEY[,KEY...]]\n"
                         "       orbisnap-release pack --releases DIR [--from N]\n";
// The client keeps the download base in a 256-byte field.
constexpr std::size_t MaxDownloadBaseBytes = 255;

struct Command
{
    std::string name;
    std::map<std::string, std::string> options;
    CommandOptions lists; // every value of every option, in order
};

// Options that may be given more than once.
bool repeatable(const std::string& name)
{
    return name == "--secret" || name == "--root-secret" || name == "--threshold";
}

// "--name value" or "--name=value"; only the names the command takes.
bool parse(int argc, const char* const* argv, Command& command, std::string& error)
{
    if (argc < 2) {
        error = "no command given";
        return false;
    }
    command.name = argv[1];
    std::vector<std::string> allowed;
    if (command.name == "keygen") {
        allowed = { "--secret" };
    } else if (command.name == "sign") {
        allowed = { "--releases", "--secret", "--base", "--issued", "--expires-in" };
    } else if (command.name == "verify") {
        allowed = { "--releases", "--public" };
    } else if (command.name == "keys") {
        allowed = { "--releases", "--root-secret", "--release", "--online", "--root", "--threshold", "--expires-in" };
    } else if (command.name == "pack") {
        allowed = { "--releases", "--from" };
    } else {
        error = "unknown command \"" + command.name + "\"";
        return false;
    }
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const auto equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = name + " needs a value";
            return false;
        }
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
            error = command.name + " takes no option \"" + name + "\"";
            return false;
        }
        command.lists[name].push_back(value);
        if (!command.options.emplace(name, value).second && !repeatable(name)) {
            error = name + " given more than once";
            return false;
        }
    }
    for (const std::string& name : allowed) {
        const bool required = name == "--secret" || name == "--releases" || name == "--root-secret"
            || (command.name == "keys" && (name == "--release" || name == "--online"));
        if (required && !command.options.contains(name)) {
            error = command.name + " needs " + name;
            return false;
        }
    }
    return true;
}

bool loadStore(const fs::path& dir, ReleaseStore& store, std::ostream& err)
{
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    const bool loaded = store.load(dir, problems, warnings);
    for (const std::string& warning : warnings) {
        err << "orbisnap-release: warning: " << warning << "\n";
    }
    for (const std::string& problem : problems) {
        err << "orbisnap-release: " << problem << "\n";
    }
    return loaded;
}

int keygen(const Command& command, std::ostream& out, std::ostream& err)
{
    SecretKey key;
    std::string error;
    if (!key.generate(command.options.at("--secret"), error)) {
        err << "orbisnap-release: " << error << "\n";
        return 1;
    }
    out << key.publicKeyBase64() << "\n";
    return 0;
}

// Answers stay valid this long unless --expires-in says otherwise: a month leaves room to
// re-sign on a schedule, and bounds how long a mirror can keep installations on an old release.
constexpr int DefaultExpiryDays = 30;
constexpr int MaxExpiryDays = 366;

// The releases and their channels, each problem on err.
bool loadReleases(const fs::path& dir, ReleaseStore& store, Channels& channels, std::ostream& err)
{
    if (!loadStore(dir, store, err)) {
        return false;
    }
    std::vector<std::string> problems;
    const bool loaded = channels.load(store, problems);
    for (const std::string& problem : problems) {
        err << "orbisnap-release: " << problem << "\n";
    }
    return loaded;
}

int sign(const Command& command, std::ostream& out, std::ostream& err)
{
    const auto option = [&](const char* name, const std::string& fallback) {
        const auto found = command.options.find(name);
        return found == command.options.end() ? fallback : found->second;
    };
    std::string base = option("--base", std::string(ServerBaseUrl) + "/releases");
    while (base.ends_with('/')) {
        base.pop_back();
    }
    const std::string issued = option("--issued", utcNow());
    const std::optional<QDateTime> issuedTime = parseUtcTime(issued);
    if (!issuedTime) {
        err << "orbisnap-release: --issued \"" << issued << "\" is no UTC time like 2026-12-08T10:00:00Z\n";
        return 2;
    }
    const std::string days = option("--expires-in", std::to_string(DefaultExpiryDays));
    int expiryDays = 0;
    const auto [end, failure] = std::from_chars(days.data(), days.data() + days.size(), expiryDays);
    if (failure != std::errc() || end != days.data() + days.size() || expiryDays < 1 || expiryDays > MaxExpiryDays) {
        err << "orbisnap-release: --expires-in \"" << days << "\" is no number of days from 1 to " << MaxExpiryDays
            << "\n";
        return 2;
    }
    const std::string expires = utcTimeText(issuedTime->addDays(expiryDays));
    if (const fs::path dir = command.options.at("--releases"); fs::exists(dir / SignedAnswersFolder / KeysFileName)) {
        ReleaseStore store;
        Channels channels;
        if (!loadReleases(dir, store, channels, err)) {
            err << "orbisnap-release: nothing signed: the releases directory cannot be served as it is\n";
            return 1;
        }
        return signByRoles(store, command.lists.at("--secret"), out, err);
    }
    if (command.lists.at("--secret").size() > 1) {
        err << "orbisnap-release: --secret given more than once; several release keys sign by roles (orbisnap-release "
               "keys)\n";
        return 2;
    }
    if (!base.starts_with("http://") && !base.starts_with("https://")) {
        err << "orbisnap-release: --base \"" << base << "\" is no http or https URL\n";
        return 2;
    }
    SecretKey key;
    std::string error;
    if (!key.read(command.options.at("--secret"), error)) {
        err << "orbisnap-release: " << error << "\n";
        return 1;
    }
    ReleaseStore store;
    Channels channels;
    if (!loadReleases(command.options.at("--releases"), store, channels, err)) {
        err << "orbisnap-release: nothing signed: the releases directory cannot be served as it is\n";
        return 1;
    }
    const std::string newestBase = base + "/" + store.newest().version;
    if (newestBase.size() > MaxDownloadBaseBytes) {
        err << "orbisnap-release: download base \"" << newestBase << "\" is longer than 255 bytes\n";
        return 1;
    }
    if (newestBase.find_first_of(" \t\r\n") != std::string::npos) {
        err << "orbisnap-release: download base \"" << newestBase << "\" holds white space\n";
        return 1;
    }
    if (!writeSignedAnswers(store, channels, key, base, issued, expires, error)) {
        err << "orbisnap-release: " << error << "\n";
        return 1;
    }
    std::size_t files = 0;
    for (const Release& release : store.releases()) {
        files += release.files.size();
    }
    out << "signed " << (store.releases().size() + 1) * channels.all().size() << " answers to "
        << channels.find(StableChannel)->release->version << " (" << store.releases().size() << " release(s), "
        << files << " file(s) hashed) into "
        << (store.root() / SignedAnswersFolder).string() << "\n";
    for (const Channel& channel : channels.all()) {
        out << "channel " << channel.name << ": " << channel.release->version;
        if (channel.rollout) {
            out << ", rolled out over " << channel.rollout->days << " day(s) from " << channel.rollout->start;
        }
        out << "\n";
    }
    out << "expires " << expires << " (sign again before then)\n"
        << "download base " << newestBase << "\n"
        << "public key " << key.publicKeyBase64() << "\n";
    return 0;
}

int verify(const Command& command, std::ostream& out, std::ostream& err)
{
    const fs::path dir = command.options.at("--releases");
    const bool byRoles = fs::exists(dir / SignedAnswersFolder / KeysFileName);
    if (!command.options.contains("--public") && !byRoles) {
        err << "orbisnap-release: verify needs --public (or key documents in " << (dir / SignedAnswersFolder).string()
            << ")\n";
        return 2;
    }
    QList<QByteArray> bad;
    const QList<QByteArray> keys = parsePublicKeys(
        QByteArray::fromStdString(command.options.contains("--public") ? command.options.at("--public") : ""), &bad);
    for (const QByteArray& key : bad) {
        err << "orbisnap-release: \"" << key.toStdString() << "\" is no public key (base64 of the 32 bytes keygen makes)\n";
    }
    if (!bad.isEmpty() || (keys.isEmpty() && command.options.contains("--public"))) {
        return 2;
    }
    ReleaseStore store;
    Channels channels;
    if (!loadReleases(dir, store, channels, err)) {
        return 1;
    }
    if (byRoles) {
        const bool rolesOk = verifyByRoles(store, channels, out, err);
        if (!command.options.contains("--public")) {
            return rolesOk ? 0 : 1;
        }
        if (!rolesOk) {
            return 1;
        }
    }
    SignedAnswers answers;
    std::vector<std::string> problems;
    bool ok = answers.load(store, channels, problems);
    for (const std::string& problem : problems) {
        err << "orbisnap-release: " << problem << "\n";
    }
    for (const auto& [name, answer] : answers.all()) {
        const SignatureCheck check = checkAnswerSignature(
            QByteArray::fromStdString(answer.body), QByteArray::fromStdString(answer.signature), keys);
        if (check != SignatureCheck::Valid) {
            err << "orbisnap-release: answer for " << name << ": " << signatureCheckText(check) << "\n";
            ok = false;
        }
    }
    if (!ok) {
        err << "orbisnap-release: run orbisnap-release sign --releases " << command.options.at("--releases")
            << " --secret FILE after publishing\n";
        return 1;
    }
    out << "verified " << answers.all().size() << " signed answers to " << answers.newestVersion()
        << ", download base " << answers.downloadBase() << ", expiring " << answers.earliestExpiry() << "\n";
    return 0;
}

int pack(const Command& command, std::ostream& out, std::ostream& err)
{
    unsigned from = 3;
    if (const auto found = command.options.find("--from"); found != command.options.end()) {
        const std::string& text = found->second;
        if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), [](unsigned char c) {
                return std::isdigit(c);
            })) {
            err << "orbisnap-release: --from \"" << text << "\" is no number of releases (0 to 9999)\n";
            return 2;
        }
        from = unsigned(std::stoul(text));
    }
    ReleaseStore store;
    if (!loadStore(command.options.at("--releases"), store, err)) {
        err << "orbisnap-release: nothing packed: the releases directory cannot be served as it is\n";
        return 1;
    }
    return packObjects(store, from, out, err);
}

} // namespace

int runReleaseCommand(int argc, const char* const* argv, std::ostream& out, std::ostream& err)
{
    Command command;
    std::string error;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "help")) {
        out << Usage;
        return 0;
    }
    if (!parse(argc, argv, command, error)) {
        err << "orbisnap-release: " << error << "\n" << Usage;
        return 2;
    }
    if (command.name == "keygen") {
        return keygen(command, out, err);
    }
    if (command.name == "sign") {
        return sign(command, out, err);
    }
    if (command.name == "pack") {
        return pack(command, out, err);
    }
    if (command.name == "keys") {
        return runKeysCommand(command.lists, out, err);
    }
    return verify(command, out, err);
}
