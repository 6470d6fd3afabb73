#include "previousversion.h"

#include "checkedwrite.h"
#include "filehelpers.h"
#include "fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

constexpr char Marker[] = "@OrbisnapPrevious 1";

QByteArray encodePath(const QString& path)
{
    return path.isEmpty() ? QByteArray("-") : path.toUtf8().toPercentEncoding("/:\\");
}

QString decodePath(const QByteArray& field)
{
    return field == "-" ? QString() : QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

bool isHexDigest(const QByteArray& text)
{
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool writeChecked(const QString& path, const QByteArray& text)
{
    QString why;
    if (!writeFileChecked(path, text, &why)) {
        std::fprintf(stderr, "not written: %s (%s)\n", path.toUtf8().constData(), why.toUtf8().constData());
        return false;
    }
    return true;
}

} // namespace

QString workFile(const QString& workDir, const char* name)
{
    return joinPath(workDir, QString::fromLatin1(name));
}

bool writePreviousVersion(const QString& workDir, const PreviousVersion& previous)
{
    QByteArray text = QByteArray(Marker) + '\n';
    text += "versions " + previous.oldVersion + ' ' + previous.newVersion + '\n';
    text += "health " + QByteArray::number(previous.timeout) + ' ' + QByteArray::number(previous.starts) + ' '
        + (previous.checked ? "1" : "0") + '\n';
    for (const PreviousFile& file : previous.files) {
        text += "file " + QByteArray::number(file.size) + ' ' + file.sha256 + ' ' + encodePath(file.target) + ' '
            + encodePath(file.copy) + '\n';
    }
    for (const QString& target : previous.added) {
        text += "added " + encodePath(target) + '\n';
    }
    for (const QString& dir : previous.dirs) {
        text += "dir " + encodePath(dir) + '\n';
    }
    return writeChecked(workFile(workDir, PreviousRecordName), text);
}

PreviousRead readPreviousVersion(const QString& workDir, PreviousVersion& previous)
{
    QFile file(workFile(workDir, PreviousRecordName));
    if (!file.exists()) {
        return PreviousRead::Missing;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return PreviousRead::Unreadable;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.isEmpty() || lines.first() != Marker) {
        return PreviousRead::Unreadable;
    }
    previous = PreviousVersion();
    bool versions = false;
    bool health = false;
    for (const QByteArray& line : lines.mid(1)) {
        const QList<QByteArray> fields = line.split(' ');
        const QByteArray& key = fields.first();
        if (key == "versions" && fields.size() == 3) {
            previous.oldVersion = fields[1];
            previous.newVersion = fields[2];
            versions = !fields[1].isEmpty() && !fields[2].isEmpty();
        } else if (key == "health" && fields.size() == 4) {
            bool timeoutOk = false;
            bool startsOk = false;
            previous.timeout = fields[1].toInt(&timeoutOk);
            previous.starts = fields[2].toInt(&startsOk);
            previous.checked = fields[3] == "1";
            health = timeoutOk && startsOk && previous.timeout > 0 && previous.starts > 0;
        } else if (key == "file") {
            PreviousFile entry;
            bool number = false;
            if (fields.size() == 5) {
                entry.size = fields[1].toLongLong(&number);
                entry.sha256 = fields[2];
                entry.target = decodePath(fields[3]);
                entry.copy = decodePath(fields[4]);
            }
            if (!number || entry.size < 0 || !isHexDigest(entry.sha256) || entry.target.isEmpty()
                || entry.copy.isEmpty()) {
                return PreviousRead::Unreadable;
            }
            previous.files.push_back(entry);
        } else if (key == "added" && fields.size() == 2) {
            previous.added.append(decodePath(fields[1]));
        } else if (key == "dir" && fields.size() == 2) {
            previous.dirs.append(decodePath(fields[1]));
        }
    }
    return versions && health ? PreviousRead::Read : PreviousRead::Unreadable;
}

bool removePreviousVersion(const QString& workDir)
{
    const bool record = removeWorkRecord(workDir, PreviousRecordName);
    const QString folder = workFile(workDir, PreviousFolderName);
    std::error_code error;
    std::filesystem::remove_all(nativePath(folder), error);
    platform::syncDirectory(nativePath(workDir));
    return record && !error && !QFileInfo::exists(folder);
}

bool writeWorkRecord(const QString& workDir, const char* name, const QByteArray& line)
{
    return writeChecked(workFile(workDir, name), line + '\n');
}

QByteArray readWorkRecord(const QString& workDir, const char* name)
{
    QFile file(workFile(workDir, name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.read(256).trimmed();
}

bool removeWorkRecord(const QString& workDir, const char* name)
{
    const QString path = workFile(workDir, name);
    if (!QFileInfo::exists(path)) {
        return true;
    }
    const bool removed = QFile::remove(path);
    platform::syncDirectory(nativePath(workDir));
    return removed;
}

ReportedVersion readReportedVersion(const QString& workDir, const char* record)
{
    const QList<QByteArray> fields = readWorkRecord(workDir, record).split(' ');
    ReportedVersion value;
    if (fields.size() == 2 && !fields[0].isEmpty()) {
        value.version = fields[0];
        value.reported = fields[1] == "1";
    }
    return value;
}

bool writeReportedVersion(const QString& workDir, const char* record, const ReportedVersion& value)
{
    return writeWorkRecord(workDir, record, value.version + (value.reported ? " 1" : " 0"));
}
