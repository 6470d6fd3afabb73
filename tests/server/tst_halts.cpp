// The automatic halt: the rule of channels.json's "halt" against per-version figures, and a
// real vendor-server that halts a channel's version once enough returns are reported over
// HTTP: installations below it get "nothing newer" (unsigned {}, or the signed answer made
// for their release), those on it and other channels are answered as before, the halt
// outlasts a restart, shows on the dashboard and is lifted by --lift-halt for good.

#include "answersignature.h"
#include "channels.h"
#include "halts.h"
#include "releasestore.h"
#include "releasetool.h"
#include "reportsdatabase.h"
#include "vendorserverprocess.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

const QByteArray Token = "halt-test-dashboard-token-20261209";

QJsonObject parsed(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

// The version an answer takes its installation to; empty for {}.
QString offeredVersion(const RawReply& reply)
{
    return parsed(reply.body)["version"].toString();
}

// "1.0.4:10/3" (took/returned) and more, separated by blanks.
std::map<std::string, ReleaseCount> figuresOf(const QString& text)
{
    std::map<std::string, ReleaseCount> figures;
    for (const QString& entry : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        const QStringList counts = parts.at(1).split(QLatin1Char('/'));
        figures[parts.at(0).toStdString()] = { counts.at(0).toLongLong(), 0, counts.at(1).toLongLong() };
    }
    return figures;
}

} // namespace

class HaltsTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rule_data();
    void rule();
    void haltedByReturns_data();
    void haltedByReturns();
    void haltedAtStartByImport();
    void reportFields_data();
    void reportFields();

private:
    QString path(const QString& relative) const { return dir->filePath(relative); }
    bool writeChannels(const QByteArray& channels);
    bool start(const QStringList& more = {});
    RawReply ask(const QByteArray& installed, const QByteArray& channel = "stable");
    RawReply report(const QByteArray& mac, const QByteArray& version, int state, const QByteArray& returnedFrom);
    // Waits until installed gets another answer than offered on channel.
    bool waitForChange(const QByteArray& installed, const QByteArray& offered, RawReply& reply);

    std::unique_ptr<QTemporaryDir> dir;
    VendorServerProcess server;
};

void HaltsTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(makeTree(dir->path(),
        { { "releases/1.0.3/a.txt", "a of 1.0.3\n" }, { "releases/1.0.4/a.txt", "a of 1.0.4\n" },
            { "releases/1.1.0/a.txt", "a of 1.1.0\n" }, { "token", Token + "\n" } }));
}

void HaltsTest::cleanup()
{
    // Stopped before the next row starts it again (never signalled once it has ended).
    if (server.port() > 0 && !server.waitForExit(0)) {
        server.sendSignal(SIGTERM);
        QVERIFY(server.waitForExit());
    }
}

bool HaltsTest::writeChannels(const QByteArray& channels)
{
    return makeTree(dir->path(), { { "releases/channels.json", channels } });
}

bool HaltsTest::start(const QStringList& more)
{
    return server.startOn(path("releases"),
        QStringList { "--reports", path("reports.sqlite"), "--dashboard-token", path("token") } + more);
}

RawReply HaltsTest::ask(const QByteArray& installed, const QByteArray& channel)
{
    return rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=" + installed + "&channel=" + channel);
}

RawReply HaltsTest::report(const QByteArray& mac, const QByteArray& version, int state, const QByteArray& returnedFrom)
{
    QByteArray form = "mac=" + mac + "&version=" + version + "&computerName=pc-" + mac + "&userName=u&useState="
        + QByteArray::number(state);
    if (!returnedFrom.isNull()) {
        form += "&returnedFrom=" + returnedFrom;
    }
    return rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?", form, "application/x-www-form-urlencoded");
}

bool HaltsTest::waitForChange(const QByteArray& installed, const QByteArray& offered, RawReply& reply)
{
    QDeadlineTimer deadline(10000);
    do {
        reply = ask(installed);
        if (reply.status == 200 && reply.body != offered) {
            return true;
        }
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return false;
}

// Which channels' versions the figures halt, and the problems of bad rules.
void HaltsTest::rule_data()
{
    QTest::addColumn<QByteArray>("halt");  // stable's "halt" member (at 1.1.0); beta is at 1.0.4
    QTest::addColumn<QString>("figures");  // version:took/returned ...
    QTest::addColumn<QString>("due");      // channel version, ...; or "problem: TEXT"

    QTest::newRow("returns-reached") << QByteArray(R"({"returns":5})") << "1.1.0:40/5" << "stable 1.1.0";
    QTest::newRow("returns-below") << QByteArray(R"({"returns":5})") << "1.1.0:40/4" << "";
    QTest::newRow("share-reached") << QByteArray(R"({"returns":5,"share":0.05})") << "1.1.0:100/5" << "stable 1.1.0";
    QTest::newRow("share-below") << QByteArray(R"({"returns":5,"share":0.05})") << "1.1.0:101/5" << "";
    QTest::newRow("share-met-returns-not") << QByteArray(R"({"returns":5,"share":0.05})") << "1.1.0:4/4" << "";
    QTest::newRow("other-version") << QByteArray(R"({"returns":1})") << "1.0.3:5/5 1.0.0:3/3" << "";
    // beta carries its own rule; stable's returns do not count for it, nor the other way round.
    QTest::newRow("other-channel") << QByteArray(R"({"returns":50})") << "1.1.0:10/9 1.0.4:8/2" << "beta 1.0.4";
    QTest::newRow("none-reported") << QByteArray(R"({"returns":1})") << "" << "";
    QTest::newRow("returns-zero") << QByteArray(R"({"returns":0})") << "" << "problem: halt \"returns\" must be";
    QTest::newRow("returns-missing") << QByteArray(R"({"share":0.5})") << "" << "problem: halt \"returns\" must be";
    QTest::newRow("returns-fraction") << QByteArray(R"({"returns":2.5})") << "" << "problem: halt \"returns\" must be";
    QTest::newRow("share-zero") << QByteArray(R"({"returns":1,"share":0})") << "" << "problem: halt \"share\" must be";
    QTest::newRow("share-above-one") << QByteArray(R"({"returns":1,"share":1.5})") << ""
                                     << "problem: halt \"share\" must be";
    QTest::newRow("share-text") << QByteArray(R"({"returns":1,"share":"5%"})") << ""
                                << "problem: halt \"share\" must be";
    QTest::newRow("not-an-object") << QByteArray("5") << "" << "problem: \"halt\" is no object";
}

void HaltsTest::rule()
{
    QFETCH(QByteArray, halt);
    QFETCH(QString, figures);
    QFETCH(QString, due);
    QVERIFY(writeChannels(R"({"stable":{"version":"1.1.0","halt":)" + halt
        + R"(},"beta":{"version":"1.0.4","halt":{"returns":2}}})"));
    ReleaseStore store;
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    QVERIFY(store.load(path("releases").toStdString(), problems, warnings));
    Channels channels;
    const bool loaded = channels.load(store, problems);
    if (due.startsWith(QStringLiteral("problem: "))) {
        QVERIFY(!loaded);
        QCOMPARE(problems.size(), std::size_t(1));
        QVERIFY2(QString::fromStdString(problems.front()).contains(due.mid(9)), problems.front().c_str());
        QVERIFY(QString::fromStdString(problems.front()).contains(QStringLiteral("channel \"stable\"")));
        return;
    }
    QVERIFY(loaded);
    QStringList found;
    for (const DueHalt& halted : dueHalts(channels, figuresOf(figures))) {
        found << QString::fromStdString(halted.channel + " " + halted.version);
    }
    QCOMPARE(found.join(QStringLiteral(", ")), due);
}

// Returns reported over HTTP halt stable's 1.1.0; beta, at the same version without a rule,
// and installations already on 1.1.0 are not touched; a restart keeps the halt; --lift-halt
// ends it for good.
void HaltsTest::haltedByReturns_data()
{
    QTest::addColumn<bool>("signedAnswers");
    QTest::newRow("unsigned") << false;
    QTest::newRow("signed") << true;
}

void HaltsTest::haltedByReturns()
{
    QFETCH(bool, signedAnswers);
    QVERIFY(writeChannels(
        R"({"stable":{"version":"1.1.0","halt":{"returns":3,"share":0.5}},"beta":{"version":"1.1.0"}})"));
    if (signedAnswers) {
        const ToolRun run = runReleaseTool({ "sign", "--releases", path("releases"), "--secret", testSecretKeyFile() });
        QVERIFY2(run.exitCode == 0, run.err.constData());
    }
    QVERIFY2(start(), server.errors().constData());
    const RawReply offered = ask("1.0.3");
    QCOMPARE(parsed(offered.body)["version"].toString(), QStringLiteral("1.1.0"));
    const RawReply onNew = ask("1.1.0");
    const RawReply beta = ask("1.0.3", "beta");

    // Three returns from 1.1.0 among four installations that took it; an older client's
    // return without the version, which counts for nothing.
    for (const QByteArray mac : { "m1", "m2", "m4", "m5" }) {
        QCOMPARE(report(mac, "1.1.0", 1, QByteArray()).status, 200);
    }
    QCOMPARE(report("m1", "1.0.4", 4, "1.1.0").status, 200);
    QCOMPARE(report("m2", "1.0.4", 4, "1.1.0").status, 200);
    QCOMPARE(report("m3", "1.0.4", 4, QByteArray()).status, 200);
    QTest::qWait(300);
    QCOMPARE(ask("1.0.3").body, offered.body);
    QCOMPARE(report("m2", "1.0.4", 4, "1.1.0").status, 200); // the same installation again
    QTest::qWait(300);
    QCOMPARE(ask("1.0.3").body, offered.body);
    QCOMPARE(report("m4", "1.0.4", 4, "1.1.0").status, 200);

    RawReply halted;
    QVERIFY2(waitForChange("1.0.3", offered.body, halted), halted.body.constData());
    const QByteArray signature = headerValue(halted.headers, "X-Orbisnap-Signature");
    if (signedAnswers) {
        // Made for 1.0.3 itself: its own version, nothing to fetch, signed and bound to it.
        const QJsonObject answer = parsed(halted.body);
        QCOMPARE(answer["version"].toString(), QStringLiteral("1.0.3"));
        QCOMPARE(answer["installed"].toString(), QStringLiteral("1.0.3"));
        QCOMPARE(answer["channel"].toString(), QStringLiteral("stable"));
        QVERIFY(answer["expires"].isString());
        for (const char* list : { "u", "d", "n" }) {
            QVERIFY(answer[QLatin1String(list)].toArray().isEmpty());
        }
        QCOMPARE(checkAnswerSignature(halted.body, signature, parsePublicKeys(testPublicKey())), SignatureCheck::Valid);
        QCOMPARE(parsed(ask("1.0.4").body)["version"].toString(), QStringLiteral("1.0.4"));
    } else {
        QCOMPARE(halted.body, QByteArray("{}"));
        QVERIFY(signature.isEmpty());
        QCOMPARE(ask("1.0.4").body, QByteArray("{}"));
    }
    QCOMPARE(ask("1.1.0").body, onNew.body);
    QCOMPARE(ask("1.0.3", "beta").body, beta.body);
    // The line is flushed before the halt changes any answer, but reaches this process's
    // buffer only as its events are processed.
    const QByteArray line = "vendor-server: channel stable: version 1.1.0 halted automatically: 3 installations "
                            "returned from it of 4 that took it\n";
    QTRY_VERIFY2_WITH_TIMEOUT(server.errors().contains(line), server.errors().constData(), 5000);
    const QByteArray log = server.errors();
    QCOMPARE(log.count("halted automatically"), 1);

    const RawReply dashboard
        = rawRequest(server.port(), "GET", "/dashboard.json", {}, {}, "Authorization: Bearer " + Token + "\r\n");
    QCOMPARE(dashboard.status, 200);
    bool shown = false;
    for (const QJsonValue release : parsed(dashboard.body)["releases"].toArray()) {
        if (release["version"].toString() == QStringLiteral("1.1.0")) {
            QCOMPARE(release["took"].toInt(), 4);
            QCOMPARE(release["returned"].toInt(), 3);
            QCOMPARE(release["returnRate"].toDouble(), 0.75);
            QCOMPARE(release["halted"].toArray().size(), 1);
            QCOMPARE(release["halted"][0]["channel"].toString(), QStringLiteral("stable"));
            shown = true;
        }
    }
    QVERIFY2(shown, dashboard.body.constData());
    const RawReply page = rawRequest(server.port(), "GET", "/dashboard", {}, {}, "Authorization: Bearer " + Token + "\r\n");
    QVERIFY2(page.body.contains("halted automatically on stable at "), page.body.constData());

    // A restart finds the halt in the database before its first answer.
    server.sendSignal(SIGTERM);
    QVERIFY(server.waitForExit());
    QVERIFY2(start(), server.errors().constData());
    QCOMPARE(ask("1.0.3").body, halted.body);
    QVERIFY2(server.output().contains("channel stable: 1.1.0 halted automatically at "), server.output().constData());
    server.sendSignal(SIGTERM);
    QVERIFY(server.waitForExit());

    VendorServerProcess lift;
    QVERIFY(!lift.start({ "--releases", path("releases"), "--reports", path("reports.sqlite"), "--lift-halt", "stable" }));
    QCOMPARE(lift.exitCode(), 0);
    QVERIFY2(lift.output().contains("vendor-server: channel stable: lifted the halt of version 1.1.0 halted at "),
        lift.output().constData());

    // Lifted for good: more returns from 1.1.0 do not halt it again.
    QVERIFY2(start(), server.errors().constData());
    QCOMPARE(offeredVersion(ask("1.0.3")), QStringLiteral("1.1.0"));
    QCOMPARE(report("m5", "1.0.4", 4, "1.1.0").status, 200);
    QTest::qWait(500);
    QCOMPARE(offeredVersion(ask("1.0.3")), QStringLiteral("1.1.0"));
    QVERIFY(!server.errors().contains("halted automatically"));
}

// Returns imported from an earlier version's reports.jsonl at start-up are checked before the
// first answer; a returnedFrom that is no text skips its line.
void HaltsTest::haltedAtStartByImport()
{
    QVERIFY(writeChannels(R"({"stable":{"version":"1.1.0","halt":{"returns":2}}})"));
    QByteArray lines;
    for (const char* line :
        { R"({"time":"2026-12-01T10:00:00Z","mac":"a","version":"1.0.4","computerName":"c","userName":"u","useState":4,"returnedFrom":"1.1.0"})",
            R"({"time":"2026-12-01T10:00:01Z","mac":"b","version":"1.0.4","computerName":"c","userName":"u","useState":4,"returnedFrom":110})",
            R"({"time":"2026-12-01T10:00:02Z","mac":"c","version":"1.0.4","computerName":"c","userName":"u","useState":4})",
            R"({"time":"2026-12-01T10:00:03Z","mac":"d","version":"1.0.4","computerName":"c","userName":"u","useState":4,"returnedFrom":"1.1.0"})" }) {
        lines += QByteArray(line) + "\n";
    }
    QVERIFY(makeTree(dir->path(), { { "reports.jsonl", lines } }));
    QVERIFY2(start(), server.errors().constData());
    QTRY_VERIFY2_WITH_TIMEOUT(server.errors().contains("reports.jsonl\" line 2 skipped: returnedFrom is not text"),
        server.errors().constData(), 5000);
    QCOMPARE(ask("1.0.3").body, QByteArray("{}"));
    QTRY_VERIFY2_WITH_TIMEOUT(
        server.errors().contains("version 1.1.0 halted automatically: 2 installations returned from it of 2"),
        server.errors().constData(), 5000);
    QStringList returnedFrom;
    for (const StoredReport& stored : storedReports(path("reports.sqlite"))) {
        returnedFrom << stored.returnedFrom;
    }
    QCOMPARE(returnedFrom, QStringList({ "1.1.0", "", "1.1.0" }));
}

// returnedFrom is optional, at most once, and UTF-8 like the other fields.
void HaltsTest::reportFields_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stored");
    QTest::newRow("absent") << QByteArray() << 200 << "";
    QTest::newRow("given") << QByteArray("&returnedFrom=1.1.0") << 200 << "1.1.0";
    QTest::newRow("encoded") << QByteArray("&returnedFrom=2.0%20beta") << 200 << "2.0 beta";
    QTest::newRow("twice") << QByteArray("&returnedFrom=1.1.0&returnedFrom=1.0.4") << 400 << "";
    QTest::newRow("not-utf8") << QByteArray("&returnedFrom=%FF%FE") << 400 << "";
}

void HaltsTest::reportFields()
{
    QFETCH(QByteArray, extra);
    QFETCH(int, status);
    QFETCH(QString, stored);
    QVERIFY2(start(), server.errors().constData());
    const RawReply reply = rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?",
        "mac=m&version=1.0.4&computerName=c&userName=u&useState=4" + extra, "application/x-www-form-urlencoded");
    QCOMPARE(reply.status, status);
    const QList<StoredReport> reports = storedReports(path("reports.sqlite"));
    if (status != 200) {
        QTRY_VERIFY2(server.errors().contains("returnedFrom"), server.errors().constData());
        QVERIFY(reports.isEmpty());
        return;
    }
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.at(0).returnedFrom, stored);
    QCOMPARE(reports.at(0).useState, 4);
}

QTEST_GUILESS_MAIN(HaltsTest)
#include "tst_halts.moc"
