#pragma once

#include <string_view>

// Whether a relative path from the version-difference file may be joined to the working or the
// installation directory: not absolute ("/" or "\" first), no colon (drive letters, Windows
// stream names), no ".." component ("/" or "\" as separator), no blank, tab or line break.
// On refusal *reason (when given) says why, for a diagnostic. The empty path passes: it names
// no file, and the reader skips such a line anyway.
bool isSafeRelativePath(std::string_view path, const char** reason = nullptr);
