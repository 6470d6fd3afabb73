#include "encode.h"

#include "contenthash.h"
#include "difference.h"
#include "mappedfile.h"
#include "patchformat.h"

#include <zstd.h>

#include <cstring>
#include <memory>

namespace delta {

namespace {

// Window sizes: the decoder accepts at most 2^DecodeWindowLogMax bytes of window and allocates
// that much (or the file's size, when smaller) while it decodes. zstd's --long uses 2^27; for
// executables, whose long-distance repeats are rare, 2^24 costs next to nothing (0.02% on a
// 26 MB DLL) and keeps the updater's memory flat whatever the file's size.
constexpr int CopyWindowLog = DecodeWindowLogMax;
// The difference's streams gain nothing from a longer window (measured on executables: the
// byte-wise differences repeat near each other), and the decoder holds one window per stream
// while it applies a patch.
constexpr int StreamWindowLog = 21;
constexpr int Level = 19;

struct CCtxFree
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// One zstd frame of data, with `prefix` as history when given, appended to out.
bool compressFrame(const std::uint8_t* data, std::size_t size, const std::uint8_t* prefix, std::size_t prefixSize,
    int windowLog, std::vector<std::uint8_t>& out, std::string& error)
{
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    const auto set = [&](ZSTD_cParameter parameter, int value) {
        return context && !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value));
    };
    if (!set(ZSTD_c_compressionLevel, Level) || !set(ZSTD_c_windowLog, windowLog)
        || !set(ZSTD_c_enableLongDistanceMatching, 1) || !set(ZSTD_c_checksumFlag, 1)
        || !set(ZSTD_c_contentSizeFlag, 1)
        || (prefixSize > 0 && ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), prefix, prefixSize)))) {
        error = "cannot set up the compressor";
        return false;
    }
    const std::size_t start = out.size();
    out.resize(start + ZSTD_compressBound(size));
    const std::size_t written = ZSTD_compress2(context.get(), out.data() + start, out.size() - start, data, size);
    if (ZSTD_isError(written)) {
        error = std::string("compression failed: ") + ZSTD_getErrorName(written);
        out.resize(start);
        return false;
    }
    out.resize(start + written);
    return true;
}

bool mapInput(const std::filesystem::path& path, MappedFile& file, std::string& error)
{
    std::string reason;
    if (!file.open(path, reason)) {
        error = "cannot read " + path.string() + ": " + reason;
        return false;
    }
    return true;
}

void startPatch(PatchMethod method, const MappedFile& old, const MappedFile& neu, const Digest& oldDigest,
    const Digest& newDigest, std::vector<std::uint8_t>& patch)
{
    PatchHeader header;
    header.method = method;
    header.oldSize = old.size();
    header.newSize = neu.size();
    header.oldSha256 = oldDigest;
    header.newSha256 = newDigest;
    std::uint8_t bytes[PatchHeaderSize];
    writePatchHeader(header, bytes);
    patch.assign(bytes, bytes + PatchHeaderSize);
}

bool differenceBody(const MappedFile& old, const MappedFile& neu, std::vector<std::uint8_t>& patch, std::string& error)
{
    Difference difference;
    if (!computeDifference(old.data(), std::size_t(old.size()), neu.data(), std::size_t(neu.size()), difference)) {
        error = "the old file is too big for a difference";
        return false;
    }
    std::vector<std::uint8_t> frames[3];
    const std::vector<std::uint8_t>* streams[3] = { &difference.control, &difference.diff, &difference.extra };
    for (int i = 0; i < 3; ++i) {
        if (!compressFrame(streams[i]->data(), streams[i]->size(), nullptr, 0, StreamWindowLog, frames[i], error)) {
            return false;
        }
    }
    std::uint8_t sizes[DifferenceSizesSize];
    for (int i = 0; i < 3; ++i) {
        putU64(sizes + 8 * i, frames[i].size());
    }
    patch.insert(patch.end(), sizes, sizes + sizeof sizes);
    for (const auto& frame : frames) {
        patch.insert(patch.end(), frame.begin(), frame.end());
    }
    return true;
}

} // namespace

bool makeCompressedCopy(const std::filesystem::path& file, std::vector<std::uint8_t>& object, std::string& error)
{
    MappedFile input;
    object.clear();
    return mapInput(file, input, error)
        && compressFrame(input.data(), std::size_t(input.size()), nullptr, 0, CopyWindowLog, object, error);
}

bool prefixMethodFits(std::uint64_t oldSize, std::uint64_t newSize)
{
    return newSize <= PrefixNewSizeMax && prefixWindowLog(oldSize, newSize) <= PrefixWindowLogMax;
}

bool makePatch(const std::filesystem::path& oldFile, const std::filesystem::path& newFile,
    std::vector<std::uint8_t>& patch, std::string& error, PatchChoice choice)
{
    patch.clear();
    MappedFile old;
    MappedFile neu;
    if (!mapInput(oldFile, old, error) || !mapInput(newFile, neu, error)) {
        return false;
    }
    const Digest oldDigest = ContentHash::of(old.data(), std::size_t(old.size()));
    const Digest newDigest = ContentHash::of(neu.data(), std::size_t(neu.size()));
    const bool prefixFits = prefixMethodFits(old.size(), neu.size());
    if (choice == PatchChoice::PrefixOnly && !prefixFits) {
        error = "the files are too big together for a prefix patch";
        return false;
    }

    std::vector<std::uint8_t> prefixPatch;
    if (prefixFits && choice != PatchChoice::DifferenceOnly) {
        startPatch(PatchMethod::Prefix, old, neu, oldDigest, newDigest, prefixPatch);
        if (!compressFrame(neu.data(), std::size_t(neu.size()), old.data(), std::size_t(old.size()),
                prefixWindowLog(old.size(), neu.size()), prefixPatch, error)) {
            return false;
        }
        if (choice == PatchChoice::PrefixOnly) {
            patch = std::move(prefixPatch);
            return true;
        }
    }
    startPatch(PatchMethod::Difference, old, neu, oldDigest, newDigest, patch);
    if (!differenceBody(old, neu, patch, error)) {
        if (prefixPatch.empty()) {
            return false;
        }
        patch.clear();
    }
    if (!prefixPatch.empty() && (patch.empty() || prefixPatch.size() < patch.size())) {
        patch = std::move(prefixPatch);
    }
    error.clear();
    return true;
}

} // namespace delta
