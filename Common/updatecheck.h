#pragma once

// The host application's side of updating: ask the server what differs from the installed
// version, write the version-difference file for the updater, move a staged updater into place
// and start RevisionPusher.exe with the host's name and a mode.
//
// Every operation runs on the calling thread and needs the application object
// (QCoreApplication or a subclass): the host executable's file name (from applicationFilePath)
// names the working directory, and its directory (applicationDirPath) holds RevisionPusher.exe.
// The server request blocks until its reply has finished (see UploadManager). Nothing throws.
//
// The server's answer to the version request, one JSON document:
//
//   { "version": "1.0.4",              newest version, at most 30 bytes
//     "path": "http://host/1.0.4",     download base, at most 255 bytes
//     "u": [ { "file": "bin/a.dll" } ], changed files  -> [Changed] entries
//     "d": [ { "file": "old.dll" } ],   dropped files  -> [Delete] entries
//     "n": [ { "file": "new.dll" } ] }  new files      -> [Add] entries
//
// Where text is expected a number or boolean is taken as its text and null as empty; "u", "d"
// or "n" absent or null count as empty arrays; an element without "file" gives an entry with
// an empty path (which the updater skips). null, {} and [] mean there is no newer version.
// Anything else (another shape, a missing or empty version or base, a value over its limit,
// a version or base with white space, a file path the updater would refuse, see
// isSafeRelativePath) writes no file, leaves isUpdateAvailable() as it was and writes one
// debug message "update check refused: ...".
//
// Each element of "u" and "n" may carry "size" (bytes) and "sha256" (64 lower-case hex
// digits), written into the file for the updater to check the fetched bytes against; the
// document may carry "installed" (the installed version it answers, or "*" for any version
// the server holds no release of), "issued" and "expires" (UTC, "2026-12-08T10:00:00Z").
//
// Channels and staged rollouts. The answer names the channel it was made for in "channel";
// one for another channel than the check's is refused as above (an answer without "channel",
// from an older server, is stable's). An answer whose version is not newer than the installed
// one is "nothing newer": a channel behind the installation never takes it back. "rollout":
// {"start": UTC, "days": D} offers the version to this installation only from start + f x D
// on, f being the installation's own fraction (rolloutfraction.h); before that the check is
// "nothing newer" with one debug message saying from when.
//
// Objects. The document may carry "objects", the URL of the folder the vendor's objects are
// fetched from; then each element of "u" and "n" with size and hash may carry "packed":
// {"size": N, "sha256": H}, a compressed copy of the file, and each element of "u" "patch":
// {"from": H0, "size": N, "sha256": H}, a patch from the installed file whose SHA-256 is H0.
// They go into the file for the updater, which fetches the cheapest way it can. A member this
// check cannot read is left out (one debug message "update check: object left out: ..." or
// "update check: objects left out: ..."), never the answer: the file is then fetched whole.
//
// Verification. When the check trusts release keys (by default the keys compiled in, see
// ORBISNAP_RELEASE_PUBLIC_KEYS), the answer's body must carry a valid signature (see
// answersignature.h) by one of them before it is parsed, its "installed" must name the
// installed version (an answer for "*" must not name an older version than the installed
// one), its "expires" must be a UTC time still to come, and every element of "u" and "n" must
// carry "size" and "sha256"; otherwise the answer is refused as above. Without keys the answer is taken as it comes, and one debug message per process says
// that answers are not verified.
//
// Roles. A build with root keys (ORBISNAP_ROOT_KEYS) checks every answer by roles instead
// (roleanswer.h): the key documents it carries from the root keys, the online signature, the
// release-signed manifest and channel assignment; then as with release keys above.

#include "answersignature.h"
#include "roleanswer.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

inline constexpr char UpdaterExeName[] = "RevisionPusher.exe";
// The channel of an installation that names none.
inline constexpr char StableChannelName[] = "stable";
// The "installed" of an answer made for any version the server holds no release of.
inline constexpr char AnyVersionName[] = "*";
// The usage report's state of an installation that returned to its previous version; the
// report carries the version returned from in its field "returnedFrom".
inline constexpr std::uint8_t ReturnedUseState = 4;
// The usage report's state of an installation whose normal start confirmed a version installed
// with a start check (confirmHealthy); the report's "version" is the version confirmed. Sent once
// per confirmed version, never for an install without a start check.
inline constexpr std::uint8_t ConfirmedUseState = 5;

class UpdateCheck
{
public:
    enum class CheckResult {
        NotRun,
        // No reply, or no JSON; UploadManager wrote the diagnostic.
        ServerFailed,
        // The answer or the installed version was refused; one debug message says why.
        Refused,
        // An empty answer, or the newest version is not newer.
        NothingNewer,
        // "save file failed !" on the standard error stream, or the working directory was
        // refused (see isTrustedWorkDir) with one debug message.
        WriteFailed,
        // A version-difference file for a newer version was written.
        Written,
    };
    enum class LaunchResult {
        Started,
        // No version-difference file, or launchIfNewer without a newer version.
        NoUpdate,
        // The installed updater is in use.
        AlreadyRunning,
        // The updater could not be started (missing or not executable).
        StartFailed,
        // This user may not write the installed updater, so no update could be installed:
        // "no permission to write ..." on the standard error stream.
        NoPermission,
    };

    // Checks for a newer version than `version` (check), records where the file lives and
    // installs a staged updater left in the working directory by an earlier update, whatever
    // the server answered. Answers isUpdateAvailable(). Call it before any launch.
    //
    // With a start check on, it also counts this start of a version installed but not yet
    // confirmed (confirmHealthy); when the channel's number of starts has passed without a
    // confirmation it starts the updater to return to the previous version and ends the
    // process with 0, as a host does in mode 1. After a return it sends the usage report with
    // state 4 (ReturnedUseState) naming the version returned from, and after a confirmation
    // the one with state 5 (ConfirmedUseState), each once: a failed send is made again by a
    // later prepare. In the updater's check start it does nothing.
    bool prepare(const char* version);

    // Asks the server and, when it names a newer version, writes the version-difference file.
    // `version` also becomes the installed version written into the file.
    void check(const QString& version);

    // Starts RevisionPusher.exe (beside the host executable) detached with the host's name and
    // `mode`, when a version-difference file exists ("already is the latest version !"
    // otherwise) and no updater runs ("already running ..." otherwise). Does not wait.
    LaunchResult launch(std::int32_t mode);
    // launch(1): the host is about to end; the updater waits for it.
    LaunchResult launchWaiting();
    // When a newer version was found: "update new version ............" and launch(2).
    LaunchResult launchIfNewer();

    // The release channel to ask about (see below); "stable" until set. The request names any
    // other channel with "&channel=NAME" after the version.
    void setChannel(const QString& name) { channelName = name.isEmpty() ? QString::fromLatin1(StableChannelName) : name; }
    const QString& channel() const { return channelName; }

    // Replaces the keys answers are verified against (raw 32-byte Ed25519 public keys; none:
    // answers are not verified). By default the keys compiled into this build; a host has no
    // need to call this.
    void trustKeys(const QList<QByteArray>& keys) { trustedKeys = keys; }
    const QList<QByteArray>& trustedKeyList() const { return trustedKeys; }
    // Replaces the root keys answers are checked against by roles (roleanswer.h); with none,
    // by the release keys above. By default the root keys compiled into this build.
    void trustRootKeys(const RoleKeys& root) { trustedRoot = root; }

    // The host's word that its start-up went well, called once that start-up is done. In the
    // updater's start check (the host started with --orbisnap-health-check) it records the
    // confirmation and ends the process with exit code 0. In a normal start it confirms a
    // newly installed version: its previous version is removed, its starts are no longer
    // counted and the next prepare reports the confirmation (ConfirmedUseState).
    static void confirmHealthy();
    // Whether this process is the updater's start check of a new version.
    static bool isHealthCheckStart();

    bool isUpdateAvailable() const { return updateAvailable; }
    CheckResult lastCheck() const { return lastResult; }
    // UTF-8; empty before prepare.
    const QByteArray& diffFilePath() const { return diffPath; }
    const QByteArray& workDirectory() const { return workDir; }
    const QByteArray& installedVersion() const { return currentVersion; }

private:
    CheckResult runCheck(const QString& version);
    // Counts a start of installedToken ("v1.0.4") while it is installed but not confirmed;
    // true when the starts its channel allows have passed already (a return is due).
    static bool countUnconfirmedStart(const QString& workDir, const QByteArray& installedToken);
    // The usage reports of a return and of a confirmation not yet sent (once each; a failed
    // one is sent by a later check). `installed` is the version this host runs.
    static void sendVersionReports(const QString& workDir, const QString& installed);

    QByteArray diffPath;
    QByteArray workDir;
    bool updateAvailable = false;
    QByteArray currentVersion;
    CheckResult lastResult = CheckResult::NotRun;
    QList<QByteArray> trustedKeys = compiledInPublicKeys();
    RoleKeys trustedRoot = compiledInRootKeys();
    QString channelName = QString::fromLatin1(StableChannelName);
};

// Moves the staged file over the installed one without ever leaving the installed one
// missing: the staged file is copied to `installed` + ".new" and renamed over `installed`;
// only then is the staged file removed. On any failure the installed file stays as it was, the
// staged one stays for the next try and a debug message says why. The installed file's
// permissions are kept, and the result is executable by its owner. Answers whether it moved;
// false without a message when nothing is staged.
bool installStagedUpdater(const QString& staged, const QString& installed);
