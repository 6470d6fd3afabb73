// The signature check of version answers against signatures known to be right (the test
// vectors of RFC 8032) and against the ways an answer or its signature can be wrong. Every
// platform's verifier must agree on all of them.

#include "answersignature.h"

#include <QTest>

#include <iterator>

namespace {

struct Vector
{
    const char* publicKey;
    const char* message;
    const char* signature;
};

// RFC 8032, 7.1, tests 1 to 3 (hex).
const Vector Rfc8032[] = {
    { "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
        "d25bf5f0595bbe24655141438e7a100b" },
    { "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c"
        "387b2eaeb4302aeeb00d291612bb0c00" },
    { "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
        "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc659"
        "4a7c15e9716ed28dc027beceea1ec40a" },
};

QByteArray key(int vector)
{
    return QByteArray::fromHex(Rfc8032[vector].publicKey);
}

QByteArray message(int vector)
{
    return QByteArray::fromHex(Rfc8032[vector].message);
}

QByteArray signature(int vector)
{
    return QByteArray::fromHex(Rfc8032[vector].signature);
}

QByteArray flipped(QByteArray bytes, int at)
{
    bytes[at] = char(bytes[at] ^ 0x01);
    return bytes;
}

// Encodings of points with a zero coordinate (y = 0, 1, p - 1, the sign of x set or not) and of
// y >= p (hex): no keygen makes them, and no verifier may take them or fall over them.
const char* const Degenerate[] = {
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "0100000000000000000000000000000000000000000000000000000000000000",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
};

// The signature with its s half raised by the group order L: the same signature to a lax
// verifier, another one to a strict one.
QByteArray unreduced(const QByteArray& signature)
{
    static const unsigned char order[32] = { 0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
        0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x10 };
    QByteArray raised = signature;
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        const unsigned sum = unsigned(static_cast<unsigned char>(raised[32 + i])) + order[i] + carry;
        raised[32 + i] = char(sum & 0xff);
        carry = sum >> 8;
    }
    return raised;
}

} // namespace

Q_DECLARE_METATYPE(SignatureCheck)

class AnswerSignatureTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void publicKeys_data();
    void publicKeys();
};

void AnswerSignatureTest::initTestCase()
{
    if (!signatureVerifierAvailable()) {
        QSKIP("this build has no signature verifier");
    }
}

void AnswerSignatureTest::check_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("signatureHeader");
    QTest::addColumn<QList<QByteArray>>("keys");
    QTest::addColumn<SignatureCheck>("expected");

    for (int vector = 0; vector < 3; ++vector) {
        QTest::addRow("rfc8032-test-%d", vector + 1)
            << message(vector) << signature(vector).toBase64() << QList { key(vector) } << SignatureCheck::Valid;
    }
    const QByteArray body = message(2);
    const QByteArray header = signature(2).toBase64();
    QTest::newRow("second-key-of-two") << body << header << QList { key(0), key(2) } << SignatureCheck::Valid;
    QTest::newRow("blanks-around-header") << body << " " + header + " " << QList { key(2) } << SignatureCheck::Valid;

    QTest::newRow("body-altered") << flipped(body, 1) << header << QList { key(2) } << SignatureCheck::UnknownKey;
    QTest::newRow("body-longer") << body + '\n' << header << QList { key(2) } << SignatureCheck::UnknownKey;
    QTest::newRow("r-altered") << body << flipped(signature(2), 0).toBase64() << QList { key(2) }
                               << SignatureCheck::UnknownKey;
    QTest::newRow("s-altered") << body << flipped(signature(2), 40).toBase64() << QList { key(2) }
                               << SignatureCheck::UnknownKey;
    QTest::newRow("s-not-reduced") << body << unreduced(signature(2)).toBase64() << QList { key(2) }
                                   << SignatureCheck::UnknownKey;
    QTest::newRow("other-key") << body << header << QList { key(0), key(1) } << SignatureCheck::UnknownKey;
    QTest::newRow("another-answer's-signature") << body << signature(1).toBase64() << QList { key(2) }
                                                 << SignatureCheck::UnknownKey;
    QTest::newRow("s-zero") << body << (signature(2).left(32) + QByteArray(32, '\0')).toBase64() << QList { key(2) }
                            << SignatureCheck::UnknownKey;
    for (int at = 0; at < int(std::size(Degenerate)); ++at) {
        const QByteArray point = QByteArray::fromHex(Degenerate[at]);
        QTest::addRow("degenerate-key-%d", at) << body << header << QList { point } << SignatureCheck::UnknownKey;
        QTest::addRow("degenerate-r-%d", at)
            << body << (point + signature(2).mid(32)).toBase64() << QList { key(2) } << SignatureCheck::UnknownKey;
    }

    QTest::newRow("no-header") << body << QByteArray() << QList { key(2) } << SignatureCheck::Unsigned;
    QTest::newRow("blank-header") << body << QByteArray("  ") << QList { key(2) } << SignatureCheck::Unsigned;
    QTest::newRow("63-bytes") << body << signature(2).left(63).toBase64() << QList { key(2) }
                              << SignatureCheck::Malformed;
    QTest::newRow("65-bytes") << body << (signature(2) + 'x').toBase64() << QList { key(2) }
                              << SignatureCheck::Malformed;
    QTest::newRow("hex-not-base64") << body << signature(2).toHex() << QList { key(2) } << SignatureCheck::Malformed;
    QTest::newRow("stray-character") << body << "*" + header.mid(1) << QList { key(2) } << SignatureCheck::Malformed;
    QTest::newRow("no-trusted-key") << body << header << QList<QByteArray>() << SignatureCheck::NoKeys;
}

void AnswerSignatureTest::check()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, signatureHeader);
    QFETCH(QList<QByteArray>, keys);
    QFETCH(SignatureCheck, expected);

    const SignatureCheck got = checkAnswerSignature(body, signatureHeader, keys);
    QVERIFY2(got == expected, signatureCheckText(got));
}

void AnswerSignatureTest::publicKeys_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QList<QByteArray>>("keys");
    QTest::addColumn<QList<QByteArray>>("bad");

    const QByteArray first = key(0).toBase64();
    const QByteArray second = key(1).toBase64();
    QTest::newRow("one") << first << QList { key(0) } << QList<QByteArray>();
    QTest::newRow("two-with-blanks") << " " + first + " ,\t" + second + " " << QList { key(0), key(1) }
                                     << QList<QByteArray>();
    QTest::newRow("empty-items") << "," + first + ",," << QList { key(0) } << QList<QByteArray>();
    QTest::newRow("none") << QByteArray() << QList<QByteArray>() << QList<QByteArray>();
    QTest::newRow("short-key-named") << first + ",AAAA" << QList { key(0) } << QList<QByteArray> { "AAAA" };
    const QByteArray identity = QByteArray::fromHex(Degenerate[2]).toBase64();
    QTest::newRow("degenerate-key-named") << identity + "," + first << QList { key(0) } << QList<QByteArray> { identity };
    QTest::newRow("hex-key-named") << QByteArray(Rfc8032[1].publicKey) + "," + first << QList { key(0) }
                                   << QList<QByteArray> { Rfc8032[1].publicKey };
}

void AnswerSignatureTest::publicKeys()
{
    QFETCH(QByteArray, list);
    QFETCH(QList<QByteArray>, keys);
    QFETCH(QList<QByteArray>, bad);

    QList<QByteArray> named;
    QCOMPARE(parsePublicKeys(list, &named), keys);
    QCOMPARE(named, bad);
}

QTEST_APPLESS_MAIN(AnswerSignatureTest)
#include "tst_answersignature.moc"
