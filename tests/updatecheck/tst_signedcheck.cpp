// The update check of a build that trusts release keys, against a hostile server on the port of
// the compiled-in address: only an answer signed by a trusted key, made for this installed
// version and taking it forward, writes a version-difference file; every other answer leaves
// the last file and the flag as they were and says why in one debug message.

#include "debuglog.h"
#include "releasekey.h"
#include "releasetool.h"
#include "serverconfig.h"
#include "temporarytmpdir.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatecheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <mutex>

Q_DECLARE_METATYPE(UpdateCheck::CheckResult)

namespace {

// SHA-256 of "test".
const QByteArray Hash = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

const QByteArray FarExpiry = R"("expires":"2099-12-31T23:59:59Z")";

// terms: further members (channel, rollout, expiry), comma-separated.
QByteArray answerFor(const QByteArray& installed, const QByteArray& version = "1.0.4", const QByteArray& terms = FarExpiry)
{
    return R"({"version":")" + version + R"(","path":"http://dl.example/)" + version + R"(","installed":")" + installed
        + R"(","issued":"2026-12-08T10:00:00Z",)" + (terms.isEmpty() ? QByteArray() : terms + ",")
        + R"("u":[{"file":"bin/core.dll","size":4,"sha256":")" + Hash
        + R"("}],"d":[{"file":"old.dll"}],"n":[{"file":"new.dll","size":0,"sha256":")" + Hash + R"("}]})";
}

const QByteArray ExpectedFile = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://dl.example/1.0.4\n0 [Changed] : bin/core.dll 4 "
    + Hash + "\n0 [Delete] : old.dll\n0 [Add] : new.dll 0 " + Hash + "\n";

// How the hostile server signs what it sends.
enum class Signing { TestKey, OtherKey, None, AlteredAfter, NotBase64, SignatureOfAnother };

QString refused(const char* where, const char* why)
{
    return QStringLiteral("update check refused: \"%1\" %2 ").arg(QLatin1String(where), QLatin1String(why));
}

} // namespace

Q_DECLARE_METATYPE(Signing)

class SignedCheckTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void accepted_data();
    void accepted();
    void refusedAnswer_data();
    void refusedAnswer();
    void compiledInKeys();

private:
    void serve(const QByteArray& body, Signing signing);
    QString diffPath() const
    {
        return tempRoot->path() + QLatin1Char('/') + ownWorkDirName() + QStringLiteral("/version_diff.txt");
    }
    UpdateCheck trustingCheck() const;

    TestHttpServer server;
    std::mutex answerMutex;
    std::string answer;
    std::string signature;
    bool withSignature = false;
    SecretKey testKey;
    SecretKey otherKey;
    std::unique_ptr<TemporaryTmpDir> tempRoot;
};

void SignedCheckTest::initTestCase()
{
    std::string error;
    QVERIFY2(testKey.read(testSecretKeyFile().toStdString(), error), error.c_str());
    QTemporaryDir keys;
    QVERIFY2(otherKey.generate(keys.filePath(QStringLiteral("other.secret")).toStdString(), error), error.c_str());
    server.http().Get("/prod/Orbisnap/getVersionDiff", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(answerMutex);
        if (withSignature) {
            response.set_header("X-Orbisnap-Signature", signature);
        }
        response.set_content(answer, "application/json");
    });
    QVERIFY(server.startAtServerBaseUrl());
    QCoreApplication::setApplicationName(QStringLiteral("Host"));
}

void SignedCheckTest::init()
{
    tempRoot = std::make_unique<TemporaryTmpDir>();
    QVERIFY(tempRoot->isValid());
    // The rollout fraction goes to the user's data folder, here a fresh one.
    qputenv("XDG_DATA_HOME", QFile::encodeName(tempRoot->path() + QStringLiteral("/data")));
}

void SignedCheckTest::cleanup()
{
    tempRoot.reset();
}

UpdateCheck SignedCheckTest::trustingCheck() const
{
    UpdateCheck update;
    // Two keys, as during a rollover, the one that signs second: any trusted key will do.
    update.trustKeys(parsePublicKeys("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=," + testPublicKey()));
    return update;
}

void SignedCheckTest::serve(const QByteArray& body, Signing signing)
{
    std::lock_guard lock(answerMutex);
    answer = body.toStdString();
    withSignature = signing != Signing::None;
    switch (signing) {
    case Signing::TestKey:
        signature = testKey.signBase64(answer);
        break;
    case Signing::OtherKey:
        signature = otherKey.signBase64(answer);
        break;
    case Signing::None:
        signature.clear();
        break;
    case Signing::AlteredAfter: {
        // Same length, one byte changed after signing: 1.0.4 becomes 1.0.5.
        signature = testKey.signBase64(answer);
        const std::size_t at = answer.find("1.0.4");
        answer[at + 4] = '5';
        break;
    }
    case Signing::NotBase64:
        signature = "not-a-signature!";
        break;
    case Signing::SignatureOfAnother:
        signature = testKey.signBase64(answerFor("1.0.3").toStdString());
        break;
    }
}

void SignedCheckTest::accepted_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<UpdateCheck::CheckResult>("result");
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("made-for-this-version") << "1.0.3" << answerFor("1.0.3") << UpdateCheck::CheckResult::Written
                                           << ExpectedFile;
    QTest::newRow("made-for-any-version") << "1.0.3" << answerFor("*") << UpdateCheck::CheckResult::Written
                                          << ExpectedFile;
    QTest::newRow("up-to-date") << "1.0.4" << answerFor("1.0.4") << UpdateCheck::CheckResult::NothingNewer
                                << QByteArray();
    QTest::newRow("stable-named") << "1.0.3" << answerFor("1.0.3", "1.0.4", FarExpiry + R"(,"channel":"stable")")
                                  << UpdateCheck::CheckResult::Written << ExpectedFile;
    // Made for this installation, naming its channel's older version: it stays where it is.
    QTest::newRow("channel-behind-the-installation") << "1.0.3" << answerFor("1.0.3", "1.0.2")
                                                     << UpdateCheck::CheckResult::NothingNewer << QByteArray();
    QTest::newRow("rollout-over") << "1.0.3"
                                  << answerFor("1.0.3", "1.0.4",
                                         FarExpiry + R"(,"rollout":{"start":"2026-01-01T00:00:00Z","days":7})")
                                  << UpdateCheck::CheckResult::Written << ExpectedFile;
}

void SignedCheckTest::accepted()
{
    QFETCH(QString, installed);
    QFETCH(QByteArray, body);
    QFETCH(UpdateCheck::CheckResult, result);
    QFETCH(QByteArray, file);

    UpdateCheck update = trustingCheck();
    serve(body, Signing::TestKey);
    DebugLog log;
    update.check(installed);
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(update.lastCheck(), result);
    QCOMPARE(update.isUpdateAvailable(), !file.isEmpty());
    QCOMPARE(readFile(diffPath()), file);
}

void SignedCheckTest::refusedAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<Signing>("signing");
    QTest::addColumn<QString>("message");

    QTest::newRow("unsigned") << answerFor("1.0.3") << Signing::None
                              << refused("answer", "the answer is not signed");
    QTest::newRow("unknown-key") << answerFor("1.0.3") << Signing::OtherKey
                                 << refused("answer", "the signature is not by a trusted key (or the answer was altered)");
    QTest::newRow("forged-one-byte") << answerFor("1.0.3") << Signing::AlteredAfter
                                     << refused("answer", "the signature is not by a trusted key (or the answer was altered)");
    QTest::newRow("signature-of-another-answer")
        << answerFor("1.0.2") << Signing::SignatureOfAnother
        << refused("answer", "the signature is not by a trusted key (or the answer was altered)");
    QTest::newRow("signature-not-base64") << answerFor("1.0.3") << Signing::NotBase64
                                          << refused("answer", "the signature is not base64 of 64 bytes");
    QTest::newRow("replayed-for-another-version")
        << answerFor("1.0.2") << Signing::TestKey << refused("installed", "is not the installed version asked about");
    QTest::newRow("installed-missing")
        << QByteArray(R"({"version":"1.0.4","path":"http://dl.example/1.0.4","u":[]})") << Signing::TestKey
        << refused("installed", "is not the installed version asked about");
    QTest::newRow("installed-not-text") << QByteArray(R"({"version":"1.0.4","path":"http://h/p","installed":103})")
                                        << Signing::TestKey
                                        << refused("installed", "is not the installed version asked about");
    QTest::newRow("rollback-to-older") << answerFor("*", "1.0.2") << Signing::TestKey
                                       << refused("version", "is older than the installed version");
    QTest::newRow("expired") << answerFor("1.0.3", "1.0.4", R"("expires":"2026-01-01T00:00:00Z")") << Signing::TestKey
                             << refused("expires", "has passed:") + QStringLiteral("\"2026-01-01T00:00:00Z\" ");
    QTest::newRow("expiry-missing") << answerFor("1.0.3", "1.0.4", {}) << Signing::TestKey
                                    << refused("expires", "missing or no UTC time");
    QTest::newRow("expiry-local-time") << answerFor("1.0.3", "1.0.4", R"("expires":"2099-12-31T23:59:59")")
                                       << Signing::TestKey << refused("expires", "missing or no UTC time");
    QTest::newRow("expiry-not-text") << answerFor("1.0.3", "1.0.4", R"("expires":4102444799)") << Signing::TestKey
                                     << refused("expires", "missing or no UTC time");
    QTest::newRow("another-channel") << answerFor("1.0.3", "1.0.4", FarExpiry + R"(,"channel":"beta")")
                                     << Signing::TestKey << refused("channel", "is not the channel asked about");
    QTest::newRow("channel-not-text") << answerFor("1.0.3", "1.0.4", FarExpiry + R"(,"channel":["stable"])")
                                      << Signing::TestKey << refused("channel", "is not the channel asked about");
    QTest::newRow("rollout-without-days")
        << answerFor("1.0.3", "1.0.4", FarExpiry + R"(,"rollout":{"start":"2026-01-01T00:00:00Z"})")
        << Signing::TestKey << refused("rollout", "is no start (UTC) and days");
    QTest::newRow("rollout-start-no-time")
        << answerFor("1.0.3", "1.0.4", FarExpiry + R"(,"rollout":{"start":"soon","days":7})") << Signing::TestKey
        << refused("rollout", "is no start (UTC) and days");
    QTest::newRow("file-without-hash")
        << QByteArray(R"({"version":"1.0.4","path":"http://h/p","installed":"1.0.3","expires":"2099-12-31T23:59:59Z","n":[{"file":"a.dll"}]})")
        << Signing::TestKey << refused("n[0]", "has no size and sha256");
    QTest::newRow("signed-but-no-json") << QByteArray("<html>maintenance</html>") << Signing::TestKey
                                        << QStringLiteral("parser json value failed .. : \"<html>maintenance</html>\" ");
}

void SignedCheckTest::refusedAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(Signing, signing);
    QFETCH(QString, message);

    // A first, good answer leaves a file and sets the flag; the hostile one must change neither.
    UpdateCheck update = trustingCheck();
    serve(answerFor("1.0.3"), Signing::TestKey);
    update.check(QStringLiteral("1.0.3"));
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);
    QCOMPARE(readFile(diffPath()), ExpectedFile);

    serve(body, signing);
    DebugLog log;
    update.check(QStringLiteral("1.0.3"));
    QCOMPARE(log.lines().value(0), message);
    QVERIFY(update.lastCheck() == UpdateCheck::CheckResult::Refused
        || update.lastCheck() == UpdateCheck::CheckResult::ServerFailed);
    QVERIFY(update.isUpdateAvailable());
    QCOMPARE(readFile(diffPath()), ExpectedFile);
    QCOMPARE(QDir(tempRoot->path() + QLatin1Char('/') + ownWorkDirName()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { "version_diff.txt" });
}

// By default the check trusts what the build was configured with: in a build with keys an
// unsigned answer is refused, in one without it is taken.
void SignedCheckTest::compiledInKeys()
{
    UpdateCheck update;
    QCOMPARE(update.trustedKeyList(), compiledInPublicKeys());
    QCOMPARE(compiledInPublicKeys().isEmpty(), !ReleaseKeysCompiledIn);
    serve(answerFor("1.0.3"), Signing::None);
    DebugLog log;
    update.check(QStringLiteral("1.0.3"));
    if (ReleaseKeysCompiledIn) {
        QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Refused);
        QCOMPARE(log.lines(), QStringList { refused("answer", "the answer is not signed") });
        QVERIFY(!QFile::exists(diffPath()));
    } else {
        QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);
        QCOMPARE(log.lines(),
            QStringList { QStringLiteral("update check: answers are not verified (no release key trusted) ") });
        QCOMPARE(readFile(diffPath()), ExpectedFile);
    }
}

QTEST_GUILESS_MAIN(SignedCheckTest)
#include "tst_signedcheck.moc"
