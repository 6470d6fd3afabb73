// getVersionDiff of the real vendor-server against real release trees: which files an
// installed version has to change, delete and add, and which version is the newest.

#include "vendorserverprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <map>

namespace {

using Tree = QMap<QString, QByteArray>;

QStringList files(const QJsonValue& list)
{
    QStringList names;
    for (const QJsonValue& entry : list.toArray()) {
        names << entry.toObject().value(QStringLiteral("file")).toString();
    }
    return names;
}

} // namespace

class VersionDiffTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versionDiff_data();
    void versionDiff();
    void publicBase();

private:
    QTemporaryDir dir;
    std::map<QString, std::unique_ptr<VendorServerProcess>> servers;
};

void VersionDiffTest::initTestCase()
{
    QVERIFY(dir.isValid());
    const QString main = dir.filePath(QStringLiteral("main"));
    QVERIFY(makeTree(main + QStringLiteral("/1.0.2"),
        Tree { { "bin/core.dll", "core two" }, { "version.txt", "1.0.2" }, { "Host.exe", "host" },
            { "legacy/gone.dll", "gone" } }));
    QVERIFY(makeTree(main + QStringLiteral("/1.0.3"),
        Tree { { "bin/core.dll", "core three" }, { "old.dll", "old" }, { "version.txt", "1.0.3" },
            { "Host.exe", "host" }, { "same.dat", "unchanged" }, { "data.bin", "AAAA" },
            { "RevisionPusher.exe", "pusher" } }));
    QVERIFY(makeTree(main + QStringLiteral("/1.0.4"),
        Tree { { "bin/core.dll", "core four!" }, { "version.txt", "1.0.4" }, { "Host.exe", "host" },
            { "same.dat", "unchanged" }, { "data.bin", "AAAB" }, { "RevisionPusher.exe", "pusher" },
            { "plugins/new.dll", "new plugin" }, { "plugins/extra/deep.dll", "deep" } }));

    // Lexically 1.9 would be the newest; by the version order 1.10 is.
    const QString order = dir.filePath(QStringLiteral("order"));
    QVERIFY(makeTree(order + QStringLiteral("/1.2"), Tree { { "a.txt", "1.2" } }));
    QVERIFY(makeTree(order + QStringLiteral("/1.9"), Tree { { "a.txt", "1.9" }, { "b.txt", "b" } }));
    QVERIFY(makeTree(order + QStringLiteral("/1.10"), Tree { { "a.txt", "1.10" }, { "c.txt", "c" } }));

    for (const QString& name : { QStringLiteral("main"), QStringLiteral("order") }) {
        auto server = std::make_unique<VendorServerProcess>();
        QVERIFY2(server->startOn(dir.filePath(name)), server->errors().constData());
        servers[name] = std::move(server);
    }
}

void VersionDiffTest::versionDiff_data()
{
    QTest::addColumn<QString>("releases");
    QTest::addColumn<QByteArray>("version"); // as it appears in the query, encoded
    QTest::addColumn<bool>("upToDate");
    QTest::addColumn<QString>("newest");
    QTest::addColumn<QStringList>("u");
    QTest::addColumn<QStringList>("d");
    QTest::addColumn<QStringList>("n");

    const QStringList all = { "Host.exe", "RevisionPusher.exe", "bin/core.dll", "data.bin",
        "plugins/extra/deep.dll", "plugins/new.dll", "same.dat", "version.txt" };
    QTest::newRow("changed-deleted-new-in-new-subfolder")
        << "main" << QByteArray("1.0.3") << false << "1.0.4"
        << QStringList { "bin/core.dll", "data.bin", "version.txt" } << QStringList { "old.dll" }
        << QStringList { "plugins/extra/deep.dll", "plugins/new.dll" };
    QTest::newRow("two-versions-behind-sorted-by-bytes")
        << "main" << QByteArray("1.0.2") << false << "1.0.4" << QStringList { "bin/core.dll", "version.txt" }
        << QStringList { "legacy/gone.dll" }
        << QStringList { "RevisionPusher.exe", "data.bin", "plugins/extra/deep.dll", "plugins/new.dll",
               "same.dat" };
    QTest::newRow("percent-encoded-version-decoded")
        << "main" << QByteArray("1%2E0%2E3") << false << "1.0.4"
        << QStringList { "bin/core.dll", "data.bin", "version.txt" } << QStringList { "old.dll" }
        << QStringList { "plugins/extra/deep.dll", "plugins/new.dll" };
    QTest::newRow("equal-by-version-order-1.0.03")
        << "main" << QByteArray("1.0.03") << false << "1.0.4"
        << QStringList { "bin/core.dll", "data.bin", "version.txt" } << QStringList { "old.dll" }
        << QStringList { "plugins/extra/deep.dll", "plugins/new.dll" };
    QTest::newRow("same-version") << "main" << QByteArray("1.0.4") << true << "" << QStringList()
                                  << QStringList() << QStringList();
    QTest::newRow("newer-installed") << "main" << QByteArray("1.0.5") << true << "" << QStringList()
                                     << QStringList() << QStringList();
    QTest::newRow("much-newer-installed-1.0.10")
        << "main" << QByteArray("1.0.10") << true << "" << QStringList() << QStringList() << QStringList();
    QTest::newRow("unknown-installed-between")
        << "main" << QByteArray("1.0.3.1") << false << "1.0.4" << QStringList() << QStringList() << all;
    QTest::newRow("unknown-installed-older")
        << "main" << QByteArray("0.9") << false << "1.0.4" << QStringList() << QStringList() << all;
    QTest::newRow("empty-installed-version")
        << "main" << QByteArray("") << false << "1.0.4" << QStringList() << QStringList() << all;
    QTest::newRow("1.9-installed-newest-is-1.10")
        << "order" << QByteArray("1.9") << false << "1.10" << QStringList { "a.txt" }
        << QStringList { "b.txt" } << QStringList { "c.txt" };
    QTest::newRow("1.2-installed-newest-is-1.10")
        << "order" << QByteArray("1.2") << false << "1.10" << QStringList { "a.txt" } << QStringList()
        << QStringList { "c.txt" };
    QTest::newRow("1.10-installed-is-newest")
        << "order" << QByteArray("1.10") << true << "" << QStringList() << QStringList() << QStringList();
}

void VersionDiffTest::versionDiff()
{
    QFETCH(QString, releases);
    QFETCH(QByteArray, version);
    QFETCH(bool, upToDate);
    QFETCH(QString, newest);
    QFETCH(QStringList, u);
    QFETCH(QStringList, d);
    QFETCH(QStringList, n);

    VendorServerProcess& server = *servers.at(releases);
    const RawReply reply
        = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=" + version);
    QCOMPARE(reply.status, 200);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply.body, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, reply.body.constData());
    const QJsonObject answer = document.object();
    if (upToDate) {
        QVERIFY(document.isObject());
        QVERIFY2(answer.isEmpty(), reply.body.constData());
        return;
    }
    QCOMPARE(answer.value(QStringLiteral("version")).toString(), newest);
    QCOMPARE(answer.value(QStringLiteral("path")).toString(),
        server.baseUrl() + QStringLiteral("/releases/") + newest);
    QCOMPARE(files(answer.value(QStringLiteral("u"))), u);
    QCOMPARE(files(answer.value(QStringLiteral("d"))), d);
    QCOMPARE(files(answer.value(QStringLiteral("n"))), n);

    // Every listed changed or new file is fetchable under "path".
    for (const QString& file : u + n) {
        const QByteArray target = "/releases/" + newest.toUtf8() + "/" + file.toUtf8();
        QCOMPARE(rawRequest(server.port(), "GET", target).status, 200);
    }
}

void VersionDiffTest::publicBase()
{
    // The files live elsewhere (nginx, a CDN); a trailing slash of the option is not doubled.
    VendorServerProcess server;
    QVERIFY2(server.startOn(dir.filePath(QStringLiteral("order")),
                 { QStringLiteral("--public-base"), QStringLiteral("http://127.0.0.1:8081/orbisnap/") }),
        server.errors().constData());
    const RawReply reply = rawRequest(server.port(), "GET", "/prod/Orbisnap/getVersionDiff?version=1.9");
    QCOMPARE(reply.status, 200);
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(answer.value(QStringLiteral("path")).toString(),
        QStringLiteral("http://127.0.0.1:8081/orbisnap/1.10"));
    QVERIFY(server.output().contains("download base http://127.0.0.1:8081/orbisnap\n"));
}

QTEST_GUILESS_MAIN(VersionDiffTest)
#include "tst_versiondiff.moc"
