// bench_delta: one step of making or decoding objects on real files, as the publisher and the
// updater run it, for bench/delta/run.sh.
//
//   bench_delta copy FILE OBJECT                      make a compressed copy
//   bench_delta patch OLD NEW PATCH [smaller|prefix|difference]
//   bench_delta decompress OBJECT OUT MAXSIZE         decode as the updater does (streamed)
//   bench_delta apply OLD PATCH OUT MAXSIZE
//
// Prints "bytes N wall-ms W cpu-ms C" for the step (the object's size, or the decoded size).

#include "delta.h"
#include "encode.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

class FileSink : public delta::Sink
{
public:
    explicit FileSink(const char* path) : file(std::fopen(path, "wb")) { }
    ~FileSink() override
    {
        if (file) {
            std::fclose(file);
        }
    }
    bool write(const std::uint8_t* data, std::size_t size, std::string& error) override
    {
        if (!file || std::fwrite(data, 1, size, file) != size) {
            error = "cannot write the output";
            return false;
        }
        written += size;
        return true;
    }
    std::FILE* file;
    std::uint64_t written = 0;
};

bool save(const char* path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path, "wb");
    const bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return (file ? std::fclose(file) == 0 : false) && ok;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_delta copy FILE OBJECT | patch OLD NEW PATCH [smaller|prefix|difference]"
                         " | decompress OBJECT OUT MAXSIZE | apply OLD PATCH OUT MAXSIZE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        return usage();
    }
    const std::string command = argv[1];
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    std::string error;
    std::uint64_t bytes = 0;
    bool ok = false;
    if (command == "copy" && argc == 4) {
        std::vector<std::uint8_t> object;
        ok = delta::makeCompressedCopy(argv[2], object, error) && save(argv[3], object);
        bytes = object.size();
    } else if (command == "patch" && (argc == 5 || argc == 6)) {
        const std::string way = argc == 6 ? argv[5] : "smaller";
        const delta::PatchChoice choice = way == "prefix" ? delta::PatchChoice::PrefixOnly
            : way == "difference"                         ? delta::PatchChoice::DifferenceOnly
                                                          : delta::PatchChoice::Smaller;
        std::vector<std::uint8_t> patch;
        ok = delta::makePatch(argv[2], argv[3], patch, error, choice) && save(argv[4], patch);
        bytes = patch.size();
    } else if (command == "decompress" && argc == 5) {
        FileSink sink(argv[3]);
        ok = delta::decompress(argv[2], std::stoull(argv[4]), sink, error);
        bytes = sink.written;
    } else if (command == "apply" && argc == 6) {
        FileSink sink(argv[4]);
        ok = delta::applyPatch(argv[2], argv[3], std::stoull(argv[5]), sink, error);
        bytes = sink.written;
    } else {
        return usage();
    }
    if (!ok) {
        std::fprintf(stderr, "bench_delta %s: %s\n", command.c_str(), error.c_str());
        return 1;
    }
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("bytes %llu wall-ms %.0f cpu-ms %.0f\n", static_cast<unsigned long long>(bytes), wall, cpu);
    return 0;
}
