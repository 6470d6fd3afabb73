#pragma once

// Path helpers shared by the download pass and the merge. Every path they build is a root (the
// working or the installation directory) joined with a relative path from the
// version-difference file; they create directories below a root and never above it.

#include <QString>
#include <QStringList>

#include <filesystem>

// Whether relative may be joined to a root: not empty, accepted by isSafeRelativePath, and
// naming a file (its last component is neither empty nor "."). On refusal *reason (when
// given) says why.
bool isUsableRelativePath(const char* relative, const char** reason);

// The last component of a relative path: the name of the file it names.
QString lastComponent(const QString& relative);

// Whether path itself is a symbolic link (or, on Windows, a junction); the link is not followed.
bool isLinkEntry(const QString& path);

// What path itself is, a link not followed, in one look at the file system where the system
// allows (the pass looks at every file it fetches, so each look counts). For a file, *size
// (when given) is its size.
enum class EntryKind { Missing, File, Directory, Link, Other };
EntryKind entryKind(const QString& path, qint64* size = nullptr);

// The first entry below root on the way to root/relative that is a symbolic link, as a full
// path; empty when there is none. The folders are looked at, and the file itself too when
// withFile is set. root itself is not looked at: its trust is the caller's.
QString linkOnPath(const QString& root, const QString& relative, bool withFile);

// Creates the missing directories between root and the file root/relative, one level at a
// time and only below root (root itself must exist). Each directory it creates is appended to
// *created (when given), outermost first, so a caller can take them away again. False when a
// level exists as something other than a directory, is a symbolic link (a folder linked
// elsewhere would take the file out of root; "symbolic link refused: PATH" on the standard
// error stream) or cannot be created.
bool makeParentDirs(const QString& root, const QString& relative, QStringList* created = nullptr);

// Removes the directories that makeParentDirs created, innermost first, where they are empty.
void removeCreatedDirs(const QStringList& created);
