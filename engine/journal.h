#pragma once

// The install journal: what a merge is about to do to the installation, kept in the working
// directory so that a run killed half-way is finished or taken back by the next one.
//
// File "merge.journal" in the working directory, rewritten whole (through "merge.journal.new",
// flushed, renamed over it, the directory synced) at each change of state:
//
//   @OrbisnapJournal 1
//   state staging|committing|rollingback|finished
//   dir PATH                                  a folder the merge made in the installation
//   step replace|delete HAD SIZE TARGET STAGED BACKUP FETCHED SHA256
//   leftover PATH                             a file to remove that could not be removed yet
//   previous OLD NEW TIMEOUT STARTS           keep what the install replaces as the previous
//                                             version (previousversion.h) when finishing
//   prune PATH                                a folder to remove, when empty, once finished
//
// Paths are absolute, UTF-8 and percent-encoded (so they hold no blank); "-" stands for none.
// HAD is 1 when the target existed when the merge was planned, SIZE the staged file's size
// (-1 unknown) and SHA256 its digest in hex where the version-difference file gave one. STAGED and BACKUP are hidden names beside the target, unique to the merge.
//
// What a step's files say about its progress, which is why no per-file progress is written:
//   staged present, backup absent          not begun (target untouched)
//   staged present, backup present         target kept as backup (a second link, or moved)
//   staged absent,  target present         placed (committing and later only)
// A deletion keeps the target as backup, then removes the target.
//
// States: staging (staged copies being made: a crash takes everything back), committing (every
// staged copy was complete and on disk before this state was written: a crash is finished
// forward when every staged copy still present is intact, else taken back), rollingback (a
// failed merge was taking back: finished backward), finished (installed; only the leftovers
// remain to be removed).

#include <QString>
#include <QStringList>

#include <vector>

struct JournalStep
{
    bool deletion = false;
    bool hadTarget = false;
    qint64 size = -1;
    QString target;
    QString staged; // empty for a deletion
    QString backup;
    QString fetched; // the copy in the working directory; empty for a deletion
    QByteArray sha256; // 64 hex digits, or empty
};

struct Journal
{
    enum class State { Staging, Committing, RollingBack, Finished };
    State state = State::Staging;
    QStringList createdDirs; // outermost first
    std::vector<JournalStep> steps;
    QStringList leftovers;
    // Removed once the install is complete.
    QString diffPath;
    // The channel asks for a start check: finishing keeps the backups as the previous version.
    bool keepPrevious = false;
    QByteArray oldVersion;
    QByteArray newVersion;
    int healthTimeout = 0;
    int healthStarts = 0;
    // Folders a return takes away (those the install it undoes had made), innermost last.
    QStringList pruneDirs;
};

inline constexpr char JournalFileName[] = "merge.journal";

QString journalPath(const QString& workDir);

// Writes the journal durably; false (with a diagnostic) when it could not be made durable, in
// which case nothing may be relied on it.
bool writeJournal(const QString& workDir, const Journal& journal);

enum class JournalRead { Missing, Read, Unreadable };
JournalRead readJournal(const QString& workDir, Journal& journal);

// Removes the journal (and a half-written new one) and syncs the working directory.
bool removeJournal(const QString& workDir);

// The steps of an install, shared by the merge and by the recovery of an interrupted one. Each
// tolerates having been run in part before (by a process that died), so running it again
// after a crash is always right.
namespace journalsteps {

// Puts one step in place: keeps the target as backup, then renames the staged copy onto it (a
// deletion removes the target). A staged copy that is gone means the step was placed already.
bool commit(JournalStep& step);
// Takes one step back from its backup, removes a placed new file and the staged copy. False
// when the backup could not be put back (it stays, named in the diagnostic).
bool takeBack(JournalStep& step, bool committed);
// After every step is placed: removes backups, fetched copies (and their emptied folders below
// workDir), the version-difference file and finally the journal. Files that cannot be removed
// yet are kept in a journal in state finished for a later run. Syncs what changed.
void finish(const QString& workDir, Journal& journal);
// Takes every step back, newest first, removes the folders the merge made and the journal
// (kept, in state rollingback, when a backup could not be put back).
bool rollBack(const QString& workDir, Journal& journal);

// The whole install of a prepared journal (steps, folders to make, the version-difference
// file): journal written, folders made, every step staged from its fetched copy and flushed,
// "committing", every step placed, finished. Any failure takes everything back (one line
// naming the target). Answers 1 when installed, else 0.
int install(const QString& workDir, Journal& journal);
// A hidden name beside target, unique to one install by its tag; newTag() makes one.
QString hiddenBeside(const QString& target, const char* purpose, const QString& tag);
QString newTag();

// Flushes every staged copy and the folders that hold them to disk.
bool flushStaged(const Journal& journal);
// Syncs the folders of every target (after the renames).
void syncTargetDirs(const Journal& journal);

} // namespace journalsteps

// What a start of the updater found and did about an earlier, interrupted install.
enum class Recovery {
    NoJournal, // nothing was pending
    Completed, // finished forward: the installation is the new release
    TakenBack, // taken back: the installation is the old release, the run may merge again
    Cleaned,   // only leftovers of a finished install were pending (some may remain)
    Left,      // left as it is (mode 0, another mode that installs nothing, or host in use)
    Failed     // could not be finished either way; the journal stays for a later run
};

// Looks for a journal in workDir and deals with it before anything else of the run: with the
// host executable free (mode 1 waits for it as the merge does, mode 2 tests once) it finishes
// the install when every staged copy is present and intact, else takes it back; then removes
// every staged, backup and renamed-aside file it names, and the journal. In mode 0, in other
// modes and while the host is in use it leaves the installation as it is and says so in one
// line. The run may go on unless the answer is Left or Failed.
Recovery recoverInstall(const QString& workDir, const QString& hostExe, int mode);

// Why the installation may not be changed now (the host in use, no permission), or null when
// it may. Mode 1 waits for the host as the merge does.
const char* installationBlocked(const QString& hostExe, int mode);
