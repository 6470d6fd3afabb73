#pragma once

// The previous version of an installation and the return to it (the record's format is in
// previousversion.h). An install whose channel asks for a start check keeps what it replaced
// instead of deleting it; when the new version fails its check, or fails to confirm in its
// normal starts, the updater puts the previous version back through the install journal, so
// that a kill at any moment of the return is finished or taken back by the next run.

#include "journal.h"

#include <QString>

// Called while finishing an install whose journal keeps the previous version, before its
// backups are removed: drops an earlier previous version (and what a killed run left of this
// one), links or copies every backup below "previous/" of the working directory, flushes them,
// then writes the record. False, with one line, when it could not be kept (the install stands).
bool keepPreviousVersion(const QString& workDir, const Journal& journal);

// Puts the previous version back, all or nothing: every copy is checked against the size and
// SHA-256 recorded when it was set aside before anything is touched, "return.pending" marks
// the return, then the journal replaces the new files, removes the added ones and the folders
// the install made. Once finished, "returned.version" names the version returned from and the
// start-check records go. True when the installation is the previous version.
bool returnToPrevious(const QString& workDir);

// Ends a return whose journal finished (a killed run's, completed by recovery): records the
// version returned from and drops the start-check records. Does nothing without a pending return.
void completeReturn(const QString& workDir);
