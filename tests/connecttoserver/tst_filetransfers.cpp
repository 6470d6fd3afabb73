// The download pass's HTTP/1.1 client against servers that answer raw bytes: how each answer's
// end is found (length, chunks, close), interim answers, heads and chunk lines it refuses, the
// codes of failed transfers, connections kept and reused, a kept connection the server closed,
// bytes nobody asked for, and https with its refused downgrade.

#include "filetransfers.h"
#include "loopbackhttps.h"
#include "scriptedserver.h"
#include "testhttpserver.h"

#include <QSslSocket>
#include <QTest>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

namespace {

using Step = ScriptedServer::Step;

class CollectingSink final : public TransferSink
{
public:
    bool begin(const TransferHead& head) override
    {
        status = head.status;
        length = head.length;
        return true;
    }
    bool write(const char* data, qint64 size) override
    {
        body.append(data, size);
        return true;
    }
    void finished(int code) override
    {
        error = code;
        ++finishes;
    }

    int status = 0;
    qint64 length = -2;
    QByteArray body;
    int error = -1;
    int finishes = 0;
};

// Fetches every URL, one at a time or side by side, each into its own sink.
std::vector<std::unique_ptr<CollectingSink>> fetchAll(
    const QStringList& urls, bool oneAtATime, TransferLimits limits = {})
{
    std::vector<std::unique_ptr<CollectingSink>> sinks;
    FileTransfers transfers(limits);
    int given = 0;
    transfers.run([&](TransferRequest& request) {
        if (given == urls.size()) {
            return FileTransfers::Next::End;
        }
        if (oneAtATime && given > 0 && sinks.back()->finishes == 0) {
            return FileTransfers::Next::Later;
        }
        sinks.push_back(std::make_unique<CollectingSink>());
        request.url = urls.at(given++);
        request.sink = sinks.back().get();
        return FileTransfers::Next::Start;
    });
    return sinks;
}

QByteArray okHead(qsizetype length)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

} // namespace

Q_DECLARE_METATYPE(std::vector<ScriptedServer::Step>)
Q_DECLARE_METATYPE(ScriptedServer::End)

class FileTransfersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void noAnswer_data();
    void noAnswer();
    void keptConnectionsReused();
    void waitsForWorkOutside_data();
    void waitsForWorkOutside();
    void keptConnectionClosedByServer();
    void bytesAfterAnswerNotTaken();
    void https();
};

void FileTransfersTest::initTestCase()
{
    // The pass's "url:" and failure lines are not what these tests look at.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

void FileTransfersTest::answers_data()
{
    QTest::addColumn<std::vector<Step>>("script");
    QTest::addColumn<ScriptedServer::End>("end");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status"); // what the sink was told; 0: never begun
    QTest::addColumn<QByteArray>("body");

    const auto hold = ScriptedServer::End::Hold;
    const auto close = ScriptedServer::End::Close;
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    QTest::newRow("length-ends-body") << std::vector<Step> { { okHead(5) + "hello" } } << hold << 0 << 200
                                      << QByteArray("hello");
    QTest::newRow("empty-body-by-length") << std::vector<Step> { { okHead(0) } } << hold << 0 << 200 << QByteArray();
    QTest::newRow("chunks-extension-trailer")
        << std::vector<Step> { { chunked + "5;name=v\r\nhello\r\n6\r\n world\r\n0\r\nX-Sum: 1\r\n\r\n" } } << hold
        << 0 << 200 << QByteArray("hello world");
    QTest::newRow("chunks-split-anywhere")
        << std::vector<Step> { { chunked + "1" }, { "0\r", 20 }, { "\n0123456789abc", 20 }, { "def\r", 20 },
               { "\n0\r\n", 20 }, { "\r\n", 20 } }
        << hold << 0 << 200 << QByteArray("0123456789abcdef");
    QTest::newRow("head-split-anywhere")
        << std::vector<Step> { { "HTTP/1." }, { "1 200 OK\r\nContent-Le", 20 }, { "ngth: 3\r", 20 }, { "\n\r\nab", 20 },
               { "c", 20 } }
        << hold << 0 << 200 << QByteArray("abc");
    QTest::newRow("until-close-http10") << std::vector<Step> { { "HTTP/1.0 200 OK\r\n\r\nall of it" } } << close << 0
                                        << 200 << QByteArray("all of it");
    QTest::newRow("interim-100-skipped")
        << std::vector<Step> { { "HTTP/1.1 100 Continue\r\n\r\n" + okHead(2) + "ok" } } << hold << 0 << 200
        << QByteArray("ok");
    QTest::newRow("bare-newlines") << std::vector<Step> { { "HTTP/1.1 200 OK\nContent-Length: 2\n\nok" } } << hold
                                   << 0 << 200 << QByteArray("ok");
    QTest::newRow("repeated-equal-lengths")
        << std::vector<Step> { { "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok" } } << hold
        << 0 << 200 << QByteArray("ok");
    QTest::newRow("conflicting-lengths-refused")
        << std::vector<Step> { { "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok!" } } << hold
        << int(QNetworkReply::ProtocolFailure) << 0 << QByteArray();
    QTest::newRow("head-beyond-limit-refused")
        << std::vector<Step> { { "HTTP/1.1 200 OK\r\nX-Pad: " + QByteArray(FileTransfers::MaxHeadBytes, 'p') } }
        << hold << int(QNetworkReply::ProtocolFailure) << 0 << QByteArray();
    QTest::newRow("chunk-line-beyond-limit-refused")
        << std::vector<Step> { { chunked + QByteArray(FileTransfers::MaxHeadBytes + 1, '0') } } << hold
        << int(QNetworkReply::ProtocolFailure) << 200 << QByteArray();
    QTest::newRow("no-http-refused") << std::vector<Step> { { "SSH-2.0-OpenSSH_9.2\r\n" } } << hold
                                     << int(QNetworkReply::ProtocolFailure) << 0 << QByteArray();
    QTest::newRow("garbled-status-refused") << std::vector<Step> { { "HTTP/1.1 2x0 OK\r\n\r\n" } } << hold
                                            << int(QNetworkReply::ProtocolFailure) << 0 << QByteArray();
    QTest::newRow("header-without-colon-refused")
        << std::vector<Step> { { "HTTP/1.1 200 OK\r\nno colon here\r\n\r\n" } } << hold
        << int(QNetworkReply::ProtocolFailure) << 0 << QByteArray();
    QTest::newRow("bad-chunk-size-refused") << std::vector<Step> { { chunked + "zz\r\nhello\r\n0\r\n\r\n" } } << hold
                                            << int(QNetworkReply::ProtocolFailure) << 200 << QByteArray();
    QTest::newRow("chunk-without-crlf-refused")
        << std::vector<Step> { { chunked + "2\r\nokX\r\n0\r\n\r\n" } } << hold << int(QNetworkReply::ProtocolFailure)
        << 200 << QByteArray("ok");
    QTest::newRow("closed-mid-body") << std::vector<Step> { { okHead(10) + "12345" } } << close
                                     << int(QNetworkReply::RemoteHostClosedError) << 200 << QByteArray("12345");
    QTest::newRow("closed-mid-chunks") << std::vector<Step> { { chunked + "5\r\nhello\r\n" } } << close
                                       << int(QNetworkReply::RemoteHostClosedError) << 200 << QByteArray("hello");
    QTest::newRow("closed-mid-head") << std::vector<Step> { { "HTTP/1.1 200 OK\r\nContent-Le" } } << close
                                     << int(QNetworkReply::RemoteHostClosedError) << 0 << QByteArray();
    QTest::newRow("closed-before-answer") << std::vector<Step> {} << close
                                          << int(QNetworkReply::RemoteHostClosedError) << 0 << QByteArray();
    QTest::newRow("404-is-203") << std::vector<Step> { { "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone" } }
                                << hold << int(QNetworkReply::ContentNotFoundError) << 0 << QByteArray();
    QTest::newRow("503") << std::vector<Step> { { "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n" } } << hold
                         << int(QNetworkReply::ServiceUnavailableError) << 0 << QByteArray();
    QTest::newRow("encoded-body-refused")
        << std::vector<Step> { { "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 2\r\n\r\n\x1f\x8b" } }
        << hold << int(QNetworkReply::UnknownContentError) << 0 << QByteArray();
    QTest::newRow("unfollowed-304") << std::vector<Step> { { "HTTP/1.1 304 Not Modified\r\n\r\n" } } << hold
                                    << int(QNetworkReply::ProtocolUnknownError) << 0 << QByteArray();
    QTest::newRow("redirect-without-location")
        << std::vector<Step> { { "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n" } } << hold
        << int(QNetworkReply::ProtocolUnknownError) << 0 << QByteArray();
    QTest::newRow("redirect-to-ftp-refused")
        << std::vector<Step> { { "HTTP/1.1 301 Moved\r\nLocation: ftp://127.0.0.1/f\r\nContent-Length: 0\r\n\r\n" } }
        << hold << int(QNetworkReply::InsecureRedirectError) << 0 << QByteArray();
    QTest::newRow("silent-server") << std::vector<Step> {} << hold << int(QNetworkReply::OperationCanceledError) << 0
                                   << QByteArray();
}

void FileTransfersTest::answers()
{
    QFETCH(std::vector<Step>, script);
    QFETCH(ScriptedServer::End, end);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    ScriptedServer server(script, end);
    QVERIFY(server.start());
    TransferLimits limits;
    limits.inactivityMs = 400;
    const auto sinks = fetchAll({ server.baseUrl() + "/file.bin" }, true, limits);
    QCOMPARE(sinks.size(), std::size_t(1));
    const CollectingSink& sink = *sinks.front();
    QCOMPARE(sink.finishes, 1);
    QCOMPARE(sink.error, error);
    QCOMPARE(sink.status, status);
    QCOMPARE(sink.body, body);
}

void FileTransfersTest::noAnswer_data()
{
    QTest::addColumn<QString>("url"); // PORT: a loopback port nothing listens on
    QTest::addColumn<int>("error");

    QTest::newRow("refused-connection") << "http://127.0.0.1:PORT/f.bin" << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("other-scheme") << "ftp://127.0.0.1/f.bin" << int(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("no-host") << "http:///f.bin" << int(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("not-a-url") << "f.bin" << int(QNetworkReply::ProtocolUnknownError);
}

void FileTransfersTest::noAnswer()
{
    QFETCH(QString, url);
    QFETCH(int, error);

    int port = -1;
    {
        TestHttpServer probe;
        QVERIFY(probe.start());
        port = probe.port();
    }
    TransferLimits limits;
    limits.inactivityMs = 2000;
    // Several at once: each failure ends its own transfer only, and the run still returns.
    const QString target = QString(url).replace(QLatin1String("PORT"), QString::number(port));
    const auto sinks = fetchAll({ target, target, target }, false, limits);
    QCOMPARE(sinks.size(), std::size_t(3));
    for (const auto& sink : sinks) {
        QCOMPARE(sink->finishes, 1);
        QCOMPARE(sink->error, error);
        QCOMPARE(sink->status, 0);
    }
}

void FileTransfersTest::keptConnectionsReused()
{
    TestHttpServer server;
    std::mutex mutex;
    std::set<int> ports;
    server.http().Get(R"(/f/(\d+))", [&](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex);
            ports.insert(request.remote_port);
        }
        response.set_content("file " + request.matches[1].str(), "application/octet-stream");
    });
    QVERIFY(server.start());
    QStringList urls;
    for (int i = 0; i < 12; ++i) {
        urls << server.baseUrl() + QStringLiteral("/f/%1").arg(i);
    }
    const auto sinks = fetchAll(urls, true);
    for (int i = 0; i < 12; ++i) {
        QCOMPARE(sinks[i]->error, 0);
        QCOMPARE(sinks[i]->body, QByteArray("file ") + QByteArray::number(i));
    }
    // One after the other, all over the first connection (the server keeps up to five answers
    // on one; it says so in the last).
    std::lock_guard lock(mutex);
    QVERIFY2(ports.size() <= 3, QByteArray::number(qsizetype(ports.size())).constData());
}

void FileTransfersTest::waitsForWorkOutside_data()
{
    QTest::addColumn<bool>("firstStartsAtOnce"); // else the run begins with nothing running
    QTest::newRow("after-a-transfer") << true;
    QTest::newRow("from-the-start") << false;
}

void FileTransfersTest::waitsForWorkOutside()
{
    // As the pass while a file decodes: no transfer to start and maybe none running, but work
    // on another thread that will bring the next request and wake the run.
    QFETCH(bool, firstStartsAtOnce);
    TestHttpServer server;
    server.http().Get(R"(/f/(\d+))", [&](const httplib::Request& request, httplib::Response& response) {
        response.set_content("file " + request.matches[1].str(), "application/octet-stream");
    });
    QVERIFY(server.start());

    std::vector<std::unique_ptr<CollectingSink>> sinks;
    std::atomic<int> ready { firstStartsAtOnce ? 1 : 0 };
    int promised = ready.load(); // what ready will be once the workers started so far are done
    std::vector<std::thread> workers;
    int given = 0;
    int asked = 0;
    {
        FileTransfers transfers;
        transfers.run([&](TransferRequest& request) {
            ++asked;
            if (given == 3) {
                return FileTransfers::Next::End;
            }
            if (given == ready.load()) {
                if (promised == given) {
                    ++promised;
                    workers.emplace_back([&transfers, &ready] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        ready.fetch_add(1);
                        transfers.wake();
                    });
                }
                return FileTransfers::Next::Wait;
            }
            sinks.push_back(std::make_unique<CollectingSink>());
            request.url = server.baseUrl() + QStringLiteral("/f/%1").arg(given++);
            request.sink = sinks.back().get();
            return FileTransfers::Next::Start;
        });
        for (std::thread& worker : workers) {
            worker.join();
        }
        // A wake after the run has ended starts nothing and asks nothing.
        const int askedBefore = asked;
        transfers.wake();
        QCoreApplication::processEvents();
        QCOMPARE(asked, askedBefore);
    }
    QCOMPARE(qsizetype(sinks.size()), qsizetype(3));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(sinks[i]->error, 0);
        QCOMPARE(sinks[i]->body, QByteArray("file ") + QByteArray::number(i));
    }
}

void FileTransfersTest::keptConnectionClosedByServer()
{
    // Each connection serves one answer, then the server waits a moment and closes it without
    // reading the next request, which the client has already sent over it.
    ScriptedServer server({ { okHead(4) + "same" }, { QByteArray(), 150 } }, ScriptedServer::End::Close);
    QVERIFY(server.start());
    const QString url = server.baseUrl() + "/same.bin";
    const auto sinks = fetchAll({ url, url, url }, true);
    for (const auto& sink : sinks) {
        QCOMPARE(sink->error, 0);
        QCOMPARE(sink->body, QByteArray("same"));
    }
    QCOMPARE(server.connections(), 3);
}

void FileTransfersTest::bytesAfterAnswerNotTaken()
{
    // A second answer nobody asked for follows the first: it must not pass for the next file's.
    ScriptedServer server({ { okHead(2) + "ok" + okHead(6) + "forged" } }, ScriptedServer::End::Close);
    QVERIFY(server.start());
    const QString url = server.baseUrl() + "/a.bin";
    const auto sinks = fetchAll({ url, url }, true);
    for (const auto& sink : sinks) {
        QCOMPARE(sink->error, 0);
        QCOMPARE(sink->body, QByteArray("ok"));
    }
    QCOMPARE(server.connections(), 2);
}

void FileTransfersTest::https()
{
    if (!QSslSocket::supportsSsl()) {
        QSKIP("Qt has no TLS backend here");
    }
    LoopbackHttpsServer secure;
    TestHttpServer plain;
    plain.http().Get(".*", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("insecure copy", "application/octet-stream");
    });
    QVERIFY(plain.start());
    const std::string insecureUrl = (plain.baseUrl() + "/file").toStdString();
    secure.https().Get("/down", [insecureUrl](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(insecureUrl);
    });
    secure.https().Get(
        "/moved", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/big"); });
    const std::string big(3 * 1024 * 1024 + 5, 's');
    secure.https().Get("/big", [&big](const httplib::Request&, httplib::Response& response) {
        response.set_content(big, "application/octet-stream");
    });
    QVERIFY(secure.start());
    const QString base = secure.baseUrl();
    const auto sinks = fetchAll({ base + "/big", base + "/moved", base + "/down" }, false);
    secure.stop();

    QCOMPARE(sinks[0]->error, 0);
    QVERIFY(sinks[0]->body == QByteArray::fromStdString(big));
    QCOMPARE(sinks[1]->error, 0);
    QCOMPARE(sinks[1]->body.size(), qsizetype(big.size()));
    QCOMPARE(sinks[2]->error, int(QNetworkReply::InsecureRedirectError));
    QCOMPARE(plain.countRequests("/file"), 0);
}

QTEST_GUILESS_MAIN(FileTransfersTest)
#include "tst_filetransfers.moc"
