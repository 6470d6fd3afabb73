#include "enginepaths.h"

#include "filehelpers.h"
#include "fileops.h"
#include "safepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <string_view>

namespace {

// The relative path's components as the file system separates them ("\\" is a separator on
// Windows only); empty and "." components name no level and are dropped.
QStringList components(const QString& relative)
{
#ifdef _WIN32
    const QRegularExpression separators(QStringLiteral("[/\\\\]"));
#else
    const QRegularExpression separators(QStringLiteral("/"));
#endif
    QStringList parts;
    for (const QString& part : relative.split(separators)) {
        if (!part.isEmpty() && part != QLatin1String(".")) {
            parts.append(part);
        }
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
        const QFileInfo info(level);
        if (isLinkEntry(level)) {
            std::fprintf(stderr, "symbolic link refused: %s\n", level.toUtf8().constData());
            return false;
        }
        if (info.isDir()) {
            continue;
        }
        if (info.exists() || info.isSymbolicLink() || !QDir().mkdir(level)) {
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

