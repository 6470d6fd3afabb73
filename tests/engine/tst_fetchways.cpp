// The download pass's ways to a file against a real loopback server: the patch from the
// installed file, else the compressed copy, else the whole file; each object checked as it
// arrives and its decoding checked against the entry, every failure falling back once to the
// next way with one line, nothing wrong ever kept, an object resumed with Range.

#include "download.h"
#include "enginetestutil.h"
#include "fetchtarget.h"
#include "fetchways.h"
#include "patchformat.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <zstd.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

// Writes path, making its folders.
bool put(const QString& path, const QByteArray& bytes)
{
    return QDir().mkpath(QFileInfo(path).path()) && writeFile(path, bytes);
}

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray sha256Hex(const QByteArray& bytes)
{
    return sha256(bytes).toHex();
}


// A zstd frame of data, with prefix as history when given: how the vendor's tools make a
// compressed copy and a prefix patch's body.
QByteArray zstdFrame(const QByteArray& data, const QByteArray& prefix = {})
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 22);
    if (!prefix.isEmpty()) {
        ZSTD_CCtx_refPrefix(context, prefix.constData(), std::size_t(prefix.size()));
    }
    QByteArray out(qsizetype(ZSTD_compressBound(std::size_t(data.size()))), Qt::Uninitialized);
    const std::size_t size = ZSTD_compress2(
        context, out.data(), std::size_t(out.size()), data.constData(), std::size_t(data.size()));
    ZSTD_freeCCtx(context);
    out.resize(ZSTD_isError(size) ? 0 : qsizetype(size));
    return out;
}

// A patch object of the prefix method from oldBytes to newBytes; its header may claim another
// result (claimed), to make a patch that decodes to other bytes than its header says.
QByteArray prefixPatch(const QByteArray& oldBytes, const QByteArray& newBytes)
{
    delta::PatchHeader header;
    header.method = delta::PatchMethod::Prefix;
    header.oldSize = std::uint64_t(oldBytes.size());
    header.newSize = std::uint64_t(newBytes.size());
    std::memcpy(header.oldSha256.data(), sha256(oldBytes).constData(), 32);
    std::memcpy(header.newSha256.data(), sha256(newBytes).constData(), 32);
    std::uint8_t bytes[delta::PatchHeaderSize];
    delta::writePatchHeader(header, bytes);
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes) + zstdFrame(newBytes, oldBytes);
}

enum class Reply {
    Good,      // the object's bytes
    Missing,   // 404
    Corrupt,   // bytes of the right size with one changed
    Longer,    // more bytes than the object has
    Html,      // an HTML page answered with 200
    Endless,   // a body without length that never ends
    Cut,       // half the body, then the connection closes
    Other,     // a well-formed object that decodes to other bytes, advertised by its own digest
    Garbage,   // bytes no decoder takes, advertised by their own digest
};

// Objects below /r/objects/ and releases below /r/1.0.4/ on a loopback server.
class ObjectServer
{
public:
    ObjectServer()
    {
        http.http().Get(R"(/r/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
            std::string body;
            Reply reply = Reply::Missing;
            {
                std::lock_guard lock(mutex);
                const auto found = files.find(request.matches[1]);
                if (found != files.end()) {
                    body = found->second.first;
                    reply = found->second.second;
                }
            }
            answer(reply, body, response);
        });
    }
    bool start() { return http.start(); }
    QString url(const QString& relative) const { return http.baseUrl() + QStringLiteral("/r/") + relative; }
    void serve(const QString& relative, const QByteArray& body, Reply reply = Reply::Good)
    {
        std::lock_guard lock(mutex);
        files[relative.toStdString()] = { body.toStdString(), reply };
    }
    // The paths asked for below /r/, in order: "patch", "packed" or the raw file's path.
    QStringList requested() const
    {
        QStringList paths;
        for (const SeenRequest& request : http.requests()) {
            QString path = QString::fromStdString(request.path).mid(3);
            if (path.endsWith(QLatin1String(".patch"))) {
                path = QStringLiteral("patch");
            } else if (path.endsWith(QLatin1String(".zst"))) {
                path = QStringLiteral("packed");
            }
            paths << path;
        }
        return paths;
    }
    std::vector<SeenRequest> requests() const { return http.requests(); }

private:
    static void answer(Reply reply, std::string body, httplib::Response& response)
    {
        switch (reply) {
        case Reply::Missing:
            response.status = 404;
            response.set_content("not found", "text/plain");
            return;
        case Reply::Html:
            response.set_content("<html><body>Please log in</body></html>", "text/html");
            return;
        case Reply::Endless:
            response.set_chunked_content_provider("application/octet-stream",
                [](std::size_t, httplib::DataSink& sink) {
                    const std::string chunk(64 * 1024, 'e');
                    return sink.write(chunk.data(), chunk.size());
                });
            return;
        case Reply::Cut:
            response.set_content_provider(body.size(), "application/octet-stream",
                [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset > 0) {
                        return false;
                    }
                    sink.write(body.data(), body.size() / 2);
                    return true;
                });
            return;
        case Reply::Corrupt:
            body[body.size() / 2] = char(body[body.size() / 2] ^ 0x20);
            break;
        case Reply::Longer:
            body += "and more";
            break;
        case Reply::Good:
        case Reply::Other:
        case Reply::Garbage:
            break;
        }
        // A strong validator, so a cut object is continued with Range and If-Range.
        response.set_header("ETag", "\"" + std::to_string(body.size()) + "\"");
        response.set_content(body, "application/octet-stream");
    }

    TestHttpServer http;
    mutable std::mutex mutex;
    std::map<std::string, std::pair<std::string, Reply>> files;
};

// The release pair of one file: as installed and as the newest release has it. Half random
// bytes, half text, so that a compressed copy is about half the file and a patch far smaller.
QByteArray changed(QByteArray bytes)
{
    bytes.replace(1000, 16, "version 1.0.4 --");
    return bytes + "A new function.";
}
const QByteArray OldFile = randomBytes(32 * 1024, 1) + QByteArray("Text that compresses well. ").repeated(1200);
const QByteArray NewFile = changed(OldFile);

} // namespace

Q_DECLARE_METATYPE(Reply)

class FetchWaysTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void ways_data();
    void ways();
    void cheapestFirst_data();
    void cheapestFirst();
    void manyFilesAtOnce();
    void objectResumedWithRange();

private:
    // The entry line of path with the objects it names (an empty digest: not named).
    QByteArray entryLine(const QByteArray& path, const QByteArray& newBytes, const QByteArray& packed,
        const QByteArray& patchFrom, const QByteArray& patch) const;
    // Runs one pass over the entry lines; answers what it wrote on stderr.
    QByteArray runPass(const QByteArrayList& lines, bool withObjects = true);

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<Folders> folders;
    std::unique_ptr<ObjectServer> server;
};

void FetchWaysTest::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folders = std::make_unique<Folders>(temp->path());
    server = std::make_unique<ObjectServer>();
    QVERIFY(server->start());
}

QByteArray FetchWaysTest::entryLine(const QByteArray& path, const QByteArray& newBytes, const QByteArray& packed,
    const QByteArray& patchFrom, const QByteArray& patch) const
{
    QByteArray line = "0 [Changed] : " + path + ' ' + QByteArray::number(newBytes.size()) + ' ' + sha256Hex(newBytes);
    if (!packed.isNull()) {
        line += " packed=" + QByteArray::number(packed.size()) + ':' + sha256Hex(packed);
    }
    if (!patch.isNull()) {
        line += " patch=" + sha256Hex(patchFrom) + ':' + QByteArray::number(patch.size()) + ':' + sha256Hex(patch);
    }
    return line;
}

QByteArray FetchWaysTest::runPass(const QByteArrayList& lines, bool withObjects)
{
    QByteArray text = "@Orbisnap\nv1.0.3 --> v1.0.4\n" + server->url(QStringLiteral("1.0.4")).toUtf8();
    if (withObjects) {
        text += ' ' + server->url(QStringLiteral("objects")).toUtf8();
    }
    text += '\n' + lines.join('\n') + '\n';
    if (!writeFile(folders->diff, text)) {
        return "cannot write the version-difference file";
    }
    StderrCapture err;
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    worker.transferLimits.inactivityMs = 2000;
    if (worker.start() != 0) {
        return "worker not started";
    }
    worker.wait();
    return err.text();
}

void FetchWaysTest::ways_data()
{
    QTest::addColumn<QByteArray>("installed"); // the installed file; null: none
    QTest::addColumn<Reply>("patchReply");     // how the patch is served
    QTest::addColumn<Reply>("packedReply");    // and the compressed copy
    QTest::addColumn<bool>("rawServed");
    QTest::addColumn<QStringList>("requested");
    QTest::addColumn<QStringList>("lines"); // what stderr must say, one line each, in order

    const QStringList viaPatch { "downloading  ...  bin/core.dll", "fetched by patch: bin/core.dll" };
    const auto fellBack = [](const char* from, const char* reason, const char* to) {
        return QStringLiteral("bin/core.dll: the %1 not used: %2.*; fetching the %3")
            .arg(QLatin1String(from), QLatin1String(reason), QLatin1String(to));
    };
    const QString viaPacked = QStringLiteral("fetched by compressed copy: bin/core.dll");
    const QString start = QStringLiteral("downloading  ...  bin/core.dll");

    QTest::newRow("patch") << OldFile << Reply::Good << Reply::Good << true << QStringList { "patch" } << viaPatch;
    QTest::newRow("installed-altered-compressed-copy")
        << QByteArray(OldFile + "user's change") << Reply::Good << Reply::Good << true << QStringList { "packed" }
        << QStringList { start, fellBack("patch", "the installed file is not the patch's source", "compressed copy"),
               viaPacked };
    QTest::newRow("installed-missing-compressed-copy")
        << QByteArray() << Reply::Good << Reply::Good << true << QStringList { "packed" }
        << QStringList { start, fellBack("patch", "the installed file is missing", "compressed copy"), viaPacked };
    QTest::newRow("installed-altered-and-no-compressed-copy-raw")
        << QByteArray("other") << Reply::Good << Reply::Missing << true << QStringList { "packed", "1.0.4/bin/core.dll" }
        << QStringList { start, fellBack("patch", "the installed file is not", "compressed copy"),
               fellBack("compressed copy", "the transfer failed with error code 203", "whole file") };

    const struct
    {
        const char* tag;
        Reply reply;
        const char* reason;
    } faults[] = {
        { "missing", Reply::Missing, "the transfer failed with error code 203" },
        { "corrupt", Reply::Corrupt, "content differs" },
        { "longer", Reply::Longer, "size differs" },
        { "html-200", Reply::Html, "size differs" },
        { "endless", Reply::Endless, "more bytes than the file's size" },
        { "cut", Reply::Cut, "the transfer failed with error code" },
        { "decodes-to-other-bytes", Reply::Other, "decodes to other bytes" },
        { "no-object-of-ours", Reply::Garbage, "cannot be decoded" },
    };
    for (const auto& fault : faults) {
        QTest::newRow(qPrintable(QStringLiteral("patch-%1-compressed-copy").arg(QLatin1String(fault.tag))))
            << OldFile << fault.reply << Reply::Good << true << QStringList { "patch", "packed" }
            << QStringList { start, fellBack("patch", fault.reason, "compressed copy"), viaPacked };
        QTest::newRow(qPrintable(QStringLiteral("compressed-copy-%1-raw").arg(QLatin1String(fault.tag))))
            << QByteArray("not the source") << Reply::Good << fault.reply << true
            << QStringList { "packed", "1.0.4/bin/core.dll" }
            << QStringList { start, fellBack("patch", "the installed file is not", "compressed copy"),
                   fellBack("compressed copy", fault.reason, "whole file") };
    }
    QTest::newRow("both-objects-bad-raw")
        << OldFile << Reply::Corrupt << Reply::Html << true << QStringList { "patch", "packed", "1.0.4/bin/core.dll" }
        << QStringList { start, fellBack("patch", "content differs", "compressed copy"),
               fellBack("compressed copy", "size differs", "whole file") };
    // Every way fails: nothing is kept, and the pass ends (no way is tried twice).
    QTest::newRow("every-way-fails")
        << OldFile << Reply::Missing << Reply::Corrupt << false
        << QStringList { "patch", "packed", "1.0.4/bin/core.dll" }
        << QStringList { start, fellBack("patch", "the transfer failed", "compressed copy"),
               fellBack("compressed copy", "content differs", "whole file") };
}

void FetchWaysTest::ways()
{
    QFETCH(QByteArray, installed);
    QFETCH(Reply, patchReply);
    QFETCH(Reply, packedReply);
    QFETCH(bool, rawServed);
    QFETCH(QStringList, requested);
    QFETCH(QStringList, lines);

    if (!installed.isNull()) {
        QVERIFY(put(folders->app + QStringLiteral("/bin/core.dll"), installed));
    }
    const QByteArray packed = zstdFrame(NewFile);
    QVERIFY(!packed.isEmpty());
    const auto objectFor = [](Reply reply, const QByteArray& good, const QByteArray& other) {
        return reply == Reply::Other ? other : reply == Reply::Garbage ? QByteArray(good.size(), 'g') : good;
    };
    // Well-formed objects of other bytes: a patch to, and a copy of, a file the entry is not.
    QByteArray otherFile = NewFile;
    otherFile[100] = char(otherFile[100] ^ 1);
    const QByteArray patchServed = objectFor(patchReply, prefixPatch(OldFile, NewFile), prefixPatch(OldFile, otherFile));
    const QByteArray packedServed = objectFor(packedReply, packed, zstdFrame(otherFile));
    const QByteArray to = sha256Hex(NewFile);
    server->serve("objects/" + sha256Hex(OldFile) + '-' + to + ".patch", patchServed, patchReply);
    server->serve("objects/" + to + ".zst", packedServed, packedReply);
    if (rawServed) {
        server->serve(QStringLiteral("1.0.4/bin/core.dll"), NewFile);
    }

    const QByteArray entry = entryLine("bin/core.dll", NewFile, packedServed, OldFile, patchServed);
    const QByteArray err = runPass({ entry });

    QCOMPARE(server->requested(), requested);
    QStringList said = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(said.size(), lines.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QVERIFY2(said[i].contains(QRegularExpression(lines[i])), qPrintable(said[i] + " <> " + lines[i]));
    }
    // The file is there exactly, or not at all; the entry keeps its objects either way, and no
    // object, partial or decoded remnant stays behind.
    // A pass that fetched nothing takes away the folder it made.
    Tree expected;
    if (rawServed) {
        expected = { { QStringLiteral("bin/"), QByteArray() }, { QStringLiteral("bin/core.dll"), NewFile } };
    }
    Tree work = snapshotTree(folders->work);
    work.remove(QStringLiteral("version_diff.txt"));
    QCOMPARE(work.keys(), expected.keys());
    QVERIFY(work == expected);
    QCOMPARE(diffEntries(folders->diff), QByteArrayList { QByteArray(rawServed ? "2" : "0") + entry.mid(1) });
    // The installed file is never touched by the pass.
    if (!installed.isNull()) {
        QCOMPARE(readFile(folders->app + QStringLiteral("/bin/core.dll")), installed);
    }
}

void FetchWaysTest::cheapestFirst_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");
    QTest::addColumn<QString>("requested"); // the only request
    QTest::addColumn<QByteArray>("said");

    const QByteArray noise = randomBytes(64 * 1024, 11);
    QTest::newRow("patch-smallest") << OldFile << NewFile << "patch" << QByteArray("fetched by patch");
    // Random bytes do not compress: their copy is no cheaper than the file itself.
    QTest::newRow("incompressible-file-whole") << noise << randomBytes(64 * 1024, 12) << "1.0.4/bin/core.dll"
                                               << QByteArray();
    // A patch from unrelated bytes is the copy and its header: the copy is cheaper.
    const QByteArray text = QByteArray("The installed core library, version 1.0.4. ").repeated(300);
    QTest::newRow("copy-smaller-than-patch") << noise << text << "packed"
                                             << QByteArray("fetched by compressed copy");
}

// The ways are tried cheapest first, an object only when it is smaller than the file.
void FetchWaysTest::cheapestFirst()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QFETCH(QString, requested);
    QFETCH(QByteArray, said);

    QVERIFY(put(folders->app + QStringLiteral("/bin/core.dll"), oldBytes));
    const QByteArray patch = prefixPatch(oldBytes, newBytes);
    const QByteArray packed = zstdFrame(newBytes);
    const QByteArray to = sha256Hex(newBytes);
    server->serve("objects/" + sha256Hex(oldBytes) + '-' + to + ".patch", patch);
    server->serve("objects/" + to + ".zst", packed);
    server->serve(QStringLiteral("1.0.4/bin/core.dll"), newBytes);
    const QByteArray err = runPass({ entryLine("bin/core.dll", newBytes, packed, oldBytes, patch) });
    QCOMPARE(server->requested(), QStringList { requested });
    QVERIFY2(err.contains(said), err.constData());
    QVERIFY2(!err.contains("not used"), err.constData());
    QVERIFY(readFile(folders->work + QStringLiteral("/bin/core.dll")) == newBytes);
}

// Files whose ways fail and files whose ways work, more than the transfers that run at once:
// each falls back by itself, and the others go on meanwhile.
void FetchWaysTest::manyFilesAtOnce()
{
    QByteArrayList lines;
    Tree expected;
    for (int i = 0; i < 9; ++i) {
        const QByteArray path = "f" + QByteArray::number(i) + ".dll";
        const QByteArray oldBytes = randomBytes(16 * 1024, quint32(i)) + QByteArray(16 * 1024, 'z');
        const QByteArray newBytes = changed(oldBytes) + path;
        QVERIFY(put(folders->app + '/' + QString::fromLatin1(path), oldBytes));
        const QByteArray patch = prefixPatch(oldBytes, newBytes);
        const QByteArray packed = zstdFrame(newBytes);
        const QByteArray to = sha256Hex(newBytes);
        // One in three patches is missing, one in three compressed copies with it.
        server->serve("objects/" + sha256Hex(oldBytes) + '-' + to + ".patch", patch,
            i % 3 == 0 ? Reply::Missing : Reply::Good);
        server->serve("objects/" + to + ".zst", packed, i % 6 == 0 ? Reply::Missing : Reply::Good);
        server->serve("1.0.4/" + QString::fromLatin1(path), newBytes);
        lines << entryLine(path, newBytes, packed, oldBytes, patch);
        expected.insert(QString::fromLatin1(path), newBytes);
    }
    const QByteArray err = runPass(lines);
    Tree work = snapshotTree(folders->work);
    work.remove(QStringLiteral("version_diff.txt"));
    QCOMPARE(work.keys(), expected.keys());
    QVERIFY(work == expected);
    QCOMPARE(err.count("fetched by patch: "), 6);
    QCOMPARE(err.count("fetched by compressed copy: "), 1);
    QCOMPARE(err.count(" not used: "), 5);
    // Raw requests only for the two files that had neither.
    const QStringList raw = server->requested().filter(QStringLiteral("1.0.4/"));
    QCOMPARE(raw, QStringList({ "1.0.4/f0.dll", "1.0.4/f6.dll" }));
    for (const QByteArray& line : diffEntries(folders->diff)) {
        QVERIFY2(line.startsWith("2 "), line.constData());
    }
}

// An object cut short by an earlier run (its partial and the partial's record left behind) is
// continued from where it stopped, and the file comes out whole.
void FetchWaysTest::objectResumedWithRange()
{
    const QByteArray newBytes = randomBytes(2 << 20, 7) + QByteArray(2 << 20, '\0');
    const QByteArray packed = zstdFrame(newBytes);
    // Big enough to be continued rather than fetched again.
    QVERIFY(packed.size() > (1 << 20));
    const QString name = QString::fromLatin1(sha256Hex(newBytes)) + QStringLiteral(".zst");
    server->serve(QStringLiteral("objects/") + name, packed);
    const QString partial
        = folders->work + '/' + ObjectsWorkFolder + '/' + name + QLatin1String(FetchTarget::PartialSuffix);
    const qsizetype kept = packed.size() / 3;
    QVERIFY(put(partial, packed.left(kept)));
    QVERIFY(writeFile(folders->work + '/' + ObjectsWorkFolder + '/' + name + QLatin1String(FetchTarget::InfoSuffix),
        server->url(QStringLiteral("objects/") + name).toUtf8() + "\n\"" + QByteArray::number(packed.size()) + "\"\n"));

    const QByteArray err = runPass({ entryLine("big.dll", newBytes, packed, {}, {}) });
    QVERIFY2(err.contains("fetched by compressed copy: big.dll"), err.constData());
    const std::vector<SeenRequest> requests = server->requests();
    QCOMPARE(requests.size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(requests[0].headers.find("Range")->second),
        "bytes=" + QByteArray::number(kept) + '-');
    Tree work = snapshotTree(folders->work);
    work.remove(QStringLiteral("version_diff.txt"));
    QCOMPARE(work.keys(), QStringList { "big.dll" });
    QVERIFY(work.value(QStringLiteral("big.dll")) == newBytes);
}

QTEST_GUILESS_MAIN(FetchWaysTest)
#include "tst_fetchways.moc"
