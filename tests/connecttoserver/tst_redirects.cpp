// Redirections over connections the server keeps open: every hop is asked for once, a
// redirected form POST arrives once with its body and its answer counts as success, and a
// usage report that the server moved is stored exactly once.

#include "networkaccessblock.h"
#include "testhttpserver.h"
#include "uploadmanager.h"

#include <QTest>

#include <json/value.h>

#include <atomic>

class RedirectsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void usageReportMoved_data();
    void usageReportMoved();
    void getChain_data();
    void getChain();

private:
    TestHttpServer server;
    std::mutex mutex;
    std::vector<std::string> stored; // usage reports, as the final address received them
    int moveStatus = 307;
};

void RedirectsTest::initTestCase()
{
    // Connections stay open after every answer (the server's default): the case Qt 6.4 gets
    // wrong when it follows a redirection itself.
    server.http().Post("/prod/Orbisnap/useReport", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(mutex);
        response.set_redirect("/reports/store", moveStatus);
    });
    server.http().Post("/reports/store", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        stored.push_back(request.body);
        response.set_content("{\"stored\":" + std::to_string(stored.size()) + "}", "application/json");
    });
    server.http().Get(R"(/chain/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        const int left = std::stoi(request.matches[1]);
        if (left == 0) {
            response.set_content("end of the chain", "application/octet-stream");
            return;
        }
        static const int statuses[] = { 301, 302, 303, 307, 308 };
        response.set_redirect("/chain/" + std::to_string(left - 1), statuses[left % 5]);
        response.set_content("<html>moved</html>", "text/html");
    });
    QVERIFY2(server.startAtServerBaseUrl(), "the port of ServerBaseUrl is taken");
}

void RedirectsTest::init()
{
    std::lock_guard lock(mutex);
    stored.clear();
}

void RedirectsTest::usageReportMoved_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("307") << 307;
    QTest::newRow("308") << 308;
}

void RedirectsTest::usageReportMoved()
{
    QFETCH(int, status);
    {
        std::lock_guard lock(mutex);
        moveStatus = status;
    }
    const std::size_t before = server.requests().size();
    for (int round = 1; round <= 3; ++round) {
        Json::Value root;
        QVERIFY(UploadManager::instance()->useReport(QStringLiteral("00:11"), QStringLiteral("1.0.4"),
            QStringLiteral("pc"), QStringLiteral("user"), 2, root));
        QCOMPARE(root["stored"].asInt(), round);
    }
    std::lock_guard lock(mutex);
    QCOMPARE(stored.size(), std::size_t(3));
    for (const std::string& body : stored) {
        QCOMPARE(QByteArray::fromStdString(body),
            QByteArray("mac=00%3A11&version=1.0.4&computerName=pc&userName=user&useState=2"));
    }
    // Three reports, two requests each: the first address once, the new one once.
    QCOMPARE(server.requests().size() - before, std::size_t(6));
}

void RedirectsTest::getChain_data()
{
    QTest::addColumn<int>("hops");
    QTest::newRow("one-hop") << 1;
    QTest::newRow("five-hops-every-status") << 5;
    QTest::newRow("ten-hops") << 10;
}

void RedirectsTest::getChain()
{
    QFETCH(int, hops);
    const std::size_t before = server.requests().size();
    QByteArray data;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^url: ")));
    QVERIFY(UploadManager::instance()->downloadFile(
        (server.baseUrl() + QStringLiteral("/chain/%1").arg(hops)).toUtf8().constData(), data));
    QCOMPARE(data, QByteArray("end of the chain"));
    const std::vector<SeenRequest> seen = server.requests();
    QStringList paths;
    for (std::size_t i = before; i < seen.size(); ++i) {
        paths.append(QString::fromStdString(seen[i].path));
    }
    QStringList expected;
    for (int left = hops; left >= 0; --left) {
        expected.append(QStringLiteral("/chain/%1").arg(left));
    }
    QCOMPARE(paths, expected);
}

QTEST_GUILESS_MAIN(RedirectsTest)
#include "tst_redirects.moc"
