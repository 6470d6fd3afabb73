// The server client against a real server on the port of the compiled-in server address:
// the request each call sends, the debug messages byte for byte, the JSON answers that count
// as success, the failure paths with their output left as it was, file and picture downloads,
// and calls from plain POSIX threads.

#include "failurecause.h"
#include "passfetch.h"
#include "networkaccess.h"
#include "scriptedserver.h"
#include "testhttpserver.h"
#include "uploadmanager.h"

#include "serverconfig.h"

#include <QBuffer>
#include <QImage>
#include <QTest>

#include <json/reader.h>
#include <json/value.h>

#include <pthread.h>

#include <mutex>

namespace {

enum class Call { VersionDiff, ProductInfo, UseReport, ProductAd };

// Every debug message while it lives, in order, from any thread; nothing is printed.
class MessageLog
{
public:
    MessageLog() { previous = qInstallMessageHandler(&MessageLog::record); }
    ~MessageLog()
    {
        qInstallMessageHandler(previous);
        std::lock_guard lock(mutex);
        messages.clear();
    }
    QStringList taken()
    {
        std::lock_guard lock(mutex);
        QStringList all = messages;
        messages.clear();
        return all;
    }

private:
    static void record(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        std::lock_guard lock(mutex);
        messages << (type == QtDebugMsg ? text : QStringLiteral("[not debug] ") + text);
    }

    static inline std::mutex mutex;
    static inline QStringList messages;
    QtMessageHandler previous = nullptr;
};

QString base()
{
    return QString::fromUtf8(ServerBaseUrl);
}

QByteArray pngBytes(Qt::GlobalColor color)
{
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

Json::Value parsedReference(const std::string& text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

bool runCall(Call call, const QStringList& args, int useState, Json::Value& root)
{
    UploadManager* server = UploadManager::instance();
    switch (call) {
    case Call::VersionDiff:
        return server->getVersionDiff(args.value(0), root);
    case Call::ProductInfo:
        return server->getProductInfo(args.value(0), root);
    case Call::UseReport:
        return server->useReport(
            args.value(0), args.value(1), args.value(2), args.value(3), std::uint8_t(useState), root);
    case Call::ProductAd:
        return server->getProductAd(root);
    }
    return false;
}

struct WorkerCalls
{
    bool versionDiff = false;
    bool download = false;
    QByteArray data;
    UploadManager* shared = nullptr;
};

void* callFromWorker(void* argument)
{
    auto* calls = static_cast<WorkerCalls*>(argument);
    Json::Value root;
    calls->shared = UploadManager::instance();
    calls->versionDiff = calls->shared->getVersionDiff(QStringLiteral("1.0"), root);
    const QByteArray url = (base() + "/files/worker.bin").toUtf8();
    calls->download = calls->shared->downloadFile(url.constData(), calls->data);
    return nullptr;
}

struct Arrival
{
    pthread_barrier_t* barrier;
    UploadManager* seen = nullptr;
};

void* arriveAtOnce(void* argument)
{
    auto* arrival = static_cast<Arrival*>(argument);
    pthread_barrier_wait(arrival->barrier);
    arrival->seen = UploadManager::instance();
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(Call)

class UploadManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    // First, so that the two threads are the first users of the shared instance.
    void instanceSharedAcrossThreads();
    void callRequests_data();
    void callRequests();
    void jsonAnswers_data();
    void jsonAnswers();
    void versionDiffFailures_data();
    void versionDiffFailures();
    void postCallFailures_data();
    void postCallFailures();
    void downloadFile_data();
    void downloadFile();
    void downloadFileTruncated();
    void downloadImage_data();
    void downloadImage();
    void nullArguments();
    void callsFromPlainPthread();
    void userAgentNamesSender_data();
    void userAgentNamesSender();
    void causeOfLaterRequestOnly_data();
    void causeOfLaterRequestOnly();

private:
    void answerWith(int status, const std::string& body);
    SeenRequest lastRequest() const;

    TestHttpServer server;
    std::mutex mutex;
    int status = 200;
    std::string answer;
    std::vector<std::string> bodies; // as the handlers read them
    std::vector<QStringList> params; // as the server decodes query and form
};

void UploadManagerTest::initTestCase()
{
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        bodies.push_back(request.body);
        QStringList decoded;
        for (const auto& [name, value] : request.params) {
            decoded << QString::fromStdString(name + "=" + value);
        }
        params.push_back(decoded);
        response.status = status;
        response.set_content(answer, "application/json");
    };
    server.http().Get("/prod/Orbisnap/.*", handler);
    server.http().Post("/prod/Orbisnap/.*", handler);
    server.http().Get("/files/redirect",
        [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/files/final"); });
    server.http().Get("/files/final", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("final bytes", "application/octet-stream");
    });
    server.http().Get("/files/.*", handler);
    QVERIFY2(server.startAtServerBaseUrl(), "the port of ServerBaseUrl is taken");
}

void UploadManagerTest::init()
{
    answerWith(200, "{}");
}

void UploadManagerTest::answerWith(int newStatus, const std::string& body)
{
    std::lock_guard lock(mutex);
    status = newStatus;
    answer = body;
    bodies.clear();
    params.clear();
}

SeenRequest UploadManagerTest::lastRequest() const
{
    const std::vector<SeenRequest> seen = server.requests();
    return seen.empty() ? SeenRequest() : seen.back();
}

void UploadManagerTest::callRequests_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("useState");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("decoded");

    const QByteArray diff("/prod/Orbisnap/getVersionDiff?version=");
    QTest::newRow("versiondiff-plain") << Call::VersionDiff << QStringList { "1.2.3" } << 0 << diff + "1.2.3"
                                       << QByteArray() << QStringList { "version=1.2.3" };
    QTest::newRow("versiondiff-empty-ends-in-equals")
        << Call::VersionDiff << QStringList { "" } << 0 << diff << QByteArray() << QStringList { "version=" };
    QTest::newRow("versiondiff-space-non-ascii")
        << Call::VersionDiff << QStringList { QString::fromUtf8("1.0 beta \xc3\xa9") } << 0
        << diff + "1.0%20beta%20%C3%A9" << QByteArray()
        << QStringList { QString::fromUtf8("version=1.0 beta \xc3\xa9") };
    QTest::newRow("versiondiff-reserved-encoded")
        << Call::VersionDiff << QStringList { "1&x=2#f+g%h" } << 0 << diff + "1%26x%3D2%23f%2Bg%25h"
        << QByteArray() << QStringList { "version=1&x=2#f+g%h" };
    QTest::newRow("versiondiff-placeholder-not-refilled")
        << Call::VersionDiff << QStringList { "%1%2" } << 0 << diff + "%251%252" << QByteArray()
        << QStringList { "version=%1%2" };

    const QByteArray info("/prod/Orbisnap/getProductInfo?");
    QTest::newRow("productinfo-plain") << Call::ProductInfo << QStringList { "1.2.3" } << 0 << info
                                       << QByteArray("version=1.2.3") << QStringList { "version=1.2.3" };
    QTest::newRow("productinfo-reserved-encoded")
        << Call::ProductInfo << QStringList { "a&b=c" } << 0 << info << QByteArray("version=a%26b%3Dc")
        << QStringList { "version=a&b=c" };

    const QByteArray report("/prod/Orbisnap/useReport?");
    QTest::newRow("usereport-empty-values-state-0")
        << Call::UseReport << QStringList { "", "", "", "" } << 0 << report
        << QByteArray("mac=&version=&computerName=&userName=&useState=0")
        << QStringList { "computerName=", "mac=", "useState=0", "userName=", "version=" };
    QTest::newRow("usereport-plain-state-255")
        << Call::UseReport << QStringList { "00-1A-2B-3C-4D-5E", "2.0.1", "PC_01", "bob" } << 255 << report
        << QByteArray("mac=00-1A-2B-3C-4D-5E&version=2.0.1&computerName=PC_01&userName=bob&useState=255")
        << QStringList { "computerName=PC_01", "mac=00-1A-2B-3C-4D-5E", "useState=255", "userName=bob",
               "version=2.0.1" };
    QTest::newRow("usereport-ampersand-cannot-forge-field")
        << Call::UseReport << QStringList { "m", "1", "pc", "a&b" } << 1 << report
        << QByteArray("mac=m&version=1&computerName=pc&userName=a%26b&useState=1")
        << QStringList { "computerName=pc", "mac=m", "useState=1", "userName=a&b", "version=1" };
    QTest::newRow("usereport-non-ascii-plus-space")
        << Call::UseReport
        << QStringList { "a:b", "1", QString::fromUtf8("\xe7\x94\xb5\xe8\x84\x91"), "x+y z" } << 7 << report
        << QByteArray("mac=a%3Ab&version=1&computerName=%E7%94%B5%E8%84%91&userName=x%2By%20z&useState=7")
        << QStringList { QString::fromUtf8("computerName=\xe7\x94\xb5\xe8\x84\x91"), "mac=a:b", "useState=7",
               "userName=x+y z", "version=1" };

    QTest::newRow("productad-empty-post")
        << Call::ProductAd << QStringList() << 0 << QByteArray("/prod/Orbisnap/getProductAd") << QByteArray()
        << QStringList();
}

void UploadManagerTest::callRequests()
{
    QFETCH(Call, call);
    QFETCH(QStringList, args);
    QFETCH(int, useState);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, decoded);

    MessageLog log;
    Json::Value root;
    QVERIFY(runCall(call, args, useState, root));
    QCOMPARE(root, Json::Value(Json::objectValue));

    const SeenRequest seen = lastRequest();
    QCOMPARE(QByteArray::fromStdString(seen.target), target);
    QCOMPARE(QByteArray::fromStdString(seen.method), QByteArray(call == Call::VersionDiff ? "GET" : "POST"));
    {
        std::lock_guard lock(mutex);
        QCOMPARE(bodies.size(), size_t(1));
        QCOMPARE(QByteArray::fromStdString(bodies[0]), body);
        QStringList sorted = params[0];
        sorted.sort();
        QCOMPARE(sorted, decoded);
    }
    if (call != Call::VersionDiff) {
        QCOMPARE(QByteArray::fromStdString(seen.headers.find("Content-Type")->second),
            QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(QByteArray::fromStdString(seen.headers.find("Content-Length")->second),
            QByteArray::number(body.size()));
    }
    // Only getProductInfo speaks: its URL, then its parameters, each quoted.
    const QStringList expected = call == Call::ProductInfo
        ? QStringList { "\"" + base() + QString::fromUtf8(target) + "\" ",
              "\"" + QString::fromUtf8(body) + "\" " }
        : QStringList();
    QCOMPARE(log.taken(), expected);
}

void UploadManagerTest::jsonAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("reference");

    QTest::newRow("bare-true") << QByteArray("true") << QByteArray("true");
    QTest::newRow("bare-number") << QByteArray("42") << QByteArray("42");
    QTest::newRow("bare-string") << QByteArray("\"text\"") << QByteArray("\"text\"");
    QTest::newRow("bare-null") << QByteArray("null") << QByteArray("null");
    QTest::newRow("array") << QByteArray("[1, \"a\"]") << QByteArray("[1, \"a\"]");
    QTest::newRow("object-with-comments")
        << QByteArray("// head\n{\"a\": /* inline */ 1, \"b\": [] // tail\n}")
        << QByteArray("{\"a\": 1, \"b\": []}");
    QTest::newRow("zero-byte-ends-document") << QByteArray("{\"a\": 2}\0{{{", 11) << QByteArray("{\"a\": 2}");
    QTest::newRow("utf8-text") << QByteArray("{\"n\": \"\xe6\x9b\xb4\xe6\x96\xb0\"}")
                               << QByteArray("{\"n\": \"\xe6\x9b\xb4\xe6\x96\xb0\"}");
}

void UploadManagerTest::jsonAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, reference);

    answerWith(200, answer.toStdString());
    const Json::Value expected = parsedReference(reference.toStdString());
    MessageLog log;
    for (Call call : { Call::VersionDiff, Call::ProductInfo, Call::UseReport, Call::ProductAd }) {
        Json::Value root("previous");
        QVERIFY(runCall(call, { "1", "2", "3", "4" }, 1, root));
        QCOMPARE(root, expected);
    }
    // Two lines of getProductInfo; success is silent otherwise.
    QCOMPARE(log.taken().size(), 2);
}

void UploadManagerTest::versionDiffFailures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("rootUntouched");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("http-404-logs-203") << 404 << QByteArray("{\"error\": 1}") << true
                                       << QStringList { "checkVersion failed error code:  203 ",
                                              "failed because: \"127.0.0.1 answered 404\" " };
    QTest::newRow("http-500-logs-401")
        << 500 << QByteArray("{}") << true << QStringList { "checkVersion failed error code:  401 ",
               "failed because: \"127.0.0.1 answered 500\" " };
    QTest::newRow("empty-body") << 200 << QByteArray() << false
                                << QStringList { "parser json value failed .. : \"\" ", "reply:  \"\" " };
    QTest::newRow("broken-json-quoted-verbatim")
        << 200 << QByteArray("{\"a\":\n") << false
        << QStringList { "parser json value failed .. : \"{\"a\":\n\" ", "reply:  \"{\"a\":\n\" " };
    QTest::newRow("zero-byte-cuts-text-not-reply")
        << 200 << QByteArray("[1,\0 2]", 7) << false
        << QStringList { "parser json value failed .. : \"[1,\" ",
               QStringLiteral("reply:  \"[1,") + QChar(0) + QStringLiteral(" 2]\" ") };
    const QByteArray deep(5000, '[');
    QTest::newRow("nesting-past-reader-limit-no-throw")
        << 200 << deep << false
        << QStringList { "parser json value failed .. : \"" + QString::fromLatin1(deep) + "\" ",
               "reply:  \"" + QString::fromLatin1(deep) + "\" " };
}

void UploadManagerTest::versionDiffFailures()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, rootUntouched);
    QFETCH(QStringList, messages);

    answerWith(status, answer.toStdString());
    MessageLog log;
    Json::Value root("untouched");
    QVERIFY(!UploadManager::instance()->getVersionDiff(QStringLiteral("1.0"), root));
    QCOMPARE(log.taken(), messages);
    if (rootUntouched) {
        QCOMPARE(root, Json::Value("untouched"));
    }
}

void UploadManagerTest::postCallFailures_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");

    const QByteArray errorPage("{\"error\": \"page\"}");
    for (Call call : { Call::ProductInfo, Call::UseReport, Call::ProductAd }) {
        const char* name = call == Call::ProductInfo ? "productinfo"
            : call == Call::UseReport                ? "usereport"
                                                     : "productad";
        QTest::addRow("%s-404-with-json-page", name) << call << 404 << errorPage;
        QTest::addRow("%s-empty-body", name) << call << 200 << QByteArray();
        QTest::addRow("%s-not-json", name) << call << 200 << QByteArray("<html>");
        QTest::addRow("%s-too-deep", name) << call << 200 << QByteArray(5000, '[');
    }
}

void UploadManagerTest::postCallFailures()
{
    QFETCH(Call, call);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);

    answerWith(status, answer.toStdString());
    MessageLog log;
    Json::Value root("untouched");
    QVERIFY(!runCall(call, { "1.0", "b", "c", "d" }, 3, root));
    if (status != 200) {
        QCOMPARE(root, Json::Value("untouched"));
    }
    // Failures are silent; getProductInfo's two lines come before the request all the same.
    const QStringList expected = call == Call::ProductInfo
        ? QStringList { "\"" + base() + "/prod/Orbisnap/getProductInfo?\" ", "\"version=1.0\" " }
        : QStringList();
    QCOMPARE(log.taken(), expected);
}

void UploadManagerTest::downloadFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("target");

    const QByteArray old("old content");
    const QByteArray binary("MZ\0\0\x90\0\xff", 7);
    QTest::newRow("ok-replaces-not-appends")
        << "/files/a.dll" << 200 << binary << true << binary << QByteArray("/files/a.dll");
    QTest::newRow("empty-file-true-empty") << "/files/empty.txt" << 200 << QByteArray() << true
                                           << QByteArray() << QByteArray("/files/empty.txt");
    QTest::newRow("404-logs-203-data-kept") << "/files/missing.dll" << 404 << QByteArray("<html>404</html>")
                                            << false << old << QByteArray("/files/missing.dll");
    QTest::newRow("redirect-gives-final-bytes") << "/files/redirect" << 200 << QByteArray() << true
                                                << QByteArray("final bytes") << QByteArray("/files/final");
    QTest::newRow("space-non-ascii-percent-encoded")
        << QString::fromUtf8("/files/sub dir/\xc3\xa9t\xc3\xa9.dll") << 200 << QByteArray("e") << true
        << QByteArray("e") << QByteArray("/files/sub%20dir/%C3%A9t%C3%A9.dll");
}

void UploadManagerTest::downloadFile()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, result);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, target);

    answerWith(status, answer.toStdString());
    MessageLog log;
    QByteArray held("old content");
    const QByteArray url = (base() + path).toUtf8();
    QCOMPARE(UploadManager::instance()->downloadFile(url.constData(), held), result);
    QCOMPARE(held, data);
    QCOMPARE(QByteArray::fromStdString(lastRequest().target), target);

    QStringList messages { "url: \"" + QString::fromUtf8(url) + "\" " };
    if (!result) {
        messages << "down load failed error code:  203 " << "failed because: \"127.0.0.1 answered 404\" ";
    }
    QCOMPARE(log.taken(), messages);
}

void UploadManagerTest::downloadFileTruncated()
{
    // 50 of 4000000 announced bytes, then the connection closes: never a file.
    ScriptedServer truncating(
        { { "HTTP/1.1 200 OK\r\nContent-Length: 4000000\r\n\r\n" + QByteArray(50, 'x') } },
        ScriptedServer::End::Close);
    QVERIFY(truncating.start());
    const QByteArray url = (truncating.baseUrl() + "/files/big.dll").toUtf8();
    MessageLog log;
    for (int attempt = 0; attempt < 20; ++attempt) {
        QByteArray held("old content");
        QVERIFY(!UploadManager::instance()->downloadFile(url.constData(), held));
        QCOMPARE(held, QByteArray("old content"));
        QCOMPARE(log.taken(),
            (QStringList { "url: \"" + QString::fromUtf8(url) + "\" ", "down load failed error code:  2 ",
                "failed because: \"127.0.0.1 closed the connection before the whole answer came\" " }));
    }
}

void UploadManagerTest::downloadImage_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("filledBefore");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QColor>("color"); // of the image afterwards; invalid for a null image

    const QByteArray garbage("definitely not a picture");
    QTest::newRow("decodable-into-null") << 200 << pngBytes(Qt::red) << false << true << QColor(Qt::red);
    QTest::newRow("decodable-into-filled-replaced")
        << 200 << pngBytes(Qt::red) << true << true << QColor(Qt::red);
    QTest::newRow("undecodable-into-null-false") << 200 << garbage << false << false << QColor();
    QTest::newRow("undecodable-into-filled-keeps-old") << 200 << garbage << true << true << QColor(Qt::blue);
    QTest::newRow("error-reply-with-picture-untouched")
        << 404 << pngBytes(Qt::red) << true << false << QColor(Qt::blue);
}

void UploadManagerTest::downloadImage()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, filledBefore);
    QFETCH(bool, result);
    QFETCH(QColor, color);

    answerWith(status, answer.toStdString());
    QImage image;
    if (filledBefore) {
        image = QImage(5, 5, QImage::Format_RGB32);
        image.fill(Qt::blue);
    }
    MessageLog log;
    const QByteArray url = (base() + "/files/picture.png").toUtf8();
    QCOMPARE(UploadManager::instance()->downloadImage(url.constData(), &image), result);
    QCOMPARE(image.isNull(), !color.isValid());
    if (color.isValid()) {
        QCOMPARE(image.pixelColor(0, 0), color);
        QCOMPARE(image.size(), color == QColor(Qt::blue) ? QSize(5, 5) : QSize(3, 2));
    }
    QCOMPARE(log.taken(), QStringList());
}

void UploadManagerTest::nullArguments()
{
    MessageLog log;
    const size_t before = server.requests().size();
    QByteArray data("kept");
    QVERIFY(!UploadManager::instance()->downloadFile(nullptr, data));
    QCOMPARE(data, QByteArray("kept"));
    QCOMPARE(log.taken(),
        (QStringList { "url: \"\" ", "down load failed error code:  301 ", "failed because: \"\"\" is no http or https URL\" " }));
    QImage image;
    QVERIFY(!UploadManager::instance()->downloadImage(nullptr, &image));
    QVERIFY(image.isNull());
#ifdef NDEBUG
    // Without assertions a null destination is refused before any request.
    const QByteArray url = (base() + "/files/picture.png").toUtf8();
    QVERIFY(!UploadManager::instance()->downloadImage(url.constData(), nullptr));
#endif
    QCOMPARE(server.requests().size(), before);
}

void UploadManagerTest::instanceSharedAcrossThreads()
{
    pthread_barrier_t barrier;
    pthread_barrier_init(&barrier, nullptr, 2);
    Arrival arrivals[2] = { { &barrier }, { &barrier } };
    pthread_t threads[2];
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(pthread_create(&threads[i], nullptr, arriveAtOnce, &arrivals[i]), 0);
    }
    for (pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
    pthread_barrier_destroy(&barrier);
    QVERIFY(arrivals[0].seen != nullptr);
    QCOMPARE(arrivals[0].seen, arrivals[1].seen);
    QCOMPARE(UploadManager::instance(), arrivals[0].seen);
}

void UploadManagerTest::callsFromPlainPthread()
{
    answerWith(200, "{\"files\": []}");
    MessageLog log;
    WorkerCalls calls;
    pthread_t worker;
    QCOMPARE(pthread_create(&worker, nullptr, callFromWorker, &calls), 0);
    pthread_join(worker, nullptr);
    QVERIFY(calls.versionDiff);
    QVERIFY(calls.download);
    QCOMPARE(calls.data, QByteArray("{\"files\": []}"));
    QCOMPARE(calls.shared, UploadManager::instance());
    QCOMPARE(log.taken(), QStringList { "url: \"" + base() + "/files/worker.bin\" " });
}

void UploadManagerTest::userAgentNamesSender_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QByteArray>("component");

    QTest::newRow("update-check") << "getVersionAnswer" << QByteArray("update check");
    QTest::newRow("host-product-info") << "getProductInfo" << QByteArray("host");
    QTest::newRow("host-use-report") << "useReport" << QByteArray("host");
    QTest::newRow("host-product-ad") << "getProductAd" << QByteArray("host");
    QTest::newRow("host-download-file") << "downloadFile" << QByteArray("host");
    QTest::newRow("host-download-image") << "downloadImage" << QByteArray("host");
    QTest::newRow("host-asynchronous") << "NetworkAccess" << QByteArray("host");
    QTest::newRow("updater-download-pass") << "FileTransfers" << QByteArray("updater");
}

void UploadManagerTest::userAgentNamesSender()
{
    QFETCH(QString, sender);
    QFETCH(QByteArray, component);

    // The version is the project's, three numbers as CMake declares it.
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(QString::fromLatin1(OrbisnapVersion)).hasMatch());
    answerWith(200, "{\"ok\": 1}");
    MessageLog quiet;
    UploadManager* manager = UploadManager::instance();
    Json::Value root;
    const QByteArray file = (base() + "/files/agent.bin").toUtf8();
    if (sender == QLatin1String("getVersionAnswer")) {
        QByteArray body;
        QByteArray signature;
        QVERIFY(manager->getVersionAnswer(QStringLiteral("1.0"), body, signature));
    } else if (sender == QLatin1String("getProductInfo")) {
        QVERIFY(manager->getProductInfo(QStringLiteral("1.0"), root));
    } else if (sender == QLatin1String("useReport")) {
        QVERIFY(manager->useReport(QStringLiteral("m"), QStringLiteral("1.0"), QStringLiteral("c"),
            QStringLiteral("u"), 1, root));
    } else if (sender == QLatin1String("getProductAd")) {
        QVERIFY(manager->getProductAd(root));
    } else if (sender == QLatin1String("downloadFile")) {
        QByteArray data;
        QVERIFY(manager->downloadFile(file.constData(), data));
    } else if (sender == QLatin1String("downloadImage")) {
        QImage image;
        manager->downloadImage(file.constData(), &image); // no picture: only the request counts
    } else if (sender == QLatin1String("NetworkAccess")) {
        NetworkAccess access;
        bool called = false;
        access.get(QString::fromUtf8(file), QString(), [](void* flag) { *static_cast<bool*>(flag) = true; }, &called);
        QTRY_VERIFY(called);
    } else {
        QCOMPARE(passFetch(QString::fromUtf8(file)), 0);
    }
    const SeenRequest seen = lastRequest();
    const auto agent = seen.headers.find("User-Agent");
    QVERIFY2(agent != seen.headers.end(), qPrintable(QString::fromStdString(seen.target)));
    QCOMPARE(QByteArray::fromStdString(agent->second), QByteArray("Orbisnap/") + OrbisnapVersion + " (" + component + ")");
    QCOMPARE(seen.headers.count("User-Agent"), std::size_t(1));
}

// A request that fails with a cause, then another on the same thread: what last() tells the
// host afterwards belongs to the later request alone, never to the earlier one.
void UploadManagerTest::causeOfLaterRequestOnly_data()
{
    QTest::addColumn<QString>("later");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("cause");

    QTest::newRow("version-answer-no-json") << "versionDiff" << 200 << QByteArray("not json") << "";
    QTest::newRow("version-answer-good") << "versionDiff" << 200 << QByteArray("{}") << "";
    QTest::newRow("post-call-failed-without-cause") << "productAd" << 500 << QByteArray("{}") << "";
    QTest::newRow("picture-refused") << "downloadImage" << 200 << QByteArray("no picture") << "";
    QTest::newRow("pass-transfer-good") << "transfer" << 200 << QByteArray("bytes") << "";
    QTest::newRow("pass-transfer-own-cause")
        << "truncated" << 200 << QByteArray() << "127.0.0.1 closed the connection before the whole answer came";
}

void UploadManagerTest::causeOfLaterRequestOnly()
{
    QFETCH(QString, later);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, cause);

    MessageLog log;
    answerWith(404, "gone");
    QByteArray data;
    const QByteArray missing = (base() + "/files/missing.dll").toUtf8();
    QVERIFY(!UploadManager::instance()->downloadFile(missing.constData(), data));
    QCOMPARE(FailureCause::last(), QStringLiteral("127.0.0.1 answered 404"));

    answerWith(status, answer.toStdString());
    ScriptedServer truncating(
        { { "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n" + QByteArray(50, 'x') } }, ScriptedServer::End::Close);
    UploadManager* manager = UploadManager::instance();
    Json::Value root;
    if (later == QLatin1String("versionDiff")) {
        QCOMPARE(manager->getVersionDiff(QStringLiteral("1.0"), root), answer == "{}");
    } else if (later == QLatin1String("productAd")) {
        QVERIFY(!manager->getProductAd(root));
    } else if (later == QLatin1String("downloadImage")) {
        QImage image;
        QVERIFY(!manager->downloadImage((base() + "/files/picture.png").toUtf8().constData(), &image));
    } else {
        QVERIFY(truncating.start());
        const bool cut = later == QLatin1String("truncated");
        QCOMPARE(passFetch((cut ? truncating.baseUrl() : base()) + QStringLiteral("/files/file.bin")) == 0, !cut);
    }
    QCOMPARE(FailureCause::last(), cause);
}

QTEST_GUILESS_MAIN(UploadManagerTest)
#include "tst_uploadmanager.moc"
