#pragma once

#include <string_view>

// Whether a relative path from the version-difference file may be joined to the working or the
// installation directory. The one check that the server, the update check and the reader share,
// so that all three agree; it holds on every system, since the files end up on Windows:
//   - not absolute ("/" or "\" first), no colon (drive letters, Windows stream names)
//   - no blank, tab or line break
//   - no ".." component ("/" or "\" as separator)
//   - no name that Windows takes for another file: a component ending in "." (Windows drops
//     trailing dots, so "RevisionPusher.exe." opens the updater itself), a device name (CON,
//     PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$, in any case, also with an
//     extension: "nul.dll" is the NUL device) and an 8.3 short name ("~" and a digit, as in
//     "PROGRA~1": it may name another file than the one listed)
// On refusal *reason (when given) says why, for a diagnostic. The empty path passes: it names
// no file, and the reader skips such a line anyway. A "." component names no level and passes.
bool isSafeRelativePath(std::string_view path, const char** reason = nullptr);
