// The Windows side of the platform layer: the wide-character Win32 calls, long paths through the
// "\\?\" prefix, and a bounded retry while another program holds a file.

#include "fileops.h"
#include "retry.h"

#include <windows.h>

#include <io.h>

#include <cwchar>

namespace platform {

namespace {

std::error_code lastError()
{
    return std::error_code(int(::GetLastError()), std::system_category());
}

// Errors that a holder causes and that go away when it lets go: a sharing violation (32), access
// denied (5: the target is open without delete sharing, or is a running image) and a lock
// violation (33).
bool isHeld(const std::error_code& error)
{
    if (error.category() != std::system_category()) {
        return false;
    }
    const int code = error.value();
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
}

std::wstring wide(const std::filesystem::path& path)
{
    return systemPath(path).native();
}

std::string toUtf8(const wchar_t* text, int length)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? std::size_t(size) : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    }
    return result;
}

class Handle
{
public:
    explicit Handle(HANDLE handle) : handle(handle) { }
    ~Handle()
    {
        if (valid()) {
            ::CloseHandle(handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle; }
    bool valid() const { return handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle;
};

// Opens an existing file for writing and lets every other opener read, write and delete, so
// that only a holder that shares nothing (or a running image) makes it fail.
HANDLE openForWriting(const std::wstring& path)
{
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

WriteProbe probeOnce(const std::wstring& path, std::error_code& error)
{
    const Handle file(openForWriting(path));
    if (file.valid()) {
        return WriteProbe::Free;
    }
    error = lastError();
    switch (error.value()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return WriteProbe::InUse;
    case ERROR_ACCESS_DENIED:
        return WriteProbe::NoPermission;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return WriteProbe::Missing;
    default:
        return WriteProbe::Failed;
    }
}

} // namespace

std::string errorText(const std::error_code& error)
{
    if (error.category() != std::system_category()) {
        return error.message();
    }
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        DWORD(error.value()), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    if (length == 0 || !buffer) {
        return "error " + std::to_string(error.value());
    }
    std::string text = toUtf8(buffer, int(length));
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool isNotFound(const std::error_code& error)
{
    if (error.category() == std::system_category()) {
        return error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND;
    }
    return error == std::errc::no_such_file_or_directory;
}

std::filesystem::path systemPath(const std::filesystem::path& path)
{
    std::wstring text = path.native();
    // Short paths stay as they are: not every C runtime call (stat among them) takes the prefix.
    // 248 leaves room for a file name in a folder near the limit, which CreateDirectory needs.
    if (text.size() < 248 || text.rfind(LR"(\\?\)", 0) == 0) {
        return path;
    }
    const auto separator = [](wchar_t c) { return c == L'/' || c == L'\\'; };
    if (separator(text[0]) && separator(text[1]) && text[2] != L'.' && text[2] != L'?') {
        // A network path, which std::filesystem (MinGW's) takes for a relative one and whose
        // leading separators it would fold: only the separators are turned, and a path with
        // "." or ".." components stays as it is.
        for (wchar_t& c : text) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        if (text.find(L"\\.\\") != std::wstring::npos || text.find(L"\\..\\") != std::wstring::npos) {
            return path;
        }
        return std::filesystem::path(LR"(\\?\UNC\)" + text.substr(2));
    }
    if (!path.is_absolute()) {
        return path;
    }
    // The prefix turns off the system's own clean-up of the path: do it here.
    text = path.lexically_normal().native();
    for (wchar_t& c : text) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return std::filesystem::path(LR"(\\?\)" + text);
}

WriteProbe probeForWriting(const std::filesystem::path& path, std::error_code* error)
{
    const std::wstring name = wide(path);
    std::error_code code;
    WriteProbe probe = probeOnce(name, code);
    if (probe == WriteProbe::NoPermission) {
        // A read-only attribute also denies writing, but the updater clears it before it
        // replaces a file: look behind it for a running image or a holder.
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
            && !(attributes & FILE_ATTRIBUTE_DIRECTORY)
            && ::SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
            std::error_code behind;
            probe = probeOnce(name, behind);
            code = behind;
            ::SetFileAttributesW(name.c_str(), attributes);
        }
    }
    if (error && probe != WriteProbe::Free) {
        *error = code;
    }
    return probe;
}

FileResult replaceFile(const std::filesystem::path& from, const std::filesystem::path& to, const RetryPolicy& retry)
{
    const std::wstring source = wide(from);
    const std::wstring target = wide(to);
    clearReadOnly(to); // a missing target is no error here
    return detail::retrying(
        retry,
        [&] {
            return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                ? std::error_code()
                : lastError();
        },
        isHeld);
}

FileResult renameAside(const std::filesystem::path& from, const std::filesystem::path& to, const RetryPolicy& retry)
{
    const std::wstring source = wide(from);
    const std::wstring target = wide(to);
    return detail::retrying(
        retry,
        [&] {
            return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) ? std::error_code()
                                                                                          : lastError();
        },
        isHeld);
}

FileResult removeFile(const std::filesystem::path& path, const RetryPolicy& retry)
{
    const std::wstring name = wide(path);
    clearReadOnly(path); // a missing file is reported by the removal itself
    return detail::retrying(
        retry, [&] { return ::DeleteFileW(name.c_str()) ? std::error_code() : lastError(); }, isHeld);
}

FileResult reserveSpace(int fd, std::uint64_t size)
{
    FileResult result;
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    FILE_ALLOCATION_INFO info {};
    info.AllocationSize.QuadPart = LONGLONG(size);
    // The allocation size, not the end of file: the length stays what was written.
    if (handle != INVALID_HANDLE_VALUE
        && !::SetFileInformationByHandle(handle, FileAllocationInfo, &info, sizeof info)) {
        const DWORD code = ::GetLastError();
        constexpr DWORD DiskQuotaExceeded = 1295; // ERROR_DISK_QUOTA_EXCEEDED, not in MinGW's headers
        if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == DiskQuotaExceeded) {
            result.error = std::error_code(int(code), std::system_category());
        }
    }
    return result;
}

FileResult flushFile(const std::filesystem::path& path)
{
    FileResult result;
    const Handle file(openForWriting(wide(path)));
    if (!file.valid() || !::FlushFileBuffers(file.get())) {
        result.error = lastError();
    }
    return result;
}

FileResult syncDirectory(const std::filesystem::path&)
{
    // Every move here is made with MOVEFILE_WRITE_THROUGH.
    return {};
}

FileResult clearReadOnly(const std::filesystem::path& path)
{
    FileResult result;
    const std::wstring name = wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        result.error = lastError();
    } else if ((attributes & FILE_ATTRIBUTE_READONLY)
        && !::SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
        result.error = lastError();
    }
    return result;
}

FileResult setHidden(const std::filesystem::path& path, bool hidden)
{
    FileResult result;
    const std::wstring name = wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        result.error = lastError();
        return result;
    }
    const DWORD wanted
        = hidden ? attributes | FILE_ATTRIBUTE_HIDDEN : attributes & ~DWORD(FILE_ATTRIBUTE_HIDDEN);
    if (wanted != attributes && !::SetFileAttributesW(name.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL)) {
        result.error = lastError();
    }
    return result;
}

bool isSymbolicLink(const std::filesystem::path& path)
{
    const std::wstring name = wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    WIN32_FIND_DATAW data {};
    const HANDLE find = ::FindFirstFileW(name.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return true;
    }
    ::FindClose(find);
    // Symbolic links and junctions name another file; other reparse points (deduplicated or
    // cloud files) hold their own content.
    return IsReparseTagNameSurrogate(data.dwReserved0);
}

std::FILE* openFile(const std::filesystem::path& path, const char* mode)
{
    std::wstring wideMode;
    for (const char* c = mode; *c; ++c) {
        wideMode += wchar_t(static_cast<unsigned char>(*c));
    }
    return ::_wfopen(wide(path).c_str(), wideMode.c_str());
}

} // namespace platform
