// The dashboard as the vendor sees it: a real vendor-server at the compiled-in address filled
// through the host library's useReport, the page opened in headless Chromium with the token in
// the Authorization header, its figures read from the DOM and a screenshot checked.

#include "headlessbrowser.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include "serverconfig.h"
#include "uploadmanager.h"

#include <json/value.h>

#include <QColor>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
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

} // namespace

class DashboardBrowserTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pageInChromium();

private:
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
    QVERIFY2(browser.call(QStringLiteral("Network.setExtraHTTPHeaders"),
                 { { QStringLiteral("headers"),
                     QJsonObject { { QStringLiteral("Authorization"), QString::fromLatin1("Bearer " + Token) } } } },
                 result),
        qPrintable(browser.error()));
    QVERIFY2(browser.call(QStringLiteral("Page.enable"), {}, result), qPrintable(browser.error()));
    const QString url = QString::fromLatin1(ServerBaseUrl) + QStringLiteral("/dashboard");
    QVERIFY2(browser.call(QStringLiteral("Page.navigate"), { { QStringLiteral("url"), url } }, result),
        qPrintable(browser.error()));
    QVERIFY2(!result.contains(QStringLiteral("errorText")), qPrintable(result.value(QStringLiteral("errorText")).toString()));
    QVERIFY2(browser.waitForEvent(QStringLiteral("Page.loadEventFired"), 20000), qPrintable(browser.error()));

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
}

QTEST_GUILESS_MAIN(DashboardBrowserTest)
#include "tst_dashboardbrowser.moc"
