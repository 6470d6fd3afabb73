#pragma once

// What an installation keeps of the version an install replaced, until the new version has
// proved that it starts, and the small records of the start check around it. All of it lives
// in the host's working directory.
//
// "previous.version", written whole (temporary name, synced, renamed) once the copies it names
// are on disk:
//
//   @OrbisnapPrevious 1
//   versions OLD NEW                       the version kept and the one installed over it
//   health TIMEOUT STARTS CHECKED          the channel's start check; CHECKED 1 once the new
//                                          host confirmed in the updater's check start
//   file SIZE SHA256 TARGET COPY           a file of OLD: where it goes back to, and its copy
//                                          (below "previous/" of the working directory)
//   added TARGET                           a file the install added: a return removes it
//   dir PATH                               a folder the install made: removed when emptied
//
// Paths are absolute, UTF-8 and percent-encoded ("-" for none), as in the install journal.
// Lines of other names are passed over. At most one previous version exists; a later install
// replaces it, a confirmation of the new version removes it (the record first, so a copy
// without its record is only a leftover).
//
// The start check's other files:
//   "health.confirmed"   the host's confirmation in a check start (its content is the process id)
//   "health.starts"      normal starts of the new version not yet confirmed, a decimal count
//   "return.pending"     a return to OLD is under way (content: NEW), until it has finished
//   "returned.version"   "NEW REPORTED": the version returned from, and 1 once the usage
//                        report said so; a check does not take NEW again
//   "confirmed.version"  "NEW REPORTED": the version a normal start confirmed, and 1 once the
//                        usage report said so. Written before the previous version is removed,
//                        so a confirmation is never lost to a kill in between; a later
//                        confirmation of another version replaces it

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

inline constexpr char PreviousRecordName[] = "previous.version";
inline constexpr char PreviousFolderName[] = "previous";
inline constexpr char HealthConfirmedName[] = "health.confirmed";
inline constexpr char HealthStartsName[] = "health.starts";
inline constexpr char ReturnPendingName[] = "return.pending";
inline constexpr char ReturnedVersionName[] = "returned.version";
inline constexpr char ConfirmedVersionName[] = "confirmed.version";
// The argument the updater starts the new host with.
inline constexpr char HealthCheckArgument[] = "--orbisnap-health-check";

struct PreviousFile
{
    qint64 size = -1;
    QByteArray sha256; // 64 hex digits
    QString target;
    QString copy;
};

struct PreviousVersion
{
    QByteArray oldVersion; // as the version-difference file names it ("v1.0.3")
    QByteArray newVersion;
    int timeout = 0;
    int starts = 0;
    bool checked = false;
    std::vector<PreviousFile> files;
    QStringList added;
    QStringList dirs; // outermost first
};

enum class PreviousRead { Missing, Read, Unreadable };

QString workFile(const QString& workDir, const char* name);

// Durable; false with one line naming the file and the reason.
bool writePreviousVersion(const QString& workDir, const PreviousVersion& previous);
PreviousRead readPreviousVersion(const QString& workDir, PreviousVersion& previous);
// Removes the record, then every copy below "previous/" and the folder. True when nothing of
// it is left.
bool removePreviousVersion(const QString& workDir);

// Small records: a line of text written durably, read back trimmed (empty when missing).
bool writeWorkRecord(const QString& workDir, const char* name, const QByteArray& line);
QByteArray readWorkRecord(const QString& workDir, const char* name);
// Removes the record and syncs the folder; true when it is gone.
bool removeWorkRecord(const QString& workDir, const char* name);

// A version the server is to hear of (returned from, or confirmed; `record` names which), and
// whether the usage report that says so was sent.
struct ReportedVersion
{
    QByteArray version; // as the version-difference file names it ("v1.0.4"); empty: none
    bool reported = false;
};
ReportedVersion readReportedVersion(const QString& workDir, const char* record);
bool writeReportedVersion(const QString& workDir, const char* record, const ReportedVersion& value);
