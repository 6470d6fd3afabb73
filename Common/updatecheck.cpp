#include "updatecheck.h"

#include "answersignature.h"
#include "debugmessage.h"
#include "difffile.h"
#include "filehelpers.h"
#include "previousversion.h"
#include "roleanswer.h"
#include "rolloutfraction.h"
#include "safepath.h"
#include "sha256.h"
#include "uploadmanager.h"
#include "utctime.h"
#include "version.h"
#include "workdir.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <json/value.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

namespace {

// Field sizes of the version-difference file, less the zero byte (and the version's "v").
constexpr std::size_t MaxVersionBytes = VersionSize - 2;
constexpr std::size_t MaxBaseBytes = DownloadBaseSize - 1;
constexpr std::size_t MaxFileBytes = FilePathSize - 1;

void refuse(const QString& where, const char* why)
{
    debugMessage("update check refused:", where, why);
}

void refuseLength(const QString& where, std::size_t limit)
{
    debugMessage("update check refused:", where, "longer than", limit, "bytes");
}

// The file is read token by token, so a version or base with white space would be cut, and
// one with a line break would add lines of its own.
const char* tokenProblem(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos) {
        return "holds a zero byte";
    }
    if (text.find_first_of(" \t\r\n\v\f") != std::string_view::npos) {
        return "holds white space";
    }
    return nullptr;
}

// A member where text is expected: absent or null gives "", a string, number or boolean its
// text. Arrays and objects have no text (and asString would throw on them).
bool readText(const Json::Value& value, std::string& text)
{
    if (value.isArray() || value.isObject()) {
        return false;
    }
    text = value.asString();
    return true;
}

bool readToken(const Json::Value& object, const char* key, std::size_t limit, std::string& text)
{
    const QString where = QString::fromLatin1(key);
    if (!readText(object[key], text)) {
        refuse(where, "not a text");
        return false;
    }
    if (text.size() > limit) {
        refuseLength(where, limit);
        return false;
    }
    if (const char* why = tokenProblem(text)) {
        refuse(where, why);
        return false;
    }
    return true;
}

// The element's "size" and "sha256": both absent (false in *present), or a size in bytes
// and 64 lower-case hex digits. False (with its message) on anything else.
bool readDigest(const Json::Value& element, const QString& where, bool& present, std::int64_t& size,
    Sha256Digest& digest)
{
    const Json::Value& sizeValue = element["size"];
    const Json::Value& hashValue = element["sha256"];
    present = !sizeValue.isNull() || !hashValue.isNull();
    if (!present) {
        return true;
    }
    if (!sizeValue.isIntegral() || !(sizeValue.isInt64() || sizeValue.isUInt64())
        || (sizeValue.isInt64() ? sizeValue.asInt64() < 0
                                : sizeValue.asUInt64() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))) {
        refuse(where + QStringLiteral(".size"), "not a size in bytes");
        return false;
    }
    size = sizeValue.isInt64() ? sizeValue.asInt64() : std::int64_t(sizeValue.asUInt64());
    if (!hashValue.isString() || !Sha256::fromHex(hashValue.asString(), digest)) {
        refuse(where + QStringLiteral(".sha256"), "not 64 lower-case hex digits");
        return false;
    }
    return true;
}

// One object member of an element ({"size": N, "sha256": H}, for a patch also "from": H0)
// into object (and from). Objects only make a file cheaper to fetch, and a newer server may
// shape them otherwise: one this check cannot read is left out with one debug message, and
// the file is fetched whole.
bool readObject(const Json::Value& value, const QString& where, FileObject& object, std::uint8_t* from)
{
    const char* why = nullptr;
    Sha256Digest digest {};
    Sha256Digest fromDigest {};
    bool present = false;
    std::int64_t size = -1;
    if (!value.isObject()) {
        why = "not an object";
    } else if (from && !(value["from"].isString() && Sha256::fromHex(value["from"].asString(), fromDigest))) {
        why = "has no \"from\" of 64 lower-case hex digits";
    } else {
        const Json::Value& sizeValue = value["size"];
        const Json::Value& hashValue = value["sha256"];
        if (!sizeValue.isIntegral() || !sizeValue.isInt64() || sizeValue.asInt64() < 0) {
            why = "has no size in bytes";
        } else if (!hashValue.isString() || !Sha256::fromHex(hashValue.asString(), digest)) {
            why = "has no sha256 of 64 lower-case hex digits";
        } else {
            size = sizeValue.asInt64();
            present = true;
        }
    }
    if (!present) {
        debugMessage("update check: object left out:", where, why);
        return false;
    }
    object.size = size;
    std::memcpy(object.sha256, digest.data(), digest.size());
    if (from) {
        std::memcpy(from, fromDigest.data(), fromDigest.size());
    }
    return true;
}

// The element's "packed" and, for a changed file, "patch", when the answer names an objects
// folder; absent members leave the entry without them.
void readObjects(const Json::Value& element, const QString& where, bool withPatch, FileEntry& entry)
{
    if (element.isMember("packed")) {
        readObject(element["packed"], where + QStringLiteral(".packed"), entry.packed, nullptr);
    }
    if (withPatch && element.isMember("patch")) {
        readObject(element["patch"], where + QStringLiteral(".patch"), entry.patch, entry.patchFrom);
    }
}

// Appends one entry per element of root[key]; false (with its message) on the first element
// that would give a wrong entry, so that a refused answer writes nothing at all. Entries of
// files to fetch carry the element's size and SHA-256; requireDigest refuses one without.
bool readEntries(const Json::Value& root, const char* key, FileAction action, bool requireDigest,
    bool withObjects, FileEntryList& entries)
{
    const Json::Value& list = root[key];
    if (list.isNull()) {
        return true;
    }
    if (!list.isArray()) {
        refuse(QString::fromLatin1(key), "not an array");
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("%1[%2]").arg(QString::fromLatin1(key)).arg(i);
        const Json::Value& element = list[i];
        if (!element.isObject()) {
            refuse(where, "not an object");
            return false;
        }
        const QString fileWhere = where + QStringLiteral(".file");
        std::string file;
        if (!readText(element["file"], file)) {
            refuse(fileWhere, "not a text");
            return false;
        }
        if (file.size() > MaxFileBytes) {
            refuseLength(fileWhere, MaxFileBytes);
            return false;
        }
        const char* why = nullptr;
        if (file.find('\0') != std::string::npos) {
            why = "holds a zero byte";
        } else {
            isSafeRelativePath(file, &why);
        }
        if (why) {
            refuse(fileWhere, why);
            return false;
        }
        if (action == Delete) {
            entries.append(action, NoDo, file.c_str());
            continue;
        }
        bool present = false;
        std::int64_t size = -1;
        Sha256Digest digest {};
        if (!readDigest(element, where, present, size, digest)) {
            return false;
        }
        if (!present && requireDigest) {
            refuse(where, "has no size and sha256");
            return false;
        }
        if (present) {
            FileEntry* entry = entries.append(action, NoDo, file.c_str(), size, digest.data());
            if (withObjects) {
                readObjects(element, where, action == Changed, *entry);
            }
        } else {
            entries.append(action, NoDo, file.c_str());
        }
    }
    return true;
}

// The answer's "objects", the folder the objects are fetched from; empty (every file is
// fetched whole) when absent or not a URL the file can keep, with one debug message for the
// latter.
std::string readObjectsBase(const Json::Value& root)
{
    const Json::Value& value = root["objects"];
    if (value.isNull()) {
        return {};
    }
    const char* why = nullptr;
    std::string text;
    if (!value.isString()) {
        why = "not a text";
    } else if (text = value.asString(); text.size() > MaxBaseBytes) {
        why = "longer than 255 bytes";
    } else if (!(why = tokenProblem(text)) && !text.starts_with("http://") && !text.starts_with("https://")) {
        why = "not an http or https URL";
    }
    if (why) {
        debugMessage("update check: objects left out:", QStringLiteral("objects"), why);
        return {};
    }
    return text;
}

// Once per process: a build without release keys takes whatever the server answers.
void sayNotVerified()
{
    static std::once_flag said;
    std::call_once(said, [] {
        debugMessage("update check: answers are not verified (no release key trusted)");
    });
}

// The answer's "rollout" ({"start": UTC, "days": above 0, at most 365}); false (with its
// message) on anything else.
bool readRollout(const Json::Value& rollout, QDateTime& start, double& days)
{
    const std::optional<QDateTime> parsed
        = rollout.isObject() && rollout["start"].isString() ? parseUtcTime(rollout["start"].asString()) : std::nullopt;
    const Json::Value& span = rollout.isObject() ? rollout["days"] : Json::Value();
    if (!parsed || !span.isNumeric() || !(span.asDouble() > 0) || span.asDouble() > MaxRolloutDays) {
        refuse(QStringLiteral("rollout"), "is no start (UTC) and days");
        return false;
    }
    start = *parsed;
    days = span.asDouble();
    return true;
}

// The answer's "health" ({"timeout": seconds, "starts": N}, each optional): the start check
// the channel asks for. One this check cannot read leaves the check off, with one debug
// message, and never costs the answer.
DiffHealth readHealth(const Json::Value& root)
{
    const Json::Value& value = root["health"];
    if (value.isNull()) {
        return {};
    }
    DiffHealth health { 60, 3 };
    const auto whole = [&value](const char* key, int high, int& out) {
        const Json::Value& number = value[key];
        if (number.isNull()) {
            return true;
        }
        if (!number.isInt() || number.asInt() < 1 || number.asInt() > high) {
            return false;
        }
        out = number.asInt();
        return true;
    };
    if (!value.isObject() || !whole("timeout", MaxHealthTimeout, health.timeout)
        || !whole("starts", MaxHealthStarts, health.starts)) {
        debugMessage("update check: start check left out:", QStringLiteral("health"), "not readable");
        return {};
    }
    return health;
}

void notInstalled(const QString& staged, const char* why)
{
    debugMessage("staged updater not installed:", staged, why);
}

} // namespace

bool UpdateCheck::prepare(const char* version)
{
    // The updater's start check looks at the host's start-up, not at updates.
    if (isHealthCheckStart()) {
        return false;
    }
    const QString dir = updateWorkDir(executableFileName());
    const QString file = joinPath(dir, QString::fromLatin1(DiffFileName));
    if (isTrustedWorkDir(dir) && countUnconfirmedStart(dir, QByteArray("v") + (version ? version : ""))) {
        // The version did not confirm in as many starts as its channel allows: the updater
        // returns to the previous version once this host has ended, and starts it again.
        debugMessage("returning to the previous version: this version did not confirm its starts");
        QProcess::startDetached(joinPath(QCoreApplication::applicationDirPath(), QString::fromLatin1(UpdaterExeName)),
            { executableFileName(), QStringLiteral("1") });
        std::exit(0);
    }
    if (isTrustedWorkDir(dir)) {
        sendVersionReports(dir, QString::fromUtf8(version ? version : ""));
    }
    check(QString::fromUtf8(version ? version : ""));
    workDir = dir.toUtf8();
    diffPath = file.toUtf8();
    // A staged updater in a directory that others can write may have been planted there.
    if (isTrustedWorkDir(dir)) {
        installStagedUpdater(joinPath(dir, QString::fromLatin1(UpdaterExeName)),
            joinPath(QCoreApplication::applicationDirPath(), QString::fromLatin1(UpdaterExeName)));
    }
    return updateAvailable;
}

void UpdateCheck::check(const QString& version)
{
    lastResult = runCheck(version);
}

UpdateCheck::CheckResult UpdateCheck::runCheck(const QString& version)
{
    currentVersion = version.toUtf8();
    if (currentVersion.size() > qsizetype(MaxVersionBytes)) {
        refuseLength(QStringLiteral("installed version"), MaxVersionBytes);
        return CheckResult::Refused;
    }
    if (const char* why = tokenProblem(std::string_view(currentVersion.constData(), currentVersion.size()))) {
        refuse(QStringLiteral("installed version"), why);
        return CheckResult::Refused;
    }

    QByteArray body;
    QByteArray signature;
    if (!UploadManager::instance()->getVersionAnswer(version, channelName, body, signature)) {
        return CheckResult::ServerFailed;
    }
    // The bytes are checked before a single one is parsed: a parser is no place for an
    // attacker's input. Checked by roles, the answer must be parsed first for the key
    // documents it carries, whose signatures are then checked over their exact bytes.
    const bool byRoles = !trustedRoot.keys.isEmpty();
    const bool verified = byRoles || !trustedKeys.isEmpty();
    Json::Value root;
    if (byRoles) {
        QString why;
        if (!checkRoleAnswer(body, signature, trustedRoot, keptKeyDocumentPath(executableFileName()), channelName,
                root, why)) {
            debugMessage("update check refused:", why.toUtf8().constData());
            return CheckResult::Refused;
        }
    } else {
        if (verified) {
            const SignatureCheck signatureCheck = checkAnswerSignature(body, signature, trustedKeys);
            if (signatureCheck != SignatureCheck::Valid) {
                refuse(QStringLiteral("answer"), signatureCheckText(signatureCheck));
                return CheckResult::Refused;
            }
        } else {
            sayNotVerified();
        }
        if (!UploadManager::parseVersionAnswer(body, root)) {
            return CheckResult::ServerFailed;
        }
    }
    if (root.empty()) {
        updateAvailable = false;
        return CheckResult::NothingNewer;
    }
    if (!root.isObject()) {
        refuse(QStringLiteral("answer"), "not an object");
        return CheckResult::Refused;
    }
    // A signed answer is bound to the installed version it was made for ("*": made for any
    // version the releases do not hold), so an answer for another installation cannot be
    // replayed to this one.
    if (verified) {
        const Json::Value& installed = root["installed"];
        if (!installed.isString()
            || (installed.asString() != currentVersion.toStdString() && installed.asString() != "*")) {
            refuse(QStringLiteral("installed"), "is not the installed version asked about");
            return CheckResult::Refused;
        }
    }
    // Made for this channel: an answer for another one is refused like one for another
    // installation. An older server names no channel and answers what stable gets.
    const Json::Value& channel = root["channel"];
    if (channel.isNull() ? channelName != QLatin1String(StableChannelName)
                         : !channel.isString() || channel.asString() != channelName.toStdString()) {
        refuse(QStringLiteral("channel"), "is not the channel asked about");
        return CheckResult::Refused;
    }
    // A signed answer is valid until it expires, so a mirror that keeps serving an old one
    // cannot keep installations from newer releases for longer than that.
    if (verified) {
        const Json::Value& expires = root["expires"];
        const std::optional<QDateTime> until = expires.isString() ? parseUtcTime(expires.asString()) : std::nullopt;
        if (!until) {
            refuse(QStringLiteral("expires"), "missing or no UTC time");
            return CheckResult::Refused;
        }
        if (*until <= QDateTime::currentDateTimeUtc()) {
            debugMessage("update check refused:", QStringLiteral("expires"), "has passed:",
                QString::fromStdString(expires.asString()));
            return CheckResult::Refused;
        }
    }
    std::string newest;
    std::string base;
    if (!readToken(root, "version", MaxVersionBytes, newest)
        || !readToken(root, "path", MaxBaseBytes, base)) {
        return CheckResult::Refused;
    }
    if (newest.empty() || base.empty()) {
        refuse(QString::fromLatin1(newest.empty() ? "version" : "path"), "missing or empty");
        return CheckResult::Refused;
    }

    const QByteArray installedToken = "v" + currentVersion;
    const std::string newestToken = "v" + newest;
    const int order = compareVersions(installedToken.constData(), newestToken.c_str());
    if (order > 0 && verified && root["installed"].asString() == AnyVersionName) {
        // An authentic answer for versions the releases do not hold, older than this one:
        // someone is trying to take this installation back.
        refuse(QStringLiteral("version"), "is older than the installed version");
        return CheckResult::Refused;
    }
    // Made for this very version, an older one is the channel's: the installation moved to a
    // channel behind it, or the channel was set back. It stays as it is.
    if (order >= 0) {
        updateAvailable = false;
        return CheckResult::NothingNewer;
    }
    if (root.isMember("rollout")) {
        QDateTime start;
        double days = 0;
        if (!readRollout(root["rollout"], start, days)) {
            return CheckResult::Refused;
        }
        const double fraction = installationRolloutFraction(executableFileName());
        const QDateTime from = start.addMSecs(qint64(fraction * days * 24 * 3600 * 1000));
        if (QDateTime::currentDateTimeUtc() < from) {
            debugMessage("update check: staged rollout, version", QString::fromStdString(newest),
                "offered to this installation from", QString::fromStdString(utcTimeText(from)));
            updateAvailable = false;
            return CheckResult::NothingNewer;
        }
    }

    // A version this installation returned from is not taken again until a newer one exists.
    const ReportedVersion returned = readReportedVersion(updateWorkDir(executableFileName()), ReturnedVersionName);
    if (!returned.version.isEmpty() && compareVersions(newestToken.c_str(), returned.version.constData()) <= 0) {
        debugMessage("update check: version", QString::fromUtf8(returned.version),
            "was returned from; nothing newer offered");
        updateAvailable = false;
        return CheckResult::NothingNewer;
    }

    const std::string objects = readObjectsBase(root);
    const bool withObjects = !objects.empty();
    FileEntryList entries;
    if (!readEntries(root, "u", Changed, verified, withObjects, entries)
        || !readEntries(root, "d", Delete, verified, withObjects, entries)
        || !readEntries(root, "n", Add, verified, withObjects, entries)) {
        return CheckResult::Refused;
    }
    const QString dir = updateWorkDir(executableFileName());
    QString untrusted;
    if (!isTrustedWorkDir(dir, &untrusted)) {
        debugMessage("working directory refused, no file written:", dir, untrusted);
        return CheckResult::WriteFailed;
    }
    const QString file = joinPath(dir, QString::fromLatin1(DiffFileName));
    const DiffHealth health = readHealth(root);
    if (!writeDiffFile(file.toUtf8().constData(), installedToken.constData(), newestToken.c_str(),
            base.c_str(), entries.head, objects.c_str(), &health)) {
        return CheckResult::WriteFailed;
    }
    diffPath = file.toUtf8();
    updateAvailable = true;
    return CheckResult::Written;
}

UpdateCheck::LaunchResult UpdateCheck::launch(std::int32_t mode)
{
    if (!fileExists(diffPath.constData())) {
        debugMessage("already is the latest version !");
        return LaunchResult::NoUpdate;
    }
    const QString updater
        = joinPath(QCoreApplication::applicationDirPath(), QString::fromLatin1(UpdaterExeName));
    const platform::WriteProbe installed = probeExecutable(updater.toUtf8().constData());
    if (installed == platform::WriteProbe::NoPermission) {
        // The probe said so in one line; an updater that cannot write the installation would
        // fetch everything and install nothing.
        return LaunchResult::NoPermission;
    }
    // The running updater holds its lock for the whole run, also while its executable is
    // free (a copy started from elsewhere, or before the in-use test can see it).
    if (installed == platform::WriteProbe::InUse || installed == platform::WriteProbe::Failed
        || isUpdaterLocked(QString::fromUtf8(workDir))) {
        debugMessage("already running ...");
        return LaunchResult::AlreadyRunning;
    }
    if (!QProcess::startDetached(updater, { executableFileName(), QString::number(mode) })) {
        debugMessage("updater not started:", updater);
        return LaunchResult::StartFailed;
    }
    return LaunchResult::Started;
}

UpdateCheck::LaunchResult UpdateCheck::launchWaiting()
{
    return launch(1);
}

UpdateCheck::LaunchResult UpdateCheck::launchIfNewer()
{
    if (!updateAvailable) {
        return LaunchResult::NoUpdate;
    }
    debugMessage("update new version ............");
    return launch(2);
}

bool installStagedUpdater(const QString& staged, const QString& installed)
{
    if (!fileExists(staged.toUtf8().constData())) {
        return false;
    }
    // With the working directory fallen back to "." this can be the installed file itself,
    // which the final removal would then delete.
    const QString stagedCanonical = QFileInfo(staged).canonicalFilePath();
    if (!stagedCanonical.isEmpty() && stagedCanonical == QFileInfo(installed).canonicalFilePath()) {
        notInstalled(staged, "is the installed file");
        return false;
    }
    // Copy beside the target so the final rename stays on one file system.
    const QString temporary = installed + QStringLiteral(".new");
    QFile::remove(temporary);
    if (!QFile::copy(staged, temporary)) {
        notInstalled(staged, "cannot be copied beside the installed one");
        return false;
    }
    // The staged file was fetched like any other and need not be executable; the updater must.
    const QFileDevice::Permissions permissions
        = (QFileInfo::exists(installed) ? QFile::permissions(installed) : QFile::permissions(staged))
        | QFileDevice::ExeOwner | QFileDevice::ExeUser;
    // The copy is on disk before it takes the updater's name: after a power loss the name must
    // hold the old updater or the whole new one, never an empty file. Flushed first, while it
    // is still writable: the installed updater's permissions may be read-only.
    if (!platform::flushFile(nativePath(temporary)) || !QFile::setPermissions(temporary, permissions)
        || !replaceFile(temporary, installed)) {
        QFile::remove(temporary);
        notInstalled(staged, "cannot replace the installed one");
        return false;
    }
    platform::syncDirectory(nativePath(QFileInfo(installed).absolutePath()));
    if (!QFile::remove(staged)) {
        debugMessage("staged updater installed but not removed:", staged);
    }
    return true;
}
