// The blocking transport against real loopback servers: what each request sends, the error
// codes of failed replies, the inactivity limit, redirections, the readers, requests from
// plain POSIX threads, and the release of each request's manager and reply.

#include "loopbackhttps.h"
#include "networkaccessblock.h"
#include "scriptedserver.h"
#include "testhttpserver.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSslSocket>
#include <QTest>

#include <pthread.h>

#include <map>

namespace {

enum class Op { Get, PostForm, PostPrepared };

QByteArray pngBytes()
{
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A loopback port on which nothing listens.
int closedPort()
{
    TestHttpServer probe;
    if (!probe.start()) {
        return -1;
    }
    const int port = probe.port();
    probe.stop();
    return port;
}

int countEntries(const char* dir)
{
    return int(QDir(QString::fromLatin1(dir))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

// A server whose every route answers with the body and status given here.
void serveFixed(TestHttpServer& server, const std::string& body, int status = 200)
{
    server.http().Get(".*", [body, status](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/octet-stream");
    });
}

BlockingReply run(Op op, const QString& url, const QString& argument)
{
    switch (op) {
    case Op::Get:
        return NetworkAccessBlock::get(url, argument);
    case Op::PostForm:
        return NetworkAccessBlock::post(url, argument);
    case Op::PostPrepared:
        break;
    }
    QNetworkRequest request { QUrl(url) };
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("X-Caller", "kept");
    return NetworkAccessBlock::post(request, argument.toUtf8());
}

struct ThreadJob
{
    QString url;
    int requests = 0;
    int failures = 0;
    QByteArray lastBody;
    bool ranOnOwnThread = true;
};

void* runJob(void* argument)
{
    auto* job = static_cast<ThreadJob*>(argument);
    for (int i = 0; i < job->requests; ++i) {
        BlockingReply reply = (i % 2 == 0)
            ? NetworkAccessBlock::get(job->url, QString())
            : NetworkAccessBlock::post(job->url, QStringLiteral("n=%1").arg(i));
        job->failures += reply->error() != QNetworkReply::NoError;
        job->ranOnOwnThread = job->ranOnOwnThread && reply->thread() == QThread::currentThread();
        job->lastBody = reply->readAll();
    }
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(Op)
Q_DECLARE_METATYPE(std::vector<ScriptedServer::Step>)

class NetworkAccessBlockTest : public QObject
{
    Q_OBJECT

private slots:
    void requestShape_data();
    void requestShape();
    void requestPolicy_data();
    void requestPolicy();
    void errorCodes_data();
    void errorCodes();
    void truncatedBodyIsFailure_data();
    void truncatedBodyIsFailure();
    void timeLimit_data();
    void timeLimit();
    void redirects_data();
    void redirects();
    void redirectToHttpRefused();
    void refusalSeenThroughError_data();
    void refusalSeenThroughError();
    void fetch_data();
    void fetch();
    void readText_data();
    void readText();
    void readImage_data();
    void readImage();
    void plainPthreads();
    void releasesManagerAndReply();
};

void NetworkAccessBlockTest::requestShape_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");

    const QByteArray form("application/x-www-form-urlencoded");
    QTest::newRow("get-empty-query-url-unchanged")
        << Op::Get << "/a/b"
        << "" << QByteArray("GET") << QByteArray("/a/b") << QByteArray() << QByteArray();
    QTest::newRow("get-query-appended-directly")
        << Op::Get << "/a/b?x="
        << "1&y=2" << QByteArray("GET") << QByteArray("/a/b?x=1&y=2") << QByteArray() << QByteArray();
    QTest::newRow("get-lenient-space-non-ascii")
        << Op::Get << QString::fromUtf8("/a b/\xc3\xa9") << "?q=c d" << QByteArray("GET")
        << QByteArray("/a%20b/%C3%A9?q=c%20d") << QByteArray() << QByteArray();
    QTest::newRow("post-form-body-and-headers")
        << Op::PostForm << "/p?"
        << "a=1&b=2" << QByteArray("POST") << QByteArray("/p?") << QByteArray("a=1&b=2") << form;
    QTest::newRow("post-form-empty") << Op::PostForm << "/p"
                                     << "" << QByteArray("POST") << QByteArray("/p") << QByteArray() << form;
    QTest::newRow("post-form-bytes-verbatim")
        << Op::PostForm << "/p" << QString::fromUtf8("x=a b&y=\xc3\xa9+%") << QByteArray("POST")
        << QByteArray("/p") << QByteArray("x=a b&y=\xc3\xa9+%") << form;
    QTest::newRow("post-prepared-request-unchanged")
        << Op::PostPrepared << "/j"
        << "{\"k\":1}" << QByteArray("POST") << QByteArray("/j") << QByteArray("{\"k\":1}")
        << QByteArray("application/json");
}

void NetworkAccessBlockTest::requestShape()
{
    QFETCH(Op, op);
    QFETCH(QString, path);
    QFETCH(QString, argument);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);

    TestHttpServer server;
    // The server's log is written before the body is read, so the body comes back in the answer.
    auto echo = [](const httplib::Request& request, httplib::Response& response) {
        response.set_content("[" + request.body + "]", "text/plain");
    };
    server.http().Get(".*", echo);
    server.http().Post(".*", echo);
    QVERIFY(server.start());

    BlockingReply reply = run(op, server.baseUrl() + path, argument);
    QCOMPARE(int(reply->error()), 0);
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->readAll(), "[" + body + "]");

    const std::vector<SeenRequest> seen = server.requests();
    QCOMPARE(seen.size(), size_t(1));
    QCOMPARE(QByteArray::fromStdString(seen[0].method), method);
    QCOMPARE(QByteArray::fromStdString(seen[0].target), target);
    // Bodies come uncompressed, so Qt's decompressor never runs.
    QCOMPARE(
        QByteArray::fromStdString(seen[0].headers.find("Accept-Encoding")->second), QByteArray("identity"));
    const auto type = seen[0].headers.find("Content-Type");
    QCOMPARE(
        type == seen[0].headers.end() ? QByteArray() : QByteArray::fromStdString(type->second), contentType);
    if (method == "POST") {
        const auto length = seen[0].headers.find("Content-Length");
        QVERIFY(length != seen[0].headers.end());
        QCOMPARE(QByteArray::fromStdString(length->second), QByteArray::number(body.size()));
    }
    if (op == Op::PostPrepared) {
        QCOMPARE(QByteArray::fromStdString(seen[0].headers.find("X-Caller")->second), QByteArray("kept"));
    }
}

void NetworkAccessBlockTest::requestPolicy_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<int>("inactivityMs");
    QTest::addColumn<int>("expectedMs");

    QTest::newRow("get-default-limit") << Op::Get << -1 << 30000;
    QTest::newRow("get-own-limit") << Op::Get << 1234 << 1234;
    QTest::newRow("post-form-default-limit") << Op::PostForm << -1 << 30000;
    QTest::newRow("post-prepared-own-limit") << Op::PostPrepared << 4321 << 4321;
}

void NetworkAccessBlockTest::requestPolicy()
{
    QFETCH(Op, op);
    QFETCH(int, inactivityMs);
    QFETCH(int, expectedMs);

    TestHttpServer server;
    serveFixed(server, "x");
    server.http().Post(".*", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("x", "text/plain");
    });
    QVERIFY(server.start());
    const QString url = server.baseUrl() + "/policy";

    BlockingReply reply;
    if (inactivityMs < 0) {
        reply = run(op, url, QString());
    } else if (op == Op::Get) {
        reply = NetworkAccessBlock::get(url, QString(), inactivityMs);
    } else {
        // A caller's own redirect policy does not survive: the transport follows hops itself.
        QNetworkRequest request { QUrl(url) };
        request.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
        reply = NetworkAccessBlock::post(request, QByteArray("b"), inactivityMs);
    }
    QCOMPARE(int(reply->error()), 0);
    const QNetworkRequest sent = reply->request();
    QCOMPARE(sent.transferTimeout(), expectedMs);
    QCOMPARE(sent.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
        int(QNetworkRequest::ManualRedirectPolicy));
    QCOMPARE(sent.maximumRedirectsAllowed(), NetworkAccessBlock::MaxRedirects);
}

void NetworkAccessBlockTest::errorCodes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("error");

    QTest::newRow("refused-connection") << "refused" << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("unknown-scheme") << "scheme" << int(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("http-404-is-203") << "404" << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("http-500") << "500" << int(QNetworkReply::InternalServerError);
    QTest::newRow("closed-before-answer") << "close-at-once" << int(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("closed-mid-body") << "close-mid-body" << int(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("redirect-without-location")
        << "302-no-location" << int(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("unfollowed-300-aborted") << "300" << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("unfollowed-304-aborted") << "304" << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("encoded-body-not-asked-for") << "gzip" << int(QNetworkReply::UnknownContentError);
}

void NetworkAccessBlockTest::errorCodes()
{
    QFETCH(QString, kind);
    QFETCH(int, error);

    TestHttpServer server;
    server.http().Get("/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        response.status = std::stoi(request.matches[1]);
        response.set_content("<html>status page</html>", "text/html");
    });
    QVERIFY(server.start());
    // A gzip stream of "hello", sent although the request asked for the bytes as they are.
    const QByteArray gzipHello = QByteArray::fromHex("1f8b0800000000000003cb48cdc9c9070086a6103605000000");
    ScriptedServer encoding({ { "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: "
                                + QByteArray::number(gzipHello.size()) + "\r\n\r\n" + gzipHello } },
        ScriptedServer::End::Close);
    QVERIFY(encoding.start());
    ScriptedServer closeAtOnce({}, ScriptedServer::End::Close);
    ScriptedServer closeMidBody(
        { { "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + QByteArray(50, 'x') } },
        ScriptedServer::End::Close);
    QVERIFY(closeAtOnce.start());
    QVERIFY(closeMidBody.start());

    QString url;
    if (kind == "refused") {
        url = QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort());
    } else if (kind == "scheme") {
        url = QStringLiteral("bogus://127.0.0.1/x");
    } else if (kind == "close-at-once") {
        url = closeAtOnce.baseUrl() + "/x";
    } else if (kind == "close-mid-body") {
        url = closeMidBody.baseUrl() + "/x";
    } else if (kind == "gzip") {
        url = encoding.baseUrl() + "/x";
    } else if (kind == "302-no-location") {
        url = server.baseUrl() + "/status/302";
    } else {
        url = server.baseUrl() + "/status/" + kind;
    }

    BlockingReply reply = NetworkAccessBlock::get(url, QString(), 10000);
    QVERIFY(reply->isFinished());
    QCOMPARE(int(NetworkAccessBlock::errorOf(reply.get())), error);
}

void NetworkAccessBlockTest::truncatedBodyIsFailure_data()
{
    QTest::addColumn<bool>("useFetch");
    QTest::addColumn<QByteArray>("announced");

    for (const char* length : { "100", "4000000", "999999999999999" }) {
        QTest::addRow("get-announced-%s", length) << false << QByteArray(length);
        QTest::addRow("fetch-announced-%s", length) << true << QByteArray(length);
    }
}

void NetworkAccessBlockTest::truncatedBodyIsFailure()
{
    QFETCH(bool, useFetch);
    QFETCH(QByteArray, announced);

    // The connection closes after 50 of the announced bytes. Qt 6.4 now and then finishes such
    // a reply without error, so one try would prove little.
    ScriptedServer server(
        { { "HTTP/1.1 200 OK\r\nContent-Length: " + announced + "\r\n\r\n" + QByteArray(50, 'x') } },
        ScriptedServer::End::Close);
    QVERIFY(server.start());
    for (int attempt = 0; attempt < 30; ++attempt) {
        QByteArray body;
        BlockingReply reply = useFetch ? NetworkAccessBlock::fetch(server.baseUrl() + "/x", QString(), body)
                                       : NetworkAccessBlock::get(server.baseUrl() + "/x", QString());
        QCOMPARE(int(NetworkAccessBlock::errorOf(reply.get())), int(QNetworkReply::RemoteHostClosedError));
    }
    // Qt may try a closed connection a second time on its own.
    QVERIFY(server.connections() >= 30);
}

void NetworkAccessBlockTest::timeLimit_data()
{
    using Step = ScriptedServer::Step;
    QTest::addColumn<std::vector<Step>>("steps");
    QTest::addColumn<int>("error");

    const QByteArray head("HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n");
    QTest::newRow("accepts-never-answers")
        << std::vector<Step> {} << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("stalls-mid-headers") << std::vector<Step> { { "HTTP/1.1 200 OK\r\nContent-Le" } }
                                        << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("stalls-mid-body") << std::vector<Step> { { head + "0123456789" } }
                                     << int(QNetworkReply::OperationCanceledError);
    // Bytes keep coming, each well within the limit, for longer than the limit in all.
    std::vector<Step> trickle { { head } };
    for (int i = 0; i < 10; ++i) {
        trickle.push_back({ "ab", 80 });
    }
    QTest::newRow("slow-but-alive-completes") << trickle << 0;
}

void NetworkAccessBlockTest::timeLimit()
{
    QFETCH(std::vector<ScriptedServer::Step>, steps);
    QFETCH(int, error);

    ScriptedServer server(steps, ScriptedServer::End::Hold);
    QVERIFY(server.start());
    BlockingReply reply = NetworkAccessBlock::get(server.baseUrl() + "/slow", QString(), 500);
    QVERIFY(reply->isFinished());
    QCOMPARE(int(reply->error()), error);
    QCOMPARE(server.connections(), 1);
    if (error == 0) {
        QCOMPARE(reply->readAll(), QByteArray("ab").repeated(10));
    } else {
        QCOMPARE(NetworkAccessBlock::readText(reply.get()), QString());
    }
}

void NetworkAccessBlockTest::redirects_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("finalRequests");

    QTest::newRow("one-hop-followed") << Op::Get << "/hop/1" << 0 << QByteArray("final") << 1;
    QTest::newRow("relative-location-307-308") << Op::Get << "/rel" << 0 << QByteArray("final") << 1;
    QTest::newRow("ten-hops-allowed") << Op::Get << "/hop/10" << 0 << QByteArray("final") << 1;
    QTest::newRow("eleven-hops-refused")
        << Op::Get << "/hop/11" << int(QNetworkReply::TooManyRedirectsError) << QByteArray() << 0;
    QTest::newRow("loop-refused") << Op::Get << "/loop" << int(QNetworkReply::TooManyRedirectsError)
                                  << QByteArray() << 0;
    QTest::newRow("encoded-hop-bodies-skipped")
        << Op::Get << "/encoded-hops" << 0 << QByteArray("final") << 1;
    QTest::newRow("post-307-keeps-method-and-body")
        << Op::PostForm << "/post307" << 0 << QByteArray("POST a=1") << 0;
}

void NetworkAccessBlockTest::redirects()
{
    QFETCH(Op, op);
    QFETCH(QString, path);
    QFETCH(int, error);
    QFETCH(QByteArray, body);
    QFETCH(int, finalRequests);

    TestHttpServer server;
    server.http().Get("/hop/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        const int left = std::stoi(request.matches[1]);
        if (left == 0) {
            response.set_content("final", "text/plain");
        } else {
            response.set_redirect("/hop/" + std::to_string(left - 1));
            response.set_content("<html>moved</html>", "text/html");
        }
    });
    server.http().Get("/rel", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("deeper/rel2", 307);
    });
    server.http().Get("/deeper/rel2",
        [](const httplib::Request&, httplib::Response& response) { response.set_redirect("../hop/0", 308); });
    // Hops whose pages claim an encoding (and are no valid stream): nothing of them is decoded.
    server.http().Get("/encoded-hops", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/encoded-hop2");
        response.set_header("Content-Encoding", "br");
        response.set_content(std::string(3000, '\x5a'), "text/html");
    });
    server.http().Get("/encoded-hop2", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/hop/0", 307);
        response.set_header("Content-Encoding", "gzip");
        response.set_content(std::string(3000, '\x1f'), "text/html");
    });
    server.http().Get("/loop",
        [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/loop"); });
    server.http().Post("/post307", [](const httplib::Request&, httplib::Response& response) {
        // The connection stays open: the transport sends the POST on over a fresh one.
        response.set_redirect("/echo", 307);
    });
    server.http().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(request.method + " " + request.body, "text/plain");
    });
    QVERIFY(server.start());

    BlockingReply reply = run(op, server.baseUrl() + path, op == Op::Get ? QString() : QStringLiteral("a=1"));
    QCOMPARE(int(NetworkAccessBlock::errorOf(reply.get())), error);
    if (error == 0) {
        QCOMPARE(NetworkAccessBlock::readText(reply.get()).toUtf8(), body);
    }
    QCOMPARE(server.countRequests("/hop/0"), finalRequests);
}

void NetworkAccessBlockTest::redirectToHttpRefused()
{
    if (!QSslSocket::supportsSsl()) {
        QSKIP("Qt has no TLS backend here");
    }
    LoopbackHttpsServer secure;
    TestHttpServer plain;
    serveFixed(plain, "insecure copy");
    QVERIFY(plain.start());
    const std::string insecureUrl = (plain.baseUrl() + "/file").toStdString();
    secure.https().Get("/file", [insecureUrl](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(insecureUrl);
    });
    secure.https().Get(
        "/same", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/ok"); });
    secure.https().Get("/ok", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secure", "text/plain");
    });
    QVERIFY(secure.start());
    const QString base = secure.baseUrl();

    int followedError = -1;
    QByteArray followedBody;
    int downgradedError = -1;
    {
        // Released before the server stops, which would otherwise wait out their connections.
        BlockingReply followed = NetworkAccessBlock::get(base + "/same", QString(), 10000);
        followedError = followed->error();
        followedBody = followed->readAll();
        // What a host that checks error() alone sees.
        downgradedError = NetworkAccessBlock::get(base + "/file", QString(), 10000)->error();
    }
    secure.stop();

    QCOMPARE(followedError, 0);
    QCOMPARE(followedBody, QByteArray("secure"));
    QCOMPARE(downgradedError, int(QNetworkReply::InsecureRedirectError));
    QCOMPARE(plain.countRequests("/file"), 0);
}

void NetworkAccessBlockTest::refusalSeenThroughError_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");

    const struct
    {
        const char* name;
        const char* path;
        QNetworkReply::NetworkError error;
        int status;
    } refusals[] = {
        { "eleven-hops", "/hop/11", QNetworkReply::TooManyRedirectsError, 302 },
        { "loop", "/loop", QNetworkReply::TooManyRedirectsError, 302 },
        { "no-location", "/nowhere", QNetworkReply::ProtocolUnknownError, 302 },
        { "empty-location", "/empty-location", QNetworkReply::ProtocolUnknownError, 307 },
        { "other-scheme", "/ftp", QNetworkReply::InsecureRedirectError, 301 },
        { "file-scheme", "/file-scheme", QNetworkReply::InsecureRedirectError, 308 },
    };
    for (const char* op : { "get", "post-form", "post-prepared", "fetch" }) {
        for (const auto& refusal : refusals) {
            QTest::addRow("%s-%s", op, refusal.name)
                << QString::fromLatin1(op) << QString::fromLatin1(refusal.path) << int(refusal.error)
                << refusal.status;
        }
    }
}

void NetworkAccessBlockTest::refusalSeenThroughError()
{
    QFETCH(QString, op);
    QFETCH(QString, path);
    QFETCH(int, error);
    QFETCH(int, status);

    TestHttpServer server;
    // Every refused hop carries a page of its own: none of it may reach the caller.
    const auto moved = [](httplib::Response& response, int code, const char* location) {
        response.status = code;
        if (location) {
            response.set_header("Location", location);
        }
        response.set_content("<html>redirect page</html>", "text/html");
    };
    const auto route = [&server](const std::string& pattern, const httplib::Server::Handler& handler) {
        server.http().Get(pattern, handler);
        server.http().Post(pattern, handler);
    };
    route("/hop/(\\d+)", [moved](const httplib::Request& request, httplib::Response& response) {
        const int left = std::stoi(request.matches[1]);
        if (left == 0) {
            response.set_content("final", "text/plain");
        } else {
            // 307 keeps a POST a POST down the chain.
            moved(response, left == 1 ? 302 : 307, ("/hop/" + std::to_string(left - 1)).c_str());
        }
    });
    route("/loop", [moved](const httplib::Request&, httplib::Response& response) { moved(response, 302, "/loop"); });
    route("/nowhere", [moved](const httplib::Request&, httplib::Response& response) { moved(response, 302, nullptr); });
    route("/empty-location", [moved](const httplib::Request&, httplib::Response& response) {
        moved(response, 307, "");
    });
    route("/ftp", [moved](const httplib::Request&, httplib::Response& response) {
        moved(response, 301, "ftp://127.0.0.1/pub/file");
    });
    route("/file-scheme", [moved](const httplib::Request&, httplib::Response& response) {
        moved(response, 308, "file:///etc/passwd");
    });
    QVERIFY(server.start());
    const QString url = server.baseUrl() + path;

    QByteArray taken("stale bytes");
    BlockingReply reply;
    if (op == QLatin1String("get")) {
        reply = NetworkAccessBlock::get(url, QString(), 10000);
    } else if (op == QLatin1String("post-form")) {
        reply = NetworkAccessBlock::post(url, QStringLiteral("a=1"), 10000);
    } else if (op == QLatin1String("post-prepared")) {
        QNetworkRequest request { QUrl(url) };
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        reply = NetworkAccessBlock::post(request, QByteArray("{}"), 10000);
    } else {
        reply = NetworkAccessBlock::fetch(url, QString(), taken, 10000);
    }
    QVERIFY(reply);
    QVERIFY(reply->isFinished());
    QCOMPARE(int(reply->error()), error);
    QCOMPARE(int(NetworkAccessBlock::errorOf(reply.get())), error);
    QVERIFY(!reply->errorString().isEmpty());
    // The last hop stays visible for a diagnostic; its page does not.
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->readAll(), QByteArray());
    QCOMPARE(NetworkAccessBlock::readText(reply.get()), QString());
    if (op == QLatin1String("fetch")) {
        QCOMPARE(taken, QByteArray());
    }
    // Nothing of another scheme was ever asked for, and no chain reached its end.
    QCOMPARE(server.countRequests("/hop/0"), 0);
}

void NetworkAccessBlockTest::fetch_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");

    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i) {
        large[i] = char((i * 7919) >> 3);
    }
    QTest::newRow("small-body-replaces-stale") << "/bytes/small" << 0 << QByteArray("hello");
    QTest::newRow("empty-body") << "/bytes/empty" << 0 << QByteArray();
    QTest::newRow("large-body-many-chunks") << "/bytes/large" << 0 << large;
    QTest::newRow("chunked-without-length") << "/chunked" << 0 << large;
    QTest::newRow("redirect-final-body-only") << "/hop/2" << 0 << QByteArray("final");
    QTest::newRow("http-404-error") << "/bytes/missing" << int(QNetworkReply::ContentNotFoundError)
                                    << QByteArray();
}

void NetworkAccessBlockTest::fetch()
{
    QFETCH(QString, path);
    QFETCH(int, error);
    QFETCH(QByteArray, body);

    TestHttpServer server;
    const std::map<std::string, std::string> files { { "small", "hello" }, { "empty", "" },
        { "large", body.toStdString() } };
    server.http().Get("/bytes/(\\w+)", [files](const httplib::Request& request, httplib::Response& response) {
        const auto file = files.find(request.matches[1]);
        if (file == files.end()) {
            response.status = 404;
            response.set_content("<html>missing</html>", "text/html");
        } else {
            response.set_content(file->second, "application/octet-stream");
        }
    });
    const std::string large = body.toStdString();
    server.http().Get("/chunked", [large](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [large](size_t offset, httplib::DataSink& sink) {
                if (offset < large.size()) {
                    sink.write(large.data() + offset, std::min<size_t>(64 * 1024, large.size() - offset));
                } else {
                    sink.done();
                }
                return true;
            });
    });
    server.http().Get("/hop/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        const int left = std::stoi(request.matches[1]);
        if (left == 0) {
            response.set_content("final", "text/plain");
        } else {
            response.set_redirect("/hop/" + std::to_string(left - 1));
            response.set_content(std::string(5000, 'r'), "text/html");
        }
    });
    QVERIFY(server.start());

    QByteArray taken("stale bytes");
    BlockingReply reply = NetworkAccessBlock::fetch(server.baseUrl() + path, QString(), taken, 10000);
    QCOMPARE(int(NetworkAccessBlock::errorOf(reply.get())), error);
    if (error == 0) {
        QCOMPARE(taken.size(), body.size());
        QVERIFY(taken == body);
        // Nothing is left behind in the reply.
        QCOMPARE(reply->bytesAvailable(), qint64(0));
    }
}

void NetworkAccessBlockTest::readText_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");

    QTest::newRow("plain") << QByteArray("hello") << "hello";
    QTest::newRow("utf8-decoded") << QByteArray("caf\xc3\xa9 \xe5\xbd\x93")
                                  << QString::fromUtf8("caf\xc3\xa9 \xe5\xbd\x93");
    QTest::newRow("stops-at-zero-byte") << QByteArray("ab\0cd", 5) << "ab";
    QTest::newRow("zero-byte-first") << QByteArray("\0cd", 3) << "";
    QTest::newRow("empty-body") << QByteArray() << "";
}

void NetworkAccessBlockTest::readText()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, text);

    TestHttpServer server;
    serveFixed(server, body.toStdString());
    QVERIFY(server.start());
    BlockingReply reply = NetworkAccessBlock::get(server.baseUrl() + "/t", QString());
    QCOMPARE(int(reply->error()), 0);
    QCOMPARE(NetworkAccessBlock::readText(reply.get()), text);
    // The body is consumed: a second read of any kind yields nothing.
    QCOMPARE(NetworkAccessBlock::readText(reply.get()), QString());
    QCOMPARE(reply->readAll(), QByteArray());
}

void NetworkAccessBlockTest::readImage_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QSize>("size");

    QTest::newRow("png-decoded") << pngBytes() << QSize(3, 2);
    QTest::newRow("garbage-null") << QByteArray("not a picture at all") << QSize();
    QTest::newRow("empty-null") << QByteArray() << QSize();
}

void NetworkAccessBlockTest::readImage()
{
    QFETCH(QByteArray, body);
    QFETCH(QSize, size);

    TestHttpServer server;
    serveFixed(server, body.toStdString());
    QVERIFY(server.start());
    BlockingReply reply = NetworkAccessBlock::get(server.baseUrl() + "/i", QString());
    QCOMPARE(int(reply->error()), 0);
    const QImage image = NetworkAccessBlock::readImage(reply.get());
    QCOMPARE(image.isNull(), !size.isValid());
    if (size.isValid()) {
        QCOMPARE(image.size(), size);
        QCOMPARE(image.pixelColor(1, 1), QColor(Qt::red));
    }
    QVERIFY(NetworkAccessBlock::readImage(reply.get()).isNull());
}

void NetworkAccessBlockTest::plainPthreads()
{
    TestHttpServer server;
    server.http().Get("/w", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("got", "text/plain");
    });
    server.http().Post("/w", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content("posted " + request.body, "text/plain");
    });
    QVERIFY(server.start());

    // Two threads that Qt did not create, each with its own requests at the same time.
    ThreadJob jobs[2];
    jobs[0].requests = 6;
    jobs[1].requests = 5;
    pthread_t threads[2];
    for (int i = 0; i < 2; ++i) {
        jobs[i].url = server.baseUrl() + "/w";
        QCOMPARE(pthread_create(&threads[i], nullptr, runJob, &jobs[i]), 0);
    }
    for (pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
    QCOMPARE(jobs[0].failures, 0);
    QCOMPARE(jobs[1].failures, 0);
    QVERIFY(jobs[0].ranOnOwnThread && jobs[1].ranOnOwnThread);
    QCOMPARE(jobs[0].lastBody, QByteArray("posted n=5"));
    QCOMPARE(jobs[1].lastBody, QByteArray("got"));
    QCOMPARE(server.countRequests("/w"), 11);
}

void NetworkAccessBlockTest::releasesManagerAndReply()
{
    TestHttpServer server;
    serveFixed(server, "tiny");
    QVERIFY(server.start());
    const QString url = server.baseUrl() + "/r";
    // The first request brings up what Qt keeps for the process (host lookup, proxy settings).
    QCOMPARE(int(NetworkAccessBlock::get(url, QString())->error()), 0);
    const int threadsBefore = countEntries("/proc/self/task");
    const int filesBefore = countEntries("/proc/self/fd");

    std::vector<QPointer<QObject>> left;
    for (int i = 0; i < 200; ++i) {
        BlockingReply reply = NetworkAccessBlock::get(url, QString());
        QCOMPARE(int(reply->error()), 0);
        QCOMPARE(reply->manager()->parent(), nullptr);
        left.emplace_back(reply.get());
        left.emplace_back(reply->manager());
    }
    for (const QPointer<QObject>& object : left) {
        QVERIFY(object.isNull());
    }
    // A manager's worker thread may take a moment to leave the process after it has
    // finished; 200 left-over threads or connections would never leave.
    QTRY_VERIFY(countEntries("/proc/self/task") <= threadsBefore);
    QTRY_VERIFY(countEntries("/proc/self/fd") <= filesBefore);
}

QTEST_GUILESS_MAIN(NetworkAccessBlockTest)
#include "tst_networkaccessblock.moc"
