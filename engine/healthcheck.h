#pragma once

// The start check after an install whose channel asks for it, and what follows from it. The
// new host executable is started with --orbisnap-health-check in the installation folder; it
// passes when it calls UpdateCheck::confirmHealthy(), which records the confirmation in the
// working directory and ends the process with 0, within the channel's timeout. A crash,
// another exit code, no confirmation or the timeout (the process is then killed) returns the
// installation to its previous version (previousreturn.h).

#include <QString>

// Starts hostExe as the check and waits at most timeoutSeconds for it. True when it ended
// with 0 and the confirmation was recorded; else false with *why naming the failure.
bool runHealthCheck(const QString& hostExe, const QString& appDir, const QString& workDir, int timeoutSeconds,
    QString* why);

enum class Settled {
    Nothing,  // no previous version waiting for a verdict, or it may not be dealt with now
    Kept,     // the new version passed its check; the previous one stays until confirmed
    Returned, // the installation is the previous version again
    Failed,   // a return was due and could not be made; one line said why
};

// What a run of the updater (modes 1 and 2) does about the previous version before anything
// else, and after each install: finishes a return a killed run began, runs the start check
// of a version installed but not yet checked, and returns when the host has started the
// number of times the channel allows without confirming. *returnedAfterStarts tells that the
// return came from unconfirmed starts in the field (the restored host is then started again).
Settled settlePreviousVersion(const QString& workDir, const QString& hostExe, const QString& appDir, int mode,
    bool* returnedAfterStarts = nullptr);
