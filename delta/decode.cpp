// Decoding of compressed copies and patches (see delta.h, patchformat.h). Every value read from
// an object is checked before it is used; output stops at the bounds, before the sink sees a
// byte beyond them.

#include "delta.h"

#include "contenthash.h"
#include "fileops.h"
#include "mappedfile.h"
#include "patchformat.h"

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

namespace delta {

namespace {

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct DCtxFree
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string systemError()
{
    return platform::errorText(std::error_code(errno, std::generic_category()));
}

bool openObject(const std::filesystem::path& path, File& file, std::uint64_t& size, std::string& error)
{
    file.reset(platform::openFile(path, "rb"));
    std::error_code code;
    size = file ? std::filesystem::file_size(path, code) : 0;
    if (!file || code) {
        error = "cannot read " + platform::pathToUtf8(path) + ": " + (file ? platform::errorText(code) : systemError());
        return false;
    }
    return true;
}

bool seekTo(std::FILE* file, std::uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, std::int64_t(offset), SEEK_SET) == 0;
#else
    return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

// One zstd frame stored in [offset, offset + size) of a file, decoded piece by piece. The window
// a frame may ask for is bounded (DecodeWindowLogMax), so a hostile frame cannot make us
// allocate more.
class FrameReader
{
public:
    explicit FrameReader(std::string name, int windowLogMax = DecodeWindowLogMax)
        : name(std::move(name))
        , windowLogMax(windowLogMax)
        , context(ZSTD_createDCtx())
        , buffer(ZSTD_DStreamInSize())
    {
    }

    bool open(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t size, std::string& error)
    {
        file.reset(platform::openFile(path, "rb"));
        if (!file || !seekTo(file.get(), offset)) {
            error = "cannot read " + platform::pathToUtf8(path) + ": " + systemError();
            return false;
        }
        remaining = size;
        return setUp(error);
    }

    // Reading from an already open file at its current position (the compressed copy).
    bool adopt(File opened, std::uint64_t size, std::string& error)
    {
        file = std::move(opened);
        remaining = size;
        return setUp(error);
    }

    bool referencePrefix(const std::uint8_t* prefix, std::size_t size, std::string& error)
    {
        if (size > 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), prefix, size))) {
            error = "the decoder refused the old file as prefix";
            return false;
        }
        return true;
    }

    // Decodes up to `size` bytes into `out`; `produced` 0 means the frame has ended.
    bool read(std::uint8_t* out, std::size_t size, std::size_t& produced, std::string& error)
    {
        produced = 0;
        ZSTD_outBuffer output { out, size, 0 };
        while (output.pos < output.size && !frameEnded) {
            if (input.pos == input.size && remaining > 0 && !refill(error)) {
                return false;
            }
            const std::size_t inBefore = input.pos;
            const std::size_t outBefore = output.pos;
            const std::size_t result = ZSTD_decompressStream(context.get(), &output, &input);
            if (ZSTD_isError(result)) {
                error = "damaged " + name + ": " + ZSTD_getErrorName(result);
                return false;
            }
            if (result == 0) {
                frameEnded = true;
            } else if (input.pos == inBefore && output.pos == outBefore) {
                // No input left and nothing more to flush: the frame was cut short.
                if (output.pos > 0) {
                    break;
                }
                error = "damaged " + name + ": it ends early";
                return false;
            }
        }
        produced = output.pos;
        return true;
    }

    // Exactly `size` bytes, or an error naming a stream that ended early.
    bool readExactly(std::uint8_t* out, std::size_t size, std::string& error)
    {
        std::size_t done = 0;
        while (done < size) {
            std::size_t produced = 0;
            if (!read(out + done, size - done, produced, error)) {
                return false;
            }
            if (produced == 0) {
                error = "damaged " + name + ": it ends early";
                return false;
            }
            done += produced;
        }
        return true;
    }

    // After the last expected byte: the frame must end there, and nothing may follow it.
    bool finish(std::string& error)
    {
        std::uint8_t probe = 0;
        std::size_t produced = 0;
        if (!frameEnded && !read(&probe, 1, produced, error)) {
            return false;
        }
        if (produced != 0 || !frameEnded) {
            error = "damaged " + name + ": more data than the file takes";
            return false;
        }
        if (input.pos != input.size || remaining != 0) {
            error = "damaged " + name + ": bytes after its end";
            return false;
        }
        return true;
    }

private:
    bool setUp(std::string& error)
    {
        if (!context || ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLogMax))) {
            error = "out of memory for the decoder";
            return false;
        }
        return true;
    }

    bool refill(std::string& error)
    {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(buffer.size(), remaining));
        const std::size_t got = std::fread(buffer.data(), 1, want, file.get());
        if (got != want) {
            error = std::ferror(file.get()) ? "cannot read the " + name + ": " + systemError()
                                            : "the " + name + " is shorter than stated";
            return false;
        }
        remaining -= got;
        input = { buffer.data(), got, 0 };
        return true;
    }

    std::string name;
    int windowLogMax;
    std::unique_ptr<ZSTD_DCtx, DCtxFree> context;
    File file;
    std::vector<std::uint8_t> buffer;
    ZSTD_inBuffer input { nullptr, 0, 0 };
    std::uint64_t remaining = 0;
    bool frameEnded = false;
};

// Hands output to the sink in pieces of OutputPiece bytes, refusing anything past `limit`
// bytes, and hashes it. A patch's control stream may ask for many small runs; gathering them
// keeps the sink (a file write each) from seeing them one by one.
class BoundedOutput
{
public:
    static constexpr std::size_t OutputPiece = 1 << 20;

    BoundedOutput(Sink& sink, std::uint64_t limit) : sink(sink), bound(limit), buffer(OutputPiece) { }

    // Room at the end of the output for up to `size` bytes (fewer near the bound or when the
    // piece is nearly full, at least one), for the caller to fill and commit(); null with error
    // set when the bound is reached or the sink failed.
    std::uint8_t* room(std::size_t& size, std::string& error)
    {
        if (written == bound) {
            error = "the decoded file would be longer than " + std::to_string(bound) + " bytes";
            return nullptr;
        }
        if (held == buffer.size() && !flush(error)) {
            return nullptr;
        }
        size = std::size_t(std::min<std::uint64_t>({ size, buffer.size() - held, bound - written }));
        return buffer.data() + held;
    }

    void commit(std::size_t size)
    {
        held += size;
        written += size;
    }

    // Hands what is held to the sink; the caller's last call.
    bool flush(std::string& error)
    {
        if (held == 0) {
            return true;
        }
        hash.add(buffer.data(), held);
        const bool taken = sink.write(buffer.data(), held, error);
        held = 0;
        return taken;
    }

    std::uint64_t size() const { return written; }
    std::uint64_t limit() const { return bound; }
    Digest digest() { return hash.finish(); }

private:
    Sink& sink;
    std::uint64_t bound;
    std::uint64_t written = 0;
    std::vector<std::uint8_t> buffer;
    std::size_t held = 0;
    ContentHash hash;
};

bool decodeFrame(FrameReader& reader, BoundedOutput& output, std::string& error)
{
    for (;;) {
        std::size_t room = BoundedOutput::OutputPiece;
        std::uint8_t* to = output.room(room, error);
        std::uint8_t probe = 0;
        if (!to && output.size() < output.limit()) {
            return false; // the sink failed
        }
        // At the bound, one byte more tells a frame that goes on from one that ends there.
        if (!to) {
            to = &probe;
            room = 1;
        }
        std::size_t produced = 0;
        if (!reader.read(to, room, produced, error)) {
            return false;
        }
        if (produced == 0) {
            error.clear();
            return reader.finish(error) && output.flush(error);
        }
        if (to == &probe) {
            return false; // error names the bound
        }
        output.commit(produced);
    }
}

// The triples of the control stream turned into output (see patchformat.h).
bool applyDifference(const std::filesystem::path& patch, const MappedFile& old, const PatchHeader& header,
    BoundedOutput& output, std::string& error)
{
    File file;
    std::uint64_t patchSize = 0;
    if (!openObject(patch, file, patchSize, error)) {
        return false;
    }
    std::uint8_t sizes[DifferenceSizesSize];
    if (!seekTo(file.get(), PatchHeaderSize) || std::fread(sizes, 1, sizeof sizes, file.get()) != sizeof sizes) {
        error = "damaged patch: it ends within its stream sizes";
        return false;
    }
    const std::uint64_t controlSize = getU64(sizes);
    const std::uint64_t diffSize = getU64(sizes + 8);
    const std::uint64_t extraSize = getU64(sizes + 16);
    const std::uint64_t body = patchSize - PatchHeaderSize - DifferenceSizesSize;
    if (controlSize > body || diffSize > body - controlSize || extraSize != body - controlSize - diffSize) {
        error = "damaged patch: its stream sizes do not add up to its size";
        return false;
    }
    const std::uint64_t start = PatchHeaderSize + DifferenceSizesSize;
    FrameReader control("patch's control stream");
    FrameReader diff("patch's difference stream");
    FrameReader extra("patch's extra stream");
    if (!control.open(patch, start, controlSize, error) || !diff.open(patch, start + controlSize, diffSize, error)
        || !extra.open(patch, start + controlSize + diffSize, extraSize, error)) {
        return false;
    }

    std::uint64_t oldPos = 0;
    while (output.size() < header.newSize) {
        std::uint8_t triple[24];
        if (!control.readExactly(triple, sizeof triple, error)) {
            return false;
        }
        const std::uint64_t add = getU64(triple);
        const std::uint64_t copy = getU64(triple + 8);
        const auto seek = std::int64_t(getU64(triple + 16));
        const std::uint64_t left = header.newSize - output.size();
        if (add > left || copy > left - add) {
            error = "damaged patch: its control stream makes more than " + std::to_string(header.newSize) + " bytes";
            return false;
        }
        if (add > old.size() - oldPos) {
            error = "damaged patch: its control stream reads past the end of the old file";
            return false;
        }
        for (std::uint64_t done = 0; done < add;) {
            std::size_t piece = std::size_t(std::min<std::uint64_t>(BoundedOutput::OutputPiece, add - done));
            std::uint8_t* to = output.room(piece, error);
            if (!to || !diff.readExactly(to, piece, error)) {
                return false;
            }
            const std::uint8_t* from = old.data() + oldPos + done;
            for (std::size_t i = 0; i < piece; ++i) {
                to[i] = std::uint8_t(to[i] + from[i]);
            }
            output.commit(piece);
            done += piece;
        }
        for (std::uint64_t done = 0; done < copy;) {
            std::size_t piece = std::size_t(std::min<std::uint64_t>(BoundedOutput::OutputPiece, copy - done));
            std::uint8_t* to = output.room(piece, error);
            if (!to || !extra.readExactly(to, piece, error)) {
                return false;
            }
            output.commit(piece);
            done += piece;
        }
        oldPos += add;
        // Moving before the start or past the end of the old file is as damaged as reading there.
        if (seek < 0 ? std::uint64_t(-(seek + 1)) + 1 > oldPos : std::uint64_t(seek) > old.size() - oldPos) {
            error = "damaged patch: its control stream moves outside the old file";
            return false;
        }
        oldPos = seek < 0 ? oldPos - (std::uint64_t(-(seek + 1)) + 1) : oldPos + std::uint64_t(seek);
    }
    return control.finish(error) && diff.finish(error) && extra.finish(error) && output.flush(error);
}

// Whether the prefix patch's frame states the header's new size as its content.
bool prefixFrameStatesSize(const std::filesystem::path& patch, std::uint64_t newSize, std::string& error)
{
    File file;
    std::uint64_t size = 0;
    if (!openObject(patch, file, size, error)) {
        return false;
    }
    std::uint8_t head[18]; // the longest frame header
    const std::size_t headSize = seekTo(file.get(), PatchHeaderSize) ? std::fread(head, 1, sizeof head, file.get()) : 0;
    const unsigned long long stated = ZSTD_getFrameContentSize(head, headSize);
    if (stated == ZSTD_CONTENTSIZE_ERROR || stated == ZSTD_CONTENTSIZE_UNKNOWN || stated != newSize) {
        error = "damaged patch: its frame does not state the new file's size";
        return false;
    }
    return true;
}

std::string describeDigest(const Digest& digest)
{
    return toHex(digest);
}

} // namespace

bool decompress(const std::filesystem::path& object, std::uint64_t maxSize, Sink& out, std::string& error)
{
    File file;
    std::uint64_t size = 0;
    if (!openObject(object, file, size, error)) {
        return false;
    }
    std::uint8_t head[18]; // the longest frame header
    const std::size_t headSize = std::fread(head, 1, sizeof head, file.get());
    const unsigned long long contentSize = ZSTD_getFrameContentSize(head, headSize);
    if (contentSize == ZSTD_CONTENTSIZE_ERROR) {
        error = "not a compressed copy (no zstd frame)";
        return false;
    }
    if (contentSize != ZSTD_CONTENTSIZE_UNKNOWN && contentSize > maxSize) {
        error = "the compressed copy holds " + std::to_string(contentSize) + " bytes, more than the expected "
            + std::to_string(maxSize);
        return false;
    }
    if (!seekTo(file.get(), 0)) {
        error = "cannot read " + platform::pathToUtf8(object) + ": " + systemError();
        return false;
    }
    FrameReader reader("compressed copy");
    BoundedOutput output(out, maxSize);
    if (!reader.adopt(std::move(file), size, error) || !decodeFrame(reader, output, error)) {
        return false;
    }
    if (contentSize != ZSTD_CONTENTSIZE_UNKNOWN && output.size() != contentSize) {
        error = "damaged compressed copy: it made " + std::to_string(output.size()) + " bytes of the stated "
            + std::to_string(contentSize);
        return false;
    }
    return true;
}

bool applyPatch(const std::filesystem::path& oldFile, const std::filesystem::path& patch, std::uint64_t maxSize,
    Sink& out, std::string& error)
{
    File file;
    std::uint64_t patchSize = 0;
    if (!openObject(patch, file, patchSize, error)) {
        return false;
    }
    std::uint8_t head[PatchHeaderSize];
    const std::size_t headSize = std::fread(head, 1, sizeof head, file.get());
    file.reset();
    PatchHeader header;
    if (!readPatchHeader(head, headSize, header, error)) {
        return false;
    }
    if (header.newSize > maxSize) {
        error = "the patch makes " + std::to_string(header.newSize) + " bytes, more than the expected "
            + std::to_string(maxSize);
        return false;
    }

    MappedFile old;
    std::string reason;
    if (!old.open(oldFile, reason)) {
        error = "cannot read the file to patch, " + platform::pathToUtf8(oldFile) + ": " + reason;
        return false;
    }
    if (old.size() != header.oldSize) {
        error = "the file to patch has " + std::to_string(old.size()) + " bytes, the patch applies to "
            + std::to_string(header.oldSize);
        return false;
    }
    // The very bytes patched from below: a file changed since it was listed is never patched.
    const Digest oldDigest = ContentHash::of(old.data(), std::size_t(old.size()));
    if (oldDigest != header.oldSha256) {
        error = "the file to patch is not the one the patch applies to (SHA-256 " + describeDigest(oldDigest)
            + ", the patch's " + describeDigest(header.oldSha256) + ")";
        return false;
    }

    BoundedOutput output(out, header.newSize);
    if (header.method == PatchMethod::Prefix) {
        // The decoder keeps up to the frame's stated content as history: the new size, bounded.
        if (header.newSize > PrefixNewSizeMax) {
            error = "the patch makes " + std::to_string(header.newSize) + " bytes, more than a prefix patch may ("
                + std::to_string(PrefixNewSizeMax) + ")";
            return false;
        }
        if (!prefixFrameStatesSize(patch, header.newSize, error)) {
            return false;
        }
        FrameReader reader("patch", std::max(DecodeWindowLogMax, prefixWindowLog(header.oldSize, header.newSize)));
        if (!reader.open(patch, PatchHeaderSize, patchSize - PatchHeaderSize, error)
            || !reader.referencePrefix(old.data(), std::size_t(old.size()), error) || !decodeFrame(reader, output, error)) {
            return false;
        }
    } else if (!applyDifference(patch, old, header, output, error)) {
        return false;
    }
    if (output.size() != header.newSize) {
        error = "damaged patch: it made " + std::to_string(output.size()) + " bytes of the stated "
            + std::to_string(header.newSize);
        return false;
    }
    if (output.digest() != header.newSha256) {
        error = "damaged patch: the file it made is not the one it names (SHA-256)";
        return false;
    }
    return true;
}

} // namespace delta
