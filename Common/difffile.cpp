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

constexpr char PackedWord[] = "packed=";
constexpr char PatchWord[] = "patch=";

// The next ':'-separated field of text; the rest stays in text.
std::string_view nextField(std::string_view& text)
{
    const std::size_t colon = text.find(':');
    const std::string_view field = text.substr(0, colon);
    text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    return field;
}

// "SIZE:SHA256" into object; false on anything else.
bool readObject(std::string_view text, FileObject& object)
{
    const std::string_view sizeText = nextField(text);
    Sha256Digest digest {};
    std::int64_t size = -1;
    if (!readSize(sizeText, size) || text.find(':') != std::string_view::npos || !Sha256::fromHex(text, digest)) {
        return false;
    }
    object.size = size;
    std::memcpy(object.sha256, digest.data(), digest.size());
    return true;
}

// The words after the hash: the entry's objects. False when one of them is malformed or
// repeated; the caller then drops them all.
bool readObjects(LineScanner& scan, FileEntry& entry)
{
    std::string_view word;
    bool packedSeen = false;
    bool patchSeen = false;
    while (scan.token(word)) {
        if (word.starts_with(PackedWord)) {
            if (packedSeen || !readObject(word.substr(sizeof PackedWord - 1), entry.packed)) {
                return false;
            }
            packedSeen = true;
        } else if (word.starts_with(PatchWord)) {
            std::string_view rest = word.substr(sizeof PatchWord - 1);
            Sha256Digest from {};
            if (patchSeen || !Sha256::fromHex(nextField(rest), from) || !readObject(rest, entry.patch)) {
                return false;
            }
            std::memcpy(entry.patchFrom, from.data(), from.size());
            patchSeen = true;
        }
    }
    return true;
}

void appendHex(QByteArray& text, const std::uint8_t* bytes)
{
    Sha256Digest digest;
    std::memcpy(digest.data(), bytes, digest.size());
    text += Sha256::toHex(digest);
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
    FileEntry* entry = entries.append(code, knownState, zeroTerminated.c_str(), size, digest.data());
    if (!readObjects(scan, *entry)) {
        diagnose(path, lineNumber, "objects after the SHA-256 malformed, the file is fetched whole");
        entry->packed = FileObject();
        entry->patch = FileObject();
        std::memset(entry->patchFrom, 0, sizeof entry->patchFrom);
    }
    return true;
}

constexpr char HealthAction[] = "[Health]";

// The start check's line; false when the line is another one. A malformed one is dropped
// with a diagnostic and leaves the check off.
bool readHealth(const char* path, int lineNumber, std::string_view line, DiffHealth& health)
{
    LineScanner scan(line);
    long long state = 0;
    std::string_view action, colon;
    if (!scan.integer(state) || !scan.token(action) || action != HealthAction) {
        return false;
    }
    long long timeout = 0;
    long long starts = 0;
    std::string_view extra;
    if (!scan.token(colon) || colon != ":" || !scan.integer(timeout) || !scan.integer(starts) || scan.token(extra)
        || timeout < 1 || timeout > MaxHealthTimeout || starts < 1 || starts > MaxHealthStarts) {
        diagnose(path, lineNumber, "start check malformed, line skipped");
        return true;
    }
    health.timeout = int(timeout);
    health.starts = int(starts);
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
    std::string_view objectsBase;
    LineScanner baseScan(base);
    (void)(baseScan.token(downloadBase) && baseScan.token(objectsBase));
    if (downloadBase.size() >= DownloadBaseSize) {
        diagnose(path, 3, "download base longer than 255 bytes, file not loaded");
        return DiffLoad::Refused;
    }
    if (objectsBase.size() >= DownloadBaseSize) {
        diagnose(path, 3, "objects URL longer than 255 bytes, every file is fetched whole");
        objectsBase = {};
    }
    copyField(diff.oldVersion, oldVersion);
    copyField(diff.newVersion, newVersion);
    copyField(diff.downloadBase, downloadBase);
    copyField(diff.objectsBase, objectsBase);

    if (compareVersions(diff.oldVersion, diff.newVersion) >= 0) {
        return DiffLoad::NothingNewer;
    }
    for (int lineNumber = 4; readLine(file, line); ++lineNumber) {
        if (!readHealth(path, lineNumber, line, diff.health)) {
            readEntry(path, lineNumber, line, diff.entries);
        }
    }
    return DiffLoad::Loaded;
}

bool writeDiffFile(const char* path, const char* oldVersion, const char* newVersion,
    const char* downloadBase, const FileEntry* head, const char* objectsBase, const DiffHealth* health)
{
    QByteArray text;
    text += DiffFileMarker;
    text += LineEnd;
    text += oldVersion;
    text += " --> ";
    text += newVersion;
    text += LineEnd;
    text += downloadBase;
    if (objectsBase && *objectsBase) {
        text += ' ';
        text += objectsBase;
    }
    text += LineEnd;
    if (health && health->on()) {
        text += "0 ";
        text += HealthAction;
        text += " : " + QByteArray::number(health->timeout) + ' ' + QByteArray::number(health->starts);
        text += LineEnd;
    }
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
            appendHex(text, entry->sha256);
            if (entry->packed.present()) {
                text += ' ';
                text += PackedWord;
                text += QByteArray::number(qint64(entry->packed.size));
                text += ':';
                appendHex(text, entry->packed.sha256);
            }
            if (entry->patch.present()) {
                text += ' ';
                text += PatchWord;
                appendHex(text, entry->patchFrom);
                text += ':';
                text += QByteArray::number(qint64(entry->patch.size));
                text += ':';
                appendHex(text, entry->patch.sha256);
            }
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
