// orbisnap-release as the release signer runs it: keygen, sign and verify against real release
// trees, and every command line it refuses.

#include "answersignature.h"
#include "releasetool.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <json/reader.h>
#include <json/value.h>

#include <sys/stat.h>

namespace {

const QMap<QString, QByteArray> Releases = {
    { "releases/1.0.3/a.txt", "a of 1.0.3\n" },
    { "releases/1.0.3/old.dll", "dropped in 1.0.4\n" },
    { "releases/1.0.3/same.txt", "same\n" },
    { "releases/1.0.4/a.txt", "a of 1.0.4, longer\n" },
    { "releases/1.0.4/same.txt", "same\n" },
    { "releases/1.0.4/bin/new.dll", "test" },
};

QString hexDigest(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

Json::Value parse(const QByteArray& text)
{
    Json::Value document;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(text.constData(), text.constData() + text.size(), &document, &errors);
    return document;
}

// "file size sha256" per element, joined with "|".
QString describe(const Json::Value& list)
{
    QStringList parts;
    for (const Json::Value& element : list) {
        QString part = QString::fromStdString(element["file"].asString());
        if (element.isMember("size")) {
            part += QStringLiteral(" %1 %2").arg(element["size"].asInt64()).arg(QString::fromStdString(element["sha256"].asString()));
        }
        parts << part;
    }
    return parts.join(QLatin1Char('|'));
}

} // namespace

class ReleaseToolTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void keygen();
    void keygenRefusesOverwrite();
    void signWritesAnswers_data();
    void signWritesAnswers();
    void verifyAfterSign();
    void verifyFinds_data();
    void verifyFinds();
    void badCommandLine_data();
    void badCommandLine();
    void expiresIn_data();
    void expiresIn();
    void channelsSigned();
    void channelsRefused_data();
    void channelsRefused();

private:
    QString path(const QString& relative) const { return dir->filePath(relative); }
    ToolRun sign(const QStringList& more = {});

    std::unique_ptr<QTemporaryDir> dir;
};

void ReleaseToolTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(makeTree(dir->path(), Releases));
}

ToolRun ReleaseToolTest::sign(const QStringList& more)
{
    return runReleaseTool(QStringList { "sign", "--releases", path("releases"), "--secret", testSecretKeyFile(),
                              "--base", "http://dl.example/rel", "--issued", "2026-12-08T10:00:00Z" }
        + more);
}

void ReleaseToolTest::keygen()
{
    const ToolRun run = runReleaseTool({ "keygen", "--secret", path("new.secret") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    const QByteArray publicKey = run.out.trimmed();
    QCOMPARE(publicKey.size(), 44);
    QCOMPARE(parsePublicKeys(publicKey).size(), 1);
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(path("new.secret")).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, 0600u);

    // The key signs: answers made with it verify against the printed public key only.
    const ToolRun signing = runReleaseTool(
        { "sign", "--releases", path("releases"), "--secret", path("new.secret"), "--base", "http://h/r" });
    QCOMPARE(signing.exitCode, 0);
    QVERIFY2(signing.out.contains("public key " + publicKey + "\n"), signing.out.constData());
    QCOMPARE(runReleaseTool({ "verify", "--releases", path("releases"), "--public", publicKey }).exitCode, 0);
    QCOMPARE(runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() }).exitCode, 1);
}

void ReleaseToolTest::keygenRefusesOverwrite()
{
    QVERIFY(writeFile(path("existing.secret"), "the only copy of the key clients trust\n"));
    const ToolRun run = runReleaseTool({ "keygen", "--secret", path("existing.secret") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.contains("cannot create " + QFile::encodeName(path("existing.secret")) + ": File exists"),
        run.err.constData());
    QCOMPARE(readFile(path("existing.secret")), QByteArray("the only copy of the key clients trust\n"));
}

void ReleaseToolTest::signWritesAnswers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("changed");
    QTest::addColumn<QString>("deleted");
    QTest::addColumn<QString>("added");

    const QString a = QStringLiteral("a.txt %1 %2").arg(Releases["releases/1.0.4/a.txt"].size()).arg(hexDigest(Releases["releases/1.0.4/a.txt"]));
    const QString added = QStringLiteral("bin/new.dll 4 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    const QString same = QStringLiteral("same.txt 5 %1").arg(hexDigest("same\n"));
    QTest::newRow("older-release") << "1.0.3" << "1.0.3" << a << "old.dll" << added;
    QTest::newRow("newest-up-to-date") << "1.0.4" << "1.0.4" << "" << "" << "";
    QTest::newRow("unknown-version") << "any" << "*" << "" << "" << a + "|" + added + "|" + same;
}

void ReleaseToolTest::signWritesAnswers()
{
    QFETCH(QString, name);
    QFETCH(QString, installed);
    QFETCH(QString, changed);
    QFETCH(QString, deleted);
    QFETCH(QString, added);

    const ToolRun run = sign();
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith("signed 3 answers to 1.0.4 (2 release(s), 6 file(s) hashed)"), run.out.constData());
    QCOMPARE(QDir(path("releases/signed")).entryList(QDir::Files, QDir::Name),
        QStringList({ "1.0.3.json", "1.0.3.json.sig", "1.0.4.json", "1.0.4.json.sig", "any.json", "any.json.sig" }));

    const QByteArray body = readFile(path("releases/signed/" + name + ".json"));
    const QByteArray signature = readFile(path("releases/signed/" + name + ".json.sig"));
    QCOMPARE(checkAnswerSignature(body, signature, parsePublicKeys(testPublicKey())), SignatureCheck::Valid);
    const Json::Value answer = parse(body);
    QCOMPARE(answer["version"].asString(), std::string("1.0.4"));
    QCOMPARE(answer["path"].asString(), std::string("http://dl.example/rel/1.0.4"));
    QCOMPARE(answer["installed"].asString(), installed.toStdString());
    QCOMPARE(answer["issued"].asString(), std::string("2026-12-08T10:00:00Z"));
    // Thirty days unless told otherwise; without channels.json every answer is stable's.
    QCOMPARE(answer["expires"].asString(), std::string("2027-01-07T10:00:00Z"));
    QCOMPARE(answer["channel"].asString(), std::string("stable"));
    QVERIFY(!answer.isMember("rollout"));
    QCOMPARE(describe(answer["u"]), changed);
    QCOMPARE(describe(answer["d"]), deleted);
    QCOMPARE(describe(answer["n"]), added);
}

void ReleaseToolTest::verifyAfterSign()
{
    QCOMPARE(sign().exitCode, 0);
    // Two keys, as during a rollover: one of them made the answers.
    const ToolRun run = runReleaseTool({ "verify", "--releases", path("releases"), "--public",
        "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=, " + testPublicKey() });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("verified 3 signed answers to 1.0.4, download base http://dl.example/rel, expiring 2027-01-07T10:00:00Z\n"));
    QCOMPARE(run.err, QByteArray());
}

void ReleaseToolTest::verifyFinds_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content"); // empty: remove the file
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("release-file-changed") << "releases/1.0.4/a.txt" << QByteArray("a of 1.0.4, longeR\n")
                                          << QByteArray("1.0.3.json no longer matches the releases");
    QTest::newRow("newer-release-published") << "releases/1.0.5/a.txt" << QByteArray("a")
                                             << QByteArray("takes installations to 1.0.4, but channel stable is at 1.0.5");
    QTest::newRow("answer-altered") << "releases/signed/1.0.3.json" << QByteArray("{}")
                                    << QByteArray("1.0.3.json names no version and download base");
    QTest::newRow("signature-missing") << "releases/signed/any.json.sig" << QByteArray()
                                       << QByteArray("no signature beside");
    QTest::newRow("answer-missing") << "releases/signed/1.0.3.json" << QByteArray()
                                    << QByteArray("no signed answer for 1.0.3");
    QTest::newRow("signature-of-another-answer")
        << "releases/signed/1.0.4.json.sig" << QByteArray("@any")
        << QByteArray("answer for 1.0.4: the signature is not by a trusted key (or the answer was altered)");
}

void ReleaseToolTest::verifyFinds()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, message);

    QCOMPARE(sign().exitCode, 0);
    if (content.isEmpty()) {
        QVERIFY(QFile::remove(path(file)));
    } else if (content == "@any") {
        QVERIFY(writeFile(path(file), readFile(path("releases/signed/any.json.sig"))));
    } else {
        QVERIFY(makeTree(dir->path(), { { file, content } }));
    }
    const ToolRun run = runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() });
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message), run.err.constData());
    QVERIFY2(run.err.endsWith("run orbisnap-release sign --releases " + QFile::encodeName(path("releases"))
                 + " --secret FILE after publishing\n"),
        run.err.constData());
}

void ReleaseToolTest::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("nothing") << QStringList() << 2 << QByteArray("no command given");
    QTest::newRow("unknown-command") << QStringList { "publish" } << 2 << QByteArray("unknown command \"publish\"");
    QTest::newRow("keygen-without-secret") << QStringList { "keygen" } << 2 << QByteArray("keygen needs --secret");
    QTest::newRow("option-without-value") << QStringList { "keygen", "--secret" } << 2
                                          << QByteArray("--secret needs a value");
    QTest::newRow("foreign-option") << QStringList { "keygen", "--secret", "x", "--releases", "y" } << 2
                                    << QByteArray("keygen takes no option \"--releases\"");
    QTest::newRow("option-twice") << QStringList { "verify", "--public=a", "--public=b", "--releases", "r" } << 2
                                  << QByteArray("--public given more than once");
    QTest::newRow("bad-public-key") << QStringList { "verify", "--releases", "@/releases", "--public", "c2hvcnQ=" }
                                    << 2 << QByteArray("\"c2hvcnQ=\" is no public key");
    QTest::newRow("degenerate-public-key")
        << QStringList { "verify", "--releases", "@/releases", "--public", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=" }
        << 2 << QByteArray("\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\" is no public key");
    QTest::newRow("bad-issued") << QStringList { "sign", "--releases", "@/releases", "--secret", "@key",
        "--issued", "yesterday" } << 2 << QByteArray("--issued \"yesterday\" is no UTC time");
    QTest::newRow("bad-base") << QStringList { "sign", "--releases", "@/releases", "--secret", "@key", "--base",
        "ftp://h/r" } << 2 << QByteArray("--base \"ftp://h/r\" is no http or https URL");
    QTest::newRow("secret-missing") << QStringList { "sign", "--releases", "@/releases", "--secret", "@/absent" }
                                    << 1 << QByteArray("absent: No such file or directory");
    QTest::newRow("secret-not-a-key") << QStringList { "sign", "--releases", "@/releases", "--secret",
        "@/releases/1.0.3/a.txt" } << 1 << QByteArray("is no secret key");
    QTest::newRow("expires-in-zero") << QStringList { "sign", "--releases", "@/releases", "--secret", "@key",
        "--expires-in", "0" } << 2 << QByteArray("--expires-in \"0\" is no number of days from 1 to 366");
    QTest::newRow("expires-in-words") << QStringList { "sign", "--releases", "@/releases", "--secret", "@key",
        "--expires-in", "7d" } << 2 << QByteArray("--expires-in \"7d\" is no number of days");
    QTest::newRow("expires-in-too-long") << QStringList { "sign", "--releases", "@/releases", "--secret", "@key",
        "--expires-in=3650" } << 2 << QByteArray("--expires-in \"3650\" is no number of days");
    QTest::newRow("releases-missing") << QStringList { "sign", "--releases", "@/absent", "--secret", "@key" } << 1
                                      << QByteArray("nothing signed");
    QTest::newRow("pack-without-releases") << QStringList { "pack", "--from", "2" } << 2
                                           << QByteArray("pack needs --releases");
    QTest::newRow("pack-from-not-a-number") << QStringList { "pack", "--releases", "@/releases", "--from", "two" } << 2
                                            << QByteArray("--from \"two\" is no number of releases");
    QTest::newRow("pack-from-negative") << QStringList { "pack", "--releases", "@/releases", "--from", "-1" } << 2
                                        << QByteArray("--from \"-1\" is no number of releases");
    QTest::newRow("pack-releases-missing") << QStringList { "pack", "--releases", "@/absent" } << 1
                                           << QByteArray("nothing packed");
}

void ReleaseToolTest::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    for (QString& argument : arguments) {
        argument.replace(QLatin1String("@key"), testSecretKeyFile());
        argument.replace(QLatin1Char('@'), dir->path());
    }
    const ToolRun run = runReleaseTool(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(run.out, QByteArray());
    QVERIFY(!QFileInfo::exists(path("releases/signed")));
    QVERIFY(!QFileInfo::exists(path("releases/objects")));
}

void ReleaseToolTest::expiresIn_data()
{
    QTest::addColumn<QString>("days");
    QTest::addColumn<QByteArray>("expires");

    QTest::newRow("one-day") << "1" << QByteArray("2026-12-09T10:00:00Z");
    QTest::newRow("thirty-days-across-the-year") << "30" << QByteArray("2027-01-07T10:00:00Z");
    QTest::newRow("longest") << "366" << QByteArray("2027-12-09T10:00:00Z");
}

// Every answer, of every channel, expires the given number of days after it was issued.
void ReleaseToolTest::expiresIn()
{
    QFETCH(QString, days);
    QFETCH(QByteArray, expires);

    QVERIFY(writeFile(path("releases/channels.json"), R"({"stable":{"version":"1.0.4"},"beta":{"version":"1.0.4"}})"));
    const ToolRun run = sign({ "--expires-in", days });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("expires " + expires + " (sign again before then)\n"), run.out.constData());
    for (const char* answer : { "releases/signed/1.0.3.json", "releases/signed/any.json",
             "releases/signed/channels/beta/1.0.3.json", "releases/signed/channels/beta/any.json" }) {
        QCOMPARE(QByteArray::fromStdString(parse(readFile(path(answer)))["expires"].asString()), expires);
    }
}

// Channels: stable keeps today's files; another channel's answers lie in a folder of their own
// and take installations to its version; a halt (the channel set back) and a removed channel
// leave no answer of what they were.
void ReleaseToolTest::channelsSigned()
{
    QVERIFY(writeFile(path("releases/channels.json"),
        R"({"stable":{"version":"1.0.3"},"beta":{"version":"1.0.4","rollout":{"start":"2026-12-10T08:00:00Z","days":7}}})"));
    ToolRun run = sign();
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith("signed 6 answers to 1.0.3"), run.out.constData());
    QCOMPARE(QDir(path("releases/signed/channels/beta")).entryList(QDir::Files, QDir::Name),
        QStringList({ "1.0.3.json", "1.0.3.json.sig", "1.0.4.json", "1.0.4.json.sig", "any.json", "any.json.sig" }));

    const Json::Value stable = parse(readFile(path("releases/signed/1.0.3.json")));
    QCOMPARE(stable["version"].asString(), std::string("1.0.3"));
    QCOMPARE(stable["channel"].asString(), std::string("stable"));
    QCOMPARE(describe(stable["u"]) + describe(stable["d"]) + describe(stable["n"]), QString());
    // An installation newer than its channel's version is told that version, with nothing to do.
    const Json::Value newer = parse(readFile(path("releases/signed/1.0.4.json")));
    QCOMPARE(newer["version"].asString(), std::string("1.0.3"));
    QCOMPARE(describe(newer["u"]) + describe(newer["d"]) + describe(newer["n"]), QString());
    const QByteArray betaBody = readFile(path("releases/signed/channels/beta/1.0.3.json"));
    QCOMPARE(checkAnswerSignature(betaBody, readFile(path("releases/signed/channels/beta/1.0.3.json.sig")),
                 parsePublicKeys(testPublicKey())),
        SignatureCheck::Valid);
    const Json::Value beta = parse(betaBody);
    QCOMPARE(beta["version"].asString(), std::string("1.0.4"));
    QCOMPARE(beta["channel"].asString(), std::string("beta"));
    QCOMPARE(beta["rollout"]["start"].asString(), std::string("2026-12-10T08:00:00Z"));
    QCOMPARE(beta["rollout"]["days"].asInt(), 7);
    QCOMPARE(describe(beta["d"]), QStringLiteral("old.dll"));
    run = runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith("verified 6 signed answers to 1.0.3"), run.out.constData());

    // The halt: beta back to 1.0.3. Answers signed before no longer match.
    QVERIFY(writeFile(path("releases/channels.json"), R"({"stable":{"version":"1.0.3"},"beta":{"version":"1.0.3"}})"));
    run = runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() });
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("takes installations to 1.0.4, but channel beta is at 1.0.3"), run.err.constData());
    QCOMPARE(sign().exitCode, 0);
    QCOMPARE(parse(readFile(path("releases/signed/channels/beta/1.0.3.json")))["version"].asString(), std::string("1.0.3"));

    QVERIFY(writeFile(path("releases/channels.json"), R"({"stable":{"version":"1.0.4"}})"));
    QCOMPARE(sign().exitCode, 0);
    QVERIFY(!QFileInfo::exists(path("releases/signed/channels/beta")));
    QCOMPARE(runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() }).exitCode, 0);
}

void ReleaseToolTest::channelsRefused_data()
{
    QTest::addColumn<QByteArray>("channels");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("no-json") << QByteArray("stable: 1.0.4") << QByteArray("channels.json is no JSON object of channels");
    QTest::newRow("array") << QByteArray("[]") << QByteArray("channels.json is no JSON object of channels");
    QTest::newRow("no-stable") << QByteArray(R"({"beta":{"version":"1.0.4"}})") << QByteArray("has no \"stable\" channel");
    QTest::newRow("upper-case-name") << QByteArray(R"({"stable":{"version":"1.0.4"},"Beta":{"version":"1.0.4"}})")
                                     << QByteArray("channel \"Beta\": a channel's name is 1 to 32 of a-z");
    QTest::newRow("path-in-name") << QByteArray(R"({"stable":{"version":"1.0.4"},"../x":{"version":"1.0.4"}})")
                                  << QByteArray("channel \"../x\": a channel's name");
    QTest::newRow("query-in-name") << QByteArray(R"({"stable":{"version":"1.0.4"},"a&b":{"version":"1.0.4"}})")
                                   << QByteArray("channel \"a&b\": a channel's name");
    QTest::newRow("name-too-long")
        << QByteArray(R"({"stable":{"version":"1.0.4"},"abcdefghijabcdefghijabcdefghijabc":{"version":"1.0.4"}})")
        << QByteArray("a channel's name is 1 to 32");
    QTest::newRow("unknown-version") << QByteArray(R"({"stable":{"version":"1.0.5"}})")
                                     << QByteArray("channel \"stable\": version 1.0.5 is no release of");
    QTest::newRow("version-by-order-only") << QByteArray(R"({"stable":{"version":"1.0.04"}})")
                                           << QByteArray("version 1.0.04 is no release of");
    QTest::newRow("no-version") << QByteArray(R"({"stable":{"rollout":{"start":"2026-12-10T08:00:00Z","days":7}}})")
                                << QByteArray("channel \"stable\" names no \"version\"");
    QTest::newRow("version-not-text") << QByteArray(R"({"stable":{"version":104}})")
                                      << QByteArray("channel \"stable\" names no \"version\"");
    QTest::newRow("rollout-days-zero")
        << QByteArray(R"({"stable":{"version":"1.0.4","rollout":{"start":"2026-12-10T08:00:00Z","days":0}}})")
        << QByteArray("rollout \"days\" must be a number above 0 and at most 365");
    QTest::newRow("rollout-days-negative")
        << QByteArray(R"({"stable":{"version":"1.0.4","rollout":{"start":"2026-12-10T08:00:00Z","days":-2}}})")
        << QByteArray("rollout \"days\" must be a number above 0");
    QTest::newRow("rollout-days-text")
        << QByteArray(R"({"stable":{"version":"1.0.4","rollout":{"start":"2026-12-10T08:00:00Z","days":"7"}}})")
        << QByteArray("rollout \"days\" must be a number");
    QTest::newRow("rollout-days-too-many")
        << QByteArray(R"({"stable":{"version":"1.0.4","rollout":{"start":"2026-12-10T08:00:00Z","days":400}}})")
        << QByteArray("at most 365");
    QTest::newRow("rollout-start-local-time")
        << QByteArray(R"({"stable":{"version":"1.0.4","rollout":{"start":"2026-12-10T08:00:00","days":7}}})")
        << QByteArray("rollout \"start\" is no UTC time like 2026-12-10T08:00:00Z");
    QTest::newRow("rollout-start-no-date")
        << QByteArray(R"({"stable":{"version":"1.0.4","rollout":{"start":"2026-02-30T08:00:00Z","days":7}}})")
        << QByteArray("rollout \"start\" is no UTC time");
    QTest::newRow("rollout-not-object") << QByteArray(R"({"stable":{"version":"1.0.4","rollout":7}})")
                                        << QByteArray("\"rollout\" is no object with \"start\" and \"days\"");
}

// A channels.json that cannot be served is refused by sign, which writes nothing, and by
// vendor-server, which does not start, each naming the fault.
void ReleaseToolTest::channelsRefused()
{
    QFETCH(QByteArray, channels);
    QFETCH(QByteArray, message);

    QVERIFY(writeFile(path("releases/channels.json"), channels));
    const ToolRun run = sign();
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message), run.err.constData());
    QVERIFY2(run.err.endsWith("nothing signed: the releases directory cannot be served as it is\n"), run.err.constData());
    QVERIFY(!QFileInfo::exists(path("releases/signed")));

    VendorServerProcess server;
    QVERIFY(!server.startOn(path("releases"), { "--reports", path("reports.jsonl") }));
    QCOMPARE(server.exitCode(), 1);
    QVERIFY2(server.errors().contains(message), server.errors().constData());
    QVERIFY2(server.errors().endsWith("not started: the channels cannot be served as they are\n"),
        server.errors().constData());
}

QTEST_GUILESS_MAIN(ReleaseToolTest)
#include "tst_releasetool.moc"
