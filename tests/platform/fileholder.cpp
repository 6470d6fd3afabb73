// fileholder.exe: a small real process for the platform tests, Qt-free so that it loads no DLL
// it is asked about.
//
//   fileholder.exe sleep MS          runs for MS milliseconds (copied elsewhere: a running image)
//   fileholder.exe hold PATH MS      holds PATH open, sharing nothing, for MS milliseconds
//   fileholder.exe load PATH MS      loads PATH as a shared library for MS milliseconds
//   fileholder.exe probe PATH        prints the write probe's outcome and the system's text
//
// Each of the first three prints "ready" once it holds what it was asked to, then ends by
// itself. Paths are taken as UTF-16 on Windows, so any name works.

#include "fileops.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::filesystem::path> arguments(int argc, char** argv)
{
    std::vector<std::filesystem::path> result;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = 0; i < count; ++i) {
        result.emplace_back(wide[i]);
    }
    ::LocalFree(wide);
#else
    for (int i = 0; i < argc; ++i) {
        result.emplace_back(argv[i]);
    }
#endif
    return result;
}

void ready()
{
    std::printf("ready\n");
    std::fflush(stdout);
}

void wait(const std::filesystem::path& milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(platform::pathToUtf8(milliseconds))));
}

int hold(const std::filesystem::path& path, const std::filesystem::path& milliseconds)
{
#ifdef _WIN32
    const HANDLE file = ::CreateFileW(platform::systemPath(path).c_str(), GENERIC_READ, 0, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot hold: error %lu\n", ::GetLastError());
        return 1;
    }
    ready();
    wait(milliseconds);
    ::CloseHandle(file);
#else
    const int file = ::open(path.c_str(), O_RDONLY);
    if (file < 0) {
        std::perror("cannot hold");
        return 1;
    }
    ready();
    wait(milliseconds);
    ::close(file);
#endif
    return 0;
}

int load(const std::filesystem::path& path, const std::filesystem::path& milliseconds)
{
#ifdef _WIN32
    const HMODULE library = ::LoadLibraryW(path.c_str());
    if (!library) {
        std::fprintf(stderr, "cannot load: error %lu\n", ::GetLastError());
        return 1;
    }
    ready();
    wait(milliseconds);
    ::FreeLibrary(library);
#else
    void* library = ::dlopen(path.c_str(), RTLD_NOW);
    if (!library) {
        std::fprintf(stderr, "cannot load: %s\n", ::dlerror());
        return 1;
    }
    ready();
    wait(milliseconds);
    ::dlclose(library);
#endif
    return 0;
}

const char* probeName(platform::WriteProbe probe)
{
    switch (probe) {
    case platform::WriteProbe::Free:
        return "free";
    case platform::WriteProbe::InUse:
        return "in-use";
    case platform::WriteProbe::NoPermission:
        return "no-permission";
    case platform::WriteProbe::Missing:
        return "missing";
    case platform::WriteProbe::Failed:
        return "failed";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::filesystem::path> args = arguments(argc, argv);
    const std::string command = args.size() > 1 ? platform::pathToUtf8(args[1]) : std::string();
    if (command == "sleep" && args.size() == 3) {
        ready();
        wait(args[2]);
        return 0;
    }
    if (command == "hold" && args.size() == 4) {
        return hold(args[2], args[3]);
    }
    if (command == "load" && args.size() == 4) {
        return load(args[2], args[3]);
    }
    if (command == "probe" && args.size() == 3) {
        std::error_code error;
        const platform::WriteProbe probe = platform::probeForWriting(args[2], &error);
        std::printf("%s %s\n", probeName(probe), error ? platform::errorText(error).c_str() : "");
        return 0;
    }
    std::fprintf(stderr, "usage: fileholder.exe sleep MS | hold PATH MS | load PATH MS | probe PATH\n");
    return 2;
}
