// vendor-server with channels.json: each channel's installations are taken to its version,
// signed and unsigned alike, with the channel's rollout; a halt takes effect for those that
// have not updated; answers past their expiry keep the server from starting, and answers
// near it make it warn.

#include "answersignature.h"
#include "releasetool.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QMap<QString, QByteArray> Releases = {
    { "releases/1.0.3/a.txt", "a of 1.0.3\n" },
    { "releases/1.0.4/a.txt", "a of 1.0.4\n" },
    { "releases/1.1.0/a.txt", "a of 1.1.0\n" },
    { "releases/1.1.0/beta.dll", "beta" },
    { "releases/channels.json",
        R"({"stable":{"version":"1.0.4"},"beta":{"version":"1.1.0","rollout":{"start":"2026-12-10T08:00:00Z","days":7}}})" },
};

const QByteArray Halted = R"({"stable":{"version":"1.0.4"},"beta":{"version":"1.0.4"}})";

QJsonObject parsed(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

QString utc(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

} // namespace

class ChannelsTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void answers_data();
    void answers();
    void halt_data();
    void halt();
    void expiry_data();
    void expiry();
    void healthTravels_data();
    void healthTravels();

private:
    QString path(const char* relative) const { return dir->filePath(QString::fromLatin1(relative)); }
    bool sign(const QStringList& more = {});
    bool start();

    std::unique_ptr<QTemporaryDir> dir;
    VendorServerProcess server;
};

void ChannelsTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(makeTree(dir->path(), Releases));
}

bool ChannelsTest::sign(const QStringList& more)
{
    const ToolRun run = runReleaseTool(
        QStringList { "sign", "--releases", path("releases"), "--secret", testSecretKeyFile() } + more);
    if (run.exitCode != 0) {
        qWarning("%s", run.err.constData());
    }
    return run.exitCode == 0;
}

bool ChannelsTest::start()
{
    return server.startOn(path("releases"), { "--reports", path("reports.jsonl") });
}

// What (installed, channel) gets, from signed answers and from computed ones: the channel's
// version or nothing, never an older one than installed as an update.
void ChannelsTest::answers_data()
{
    QTest::addColumn<bool>("signedAnswers");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("version"); // empty: {}
    QTest::addColumn<QString>("channel");

    for (const bool signedAnswers : { false, true }) {
        const QByteArray mode = signedAnswers ? "signed-" : "unsigned-";
        QTest::newRow(mode + "stable-by-default") << signedAnswers << QByteArray("version=1.0.3") << 200 << "1.0.4"
                                                  << "stable";
        QTest::newRow(mode + "stable-named") << signedAnswers << QByteArray("version=1.0.3&channel=stable") << 200
                                             << "1.0.4" << "stable";
        QTest::newRow(mode + "beta") << signedAnswers << QByteArray("version=1.0.3&channel=beta") << 200 << "1.1.0"
                                     << "beta";
        QTest::newRow(mode + "beta-from-stable") << signedAnswers << QByteArray("version=1.0.4&channel=beta") << 200
                                                 << "1.1.0" << "beta";
        QTest::newRow(mode + "beta-unknown-version") << signedAnswers << QByteArray("version=0.9&channel=beta") << 200
                                                     << "1.1.0" << "beta";
        QTest::newRow(mode + "unknown-channel") << signedAnswers << QByteArray("version=1.0.3&channel=nightly") << 404
                                                << "" << "";
        QTest::newRow(mode + "bad-channel-name") << signedAnswers << QByteArray("version=1.0.3&channel=..%2Fx") << 404
                                                 << "" << "";
        QTest::newRow(mode + "channel-twice") << signedAnswers
                                              << QByteArray("version=1.0.3&channel=beta&channel=stable") << 400 << ""
                                              << "";
    }
    // Back from beta to stable: the answer names stable's older version, which the host takes
    // as nothing newer; computed answers say so with {}.
    QTest::newRow("signed-beta-installation-on-stable")
        << true << QByteArray("version=1.1.0&channel=stable") << 200 << "1.0.4" << "stable";
    QTest::newRow("unsigned-beta-installation-on-stable")
        << false << QByteArray("version=1.1.0&channel=stable") << 200 << "" << "";
    QTest::newRow("unsigned-beta-up-to-date") << false << QByteArray("version=1.1.0&channel=beta") << 200 << "" << "";
}

void ChannelsTest::answers()
{
    QFETCH(bool, signedAnswers);
    QFETCH(QByteArray, query);
    QFETCH(int, status);
    QFETCH(QString, version);
    QFETCH(QString, channel);

    if (signedAnswers) {
        QVERIFY(sign());
    }
    QVERIFY2(start(), server.errors().constData());
    QVERIFY2(server.output().contains("channel beta: 1.1.0, rolled out from 2026-12-10T08:00:00Z"),
        server.output().constData());
    const RawReply reply = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?" + query);
    QCOMPARE(reply.status, status);
    if (status != 200) {
        QCOMPARE(headerValue(reply.headers, "Cache-Control"), QByteArray("no-store"));
        return;
    }
    if (version.isEmpty()) {
        QCOMPARE(reply.body, QByteArray("{}"));
        return;
    }
    const QJsonObject answer = parsed(reply.body);
    QCOMPARE(answer["version"].toString(), version);
    QCOMPARE(answer["channel"].toString(), channel);
    QCOMPARE(answer["rollout"].toObject()["start"].toString(),
        channel == "beta" ? QStringLiteral("2026-12-10T08:00:00Z") : QString());
    QCOMPARE(answer.contains("expires"), signedAnswers);
    const QByteArray signature = headerValue(reply.headers, "X-Orbisnap-Signature");
    QCOMPARE(signature.isEmpty(), !signedAnswers);
    if (signedAnswers) {
        QCOMPARE(checkAnswerSignature(reply.body, signature, parsePublicKeys(testPublicKey())), SignatureCheck::Valid);
    }
}

void ChannelsTest::halt_data()
{
    QTest::addColumn<bool>("signedAnswers");
    QTest::newRow("unsigned") << false;
    QTest::newRow("signed") << true;
}

// Beta set back to 1.0.4 (and signed again): installations that have not taken 1.1.0 no
// longer see it; one that has is not taken back.
void ChannelsTest::halt()
{
    QFETCH(bool, signedAnswers);

    QVERIFY(writeFile(path("releases/channels.json"), Halted));
    if (signedAnswers) {
        QVERIFY(sign());
    }
    QVERIFY2(start(), server.errors().constData());
    const RawReply waiting = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=1.0.3&channel=beta");
    QCOMPARE(parsed(waiting.body)["version"].toString(), QStringLiteral("1.0.4"));
    const RawReply updated = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=1.1.0&channel=beta");
    QCOMPARE(updated.status, 200);
    if (signedAnswers) {
        const QJsonObject answer = parsed(updated.body);
        QCOMPARE(answer["version"].toString(), QStringLiteral("1.0.4"));
        QCOMPARE(answer["u"].toArray().size() + answer["d"].toArray().size() + answer["n"].toArray().size(), 0);
    } else {
        QCOMPARE(updated.body, QByteArray("{}"));
    }
}

// A channel's start check travels in its answers, signed and unsigned, with the defaults
// filled in; a malformed one keeps the server from starting, naming it.
void ChannelsTest::healthTravels_data()
{
    QTest::addColumn<QByteArray>("health");
    QTest::addColumn<bool>("signedAnswers");
    QTest::addColumn<QByteArray>("expected"); // empty: the server refuses to start
    QTest::newRow("defaults-unsigned") << QByteArray("{}") << false << QByteArray(R"({"starts":3,"timeout":60})");
    QTest::newRow("set-signed") << QByteArray(R"({"timeout":5,"starts":1})") << true
                                << QByteArray(R"({"starts":1,"timeout":5})");
    QTest::newRow("timeout-zero") << QByteArray(R"({"timeout":0})") << false << QByteArray();
    QTest::newRow("starts-text") << QByteArray(R"({"starts":"3"})") << false << QByteArray();
    QTest::newRow("not-an-object") << QByteArray("60") << false << QByteArray();
}

void ChannelsTest::healthTravels()
{
    QFETCH(QByteArray, health);
    QFETCH(bool, signedAnswers);
    QFETCH(QByteArray, expected);
    QVERIFY(writeFile(path("releases/channels.json"),
        R"({"stable":{"version":"1.0.4","health":)" + health + R"(},"beta":{"version":"1.1.0"}})"));
    if (expected.isEmpty()) {
        QVERIFY(!start());
        QVERIFY2(server.errors().contains("health"), server.errors().constData());
        return;
    }
    if (signedAnswers) {
        QVERIFY(sign());
    }
    QVERIFY2(start(), server.errors().constData());
    const RawReply reply = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=1.0.3");
    QCOMPARE(QJsonDocument(parsed(reply.body)["health"].toObject()).toJson(QJsonDocument::Compact), expected);
    const RawReply beta = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=1.0.3&channel=beta");
    QVERIFY(!parsed(beta.body).contains("health"));
}

void ChannelsTest::expiry_data()
{
    QTest::addColumn<int>("issuedDaysAgo");
    QTest::addColumn<int>("expiresIn");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<QByteArray>("said"); // on standard error; empty: nothing

    QTest::newRow("fresh") << 0 << 30 << true << QByteArray();
    QTest::newRow("eight-days-left") << 22 << 30 << true << QByteArray();
    QTest::newRow("six-days-left") << 24 << 30 << true
                                   << QByteArray("vendor-server: warning: the signed answers expire at ");
    QTest::newRow("expired") << 31 << 30 << false << QByteArray("vendor-server: not started: the signed answers expired at ");
    QTest::newRow("one-day-answers-expired") << 2 << 1 << false << QByteArray("expired at ");
}

void ChannelsTest::expiry()
{
    QFETCH(int, issuedDaysAgo);
    QFETCH(int, expiresIn);
    QFETCH(bool, starts);
    QFETCH(QByteArray, said);

    const QDateTime issued = QDateTime::currentDateTimeUtc().addDays(-issuedDaysAgo);
    QVERIFY(sign({ "--issued", utc(issued), "--expires-in", QString::number(expiresIn) }));
    QCOMPARE(start(), starts);
    const QByteArray errors = server.errors();
    if (said.isEmpty()) {
        QVERIFY2(!errors.contains("expire"), errors.constData());
        QVERIFY2(server.output().contains("signed answers expire at " + utc(issued.addDays(expiresIn)).toUtf8()),
            server.output().constData());
        return;
    }
    QVERIFY2(errors.contains(said + utc(issued.addDays(expiresIn)).toUtf8()), errors.constData());
    // Either way the message names what to run.
    QVERIFY2(errors.contains("run orbisnap-release sign --releases "), errors.constData());
    if (!starts) {
        QCOMPARE(server.exitCode(), 1);
    }
}

QTEST_GUILESS_MAIN(ChannelsTest)
#include "tst_channels.moc"
