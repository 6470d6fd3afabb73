// The update check in the test process: the server's answer turned into the version-difference
// file (or refused, leaving the last file and flag as they were), the launch messages that need
// no updater process, and the staged-updater install. The server is a real loopback server on
// the port of the compiled-in address. These checks trust no release key, whatever the build
// was configured with; verified answers are tst_signedcheck's.

#include "debuglog.h"
#include "difffile.h"
#include "temporarytmpdir.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatecheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <mutex>

Q_DECLARE_METATYPE(UpdateCheck::CheckResult)

namespace {

QByteArray diffText(const QByteArrayList& lines)
{
    QByteArray text = "@Orbisnap\n";
    for (const QByteArray& line : lines) {
        text += line + '\n';
    }
    return text;
}

QString refused(const char* where, const char* why)
{
    return QStringLiteral("update check refused: \"%1\" %2 ").arg(QLatin1String(where), QLatin1String(why));
}

QString tooLong(const char* where, int limit)
{
    return QStringLiteral("update check refused: \"%1\" longer than %2 bytes ")
        .arg(QLatin1String(where))
        .arg(limit);
}

// The answer every refusal and every "nothing newer" row follows: it leaves a file and sets
// the flag, so that the row can show both staying as they were.
const QByteArray BaselineAnswer
    = R"({"version":"9.9.9","path":"http://dl.example/9.9.9","u":[{"file":"baseline.dll"}]})";
const QByteArray BaselineFile
    = diffText({ "v1.0.0 --> v9.9.9", "http://dl.example/9.9.9", "0 [Changed] : baseline.dll" });

// A check that takes answers unverified, as a build without release keys does.
UpdateCheck unverifiedCheck()
{
    UpdateCheck update;
    update.trustKeys({});
    return update;
}

} // namespace

class UpdateCheckTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void answerToFile_data();
    void answerToFile();
    void objectsToFile_data();
    void objectsToFile();
    void nothingNewer_data();
    void nothingNewer();
    void refusedAnswer_data();
    void refusedAnswer();
    void serverFailure_data();
    void serverFailure();
    void unwritableFile();
    void prepareRecordsPaths();
    void writtenFileReadsBack();
    void launchWithoutFile();
    void launchIfNewerWithoutUpdate();

    void installStaged_data();
    void installStaged();
    void installStagedOntoItself();

private:
    void serve(const QByteArray& body, int status = 200);
    // <temporary directory>/<the executable's file name without ".exe">
    QString workDir() const { return tempRoot->path() + QLatin1Char('/') + ownWorkDirName(); }
    QString diffPath() const { return workDir() + QStringLiteral("/version_diff.txt"); }
    void writeBaseline(UpdateCheck& update);
    void addAnswerColumns();

    TestHttpServer server;
    std::mutex answerMutex;
    std::string answer;
    int answerStatus = 200;
    std::unique_ptr<TemporaryTmpDir> tempRoot;
};

void UpdateCheckTest::initTestCase()
{
    server.http().Get(
        "/prod/Orbisnap/getVersionDiff", [this](const httplib::Request&, httplib::Response& response) {
            std::lock_guard lock(answerMutex);
            response.status = answerStatus;
            response.set_content(answer, "application/json");
        });
    QVERIFY(server.startAtServerBaseUrl());
    // The working directory follows the executable's file name, never the application's name
    // (which Windows cuts at the first dot).
    QCoreApplication::setApplicationName(QStringLiteral("My.App"));

    // The first unverified check of the process says so, once; the tests below then see only
    // their own messages.
    tempRoot = std::make_unique<TemporaryTmpDir>();
    serve("{}");
    const QString notVerified
        = QStringLiteral("update check: answers are not verified (no release key trusted) ");
    DebugLog log;
    UpdateCheck first = unverifiedCheck();
    first.check(QStringLiteral("1.0.3"));
    QCOMPARE(log.lines(), QStringList { notVerified });
    UpdateCheck second = unverifiedCheck();
    second.check(QStringLiteral("1.0.3"));
    QCOMPARE(log.lines(), QStringList { notVerified });
    QCOMPARE(second.lastCheck(), UpdateCheck::CheckResult::NothingNewer);
}

void UpdateCheckTest::init()
{
    tempRoot.reset(); // TMPDIR as it was at the start, where the new root is made
    tempRoot = std::make_unique<TemporaryTmpDir>();
    QVERIFY(tempRoot->isValid());
    QCOMPARE(QDir::tempPath(), QDir(tempRoot->path()).canonicalPath());
}

void UpdateCheckTest::cleanup()
{
    tempRoot.reset();
}

void UpdateCheckTest::serve(const QByteArray& body, int status)
{
    std::lock_guard lock(answerMutex);
    answer = body.toStdString();
    answerStatus = status;
}

void UpdateCheckTest::writeBaseline(UpdateCheck& update)
{
    serve(BaselineAnswer);
    update.check(QStringLiteral("1.0.0"));
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);
    QVERIFY(update.isUpdateAvailable());
    QCOMPARE(readFile(diffPath()), BaselineFile);
}

void UpdateCheckTest::addAnswerColumns()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QByteArray>("body");
}

void UpdateCheckTest::answerToFile_data()
{
    addAnswerColumns();
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("example-one-changed")
        << "1.0.3"
        << QByteArray(
               R"({"version":"1.0.4","path":"http://dl.example/1.0.4","u":[{"file":"bin/core.dll"}],"d":[],"n":[]})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://dl.example/1.0.4", "0 [Changed] : bin/core.dll" });
    QTest::newRow("order-changed-deleted-added")
        << "1.0.3"
        << QByteArray(R"({"n":[{"file":"plugins/new.dll"},{"file":"n2.dll"}],"d":[{"file":"old.dll"}],)"
                      R"("u":[{"file":"a.dll"},{"file":"b/c.dll"}],"path":"http://h/p","version":"1.0.4"})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Changed] : a.dll", "0 [Changed] : b/c.dll",
               "0 [Delete] : old.dll", "0 [Add] : plugins/new.dll", "0 [Add] : n2.dll" });
    QTest::newRow("missing-n")
        << "1.0.3"
        << QByteArray(
               R"({"version":"1.0.4","path":"http://h/p","u":[{"file":"a.dll"}],"d":[{"file":"old.dll"}]})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Changed] : a.dll", "0 [Delete] : old.dll" });
    QTest::newRow("no-lists") << "1.0.3" << QByteArray(R"({"version":"1.0.4","path":"http://h/p"})")
                              << diffText({ "v1.0.3 --> v1.0.4", "http://h/p" });
    QTest::newRow("null-lists")
        << "1.0.3"
        << QByteArray(R"({"version":"1.0.4","path":"http://h/p","u":null,"d":null,"n":[{"file":"x"}]})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Add] : x" });
    QTest::newRow("element-without-file")
        << "1.0.3" << QByteArray(R"({"version":"1.0.4","path":"http://h/p","u":[{}]})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Changed] : " });
    QTest::newRow("file-null") << "1.0.3"
                               << QByteArray(R"({"version":"1.0.4","path":"http://h/p","d":[{"file":null}]})")
                               << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Delete] : " });
    QTest::newRow("other-members-ignored")
        << "1.0.3"
        << QByteArray(
               R"({"version":"1.0.4","path":"http://h/p","size":[1,2],"u":[{"file":"a.dll","md5":{"x":1}}]})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Changed] : a.dll" });
    QTest::newRow("numbers-as-text") << "1"
                                     << QByteArray(R"({"version":2,"path":7,"n":[{"file":42},{"file":-3}]})")
                                     << diffText({ "v1 --> v2", "7", "0 [Add] : 42", "0 [Add] : -3" });
    QTest::newRow("real-number-as-text") << "1.4" << QByteArray(R"({"version":1.5,"path":"http://h/p"})")
                                         << diffText({ "v1.4 --> v1.5", "http://h/p" });
    QTest::newRow("booleans-as-text")
        << "1.0" << QByteArray(R"({"version":"1.1","path":true,"u":[{"file":true},{"file":false}]})")
        << diffText({ "v1.0 --> v1.1", "true", "0 [Changed] : true", "0 [Changed] : false" });
    QTest::newRow("1.10-offered-over-1.9") << "1.9" << QByteArray(R"({"version":"1.10","path":"http://h/p"})")
                                           << diffText({ "v1.9 --> v1.10", "http://h/p" });
    QTest::newRow("10-offered-over-2") << "2" << QByteArray(R"({"version":"10","path":"http://h/p"})")
                                       << diffText({ "v2 --> v10", "http://h/p" });
    QTest::newRow("empty-installed-version") << "" << QByteArray(R"({"version":"1.0","path":"http://h/p"})")
                                             << diffText({ "v --> v1.0", "http://h/p" });
    QTest::newRow("utf8-path")
        << "1.0" << QByteArray(R"({"version":"1.1","path":"http://h/p","n":[{"file":"bilder/größe.png"}]})")
        << diffText({ "v1.0 --> v1.1", "http://h/p", "0 [Add] : bilder/größe.png" });
    const QByteArray hash = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    QTest::newRow("sizes-and-hashes")
        << "1.0.3"
        << QByteArray(R"({"version":"1.0.4","path":"http://h/p","installed":"1.0.3","issued":"2026-12-08T10:00:00Z",)"
                      R"("u":[{"file":"a.dll","size":4,"sha256":")" + hash + R"("}],)"
                      R"("d":[{"file":"old.dll","size":"junk","sha256":7}],)"
                      R"("n":[{"file":"empty.txt","size":0,"sha256":")" + hash + R"("},{"file":"plain.txt"}]})")
        << diffText({ "v1.0.3 --> v1.0.4", "http://h/p", "0 [Changed] : a.dll 4 " + hash, "0 [Delete] : old.dll",
               "0 [Add] : empty.txt 0 " + hash, "0 [Add] : plain.txt" });
    QTest::newRow("comments-allowed")
        << "1.0" << QByteArray("// newest\n{\"version\":\"1.1\", /* base */ \"path\":\"http://h/p\"}")
        << diffText({ "v1.0 --> v1.1", "http://h/p" });

    const QByteArray version30(30, '1');
    const QByteArray installed30 = QByteArray(29, '1') + '0';
    const QByteArray path255 = "http://h/" + QByteArray(255 - 9, 'p');
    const QByteArray file127 = QByteArray(127, 'f');
    QTest::newRow("every-field-at-its-limit")
        << QString::fromLatin1(installed30)
        << QByteArray(R"({"version":")" + version30 + R"(","path":")" + path255 + R"(","u":[{"file":")"
               + file127 + R"("}]})")
        << diffText({ "v" + installed30 + " --> v" + version30, path255, "0 [Changed] : " + file127 });
}

void UpdateCheckTest::answerToFile()
{
    QFETCH(QString, installed);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);

    UpdateCheck update = unverifiedCheck();
    serve(body);
    DebugLog log;
    update.check(installed);
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);
    QVERIFY(update.isUpdateAvailable());
    QCOMPARE(update.diffFilePath(), diffPath().toUtf8());
    QCOMPARE(readFile(diffPath()), expected);
    QCOMPARE(update.installedVersion(), installed.toUtf8());
}

void UpdateCheckTest::objectsToFile_data()
{
    QTest::addColumn<QByteArray>("members"); // the answer's "objects" member, or empty
    QTest::addColumn<QByteArray>("changed"); // objects of the "u" element
    QTest::addColumn<QByteArray>("added");   // objects of the "n" element
    QTest::addColumn<QByteArray>("expected"); // the file's lines 3 to 5
    QTest::addColumn<QStringList>("messages");

    const QByteArray h = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    const QByteArray a = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
    const QByteArray b = "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaeea5b1b4b";
    const QByteArray objects = R"("objects":"http://h/r/objects",)";
    const QByteArray packedA = R"(,"packed":{"size":3,"sha256":")" + a + R"("})";
    const QByteArray patchB = R"(,"patch":{"from":")" + b + R"(","size":2,"sha256":")" + h + R"("})";
    const QByteArray base = "http://h/r/1.0.4";
    const QByteArray lineU = "0 [Changed] : a.dll 4 " + h;
    const QByteArray lineN = "0 [Add] : n.dll 4 " + h;
    const auto file = [&](const QByteArray& baseLine, const QByteArray& u, const QByteArray& n) {
        return QByteArray(baseLine + '\n' + lineU + u + '\n' + lineN + n + '\n');
    };
    const auto leftOut = [](const char* where, const char* why) {
        return QStringList { QStringLiteral("update check: object left out: \"%1\" %2 ")
                .arg(QLatin1String(where), QLatin1String(why)) };
    };

    QTest::newRow("both-ways") << objects << packedA + patchB << packedA
                               << file(base + " http://h/r/objects", " packed=3:" + a + " patch=" + b + ":2:" + h,
                                      " packed=3:" + a)
                               << QStringList();
    QTest::newRow("no-objects-folder-no-objects")
        << QByteArray() << packedA + patchB << packedA << file(base, "", "") << QStringList();
    QTest::newRow("patch-of-a-new-file-ignored")
        << objects << QByteArray() << packedA + patchB
        << file(base + " http://h/r/objects", "", " packed=3:" + a) << QStringList();
    QTest::newRow("folder-without-objects")
        << objects << QByteArray() << QByteArray() << file(base + " http://h/r/objects", "", "") << QStringList();
    QTest::newRow("packed-not-an-object")
        << objects << R"(,"packed":"x")" + patchB << QByteArray()
        << file(base + " http://h/r/objects", " patch=" + b + ":2:" + h, "") << leftOut("u[0].packed", "not an object");
    QTest::newRow("packed-negative-size")
        << objects << QByteArray(R"(,"packed":{"size":-1,"sha256":")" + a + R"("})") << QByteArray()
        << file(base + " http://h/r/objects", "", "") << leftOut("u[0].packed", "has no size in bytes");
    QTest::newRow("packed-size-as-text")
        << objects << QByteArray() << QByteArray(R"(,"packed":{"size":"3","sha256":")" + a + R"("})")
        << file(base + " http://h/r/objects", "", "") << leftOut("n[0].packed", "has no size in bytes");
    QTest::newRow("packed-upper-case-hash")
        << objects << QByteArray(R"(,"packed":{"size":3,"sha256":")" + a.toUpper() + R"("})") << packedA
        << file(base + " http://h/r/objects", "", " packed=3:" + a)
        << leftOut("u[0].packed", "has no sha256 of 64 lower-case hex digits");
    QTest::newRow("patch-without-from")
        << objects << packedA + R"(,"patch":{"size":2,"sha256":")" + h + R"("})" << QByteArray()
        << file(base + " http://h/r/objects", " packed=3:" + a, "")
        << leftOut("u[0].patch", "has no \"from\" of 64 lower-case hex digits");
    QTest::newRow("patch-as-array")
        << objects << QByteArray(R"(,"patch":[1])") << QByteArray() << file(base + " http://h/r/objects", "", "")
        << leftOut("u[0].patch", "not an object");
    QTest::newRow("objects-not-text")
        << QByteArray(R"("objects":["x"],)") << packedA << packedA << file(base, "", "")
        << QStringList { QStringLiteral("update check: objects left out: \"objects\" not a text ") };
    QTest::newRow("objects-with-blank")
        << QByteArray(R"("objects":"http://h/r/ob jects",)") << packedA << packedA << file(base, "", "")
        << QStringList { QStringLiteral("update check: objects left out: \"objects\" holds white space ") };
    QTest::newRow("objects-not-http")
        << QByteArray(R"("objects":"file:///etc",)") << packedA << packedA << file(base, "", "")
        << QStringList { QStringLiteral("update check: objects left out: \"objects\" not an http or https URL ") };
    const QByteArray long256 = "http://h/" + QByteArray(256 - 9, 'o');
    QTest::newRow("objects-256-bytes")
        << QByteArray(R"("objects":")" + long256 + R"(",)") << packedA << packedA << file(base, "", "")
        << QStringList { QStringLiteral("update check: objects left out: \"objects\" longer than 255 bytes ") };
    QTest::newRow("objects-255-bytes") << QByteArray(R"("objects":")" + long256.chopped(1) + R"(",)") << packedA
                                       << QByteArray() << file(base + " " + long256.chopped(1), " packed=3:" + a, "")
                                       << QStringList();
}

// The answer's objects go into the file as the updater reads them; one it cannot read is left
// out with one message, and its file is still listed with its size and hash.
void UpdateCheckTest::objectsToFile()
{
    QFETCH(QByteArray, members);
    QFETCH(QByteArray, changed);
    QFETCH(QByteArray, added);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, messages);

    const QByteArray h = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    UpdateCheck update = unverifiedCheck();
    serve(R"({"version":"1.0.4","path":"http://h/r/1.0.4",)" + members + R"("u":[{"file":"a.dll","size":4,"sha256":")"
        + h + '"' + changed + R"(}],"n":[{"file":"n.dll","size":4,"sha256":")" + h + '"' + added + "}]}");
    DebugLog log;
    update.check(QStringLiteral("1.0.3"));
    QCOMPARE(log.lines(), messages);
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);
    QCOMPARE(readFile(diffPath()), "@Orbisnap\nv1.0.3 --> v1.0.4\n" + expected);
    // And the updater reads back what was written.
    DiffFile diff;
    QCOMPARE(readDiffFile(QFile::encodeName(diffPath()).constData(), diff), DiffLoad::Loaded);
    QCOMPARE(diff.entries.count, 2);
}

void UpdateCheckTest::nothingNewer_data()
{
    addAnswerColumns();
    QTest::newRow("equal") << "1.0.4"
                           << QByteArray(R"({"version":"1.0.4","path":"http://h/p","u":[{"file":"a"}]})");
    QTest::newRow("older") << "1.0.5" << QByteArray(R"({"version":"1.0.4","path":"http://h/p"})");
    QTest::newRow("1.9-not-over-1.10") << "1.10" << QByteArray(R"({"version":"1.9","path":"http://h/p"})");
    QTest::newRow("leading-zero-is-equal")
        << "1.01" << QByteArray(R"({"version":"1.1","path":"http://h/p"})");
    QTest::newRow("empty-null") << "1.0.3" << QByteArray("null");
    QTest::newRow("empty-object") << "1.0.3" << QByteArray("{}");
    QTest::newRow("empty-array") << "1.0.3" << QByteArray("[]");
    // Entries are not read once the version is known not to be newer.
    QTest::newRow("equal-with-bad-list")
        << "1.0.4" << QByteArray(R"({"version":"1.0.4","path":"http://h/p","u":5})");
}

void UpdateCheckTest::nothingNewer()
{
    QFETCH(QString, installed);
    QFETCH(QByteArray, body);

    UpdateCheck update = unverifiedCheck();
    writeBaseline(update);
    serve(body);
    DebugLog log;
    update.check(installed);
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::NothingNewer);
    QVERIFY(!update.isUpdateAvailable());
    QCOMPARE(readFile(diffPath()), BaselineFile);
}

void UpdateCheckTest::refusedAnswer_data()
{
    addAnswerColumns();
    QTest::addColumn<QString>("message");

    const QByteArray head = R"("version":"1.0.4","path":"http://h/p")";
    const auto withList = [&](const QByteArray& list) { return "{" + head + "," + list + "}"; };
    const auto withFile = [&](const QByteArray& file) { return withList(R"("n":[{"file":)" + file + "}]"); };

    QTest::newRow("document-string") << "1.0.3" << QByteArray(R"("1.0.4")")
                                     << refused("answer", "not an object");
    QTest::newRow("document-number") << "1.0.3" << QByteArray("42") << refused("answer", "not an object");
    QTest::newRow("document-true") << "1.0.3" << QByteArray("true") << refused("answer", "not an object");
    QTest::newRow("document-array") << "1.0.3" << QByteArray(R"([{"version":"1.0.4","path":"http://h/p"}])")
                                    << refused("answer", "not an object");

    QTest::newRow("version-array") << "1.0.3" << QByteArray(R"({"version":["1.0.4"],"path":"http://h/p"})")
                                   << refused("version", "not a text");
    QTest::newRow("version-object") << "1.0.3"
                                    << QByteArray(R"({"version":{"v":"1.0.4"},"path":"http://h/p"})")
                                    << refused("version", "not a text");
    QTest::newRow("path-object") << "1.0.3" << QByteArray(R"({"version":"1.0.4","path":{}})")
                                 << refused("path", "not a text");
    QTest::newRow("version-missing") << "1.0.3" << QByteArray(R"({"path":"http://h/p","u":[]})")
                                     << refused("version", "missing or empty");
    QTest::newRow("version-null") << "1.0.3" << QByteArray(R"({"version":null,"path":"http://h/p"})")
                                  << refused("version", "missing or empty");
    QTest::newRow("path-empty") << "1.0.3" << QByteArray(R"({"version":"1.0.4","path":""})")
                                << refused("path", "missing or empty");

    QTest::newRow("u-object") << "1.0.3" << withList(R"("u":{"file":"a.dll"})")
                              << refused("u", "not an array");
    QTest::newRow("d-string") << "1.0.3" << withList(R"("d":"old.dll")") << refused("d", "not an array");
    QTest::newRow("n-number") << "1.0.3" << withList(R"("n":5)") << refused("n", "not an array");
    QTest::newRow("element-number") << "1.0.3" << withList(R"("u":[1])") << refused("u[0]", "not an object");
    QTest::newRow("element-string") << "1.0.3" << withList(R"("d":["old.dll"])")
                                    << refused("d[0]", "not an object");
    QTest::newRow("element-null") << "1.0.3" << withList(R"("n":[null])") << refused("n[0]", "not an object");
    QTest::newRow("element-array") << "1.0.3" << withList(R"("u":[["a.dll"]])")
                                   << refused("u[0]", "not an object");
    QTest::newRow("file-array") << "1.0.3" << withFile(R"(["a.dll"])") << refused("n[0].file", "not a text");
    QTest::newRow("file-object") << "1.0.3" << withFile(R"({"name":"a.dll"})")
                                 << refused("n[0].file", "not a text");
    QTest::newRow("later-element-refused-writes-nothing")
        << "1.0.3" << withList(R"("u":[{"file":"a.dll"}],"d":[{"file":"ok.dll"},{"file":"../b.dll"}])")
        << refused("d[1].file", "path has a \"..\" component");

    QTest::newRow("version-31-bytes")
        << "1.0.3" << QByteArray(R"({"version":")" + QByteArray(31, '2') + R"(","path":"http://h/p"})")
        << tooLong("version", 30);
    QTest::newRow("path-256-bytes") << "1.0.3"
                                    << QByteArray(
                                           R"({"version":"1.0.4","path":")" + QByteArray(256, 'p') + R"("})")
                                    << tooLong("path", 255);
    QTest::newRow("file-128-bytes") << "1.0.3" << withFile("\"" + QByteArray(128, 'f') + "\"")
                                    << tooLong("n[0].file", 127);
    QTest::newRow("installed-31-bytes")
        << QString(31, QLatin1Char('1')) << withFile(R"("a.dll")") << tooLong("installed version", 30);

    QTest::newRow("file-absolute") << "1.0.3" << withFile(R"("/etc/passwd")")
                                   << refused("n[0].file", "absolute path");
    QTest::newRow("file-backslash-absolute")
        << "1.0.3" << withFile(R"("\\windows\\x.dll")") << refused("n[0].file", "absolute path");
    QTest::newRow("file-drive") << "1.0.3" << withFile(R"("C:/x.dll")")
                                << refused("n[0].file", "path holds a colon");
    QTest::newRow("file-stream") << "1.0.3" << withFile(R"("a.dll:evil")")
                                 << refused("n[0].file", "path holds a colon");
    QTest::newRow("file-dotdot") << "1.0.3" << withFile(R"("../evil.dll")")
                                 << refused("n[0].file", "path has a \"..\" component");
    QTest::newRow("file-inner-dotdot") << "1.0.3" << withFile(R"("bin/../../evil.dll")")
                                       << refused("n[0].file", "path has a \"..\" component");
    QTest::newRow("file-backslash-dotdot") << "1.0.3" << withFile(R"("bin\\..\\..\\evil.dll")")
                                           << refused("n[0].file", "path has a \"..\" component");
    QTest::newRow("file-blank") << "1.0.3" << withFile(R"("a b.dll")")
                                << refused("n[0].file", "path holds white space");
    QTest::newRow("file-tab") << "1.0.3" << withFile(R"("a\tb.dll")")
                              << refused("n[0].file", "path holds white space");
    QTest::newRow("file-line-break") << "1.0.3" << withFile(R"("a.dll\n0 [Add] evil.dll")")
                                     << refused("n[0].file", "path holds white space");
    QTest::newRow("file-zero-byte") << "1.0.3" << withFile(R"("a.dll\u0000../evil")")
                                    << refused("n[0].file", "holds a zero byte");

    QTest::newRow("version-blank") << "1.0.3" << QByteArray(R"({"version":"1.0 .4","path":"http://h/p"})")
                                   << refused("version", "holds white space");
    QTest::newRow("version-line-break")
        << "1.0.3" << QByteArray(R"({"version":"1.0.4\n0 [Add]","path":"http://h/p"})")
        << refused("version", "holds white space");
    QTest::newRow("path-line-break") << "1.0.3"
                                     << QByteArray(
                                            R"({"version":"1.0.4","path":"http://h/p\n0 [Add] : evil.dll"})")
                                     << refused("path", "holds white space");
    QTest::newRow("path-zero-byte") << "1.0.3"
                                    << QByteArray(R"({"version":"1.0.4","path":"http://h/p\u0000x"})")
                                    << refused("path", "holds a zero byte");
    QTest::newRow("installed-blank") << "1.0 3" << withFile(R"("a.dll")")
                                     << refused("installed version", "holds white space");

    const QByteArray hash = R"("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08")";
    const auto withDigest = [&](const QByteArray& size, const QByteArray& sha256) {
        return withList(R"("u":[{"file":"a.dll","size":)" + size + R"(,"sha256":)" + sha256 + "}]");
    };
    QTest::newRow("size-negative") << "1.0.3" << withDigest("-1", hash) << refused("u[0].size", "not a size in bytes");
    QTest::newRow("size-fraction") << "1.0.3" << withDigest("1.5", hash) << refused("u[0].size", "not a size in bytes");
    QTest::newRow("size-text") << "1.0.3" << withDigest(R"("4")", hash) << refused("u[0].size", "not a size in bytes");
    QTest::newRow("size-past-64-bits")
        << "1.0.3" << withDigest("18446744073709551615", hash) << refused("u[0].size", "not a size in bytes");
    QTest::newRow("size-without-hash")
        << "1.0.3" << withList(R"("u":[{"file":"a.dll","size":4}])")
        << refused("u[0].sha256", "not 64 lower-case hex digits");
    QTest::newRow("hash-without-size")
        << "1.0.3" << withList(R"("n":[{"file":"a.dll","sha256":)" + hash + "}]")
        << refused("n[0].size", "not a size in bytes");
    QTest::newRow("hash-upper-case")
        << "1.0.3" << withDigest("4", QByteArray(hash).toUpper())
        << refused("u[0].sha256", "not 64 lower-case hex digits");
    QTest::newRow("hash-short") << "1.0.3" << withDigest("4", R"("9f86d0")")
                                << refused("u[0].sha256", "not 64 lower-case hex digits");
}

void UpdateCheckTest::refusedAnswer()
{
    QFETCH(QString, installed);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);

    UpdateCheck update = unverifiedCheck();
    writeBaseline(update);
    serve(body);
    DebugLog log;
    update.check(installed);
    QCOMPARE(log.lines(), QStringList { message });
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Refused);
    QVERIFY(update.isUpdateAvailable());
    QCOMPARE(readFile(diffPath()), BaselineFile);
    QCOMPARE(QDir(workDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { "version_diff.txt" });
}

void UpdateCheckTest::serverFailure_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("http-404") << QByteArray("not here") << 404
                              << QStringList { "checkVersion failed error code:  203 ",
                                     "failed because: \"127.0.0.1 answered 404\" " };
    QTest::newRow("no-json") << QByteArray("<html>") << 200
                             << QStringList { "parser json value failed .. : \"<html>\" ",
                                    "reply:  \"<html>\" " };
    QTest::newRow("empty-body") << QByteArray() << 200
                                << QStringList { "parser json value failed .. : \"\" ", "reply:  \"\" " };
}

void UpdateCheckTest::serverFailure()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QStringList, messages);

    UpdateCheck update = unverifiedCheck();
    writeBaseline(update);
    serve(body, status);
    DebugLog log;
    update.check(QStringLiteral("1.0.3"));
    QCOMPARE(log.lines(), messages);
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::ServerFailed);
    QVERIFY(update.isUpdateAvailable());
    QCOMPARE(readFile(diffPath()), BaselineFile);
}

void UpdateCheckTest::unwritableFile()
{
    UpdateCheck update = unverifiedCheck();
    writeBaseline(update);
    // CI runs as root, so a directory in the file's place is what makes the write fail.
    QVERIFY(QFile::remove(diffPath()));
    QVERIFY(QDir().mkdir(diffPath()));
    serve(R"({"version":"1.0.4","path":"http://h/p","u":[{"file":"a.dll"}]})");
    StderrCapture stderrText;
    update.check(QStringLiteral("1.0.3"));
    // The fixed line, then the path with the system's reason.
    const QByteArray written = stderrText.text();
    QVERIFY2(written.startsWith("save file failed !\n" + QFile::encodeName(diffPath()) + ": "), written.constData());
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::WriteFailed);
    QVERIFY(update.isUpdateAvailable());
    QVERIFY(QFileInfo(diffPath()).isDir());
}

void UpdateCheckTest::prepareRecordsPaths()
{
    UpdateCheck update = unverifiedCheck();
    QCOMPARE(update.diffFilePath(), QByteArray());
    QVERIFY(!update.isUpdateAvailable());
    serve(
        R"({"version":"1.0.4","path":"http://dl.example/1.0.4","u":[{"file":"bin/core.dll"}],"d":[],"n":[]})");
    QVERIFY(update.prepare("1.0.3"));
    QCOMPARE(update.workDirectory(), workDir().toUtf8());
    QCOMPARE(update.diffFilePath(), diffPath().toUtf8());
    QCOMPARE(update.installedVersion(), QByteArray("1.0.3"));
    QCOMPARE(readFile(diffPath()),
        diffText({ "v1.0.3 --> v1.0.4", "http://dl.example/1.0.4", "0 [Changed] : bin/core.dll" }));

    serve(R"({"version":"1.0.4","path":"http://dl.example/1.0.4"})");
    QVERIFY(!update.prepare("1.0.4"));
    // The paths are known whatever the answer, so a launch can use an earlier file.
    QCOMPARE(update.diffFilePath(), diffPath().toUtf8());
}

void UpdateCheckTest::writtenFileReadsBack()
{
    UpdateCheck update = unverifiedCheck();
    serve(
        R"({"version":"1.0.10","path":"http://h/p","u":[{"file":"bin/core.dll"}],"d":[{"file":"old.dll"},{}],)"
        R"("n":[{"file":"plugins/new.dll"}]})");
    update.check(QStringLiteral("1.0.9"));
    QCOMPARE(update.lastCheck(), UpdateCheck::CheckResult::Written);

    DiffFile diff;
    QCOMPARE(readDiffFile(update.diffFilePath().constData(), diff), DiffLoad::Loaded);
    QCOMPARE(QByteArray(diff.oldVersion), QByteArray("v1.0.9"));
    QCOMPARE(QByteArray(diff.newVersion), QByteArray("v1.0.10"));
    QCOMPARE(QByteArray(diff.downloadBase), QByteArray("http://h/p"));
    QStringList entries;
    for (const FileEntry* entry = diff.entries.head; entry; entry = entry->next) {
        entries << QStringLiteral("%1 %2 %3")
                       .arg(entry->state)
                       .arg(entry->action)
                       .arg(QString::fromUtf8(entry->file));
    }
    // The element without "file" gives a line the reader skips.
    QCOMPARE(entries, (QStringList { "0 3 bin/core.dll", "0 2 old.dll", "0 1 plugins/new.dll" }));
}

void UpdateCheckTest::launchWithoutFile()
{
    UpdateCheck update = unverifiedCheck();
    {
        DebugLog log;
        QCOMPARE(update.launch(2), UpdateCheck::LaunchResult::NoUpdate);
        QCOMPARE(update.launchWaiting(), UpdateCheck::LaunchResult::NoUpdate);
        QCOMPARE(log.lines(), QStringList(2, QStringLiteral("already is the latest version ! ")));
    }
    serve(R"({"version":"1.0.3","path":"http://h/p"})");
    QVERIFY(!update.prepare("1.0.3"));
    DebugLog log;
    QCOMPARE(update.launch(0), UpdateCheck::LaunchResult::NoUpdate);
    QCOMPARE(log.lines(), QStringList { "already is the latest version ! " });
}

void UpdateCheckTest::launchIfNewerWithoutUpdate()
{
    UpdateCheck update = unverifiedCheck();
    writeBaseline(update);
    serve(R"({"version":"1.0.3","path":"http://h/p"})");
    update.check(QStringLiteral("1.0.3"));
    QVERIFY(!update.isUpdateAvailable());
    // A file from an earlier check exists, yet without a newer version nothing is started.
    QVERIFY(QFile::exists(diffPath()));
    DebugLog log;
    QCOMPARE(update.launchIfNewer(), UpdateCheck::LaunchResult::NoUpdate);
    QCOMPARE(log.lines(), QStringList());
}

void UpdateCheckTest::installStaged_data()
{
    // What lies at each path before the install: a file's bytes, "<dir>" for a directory
    // holding one file, or nothing (a null array).
    QTest::addColumn<QByteArray>("installedBefore");
    QTest::addColumn<QByteArray>("stagedBefore");
    QTest::addColumn<QByteArray>("temporaryBefore");
    QTest::addColumn<bool>("moved");
    QTest::addColumn<QString>("message");

    const QByteArray none;
    const QByteArray dir = "<dir>";
    QTest::newRow("replaces-installed")
        << QByteArray("old updater") << QByteArray("new updater") << none << true << QString();
    QTest::newRow("first-install") << none << QByteArray("new updater") << none << true << QString();
    QTest::newRow("stale-temporary-replaced")
        << QByteArray("old updater") << QByteArray("new updater") << QByteArray("junk") << true << QString();
    QTest::newRow("nothing-staged") << QByteArray("old updater") << none << none << false << QString();
    QTest::newRow("copy-fails-temporary-is-directory")
        << QByteArray("old updater") << QByteArray("new updater") << dir << false
        << QStringLiteral("cannot be copied beside the installed one");
    QTest::newRow("copy-fails-staged-is-directory") << QByteArray(
        "old updater") << dir << none << false << QStringLiteral("cannot be copied beside the installed one");
    QTest::newRow("rename-fails-installed-is-directory")
        << dir << QByteArray("new updater") << none << false
        << QStringLiteral("cannot replace the installed one");
}

void UpdateCheckTest::installStaged()
{
    QFETCH(QByteArray, installedBefore);
    QFETCH(QByteArray, stagedBefore);
    QFETCH(QByteArray, temporaryBefore);
    QFETCH(bool, moved);
    QFETCH(QString, message);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(
        QDir(root.path()).mkpath(QStringLiteral("app")) && QDir(root.path()).mkpath(QStringLiteral("work")));
    const QString installed = root.filePath(QStringLiteral("app/RevisionPusher.exe"));
    const QString staged = root.filePath(QStringLiteral("work/RevisionPusher.exe"));
    const QString temporary = installed + QStringLiteral(".new");
    const auto place = [](const QString& path, const QByteArray& content) {
        if (content.isNull()) {
            return true;
        }
        if (content == "<dir>") {
            return QDir().mkdir(path) && writeFile(path + QStringLiteral("/inside.txt"), "kept");
        }
        return writeFile(path, content);
    };
    QVERIFY(place(installed, installedBefore));
    QVERIFY(place(staged, stagedBefore));
    QVERIFY(place(temporary, temporaryBefore));
    const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup;
    if (installedBefore != "<dir>" && !installedBefore.isNull()) {
        QVERIFY(QFile::setPermissions(installed, executable));
    }

    DebugLog log;
    QCOMPARE(installStagedUpdater(staged, installed), moved);
    if (message.isEmpty()) {
        QCOMPARE(log.lines(), QStringList());
    } else {
        QCOMPARE(log.lines(),
            QStringList { QStringLiteral("staged updater not installed: \"%1\" %2 ").arg(staged, message) });
    }

    if (moved) {
        QCOMPARE(readFile(installed), stagedBefore);
        QVERIFY(!QFileInfo::exists(staged));
        QVERIFY(QFile::permissions(installed).testFlag(QFileDevice::ExeOwner));
        if (!installedBefore.isNull()) {
            QCOMPARE(QFile::permissions(installed), executable);
        }
    } else if (installedBefore == "<dir>") {
        QCOMPARE(readFile(installed + QStringLiteral("/inside.txt")), QByteArray("kept"));
    } else {
        QCOMPARE(readFile(installed), installedBefore);
    }
    if (!moved && stagedBefore == "<dir>") {
        QCOMPARE(readFile(staged + QStringLiteral("/inside.txt")), QByteArray("kept"));
    } else if (!moved && !stagedBefore.isNull()) {
        QCOMPARE(readFile(staged), stagedBefore);
    }
    // Only a blocked temporary name is left as it was; a stale file there is gone.
    QCOMPARE(QFileInfo::exists(temporary), temporaryBefore == "<dir>");
}

void UpdateCheckTest::installStagedOntoItself()
{
    // With the working directory fallen back to "." inside the installation directory, the
    // staged and the installed updater are one file; moving it would remove it.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString installed = root.filePath(QStringLiteral("RevisionPusher.exe"));
    const QString staged = root.path() + QStringLiteral("/./RevisionPusher.exe");
    QVERIFY(writeFile(installed, "the only updater"));
    DebugLog log;
    QVERIFY(!installStagedUpdater(staged, installed));
    QCOMPARE(log.lines(),
        QStringList {
            QStringLiteral("staged updater not installed: \"%1\" is the installed file ").arg(staged) });
    QCOMPARE(readFile(installed), QByteArray("the only updater"));
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { "RevisionPusher.exe" });
}

QTEST_GUILESS_MAIN(UpdateCheckTest)
#include "tst_updatecheck.moc"
