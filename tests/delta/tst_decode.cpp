// Decoding compressed copies and patches made here byte by byte: well-formed ones of both
// methods, and hostile ones (cut short, not ours, out-of-bounds control values, the wrong old
// file, more output than allowed, damaged streams). Every refusal must name its cause and hand
// the sink nothing beyond the bounds.

#include "delta.h"
#include "patchformat.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include <zstd.h>

#include <cstring>
#include <vector>

namespace {

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}


// One zstd frame with its checksum, as the encoder makes them. knownSize false streams it in two
// calls, so the frame states no content size and keeps the window it was given.
QByteArray zstdFrame(const QByteArray& data, int windowLog = 20, bool knownSize = true,
    const QByteArray& prefix = {})
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    if (!prefix.isEmpty()) {
        ZSTD_CCtx_refPrefix(context, prefix.constData(), std::size_t(prefix.size()));
    }
    QByteArray out(int(ZSTD_compressBound(std::size_t(data.size()))) + 64, Qt::Uninitialized);
    ZSTD_outBuffer output { out.data(), std::size_t(out.size()), 0 };
    const int split = knownSize ? 0 : data.size() / 2;
    ZSTD_inBuffer first { data.constData(), std::size_t(split), 0 };
    if (!knownSize) {
        ZSTD_compressStream2(context, &output, &first, ZSTD_e_continue);
    }
    ZSTD_inBuffer rest { data.constData() + split, std::size_t(data.size() - split), 0 };
    while (ZSTD_compressStream2(context, &output, &rest, ZSTD_e_end) != 0) {
    }
    ZSTD_freeCCtx(context);
    out.truncate(int(output.pos));
    return out;
}

QByteArray header(delta::PatchMethod method, const QByteArray& oldBytes, const QByteArray& newBytes)
{
    delta::PatchHeader fields;
    fields.method = method;
    fields.oldSize = std::uint64_t(oldBytes.size());
    fields.newSize = std::uint64_t(newBytes.size());
    std::memcpy(fields.oldSha256.data(), sha256(oldBytes).constData(), 32);
    std::memcpy(fields.newSha256.data(), sha256(newBytes).constData(), 32);
    std::uint8_t bytes[delta::PatchHeaderSize];
    delta::writePatchHeader(fields, bytes);
    return QByteArray(reinterpret_cast<const char*>(bytes), int(sizeof bytes));
}

QByteArray u64(std::uint64_t value)
{
    std::uint8_t bytes[8];
    delta::putU64(bytes, value);
    return QByteArray(reinterpret_cast<const char*>(bytes), 8);
}

struct Triple
{
    std::uint64_t add;
    std::uint64_t copy;
    std::int64_t seek;
};

// A difference body from its parts, each stream compressed as the format says.
QByteArray differenceBody(const std::vector<Triple>& triples, const QByteArray& diff, const QByteArray& extra)
{
    QByteArray control;
    for (const Triple& triple : triples) {
        control += u64(triple.add) + u64(triple.copy) + u64(std::uint64_t(triple.seek));
    }
    const QByteArray frames[] = { zstdFrame(control), zstdFrame(diff), zstdFrame(extra) };
    return u64(std::uint64_t(frames[0].size())) + u64(std::uint64_t(frames[1].size()))
        + u64(std::uint64_t(frames[2].size())) + frames[0] + frames[1] + frames[2];
}

// The difference of equal-length files: one triple adding the whole old file.
QByteArray byteDifference(const QByteArray& oldBytes, const QByteArray& newBytes)
{
    QByteArray diff(newBytes.size(), '\0');
    for (int i = 0; i < newBytes.size(); ++i) {
        diff[i] = char(std::uint8_t(newBytes[i]) - std::uint8_t(oldBytes[i]));
    }
    return diff;
}

class CollectingSink : public delta::Sink
{
public:
    explicit CollectingSink(qsizetype failAfter = -1) : failAfter(failAfter) { }

    bool write(const std::uint8_t* data, std::size_t size, std::string& error) override
    {
        if (failAfter >= 0 && bytes.size() + qsizetype(size) > failAfter) {
            error = "disk full (test sink)";
            return false;
        }
        bytes.append(reinterpret_cast<const char*>(data), qsizetype(size));
        return true;
    }

    QByteArray bytes;
    qsizetype failAfter;
};

const QByteArray OldText = QByteArray("The quick brown fox jumps over the lazy dog. ").repeated(40);
const QByteArray NewText = QByteArray(OldText).replace("lazy", "busy") + "and then some more.";

} // namespace

class DecodeTest : public QObject
{
    Q_OBJECT

private slots:
    void decompress_data();
    void decompress();
    void applyPatch_data();
    void applyPatch();
    void missingFiles();

private:
    QTemporaryDir dir;
};

void DecodeTest::decompress_data()
{
    QTest::addColumn<QByteArray>("object");
    QTest::addColumn<qint64>("maxSize");
    QTest::addColumn<qsizetype>("sinkFailsAfter");
    QTest::addColumn<QByteArray>("expected"); // the whole output, when decoding succeeds
    QTest::addColumn<QString>("error");       // part of the error, when it fails

    const QByteArray random = randomBytes(300000, 1);
    const QByteArray text = QByteArray("line of text\n").repeated(20000);
    QTest::newRow("empty") << zstdFrame({}) << qint64(0) << qsizetype(-1) << QByteArray() << QString();
    QTest::newRow("text") << zstdFrame(text) << qint64(text.size()) << qsizetype(-1) << text << QString();
    QTest::newRow("random") << zstdFrame(random) << qint64(random.size()) << qsizetype(-1) << random << QString();
    QTest::newRow("no-content-size") << zstdFrame(text, 20, false) << qint64(text.size()) << qsizetype(-1) << text
                                     << QString();
    QTest::newRow("bigger-than-max-stated") << zstdFrame(text) << qint64(text.size() - 1) << qsizetype(-1)
                                            << QByteArray() << "more than the expected";
    QTest::newRow("bigger-than-max-unstated")
        << zstdFrame(text, 20, false) << qint64(text.size() - 1) << qsizetype(-1) << QByteArray() << "longer than";
    QTest::newRow("window-too-big") << zstdFrame(text, 27, false) << qint64(text.size()) << qsizetype(-1)
                                    << QByteArray() << "too much memory";
    QTest::newRow("cut-short") << zstdFrame(random).left(150000) << qint64(random.size()) << qsizetype(-1)
                               << QByteArray() << "ends early";
    QByteArray flipped = zstdFrame(random);
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x40);
    QTest::newRow("flipped-byte") << flipped << qint64(random.size()) << qsizetype(-1) << QByteArray()
                                  << "damaged compressed copy";
    QTest::newRow("bytes-after-frame") << zstdFrame(text) + "tail" << qint64(text.size()) << qsizetype(-1)
                                       << QByteArray() << "damaged compressed copy";
    QTest::newRow("two-frames") << zstdFrame(text) + zstdFrame(text) << qint64(2 * text.size()) << qsizetype(-1)
                                << QByteArray() << "bytes after its end";
    QTest::newRow("not-zstd") << QByteArray("MZ\x90\0 a Windows executable, not a frame") << qint64(1000)
                              << qsizetype(-1) << QByteArray() << "not a compressed copy";
    QTest::newRow("empty-object") << QByteArray() << qint64(1000) << qsizetype(-1) << QByteArray()
                                  << "not a compressed copy";
    QTest::newRow("sink-fails") << zstdFrame(random) << qint64(random.size()) << qsizetype(100000) << QByteArray()
                                << "disk full (test sink)";

    // Output goes to the sink in pieces of 1 MiB: across pieces, and bounds that fall on a
    // piece's end.
    const QByteArray large = randomBytes(5 * 1024 * 1024 / 2 + 17, 2);
    const QByteArray onePiece = randomBytes(1024 * 1024, 3);
    QTest::newRow("several-pieces") << zstdFrame(large) << qint64(large.size()) << qsizetype(-1) << large << QString();
    QTest::newRow("several-pieces-unstated")
        << zstdFrame(large, 22, false) << qint64(large.size()) << qsizetype(-1) << large << QString();
    QTest::newRow("several-pieces-one-over") << zstdFrame(large, 22, false) << qint64(large.size() - 1)
                                             << qsizetype(-1) << QByteArray() << "longer than";
    QTest::newRow("one-piece-exactly")
        << zstdFrame(onePiece, 21, false) << qint64(onePiece.size()) << qsizetype(-1) << onePiece << QString();
    QTest::newRow("one-piece-and-a-byte") << zstdFrame(onePiece + "x", 21, false) << qint64(onePiece.size())
                                          << qsizetype(-1) << QByteArray() << "longer than";
    QTest::newRow("several-pieces-sink-fails") << zstdFrame(large) << qint64(large.size()) << qsizetype(1500000)
                                               << QByteArray() << "disk full (test sink)";
}

void DecodeTest::decompress()
{
    QFETCH(QByteArray, object);
    QFETCH(qint64, maxSize);
    QFETCH(qsizetype, sinkFailsAfter);
    QFETCH(QByteArray, expected);
    QFETCH(QString, error);

    const QString path = dir.filePath("object.zst");
    QVERIFY(writeFile(path, object));
    CollectingSink sink(sinkFailsAfter);
    std::string reason;
    const bool decoded = delta::decompress(path.toStdString(), std::uint64_t(maxSize), sink, reason);
    if (error.isEmpty()) {
        QVERIFY2(decoded, reason.c_str());
        QCOMPARE(sink.bytes.size(), expected.size());
        QCOMPARE(sink.bytes, expected);
    } else {
        QVERIFY(!decoded);
        QVERIFY2(QString::fromStdString(reason).contains(error), reason.c_str());
        QVERIFY(sink.bytes.size() <= maxSize);
    }
}

void DecodeTest::applyPatch_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<qint64>("maxSize");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("outputBeforeError"); // whether a refusal may come after some output

    using delta::PatchMethod;
    const QByteArray oldBytes = OldText;
    const QByteArray newBytes = NewText;
    const qint64 newSize = newBytes.size();
    const QByteArray prefixHeader = header(PatchMethod::Prefix, oldBytes, newBytes);
    const QByteArray diffHeader = header(PatchMethod::Difference, oldBytes, newBytes);
    const QByteArray prefixBody = zstdFrame(newBytes, 20, true, oldBytes);
    // new = the old file with its differences, then the extra tail.
    const QByteArray sameLength = byteDifference(oldBytes, newBytes.left(oldBytes.size()));
    const QByteArray tail = newBytes.mid(oldBytes.size());
    const std::uint64_t oldSize = std::uint64_t(oldBytes.size());
    const std::uint64_t tailSize = std::uint64_t(tail.size());
    const QByteArray goodBody = differenceBody({ { oldSize, tailSize, -std::int64_t(oldSize) } }, sameLength, tail);

    QTest::newRow("prefix") << oldBytes << prefixHeader + prefixBody << newSize << newBytes << QString() << false;
    QTest::newRow("difference") << oldBytes << diffHeader + goodBody << newSize << newBytes << QString() << false;
    // Several triples: the tail first from extra, then the old file's second half, then its first.
    {
        const QByteArray target = tail + oldBytes.mid(900) + oldBytes.left(900);
        const QByteArray zeros(int(oldSize), '\0');
        const QByteArray body = differenceBody({ { 0, tailSize, 900 }, { oldSize - 900, 0, -std::int64_t(oldSize) },
                                                   { 900, 0, 0 } },
            zeros, tail);
        QTest::newRow("difference-seeks") << oldBytes << header(PatchMethod::Difference, oldBytes, target) + body
                                          << qint64(target.size()) << target << QString() << false;
    }
    QTest::newRow("from-empty") << QByteArray() << header(PatchMethod::Difference, {}, newBytes)
            + differenceBody({ { 0, std::uint64_t(newSize), 0 } }, {}, newBytes)
                                << newSize << newBytes << QString() << false;
    QTest::newRow("to-empty") << oldBytes << header(PatchMethod::Difference, oldBytes, {}) + differenceBody({}, {}, {})
                              << qint64(0) << QByteArray() << QString() << false;
    QTest::newRow("prefix-to-empty") << oldBytes << header(PatchMethod::Prefix, oldBytes, {}) + zstdFrame({})
                                     << qint64(0) << QByteArray() << QString() << false;

    // Many short runs of both kinds, back and forth through the old file, making output over
    // several of the 1 MiB pieces it is handed on in.
    {
        const QByteArray bigOld = randomBytes(1536 * 1024, 4);
        QByteArray target;
        QByteArray diff;
        QByteArray extra;
        std::vector<Triple> triples;
        std::uint64_t at = 0;
        for (int run = 0; target.size() < 2600 * 1024; ++run) {
            const int add = 700 + run % 900;
            const int copy = run % 3 == 0 ? 0 : 1 + run % 41;
            for (int i = 0; i < add; ++i) {
                const char delta = char(i % 97 == 0 ? run : 0);
                diff += delta;
                target += char(bigOld[int(at) + i] + delta);
            }
            const QByteArray added = randomBytes(copy, quint32(run));
            extra += added;
            target += added;
            // Forward by a stride, or back to the start near the end of the old file.
            const std::uint64_t after = at + std::uint64_t(add);
            const std::uint64_t to = after + 5000 + 2000 > std::uint64_t(bigOld.size()) ? 0 : after + 5000;
            triples.push_back({ std::uint64_t(add), std::uint64_t(copy), std::int64_t(to) - std::int64_t(after) });
            at = to;
        }
        QTest::newRow("difference-many-runs")
            << bigOld << header(PatchMethod::Difference, bigOld, target) + differenceBody(triples, diff, extra)
            << qint64(target.size()) << target << QString() << false;
    }

    // A prefix patch of a new file over the 16 MiB window other frames may have: its frame
    // states the size, so the decoder's history stays bounded by it.
    {
        const QByteArray bigOld = randomBytes(17 * 1024 * 1024, 5);
        const QByteArray bigNew = QByteArray(bigOld).replace(1000, 5, "fixed").remove(4000000, 300) + bigOld.left(65536);
        QTest::newRow("prefix-new-file-over-16-mib")
            << bigOld << header(PatchMethod::Prefix, bigOld, bigNew) + zstdFrame(bigNew, 26, true, bigOld)
            << qint64(bigNew.size()) << bigNew << QString() << false;
    }

    // Not a patch of ours.
    QTest::newRow("cut-in-header") << oldBytes << diffHeader.left(60) << newSize << QByteArray() << "not a patch" << false;
    QTest::newRow("compressed-copy") << oldBytes << zstdFrame(newBytes) << newSize << QByteArray() << "not a patch"
                                     << false;
    QByteArray otherVersion = diffHeader + goodBody;
    otherVersion[8] = 2;
    QTest::newRow("version-2") << oldBytes << otherVersion << newSize << QByteArray() << "version 2 is not supported"
                               << false;
    QByteArray otherMethod = diffHeader + goodBody;
    otherMethod[12] = 7;
    QTest::newRow("method-7") << oldBytes << otherMethod << newSize << QByteArray() << "unknown patch method 7" << false;

    // Not the old file it was made for, or more than the caller allows.
    QTest::newRow("old-file-longer") << oldBytes + "x" << diffHeader + goodBody << newSize << QByteArray()
                                     << "the patch applies to" << false;
    QByteArray otherOld = oldBytes;
    otherOld[5] = '#';
    QTest::newRow("old-file-other-bytes") << otherOld << diffHeader + goodBody << newSize << QByteArray()
                                          << "not the one the patch applies to" << false;
    QTest::newRow("prefix-old-file-other-bytes") << otherOld << prefixHeader + prefixBody << newSize << QByteArray()
                                                 << "not the one the patch applies to" << false;
    QTest::newRow("longer-than-max") << oldBytes << diffHeader + goodBody << newSize - 1 << QByteArray()
                                     << "more than the expected" << false;

    // Control values out of bounds.
    QTest::newRow("add-past-old-end")
        << oldBytes
        << diffHeader + differenceBody({ { oldSize + 1, 0, 0 } }, sameLength + "x", {}) << newSize << QByteArray()
        << "past the end of the old file" << false;
    QTest::newRow("add-huge") << oldBytes << diffHeader + differenceBody({ { ~0ULL, 0, 0 } }, sameLength, {})
                              << newSize << QByteArray() << "makes more than" << false;
    QTest::newRow("copy-huge-sum-wraps")
        << oldBytes << diffHeader + differenceBody({ { 10, ~0ULL - 5, 0 } }, sameLength, tail) << newSize << QByteArray()
        << "makes more than" << false;
    QTest::newRow("seek-before-start")
        << oldBytes << diffHeader + differenceBody({ { 10, 0, -11 }, { oldSize - 10, tailSize, 0 } }, sameLength, tail)
        << newSize << QByteArray() << "moves outside the old file" << true;
    QTest::newRow("seek-min") << oldBytes
                              << diffHeader
            + differenceBody({ { 10, 0, INT64_MIN }, { oldSize - 10, tailSize, 0 } }, sameLength, tail)
                              << newSize << QByteArray() << "moves outside the old file" << true;
    QTest::newRow("seek-past-end")
        << oldBytes << diffHeader + differenceBody({ { 10, 0, std::int64_t(oldSize) }, { 0, tailSize, 0 } }, sameLength, tail)
        << newSize << QByteArray() << "moves outside the old file" << true;
    QTest::newRow("triples-end-early") << oldBytes << diffHeader + differenceBody({ { oldSize, 0, 0 } }, sameLength, tail)
                                       << newSize << QByteArray() << "control stream: it ends early" << true;
    QTest::newRow("diff-stream-short")
        << oldBytes << diffHeader + differenceBody({ { oldSize, tailSize, 0 } }, sameLength.left(100), tail) << newSize
        << QByteArray() << "difference stream: it ends early" << true;
    QTest::newRow("extra-stream-longer")
        << oldBytes << diffHeader + differenceBody({ { oldSize, tailSize, 0 } }, sameLength, tail + "more") << newSize
        << QByteArray() << "extra stream: more data" << true;
    QTest::newRow("control-after-last")
        << oldBytes
        << diffHeader + differenceBody({ { oldSize, tailSize, 0 }, { 0, 0, 0 } }, sameLength, tail) << newSize
        << QByteArray() << "control stream: more data" << true;

    // Damaged bytes.
    QTest::newRow("sizes-cut") << oldBytes << diffHeader + goodBody.left(20) << newSize << QByteArray()
                               << "ends within its stream sizes" << false;
    QTest::newRow("sizes-wrong") << oldBytes << diffHeader + goodBody + "x" << newSize << QByteArray()
                                 << "do not add up" << false;
    QByteArray hugeSize = diffHeader + goodBody;
    hugeSize.replace(delta::PatchHeaderSize, 8, u64(~0ULL));
    QTest::newRow("sizes-huge") << oldBytes << hugeSize << newSize << QByteArray() << "do not add up" << false;
    QTest::newRow("body-cut") << oldBytes << (diffHeader + goodBody).chopped(10) << newSize << QByteArray()
                              << "do not add up" << false;
    QByteArray flippedDiff = diffHeader + goodBody;
    flippedDiff[flippedDiff.size() - 30] = char(flippedDiff[flippedDiff.size() - 30] ^ 0x20);
    QTest::newRow("extra-stream-flipped") << oldBytes << flippedDiff << newSize << QByteArray() << "damaged patch"
                                          << true;
    QByteArray flippedPrefix = prefixHeader + prefixBody;
    flippedPrefix[flippedPrefix.size() - 8] = char(flippedPrefix[flippedPrefix.size() - 8] ^ 0x01);
    QTest::newRow("prefix-flipped") << oldBytes << flippedPrefix << newSize << QByteArray() << "damaged patch" << true;
    QTest::newRow("prefix-cut") << oldBytes << (prefixHeader + prefixBody).chopped(40) << newSize << QByteArray()
                                << "damaged patch" << true;
    // The decoder keeps up to the frame's stated content as history, so it must be stated.
    QTest::newRow("prefix-size-unstated")
        << oldBytes << prefixHeader + zstdFrame(newBytes, 27, false, oldBytes) << newSize << QByteArray()
        << "does not state the new file's size" << false;
    QTest::newRow("prefix-size-stated-otherwise")
        << oldBytes << prefixHeader + zstdFrame(newBytes + "!", 20, true, oldBytes) << newSize << QByteArray()
        << "does not state the new file's size" << false;
    {
        QByteArray tooBig = prefixHeader + prefixBody;
        tooBig.replace(24, 8, u64(delta::PrefixNewSizeMax + 1));
        QTest::newRow("prefix-new-file-too-big") << oldBytes << tooBig << qint64(delta::PrefixNewSizeMax + 1)
                                                 << QByteArray() << "more than a prefix patch may" << false;
    }
    // The header names a result other than what the body makes.
    QTest::newRow("other-new-sha")
        << oldBytes << header(PatchMethod::Difference, oldBytes, QByteArray(newBytes).replace("busy", "lazy")) + goodBody
        << newSize << QByteArray() << "not the one it names" << true;
}

void DecodeTest::applyPatch()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, patch);
    QFETCH(qint64, maxSize);
    QFETCH(QByteArray, expected);
    QFETCH(QString, error);
    QFETCH(bool, outputBeforeError);

    const QString oldPath = dir.filePath("old.bin");
    const QString patchPath = dir.filePath("a-b.patch");
    QVERIFY(writeFile(oldPath, oldBytes));
    QVERIFY(writeFile(patchPath, patch));
    CollectingSink sink;
    std::string reason;
    const bool applied
        = delta::applyPatch(oldPath.toStdString(), patchPath.toStdString(), std::uint64_t(maxSize), sink, reason);
    if (error.isEmpty()) {
        QVERIFY2(applied, reason.c_str());
        QCOMPARE(sink.bytes, expected);
    } else {
        QVERIFY(!applied);
        QVERIFY2(QString::fromStdString(reason).contains(error), reason.c_str());
        QVERIFY(sink.bytes.size() <= maxSize);
        if (!outputBeforeError) {
            QCOMPARE(sink.bytes.size(), 0);
        }
    }
    // The old file is never touched.
    QCOMPARE(readFile(oldPath), oldBytes);
}

void DecodeTest::missingFiles()
{
    const QString oldPath = dir.filePath("present.bin");
    const QString patchPath = dir.filePath("present.patch");
    QVERIFY(writeFile(oldPath, OldText));
    QVERIFY(writeFile(patchPath, header(delta::PatchMethod::Prefix, OldText, NewText) + zstdFrame(NewText, 20, true, OldText)));
    CollectingSink sink;
    std::string reason;
    QVERIFY(!delta::decompress(dir.filePath("absent.zst").toStdString(), 100, sink, reason));
    QVERIFY2(QString::fromStdString(reason).contains("absent.zst"), reason.c_str());
    QVERIFY(!delta::applyPatch(dir.filePath("absent.bin").toStdString(), patchPath.toStdString(), 100000, sink, reason));
    QVERIFY2(QString::fromStdString(reason).contains("cannot read the file to patch"), reason.c_str());
    QVERIFY(!delta::applyPatch(oldPath.toStdString(), dir.filePath("absent.patch").toStdString(), 100000, sink, reason));
    QVERIFY2(QString::fromStdString(reason).contains("absent.patch"), reason.c_str());
    QVERIFY(!delta::applyPatch(dir.path().toStdString(), patchPath.toStdString(), 100000, sink, reason));
    QCOMPARE(sink.bytes.size(), 0);
}

QTEST_APPLESS_MAIN(DecodeTest)
#include "tst_decode.moc"
