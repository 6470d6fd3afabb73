#include "difference.h"

#include "patchformat.h"

#include <divsufsort.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace delta {

namespace {

// Longest prefixes of new bytes found in the old file, by binary search over its suffix array.
class MatchFinder
{
public:
    MatchFinder(const std::uint8_t* old, std::size_t oldSize, std::vector<saidx_t> suffixes)
        : old(old), oldSize(oldSize), suffixes(std::move(suffixes))
    {
    }

    // The length of the longest prefix of needle[0, size) that occurs in the old file, and where.
    std::size_t longest(const std::uint8_t* needle, std::size_t size, std::size_t& position) const
    {
        std::size_t low = 0;
        std::size_t high = suffixes.size() - 1;
        while (high - low > 1) {
            const std::size_t middle = low + (high - low) / 2;
            if (suffixBefore(std::size_t(suffixes[middle]), needle, size)) {
                low = middle;
            } else {
                high = middle;
            }
        }
        const std::size_t lowLength = common(std::size_t(suffixes[low]), needle, size);
        const std::size_t highLength = common(std::size_t(suffixes[high]), needle, size);
        if (lowLength >= highLength) {
            position = std::size_t(suffixes[low]);
            return lowLength;
        }
        position = std::size_t(suffixes[high]);
        return highLength;
    }

private:
    // Whether the old file's suffix at `start` sorts before the needle.
    bool suffixBefore(std::size_t start, const std::uint8_t* needle, std::size_t size) const
    {
        const std::size_t length = std::min(oldSize - start, size);
        const int order = std::memcmp(old + start, needle, length);
        return order < 0 || (order == 0 && length < size);
    }

    std::size_t common(std::size_t start, const std::uint8_t* needle, std::size_t size) const
    {
        const std::size_t length = std::min(oldSize - start, size);
        std::size_t i = 0;
        while (i < length && old[start + i] == needle[i]) {
            ++i;
        }
        return i;
    }

    const std::uint8_t* old;
    std::size_t oldSize;
    std::vector<saidx_t> suffixes;
};

void appendU64(std::vector<std::uint8_t>& out, std::uint64_t value)
{
    std::uint8_t bytes[8];
    putU64(bytes, value);
    out.insert(out.end(), bytes, bytes + 8);
}

// Writes the differences as the three streams take them.
class Writer
{
public:
    Writer(const std::uint8_t* old, const std::uint8_t* neu, Difference& out) : old(old), neu(neu), out(out) { }

    // `add` bytes of new from newPos against old from oldPos, then new bytes up to copyEnd, then
    // the old position moves to nextOld.
    void emit(std::size_t newPos, std::size_t oldPos, std::size_t add, std::size_t copyEnd, std::size_t nextOld)
    {
        for (std::size_t i = 0; i < add; ++i) {
            out.diff.push_back(std::uint8_t(neu[newPos + i] - old[oldPos + i]));
        }
        const std::size_t copyStart = newPos + add;
        out.extra.insert(out.extra.end(), neu + copyStart, neu + copyEnd);
        appendU64(out.control, add);
        appendU64(out.control, copyEnd - copyStart);
        appendU64(out.control, std::uint64_t(std::int64_t(nextOld) - std::int64_t(oldPos + add)));
    }

private:
    const std::uint8_t* old;
    const std::uint8_t* neu;
    Difference& out;
};

} // namespace

bool computeDifference(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* neu, std::size_t newSize,
    Difference& difference)
{
    difference = {};
    Writer writer(old, neu, difference);
    if (oldSize >= std::size_t(INT32_MAX)) {
        return false;
    }
    if (oldSize == 0 || newSize == 0) {
        if (newSize > 0) {
            writer.emit(0, 0, 0, newSize, 0);
        }
        return true;
    }
    std::vector<saidx_t> suffixes(oldSize);
    if (divsufsort(old, suffixes.data(), saidx_t(oldSize)) != 0) {
        return false;
    }
    const MatchFinder finder(old, oldSize, std::move(suffixes));

    const auto sameAt = [&](std::size_t newIndex, std::int64_t offset) {
        const std::int64_t oldIndex = std::int64_t(newIndex) + offset;
        return oldIndex >= 0 && oldIndex < std::int64_t(oldSize) && old[oldIndex] == neu[newIndex];
    };

    // The last stored match: new from lastScan onwards against old from lastPos, and the offset
    // between them that the next bytes are scored against.
    std::size_t lastScan = 0;
    std::size_t lastPos = 0;
    std::int64_t lastOffset = 0;
    std::size_t scan = 0;
    std::size_t length = 0;
    std::size_t position = 0;
    while (scan < newSize) {
        // Look for a place where an exact match is clearly better than simply going on with the
        // last offset: otherwise the approximate match continues and absorbs the bytes.
        std::int64_t oldScore = 0;
        scan += length;
        std::size_t scored = scan;
        for (; scan < newSize; ++scan) {
            length = finder.longest(neu + scan, newSize - scan, position);
            for (; scored < scan + length; ++scored) {
                oldScore += sameAt(scored, lastOffset) ? 1 : 0;
            }
            if ((std::int64_t(length) == oldScore && length != 0) || std::int64_t(length) > oldScore + 8) {
                break;
            }
            oldScore -= sameAt(scan, lastOffset) ? 1 : 0;
        }
        if (std::int64_t(length) == oldScore && scan != newSize) {
            continue;
        }

        // Extend the last match forward while at least half its bytes agree...
        std::size_t forward = 0;
        {
            std::int64_t same = 0;
            std::int64_t best = 0;
            for (std::size_t i = 0; lastScan + i < scan && lastPos + i < oldSize;) {
                same += old[lastPos + i] == neu[lastScan + i] ? 1 : 0;
                ++i;
                if (same * 2 - std::int64_t(i) > best * 2 - std::int64_t(forward)) {
                    best = same;
                    forward = i;
                }
            }
        }
        // ...and the new match backward likewise.
        std::size_t backward = 0;
        if (scan < newSize) {
            std::int64_t same = 0;
            std::int64_t best = 0;
            for (std::size_t i = 1; scan >= lastScan + i && position >= i; ++i) {
                same += old[position - i] == neu[scan - i] ? 1 : 0;
                if (same * 2 - std::int64_t(i) > best * 2 - std::int64_t(backward)) {
                    best = same;
                    backward = i;
                }
            }
        }
        // Where the two extensions overlap, split them where the most bytes agree.
        if (lastScan + forward > scan - backward) {
            const std::size_t overlap = (lastScan + forward) - (scan - backward);
            std::int64_t score = 0;
            std::int64_t bestScore = 0;
            std::size_t split = 0;
            for (std::size_t i = 0; i < overlap; ++i) {
                score += neu[lastScan + forward - overlap + i] == old[lastPos + forward - overlap + i] ? 1 : 0;
                score -= neu[scan - backward + i] == old[position - backward + i] ? 1 : 0;
                if (score > bestScore) {
                    bestScore = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        const std::size_t nextScan = scan - backward;
        const std::size_t nextPos = scan < newSize ? position - backward : lastPos + forward;
        writer.emit(lastScan, lastPos, forward, nextScan, nextPos);
        lastScan = nextScan;
        lastPos = nextPos;
        lastOffset = std::int64_t(position) - std::int64_t(scan);
    }
    return true;
}

} // namespace delta
