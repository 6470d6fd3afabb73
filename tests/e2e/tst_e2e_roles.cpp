// Signing by roles, end to end with the real programs: orbisnap-release makes the key
// documents and signs manifests and channels offline, vendor-server signs answers online, and
// Host.exe, built trusting only the test root key (ORBISNAP_ROOT_KEYS), checks them. Each
// attack is one row: an answer forged with the stolen keys of the row, served to the real
// Host.exe from a loopback server at the compiled-in address, must be refused, write nothing
// and say why; the genuine roads must install.

#include "e2escene.h"
#include "keydocument.h"
#include "releasekey.h"
#include "releasetool.h"
#include "roledocuments.h"
#include "serverconfig.h"
#include "signedenvelope.h"
#include "testhttpserver.h"
#include "utctime.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QSet>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <memory>
#include <set>

namespace {

const QString Installed = QStringLiteral("1.0.3");

enum class Attack {
    None,
    FileHash,
    FileSize,
    ExtraFile,
    DeletesHeldFile,
    ExpiredAnswer,
    FarExpiry,
    OlderRelease,
    OtherChannel,
    ManifestBelowReleaseThreshold,
    RevokedReleaseKey,
    OlderKeyDocument,
    ExpiredKeyDocument,
    KeysBelowRootThreshold,
    RootRotation,
    OldRootAfterRotation,
};

int serverPort()
{
    return QUrl(QString::fromUtf8(ServerBaseUrl)).port(80);
}

Json::Value parse(const QByteArray& body)
{
    Json::Value value;
    parseStrictJson(body, value);
    return value;
}

QByteArray sha256Hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

struct Answer
{
    QByteArray body;
    QByteArray signature;
};

} // namespace

Q_DECLARE_METATYPE(Attack)

class RolesTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installsOnTheSignedRoad();
    void haltedReleaseWithheld();
    void attacks_data();
    void attacks();
    void answersStayFreshOverSeveralExpiries();

private:
    QString keyFile(const QString& name) const { return scene->path(QStringLiteral("keys/") + name); }
    QString releases() const { return scene->path(QStringLiteral("releases")); }
    // A new key pair named name; answers its public key.
    QByteArray keygen(const QString& name);
    bool tool(const QStringList& arguments);
    bool makeKeys(const QStringList& more);
    bool sign(const QStringList& secrets);
    bool startOnline(const QString& lifetime = QStringLiteral("1d"));
    void stopServer();
    Answer fetch(const QString& channel = QString());
    // Host.exe check 0 against whatever listens; true when it wrote the version-difference file.
    bool hostCheck(QByteArray* errors = nullptr);
    // The body re-signed by the (stolen) online key.
    Answer onlineSigned(const Json::Value& answer) const;
    // An envelope of text signed by the secret key files given.
    SignedEnvelope signedBy(const QByteArray& text, const QStringList& secretFiles) const;
    // Key document version with the roles given (public keys), expiring in days.
    QByteArray keyDocument(qint64 version, const QList<QByteArray>& root, int rootThreshold,
        const QList<QByteArray>& release, int days) const;

    std::unique_ptr<E2eScene> scene;
    QMap<QString, QByteArray> publicKeys;
};

void RolesTest::initTestCase()
{
    if (!RootKeysCompiledIn) {
        QSKIP("built without ORBISNAP_ROOT_KEYS: answers are not checked by roles here");
    }
}

void RolesTest::init()
{
    scene = std::make_unique<E2eScene>();
    QVERIFY(scene->isValid());
    for (const char* version : { "1.0.2", "1.0.3", "1.0.4", "1.1.0" }) {
        QVERIFY(scene->writeRelease(QString::fromLatin1(version), sampleRelease(QString::fromLatin1(version))));
    }
    QVERIFY(writeFile(releases() + QStringLiteral("/channels.json"),
        R"({"stable": {"version": "1.0.4"}, "beta": {"version": "1.1.0", "health": {"minutes": 30}}})"));
    QVERIFY(scene->install(Installed));
    QVERIFY(QDir().mkpath(keyFile(QString())));
    publicKeys.clear();
    publicKeys[QStringLiteral("root")] = testRootPublicKey();
    for (const char* name : { "release1", "release2", "online", "root2", "thief" }) {
        QVERIFY(!keygen(QString::fromLatin1(name)).isEmpty());
    }
}

void RolesTest::cleanup()
{
    scene.reset();
}

QByteArray RolesTest::keygen(const QString& name)
{
    const ToolRun run = runReleaseTool({ QStringLiteral("keygen"), QStringLiteral("--secret"), keyFile(name) });
    publicKeys[name] = run.exitCode == 0 ? run.out.trimmed() : QByteArray();
    return publicKeys[name];
}

bool RolesTest::tool(const QStringList& arguments)
{
    const ToolRun run = runReleaseTool(arguments);
    if (run.exitCode != 0) {
        qWarning("orbisnap-release %s: %s", qPrintable(arguments.join(QLatin1Char(' '))), run.err.constData());
    }
    return run.finished && run.exitCode == 0;
}

bool RolesTest::makeKeys(const QStringList& more)
{
    return tool(QStringList { QStringLiteral("keys"), QStringLiteral("--releases"), releases() } + more);
}

bool RolesTest::sign(const QStringList& secrets)
{
    QStringList arguments { QStringLiteral("sign"), QStringLiteral("--releases"), releases() };
    for (const QString& secret : secrets) {
        arguments << QStringLiteral("--secret") << keyFile(secret);
    }
    return tool(arguments);
}

bool RolesTest::startOnline(const QString& lifetime)
{
    return scene->startServer({ QStringLiteral("--online-secret"), keyFile(QStringLiteral("online")),
                                  QStringLiteral("--online-expires-in"), lifetime },
        E2eScene::Signing::AsIs);
}

void RolesTest::stopServer()
{
    scene->server().sendSignal(SIGTERM);
    QVERIFY(scene->server().waitForExit());
}

Answer RolesTest::fetch(const QString& channel)
{
    QByteArray target = "/prod/Orbisnap/getVersionDiff?version=" + Installed.toUtf8();
    if (!channel.isEmpty()) {
        target += "&channel=" + channel.toUtf8();
    }
    const RawReply reply = rawRequest(serverPort(), "GET", target);
    return { reply.body, headerValue(reply.headers, "X-Orbisnap-Signature") };
}

bool RolesTest::hostCheck(QByteArray* errors)
{
    QFile::remove(scene->diffFile());
    const ProcessRun run = scene->runHost({ QStringLiteral("check"), QStringLiteral("0"), QStringLiteral("--stay"),
        QStringLiteral("0") });
    scene->waitForUpdaterEnd();
    if (errors) {
        *errors = readFile(run.errPath);
    }
    return run.finished && QFile::exists(scene->diffFile());
}

Answer RolesTest::onlineSigned(const Json::Value& answer) const
{
    SecretKey online;
    std::string error;
    online.read(keyFile(QStringLiteral("online")).toStdString(), error);
    const std::string body = compactJson(answer);
    return { QByteArray::fromStdString(body), QByteArray::fromStdString(online.signBase64(body)) };
}

SignedEnvelope RolesTest::signedBy(const QByteArray& text, const QStringList& secretFiles) const
{
    std::vector<std::unique_ptr<SecretKey>> keys;
    std::vector<const SecretKey*> signers;
    for (const QString& file : secretFiles) {
        keys.push_back(std::make_unique<SecretKey>());
        std::string error;
        keys.back()->read(file.toStdString(), error);
        signers.push_back(keys.back().get());
    }
    return signDocument(text, signers);
}

QByteArray RolesTest::keyDocument(qint64 version, const QList<QByteArray>& root, int rootThreshold,
    const QList<QByteArray>& release, int days) const
{
    const auto raw = [](const QList<QByteArray>& keys) {
        QList<QByteArray> list;
        for (const QByteArray& key : keys) {
            list << QByteArray::fromBase64(key);
        }
        return list;
    };
    std::map<std::string, RoleKeys> roles;
    roles[RootRole] = { raw(root), rootThreshold };
    roles[ReleaseRole] = { raw(release), 1 };
    roles[OnlineRole] = { raw({ publicKeys[QStringLiteral("online")] }), 1 };
    const QDateTime expires = QDateTime::fromSecsSinceEpoch(
        QDateTime::currentDateTimeUtc().addDays(days).toSecsSinceEpoch(), Qt::UTC);
    return KeyDocument::make(version, expires, roles);
}

void RolesTest::installsOnTheSignedRoad()
{
    QVERIFY(makeKeys({ QStringLiteral("--root-secret"), testRootSecretFile(), QStringLiteral("--release"),
        publicKeys[QStringLiteral("release1")], QStringLiteral("--online"), publicKeys[QStringLiteral("online")] }));
    QVERIFY(sign({ QStringLiteral("release1") }));
    QVERIFY(tool({ QStringLiteral("verify"), QStringLiteral("--releases"), releases() }));
    QVERIFY(startOnline());

    const ProcessRun host = scene->runHost({ QStringLiteral("check"), QStringLiteral("1"), QStringLiteral("--stay"),
        QStringLiteral("0") });
    QVERIFY(host.finished);
    QVERIFY(scene->waitForUpdaterEnd());
    QCOMPARE(treeDifference(readTree(scene->installDir()), sampleRelease(QStringLiteral("1.0.4"))), QString());
    // The key document it accepted is kept in the user's data folder.
    SignedEnvelope kept;
    QVERIFY(kept.parse(readFile(scene->path(QStringLiteral("data/Orbisnap/Host.exe/keys.json"))), nullptr));
    KeyDocument document;
    QVERIFY(document.parse(kept.text(), nullptr));
    QCOMPARE(document.version(), qint64(1));
}

// A halted release is withheld: the host's check finds no answer it accepts (none can say
// "nothing newer" below the version the channel assignment names), writes nothing and stays.
void RolesTest::haltedReleaseWithheld()
{
    QVERIFY(writeFile(releases() + QStringLiteral("/channels.json"),
        R"({"stable": {"version": "1.0.4", "halt": {"returns": 1}}})"));
    QVERIFY(makeKeys({ QStringLiteral("--root-secret"), testRootSecretFile(), QStringLiteral("--release"),
        publicKeys[QStringLiteral("release1")], QStringLiteral("--online"), publicKeys[QStringLiteral("online")] }));
    QVERIFY(sign({ QStringLiteral("release1") }));
    QVERIFY(startOnline());
    const Answer offered = fetch(QString());
    QVERIFY(!offered.signature.isEmpty());
    const RawReply reported = rawRequest(serverPort(), "POST", "/prod/Orbisnap/useReport?",
        "mac=m&version=1.0.3&computerName=pc&userName=u&useState=4&returnedFrom=1.0.4", "application/x-www-form-urlencoded");
    QCOMPARE(reported.status, 200);
    QElapsedTimer waited;
    waited.start();
    while (!fetch(QString()).signature.isEmpty() && waited.elapsed() < 10000) {
        QThread::msleep(50);
    }
    QCOMPARE(fetch(QString()).body, QByteArray("{}"));

    QByteArray errors;
    QVERIFY(!hostCheck(&errors));
    QVERIFY2(errors.contains("update check refused"), errors.constData());
    QCOMPARE(treeDifference(readTree(scene->installDir()), sampleRelease(Installed)), QString());
}

void RolesTest::attacks_data()
{
    QTest::addColumn<Attack>("attack");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("why");

    QTest::newRow("genuine answer") << Attack::None << true << QString();
    QTest::newRow("file hash not the manifest's") << Attack::FileHash << false
                                                   << QStringLiteral("has another SHA-256 than the release's manifest");
    QTest::newRow("file size not the manifest's") << Attack::FileSize << false
                                                   << QStringLiteral("has another size than the release's manifest");
    QTest::newRow("extra file") << Attack::ExtraFile << false << QStringLiteral("is not in the release's manifest");
    QTest::newRow("deletes a file the manifest holds")
        << Attack::DeletesHeldFile << false << QStringLiteral("deletes a file the release's manifest holds");
    QTest::newRow("expired answer") << Attack::ExpiredAnswer << false << QStringLiteral("the answer has expired");
    QTest::newRow("online key: answer valid for a year") << Attack::FarExpiry << false
                                                          << QStringLiteral("expires more than 31 days ahead");
    QTest::newRow("online key: older release")
        << Attack::OlderRelease << false
        << QStringLiteral("another version than the channel assignment gives channel stable (1.0.4)");
    QTest::newRow("online key: other channel")
        << Attack::OtherChannel << false
        << QStringLiteral("another version than the channel assignment gives channel stable (1.0.4)");
    QTest::newRow("manifest signed by one of two release keys")
        << Attack::ManifestBelowReleaseThreshold << false
        << QStringLiteral("manifest is signed by 1 of the 2 release keys");
    QTest::newRow("revoked release key") << Attack::RevokedReleaseKey << false
                                         << QStringLiteral("manifest is signed by 0 of the 1 release keys");
    QTest::newRow("older key document after a newer")
        << Attack::OlderKeyDocument << false
        << QStringLiteral("older than the one accepted before (version 2)");
    QTest::newRow("expired key document") << Attack::ExpiredKeyDocument << false
                                          << QStringLiteral("key document version 2 expired at");
    QTest::newRow("key document below the root threshold")
        << Attack::KeysBelowRootThreshold << false
        << QStringLiteral("version 3 is not signed by the threshold of the root keys of version 2");
    QTest::newRow("root rotation, host built with the old root") << Attack::RootRotation << true << QString();
    QTest::newRow("old root after the rotation")
        << Attack::OldRootAfterRotation << false
        << QStringLiteral("version 3 is not signed by the threshold of the root keys of version 2");
}

void RolesTest::attacks()
{
    QFETCH(Attack, attack);
    QFETCH(bool, written);
    QFETCH(QString, why);

    const QString root = QStringLiteral("--root-secret");
    const QByteArray release1 = publicKeys[QStringLiteral("release1")];
    const QByteArray release2 = publicKeys[QStringLiteral("release2")];
    const QByteArray online = publicKeys[QStringLiteral("online")];
    const QStringList base { root, testRootSecretFile(), QStringLiteral("--online"), online };
    const bool twoReleaseKeys = attack == Attack::ManifestBelowReleaseThreshold;
    QVERIFY(makeKeys(base
        + QStringList { QStringLiteral("--release"), twoReleaseKeys ? release1 + "," + release2 : release1 }
        + (twoReleaseKeys ? QStringList { QStringLiteral("--threshold"), QStringLiteral("release=2") } : QStringList())));
    QVERIFY(sign(twoReleaseKeys ? QStringList { QStringLiteral("release1"), QStringLiteral("release2") }
                                : QStringList { QStringLiteral("release1") }));

    // Whatever the vendor does next, with the roots it holds.
    QByteArray before;
    Answer earlier;
    if (attack == Attack::RevokedReleaseKey || attack == Attack::OlderKeyDocument) {
        QVERIFY(startOnline());
        earlier = fetch();
        QVERIFY(hostCheck());
        stopServer();
        // Release key 1 revoked: version 2 names release key 2 alone, and the manifests are
        // signed again with it.
        QVERIFY(makeKeys({ root, testRootSecretFile(), QStringLiteral("--release"), release2, QStringLiteral("--online"),
            online }));
        QVERIFY(sign({ QStringLiteral("release2") }));
    } else if (attack == Attack::KeysBelowRootThreshold) {
        QVERIFY(makeKeys({ root, testRootSecretFile(), root, keyFile(QStringLiteral("root2")), QStringLiteral("--root"),
            testRootPublicKey() + "," + publicKeys[QStringLiteral("root2")], QStringLiteral("--threshold"),
            QStringLiteral("root=2"), QStringLiteral("--release"), release1, QStringLiteral("--online"), online }));
    } else if (attack == Attack::RootRotation || attack == Attack::OldRootAfterRotation) {
        QVERIFY(makeKeys({ root, testRootSecretFile(), root, keyFile(QStringLiteral("root2")), QStringLiteral("--root"),
            publicKeys[QStringLiteral("root2")], QStringLiteral("--release"), release1, QStringLiteral("--online"),
            online }));
    }
    QVERIFY(startOnline());
    if (attack == Attack::RevokedReleaseKey || attack == Attack::OlderKeyDocument) {
        // The host sees the new key document.
        QVERIFY(hostCheck());
    }
    const Answer genuine = fetch();
    Json::Value answer = parse(genuine.body);
    QVERIFY(answer.isObject());
    QCOMPARE(answer["version"].asString(), std::string("1.0.4"));

    const Json::Value newFile = answer["n"][0];
    const QByteArray evil = "code nobody released\n";
    Json::Value evilEntry(Json::objectValue);
    evilEntry["file"] = "plugins/evil.dll";
    evilEntry["size"] = Json::Int64(evil.size());
    evilEntry["sha256"] = sha256Hex(evil).toStdString();
    // A manifest of 1.0.4 that holds the thief's file too.
    const auto forgedManifest = [&]() {
        SignedEnvelope manifest;
        manifest.read(answer["manifest"], nullptr);
        Json::Value document = parse(manifest.text());
        document["files"]["plugins/evil.dll"] = evilEntry;
        document["files"]["plugins/evil.dll"].removeMember("file");
        return QByteArray::fromStdString(compactJson(document));
    };

    Answer served = genuine;
    switch (attack) {
    case Attack::None:
    case Attack::RootRotation:
        break;
    case Attack::FileHash:
        answer["n"][0]["sha256"] = sha256Hex(evil).toStdString();
        served = onlineSigned(answer);
        break;
    case Attack::FileSize:
        answer["n"][0]["size"] = newFile["size"].asInt64() + 1;
        served = onlineSigned(answer);
        break;
    case Attack::ExtraFile:
        answer["n"].append(evilEntry);
        served = onlineSigned(answer);
        break;
    case Attack::DeletesHeldFile:
        answer["d"].append(Json::Value(Json::objectValue));
        answer["d"][answer["d"].size() - 1]["file"] = "readme.txt";
        served = onlineSigned(answer);
        break;
    case Attack::ExpiredAnswer:
        answer["expires"] = utcTimeText(QDateTime::currentDateTimeUtc().addSecs(-60));
        served = onlineSigned(answer);
        break;
    case Attack::FarExpiry:
        answer["expires"] = utcTimeText(QDateTime::currentDateTimeUtc().addDays(365));
        served = onlineSigned(answer);
        break;
    case Attack::OlderRelease: {
        // Everything genuine but the target: 1.0.2, with 1.0.2's own signed manifest.
        SignedEnvelope manifest;
        QVERIFY(manifest.parse(readFile(releases() + QStringLiteral("/signed/manifests/1.0.2.json")), nullptr));
        answer["manifest"] = manifest.toJson();
        answer["version"] = "1.0.2";
        answer["path"] = E2eScene::ownDownloadBase().toStdString() + "/1.0.2";
        answer["u"] = Json::Value(Json::arrayValue);
        answer["n"] = Json::Value(Json::arrayValue);
        answer["d"] = Json::Value(Json::arrayValue);
        served = onlineSigned(answer);
        break;
    }
    case Attack::OtherChannel: {
        Json::Value beta = parse(fetch(QStringLiteral("beta")).body);
        QCOMPARE(beta["version"].asString(), std::string("1.1.0"));
        beta["channel"] = "stable";
        served = onlineSigned(beta);
        break;
    }
    case Attack::ManifestBelowReleaseThreshold:
    case Attack::RevokedReleaseKey:
        answer["manifest"] = signedBy(forgedManifest(), { keyFile(QStringLiteral("release1")) }).toJson();
        answer["n"].append(evilEntry);
        served = onlineSigned(answer);
        break;
    case Attack::OlderKeyDocument:
        served = earlier;
        break;
    case Attack::ExpiredKeyDocument:
        answer["keys"].append(signedBy(keyDocument(2, { testRootPublicKey() }, 1, { release1 }, -1),
                                  { testRootSecretFile() })
                .toJson());
        served = onlineSigned(answer);
        break;
    case Attack::KeysBelowRootThreshold:
    case Attack::OldRootAfterRotation: {
        // The thief holds one root key (the first) and names its own release key.
        const QByteArray thief = publicKeys[QStringLiteral("thief")];
        answer["keys"].append(signedBy(keyDocument(3, { testRootPublicKey() }, 1, { thief }, 30),
                                  { testRootSecretFile() })
                .toJson());
        answer["manifest"] = signedBy(forgedManifest(), { keyFile(QStringLiteral("thief")) }).toJson();
        {
            SignedEnvelope assignment;
            QVERIFY(assignment.read(parse(genuine.body)["assignment"], nullptr));
            answer["assignment"] = signedBy(assignment.text(), { keyFile(QStringLiteral("thief")) }).toJson();
        }
        answer["n"].append(evilEntry);
        served = onlineSigned(answer);
        break;
    }
    }

    TestHttpServer forger;
    if (served.body != genuine.body) {
        stopServer();
        forger.http().Get("/prod/Orbisnap/getVersionDiff", [&](const httplib::Request&, httplib::Response& response) {
            response.set_header("X-Orbisnap-Signature", served.signature.toStdString());
            response.set_content(served.body.toStdString(), "application/json");
        });
        QVERIFY(forger.startAtServerBaseUrl());
    }
    QByteArray errors;
    QCOMPARE(hostCheck(&errors), written);
    if (!written) {
        // One debug message says why.
        QList<QByteArray> refusals;
        for (const QByteArray& line : errors.split('\n')) {
            if (line.startsWith("update check refused: ")) {
                refusals << line;
            }
        }
        QCOMPARE(refusals.size(), 1);
        QVERIFY2(refusals.front().contains(why.toUtf8()), errors.constData());
        QCOMPARE(treeDifference(readTree(scene->installDir()), sampleRelease(Installed)), QString());
    }
}

void RolesTest::answersStayFreshOverSeveralExpiries()
{
    QVERIFY(makeKeys({ QStringLiteral("--root-secret"), testRootSecretFile(), QStringLiteral("--release"),
        publicKeys[QStringLiteral("release1")], QStringLiteral("--online"), publicKeys[QStringLiteral("online")] }));
    QVERIFY(sign({ QStringLiteral("release1") }));
    QVERIFY(startOnline(QStringLiteral("5s")));

    // Over four expiry periods, with no one signing anything offline: every answer served is
    // still valid when it arrives, and they are signed anew as time passes.
    std::set<std::string> issued;
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < 20000) {
        const Answer answer = fetch();
        const QDateTime arrived = QDateTime::currentDateTimeUtc();
        const Json::Value document = parse(answer.body);
        const auto expires = parseUtcTime(document["expires"].asString());
        QVERIFY(expires);
        QVERIFY2(*expires > arrived, document["expires"].asCString());
        QVERIFY(*expires <= arrived.addSecs(6));
        issued.insert(document["issued"].asString());
        QThread::msleep(700);
    }
    QVERIFY2(issued.size() >= 6, qPrintable(QString::number(issued.size())));
    // And the host takes one after all that time.
    QByteArray errors;
    QVERIFY2(hostCheck(&errors), errors.constData());
}

QTEST_GUILESS_MAIN(RolesTest)
#include "tst_e2e_roles.moc"
