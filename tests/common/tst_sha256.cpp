#include "sha256.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QTest>

class Sha256Test : public QObject
{
    Q_OBJECT

private slots:
    void knownVectors_data();
    void knownVectors();
    void splitFeeds_data();
    void splitFeeds();
    void resultStartsOver();
    void hexForms_data();
    void hexForms();
    void wholeFile_data();
    void wholeFile();
    void missingFile();
};

void Sha256Test::knownVectors_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("two-blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << QByteArray("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    QTest::newRow("test") << QByteArray("test")
                          << QByteArray("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    QTest::newRow("million-a") << QByteArray(1000000, 'a')
                               << QByteArray("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

void Sha256Test::knownVectors()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, digest);
    QCOMPARE(QByteArray::fromStdString(Sha256::toHex(Sha256::hash(input))), digest);
}

void Sha256Test::splitFeeds_data()
{
    QTest::addColumn<int>("piece");
    QTest::newRow("bytes") << 1;
    QTest::newRow("odd") << 7;
    QTest::newRow("one-block") << 64;
    QTest::newRow("block-and-one") << 65;
    QTest::newRow("large") << 100000;
    QTest::newRow("whole") << 1000000;
}

// A million 'a' fed in pieces gives the digest of the whole.
void Sha256Test::splitFeeds()
{
    QFETCH(int, piece);
    const QByteArray input(1000000, 'a');
    Sha256 sha;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        sha.addData(QByteArrayView(input).sliced(at, qMin<qsizetype>(piece, input.size() - at)));
    }
    QCOMPARE(Sha256::toHex(sha.result()),
        std::string("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
}

void Sha256Test::resultStartsOver()
{
    Sha256 sha;
    sha.addData(QByteArrayView("ab"));
    sha.result();
    sha.addData(QByteArrayView("abc"));
    QCOMPARE(sha.result(), Sha256::hash("abc"));
    sha.addData(QByteArrayView("xyz"));
    sha.reset();
    QCOMPARE(sha.result(), Sha256::hash(QByteArrayView()));
}

void Sha256Test::hexForms_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");
    const QByteArray good("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    QTest::newRow("lower-case") << good << true;
    QTest::newRow("upper-case-refused") << good.toUpper() << false;
    QTest::newRow("one-short") << good.left(63) << false;
    QTest::newRow("one-long") << good + "0" << false;
    QTest::newRow("not-hex") << QByteArray(good).replace(10, 1, "g") << false;
    QTest::newRow("blank-inside") << QByteArray(good).replace(10, 1, " ") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void Sha256Test::hexForms()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    Sha256Digest digest;
    digest.fill(0x5a);
    const Sha256Digest before = digest;
    QCOMPARE(Sha256::fromHex(text.toStdString(), digest), accepted);
    if (accepted) {
        QCOMPARE(QByteArray::fromStdString(Sha256::toHex(digest)), text);
        QCOMPARE(digest, Sha256::hash("test"));
    } else {
        QCOMPARE(digest, before);
    }
}

void Sha256Test::wholeFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("small") << QByteArray("test");
    // Crosses the reader's piece size, so the file is hashed in more than one read.
    QByteArray large(3 * (1 << 20) + 17, '\0');
    for (qsizetype i = 0; i < large.size(); ++i) {
        large[i] = char(i * 131 % 251);
    }
    QTest::newRow("several-pieces") << large;
}

void Sha256Test::wholeFile()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.bin"));
    QVERIFY(writeFile(path, content));
    std::int64_t size = -1;
    Sha256Digest digest {};
    QVERIFY(hashFile(path, size, digest));
    QCOMPARE(size, std::int64_t(content.size()));
    QCOMPARE(digest, Sha256::hash(content));
}

void Sha256Test::missingFile()
{
    QTemporaryDir dir;
    std::int64_t size = 7;
    Sha256Digest digest {};
    QString error;
    QVERIFY(!hashFile(dir.filePath(QStringLiteral("absent")), size, digest, &error));
    QCOMPARE(size, std::int64_t(7));
    QVERIFY2(error.contains(QStringLiteral("No such file")), qPrintable(error));
}

QTEST_APPLESS_MAIN(Sha256Test)
#include "tst_sha256.moc"
