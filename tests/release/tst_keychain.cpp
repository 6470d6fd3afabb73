// Following the chain of key documents from a trusted start: rotations, thresholds, rollback
// and expiry, with documents signed by real Ed25519 keys.

#include "keychain.h"
#include "releasekey.h"
#include "roledocuments.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

enum Root { R1, R2, R3 };

struct Keys
{
    QTemporaryDir dir;
    std::unique_ptr<SecretKey> root[3];
    std::unique_ptr<SecretKey> release;
    std::unique_ptr<SecretKey> online;
    // One moment for every document, so that two made alike are the same bytes even when a
    // second ends between them.
    const QDateTime madeAt = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);

    bool make()
    {
        int n = 0;
        auto generate = [&](std::unique_ptr<SecretKey>& key) {
            key = std::make_unique<SecretKey>();
            std::string error;
            return key->generate(dir.filePath(QString::number(n++)).toStdString(), error);
        };
        return dir.isValid() && generate(root[R1]) && generate(root[R2]) && generate(root[R3]) && generate(release)
            && generate(online);
    }

    // Version `version` with root keys `roots` (threshold `threshold`), expiring in `days`,
    // signed by `signers`.
    SignedEnvelope document(qint64 version, QList<Root> roots, int threshold, QList<Root> signers, int days = 30,
        QByteArray extraReleaseKey = {}) const
    {
        std::map<std::string, RoleKeys> roles;
        for (Root r : roots) {
            roles[RootRole].keys << publicKeyOf(*root[r]);
        }
        roles[RootRole].threshold = threshold;
        roles[ReleaseRole].keys << publicKeyOf(*release);
        if (!extraReleaseKey.isEmpty()) {
            roles[ReleaseRole].keys << extraReleaseKey;
        }
        roles[OnlineRole].keys << publicKeyOf(*online);
        const QDateTime expires = madeAt.addDays(days);
        std::vector<const SecretKey*> by;
        for (Root r : signers) {
            by.push_back(root[r].get());
        }
        return signDocument(KeyDocument::make(version, expires, roles), by);
    }
};

} // namespace

Q_DECLARE_METATYPE(SignedEnvelope)

class KeyChainTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void follows_data();
    void follows();
    void envelopeCountsEachKeyOnce();

private:
    Keys keys;
};

void KeyChainTest::initTestCase()
{
    QVERIFY(keys.make());
}

void KeyChainTest::follows_data()
{
    QTest::addColumn<QList<SignedEnvelope>>("chain");
    QTest::addColumn<int>("kept");          // the version kept before (0: none)
    QTest::addColumn<int>("trustedRoot");   // the root key compiled in
    QTest::addColumn<int>("newest");        // 0: refused
    QTest::addColumn<QString>("why");

    const SignedEnvelope v1 = keys.document(1, { R1 }, 1, { R1 });
    const SignedEnvelope rotation = keys.document(2, { R2 }, 1, { R1, R2 });
    const SignedEnvelope v2 = keys.document(2, { R1 }, 1, { R1 });
    const SignedEnvelope twoOfTwo = keys.document(2, { R1, R2 }, 2, { R1, R2 });

    QTest::newRow("first document") << QList { v1 } << 0 << int(R1) << 1 << QString();
    QTest::newRow("root rotation, old root host") << QList { v1, rotation } << 0 << int(R1) << 2 << QString();
    QTest::newRow("root rotation, new root host") << QList { v1, rotation } << 0 << int(R2) << 2 << QString();
    QTest::newRow("after rotation, signed by the old root alone")
        << QList { v1, rotation, keys.document(3, { R2 }, 1, { R1 }) } << 0 << int(R1) << 0
        << QStringLiteral("version 3 is not signed by the threshold of the root keys of version 2");
    QTest::newRow("new root not signed by the old")
        << QList { v1, keys.document(2, { R2 }, 1, { R2 }) } << 0 << int(R1) << 0
        << QStringLiteral("root keys of version 1");
    QTest::newRow("not signed by its own new root")
        << QList { v1, keys.document(2, { R2 }, 1, { R1 }) } << 0 << int(R1) << 0
        << QStringLiteral("its own root keys");
    QTest::newRow("below the root threshold")
        << QList { v1, twoOfTwo, keys.document(3, { R1, R2 }, 2, { R1 }) } << 0 << int(R1) << 0
        << QStringLiteral("version 3 is not signed by the threshold");
    QTest::newRow("a root key twice counts once")
        << QList { v1, twoOfTwo, keys.document(3, { R1, R2 }, 2, { R1, R1 }) } << 0 << int(R1) << 0
        << QStringLiteral("version 3 is not signed by the threshold");
    QTest::newRow("skips a version") << QList { v1, keys.document(3, { R1 }, 1, { R1 }) } << 0 << int(R1) << 0
                                     << QStringLiteral("skip from version 1 to 3");
    QTest::newRow("out of order") << QList { v2, v1 } << 0 << int(R1) << 0 << QStringLiteral("not in order");
    QTest::newRow("older than the kept one") << QList { v1 } << 2 << int(R1) << 0
                                             << QStringLiteral("older than the one accepted before (version 2)");
    QTest::newRow("the kept one again") << QList { v1, v2 } << 2 << int(R1) << 2 << QString();
    QTest::newRow("another document under the kept version")
        << QList { v1, keys.document(2, { R1 }, 1, { R1 }, 31) } << 2 << int(R1) << 0
        << QStringLiteral("not the one accepted before");
    QTest::newRow("newest expired") << QList { v1, keys.document(2, { R1 }, 1, { R1 }, -1) } << 0 << int(R1) << 0
                                    << QStringLiteral("version 2 expired at");
    QTest::newRow("expired on the way, newest valid")
        << QList { keys.document(1, { R1 }, 1, { R1 }, -1), v2 } << 0 << int(R1) << 2 << QString();
    QTest::newRow("foreign root") << QList { v1 } << 0 << int(R3) << 0 << QStringLiteral("no key document is signed");
}

void KeyChainTest::follows()
{
    QFETCH(QList<SignedEnvelope>, chain);
    QFETCH(int, kept);
    QFETCH(int, trustedRoot);
    QFETCH(int, newest);
    QFETCH(QString, why);

    RoleKeys root;
    root.keys << publicKeyOf(*keys.root[trustedRoot]);
    const SignedEnvelope keptDocument = keys.document(2, { R1 }, 1, { R1 });
    // Through the bytes, as the host keeps it.
    SignedEnvelope read;
    QVERIFY(read.parse(QByteArray::fromStdString(keptDocument.toBytes()), nullptr));
    const KeyChainResult result
        = followKeyChain(chain, kept ? &read : nullptr, root, QDateTime::currentDateTimeUtc());
    QCOMPARE(result.accepted, newest != 0);
    if (newest) {
        QCOMPARE(result.newest.version(), qint64(newest));
        QCOMPARE(result.envelope.text(), result.newest.text());
    } else {
        QVERIFY2(result.why.contains(why), qPrintable(result.why));
    }
}

void KeyChainTest::envelopeCountsEachKeyOnce()
{
    const SignedEnvelope twice = keys.document(1, { R1, R2 }, 2, { R1, R1, R3 });
    SignedEnvelope read;
    QString why;
    QVERIFY2(read.parse(QByteArray::fromStdString(twice.toBytes()), &why), qPrintable(why));
    const QList<QByteArray> roots { publicKeyOf(*keys.root[R1]), publicKeyOf(*keys.root[R2]) };
    QCOMPARE(read.validSignatures(roots), 1);
    // One byte of the text changed: no signature holds.
    SignedEnvelope altered = read;
    QByteArray text = read.text();
    text.replace("\"version\":1", "\"version\":7");
    altered.setText(text);
    QCOMPARE(altered.validSignatures(roots + QList { publicKeyOf(*keys.root[R3]) }), 0);
}

QTEST_GUILESS_MAIN(KeyChainTest)
#include "tst_keychain.moc"
