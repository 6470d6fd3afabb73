// The dashboard of the real vendor-server: shown only for its token or a session its sign-in
// gave, a sign-in page (401) otherwise, a 404 without the token option; the HTTP rules of the
// sign-in (cookie, session end, cross-site posts, wrong tries per address); its
// figures from reports imported from an earlier version's reports file (whose lines carry their
// own times, so days in the past can be filled); the import done once; the start refused when
// the pseudonym secret or the token is not fit.

#include "reportsdatabase.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <httplib.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QByteArray Token = "k7Qe2-vendor-dashboard-token-93Zx";

struct Line
{
    int daysAgo;
    int hour;
    const char* who; // mac, computer and user name all derive from it
    const char* version;
    int state;
};

// Eight installations, a-h; "e" shares a's MAC and computer but not its user.
const std::vector<Line> History = {
    { 40, 9, "c", "1.0.3", 1 },
    { 20, 9, "a", "1.0.3", 1 }, { 20, 10, "b", "1.0.3", 1 },
    { 10, 8, "a", "1.0.3", 1 }, { 10, 9, "d", "1.0.4", 1 }, { 10, 10, "f", "1.0.3", 1 },
    { 10, 11, "g", "1.0.3", 1 }, { 10, 12, "h", "1.0.3", 3 },
    { 10, 15, "a", "1.0.4", 2 }, // a updated during the day: counted once, under 1.0.4
    { 9, 9, "d", "1.0.4", 1 },
    { 2, 9, "a", "1.0.4", 1 }, { 2, 10, "b", "1.0.3", 1 }, { 2, 11, "e", "9.9-local", 1 },
};

qint64 timeOf(const Line& line)
{
    const qint64 today = QDateTime::currentSecsSinceEpoch() / 86400;
    return (today - line.daysAgo) * 86400 + line.hour * 3600;
}

QString dayOf(const Line& line)
{
    return QDateTime::fromSecsSinceEpoch(timeOf(line), Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
}

QByteArray jsonLine(const Line& line)
{
    const QString who = QString::fromLatin1(line.who);
    QJsonObject report;
    report[QStringLiteral("time")]
        = QDateTime::fromSecsSinceEpoch(timeOf(line), Qt::UTC).toString(Qt::ISODate);
    report[QStringLiteral("mac")] = who == QStringLiteral("e") ? QStringLiteral("mac-a") : QStringLiteral("mac-") + who;
    report[QStringLiteral("version")] = QString::fromLatin1(line.version);
    report[QStringLiteral("computerName")] = who == QStringLiteral("e") ? QStringLiteral("pc-a") : QStringLiteral("pc-") + who;
    report[QStringLiteral("userName")] = QStringLiteral("user-") + who;
    report[QStringLiteral("useState")] = line.state;
    return QJsonDocument(report).toJson(QJsonDocument::Compact) + "\n";
}

struct Reply
{
    int status = 0;
    std::string contentType;
    std::string body;
    httplib::Headers headers;

    std::string header(const char* name) const
    {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// from: the loopback address the request comes from (the server counts wrong tokens per
// address, so tests that send wrong ones each use their own); empty: 127.0.0.1.
Reply send(int port, const std::string& method, const std::string& path, const httplib::Headers& headers,
    const std::string& body = {}, const std::string& contentType = {}, const std::string& from = {})
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    if (!from.empty()) {
        client.set_interface(from);
    }
    const httplib::Result result
        = method == "POST" ? client.Post(path, headers, body, contentType) : client.Get(path, headers);
    if (!result) {
        return {};
    }
    return { result->status, result->get_header_value("Content-Type"), result->body, result->headers };
}

Reply get(
    int port, const std::string& path, const httplib::Headers& headers = {}, const std::string& from = {})
{
    return send(port, "GET", path, headers, {}, {}, from);
}

Reply post(int port, const std::string& path, const std::string& form, const httplib::Headers& headers = {},
    const std::string& from = {}, const std::string& contentType = "application/x-www-form-urlencoded")
{
    return send(port, "POST", path, headers, form, contentType, from);
}

std::string tokenForm(const QByteArray& token)
{
    return "token=" + token.toPercentEncoding().toStdString();
}

// The session id in a sign-in's Set-Cookie; empty when it set none.
std::string sessionOf(const Reply& reply)
{
    const std::string cookie = reply.header("Set-Cookie");
    const std::string prefix = "orbisnap_dashboard=";
    if (!cookie.starts_with(prefix)) {
        return {};
    }
    return cookie.substr(prefix.size(), cookie.find(';') - prefix.size());
}

httplib::Headers withSession(const std::string& id)
{
    return { { "Cookie", "theme=dark; orbisnap_dashboard=" + id } };
}

httplib::Headers bearer(const QByteArray& token)
{
    return { { "Authorization", "Bearer " + token.toStdString() } };
}

QJsonArray countsOf(const QJsonArray& series, const char* key, const char* name, const QJsonValue& value)
{
    for (const QJsonValue& entry : series) {
        if (entry.toObject().value(QLatin1String(name)) == value) {
            return entry.toObject().value(QLatin1String(key)).toArray();
        }
    }
    return {};
}

} // namespace

class DashboardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void token_data();
    void token();
    void signIn_data();
    void signIn();
    void session();
    void wrongTriesPerAddress();
    void secureCookieForHttpsBase();
    void withoutTokenOptionUnknown();
    void figures();
    void pageShowsFiguresEscaped();
    void importOnce();
    void refusedStart_data();
    void refusedStart();

private:
    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    VendorServerProcess server;
    QByteArray importedFile;
    QElapsedTimer sinceStart;
};

void DashboardTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(makeTree(path(QStringLiteral("releases")), { { "1.0.3/a.txt", "3" }, { "1.0.4/a.txt", "4" } }));
    for (const Line& line : History) {
        importedFile += jsonLine(line);
    }
    // A line cut short, a report without its version, and a document that is no report.
    importedFile.insert(importedFile.indexOf('\n') + 1,
        "{\"time\":\"2026-01-01T00:00:00Z\",\"mac\":\"x\"\n{\"time\":\"2026-01-01T00:00:00Z\",\"mac\":\"x\"}\n[1,2]\n");
    QVERIFY(writeFile(path(QStringLiteral("reports.jsonl")), importedFile));
    QVERIFY(writeFile(path(QStringLiteral("token")), Token + "\n"));
    QVERIFY2(server.startOn(path(QStringLiteral("releases")), { QStringLiteral("--dashboard-token"), path(QStringLiteral("token")) }),
        server.errors().constData());
    QVERIFY(server.output().contains("imported 13 report(s) from " + path(QStringLiteral("reports.jsonl")).toUtf8()));
    QVERIFY2(server.errors().contains("reports.jsonl\" line 2 skipped: no JSON object"), server.errors().constData());
    QVERIFY(server.errors().contains("reports.jsonl\" line 3 skipped: version is missing or not text"));
    QVERIFY(server.errors().contains("reports.jsonl\" line 4 skipped: no JSON object"));
    sinceStart.start();
}

void DashboardTest::token_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("authorization"); // empty: no header
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("from");

    QTest::newRow("page") << QByteArray("/dashboard") << "Bearer " + Token << 200 << QByteArray();
    QTest::newRow("json") << QByteArray("/dashboard.json") << "Bearer " + Token << 200 << QByteArray();
    QTest::newRow("scheme-in-any-case")
        << QByteArray("/dashboard") << "bEARER " + Token << 200 << QByteArray();
    QTest::newRow("no-header") << QByteArray("/dashboard") << QByteArray() << 401 << QByteArray();
    QTest::newRow("json-no-header") << QByteArray("/dashboard.json") << QByteArray() << 401 << QByteArray();
    QTest::newRow("wrong-token") << QByteArray("/dashboard")
                                 << QByteArray("Bearer k7Qe2-vendor-dashboard-token-93Zy") << 401
                                 << QByteArray("127.0.1.1");
    QTest::newRow("token-prefix") << QByteArray("/dashboard") << "Bearer " + Token.left(Token.size() - 1)
                                  << 401 << QByteArray("127.0.1.2");
    QTest::newRow("token-longer") << QByteArray("/dashboard.json") << "Bearer " + Token + "0" << 401
                                  << QByteArray("127.0.1.3");
    QTest::newRow("empty-token") << QByteArray("/dashboard") << QByteArray("Bearer ") << 401
                                 << QByteArray("127.0.1.4");
    QTest::newRow("token-without-scheme")
        << QByteArray("/dashboard") << Token << 401 << QByteArray("127.0.1.5");
    QTest::newRow("basic-scheme") << QByteArray("/dashboard") << "Basic " + Token.toBase64() << 401
                                  << QByteArray("127.0.1.6");
    QTest::newRow("other-path") << QByteArray("/dashboard/x") << "Bearer " + Token << 404 << QByteArray();
}

// Without the token: the sign-in page (or a JSON error), never a figure.
void DashboardTest::token()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);
    QFETCH(QByteArray, from);

    httplib::Headers headers;
    if (!authorization.isEmpty()) {
        headers.emplace("Authorization", authorization.toStdString());
    }
    const Reply reply = get(server.port(), target.toStdString(), headers, from.toStdString());
    QCOMPARE(reply.status, status);
    const bool json = target.endsWith(".json");
    if (status == 404) {
        const Reply unknown = get(server.port(), "/no-such-path", headers);
        QCOMPARE(unknown.status, 404);
        QCOMPARE(reply.body, unknown.body);
        QCOMPARE(reply.contentType, unknown.contentType);
        return;
    }
    QCOMPARE(reply.contentType,
        std::string(json ? "application/json; charset=utf-8" : "text/html; charset=utf-8"));
    QCOMPARE(reply.header("Cache-Control"), std::string("no-store"));
    QVERIFY(reply.header("Set-Cookie").empty());
    if (status == 401) {
        QVERIFY(reply.header("WWW-Authenticate").starts_with("Bearer realm=\"dashboard\""));
        QVERIFY(reply.body.find("total-reports") == std::string::npos);
        QVERIFY(reply.body.find("1.0.3") == std::string::npos);
        if (!json) {
            QVERIFY(
                reply.body.find("<form method=\"post\" action=\"/dashboard/sign-in\">") != std::string::npos);
            QVERIFY(reply.body.find("<script") == std::string::npos);
            QVERIFY(reply.body.find("id=\"sign-out\"") == std::string::npos);
            QCOMPARE(reply.body.find("id=\"message\"") != std::string::npos, !authorization.isEmpty());
        }
        return;
    }
    if (json) {
        QVERIFY(QJsonDocument::fromJson(QByteArray::fromStdString(reply.body)).isObject());
    } else {
        QVERIFY(reply.body.find("Active installations by version") != std::string::npos);
        // A script sends its token with each request: there is no session to end.
        QVERIFY(reply.body.find("id=\"sign-out\"") == std::string::npos);
    }
}

void DashboardTest::signIn_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("headers"); // "Name: value" lines; PORT stands for the server's port
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QByteArray>("from");

    const QByteArray form = QByteArray::fromStdString(tokenForm(Token));
    const QByteArray urlencoded = "application/x-www-form-urlencoded";
    QTest::newRow("right") << form << urlencoded << QByteArray() << 303 << false << QByteArray();
    QTest::newRow("pasted-with-line-end") << QByteArray::fromStdString(tokenForm(Token + "\r\n"))
                                          << urlencoded << QByteArray() << 303 << false << QByteArray();
    QTest::newRow("among-other-fields")
        << "go=1&" + form + "&x=" << urlencoded << QByteArray() << 303 << false << QByteArray();
    QTest::newRow("same-origin") << form << urlencoded << QByteArray("Origin: http://127.0.0.1:PORT") << 303
                                 << false << QByteArray();
    QTest::newRow("same-referer") << form << urlencoded
                                  << QByteArray("Referer: http://127.0.0.1:PORT/dashboard") << 303 << false
                                  << QByteArray();
    QTest::newRow("behind-tls-proxy")
        << form << urlencoded << QByteArray("X-Forwarded-Proto: https") << 303 << true << QByteArray();
    QTest::newRow("wrong") << QByteArray("token=k7Qe2-vendor-dashboard-token-93Zy") << urlencoded
                           << QByteArray() << 401 << false << QByteArray("127.0.3.1");
    QTest::newRow("no-token-field") << QByteArray("tok=") + Token << urlencoded << QByteArray() << 401
                                    << false << QByteArray("127.0.3.2");
    QTest::newRow("token-twice") << form + "&" + form << urlencoded << QByteArray() << 401 << false
                                 << QByteArray("127.0.3.3");
    QTest::newRow("not-a-form") << QByteArray("{\"token\":\"") + Token + "\"}"
                                << QByteArray("application/json") << QByteArray() << 401 << false
                                << QByteArray("127.0.3.4");
    QTest::newRow("other-origin") << form << urlencoded << QByteArray("Origin: https://attacker.example")
                                  << 403 << false << QByteArray();
    QTest::newRow("null-origin") << form << urlencoded << QByteArray("Origin: null") << 403 << false
                                 << QByteArray();
    QTest::newRow("other-port") << form << urlencoded << QByteArray("Origin: http://127.0.0.1:1") << 403
                                << false << QByteArray();
    QTest::newRow("other-referer") << form << urlencoded
                                   << QByteArray("Referer: https://attacker.example/dashboard") << 403
                                   << false << QByteArray();
    QTest::newRow("origin-decides-over-referer")
        << form << urlencoded
        << QByteArray("Origin: https://attacker.example\nReferer: http://127.0.0.1:PORT/dashboard") << 403
        << false << QByteArray();
}

// The sign-in form's POST: a session cookie with its attributes for the token, nothing else.
void DashboardTest::signIn()
{
    QFETCH(QByteArray, form);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(bool, secure);
    QFETCH(QByteArray, from);

    httplib::Headers sent;
    for (const QByteArray& line : headers.split('\n')) {
        if (const qsizetype colon = line.indexOf(": "); colon > 0) {
            sent.emplace(line.left(colon).toStdString(),
                line.mid(colon + 2).replace("PORT", QByteArray::number(server.port())).toStdString());
        }
    }
    const Reply reply = post(server.port(), "/dashboard/sign-in", form.toStdString(), sent,
        from.toStdString(), contentType.toStdString());
    QCOMPARE(reply.status, status);
    const std::string id = sessionOf(reply);
    if (status != 303) {
        QVERIFY(reply.header("Set-Cookie").empty());
        QVERIFY(reply.body.find("total-reports") == std::string::npos);
        return;
    }
    QCOMPARE(reply.header("Location"), std::string("/dashboard"));
    QVERIFY2(
        QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(QString::fromStdString(id)).hasMatch(),
        id.c_str());
    QCOMPARE(reply.header("Set-Cookie"),
        "orbisnap_dashboard=" + id + "; Path=/dashboard; Max-Age=43200; HttpOnly; SameSite=Strict"
            + (secure ? "; Secure" : ""));
    const Reply page = get(server.port(), "/dashboard", withSession(id));
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.find("id=\"total-reports\"") != std::string::npos);
    QVERIFY(page.body.find("<form method=\"post\" action=\"/dashboard/sign-out\"") != std::string::npos);
    QCOMPARE(page.header("Cache-Control"), std::string("no-store"));
    QVERIFY(page.header("Content-Security-Policy").find("frame-ancestors 'none'") != std::string::npos);
}

// A session lasts until its sign-out, which ends it alone; nothing a GET sends signs in or out.
void DashboardTest::session()
{
    const std::string first = sessionOf(post(server.port(), "/dashboard/sign-in", tokenForm(Token)));
    const std::string second = sessionOf(post(server.port(), "/dashboard/sign-in", tokenForm(Token)));
    QVERIFY(!first.empty());
    QVERIFY(!second.empty());
    QVERIFY(first != second);

    const Reply getSignIn = get(server.port(), "/dashboard/sign-in?" + tokenForm(Token));
    QCOMPARE(getSignIn.status, 404);
    QVERIFY(getSignIn.header("Set-Cookie").empty());
    QCOMPARE(get(server.port(), "/dashboard?" + tokenForm(Token)).status, 401);
    QCOMPARE(get(server.port(), "/dashboard/sign-out", withSession(first)).status, 404);
    QCOMPARE(get(server.port(), "/dashboard", withSession(first)).status, 200);

    // A sign-out from another site ends nothing.
    QCOMPARE(post(server.port(), "/dashboard/sign-out", {},
                 { { "Cookie", "orbisnap_dashboard=" + first }, { "Origin", "https://attacker.example" } })
                 .status,
        403);
    QCOMPARE(get(server.port(), "/dashboard", withSession(first)).status, 200);

    const Reply out = post(server.port(), "/dashboard/sign-out", {}, withSession(first));
    QCOMPARE(out.status, 303);
    QCOMPARE(out.header("Location"), std::string("/dashboard"));
    QCOMPARE(out.header("Set-Cookie"),
        std::string("orbisnap_dashboard=; Path=/dashboard; Max-Age=0; HttpOnly; SameSite=Strict"));
    QCOMPARE(get(server.port(), "/dashboard", withSession(first)).status, 401);
    QCOMPARE(get(server.port(), "/dashboard", withSession(second)).status, 200);

    // Ids the server did not give: unknown, cut short, or the other session's with a change.
    std::string changed = second;
    changed[5] = changed[5] == 'a' ? 'b' : 'a';
    for (const std::string& id :
        { std::string("0"), second.substr(0, 63), second + "0", changed, std::string() }) {
        QCOMPARE(get(server.port(), "/dashboard", withSession(id)).status, 401);
    }
    // The cookie is for the page, not for the scripts' JSON.
    QCOMPARE(get(server.port(), "/dashboard.json", withSession(second)).status, 401);
}

// Wrong tokens, in the form or the header, are answered after a second; the sixth within a
// minute from one address is refused, even with the right token; other addresses go on.
void DashboardTest::wrongTriesPerAddress()
{
    const std::string from = "127.0.4.1";
    QElapsedTimer slow;
    slow.start();
    QCOMPARE(post(server.port(), "/dashboard/sign-in", "token=wrong-guess-0000000000", {}, from).status, 401);
    QVERIFY2(slow.elapsed() >= 1000, qPrintable(QString::number(slow.elapsed())));
    for (int i = 1; i < 5; ++i) {
        const Reply reply = i % 2
            ? get(server.port(), "/dashboard.json", { { "Authorization", "Bearer wrong-guess" } }, from)
            : post(server.port(), "/dashboard/sign-in", "token=wrong-guess", {}, from);
        QCOMPARE(reply.status, 401);
    }
    const Reply refused = post(server.port(), "/dashboard/sign-in", tokenForm(Token), {}, from);
    QCOMPARE(refused.status, 429);
    QCOMPARE(refused.header("Retry-After"), std::string("60"));
    QVERIFY(refused.header("Set-Cookie").empty());
    QCOMPARE(get(server.port(), "/dashboard.json", bearer(Token), from).status, 429);
    QCOMPARE(get(server.port(), "/dashboard", bearer(Token), from).status, 429);
    QCOMPARE(get(server.port(), "/dashboard.json", bearer(Token), "127.0.4.2").status, 200);
    QCOMPARE(post(server.port(), "/dashboard/sign-in", tokenForm(Token), {}, "127.0.4.2").status, 303);

    // Logged once a minute at most, however many there were (output() waits for what the
    // server wrote on either pipe).
    QTRY_VERIFY((server.output(), server.errors().contains("wrong dashboard token(s)")));
    const qsizetype lines = server.errors().count("wrong dashboard token(s)");
    QVERIFY2(lines >= 1 && lines <= 1 + sinceStart.elapsed() / 60000, server.errors().constData());
}

// Reached over https (--public-base), the cookie is Secure and that origin is the server's own.
void DashboardTest::secureCookieForHttpsBase()
{
    VendorServerProcess behindTls;
    QVERIFY2(behindTls.startOn(path(QStringLiteral("releases")),
                 { QStringLiteral("--dashboard-token"), path(QStringLiteral("token")),
                     QStringLiteral("--public-base"), QStringLiteral("https://updates.example.com/orbisnap"),
                     QStringLiteral("--reports"), path(QStringLiteral("tls.sqlite")) }),
        behindTls.errors().constData());
    const Reply reply = post(behindTls.port(), "/dashboard/sign-in", tokenForm(Token),
        { { "Origin", "https://updates.example.com" } });
    QCOMPARE(reply.status, 303);
    QVERIFY2(reply.header("Set-Cookie").ends_with("; HttpOnly; SameSite=Strict; Secure"),
        reply.header("Set-Cookie").c_str());
    QCOMPARE(post(behindTls.port(), "/dashboard/sign-in", tokenForm(Token),
                 { { "Origin", "https://updates.example.com.attacker.example" } })
                 .status,
        403);
    QCOMPARE(post(behindTls.port(), "/dashboard/sign-out", {},
                 { { "Referer", "https://updates.example.com/dashboard" } })
                 .header("Set-Cookie"),
        std::string("orbisnap_dashboard=; Path=/dashboard; Max-Age=0; HttpOnly; SameSite=Strict; Secure"));
}

void DashboardTest::withoutTokenOptionUnknown()
{
    QTemporaryDir other;
    QVERIFY(makeTree(other.filePath(QStringLiteral("releases")), { { "1.0/a.txt", "a" } }));
    VendorServerProcess plain;
    QVERIFY2(plain.startOn(other.filePath(QStringLiteral("releases"))), plain.errors().constData());
    QVERIFY(!plain.output().contains("dashboard at"));
    for (const char* target : { "/dashboard", "/dashboard.json" }) {
        const Reply reply = get(plain.port(), target, bearer(Token));
        QCOMPARE(reply.status, 404);
        QCOMPARE(reply.body, get(plain.port(), "/no-such-path").body);
    }
    for (const char* target : { "/dashboard/sign-in", "/dashboard/sign-out" }) {
        const Reply reply = post(plain.port(), target, tokenForm(Token));
        QCOMPARE(reply.status, 404);
        QVERIFY(reply.header("Set-Cookie").empty());
    }
}

void DashboardTest::figures()
{
    const Reply reply = get(server.port(), "/dashboard.json", bearer(Token));
    QCOMPARE(reply.status, 200);
    const QJsonObject figures = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body)).object();
    const QJsonArray days = figures.value(QStringLiteral("days")).toArray();
    QCOMPARE(days.size(), 30);
    const auto index = [&](int daysAgo) {
        for (const Line& line : History) {
            if (line.daysAgo == daysAgo) {
                return int(days.toVariantList().indexOf(dayOf(line)));
            }
        }
        return -1;
    };
    QCOMPARE(index(40), -1); // outside the window
    QCOMPARE(figures.value(QStringLiteral("newest")).toString(), QStringLiteral("1.0.4"));

    // Installations per day and version: a counted once on the day it updated, under 1.0.4.
    const QJsonArray versions = figures.value(QStringLiteral("activeByVersion")).toArray();
    const QJsonArray on103 = countsOf(versions, "installations", "version", QStringLiteral("1.0.3"));
    const QJsonArray on104 = countsOf(versions, "installations", "version", QStringLiteral("1.0.4"));
    const QJsonArray onLocal = countsOf(versions, "installations", "version", QStringLiteral("9.9-local"));
    QCOMPARE(on103.size(), 30);
    const QList<std::tuple<int, int, int, int>> expected = {
        { 20, 2, 0, 0 }, { 10, 3, 2, 0 }, { 9, 0, 1, 0 }, { 2, 1, 1, 1 }, { 0, 0, 0, 0 } };
    for (const auto& [daysAgo, n103, n104, nLocal] : expected) {
        const int day = daysAgo == 0 ? 29 : index(daysAgo);
        QVERIFY(day >= 0);
        QCOMPARE(on103.at(day).toInt(), n103);
        QCOMPARE(on104.at(day).toInt(), n104);
        QCOMPARE(onLocal.at(day).toInt(), nLocal);
        QCOMPARE(figures.value(QStringLiteral("activePerDay")).toArray().at(day).toInt(), n103 + n104 + nLocal);
    }
    for (const QJsonValue& series : versions) {
        QCOMPARE(series.toObject().value(QStringLiteral("newest")).toBool(),
            series.toObject().value(QStringLiteral("version")) == QStringLiteral("1.0.4"));
    }

    // Active in the window: a, d (1.0.4), b, f, g, h (1.0.3), e (9.9-local); c was last seen
    // before the window.
    const QJsonObject share = figures.value(QStringLiteral("newestShare")).toObject();
    QCOMPARE(share.value(QStringLiteral("installations")).toInt(), 2);
    QCOMPARE(share.value(QStringLiteral("active")).toInt(), 7);
    QCOMPARE(share.value(QStringLiteral("share")).toDouble(), 2.0 / 7.0);

    // 1.0.4 came 10 days ago, on a and d of the five active that day (f, g, h on 1.0.3), and
    // had half the next day (d alone); a version that is no release never counts as newer.
    const QJsonArray releases = figures.value(QStringLiteral("releases")).toArray();
    QCOMPARE(releases.size(), 2);
    QCOMPARE(releases.at(0).toObject().value(QStringLiteral("version")).toString(), QStringLiteral("1.0.3"));
    QCOMPARE(releases.at(0).toObject().value(QStringLiteral("firstDay")).toString(), dayOf(History.front()));
    QCOMPARE(releases.at(0).toObject().value(QStringLiteral("daysToHalf")).toInt(-1), 0);
    QCOMPARE(releases.at(1).toObject().value(QStringLiteral("firstDay")).toString(), dayOf(History.at(3)));
    QCOMPARE(releases.at(1).toObject().value(QStringLiteral("daysToHalf")).toInt(-1), 1);

    const QJsonArray states = figures.value(QStringLiteral("reportsByState")).toArray();
    QCOMPARE(states.size(), 3);
    QCOMPARE(countsOf(states, "reports", "state", 1).at(index(10)).toInt(), 4);
    QCOMPARE(countsOf(states, "reports", "state", 2).at(index(10)).toInt(), 1);
    QCOMPARE(countsOf(states, "reports", "state", 3).at(index(10)).toInt(), 1);
    QCOMPARE(countsOf(states, "reports", "state", 1).at(index(2)).toInt(), 3);

    const QJsonObject totals = figures.value(QStringLiteral("totals")).toObject();
    QCOMPARE(totals.value(QStringLiteral("reports")).toInt(), int(History.size()));
    QCOMPARE(totals.value(QStringLiteral("reportsInWindow")).toInt(), int(History.size()) - 1);
    QCOMPARE(totals.value(QStringLiteral("installations")).toInt(), 8);
    QCOMPARE(totals.value(QStringLiteral("activeInWindow")).toInt(), 7);
    QCOMPARE(figures.value(QStringLiteral("lastReport")).toString(),
        QDateTime::fromSecsSinceEpoch(timeOf(History.back()), Qt::UTC).toString(Qt::ISODate));
}

// Versions come from clients: in the page they are text, never markup.
void DashboardTest::pageShowsFiguresEscaped()
{
    const QByteArray hostile = "<script>alert(1)</script>\"'&<b>";
    const RawReply stored = rawRequest(server.port(), "POST", "/prod/Orbisnap/useReport?",
        "mac=m&computerName=c&userName=u&useState=4&version=" + hostile.toPercentEncoding(),
        "application/x-www-form-urlencoded");
    QCOMPARE(stored.status, 200);
    const Reply page = get(server.port(), "/dashboard", bearer(Token));
    QCOMPARE(page.status, 200);
    const QByteArray html = QByteArray::fromStdString(page.body);
    QVERIFY(!html.contains("<script"));
    QVERIFY(!html.contains("<b>"));
    QVERIFY(html.contains("&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp;&lt;b&gt;"));
    QVERIFY(html.contains("id=\"newest-release\">1.0.4<"));
    QVERIFY(html.contains("id=\"total-reports\">14<"));

    const QJsonObject figures
        = QJsonDocument::fromJson(QByteArray::fromStdString(get(server.port(), "/dashboard.json", bearer(Token)).body))
              .object();
    QCOMPARE(countsOf(figures.value(QStringLiteral("activeByVersion")).toArray(), "installations", "version",
                 QString::fromUtf8(hostile))
                 .last()
                 .toInt(),
        1);
}

// The earlier file is read once: a restart imports nothing again, also after the folder moved;
// lines appended since are taken; another file of the same name is not; the file stays as it was.
void DashboardTest::importOnce()
{
    QTemporaryDir own;
    QString site = own.filePath(QStringLiteral("site"));
    QVERIFY(makeTree(site + QStringLiteral("/releases"), { { "1.0.4/a.txt", "4" } }));
    QByteArray lines = jsonLine(History.at(1)) + jsonLine(History.at(2));
    QVERIFY(writeFile(site + QStringLiteral("/reports.jsonl"), lines));
    struct Stage
    {
        const char* name;
        bool imports;
        int reports;
    };
    const QList<Stage> stages = { { "first", true, 2 }, { "again", false, 2 }, { "appended", true, 3 },
        { "moved", false, 3 }, { "other-file", false, 3 } };
    for (const Stage& stage : stages) {
        const QByteArray name = stage.name;
        if (name == "appended") {
            // One whole line and one still being written: only the whole one is taken.
            lines += jsonLine(History.at(3)) + "{\"time\":";
            QVERIFY(writeFile(site + QStringLiteral("/reports.jsonl"), lines));
        } else if (name == "moved") {
            QVERIFY(QDir().rename(site, own.filePath(QStringLiteral("moved"))));
            site = own.filePath(QStringLiteral("moved"));
        } else if (name == "other-file") {
            QVERIFY(writeFile(site + QStringLiteral("/other.jsonl"), jsonLine(History.at(5)) + lines));
            QVERIFY(QFile::rename(site + QStringLiteral("/reports.jsonl"), site + QStringLiteral("/kept.jsonl")));
            QVERIFY(QFile::rename(site + QStringLiteral("/other.jsonl"), site + QStringLiteral("/reports.jsonl")));
        }
        VendorServerProcess started;
        QVERIFY2(started.startOn(site + QStringLiteral("/releases")), started.errors().constData());
        QVERIFY2(started.output().contains("imported") == stage.imports, name.constData());
        QCOMPARE(started.errors().contains("is not the file imported before"), name == "other-file");
        const QString database = site + QStringLiteral("/reports.sqlite");
        const QList<StoredReport> reports = storedReports(database);
        QCOMPARE(reports.size(), stage.reports);
        QCOMPARE(reports.first().userName, expectedPseudonym(database, "userName", QStringLiteral("user-a")));
        QCOMPARE(reports.first().time, timeOf(History.at(1)));
        QCOMPARE(reports.last().version, QString::fromLatin1(History.at(stage.reports).version));
    }
    QCOMPARE(readFile(site + QStringLiteral("/kept.jsonl")), lines);
}

void DashboardTest::refusedStart_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("secret-readable-by-others") << "chmod-644" << QByteArray("its mode is 0644");
    QTest::newRow("secret-short") << "truncate" << QByteArray("holds 31 bytes, not 32");
    QTest::newRow("secret-missing") << "remove" << QByteArray("is missing; restore it");
    QTest::newRow("secret-replaced") << "replace" << QByteArray("were made with another secret");
    QTest::newRow("secret-symlink") << "symlink" << QByteArray("it is a symlink");
    QTest::newRow("token-short") << "short-token" << QByteArray("give one of at least 16");
    QTest::newRow("token-missing") << "no-token" << QByteArray("cannot read dashboard token file");
    QTest::newRow("not-a-database") << "garbage" << QByteArray("file is not a database");
}

void DashboardTest::refusedStart()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, message);

    QTemporaryDir own;
    QVERIFY(makeTree(own.filePath(QStringLiteral("releases")), { { "1.0.4/a.txt", "4" } }));
    const QString database = own.filePath(QStringLiteral("reports.sqlite"));
    const QString secret = database + QStringLiteral(".secret");
    {
        // A database with one report, and its secret, as a first start leaves them.
        VendorServerProcess first;
        QVERIFY2(first.startOn(own.filePath(QStringLiteral("releases"))), first.errors().constData());
        QCOMPARE(rawRequest(first.port(), "POST", "/prod/Orbisnap/useReport?",
                     "mac=m&version=1.0.4&computerName=c&userName=u&useState=1", "application/x-www-form-urlencoded")
                     .status,
            200);
    }
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(secret).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, 0600u);
    const QByteArray before = readFile(secret);
    QCOMPARE(before.size(), 32);

    QStringList more;
    QString token = own.filePath(QStringLiteral("token"));
    QVERIFY(writeFile(token, Token));
    if (fault == QStringLiteral("chmod-644")) {
        QVERIFY(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    } else if (fault == QStringLiteral("truncate")) {
        QVERIFY(QFile::resize(secret, 31));
    } else if (fault == QStringLiteral("remove")) {
        QVERIFY(QFile::remove(secret));
    } else if (fault == QStringLiteral("replace")) {
        QVERIFY(QFile::remove(secret));
        QVERIFY(writeFile(secret, QByteArray(32, 'z')));
        QVERIFY(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner));
    } else if (fault == QStringLiteral("symlink")) {
        QVERIFY(QFile::rename(secret, own.filePath(QStringLiteral("moved.secret"))));
        QVERIFY(QFile::link(own.filePath(QStringLiteral("moved.secret")), secret));
    } else if (fault == QStringLiteral("short-token")) {
        QVERIFY(writeFile(token, "  short-token \n"));
    } else if (fault == QStringLiteral("no-token")) {
        token = own.filePath(QStringLiteral("no-such-token"));
    } else if (fault == QStringLiteral("garbage")) {
        QVERIFY(QFile::remove(database));
        QFile::remove(database + QStringLiteral("-wal"));
        QFile::remove(database + QStringLiteral("-shm"));
        QVERIFY(writeFile(database, QByteArray(8192, 'x')));
    }
    VendorServerProcess refused;
    QVERIFY(!refused.startOn(own.filePath(QStringLiteral("releases")), { QStringLiteral("--dashboard-token"), token }));
    QVERIFY(refused.waitForExit());
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY2(refused.errors().contains(message), refused.errors().constData());
    // Nothing made anew in place of what was refused.
    if (fault == QStringLiteral("remove")) {
        QVERIFY(!QFile::exists(secret));
    } else if (fault != QStringLiteral("replace") && fault != QStringLiteral("symlink")) {
        QCOMPARE(readFile(secret).left(31), before.left(31));
    }
}

QTEST_GUILESS_MAIN(DashboardTest)
#include "tst_dashboard.moc"
