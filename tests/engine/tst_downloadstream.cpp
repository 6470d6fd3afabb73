// The download pass against servers that misbehave: bodies checked against the size and
// SHA-256 of their entry while they arrive, interrupted transfers continued with Range,
// transfers side by side over reused connections, a transfer too slow to finish, and a disk
// that fills during the pass.

#include "debuglog.h"
#include "download.h"
#include "enginetestutil.h"
#include "fetchtarget.h"
#include "sha256.h"
#include "smalldisk.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

namespace {


// "0 [Add] : PATH SIZE SHA256", or without the last two when body is null.
QByteArray entryLine(const QByteArray& path, const QByteArray& body, bool withDigest = true)
{
    QByteArray line = "0 [Add] : " + path;
    if (withDigest) {
        line += ' ' + QByteArray::number(body.size()) + ' '
            + QByteArray::fromStdString(Sha256::toHex(Sha256::hash(body)));
    }
    return line;
}

QString header(const SeenRequest& request, const char* name)
{
    const auto it = request.headers.find(name);
    return it == request.headers.end() ? QString() : QString::fromStdString(it->second);
}

} // namespace

class DownloadStreamTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void hostile_data();
    void hostile();
    void resume_data();
    void resume();
    void resumeInfoOnlyWhereItPays_data();
    void resumeInfoOnlyWhereItPays();
    void sideBySideOverReusedConnections();
    void slowTransferAbandoned();
    void diskFillsDuringPass();
    void noRoomForLargeFile();
    void killedUpdaterResumes();
    void redirectedFiles_data();
    void redirectedFiles();
    void recheckBeforeInstall_data();
    void recheckBeforeInstall();
    void copyFromEarlierPass_data();
    void copyFromEarlierPass();

private:
    // Runs one pass over lines; answers the stored entry lines afterwards.
    QByteArrayList runPass(const QByteArrayList& lines, bool requireDigests = false,
        TransferLimits limits = {}, QByteArray* diagnostics = nullptr);
    void expectUrl(const QString& relative, int failure = -1);

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<Folders> folders;
    std::unique_ptr<TestHttpServer> server;
    QString mounted;
};

void DownloadStreamTest::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folders = std::make_unique<Folders>(temp->path());
    server = std::make_unique<TestHttpServer>();
}

void DownloadStreamTest::cleanup()
{
    server.reset();
    if (!mounted.isEmpty()) {
        QProcess::execute(QStringLiteral("umount"), { mounted });
        mounted.clear();
    }
    folders.reset();
    temp.reset();
}

void DownloadStreamTest::expectUrl(const QString& relative, int failure)
{
    const QString url = server->baseUrl() + QStringLiteral("/f/") + relative;
    QTest::ignoreMessage(
        QtDebugMsg, QRegularExpression(QStringLiteral("^url: \"%1\" $").arg(QRegularExpression::escape(url))));
    if (failure >= 0) {
        QTest::ignoreMessage(QtDebugMsg, QStringLiteral("down load failed error code:  %1 ").arg(failure).toUtf8());
    }
}

QByteArrayList DownloadStreamTest::runPass(
    const QByteArrayList& lines, bool requireDigests, TransferLimits limits, QByteArray* diagnostics)
{
    writeDiff(folders->diff, server->baseUrl() + QStringLiteral("/f"), lines);
    StderrCapture err;
    {
        Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 0);
        worker.requireDigests = requireDigests;
        worker.transferLimits = limits;
        worker.start();
        worker.wait();
    }
    if (diagnostics) {
        *diagnostics = err.text();
    }
    return diffEntries(folders->diff);
}

enum Hostile { Exact, AlteredByte, Truncated, UnaskedPartial, HtmlPage, Longer, NoDigest };
Q_DECLARE_METATYPE(Hostile)

void DownloadStreamTest::hostile_data()
{
    QTest::addColumn<Hostile>("serve");
    QTest::addColumn<bool>("requireDigests");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("failure"); // the transport's error code, -1 when it reports none
    QTest::addColumn<QString>("diagnostic"); // a line the pass must write, after the path
    QTest::addColumn<int>("size");

    QTest::newRow("exact-bytes-kept") << Exact << true << true << -1 << QString() << (1 << 20);
    // Large files are hashed on a thread beside the transfer; the verdicts are the same.
    QTest::newRow("large-exact-bytes-kept") << Exact << true << true << -1 << QString() << (9 << 20);
    QTest::newRow("large-one-byte-altered")
        << AlteredByte << true << false << -1
        << QStringLiteral("content differs \\(expected 9437184 bytes sha256 [0-9a-f]{64}, "
                          "received 9437184 bytes sha256 [0-9a-f]{64}\\)")
        << (9 << 20);
    QTest::newRow("one-byte-altered-same-length")
        << AlteredByte << true << false << -1
        << QStringLiteral("content differs \\(expected 1048576 bytes sha256 [0-9a-f]{64}, "
                          "received 1048576 bytes sha256 [0-9a-f]{64}\\)") << (1 << 20);
    QTest::newRow("truncated-at-close") << Truncated << true << false << 2 << QString() << (1 << 20);
    QTest::newRow("partial-reply-not-asked-for")
        << UnaskedPartial << true << false << 5
        << QStringLiteral("a partial reply that does not continue the partial file") << (1 << 20);
    QTest::newRow("html-error-page-with-200")
        << HtmlPage << true << false << 5
        << QStringLiteral("size differs \\(expected 1048576 bytes, announced 26\\)") << (1 << 20);
    QTest::newRow("more-bytes-than-the-size-cut-off")
        << Longer << true << false << 5 << QStringLiteral("more bytes than the file's size") << (1 << 20);
    QTest::newRow("line-without-digest-refused-with-keys")
        << NoDigest << true << false << -1 << QStringLiteral("no size and SHA-256 to check it against") << (1 << 20);
    QTest::newRow("line-without-digest-taken-without-keys") << NoDigest << false << true << -1 << QString() << (1 << 20);
}

// Each hostile answer leaves nothing in the working directory but the file of the pass, says
// why, and keeps the entry in its state.
void DownloadStreamTest::hostile()
{
    QFETCH(Hostile, serve);
    QFETCH(bool, requireDigests);
    QFETCH(bool, stored);
    QFETCH(int, failure);
    QFETCH(QString, diagnostic);
    QFETCH(int, size);

    const QByteArray body = randomBytes(size, 7);
    const qint64 extra = qint64(64) << 20;
    std::atomic<qint64> sent { 0 };
    server->http().Get("/f/file.bin", [&](const httplib::Request&, httplib::Response& response) {
        switch (serve) {
        case Exact:
        case NoDigest:
            response.set_content(body.toStdString(), "application/octet-stream");
            break;
        case AlteredByte: {
            QByteArray altered = body;
            altered[500000] = char(altered[500000] ^ 0x20);
            response.set_content(altered.toStdString(), "application/octet-stream");
            break;
        }
        case Truncated:
            response.set_content_provider(std::size_t(body.size()), "application/octet-stream",
                [&body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset > 0) {
                        return false;
                    }
                    sink.write(body.constData(), std::size_t(body.size() / 3));
                    return true;
                });
            break;
        case UnaskedPartial:
            response.status = 206;
            response.set_header("Content-Range", "bytes 0-1048575/1048576");
            response.set_content(body.toStdString(), "application/octet-stream");
            break;
        case HtmlPage:
            response.set_content("<html>Not here.</html>\r\n\r\n", "text/html");
            break;
        case Longer:
            // No length announced: only the entry's size bounds the body.
            response.set_chunked_content_provider("application/octet-stream",
                [&body, &sent, extra](std::size_t offset, httplib::DataSink& sink) {
                    if (qint64(offset) >= body.size() + extra) {
                        sink.done();
                        return true;
                    }
                    const std::size_t piece = 64 * 1024;
                    const char* from = body.constData() + (offset % std::size_t(body.size() - piece));
                    if (!sink.write(from, piece)) {
                        return false;
                    }
                    sent += qint64(piece);
                    return true;
                });
            break;
        }
    });
    QVERIFY(server->start());
    if (serve != NoDigest || !requireDigests) {
        expectUrl(QStringLiteral("file.bin"), failure);
    }
    QByteArray err;
    const QByteArrayList after
        = runPass({ entryLine("file.bin", body, serve != NoDigest), "0 [Delete] : gone.dll" }, requireDigests, {}, &err);

    QCOMPARE(after.first().left(1), stored ? QByteArray("2") : QByteArray("0"));
    QCOMPARE(after.last(), QByteArray("0 [Delete] : gone.dll"));
    Tree work = snapshotTree(folders->work);
    work.remove(QStringLiteral("version_diff.txt"));
    const Tree expectedWork = stored ? Tree { { QStringLiteral("file.bin"), body } } : Tree {};
    QCOMPARE(work, expectedWork);
    if (!diagnostic.isEmpty()) {
        const QRegularExpression line(QStringLiteral("\nnot fetched: file.bin: %1.*\n").arg(diagnostic));
        QVERIFY2(line.match(QString::fromUtf8(err)).hasMatch(), err.constData());
    }
    if (serve == Longer) {
        // Cut off soon after the size was passed, not read to the end.
        QVERIFY2(sent.load() < body.size() + extra / 2, QByteArray::number(sent.load()).constData());
    }
    if (serve == NoDigest && requireDigests) {
        QCOMPARE(server->requests().size(), std::size_t(0));
    }
}

enum Resume { Honoured, Ignored, WrongStart, FileChanged };
Q_DECLARE_METATYPE(Resume)

void DownloadStreamTest::resume_data()
{
    QTest::addColumn<Resume>("answer");
    QTest::addColumn<bool>("stored");
    QTest::newRow("range-honoured-rest-appended") << Honoured << true;
    QTest::newRow("range-ignored-whole-file-again") << Ignored << true;
    QTest::newRow("range-from-elsewhere-refused") << WrongStart << false;
    QTest::newRow("file-changed-validator-differs") << FileChanged << true;
}

// A transfer cut short keeps its bytes and the server's validator; the next pass asks for the
// rest with Range and If-Range and takes only an answer that continues the partial.
void DownloadStreamTest::resume()
{
    QFETCH(Resume, answer);
    QFETCH(bool, stored);

    // Large enough to be hashed beside the transfer, the partial's bytes included.
    const QByteArray first = randomBytes(10 << 20, 11);
    const QByteArray second = randomBytes(10 << 20, 12); // the file after a new release
    const qsizetype cut = first.size() * 2 / 5;
    std::atomic<bool> secondRun { false };
    server->http().Get("/f/sub/big.bin", [&](const httplib::Request& request, httplib::Response& response) {
        const bool changed = secondRun && answer == FileChanged;
        const QByteArray& body = changed ? second : first;
        response.set_header("ETag", changed ? "\"v2\"" : "\"v1\"");
        if (!secondRun) {
            response.set_content_provider(std::size_t(body.size()), "application/octet-stream",
                [&body, cut](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset > 0) {
                        return false;
                    }
                    sink.write(body.constData(), std::size_t(cut));
                    return true;
                });
            return;
        }
        const bool validatorMatches = request.get_header_value("If-Range") == "\"v1\"" && !changed;
        const std::string range = request.get_header_value("Range");
        if (answer == WrongStart) {
            response.status = 206;
            response.set_header("Content-Range", "bytes 0-" + std::to_string(body.size() - 1) + "/"
                    + std::to_string(body.size()));
            response.set_content(body.toStdString(), "application/octet-stream");
            return;
        }
        if (answer == Honoured && validatorMatches && range.rfind("bytes=", 0) == 0) {
            // The server library answers the Range itself: 206 with its Content-Range.
            response.set_content(body.toStdString(), "application/octet-stream");
            return;
        }
        // Whole file, 200, streamed without a length so that the library applies no range.
        response.status = 200;
        response.set_chunked_content_provider("application/octet-stream",
            [&body](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= std::size_t(body.size())) {
                    sink.done();
                    return true;
                }
                const std::size_t piece = std::min<std::size_t>(256 * 1024, std::size_t(body.size()) - offset);
                sink.write(body.constData() + offset, piece);
                return true;
            });
    });
    QVERIFY(server->start());

    const QString partial = folders->work + QStringLiteral("/sub/big.bin") + QLatin1String(FetchTarget::PartialSuffix);
    const QString info = folders->work + QStringLiteral("/sub/big.bin") + QLatin1String(FetchTarget::InfoSuffix);
    expectUrl(QStringLiteral("sub/big.bin"), 2);
    QByteArrayList after = runPass({ entryLine("sub/big.bin", first) }, true);
    QCOMPARE(after, QByteArrayList { entryLine("sub/big.bin", first) });
    QVERIFY(!QFileInfo::exists(folders->work + QStringLiteral("/sub/big.bin")));
    // What arrived before the connection closed, however much of it Qt handed over.
    const qint64 kept = QFileInfo(partial).size();
    QVERIFY2(kept > 0 && kept <= cut, QByteArray::number(kept).constData());
    QCOMPARE(readFile(partial), first.left(kept));
    const std::size_t firstRun = server->requests().size();
    secondRun = true;
    QCOMPARE(readFile(info), (server->baseUrl() + QStringLiteral("/f/sub/big.bin\n\"v1\"\n")).toUtf8());

    const QByteArray& expected = answer == FileChanged ? second : first;
    expectUrl(QStringLiteral("sub/big.bin"), stored ? -1 : 5);
    QByteArray err;
    after = runPass({ entryLine("sub/big.bin", expected) }, true, {}, &err);

    const std::vector<SeenRequest> seen = server->requests();
    QCOMPARE(seen.size(), firstRun + 1);
    QCOMPARE(header(seen.front(), "Range"), QString());
    QCOMPARE(header(seen.back(), "Range"), QStringLiteral("bytes=%1-").arg(kept));
    QCOMPARE(header(seen.back(), "If-Range"), QStringLiteral("\"v1\""));
    QByteArray line = entryLine("sub/big.bin", expected);
    if (stored) {
        line[0] = '2';
    }
    QCOMPARE(after, QByteArrayList { line });
    QCOMPARE(readFile(folders->work + QStringLiteral("/sub/big.bin")), stored ? expected : QByteArray());
    QVERIFY(!QFileInfo::exists(partial));
    QVERIFY(!QFileInfo::exists(info));
    if (!stored) {
        QVERIFY2(err.contains("not fetched: sub/big.bin: a partial reply that does not continue the partial file"),
            err.constData());
    }
}

void DownloadStreamTest::resumeInfoOnlyWhereItPays_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("withDigest");
    QTest::addColumn<bool>("infoWhileHeld"); // what a killed process would leave
    QTest::addColumn<bool>("resumedAfterCut");

    QTest::newRow("small-known-size-fetched-again") << (64 << 10) << true << false << false;
    QTest::newRow("small-unknown-size-info-at-cut") << (64 << 10) << false << false << true;
    QTest::newRow("large-known-size-info-as-it-grows") << (3 << 20) << true << true << true;
    QTest::newRow("large-unknown-size-info-as-it-grows") << (3 << 20) << false << true << true;
}

// The resume info is written where a resumption can pay, and only then: a file known to be
// small has none at any time; a large one has it as soon as it has grown past a mebibyte (a
// killed process leaves it), one of unknown size when its transfer is cut off.
void DownloadStreamTest::resumeInfoOnlyWhereItPays()
{
    QFETCH(int, size);
    QFETCH(bool, withDigest);
    QFETCH(bool, infoWhileHeld);
    QFETCH(bool, resumedAfterCut);

    const QByteArray body = randomBytes(size, 41);
    const qsizetype held = size / 2 + 1000;
    std::atomic<bool> release { false };
    std::atomic<int> answered { 0 };
    server->http().Get("/f/data/file.bin", [&](const httplib::Request&, httplib::Response& response) {
        response.set_header("ETag", "\"e1\"");
        if (answered++ > 0) {
            response.set_content(body.toStdString(), "application/octet-stream"); // the library answers a range
            return;
        }
        response.set_content_provider(std::size_t(body.size()), "application/octet-stream",
            [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (qsizetype(offset) >= held) {
                    while (!release.load()) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                    return false;
                }
                return sink.write(body.constData() + offset, std::min<std::size_t>(16 << 10, held - offset));
            });
    });
    QVERIFY(server->start());
    const QByteArray line = entryLine("data/file.bin", body, withDigest);
    const QString partial = folders->work + QStringLiteral("/data/file.bin") + QLatin1String(FetchTarget::PartialSuffix);
    const QString info = folders->work + QStringLiteral("/data/file.bin") + QLatin1String(FetchTarget::InfoSuffix);

    expectUrl(QStringLiteral("data/file.bin"), 2);
    QVERIFY(writeDiff(folders->diff, server->baseUrl() + QStringLiteral("/f"), { line }));
    {
        StderrCapture err;
        Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 0);
        worker.requireDigests = false;
        QCOMPARE(worker.start(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() >= held, 20000);
        const bool infoThen = QFileInfo::exists(info);
        release = true;
        worker.wait();
        QCOMPARE(infoThen, infoWhileHeld);
    }
    QCOMPARE(diffEntries(folders->diff), QByteArrayList { line });
    QCOMPARE(QFileInfo::exists(info), resumedAfterCut);
    QCOMPARE(QFileInfo::exists(partial), resumedAfterCut);
    if (resumedAfterCut) {
        QCOMPARE(readFile(info), (server->baseUrl() + QStringLiteral("/f/data/file.bin\n\"e1\"\n")).toUtf8());
        QCOMPARE(readFile(partial), body.left(held));
    }

    expectUrl(QStringLiteral("data/file.bin"));
    const QByteArrayList after = runPass({ line });
    QCOMPARE(after, QByteArrayList { QByteArray(line).replace(0, 1, "2") });
    QCOMPARE(readFile(folders->work + QStringLiteral("/data/file.bin")), body);
    QVERIFY(!QFileInfo::exists(partial));
    QVERIFY(!QFileInfo::exists(info));
    const std::vector<SeenRequest> seen = server->requests();
    QCOMPARE(seen.size(), std::size_t(2));
    QCOMPARE(header(seen.back(), "Range"), resumedAfterCut ? QStringLiteral("bytes=%1-").arg(held) : QString());
}

// Many files: at most four transfers at once, more than one at a time, over connections that
// are kept and reused, with every FileStart in list order.
void DownloadStreamTest::sideBySideOverReusedConnections()
{
    constexpr int files = 16;
    std::atomic<int> now { 0 };
    std::atomic<int> most { 0 };
    std::mutex portsMutex;
    std::set<int> ports;
    QByteArrayList lines;
    QStringList order;
    std::map<std::string, QByteArray> bodies;
    for (int i = 0; i < files; ++i) {
        const QByteArray name = "f" + QByteArray::number(i) + ".bin";
        bodies[name.toStdString()] = randomBytes(64 * 1024, quint32(100 + i));
        lines.append(entryLine(name, bodies[name.toStdString()]));
        order.append(QStringLiteral("start:") + QString::fromUtf8(name));
    }
    server->http().Get(R"(/f/(.+))", [&](const httplib::Request& request, httplib::Response& response) {
        const int running = ++now;
        int seen = most.load();
        while (running > seen && !most.compare_exchange_weak(seen, running)) {
        }
        {
            std::lock_guard lock(portsMutex);
            ports.insert(request.remote_port);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        response.set_content(bodies.at(request.matches[1]).toStdString(), "application/octet-stream");
        --now;
    });
    QVERIFY(server->start());
    for (const auto& [name, body] : bodies) {
        expectUrl(QString::fromStdString(name));
    }

    writeDiff(folders->diff, server->baseUrl() + QStringLiteral("/f"), lines);
    EventLog log { folders->diff, QThread::currentThreadId(), {}, {} };
    StderrCapture err;
    {
        Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 0);
        worker.callback = &EventLog::callback;
        worker.userData = &log;
        QCOMPARE(worker.start(), 0);
        worker.wait();
    }
    order.append(QStringLiteral("done:1"));
    QCOMPARE(log.summary(), order);
    for (const QByteArray& line : diffEntries(folders->diff)) {
        QVERIFY2(line.startsWith("2 "), line.constData());
    }
    for (const auto& [name, body] : bodies) {
        QCOMPARE(readFile(folders->work + QLatin1Char('/') + QString::fromStdString(name)), body);
    }
    QVERIFY2(most.load() >= 2 && most.load() <= FileTransfers::MaxParallel, QByteArray::number(most.load()));
    // Sixteen files over at most four connections: each connection carried several.
    QVERIFY2(ports.size() <= std::size_t(FileTransfers::MaxParallel), QByteArray::number(qsizetype(ports.size())));
}

// A server that drips a few bytes now and then never trips the inactivity limit; the rate
// limit abandons it, and the pass goes on.
void DownloadStreamTest::slowTransferAbandoned()
{
    const QByteArray body = randomBytes(100 * 1024, 3);
    std::atomic<bool> stop { false };
    server->http().Get("/f/slow.bin", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(std::size_t(body.size()), "application/octet-stream",
            [&body, &stop](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (stop.load()) {
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                return sink.write(body.constData() + offset, 16);
            });
    });
    server->http().Get("/f/fast.bin", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(body.toStdString(), "application/octet-stream");
    });
    QVERIFY(server->start());
    expectUrl(QStringLiteral("slow.bin"), QNetworkReply::TimeoutError);
    expectUrl(QStringLiteral("fast.bin"));
    TransferLimits limits;
    limits.minimumBytes = 4096;
    limits.rateWindowMs = 400;
    QElapsedTimer clock;
    clock.start();
    const QByteArrayList after = runPass({ entryLine("slow.bin", body), entryLine("fast.bin", body) }, true, limits);
    const qint64 took = clock.elapsed();
    stop = true;
    QCOMPARE(after.at(0), entryLine("slow.bin", body));
    QVERIFY(after.at(1).startsWith("2 "));
    // At 320 bytes a second the whole body would take more than five minutes.
    QVERIFY2(took < 60000, QByteArray::number(took).constData());
    QVERIFY(!QFileInfo::exists(folders->work + QStringLiteral("/slow.bin")));
}

// A working directory on a small file system that fills during the pass: the files that did
// not fit are not recorded and leave nothing, nothing is installed, and once there is room the
// next pass fetches the rest and the install puts exactly the release's bytes in place.
void DownloadStreamTest::diskFillsDuringPass()
{
    const QString work = folders->work;
    QDir(work).removeRecursively();
    QVERIFY(QDir().mkpath(work));
    if (QProcess::execute(QStringLiteral("mount"), { "-t", "tmpfs", "-o", "size=2m", "tmpfs", work }) != 0) {
        QSKIP("cannot mount a small tmpfs here (needs root)");
    }
    mounted = work;

    std::map<std::string, QByteArray> bodies;
    QByteArrayList lines;
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = "part" + QByteArray::number(i) + ".dll";
        bodies[name.toStdString()] = randomBytes(700 * 1024, quint32(40 + i));
        lines.append(entryLine(name, bodies[name.toStdString()]));
    }
    server->http().Get(R"(/f/(.+))", [&](const httplib::Request& request, httplib::Response& response) {
        response.set_content(bodies.at(request.matches[1]).toStdString(), "application/octet-stream");
    });
    QVERIFY(server->start());
    QVERIFY(writeDiff(folders->diff, server->baseUrl() + QStringLiteral("/f"), lines));

    const DebugLog quiet; // the transfers' debug lines, kept out of the way (and any failure's)
    QByteArray err;
    {
        StderrCapture capture;
        Download worker(work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 0);
        QCOMPARE(worker.start(), 0);
        worker.wait();
        err = capture.text();
        QCOMPARE(worker.installFiles(), 0);
    }
    QVERIFY2(err.contains("(No space left on device)"), err.constData());
    QCOMPARE(snapshotTree(folders->app), Tree {});
    // Whatever is in the working directory is a whole file that its entry records, or nothing.
    const QByteArrayList recorded = diffEntries(folders->diff);
    int fetched = 0;
    for (const auto& [name, body] : bodies) {
        const QString path = work + QLatin1Char('/') + QString::fromStdString(name);
        const bool marked = recorded.contains(entryLine(QByteArray::fromStdString(name), body).replace(0, 1, "2"));
        if (marked) {
            QCOMPARE(readFile(path), body);
            ++fetched;
        }
        QVERIFY(!QFileInfo::exists(path + QLatin1String(FetchTarget::PartialSuffix)));
    }
    QVERIFY(fetched < int(bodies.size()));

    QCOMPARE(QProcess::execute(QStringLiteral("mount"), { "-o", "remount,size=16m", work }), 0);
    {
        StderrCapture capture;
        Download worker(work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 0);
        QCOMPARE(worker.start(), 0);
        worker.wait();
        QCOMPARE(worker.installFiles(), 1);
    }
    Tree expected;
    for (const auto& [name, body] : bodies) {
        expected.insert(QString::fromStdString(name), body);
    }
    QCOMPARE(snapshotTree(folders->app), expected);
}

// A large file the disk has no room for fails as its body starts, not after most of it came,
// and leaves nothing behind.
void DownloadStreamTest::noRoomForLargeFile()
{
    const SmallDisk disk(folders->work, "32m");
    if (!disk.isMounted()) {
        QSKIP("cannot mount a small tmpfs here (needs root)");
    }

    // 128 MiB, made of one random mebibyte over and over, served as it is asked for.
    const QByteArray block = randomBytes(1 << 20, 51);
    const qint64 size = qint64(128) << 20;
    Sha256 hash;
    for (qint64 at = 0; at < size; at += block.size()) {
        hash.addData(block.constData(), std::size_t(block.size()));
    }
    std::atomic<qint64> sent { 0 };
    server->http().Get("/f/big.bin", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(std::size_t(size), "application/octet-stream",
            [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                const std::size_t within = offset % std::size_t(block.size());
                const std::size_t piece = std::min(length, std::size_t(block.size()) - within);
                if (!sink.write(block.constData() + within, piece)) {
                    return false;
                }
                sent += qint64(piece);
                return true;
            });
    });
    QVERIFY(server->start());

    QByteArray err;
    const QByteArray line = "0 [Add] : big.bin " + QByteArray::number(size) + ' '
        + QByteArray::fromStdString(Sha256::toHex(hash.result()));
    expectUrl(QStringLiteral("big.bin"), QNetworkReply::OperationCanceledError);
    QCOMPARE(runPass({ line }, true, {}, &err), QByteArrayList { line });
    QVERIFY2(err.contains("write file failed: ") && err.contains("big.bin (No space left on device)"), err.constData());
    // The disk holds 32 MiB: had the file been written until it was full, at least that much
    // would have been sent. What was sent is what the connection's buffers took.
    QVERIFY2(sent.load() < (qint64(24) << 20), QByteArray::number(sent.load()).constData());
    QCOMPARE(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("version_diff.txt") });
}

// The updater process killed in the middle of a large file: its partial and the validator stay
// in the working directory, and the next run asks only for the rest.
void DownloadStreamTest::killedUpdaterResumes()
{
    const QByteArray body = randomBytes(24 << 20, 31);
    const qsizetype before = 9 << 20; // sent before the server holds the transfer
    std::atomic<bool> release { false };
    server->http().Get("/f/data/big.pak", [&](const httplib::Request& request, httplib::Response& response) {
        response.set_header("ETag", "\"big-1\"");
        if (!request.has_header("Range")) {
            response.set_content_provider(std::size_t(body.size()), "application/octet-stream",
                [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (qsizetype(offset) >= before) {
                        while (!release.load()) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        }
                        return false;
                    }
                    return sink.write(body.constData() + offset, std::min<std::size_t>(1 << 20, before - offset));
                });
            return;
        }
        response.set_content(body.toStdString(), "application/octet-stream"); // the library answers the range
    });
    QVERIFY(server->start());

    const QString tmp = temp->path() + QStringLiteral("/tmp");
    const QString work = tmp + QStringLiteral("/Host");
    QVERIFY(QDir().mkpath(work));
    const QString updater = folders->app + QStringLiteral("/RevisionPusher.exe");
    QVERIFY(QFile::copy(QStringLiteral(ORBISNAP_APP_EXE), updater));
    const QString diff = work + QStringLiteral("/version_diff.txt");
    QVERIFY(writeDiff(diff, server->baseUrl() + QStringLiteral("/f"), { entryLine("data/big.pak", body) }));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tmp);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    const QString partial = work + QStringLiteral("/data/big.pak") + QLatin1String(FetchTarget::PartialSuffix);
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(updater, { QStringLiteral("Host.exe"), QStringLiteral("0") });
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() >= before, 30000);
        process.kill();
        QVERIFY(process.waitForFinished(10000));
        release = true;
    }
    QCOMPARE(readFile(partial), body.left(before));
    QVERIFY(QFileInfo::exists(work + QStringLiteral("/data/big.pak") + QLatin1String(FetchTarget::InfoSuffix)));
    QVERIFY(!QFileInfo::exists(work + QStringLiteral("/data/big.pak")));
    QCOMPARE(diffEntries(diff), QByteArrayList { entryLine("data/big.pak", body) });

    QProcess again;
    again.setProcessEnvironment(environment);
    again.setStandardErrorFile(QProcess::nullDevice());
    again.start(updater, { QStringLiteral("Host.exe"), QStringLiteral("0") });
    QVERIFY(again.waitForFinished(60000));
    QCOMPARE(again.exitCode(), 0);
    QCOMPARE(readFile(work + QStringLiteral("/data/big.pak")), body);
    QVERIFY(!QFileInfo::exists(partial));
    QCOMPARE(diffEntries(diff), QByteArrayList { entryLine("data/big.pak", body).replace(0, 1, "2") });
    const std::vector<SeenRequest> seen = server->requests();
    QVERIFY(!seen.empty());
    QCOMPARE(header(seen.back(), "Range"), QStringLiteral("bytes=%1-").arg(before));
    QCOMPARE(header(seen.back(), "If-Range"), QStringLiteral("\"big-1\""));
}

void DownloadStreamTest::redirectedFiles_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("stored");
    QTest::newRow("no-hop") << 0 << true;
    QTest::newRow("four-hops-every-status") << 4 << true;
    QTest::newRow("ten-hops") << 10 << true;
    QTest::newRow("eleven-hops-refused") << 11 << false;
}

// Files whose addresses moved, over connections the server keeps open: every hop is asked for
// exactly once and only the final body is stored.
void DownloadStreamTest::redirectedFiles()
{
    QFETCH(int, hops);
    QFETCH(bool, stored);
    const QByteArray body = randomBytes(10000, 5);
    server->http().Get(R"(/f/(\w+)/(\d+))", [&](const httplib::Request& request, httplib::Response& response) {
        const int left = std::stoi(request.matches[2]);
        if (left == 0) {
            response.set_content(body.toStdString(), "application/octet-stream");
            return;
        }
        static const int statuses[] = { 301, 302, 307, 308 };
        response.set_redirect(
            "/f/" + std::string(request.matches[1]) + "/" + std::to_string(left - 1), statuses[left % 4]);
        response.set_content("<html>moved</html>", "text/html");
    });
    QVERIFY(server->start());
    QByteArrayList lines;
    const QStringList names { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c") };
    for (const QString& name : names) {
        lines.append(entryLine(QStringLiteral("%1/%2").arg(name).arg(hops).toUtf8(), body));
        expectUrl(QStringLiteral("%1/%2").arg(name).arg(hops), stored ? -1 : int(QNetworkReply::TooManyRedirectsError));
    }
    const QByteArrayList after = runPass(lines, true);
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(after.at(i).left(1), stored ? QByteArray("2") : QByteArray("0"));
        const QString copy = folders->work + QStringLiteral("/%1/%2").arg(names.at(i)).arg(hops);
        QCOMPARE(readFile(copy), stored ? body : QByteArray());
    }
    std::map<std::string, int> asked;
    for (const SeenRequest& request : server->requests()) {
        ++asked[request.path];
    }
    const int reached = stored ? hops : FileTransfers::MaxRedirects;
    QCOMPARE(asked.size(), std::size_t(names.size() * (reached + 1)));
    for (const auto& [path, count] : asked) {
        QVERIFY2(count == 1, path.c_str());
    }
}

enum Tamper { Altered, Truncated2, Removed, AlteredAndServerWrong };
Q_DECLARE_METATYPE(Tamper)

void DownloadStreamTest::recheckBeforeInstall_data()
{
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("diagnostic");
    QTest::newRow("copy-altered-fetched-again") << Altered << true << QStringLiteral("changed since it was fetched");
    QTest::newRow("copy-truncated-fetched-again") << Truncated2 << true << QStringLiteral("changed since it was fetched");
    QTest::newRow("copy-gone-fetched-again") << Removed << true << QStringLiteral("cannot be read");
    QTest::newRow("copy-altered-server-wrong-nothing-installed")
        << AlteredAndServerWrong << false << QStringLiteral("content differs");
}

// Between the pass and the install the working directory may change under the updater: each
// copy is checked again right before it is put in place, fetched again when it differs, and
// nothing is installed when that fails too.
void DownloadStreamTest::recheckBeforeInstall()
{
    QFETCH(Tamper, tamper);
    QFETCH(bool, installed);
    QFETCH(QString, diagnostic);

    const QByteArray core = randomBytes(300 * 1024, 21);
    const QByteArray tool = randomBytes(2000, 22);
    std::atomic<bool> wrong { false };
    server->http().Get(R"(/f/(.+))", [&](const httplib::Request& request, httplib::Response& response) {
        QByteArray body = request.matches[1] == "bin/core.dll" ? core : tool;
        if (wrong) {
            body[10] = char(body[10] ^ 1);
        }
        response.set_content(body.toStdString(), "application/octet-stream");
    });
    QVERIFY(server->start());
    QVERIFY(writeTree(folders->app, { { QStringLiteral("bin/core.dll"), QByteArray("old core") } }));
    const Tree before = snapshotTree(folders->app);
    const QByteArrayList lines { entryLine("bin/core.dll", core).replace("[Add]", "[Changed]"), entryLine("tool.exe", tool) };
    QVERIFY(writeDiff(folders->diff, server->baseUrl() + QStringLiteral("/f"), lines));

    const DebugLog quiet; // the transfers' debug lines, kept out of the way (and any failure's)
    StderrCapture err;
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    worker.requireDigests = true;
    QCOMPARE(worker.start(), 0);
    worker.wait();
    const QString copy = folders->work + QStringLiteral("/bin/core.dll");
    QCOMPARE(readFile(copy), core);
    QByteArray changed = core;
    switch (tamper) {
    case Altered:
    case AlteredAndServerWrong:
        changed[1000] = char(changed[1000] ^ 0x40);
        QVERIFY(writeFile(copy, changed));
        break;
    case Truncated2:
        QVERIFY(writeFile(copy, core.left(core.size() / 2)));
        break;
    case Removed:
        QVERIFY(QFile::remove(copy));
        break;
    }
    wrong = tamper == AlteredAndServerWrong;
    const std::size_t asked = server->requests().size();

    const int answer = worker.installFiles();
    const QByteArray text = err.text();
    QVERIFY2(text.contains(diagnostic.toUtf8()), text.constData());
    QCOMPARE(server->requests().size(), asked + 1);
    QCOMPARE(answer, installed ? 1 : 0);
    if (installed) {
        QCOMPARE(snapshotTree(folders->app),
            (Tree { { QStringLiteral("bin/"), QByteArray() }, { QStringLiteral("bin/core.dll"), core },
                { QStringLiteral("tool.exe"), tool } }));
    } else {
        QCOMPARE(snapshotTree(folders->app), before);
        // The entry whose copy could not be put right is no longer recorded as downloaded.
        QVERIFY(diffEntries(folders->diff).first().startsWith("0 [Changed] : bin/core.dll"));
    }
}

void DownloadStreamTest::copyFromEarlierPass_data()
{
    QTest::addColumn<bool>("withDigest");
    QTest::addColumn<int>("flipAt"); // byte of the copy altered before the pass; -1: none
    QTest::addColumn<int>("truncateTo"); // length the copy is cut to; -1: whole
    QTest::addColumn<bool>("fetched");
    QTest::newRow("whole-copy-taken") << true << -1 << -1 << false;
    QTest::newRow("altered-copy-fetched") << true << 5000 << -1 << true;
    QTest::newRow("short-copy-fetched") << true << -1 << 4096 << true;
    QTest::newRow("no-digest-fetched") << false << -1 << -1 << true;
}

// The update check writes every entry anew as not yet downloaded; a copy that an earlier pass
// (mode 0) left whole in the working directory is taken when its size and SHA-256 say it is
// the release's, instead of being downloaded again.
void DownloadStreamTest::copyFromEarlierPass()
{
    QFETCH(bool, withDigest);
    QFETCH(int, flipAt);
    QFETCH(int, truncateTo);
    QFETCH(bool, fetched);

    const QByteArray body = randomBytes(64 * 1024, 31);
    server->http().Get(R"(/f/(.+))", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(body.toStdString(), "application/octet-stream");
    });
    QVERIFY(server->start());
    QByteArray copy = body;
    if (flipAt >= 0) {
        copy[flipAt] = char(copy[flipAt] ^ 0x01);
    }
    if (truncateTo >= 0) {
        copy.truncate(truncateTo);
    }
    QVERIFY(writeTree(folders->work, { { QStringLiteral("lib/plugin.dll"), copy } }));

    if (fetched) {
        expectUrl(QStringLiteral("lib/plugin.dll"));
    }
    QByteArray diagnostics;
    const QByteArrayList lines = runPass({ entryLine("lib/plugin.dll", body, withDigest) }, false, {}, &diagnostics);
    QCOMPARE(server->requests().size(), std::size_t(fetched ? 1 : 0));
    QCOMPARE(diagnostics.contains("already fetched: lib/plugin.dll"), !fetched);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("2 [Add] : lib/plugin.dll"), lines.first().constData());
    QCOMPARE(readFile(folders->work + QStringLiteral("/lib/plugin.dll")), body);
}

QTEST_GUILESS_MAIN(DownloadStreamTest)
#include "tst_downloadstream.moc"
