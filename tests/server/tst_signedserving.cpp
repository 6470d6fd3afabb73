// vendor-server with the signed answers orbisnap-release made: served byte for byte with their
// signature, refused at start-up when they no longer match the releases; without them, answers
// computed at start-up with sizes and hashes. And clients that send slowly do not keep it from
// serving others.

#include "answersignature.h"
#include "releasetool.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Files = QMap<QString, QByteArray>;

const Files Releases = {
    { "releases/1.0.3/a.txt", "a of 1.0.3\n" },
    { "releases/1.0.3/old.dll", "dropped\n" },
    { "releases/1.0.4/a.txt", "a of 1.0.4\n" },
    { "releases/1.0.4/new.dll", "test" },
};

QByteArray sha256Hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// Objects beside the releases: a compressed copy of each 1.0.4 file and a patch from 1.0.3's
// a.txt. The server only serves them, so any bytes do.
const QByteArray PackedA = "packed a";
const QByteArray PackedNew = "packed new.dll";
const QByteArray PatchA = "patch of a";
Files objectFiles()
{
    const QByteArray oldA = sha256Hex(Releases["releases/1.0.3/a.txt"]);
    const QByteArray newA = sha256Hex(Releases["releases/1.0.4/a.txt"]);
    const QByteArray newDll = sha256Hex(Releases["releases/1.0.4/new.dll"]);
    return {
        { "releases/objects/" + newA + ".zst", PackedA },
        { "releases/objects/" + newDll + ".zst", PackedNew },
        { "releases/objects/" + oldA + "-" + newA + ".patch", PatchA },
        // Not objects: passed over, never named nor served.
        { "releases/objects/" + newA + ".zst.tmp", "half written" },
        { "releases/objects/notes.txt", "x" },
    };
}

// A connection that sends its request a piece at a time, as a slow or hostile client does.
class SlowClient
{
public:
    explicit SlowClient(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~SlowClient()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    SlowClient(const SlowClient&) = delete;
    SlowClient& operator=(const SlowClient&) = delete;

    bool isConnected() const { return connected; }
    // False once the server has closed the connection.
    bool send(const QByteArray& bytes)
    {
        return ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // Whether the server closed the connection (reads what it sent first, waiting up to timeoutMs).
    bool closedByServer(int timeoutMs)
    {
        timeval timeout { timeoutMs / 1000, (timeoutMs % 1000) * 1000 };
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                return errno == ECONNRESET;
            }
        }
    }

private:
    int fd = -1;
    bool connected = false;
};

} // namespace

class SignedServingTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void signedAnswers_data();
    void signedAnswers();
    void staleAnswersRefused_data();
    void staleAnswersRefused();
    void unsignedAnswersCarryDigests();
    void answersNameObjects_data();
    void answersNameObjects();
    void changedObjectsRefused_data();
    void changedObjectsRefused();
    void slowClientsDoNotBlockOthers();
    void stalledClientDropped();
    void drippingClientDropped();

private:
    QString path(const QString& relative) const { return dir->filePath(relative); }
    bool sign(const QString& base);

    std::unique_ptr<QTemporaryDir> dir;
};

void SignedServingTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(makeTree(dir->path(), Releases));
}

bool SignedServingTest::sign(const QString& base)
{
    const ToolRun run = runReleaseTool(
        { "sign", "--releases", path("releases"), "--secret", testSecretKeyFile(), "--base", base });
    if (run.exitCode != 0) {
        qWarning("%s", run.err.constData());
    }
    return run.exitCode == 0;
}

void SignedServingTest::signedAnswers_data()
{
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QString>("answerFile"); // empty: {} without a signature
    QTest::newRow("older-release") << QByteArray("1.0.3") << "1.0.3.json";
    QTest::newRow("newest") << QByteArray("1.0.4") << "1.0.4.json";
    QTest::newRow("unknown-version") << QByteArray("0.9") << "any.json";
    QTest::newRow("newer-than-newest") << QByteArray("2.0") << "";
}

void SignedServingTest::signedAnswers()
{
    QFETCH(QByteArray, installed);
    QFETCH(QString, answerFile);

    QVERIFY(sign(QStringLiteral("http://dl.example/rel")));
    VendorServerProcess server;
    QVERIFY2(server.startOn(path("releases"), { "--reports", path("reports.jsonl") }), server.errors().constData());
    QVERIFY2(server.output().contains("version answers: signed"), server.output().constData());
    const RawReply reply = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=" + installed);
    QCOMPARE(reply.status, 200);
    const QByteArray signature = headerValue(reply.headers, "X-Orbisnap-Signature");
    if (answerFile.isEmpty()) {
        QCOMPARE(reply.body, QByteArray("{}"));
        QCOMPARE(signature, QByteArray());
        return;
    }
    QCOMPARE(reply.body, readFile(path("releases/signed/" + answerFile)));
    QCOMPARE(signature, readFile(path("releases/signed/" + answerFile + ".sig")).trimmed());
    QCOMPARE(checkAnswerSignature(reply.body, signature, parsePublicKeys(testPublicKey())), SignatureCheck::Valid);
    // The signed folder is no release, and is not served as files either.
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/signed/" + answerFile.toUtf8()).status, 404);
}

void SignedServingTest::staleAnswersRefused_data()
{
    QTest::addColumn<Files>("change");
    QTest::addColumn<QStringList>("more");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("newer-release-published")
        << Files { { "releases/1.0.5/a.txt", "a" } } << QStringList()
        << QByteArray("takes installations to 1.0.4, but channel stable is at 1.0.5");
    QTest::newRow("release-file-changed") << Files { { "releases/1.0.4/new.dll", "tesT" } } << QStringList()
                                          << QByteArray("1.0.3.json no longer matches the releases");
    QTest::newRow("older-release-added") << Files { { "releases/1.0.1/a.txt", "a" } } << QStringList()
                                         << QByteArray("no signed answer for 1.0.1");
    QTest::newRow("other-public-base")
        << Files() << QStringList { "--public-base", "http://cdn.example/rel" }
        << QByteArray("--public-base http://cdn.example/rel is not the download base the answers were signed with");
}

void SignedServingTest::staleAnswersRefused()
{
    QFETCH(Files, change);
    QFETCH(QStringList, more);
    QFETCH(QByteArray, message);

    QVERIFY(sign(QStringLiteral("http://dl.example/rel")));
    QVERIFY(makeTree(dir->path(), change));
    VendorServerProcess server;
    QVERIFY(!server.startOn(path("releases"), QStringList { "--reports", path("reports.jsonl") } + more));
    QCOMPARE(server.exitCode(), 1);
    QVERIFY2(server.errors().contains(message), server.errors().constData());
    if (more.isEmpty()) {
        QVERIFY2(server.errors().contains(
                     "not started: the signed answers do not match the releases; run orbisnap-release sign --releases "),
            server.errors().constData());
    }
}

void SignedServingTest::unsignedAnswersCarryDigests()
{
    VendorServerProcess server;
    QVERIFY2(server.startOn(path("releases"), { "--reports", path("reports.jsonl") }), server.errors().constData());
    QVERIFY(server.output().contains("version answers: unsigned"));
    const RawReply reply = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=1.0.3");
    QCOMPARE(reply.status, 200);
    QCOMPARE(headerValue(reply.headers, "X-Orbisnap-Signature"), QByteArray());
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(answer.value("installed").toString(), QStringLiteral("1.0.3"));
    QVERIFY(QDateTime::fromString(answer.value("issued").toString(), Qt::ISODate).isValid());
    const QJsonObject changed = answer.value("u").toArray().at(0).toObject();
    QCOMPARE(changed.value("file").toString(), QStringLiteral("a.txt"));
    QCOMPARE(changed.value("size").toInteger(), qint64(Releases["releases/1.0.4/a.txt"].size()));
    QCOMPARE(changed.value("sha256").toString().toLatin1(),
        QCryptographicHash::hash(Releases["releases/1.0.4/a.txt"], QCryptographicHash::Sha256).toHex());
    const QJsonObject added = answer.value("n").toArray().at(0).toObject();
    QCOMPARE(added.value("sha256").toString(), QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"));
    const QJsonObject deleted = answer.value("d").toArray().at(0).toObject();
    QCOMPARE(deleted.keys(), QStringList { "file" });
}

void SignedServingTest::answersNameObjects_data()
{
    QTest::addColumn<bool>("signedAnswers");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<bool>("patch"); // whether a.txt's patch is named
    QTest::newRow("unsigned-older-release") << false << QByteArray("1.0.3") << true;
    QTest::newRow("unsigned-unknown-version") << false << QByteArray("0.9") << false;
    QTest::newRow("signed-older-release") << true << QByteArray("1.0.3") << true;
    QTest::newRow("signed-unknown-version") << true << QByteArray("0.9") << false;
}

// Every file to fetch names its compressed copy, a changed one its patch from the installed
// version's file, under the signature when signed; the objects come from the download base's
// sibling, byte for byte.
void SignedServingTest::answersNameObjects()
{
    QFETCH(bool, signedAnswers);
    QFETCH(QByteArray, installed);
    QFETCH(bool, patch);

    const Files objects = objectFiles();
    QVERIFY(makeTree(dir->path(), objects));
    // Signed for a base of its own (the server warns and serves them), unsigned for its own.
    if (signedAnswers) {
        QVERIFY(sign(QStringLiteral("http://dl.example/rel")));
    }
    VendorServerProcess server;
    QVERIFY2(server.startOn(path("releases"), { "--reports", path("reports.jsonl") }), server.errors().constData());
    const RawReply reply = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=" + installed);
    QCOMPARE(reply.status, 200);
    if (signedAnswers) {
        QCOMPARE(checkAnswerSignature(reply.body, headerValue(reply.headers, "X-Orbisnap-Signature"),
                     parsePublicKeys(testPublicKey())),
            SignatureCheck::Valid);
    }
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    const QString base = signedAnswers ? QStringLiteral("http://dl.example/rel") : server.baseUrl() + "/releases";
    QCOMPARE(answer.value("objects").toString(), base + "/objects");
    QCOMPARE(answer.value("path").toString(), base + "/1.0.4");

    const auto objectOf = [&](const QJsonObject& element, const char* member) {
        return element.value(QLatin1String(member)).toObject();
    };
    // What the server serves under the objects URL's path.
    const auto fetch = [&](const QString& url) {
        return rawRequest(server.port(), "GET", "/releases" + url.mid(base.size()).toUtf8());
    };
    QMap<QString, QJsonObject> byFile;
    for (const char* key : { "u", "n" }) {
        for (const QJsonValue& element : answer.value(QLatin1String(key)).toArray()) {
            byFile.insert(element.toObject().value("file").toString(), element.toObject());
        }
    }
    const QJsonObject a = byFile.value("a.txt");
    const QJsonObject dll = byFile.value("new.dll");
    QCOMPARE(objectOf(a, "packed").value("size").toInteger(), qint64(PackedA.size()));
    QCOMPARE(objectOf(a, "packed").value("sha256").toString().toLatin1(), sha256Hex(PackedA));
    QCOMPARE(objectOf(dll, "packed").value("sha256").toString().toLatin1(), sha256Hex(PackedNew));
    QCOMPARE(fetch(answer.value("objects").toString() + "/" + a.value("sha256").toString() + ".zst").body, PackedA);
    QCOMPARE(fetch(answer.value("objects").toString() + "/" + dll.value("sha256").toString() + ".zst").body, PackedNew);
    QCOMPARE(a.contains("patch"), patch);
    QVERIFY(!dll.contains("patch"));
    if (patch) {
        const QJsonObject patchOfA = objectOf(a, "patch");
        QCOMPARE(patchOfA.value("from").toString().toLatin1(), sha256Hex(Releases["releases/1.0.3/a.txt"]));
        QCOMPARE(patchOfA.value("size").toInteger(), qint64(PatchA.size()));
        QCOMPARE(patchOfA.value("sha256").toString().toLatin1(), sha256Hex(PatchA));
        QCOMPARE(fetch(answer.value("objects").toString() + "/" + patchOfA.value("from").toString() + "-"
                     + a.value("sha256").toString() + ".patch")
                     .body,
            PatchA);
    }
    // Only objects are served from there, and the releases as before.
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/objects/notes.txt").status, 404);
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/objects/" + sha256Hex(Releases["releases/1.0.4/a.txt"]) + ".zst.tmp").status, 404);
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/1.0.4/a.txt").body, Releases["releases/1.0.4/a.txt"]);
}

void SignedServingTest::changedObjectsRefused_data()
{
    QTest::addColumn<QString>("object"); // the object changed after signing
    QTest::addColumn<QByteArray>("content"); // empty: removed
    QTest::addColumn<QByteArray>("message");

    const QByteArray newA = sha256Hex(Releases["releases/1.0.4/a.txt"]);
    const QByteArray oldA = sha256Hex(Releases["releases/1.0.3/a.txt"]);
    QTest::newRow("compressed-copy-removed") << QString("releases/objects/" + newA + ".zst") << QByteArray()
                                             << QByteArray("names the object " + newA + ".zst, which is not in objects/");
    QTest::newRow("patch-altered") << QString("releases/objects/" + oldA + "-" + newA + ".patch")
                                   << QByteArray("patch of A")
                                   << QByteArray("1.0.3.json names the object " + oldA + "-" + newA
                                          + ".patch with another size or SHA-256 than objects/ holds");
    const QByteArray newDll = sha256Hex(Releases["releases/1.0.4/new.dll"]);
    QTest::newRow("object-made-after-signing")
        << QString("releases/objects/" + oldA + "-" + newDll + ".patch") << QByteArray("unrelated but named well")
        << QByteArray();
    QTest::newRow("objects-made-after-signing-named")
        << QString("releases/objects/" + sha256Hex("a of 1.0.4\n") + ".zst") << QByteArray("x")
        << QByteArray("1.0.3.json names the object");
}

// Answers that send installations after objects that are gone or hold other bytes are not
// served, nor answers that leave out objects made since: sign again. verify says the same.
void SignedServingTest::changedObjectsRefused()
{
    QFETCH(QString, object);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, message);

    QVERIFY(makeTree(dir->path(), objectFiles()));
    QVERIFY(sign(QStringLiteral("http://dl.example/rel")));
    if (content.isEmpty()) {
        QVERIFY(QFile::remove(path(object)));
    } else {
        QVERIFY(makeTree(dir->path(), { { object, content } }));
    }
    VendorServerProcess server;
    const bool started = server.startOn(path("releases"), { "--reports", path("reports.jsonl") });
    const ToolRun verify = runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() });
    if (message.isEmpty()) {
        // An object no answer can name (its source is in no release) changes nothing.
        QVERIFY2(started, server.errors().constData());
        QCOMPARE(verify.exitCode, 0);
        return;
    }
    QVERIFY(!started);
    QVERIFY2(server.errors().contains(message), server.errors().constData());
    QCOMPARE(verify.exitCode, 1);
    QVERIFY2(verify.err.contains(message), verify.err.constData());
}

// Eight clients send a header line every second, each staying under the read time-out for
// longer than the test lasts; a ninth client is still answered at once.
void SignedServingTest::slowClientsDoNotBlockOthers()
{
    VendorServerProcess server;
    QVERIFY2(server.startOn(path("releases"), { "--reports", path("reports.jsonl") }), server.errors().constData());
    std::vector<std::unique_ptr<SlowClient>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(std::make_unique<SlowClient>(server.port()));
        QVERIFY(slow.back()->isConnected());
        QVERIFY(slow.back()->send("GET /prod/Orbisnap/getVersionDiff?version=1.0.3 HTTP/1.1\r\n"));
    }
    for (int round = 0; round < 4; ++round) {
        QThread::msleep(1000);
        for (auto& client : slow) {
            QVERIFY(client->send("X-Slow: " + QByteArray::number(round) + "\r\n"));
        }
        QElapsedTimer timer;
        timer.start();
        const RawReply reply = rawRequest(server.port(), "GET", "/releases/1.0.4/new.dll");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body, QByteArray("test"));
        // Queued behind the slow ones it would wait for their 10 s request limit; served beside
        // them it does not (the bound leaves room for a loaded machine).
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    }
}

void SignedServingTest::stalledClientDropped()
{
    VendorServerProcess server;
    QVERIFY2(server.startOn(path("releases"), { "--reports", path("reports.jsonl") }), server.errors().constData());
    SlowClient stalled(server.port());
    QVERIFY(stalled.isConnected());
    QVERIFY(stalled.send("GET /prod/Orbisnap/getVersionDiff?version=1.0.3 HTTP/1.1\r\nHost: x\r\n"));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(stalled.closedByServer(10000));
    // Dropped after the read time-out, not at once and not never.
    QVERIFY2(timer.elapsed() >= 2000 && timer.elapsed() < 6000, qPrintable(QString::number(timer.elapsed())));
}

// A client that never pauses long enough for the read time-out but never finishes its
// request either is dropped once the request's time is up, with no answer.
void SignedServingTest::drippingClientDropped()
{
    VendorServerProcess server;
    QVERIFY2(server.startOn(path("releases"), { "--reports", path("reports.jsonl") }), server.errors().constData());
    SlowClient dripping(server.port());
    QVERIFY(dripping.isConnected());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(dripping.send("GET /prod/Orbisnap/getVersionDiff?version=1.0.3 HTTP/1.1\r\n"));
    int lines = 0;
    while (dripping.send("X-Drip: " + QByteArray::number(lines++) + "\r\n") && timer.elapsed() < 20000) {
        QThread::msleep(1500);
    }
    QVERIFY2(timer.elapsed() >= 9000 && timer.elapsed() < 14000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(dripping.closedByServer(1000));
    // The server itself goes on serving.
    QCOMPARE(rawRequest(server.port(), "GET", "/releases/1.0.4/new.dll").body, QByteArray("test"));
}

QTEST_GUILESS_MAIN(SignedServingTest)
#include "tst_signedserving.moc"
