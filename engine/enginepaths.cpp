#include "enginepaths.h"

#include "filehelpers.h"
#include "fileops.h"
#include "safepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <string_view>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

// The relative path's components as the file system separates them ("\\" is a separator on
// Windows only); empty and "." components name no level and are dropped.
QStringList components(const QString& relative)
{
    QStringList parts;
    qsizetype start = 0;
    for (qsizetype at = 0; at <= relative.size(); ++at) {
        const bool end = at == relative.size();
#ifdef _WIN32
        const bool separator = !end && (relative[at] == QLatin1Char('/') || relative[at] == QLatin1Char('\\'));
#else
        const bool separator = !end && relative[at] == QLatin1Char('/');
#endif
        if (!end && !separator) {
            continue;
        }
        const QString part = relative.mid(start, at - start);
        if (!part.isEmpty() && part != QLatin1String(".")) {
            parts.append(part);
        }
        start = at + 1;
    }
    return parts;
}

} // namespace

bool isUsableRelativePath(const char* relative, const char** reason)
{
    const std::string_view path(relative);
    if (!isSafeRelativePath(path, reason)) {
        return false;
    }
    const std::size_t separator = path.find_last_of("/\\");
    const std::string_view name = separator == std::string_view::npos ? path : path.substr(separator + 1);
    if (name.empty() || name == ".") {
        if (reason) {
            *reason = "path names no file";
        }
        return false;
    }
    return true;
}

QString lastComponent(const QString& relative)
{
    const QStringList parts = components(relative);
    return parts.isEmpty() ? QString() : parts.last();
}

bool isLinkEntry(const QString& path)
{
    return platform::isSymbolicLink(nativePath(path));
}

EntryKind entryKind(const QString& path, qint64* size)
{
#ifdef _WIN32
    if (isLinkEntry(path)) {
        return EntryKind::Link;
    }
    const QFileInfo info(path);
    if (info.isFile() && size) {
        *size = info.size();
    }
    return info.isFile() ? EntryKind::File
        : info.isDir()   ? EntryKind::Directory
        : info.exists()  ? EntryKind::Other
                         : EntryKind::Missing;
#else
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0) {
        return EntryKind::Missing;
    }
    if (S_ISREG(status.st_mode) && size) {
        *size = qint64(status.st_size);
    }
    return S_ISLNK(status.st_mode) ? EntryKind::Link
        : S_ISREG(status.st_mode)  ? EntryKind::File
        : S_ISDIR(status.st_mode)  ? EntryKind::Directory
                                   : EntryKind::Other;
#endif
}

QString linkOnPath(const QString& root, const QString& relative, bool withFile)
{
    QStringList parts = components(relative);
    if (!withFile && !parts.isEmpty()) {
        parts.removeLast();
    }
    QString level = root;
    for (const QString& part : parts) {
        level = joinPath(level, part);
        if (isLinkEntry(level)) {
            return level;
        }
    }
    return QString();
}

bool makeParentDirs(const QString& root, const QString& relative, QStringList* created)
{
    QStringList parts = components(relative);
    if (parts.isEmpty()) {
        return false;
    }
    parts.removeLast();
    // Each level is root plus components that are neither "..", empty nor "." (the path was
    // checked by isUsableRelativePath), so every directory made here lies below root.
    QString level = root;
    for (const QString& part : parts) {
        level = joinPath(level, part);
        const EntryKind kind = entryKind(level);
        if (kind == EntryKind::Link) {
            std::fprintf(stderr, "symbolic link refused: %s\n", level.toUtf8().constData());
            return false;
        }
        if (kind == EntryKind::Directory) {
            continue;
        }
        if (kind != EntryKind::Missing || !QDir().mkdir(level)) {
            return false;
        }
        if (created) {
            created->append(level);
        }
    }
    return true;
}

void removeCreatedDirs(const QStringList& created)
{
    for (auto it = created.crbegin(); it != created.crend(); ++it) {
        QDir().rmdir(*it);
    }
}

