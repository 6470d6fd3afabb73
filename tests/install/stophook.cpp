// Linked only into the tests' build of the updater: with ORBISNAP_STOP_BEFORE_CHANGE=N in its
// environment the process stops itself (SIGSTOP) right before the N-th file-system change of
// its merge, after saying so on the standard error stream, so that the test can kill it
// exactly there.

#include "changehook.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

long stopAt = 0;
long seen = 0;

void stopBeforeChange()
{
    if (++seen != stopAt) {
        return;
    }
    std::fprintf(stderr, "stopped before change %ld\n", seen);
    std::fflush(stderr);
    std::raise(SIGSTOP);
}

struct InstallHook
{
    InstallHook()
    {
        if (const char* value = std::getenv("ORBISNAP_STOP_BEFORE_CHANGE")) {
            stopAt = std::strtol(value, nullptr, 10);
        }
        if (stopAt > 0) {
            fileSystemChangeHook = stopBeforeChange;
        }
    }
} installHook;

} // namespace
