// The updater as a real process in a working directory it must not trust, and with symbolic
// links planted where its fetched files go: nothing is fetched, written or installed through
// them, and the diagnostic names the cause.

#include "testfiles.h"
#include "testhttpserver.h"
#include "updaterscene.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

class UpdaterTrustTest final : public QObject
{
    Q_OBJECT

private slots:
    void workDir_data();
    void workDir();
    void linkWhereFetchedFileGoes_data();
    void linkWhereFetchedFileGoes();
};

void UpdaterTrustTest::workDir_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason"); // empty: trusted, the update is installed

    QTest::newRow("private-installs") << "private" << QString();
    QTest::newRow("symbolic-link") << "symbolic-link" << "is a symbolic link";
    QTest::newRow("foreign-owner") << "foreign-owner" << "is owned by user 65534, not by user 0";
    QTest::newRow("writable-by-all") << "writable-by-all" << "is writable by other users (mode 0777)";
}

// Whoever can write the working directory could plant the files that get installed; the
// prefetched files here stand for such a plant.
void UpdaterTrustTest::workDir()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);

    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(scene.reset(QStringLiteral(ORBISNAP_APP_EXE), QStringLiteral("http://127.0.0.1:9/release"), true));
    if (kind == QLatin1String("symbolic-link")) {
        const QString elsewhere = scene.tmp + QStringLiteral("/elsewhere");
        QVERIFY(QDir().rename(scene.work, elsewhere));
        QVERIFY(QFile::link(elsewhere, scene.work));
    } else if (kind == QLatin1String("foreign-owner")) {
        if (::geteuid() != 0) {
            QSKIP("giving a folder away needs root");
        }
        QCOMPARE(::chown(QFile::encodeName(scene.work).constData(), 65534, 65534), 0);
    } else if (kind == QLatin1String("writable-by-all")) {
        QVERIFY(QFile::setPermissions(scene.work, QFile::Permissions(0x7777)));
    }
    const Tree tmp = snapshotTree(scene.tmp);

    const Run run = runUpdater(scene, QStringLiteral("1"), 0);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    if (reason.isEmpty()) {
        QVERIFY2(scene.installation() == newRelease, qPrintable(differences(scene.installation(), newRelease)));
        return;
    }
    const QByteArray refusal = "working directory refused, nothing updated: \""
        + QDir(scene.tmp).canonicalPath().toUtf8() + "/Host\" \"" + reason.toUtf8() + "\" \n";
    QVERIFY2(run.err.contains(refusal), run.err.constData());
    QVERIFY(!run.err.contains("upgrade:"));
    QCOMPARE(scene.installation(), oldRelease);
    QCOMPARE(snapshotTree(scene.tmp), tmp);
}

// A link in the working directory where a fetched file or one of its folders goes: the file is
// not fetched through it, what it points at stays as it was, and the update is not installed.
void UpdaterTrustTest::linkWhereFetchedFileGoes_data()
{
    QTest::addColumn<QString>("link"); // below the working directory
    QTest::addColumn<bool>("toFolder");

    QTest::newRow("fetched-file") << "core.dll" << false;
    QTest::newRow("fetched-file-in-sub-folder") << "bin/net.dll" << false;
    QTest::newRow("folder-of-fetched-files") << "plugins" << true;
    QTest::newRow("inner-folder-of-fetched-files") << "plugins/img" << true;
}

void UpdaterTrustTest::linkWhereFetchedFileGoes()
{
    QFETCH(QString, link);
    QFETCH(bool, toFolder);

    TestHttpServer server;
    serveNewRelease(server);
    QVERIFY(server.start());
    Scene scene;
    QVERIFY(scene.temp.isValid());
    QVERIFY(scene.reset(QStringLiteral(ORBISNAP_APP_EXE), server.baseUrl() + QStringLiteral("/release"), false));
    const QString outside = scene.temp.path() + QStringLiteral("/outside");
    QVERIFY(writeTree(outside, { { "victim.bin", "not the updater's" } }));
    const QString planted = scene.work + QLatin1Char('/') + link;
    QVERIFY(QDir().mkpath(QFileInfo(planted).path()));
    QVERIFY(QFile::link(toFolder ? outside : outside + QStringLiteral("/victim.bin"), planted));

    const Run run = runUpdater(scene, QStringLiteral("1"), 0);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains("symbolic link refused: " + planted.toUtf8() + '\n'), run.err.constData());
    QCOMPARE(snapshotTree(outside), (Tree { { "victim.bin", "not the updater's" } }));
    QCOMPARE(scene.installation(), oldRelease);
    QVERIFY(QFileInfo(planted).isSymLink());
}

QTEST_GUILESS_MAIN(UpdaterTrustTest)
#include "tst_updatertrust.moc"
