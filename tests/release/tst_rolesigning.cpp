// Signing by roles with the real orbisnap-release and vendor-server: key documents, manifests
// signed once and kept byte for byte, and every command line and start-up they refuse.

#include "releasetool.h"
#include "signedenvelope.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QMap<QString, QByteArray> Releases = {
    { "releases/1.0.3/a.txt", "a of 1.0.3\n" },
    { "releases/1.0.3/old.dll", "dropped in 1.0.4\n" },
    { "releases/1.0.4/a.txt", "a of 1.0.4, longer\n" },
    { "releases/1.0.4/bin/new.dll", "new" },
};

} // namespace

class RoleSigningTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void keysRefuses_data();
    void keysRefuses();
    void signRefuses_data();
    void signRefuses();
    void manifestsStayAsSigned();
    void serverRefuses_data();
    void serverRefuses();

private:
    QString file(const QString& name) const { return dir->filePath(name); }
    QString releases() const { return file(QStringLiteral("releases")); }
    QByteArray key(const QString& name) const { return publicKeys.value(name); }
    ToolRun keys(const QStringList& more) const;
    ToolRun sign(const QStringList& secrets) const;

    std::unique_ptr<QTemporaryDir> dir;
    QMap<QString, QByteArray> publicKeys;
};

void RoleSigningTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(makeTree(dir->path(), Releases));
    publicKeys.clear();
    for (const char* name : { "root", "root2", "release1", "release2", "online", "other" }) {
        const ToolRun run = runReleaseTool(
            { QStringLiteral("keygen"), QStringLiteral("--secret"), file(QString::fromLatin1(name)) });
        QCOMPARE(run.exitCode, 0);
        publicKeys[QString::fromLatin1(name)] = run.out.trimmed();
    }
}

ToolRun RoleSigningTest::keys(const QStringList& more) const
{
    return runReleaseTool(QStringList { QStringLiteral("keys"), QStringLiteral("--releases"), releases() } + more);
}

ToolRun RoleSigningTest::sign(const QStringList& secrets) const
{
    QStringList arguments { QStringLiteral("sign"), QStringLiteral("--releases"), releases() };
    for (const QString& secret : secrets) {
        arguments << QStringLiteral("--secret") << file(secret);
    }
    return runReleaseTool(arguments);
}

void RoleSigningTest::keysRefuses_data()
{
    QTest::addColumn<bool>("afterFirst"); // a version 1 made with root before
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("threshold above the keys")
        << false << QStringList { "--threshold", "release=2" } << 2 << QStringLiteral("--threshold \"release=2\" is no ROLE=N");
    QTest::newRow("unknown role") << false << QStringList { "--threshold", "mirror=1" } << 2
                                  << QStringLiteral("--threshold \"mirror=1\" is no ROLE=N");
    QTest::newRow("no public key") << false << QStringList { "--root", "bm90IGEga2V5" } << 2
                                   << QStringLiteral("--root \"bm90IGEga2V5\" is no public key");
    QTest::newRow("next version without the old root")
        << true << QStringList { "--root", "ROOT2" } << 1 << QStringLiteral("are 0 of the 1 previous root keys");
    QTest::newRow("new root not signing") << true << QStringList { "--root", "ROOT2", "--root-secret", "root" } << 1
                                          << QStringLiteral("are 0 of the 1 new root keys");
}

void RoleSigningTest::keysRefuses()
{
    QFETCH(bool, afterFirst);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QStringList roles { QStringLiteral("--release"), QString::fromLatin1(key(QStringLiteral("release1"))),
        QStringLiteral("--online"), QString::fromLatin1(key(QStringLiteral("online"))) };
    if (afterFirst) {
        QCOMPARE(keys(roles + QStringList { QStringLiteral("--root-secret"), file(QStringLiteral("root")) }).exitCode, 0);
    }
    arguments.replaceInStrings(QStringLiteral("ROOT2"), QString::fromLatin1(key(QStringLiteral("root2"))));
    const qsizetype named = arguments.indexOf(QStringLiteral("--root-secret"));
    if (named >= 0) {
        arguments[named + 1] = file(arguments[named + 1]);
    }
    // Signed by the second root alone unless the row names another.
    const QStringList signer = named >= 0 ? QStringList()
                                          : QStringList { QStringLiteral("--root-secret"), file(QStringLiteral("root2")) };
    const ToolRun run = keys(roles + signer + arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    // Nothing written past the first document.
    QCOMPARE(QFile::exists(releases() + QStringLiteral("/signed/keys/2.json")), false);
}

void RoleSigningTest::signRefuses_data()
{
    QTest::addColumn<QStringList>("secrets");
    QTest::addColumn<bool>("changeRelease"); // a release file changes after the first signing
    QTest::addColumn<QString>("message");

    QTest::newRow("not a release key") << QStringList { "release1", "other" } << false << QStringLiteral("is no release key");
    QTest::newRow("below the release threshold") << QStringList { "release1", "release1" } << false
                                                 << QStringLiteral("1 release key(s) given, key document version 1 requires 2");
    QTest::newRow("release changed after signing") << QStringList { "release1", "release2" } << true
                                                   << QStringLiteral("release 1.0.4 is not what its signed manifest");
}

void RoleSigningTest::signRefuses()
{
    QFETCH(QStringList, secrets);
    QFETCH(bool, changeRelease);
    QFETCH(QString, message);

    QCOMPARE(keys({ QStringLiteral("--root-secret"), file(QStringLiteral("root")), QStringLiteral("--release"),
                 QString::fromLatin1(key(QStringLiteral("release1")) + "," + key(QStringLiteral("release2"))),
                 QStringLiteral("--online"), QString::fromLatin1(key(QStringLiteral("online"))),
                 QStringLiteral("--threshold"), QStringLiteral("release=2") })
                 .exitCode,
        0);
    if (changeRelease) {
        QCOMPARE(sign(secrets).exitCode, 0);
        QVERIFY(writeFile(releases() + QStringLiteral("/1.0.4/a.txt"), "changed after signing\n"));
    }
    const ToolRun run = sign(secrets);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
}

void RoleSigningTest::manifestsStayAsSigned()
{
    const QStringList root { QStringLiteral("--root-secret"), file(QStringLiteral("root")), QStringLiteral("--online"),
        QString::fromLatin1(key(QStringLiteral("online"))), QStringLiteral("--release") };
    QCOMPARE(keys(root + QStringList { QString::fromLatin1(key(QStringLiteral("release1"))) }).exitCode, 0);
    QCOMPARE(sign({ QStringLiteral("release1") }).exitCode, 0);
    const QString manifest = releases() + QStringLiteral("/signed/manifests/1.0.4.json");
    const QByteArray first = readFile(manifest);
    QVERIFY(!first.isEmpty());
    QCOMPARE(sign({ QStringLiteral("release1") }).exitCode, 0);
    QCOMPARE(readFile(manifest), first);

    // Release key 1 revoked: signed again by key 2, the same text.
    QCOMPARE(keys(root + QStringList { QString::fromLatin1(key(QStringLiteral("release2"))) }).exitCode, 0);
    const ToolRun again = sign({ QStringLiteral("release2") });
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.contains("manifest 1.0.4: signed again"), again.out.constData());
    SignedEnvelope before;
    SignedEnvelope after;
    QVERIFY(before.parse(first, nullptr));
    QVERIFY(after.parse(readFile(manifest), nullptr));
    QCOMPARE(after.text(), before.text());
    QCOMPARE(after.signatures().front().key, QByteArray::fromBase64(key(QStringLiteral("release2"))));
    const ToolRun verify = runReleaseTool({ QStringLiteral("verify"), QStringLiteral("--releases"), releases() });
    QCOMPARE(verify.exitCode, 0);
    QVERIFY2(verify.out.contains("verified key documents 1 to 2"), verify.out.constData());
}

void RoleSigningTest::serverRefuses_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");

    QTest::newRow("channels changed") << QStringLiteral("channels") << QStringLiteral("does not match channels.json");
    QTest::newRow("manifest by another key") << QStringLiteral("manifest") << QStringLiteral("manifests/1.0.4.json is signed by 0 of the 1");
    QTest::newRow("release changed") << QStringLiteral("release") << QStringLiteral("does not match release 1.0.4");
    QTest::newRow("not an online key") << QStringLiteral("online") << QStringLiteral("is no online key of key document version 1");
    QTest::newRow("chain missing a version") << QStringLiteral("chain") << QStringLiteral("no key document in");
    QTest::newRow("none") << QStringLiteral("") << QStringLiteral("");
}

void RoleSigningTest::serverRefuses()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);

    QCOMPARE(keys({ QStringLiteral("--root-secret"), file(QStringLiteral("root")), QStringLiteral("--release"),
                 QString::fromLatin1(key(QStringLiteral("release1"))), QStringLiteral("--online"),
                 QString::fromLatin1(key(QStringLiteral("online"))) })
                 .exitCode,
        0);
    QCOMPARE(sign({ QStringLiteral("release1") }).exitCode, 0);
    QString online = file(QStringLiteral("online"));
    if (fault == QLatin1String("channels")) {
        QVERIFY(writeFile(releases() + QStringLiteral("/channels.json"), R"({"stable": {"version": "1.0.3"}})"));
    } else if (fault == QLatin1String("manifest")) {
        const QString manifest = releases() + QStringLiteral("/signed/manifests/1.0.4.json");
        SignedEnvelope genuine;
        QVERIFY(genuine.parse(readFile(manifest), nullptr));
        // The same text, its signature swapped for one of another key over other bytes.
        SignedEnvelope forged;
        forged.setText(genuine.text());
        forged.addSignature({ QByteArray::fromBase64(key(QStringLiteral("other"))), genuine.signatures().front().signature });
        QVERIFY(writeFile(manifest, QByteArray::fromStdString(forged.toBytes())));
    } else if (fault == QLatin1String("release")) {
        QVERIFY(writeFile(releases() + QStringLiteral("/1.0.4/a.txt"), "changed after signing\n"));
    } else if (fault == QLatin1String("online")) {
        online = file(QStringLiteral("other"));
    } else if (fault == QLatin1String("chain")) {
        QVERIFY(QFile::remove(releases() + QStringLiteral("/signed/keys/1.json")));
    }
    VendorServerProcess server;
    const bool started = server.startOn(releases(),
        { QStringLiteral("--reports"), file(QStringLiteral("reports.sqlite")), QStringLiteral("--online-secret"), online });
    QCOMPARE(started, fault.isEmpty());
    if (!started) {
        QCOMPARE(server.exitCode(), 1);
        QVERIFY2(server.errors().contains(message.toUtf8()), server.errors().constData());
        QVERIFY2(server.errors().contains("not started"), server.errors().constData());
    }
}

QTEST_GUILESS_MAIN(RoleSigningTest)
#include "tst_rolesigning.moc"
