#pragma once

// Files in the installation directory that the merge could not remove yet because a program
// still held them: on Windows the updater's own DLLs and plugins, renamed aside so that their
// new versions could take the names. They are listed in the working directory, one UTF-8 path a
// line, and removed by a later run once nothing holds them.

#include <QString>

inline constexpr char LeftoverListName[] = "pending_removal.txt";

// Removes path at once (one try, no waiting for a holder); when that fails, adds it to the
// list in workDir so that a later run removes it. False when it could not even be listed.
bool removeNowOrLater(const QString& workDir, const QString& path);

// Removes every listed file that is still there and lies below appDir under a hidden name (the
// merge's temporary names start with "."); anything else on the list is dropped from it
// untouched. Files still held stay listed; the list goes when it is empty. Answers how many
// remain listed.
int removeLeftovers(const QString& workDir, const QString& appDir);
