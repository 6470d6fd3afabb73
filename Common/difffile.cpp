#include "difffile.h"

#include "checkedwrite.h"
#include "fileops.h"
#include "safepath.h"
#include "sha256.h"
#include "version.h"

#include <QByteArray>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Reads white-space separated items the way formatted input does ("%d", "%s"), without any
// fixed buffer: the caller checks each token's length against its field.
class LineScanner
{
public:
    explicit LineScanner(std::string_view line) : rest(line) {}

    bool token(std::string_view& out)
    {
        skipSpace();
        std::size_t end = 0;
        while (end < rest.size() && !isSpace(rest[end])) {
            ++end;
        }
        if (end == 0) {
            return false;
        }
        out = rest.substr(0, end);
        rest.remove_prefix(end);
        return true;
    }

    // Optional sign and at least one digit; out of range saturates.
    bool integer(long long& out)
    {
        skipSpace();
        std::size_t at = 0;
        bool negative = false;
        if (at < rest.size() && (rest[at] == '+' || rest[at] == '-')) {
            negative = rest[at] == '-';
            ++at;
        }
        const std::size_t digits = at;
        long long value = 0;
        while (at < rest.size() && rest[at] >= '0' && rest[at] <= '9') {
            if (value < LLONG_MAX / 10) {
                value = value * 10 + (rest[at] - '0');
            }
            ++at;
        }
        if (at == digits) {
            return false;
        }
        out = negative ? -value : value;
        rest.remove_prefix(at);
        return true;
    }

private:
    static bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    void skipSpace()
    {
        while (!rest.empty() && isSpace(rest.front())) {
            rest.remove_prefix(1);
        }
    }

    std::string_view rest;
};

bool readLine(std::FILE* file, std::string& line)
{
    line.clear();
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, file)) {
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            return true;
        }
    }
    return !line.empty();
}

// The file was always written in text mode, which stores each line end as CR LF on Windows.
#ifdef _WIN32
constexpr char LineEnd[] = "\r\n";
#else
constexpr char LineEnd[] = "\n";
#endif

void copyField(char* field, std::string_view text)
{
    // A token the line did not supply is an empty view without storage.
    if (!text.empty()) {
        std::memcpy(field, text.data(), text.size());
    }
    field[text.size()] = '\0';
}

void diagnose(const char* path, int lineNumber, const char* what)
{
    std::fprintf(stderr, "%s:%d: %s\n", path, lineNumber, what);
}

int actionCode(std::string_view name)
{
    for (int code = 0; code < 4; ++code) {
        if (name == FileActionNames[code]) {
            return code;
        }
    }
    return Nome;
}

// A token after the path that starts like a number is taken for the size, so that a damaged
// size is refused rather than read as an ignored word.
bool startsNumber(std::string_view token)
{
    return !token.empty() && ((token[0] >= '0' && token[0] <= '9') || token[0] == '-' || token[0] == '+');
}

// Decimal digits only, no sign, within the 64-bit range.
bool readSize(std::string_view text, std::int64_t& size)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + std::uint64_t(c - '0');
    }
    if (value > std::uint64_t(INT64_MAX)) {
        return false;
    }
    size = std::int64_t(value);
    return true;
}

// One entry line; answers false when the line is skipped.
bool readEntry(const char* path, int lineNumber, std::string_view line, FileEntryList& entries)
{
    LineScanner scan(line);
    long long state = 0;
    std::string_view action, colon, file;
    if (!scan.integer(state) || !scan.token(action) || !scan.token(colon) || !scan.token(file)) {
        return false;
    }
    if (action.size() >= VersionSize) {
        diagnose(path, lineNumber, "action name longer than 31 bytes, line skipped");
        return false;
    }
    const int code = actionCode(action);
    if (code == Nome) {
        return false;
    }
    if (file.size() >= FilePathSize) {
        diagnose(path, lineNumber, "file path longer than 127 bytes, line skipped");
        return false;
    }
    const char* reason = nullptr;
    if (!isSafeRelativePath(file, &reason)) {
        std::fprintf(stderr, "%s:%d: %s, line skipped\n", path, lineNumber, reason);
        return false;
    }
    const std::string zeroTerminated(file);
    const std::int32_t knownState = state >= NoDo && state <= Downloaded ? std::int32_t(state) : NoDo;
    std::string_view sizeText;
    if (code == Delete || !scan.token(sizeText) || !startsNumber(sizeText)) {
        // No size and hash: words after the path are ignored, as they always were.
        entries.append(code, knownState, zeroTerminated.c_str());
        return true;
    }
    std::int64_t size = 0;
    std::string_view hashText;
    Sha256Digest digest {};
    if (!readSize(sizeText, size) || !scan.token(hashText) || !Sha256::fromHex(hashText, digest)) {
        diagnose(path, lineNumber, "size and SHA-256 after the path malformed, line skipped");
        return false;
    }
    entries.append(code, knownState, zeroTerminated.c_str(), size, digest.data());
    return true;
}

} // namespace

DiffLoad readDiffFile(const char* path, DiffFile& diff)
{
    std::FILE* file = platform::openFile(platform::pathFromUtf8(path), "rt");
    if (!file) {
        std::fprintf(stderr, "load file failed !\n");
        return DiffLoad::CannotOpen;
    }
    struct Closer {
        std::FILE* file;
        ~Closer() { std::fclose(file); }
    } closer { file };

    std::string line;
    std::string versions;
    std::string base;
    if (!readLine(file, line) || !readLine(file, versions) || !readLine(file, base)) {
        diagnose(path, 1, "fewer than three lines, file not loaded");
        return DiffLoad::Refused;
    }

    LineScanner versionScan(versions);
    std::string_view oldVersion, arrow, newVersion;
    (void)(versionScan.token(oldVersion) && versionScan.token(arrow) && versionScan.token(newVersion));
    if (oldVersion.size() >= VersionSize || newVersion.size() >= VersionSize) {
        diagnose(path, 2, "version longer than 31 bytes, file not loaded");
        return DiffLoad::Refused;
    }
    std::string_view downloadBase;
    LineScanner(base).token(downloadBase);
    if (downloadBase.size() >= DownloadBaseSize) {
        diagnose(path, 3, "download base longer than 255 bytes, file not loaded");
        return DiffLoad::Refused;
    }
    copyField(diff.oldVersion, oldVersion);
    copyField(diff.newVersion, newVersion);
    copyField(diff.downloadBase, downloadBase);

    if (compareVersions(diff.oldVersion, diff.newVersion) >= 0) {
        return DiffLoad::NothingNewer;
    }
    for (int lineNumber = 4; readLine(file, line); ++lineNumber) {
        readEntry(path, lineNumber, line, diff.entries);
    }
    return DiffLoad::Loaded;
}

bool writeDiffFile(const char* path, const char* oldVersion, const char* newVersion,
    const char* downloadBase, const FileEntry* head)
{
    QByteArray text;
    text += DiffFileMarker;
    text += LineEnd;
    text += oldVersion;
    text += " --> ";
    text += newVersion;
    text += LineEnd;
    text += downloadBase;
    text += LineEnd;
    for (const FileEntry* entry = head; entry; entry = entry->next) {
        text += QByteArray::number(entry->state);
        text += ' ';
        text += fileActionName(entry->action);
        text += " : ";
        text += entry->file;
        if (entry->action != Delete && entry->hasDigest()) {
            text += ' ';
            text += QByteArray::number(qint64(entry->size));
            text += ' ';
            Sha256Digest digest;
            std::memcpy(digest.data(), entry->sha256, digest.size());
            text += Sha256::toHex(digest);
        }
        text += LineEnd;
    }

    QString error;
    if (!writeFileChecked(QString::fromUtf8(path), text, &error)) {
        std::fprintf(stderr, "save file failed !\n");
        std::fprintf(stderr, "%s: %s\n", path, error.toLocal8Bit().constData());
        return false;
    }
    return true;
}
