// vendor-server's answers as HTTP caches see them: Cache-Control and a strong ETag on each,
// 304 to an If-None-Match that names it, answers whose bytes do not change while the server
// runs; and keep-alive clients that wait between requests, which must not keep new clients
// from being served.

#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

using Files = QMap<QString, QByteArray>;

const Files Releases = {
    { "releases/1.0.3/a.txt", "a of 1.0.3\n" },
    { "releases/1.0.4/a.txt", "a of 1.0.4\n" },
    { "releases/1.0.4/new.dll", "test" },
};

const QByteArray NewestAnswer = "/prod/Orbisnap/getVersionDiff?version=1.0.3";

QByteArray quotedSha256(const QByteArray& bytes)
{
    return '"' + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + '"';
}

// One keep-alive connection that sends a request and reads its answer, as often as asked.
class KeepAliveClient
{
public:
    explicit KeepAliveClient(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout { 10, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~KeepAliveClient()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    KeepAliveClient(const KeepAliveClient&) = delete;
    KeepAliveClient& operator=(const KeepAliveClient&) = delete;

    bool isConnected() const { return connected; }

    bool send(const QByteArray& bytes)
    {
        return ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    bool get(const QByteArray& target) { return send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"); }

    // The next whole answer (status, headers, a body of its Content-Length); status 0 when
    // the connection ended first.
    RawReply next()
    {
        RawReply reply;
        qsizetype headerEnd = -1;
        while ((headerEnd = pending.indexOf("\r\n\r\n")) < 0) {
            if (!receive()) {
                return reply;
            }
        }
        const QByteArray headers = pending.left(headerEnd);
        const qsizetype length = headerValue(headers, "Content-Length").toLongLong();
        const bool bodiless = headers.startsWith("HTTP/1.1 304");
        const qsizetype total = headerEnd + 4 + (bodiless ? 0 : length);
        while (pending.size() < total) {
            if (!receive()) {
                return reply;
            }
        }
        reply.status = headers.mid(9, 3).toInt();
        reply.headers = headers;
        reply.body = pending.mid(headerEnd + 4, total - headerEnd - 4);
        pending.remove(0, total);
        return reply;
    }

private:
    bool receive()
    {
        char buffer[16384];
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            return false;
        }
        pending.append(buffer, got);
        return true;
    }

    int fd = -1;
    bool connected = false;
    QByteArray pending;
};

} // namespace

class CachingTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void validators_data();
    void validators();
    void answerStaysTheSame();
    void changedFileLosesItsValidator();
    void ifRangeOfAnotherVersion();
    void pipelinedRequests();
    void idleKeepAliveClientsDoNotStarveOthers();

private:
    QString path(const char* relative) const { return dir->filePath(QString::fromLatin1(relative)); }
    bool start();

    std::unique_ptr<QTemporaryDir> dir;
    VendorServerProcess server;
};

void CachingTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(makeTree(dir->path(), Releases));
}

bool CachingTest::start()
{
    return server.startOn(path("releases"), { "--reports", path("reports.jsonl") });
}

// For each kind of answer: its lifetime, whether it has a validator, and what an
// If-None-Match header gets.
void CachingTest::validators_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("ifNoneMatch"); // "ETAG": the answer's own ETag
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("cacheControl");
    QTest::addColumn<bool>("validated");

    const QByteArray answer = "public, max-age=300";
    const QByteArray file = "public, max-age=86400";
    QTest::newRow("answer") << QByteArray("GET") << NewestAnswer << QByteArray() << 200 << answer << true;
    QTest::newRow("answer-same-etag") << QByteArray("GET") << NewestAnswer << QByteArray("ETAG") << 304 << answer << true;
    QTest::newRow("answer-weak-form") << QByteArray("GET") << NewestAnswer << QByteArray("W/ETAG") << 304 << answer << true;
    QTest::newRow("answer-in-a-list") << QByteArray("GET") << NewestAnswer << QByteArray("\"x\", ETAG") << 304 << answer
                                      << true;
    QTest::newRow("answer-any") << QByteArray("GET") << NewestAnswer << QByteArray("*") << 304 << answer << true;
    QTest::newRow("answer-other-etag") << QByteArray("GET") << NewestAnswer << QByteArray("\"0123\"") << 200 << answer
                                       << true;
    QTest::newRow("answer-nothing-newer") << QByteArray("GET")
                                          << QByteArray("/prod/Orbisnap/getVersionDiff?version=1.0.4")
                                          << QByteArray("ETAG") << 304 << answer << true;
    QTest::newRow("answer-unknown-version") << QByteArray("GET")
                                            << QByteArray("/prod/Orbisnap/getVersionDiff?version=0.9")
                                            << QByteArray() << 200 << answer << true;
    QTest::newRow("file") << QByteArray("GET") << QByteArray("/releases/1.0.4/new.dll") << QByteArray() << 200 << file
                          << true;
    QTest::newRow("file-same-etag") << QByteArray("GET") << QByteArray("/releases/1.0.4/new.dll")
                                    << QByteArray("ETAG") << 304 << file << true;
    QTest::newRow("file-head") << QByteArray("HEAD") << QByteArray("/releases/1.0.4/new.dll") << QByteArray() << 200
                               << file << true;
    QTest::newRow("no-version-refused") << QByteArray("GET") << QByteArray("/prod/Orbisnap/getVersionDiff")
                                        << QByteArray() << 400 << QByteArray("no-store") << false;
    QTest::newRow("missing-file") << QByteArray("GET") << QByteArray("/releases/1.0.4/none.dll") << QByteArray() << 404
                                  << QByteArray("no-store") << false;
    QTest::newRow("product-info") << QByteArray("POST") << QByteArray("/prod/Orbisnap/getProductInfo?")
                                  << QByteArray() << 200 << QByteArray("no-store") << false;
    QTest::newRow("product-ad") << QByteArray("POST") << QByteArray("/prod/Orbisnap/getProductAd") << QByteArray()
                                << 200 << QByteArray("no-store") << false;
    QTest::newRow("use-report") << QByteArray("POST") << QByteArray("/prod/Orbisnap/useReport?") << QByteArray() << 200
                                << QByteArray("no-store") << false;
}

void CachingTest::validators()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, ifNoneMatch);
    QFETCH(int, status);
    QFETCH(QByteArray, cacheControl);
    QFETCH(bool, validated);

    QVERIFY2(start(), server.errors().constData());
    const QByteArray form = method == "POST"
        ? QByteArray("version=1.0.3&mac=m&computerName=c&userName=u&useState=1")
        : QByteArray();
    const QByteArray formType = form.isEmpty() ? QByteArray() : QByteArray("application/x-www-form-urlencoded");
    const RawReply plain = rawRequest(server.port(), method == "HEAD" ? "GET" : method, target, form, formType);
    const QByteArray etag = headerValue(plain.headers, "ETag");
    if (validated) {
        // Strong, and the hash of exactly the bytes it stands for.
        QCOMPARE(plain.status, 200);
        QCOMPARE(etag, quotedSha256(plain.body));
    } else {
        QVERIFY2(etag.isEmpty(), plain.headers.constData());
    }

    QByteArray headers;
    if (!ifNoneMatch.isEmpty()) {
        QByteArray value = ifNoneMatch;
        headers = "If-None-Match: " + value.replace("ETAG", etag) + "\r\n";
    }
    const RawReply reply = rawRequest(server.port(), method, target, form, formType, headers);
    QCOMPARE(reply.status, status);
    QCOMPARE(headerValue(reply.headers, "Cache-Control"), cacheControl);
    QCOMPARE(headerValue(reply.headers, "ETag"), etag);
    if (status == 304 || method == "HEAD") {
        QCOMPARE(reply.body, QByteArray());
        // The length of what it stands for, never 0 for a body that has bytes.
        QCOMPARE(headerValue(reply.headers, "Content-Length").toLongLong(), plain.body.size());
    } else if (status == 200 && method == "GET") {
        QCOMPARE(reply.body, plain.body);
    }
}

// An answer's bytes, and so its ETag, stay as they are while the server runs: "issued" is
// when it started, not when it was asked.
void CachingTest::answerStaysTheSame()
{
    QVERIFY2(start(), server.errors().constData());
    const RawReply first = rawRequest(server.port(), "GET", NewestAnswer);
    QCOMPARE(first.status, 200);
    QVERIFY(first.body.contains("\"issued\""));
    QThread::msleep(1100); // the answer's time has whole seconds
    const RawReply second = rawRequest(server.port(), "GET", NewestAnswer);
    QCOMPARE(second.body, first.body);
    QCOMPARE(headerValue(second.headers, "ETag"), headerValue(first.headers, "ETag"));
}

// A release file changed after start-up: the hash read then no longer names its bytes, so no
// cache may keep or validate them.
void CachingTest::changedFileLosesItsValidator()
{
    QVERIFY2(start(), server.errors().constData());
    const QByteArray oldEtag = headerValue(rawRequest(server.port(), "GET", "/releases/1.0.4/new.dll").headers, "ETag");
    QCOMPARE(oldEtag, quotedSha256("test"));
    QFile file(path("releases/1.0.4/new.dll"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write("TEST"), 4);
    QVERIFY(file.flush());
    // Written within the same clock tick as it was read, the size alone would not tell.
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    file.close();

    const RawReply reply
        = rawRequest(server.port(), "GET", "/releases/1.0.4/new.dll", {}, {}, "If-None-Match: " + oldEtag + "\r\n");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray("TEST"));
    QCOMPARE(headerValue(reply.headers, "ETag"), QByteArray());
    QCOMPARE(headerValue(reply.headers, "Cache-Control"), QByteArray("no-store"));
}

// A resumed download names the version of the file its partial holds: a range of that one is
// sent, a range of another one never is.
void CachingTest::ifRangeOfAnotherVersion()
{
    QVERIFY2(start(), server.errors().constData());
    const QByteArray etag = quotedSha256("test");
    const RawReply same = rawRequest(
        server.port(), "GET", "/releases/1.0.4/new.dll", {}, {}, "Range: bytes=2-\r\nIf-Range: " + etag + "\r\n");
    QCOMPARE(same.status, 206);
    QCOMPARE(same.body, QByteArray("st"));
    const RawReply other = rawRequest(
        server.port(), "GET", "/releases/1.0.4/new.dll", {}, {}, "Range: bytes=2-\r\nIf-Range: \"0123\"\r\n");
    QCOMPARE(other.status, 200);
    QCOMPARE(other.body, QByteArray("test"));
}

// Requests sent together on one connection are all answered, in order: what has arrived is
// served before the connection waits again.
void CachingTest::pipelinedRequests()
{
    QVERIFY2(start(), server.errors().constData());
    KeepAliveClient client(server.port());
    QVERIFY(client.isConnected());
    QVERIFY(client.send("GET /releases/1.0.4/new.dll HTTP/1.1\r\nHost: x\r\n\r\n"
                        "GET /releases/1.0.3/a.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                        "GET /releases/1.0.4/a.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
    QCOMPARE(client.next().body, QByteArray("test"));
    QCOMPARE(client.next().body, QByteArray("a of 1.0.3\n"));
    QCOMPARE(client.next().body, QByteArray("a of 1.0.4\n"));
}

// More keep-alive clients than the server has threads, each idle after its first answer: a
// new client is answered at once, not after the idle ones time out, and each idle one is
// still served when it asks again.
void CachingTest::idleKeepAliveClientsDoNotStarveOthers()
{
    QVERIFY2(start(), server.errors().constData());
    std::vector<std::unique_ptr<KeepAliveClient>> idle;
    for (int i = 0; i < 160; ++i) {
        idle.push_back(std::make_unique<KeepAliveClient>(server.port()));
        QVERIFY(idle.back()->isConnected());
        QVERIFY(idle.back()->get(NewestAnswer));
    }
    for (auto& client : idle) {
        QCOMPARE(client->next().status, 200);
    }
    QElapsedTimer timer;
    timer.start();
    const RawReply fresh = rawRequest(server.port(), "GET", "/releases/1.0.4/new.dll");
    QCOMPARE(fresh.status, 200);
    // Held behind the idle ones it would wait for their 5 s keep-alive time-out (the bound
    // leaves room for a loaded machine).
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    for (auto& client : idle) {
        QVERIFY(client->get("/releases/1.0.4/new.dll"));
    }
    for (auto& client : idle) {
        QCOMPARE(client->next().body, QByteArray("test"));
    }
}

QTEST_GUILESS_MAIN(CachingTest)
#include "tst_caching.moc"
