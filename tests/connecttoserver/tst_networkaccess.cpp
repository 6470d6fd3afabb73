// Asynchronous requests against a real loopback server: each finished reply calls exactly its
// own request's callback, once, with the last reply's text readable inside it, also when
// requests overlap; replies are released after their callback.

#include "networkaccess.h"
#include "testhttpserver.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTest>

#include <condition_variable>
#include <mutex>

namespace {

struct Record
{
    explicit Record(NetworkAccess* access = nullptr)
        : access(access)
    {
    }
    NetworkAccess* access;
    int calls = 0;
    QString textAtCall;
};

void recordCall(void* userData)
{
    auto* record = static_cast<Record*>(userData);
    ++record->calls;
    record->textAtCall = record->access->lastReplyText();
}

// Holds the handlers of /slow until released (or ten seconds have passed).
class Gate
{
public:
    void wait()
    {
        std::unique_lock lock(mutex);
        opened.wait_for(lock, std::chrono::seconds(10), [this] { return open; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
};

} // namespace

class NetworkAccessTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void completion_data();
    void completion();
    void overlappingRequestsKeepTheirCallbacks();
    void destroyedWithRequestInFlight();

private:
    TestHttpServer server;
    Gate gate;
};

void NetworkAccessTest::initTestCase()
{
    server.http().Get("/text", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string("ab\0cd", 5), "text/plain");
    });
    server.http().Get("/fast", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("fast", "text/plain");
    });
    server.http().Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
        gate.wait();
        response.set_content("slow", "text/plain");
    });
    server.http().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content("not here", "text/plain");
    });
    server.http().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(request.get_header_value("Content-Type") + "|" + request.body, "text/plain");
    });
    QVERIFY(server.start());
}

void NetworkAccessTest::cleanupTestCase()
{
    gate.release();
    server.stop();
}

void NetworkAccessTest::completion_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");

    QTest::newRow("get-whole-body-zero-byte-kept") << "get" << QString::fromLatin1("ab\0cd", 5);
    QTest::newRow("get-query-appended") << "get-query"
                                        << "fast";
    QTest::newRow("post-form") << "post-form"
                               << "application/x-www-form-urlencoded|a=1&b=2";
    QTest::newRow("post-prepared") << "post-prepared"
                                   << "text/x-raw|raw body";
    QTest::newRow("failed-404-still-called") << "get-404"
                                             << "not here";
    QTest::newRow("refused-still-called") << "refused"
                                          << "";
    QTest::newRow("null-callback-updates-text") << "null-callback"
                                                << "fast";
}

void NetworkAccessTest::completion()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);

    NetworkAccess access;
    QCOMPARE(access.lastReplyText(), QString());
    Record record { &access };
    const QString base = server.baseUrl();
    QPointer<QNetworkReply> reply;
    if (kind == "get") {
        reply = access.get(base + "/text", QString(), recordCall, &record);
    } else if (kind == "get-query") {
        reply = access.get(base + "/fa", "st", recordCall, &record);
    } else if (kind == "post-form") {
        reply = access.post(base + "/echo", QStringLiteral("a=1&b=2"), recordCall, &record);
    } else if (kind == "post-prepared") {
        QNetworkRequest request { QUrl(base + "/echo") };
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/x-raw"));
        reply = access.post(request, QByteArray("raw body"), recordCall, &record);
    } else if (kind == "get-404") {
        reply = access.get(base + "/missing", QString(), recordCall, &record);
    } else if (kind == "refused") {
        TestHttpServer gone;
        QVERIFY(gone.start());
        const QString url = gone.baseUrl() + "/x";
        gone.stop();
        reply = access.get(url, QString(), recordCall, &record);
    } else {
        reply = access.get(base + "/fast", QString(), nullptr, &record);
    }
    QVERIFY(reply);
    QVERIFY(!reply->isFinished());

    if (kind == "null-callback") {
        QTRY_COMPARE(access.lastReplyText(), text);
        QCOMPARE(record.calls, 0);
    } else {
        QTRY_COMPARE(record.calls, 1);
        QCOMPARE(record.textAtCall, text);
    }
    // Released after its callback.
    QTRY_VERIFY(reply.isNull());
    QCOMPARE(record.calls, kind == "null-callback" ? 0 : 1);
}

void NetworkAccessTest::overlappingRequestsKeepTheirCallbacks()
{
    NetworkAccess access;
    Record first { &access };
    Record second { &access };
    QPointer<QNetworkReply> slowReply = access.get(server.baseUrl() + "/slow", QString(), recordCall, &first);
    QPointer<QNetworkReply> fastReply
        = access.get(server.baseUrl() + "/fast", QString(), recordCall, &second);

    // The later request finishes first and calls its own callback only.
    QTRY_COMPARE(second.calls, 1);
    QCOMPARE(second.textAtCall, QStringLiteral("fast"));
    QCOMPARE(first.calls, 0);
    QTRY_VERIFY(fastReply.isNull());
    QVERIFY(slowReply);

    gate.release();
    QTRY_COMPARE(first.calls, 1);
    QCOMPARE(first.textAtCall, QStringLiteral("slow"));
    QCOMPARE(access.lastReplyText(), QStringLiteral("slow"));
    QTRY_VERIFY(slowReply.isNull());
    QCOMPARE(second.calls, 1);
}

void NetworkAccessTest::destroyedWithRequestInFlight()
{
    TestHttpServer held;
    Gate heldGate;
    held.http().Get("/slow", [&heldGate](const httplib::Request&, httplib::Response& response) {
        heldGate.wait();
        response.set_content("late", "text/plain");
    });
    QVERIFY(held.start());

    Record record;
    auto access = std::make_unique<NetworkAccess>();
    record.access = access.get();
    access->get(held.baseUrl() + "/slow", QString(), recordCall, &record);
    QTRY_COMPARE(held.countRequests("/slow"), 1);
    access.reset();
    heldGate.release();
    held.stop();
    // Whatever was still queued for the destroyed object is gone without a call.
    QCoreApplication::processEvents();
    QCOMPARE(record.calls, 0);
}

QTEST_GUILESS_MAIN(NetworkAccessTest)
#include "tst_networkaccess.moc"
