// The dashboard as the vendor sees it: a real vendor-server at the compiled-in address filled
// through the host library's useReport, opened in headless Chromium, signed in to through the
// page's form (a wrong token, then the right one), the session cookie read back through
// DevTools, the figures read from the DOM and a screenshot checked; then signed out, and the
// sign-in refused once the address has had its wrong tries for the minute.

#include "headlessbrowser.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include "serverconfig.h"
#include "uploadmanager.h"

#include <json/value.h>

#include <QColor>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QByteArray Token = "browser-test-token-5f3a9c1e77d2";
constexpr int Width = 1000;
constexpr int Height = 1400;

// What the DOM shows, gathered in one evaluation.
const char* const ReadFigures = R"js(JSON.stringify({
  title: document.title,
  tiles: Object.fromEntries([...document.querySelectorAll('.tile .value')].map(e => [e.id, e.textContent])),
  releases: [...document.querySelectorAll('#releases tr')].slice(1).map(r => [...r.cells].map(c => c.textContent)),
  versions: [...document.querySelectorAll('#active-by-version tr:first-child th')].map(c => c.textContent),
  today: [...document.querySelectorAll('#active-by-version tr:last-child td')].map(c => c.textContent),
  states: [...document.querySelectorAll('#reports-by-state tr:last-child td')].map(c => c.textContent),
  legend: [...document.querySelectorAll('.legend li')].map(e => e.textContent),
  newestFill: document.querySelector('polygon.newest')?.getAttribute('fill') ?? ''
}))js";

// Types text into the sign-in form's field and sends the form as the browser does on Enter.
QString submitToken(const QByteArray& token)
{
    return QStringLiteral(
        "document.getElementById('token').value = %1; document.querySelector('form').requestSubmit();")
        .arg(QString::fromLatin1(
            QJsonDocument(QJsonArray { QString::fromLatin1(token) }).toJson(QJsonDocument::Compact))
                 .mid(1)
                 .chopped(1));
}

// The status of the page shown, its title and the sign-in page's message.
const char* const ReadPage = R"js(JSON.stringify({
  status: performance.getEntriesByType('navigation')[0].responseStatus,
  title: document.title,
  message: document.getElementById('message')?.textContent ?? '',
  tiles: document.querySelectorAll('.tile').length,
  signIn: !!document.getElementById('sign-in'),
  signOut: !!document.getElementById('sign-out'),
  cookie: document.cookie
}))js";

} // namespace

class DashboardBrowserTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pageInChromium();

private:
    // Runs script in the page, waits for the page it leads to and reads that page.
    QJsonObject follow(HeadlessBrowser& browser, const QString& script);
    QJsonObject evaluate(HeadlessBrowser& browser, const QString& expression);
    QJsonObject sessionCookie(HeadlessBrowser& browser);

    QTemporaryDir dir;
    VendorServerProcess server;
};

void DashboardBrowserTest::initTestCase()
{
    if (HeadlessBrowser::executable().isEmpty()) {
        QSKIP("no chromium on PATH (scripts/setup.sh installs Debian's chromium); the page is not shown in a browser");
    }
    // A browser that ends early must fail the test, not kill it on the next write.
    std::signal(SIGPIPE, SIG_IGN);
    QVERIFY(dir.isValid());
    QVERIFY(makeTree(dir.filePath(QStringLiteral("releases")), { { "1.0.3/a.txt", "3" }, { "1.0.4/a.txt", "4" } }));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("token")), Token));
    QDeadlineTimer deadline(30000);
    while (!server.start({ QStringLiteral("--releases"), dir.filePath(QStringLiteral("releases")),
        QStringLiteral("--dashboard-token"), dir.filePath(QStringLiteral("token")) })) {
        QVERIFY2(server.errors().contains("the port is taken") && !deadline.hasExpired(), server.errors().constData());
        QTest::qWait(500);
    }
}

void DashboardBrowserTest::pageInChromium()
{
    // Five installations; u3 updates during the test and counts once, under 1.0.4.
    const QList<std::tuple<const char*, const char*, int>> reports = { { "u1", "1.0.3", 1 }, { "u2", "1.0.3", 1 },
        { "u3", "1.0.3", 1 }, { "u3", "1.0.4", 2 }, { "u4", "1.0.4", 2 }, { "u5", "1.0.4", 3 } };
    for (const auto& [user, version, state] : reports) {
        Json::Value answer;
        QVERIFY(UploadManager::instance()->useReport(QStringLiteral("00:1A:2B:3C:4D:5E"), QString::fromLatin1(version),
            QStringLiteral("DESK-1"), QString::fromLatin1(user), std::uint8_t(state), answer));
        QVERIFY(answer["ok"].asBool());
    }

    HeadlessBrowser browser;
    QVERIFY2(browser.start(Width, Height), qPrintable(browser.error()));
    QJsonObject result;
    QVERIFY2(browser.call(QStringLiteral("Network.enable"), {}, result), qPrintable(browser.error()));
    QVERIFY2(browser.call(QStringLiteral("Page.enable"), {}, result), qPrintable(browser.error()));
    const QString url = QString::fromLatin1(ServerBaseUrl) + QStringLiteral("/dashboard");
    QVERIFY2(browser.call(QStringLiteral("Page.navigate"), { { QStringLiteral("url"), url } }, result),
        qPrintable(browser.error()));
    QVERIFY2(!result.contains(QStringLiteral("errorText")), qPrintable(result.value(QStringLiteral("errorText")).toString()));
    QVERIFY2(browser.waitForEvent(QStringLiteral("Page.loadEventFired"), 20000), qPrintable(browser.error()));

    // Without a session: the sign-in page, no figures.
    QJsonObject page = evaluate(browser, QString::fromLatin1(ReadPage));
    QCOMPARE(page.value(QStringLiteral("status")).toInt(), 401);
    QCOMPARE(page.value(QStringLiteral("title")).toString(), QStringLiteral("Orbisnap usage: sign in"));
    QCOMPARE(page.value(QStringLiteral("tiles")).toInt(), 0);
    QVERIFY(page.value(QStringLiteral("signIn")).toBool());

    page = follow(browser, submitToken("browser-test-token-5f3a9c1e77d3"));
    QCOMPARE(page.value(QStringLiteral("status")).toInt(), 401);
    QCOMPARE(page.value(QStringLiteral("message")).toString(),
        QStringLiteral("That is not the dashboard's token."));
    QCOMPARE(page.value(QStringLiteral("tiles")).toInt(), 0);
    QVERIFY(sessionCookie(browser).isEmpty());

    page = follow(browser, submitToken(Token));
    QCOMPARE(page.value(QStringLiteral("status")).toInt(), 200);
    QCOMPARE(page.value(QStringLiteral("title")).toString(), QStringLiteral("Orbisnap usage"));
    QVERIFY(page.value(QStringLiteral("signOut")).toBool());
    // HttpOnly: the page's own scripts cannot read the session.
    QCOMPARE(page.value(QStringLiteral("cookie")).toString(), QString());
    const QJsonObject cookie = sessionCookie(browser);
    QVERIFY2(!cookie.isEmpty(), "no session cookie after the sign-in");
    QVERIFY(cookie.value(QStringLiteral("httpOnly")).toBool());
    QCOMPARE(cookie.value(QStringLiteral("sameSite")).toString(), QStringLiteral("Strict"));
    QCOMPARE(cookie.value(QStringLiteral("path")).toString(), QStringLiteral("/dashboard"));
    QCOMPARE(cookie.value(QStringLiteral("secure")).toBool(), false); // plain http
    QVERIFY(!cookie.value(QStringLiteral("session")).toBool());
    const double lifetime
        = cookie.value(QStringLiteral("expires")).toDouble() - double(QDateTime::currentSecsSinceEpoch());
    QVERIFY2(lifetime > 12 * 3600 - 120 && lifetime <= 12 * 3600 + 1, qPrintable(QString::number(lifetime)));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$"))
                .match(cookie.value(QStringLiteral("value")).toString())
                .hasMatch());

    QVERIFY2(browser.call(QStringLiteral("Runtime.evaluate"),
                 { { QStringLiteral("expression"), QString::fromLatin1(ReadFigures) },
                     { QStringLiteral("returnByValue"), true } },
                 result),
        qPrintable(browser.error()));
    const QJsonObject shown = QJsonDocument::fromJson(
        result.value(QStringLiteral("result")).toObject().value(QStringLiteral("value")).toString().toUtf8())
                                  .object();
    QCOMPARE(shown.value(QStringLiteral("title")).toString(), QStringLiteral("Orbisnap usage"));
    const QJsonObject tiles = shown.value(QStringLiteral("tiles")).toObject();
    QCOMPARE(tiles.value(QStringLiteral("newest-release")).toString(), QStringLiteral("1.0.4"));
    QCOMPARE(tiles.value(QStringLiteral("newest-share")).toString(), QStringLiteral("60.0%"));
    QCOMPARE(tiles.value(QStringLiteral("active-installations")).toString(), QStringLiteral("5"));
    QCOMPARE(tiles.value(QStringLiteral("total-installations")).toString(), QStringLiteral("5"));
    QCOMPARE(tiles.value(QStringLiteral("total-reports")).toString(), QStringLiteral("6"));
    QVERIFY(tiles.value(QStringLiteral("last-report")).toString().endsWith(QLatin1Char('Z')));
    // Newest first; both reached half of the active installations on their first day.
    QCOMPARE(shown.value(QStringLiteral("releases")).toArray().at(0).toArray().at(0).toString(), QStringLiteral("1.0.4"));
    QCOMPARE(shown.value(QStringLiteral("releases")).toArray().at(0).toArray().at(2).toString(), QStringLiteral("0"));
    QCOMPARE(shown.value(QStringLiteral("releases")).toArray().at(1).toArray().at(2).toString(), QStringLiteral("0"));
    QCOMPARE(shown.value(QStringLiteral("versions")).toArray(),
        QJsonArray({ QStringLiteral("day"), QStringLiteral("1.0.3"), QStringLiteral("1.0.4"), QStringLiteral("all") }));
    // The last row is today: the day, then 1.0.3, 1.0.4 and all; states 1, 2 and 3.
    QCOMPARE(shown.value(QStringLiteral("today")).toArray().toVariantList().mid(1),
        QVariantList({ QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("5") }));
    QCOMPARE(shown.value(QStringLiteral("states")).toArray().toVariantList().mid(1),
        QVariantList({ QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("1") }));
    QVERIFY(shown.value(QStringLiteral("legend")).toArray().contains(QStringLiteral("1.0.4 (newest)")));
    const QColor newest(shown.value(QStringLiteral("newestFill")).toString());
    QVERIFY(newest.isValid());

    QVERIFY2(browser.call(QStringLiteral("Page.captureScreenshot"), { { QStringLiteral("format"), QStringLiteral("png") } },
                 result),
        qPrintable(browser.error()));
    const QByteArray png = QByteArray::fromBase64(result.value(QStringLiteral("data")).toString().toLatin1());
    const QString kept = QDir(qEnvironmentVariable("ORBISNAP_BUILD_DIR", QDir::tempPath())).filePath(QStringLiteral("dashboard.png"));
    QVERIFY(writeFile(kept, png));
    const QImage image = QImage::fromData(png, "PNG");
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(Width, Height));
    // Not blank: text in the page's ink, and the newest release's area in its own colour.
    qsizetype ink = 0;
    qsizetype highlighted = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            ink += pixel.lightness() < 80;
            highlighted += pixel.rgb() == newest.rgb();
        }
    }
    QVERIFY2(ink > 2000, qPrintable(QStringLiteral("%1 dark pixels in %2").arg(ink).arg(kept)));
    QVERIFY2(highlighted > 300, qPrintable(QStringLiteral("%1 pixels of the newest release in %2").arg(highlighted).arg(kept)));

    // The sign-out button ends the session: the cookie is gone and a reload asks again.
    page = follow(browser, QStringLiteral("document.getElementById('sign-out').click();"));
    QCOMPARE(page.value(QStringLiteral("status")).toInt(), 401);
    QVERIFY(page.value(QStringLiteral("signIn")).toBool());
    QVERIFY(sessionCookie(browser).isEmpty());
    QVERIFY2(browser.call(QStringLiteral("Network.setCookie"),
                 { { QStringLiteral("name"), cookie.value(QStringLiteral("name")) },
                     { QStringLiteral("value"), cookie.value(QStringLiteral("value")) },
                     { QStringLiteral("url"), url } },
                 result),
        qPrintable(browser.error()));
    page = follow(browser, QStringLiteral("location.reload();"));
    QCOMPARE(page.value(QStringLiteral("status")).toInt(), 401);
    QCOMPARE(page.value(QStringLiteral("tiles")).toInt(), 0);
    QVERIFY2(browser.call(QStringLiteral("Network.deleteCookies"),
                 { { QStringLiteral("name"), cookie.value(QStringLiteral("name")) },
                     { QStringLiteral("url"), url } },
                 result),
        qPrintable(browser.error()));

    // One wrong try was made above: four more are answered as wrong, then even the right
    // token is refused for the rest of the minute.
    for (int i = 0; i < 4; ++i) {
        page = follow(browser, submitToken("browser-test-token-wrong-" + QByteArray::number(i)));
        QCOMPARE(page.value(QStringLiteral("status")).toInt(), 401);
    }
    page = follow(browser, submitToken(Token));
    QCOMPARE(page.value(QStringLiteral("status")).toInt(), 429);
    QVERIFY2(
        page.value(QStringLiteral("message")).toString().startsWith(QStringLiteral("Too many wrong tokens")),
        qPrintable(page.value(QStringLiteral("message")).toString()));
    QVERIFY(sessionCookie(browser).isEmpty());
}

QJsonObject DashboardBrowserTest::evaluate(HeadlessBrowser& browser, const QString& expression)
{
    QJsonObject result;
    if (!browser.call(QStringLiteral("Runtime.evaluate"),
            { { QStringLiteral("expression"), expression }, { QStringLiteral("returnByValue"), true } },
            result)) {
        qWarning("%s", qPrintable(browser.error()));
        return {};
    }
    return QJsonDocument::fromJson(
        result.value(QStringLiteral("result")).toObject().value(QStringLiteral("value")).toString().toUtf8())
        .object();
}

QJsonObject DashboardBrowserTest::follow(HeadlessBrowser& browser, const QString& script)
{
    QJsonObject result;
    if (!browser.call(
            QStringLiteral("Runtime.evaluate"), { { QStringLiteral("expression"), script } }, result)
        || !browser.waitForEvent(QStringLiteral("Page.loadEventFired"), 20000)) {
        qWarning("%s", qPrintable(browser.error()));
        return {};
    }
    return evaluate(browser, QString::fromLatin1(ReadPage));
}

QJsonObject DashboardBrowserTest::sessionCookie(HeadlessBrowser& browser)
{
    QJsonObject result;
    if (!browser.call(QStringLiteral("Network.getCookies"),
            { { QStringLiteral("urls"),
                QJsonArray { QString::fromLatin1(ServerBaseUrl) + QStringLiteral("/dashboard") } } },
            result)) {
        qWarning("%s", qPrintable(browser.error()));
        return {};
    }
    for (const QJsonValue& cookie : result.value(QStringLiteral("cookies")).toArray()) {
        if (cookie.toObject().value(QStringLiteral("name")).toString()
            == QStringLiteral("orbisnap_dashboard")) {
            return cookie.toObject();
        }
    }
    return {};
}

QTEST_GUILESS_MAIN(DashboardBrowserTest)
#include "tst_dashboardbrowser.moc"
