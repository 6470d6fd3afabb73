// Round trips through the encoder and the decoder: every kind of change between two files, each
// patch method forced and the smaller chosen, and the compressed copy; the difference method
// must find what bsdiff's idea promises on code whose addresses moved.

#include "delta.h"
#include "encode.h"
#include "patchformat.h"
#include "testfiles.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

Q_DECLARE_METATYPE(delta::PatchChoice)

namespace {


// Something like machine code: instructions of a few opcodes, many carrying a 32-bit absolute
// address into the code itself.
struct Code
{
    QByteArray bytes;
    QList<int> addressAt; // where each address is stored
};

Code machineCode(int size, quint32 seed)
{
    Code code;
    QRandomGenerator generator(seed);
    static const char Opcodes[] = { '\x8b', '\x89', '\xe8', '\xff', '\x48', '\x0f' };
    while (code.bytes.size() < size) {
        code.bytes += Opcodes[generator.bounded(int(sizeof Opcodes))];
        if (generator.bounded(3) > 0) {
            const quint32 address = 0x400000 + generator.bounded(quint32(size));
            code.addressAt << int(code.bytes.size());
            code.bytes.append(reinterpret_cast<const char*>(&address), 4);
        } else {
            code.bytes += char(generator.bounded(8));
        }
    }
    return code;
}

// The same code with `inserted` new bytes at `at`: every address beyond moves by as much.
QByteArray shifted(const Code& code, int at, const QByteArray& inserted)
{
    QByteArray bytes = code.bytes;
    for (const int place : code.addressAt) {
        quint32 address = 0;
        std::memcpy(&address, bytes.constData() + place, 4);
        if (address - 0x400000 >= quint32(at)) {
            address += quint32(inserted.size());
            std::memcpy(bytes.data() + place, &address, 4);
        }
    }
    // An address split by the insertion point is left as it is.
    return bytes.insert(at, inserted);
}

class CollectingSink : public delta::Sink
{
public:
    bool write(const std::uint8_t* data, std::size_t size, std::string&) override
    {
        bytes.append(reinterpret_cast<const char*>(data), qsizetype(size));
        return true;
    }
    QByteArray bytes;
};

QByteArray bytesOf(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

} // namespace

class EncodeTest : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void addressesMovedByAConstant();
    void prefixRefusedBeyondTheWindow();

private:
    QTemporaryDir dir;
};

void EncodeTest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");

    const QByteArray random = randomBytes(40000, 7);
    const Code code = machineCode(60000, 3);
    QByteArray edited = random;
    for (int i = 0; i < 80; ++i) {
        edited[i * 487] = char(edited[i * 487] + 1 + i % 5);
    }
    QTest::newRow("both-empty") << QByteArray() << QByteArray();
    QTest::newRow("from-empty") << QByteArray() << random.left(5000);
    QTest::newRow("to-empty") << random.left(5000) << QByteArray();
    QTest::newRow("identical") << random << random;
    QTest::newRow("tiny") << QByteArray("a") << QByteArray("b");
    QTest::newRow("tiny-to-longer") << QByteArray("ab") << QByteArray("abcabcabc");
    QTest::newRow("unrelated-random") << random << randomBytes(30000, 8);
    QTest::newRow("scattered-edits") << random << edited;
    QTest::newRow("appended") << random << random + randomBytes(3000, 9);
    QTest::newRow("truncated") << random << random.left(21234);
    QTest::newRow("cut-from-front") << random << random.mid(777);
    QTest::newRow("blocks-swapped") << random << random.mid(20000) + random.left(20000);
    QTest::newRow("shifted-code") << code.bytes << shifted(code, 30001, randomBytes(333, 10));
    QTest::newRow("zero-runs") << QByteArray(70000, '\0') + random.left(100) << QByteArray(90000, '\0');
}

void EncodeTest::roundTrip()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);

    const QString oldPath = dir.filePath("old");
    const QString newPath = dir.filePath("new");
    QVERIFY(writeFile(oldPath, oldBytes));
    QVERIFY(writeFile(newPath, newBytes));

    std::string error;
    std::vector<std::uint8_t> object;
    QVERIFY2(delta::makeCompressedCopy(newPath.toStdString(), object, error), error.c_str());
    const QString objectPath = dir.filePath("copy.zst");
    QVERIFY(writeFile(objectPath, bytesOf(object)));
    CollectingSink copied;
    QVERIFY2(delta::decompress(objectPath.toStdString(), std::uint64_t(newBytes.size()), copied, error), error.c_str());
    QCOMPARE(copied.bytes, newBytes);

    qsizetype smallestForced = -1;
    for (const auto choice :
        { delta::PatchChoice::PrefixOnly, delta::PatchChoice::DifferenceOnly, delta::PatchChoice::Smaller }) {
        std::vector<std::uint8_t> patch;
        QVERIFY2(delta::makePatch(oldPath.toStdString(), newPath.toStdString(), patch, error, choice), error.c_str());
        const QString patchPath = dir.filePath("p.patch");
        QVERIFY(writeFile(patchPath, bytesOf(patch)));
        CollectingSink sink;
        QVERIFY2(delta::applyPatch(oldPath.toStdString(), patchPath.toStdString(), std::uint64_t(newBytes.size()),
                     sink, error),
            error.c_str());
        QCOMPARE(sink.bytes, newBytes);
        if (choice == delta::PatchChoice::Smaller) {
            QCOMPARE(qsizetype(patch.size()), smallestForced);
        } else {
            // The method the header names is the one asked for.
            QCOMPARE(patch[12], std::uint8_t(choice == delta::PatchChoice::PrefixOnly ? 1 : 2));
            smallestForced = smallestForced < 0 ? qsizetype(patch.size()) : std::min(smallestForced, qsizetype(patch.size()));
        }
    }
}

void EncodeTest::addressesMovedByAConstant()
{
    // Code grown in the middle: most of its addresses changed, by the same amount. The difference
    // stores them as runs of one small value, where matching the new bytes exactly (the prefix
    // method) breaks at every changed address.
    const Code code = machineCode(150000, 11);
    const QString oldPath = dir.filePath("code-old");
    const QString newPath = dir.filePath("code-new");
    QVERIFY(writeFile(oldPath, code.bytes));
    QVERIFY(writeFile(newPath, shifted(code, 50003, randomBytes(1000, 12))));
    std::string error;
    std::vector<std::uint8_t> difference;
    std::vector<std::uint8_t> prefix;
    std::vector<std::uint8_t> copy;
    QVERIFY2(delta::makePatch(oldPath.toStdString(), newPath.toStdString(), difference, error,
                 delta::PatchChoice::DifferenceOnly),
        error.c_str());
    QVERIFY2(delta::makePatch(oldPath.toStdString(), newPath.toStdString(), prefix, error, delta::PatchChoice::PrefixOnly),
        error.c_str());
    QVERIFY2(delta::makeCompressedCopy(newPath.toStdString(), copy, error), error.c_str());
    qInfo("copy %zu, prefix patch %zu, difference patch %zu bytes", copy.size(), prefix.size(), difference.size());
    QVERIFY(difference.size() * 3 < prefix.size());
    QVERIFY(difference.size() * 8 < copy.size());
}

void EncodeTest::prefixRefusedBeyondTheWindow()
{
    const std::uint64_t window = std::uint64_t(1) << delta::PrefixWindowLogMax;
    const std::uint64_t newMax = delta::PrefixNewSizeMax;
    QVERIFY(delta::prefixMethodFits(window - newMax, newMax));
    QVERIFY(!delta::prefixMethodFits(window - newMax + 1, newMax));
    // The decoder would hold a bigger new file whole.
    QVERIFY(!delta::prefixMethodFits(1, newMax + 1));
    QVERIFY(!delta::prefixMethodFits(~0ULL, 2));
    QVERIFY(!delta::prefixMethodFits(2, ~0ULL));
}

QTEST_APPLESS_MAIN(EncodeTest)
#include "tst_encode.moc"
