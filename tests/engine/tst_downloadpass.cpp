// The download pass: events and their order, what is fetched and what is not, the write-back
// of the states, new sub-directories, failed writes, stop requests and the worker's thread.

#include "download.h"
#include "enginetestutil.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

class DownloadPassTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void pass_data();
    void pass();
    void nothingToUpdate_data();
    void nothingToUpdate();
    void noCallback();
    void listing();
    void failedWrite_data();
    void failedWrite();
    void unsafePath_data();
    void unsafePath();
    void stopRequested();
    void threadLifecycle();

private:
    void expectFetch(const QString& relative, bool fails = false);
    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<Folders> folders;
    std::unique_ptr<ReleaseServer> server;
};

void DownloadPassTest::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folders = std::make_unique<Folders>(temp->path());
    server = std::make_unique<ReleaseServer>();
    server->serve("a.dll", "A new");
    server->serve("c.dll", "C new");
    server->serve("plugins/new.dll", "new plugin");
    server->serve("deep/x/y/z.dll", "deep file");
    server->serve("empty.dll", "");
    server->serve("lib/c#1%41?.dll", "odd name");
    server->serve("cut.dll", QByteArray(4096, 'k'), true);
    QVERIFY(server->start());
}

// The transport logs every request, and each failed one a second time.
void DownloadPassTest::expectFetch(const QString& relative, bool fails)
{
    const QString url = server->url(QString::fromLatin1(QUrl::toPercentEncoding(relative, "/")));
    QTest::ignoreMessage(QtDebugMsg,
        QRegularExpression(QStringLiteral("^url: \"%1\" $").arg(QRegularExpression::escape(url))));
    if (fails) {
        QTest::ignoreMessage(
            QtDebugMsg, QRegularExpression(QStringLiteral("^down load failed error code: ")));
    }
}

void DownloadPassTest::pass_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<Files>("before"); // working directory before the pass
    QTest::addColumn<QStringList>("fetched"); // requests expected, in order
    QTest::addColumn<QStringList>("failing"); // of those, the ones the transport reports
    QTest::addColumn<QByteArrayList>("after"); // entry lines written back
    QTest::addColumn<Files>("result"); // working directory after the pass

    QTest::newRow("add-delete-changed-fetches-first-and-third")
        << QByteArrayList { "0 [Add] : a.dll", "0 [Delete] : b.dll", "0 [Changed] : c.dll" } << Files {}
        << QStringList { "a.dll", "c.dll" } << QStringList {}
        << QByteArrayList { "2 [Add] : a.dll", "0 [Delete] : b.dll", "2 [Changed] : c.dll" }
        << Files { { "a.dll", "A new" }, { "c.dll", "C new" } };
    QTest::newRow("already-downloaded-not-fetched-again")
        << QByteArrayList { "2 [Changed] : c.dll" } << Files { { "c.dll", "C fetched earlier" } }
        << QStringList {} << QStringList {} << QByteArrayList { "2 [Changed] : c.dll" }
        << Files { { "c.dll", "C fetched earlier" } };
    QTest::newRow("downloaded-but-copy-gone-fetched-again")
        << QByteArrayList { "2 [Changed] : c.dll" } << Files {} << QStringList { "c.dll" } << QStringList {}
        << QByteArrayList { "2 [Changed] : c.dll" } << Files { { "c.dll", "C new" } };
    QTest::newRow("downloaded-copy-gone-and-fetch-fails-back-to-nodo")
        << QByteArrayList { "2 [Add] : missing.dll" } << Files {} << QStringList { "missing.dll" }
        << QStringList { "missing.dll" } << QByteArrayList { "0 [Add] : missing.dll" } << Files {};
    QTest::newRow("updating-fetched-like-nodo")
        << QByteArrayList { "1 [Add] : a.dll" } << Files {} << QStringList { "a.dll" } << QStringList {}
        << QByteArrayList { "2 [Add] : a.dll" } << Files { { "a.dll", "A new" } };
    QTest::newRow("bytes-replace-older-copy")
        << QByteArrayList { "0 [Add] : a.dll" } << Files { { "a.dll", "A from a failed run" } }
        << QStringList { "a.dll" } << QStringList {} << QByteArrayList { "2 [Add] : a.dll" }
        << Files { { "a.dll", "A new" } };
    QTest::newRow("empty-body-not-written-older-copy-kept")
        << QByteArrayList { "0 [Add] : empty.dll" } << Files { { "empty.dll", "older" } }
        << QStringList { "empty.dll" } << QStringList {} << QByteArrayList { "0 [Add] : empty.dll" }
        << Files { { "empty.dll", "older" } };
    QTest::newRow("404-not-written-older-copy-kept")
        << QByteArrayList { "0 [Changed] : missing.dll", "0 [Add] : a.dll" }
        << Files { { "missing.dll", "older" } } << QStringList { "missing.dll", "a.dll" }
        << QStringList { "missing.dll" } << QByteArrayList { "0 [Changed] : missing.dll", "2 [Add] : a.dll" }
        << Files { { "missing.dll", "older" }, { "a.dll", "A new" } };
    QTest::newRow("truncated-body-not-written-older-copy-kept")
        << QByteArrayList { "0 [Add] : cut.dll" } << Files { { "cut.dll", "older" } }
        << QStringList { "cut.dll" } << QStringList { "cut.dll" } << QByteArrayList { "0 [Add] : cut.dll" }
        << Files { { "cut.dll", "older" } };
    QTest::newRow("new-sub-directories-created")
        << QByteArrayList { "0 [Add] : plugins/new.dll", "0 [Changed] : deep/x/y/z.dll" } << Files {}
        << QStringList { "plugins/new.dll", "deep/x/y/z.dll" } << QStringList {}
        << QByteArrayList { "2 [Add] : plugins/new.dll", "2 [Changed] : deep/x/y/z.dll" }
        << Files { { "plugins/", "" }, { "plugins/new.dll", "new plugin" }, { "deep/", "" },
               { "deep/x/", "" }, { "deep/x/y/", "" }, { "deep/x/y/z.dll", "deep file" } };
    QTest::newRow("reserved-url-characters-in-name-asked-for-as-they-are")
        << QByteArrayList { "0 [Add] : lib/c#1%41?.dll" } << Files {} << QStringList { "lib/c#1%41?.dll" }
        << QStringList {} << QByteArrayList { "2 [Add] : lib/c#1%41?.dll" }
        << Files { { "lib/", "" }, { "lib/c#1%41?.dll", "odd name" } };
    QTest::newRow("same-path-twice-both-fetched")
        << QByteArrayList { "0 [Add] : a.dll", "0 [Changed] : a.dll" } << Files {}
        << QStringList { "a.dll", "a.dll" } << QStringList {}
        << QByteArrayList { "2 [Add] : a.dll", "2 [Changed] : a.dll" } << Files { { "a.dll", "A new" } };
}

void DownloadPassTest::pass()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(Files, before);
    QFETCH(QStringList, fetched);
    QFETCH(QStringList, failing);
    const QStringList progressOrder = fetched;
    QFETCH(QByteArrayList, after);
    QFETCH(Files, result);

    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        QVERIFY(writeFile(folders->work + QLatin1Char('/') + it.key(), it.value()));
    }
    QVERIFY(writeDiff(folders->diff, server->base(), lines));
    for (const QString& relative : fetched) {
        expectFetch(relative, failing.contains(relative));
    }

    EventLog log { folders->diff, QThread::currentThreadId(), {}, {} };
    StderrCapture err;
    {
        Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 0);
        QCOMPARE(worker.count, lines.size());
        worker.callback = &EventLog::callback;
        worker.userData = &log;
        QCOMPARE(worker.start(), 0);
        worker.wait();
    }

    QStringList expectedEvents;
    for (const QByteArray& line : lines) {
        expectedEvents.append(QStringLiteral("start:") + QString::fromUtf8(line.split(' ').last()));
    }
    expectedEvents.append(QStringLiteral("done:1"));
    QCOMPARE(log.summary(), expectedEvents);
    for (const EventLog::Event& event : log.events) {
        QVERIFY(event.onOtherThread);
    }
    // The file was written back before AllDone went out.
    QCOMPARE(diffEntries(folders->diff), after);
    QCOMPARE(log.events.back().diffAtEvent, readFile(folders->diff));

    // Transfers run side by side, so the server may see them in another order.
    QStringList requested = server->requested();
    requested.sort();
    fetched.sort();
    QCOMPARE(requested, fetched);
    QByteArray progress;
    for (const QString& relative : progressOrder) {
        progress += "downloading  ...  " + relative.toUtf8() + '\n';
    }
    QCOMPARE(err.text(), progress);

    Tree work = snapshotTree(folders->work);
    work.remove(QStringLiteral("version_diff.txt"));
    QCOMPARE(work, result);
}

void DownloadPassTest::nothingToUpdate_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no file at all
    QTest::addColumn<QByteArray>("diagnostic");

    QTest::newRow("no-file") << QByteArray() << QByteArray("load file failed !\n");
    QTest::newRow("no-entries") << QByteArray("@Orbisnap\nv1.0.3 --> v1.0.4\nBASE\n") << QByteArray();
    QTest::newRow("only-skipped-lines")
        << QByteArray("@Orbisnap\nv1.0.3 --> v1.0.4\nBASE\n0 Nome : a.dll\n0 [Remove] : b.dll\n")
        << QByteArray();
    QTest::newRow("equal-versions") << QByteArray("@Orbisnap\nv1.0 --> v1.0\nBASE\n0 [Add] : a.dll\n")
                                    << QByteArray();
    QTest::newRow("installed-is-newer")
        << QByteArray("@Orbisnap\nv1.10 --> v1.9\nBASE\n0 [Add] : a.dll\n") << QByteArray();
}

void DownloadPassTest::nothingToUpdate()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, diagnostic);
    file.replace("BASE", server->base().toUtf8());
    if (!file.isEmpty()) {
        QVERIFY(writeFile(folders->diff, file));
    }

    EventLog log { folders->diff, QThread::currentThreadId(), {}, {} };
    StderrCapture err;
    {
        Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
            folders->app.toUtf8().constData(), "Host.exe", 2);
        worker.callback = &EventLog::callback;
        worker.userData = &log;
        QCOMPARE(worker.start(), 0);
    }
    QCOMPARE(log.summary(), QStringList { QStringLiteral("nothing") });
    QCOMPARE(err.text(), diagnostic);
    QCOMPARE(server->requested(), QStringList());
    Tree expected;
    if (!file.isEmpty()) {
        expected.insert(QStringLiteral("version_diff.txt"), file);
    }
    QCOMPARE(snapshotTree(folders->work), expected);
}

void DownloadPassTest::noCallback()
{
    QVERIFY(writeDiff(folders->diff, server->base(), { "0 [Add] : a.dll", "0 [Delete] : b.dll" }));
    expectFetch(QStringLiteral("a.dll"));
    StderrCapture err;
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    QCOMPARE(worker.start(), 0);
    worker.wait();
    QCOMPARE(diffEntries(folders->diff), (QByteArrayList { "2 [Add] : a.dll", "0 [Delete] : b.dll" }));
    QCOMPARE(readFile(folders->work + QStringLiteral("/a.dll")), QByteArray("A new"));
    QCOMPARE(err.text(), QByteArray("downloading  ...  a.dll\n"));
}

void DownloadPassTest::listing()
{
    QVERIFY(writeDiff(folders->diff, server->base(),
        { "2 [Changed] : a.dll", "0 [Add] : plugins/new.dll", "1 [Delete] : old.dll" }));
    StderrCapture err;
    const Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    worker.print();
    QCOMPARE(err.text(),
        QByteArray("upgrade: v1.0.3 --> v1.0.4\n"
                   "Downloaded  [Changed], a.dll\n"
                   "NoDo  [Add], plugins/new.dll\n"
                   "Updating  [Delete], old.dll\n"
                   "\n\n"));
}

void DownloadPassTest::failedWrite_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<Files>("before");
    QTest::addColumn<QString>("diagnostic");

    QTest::newRow("target-is-a-directory")
        << QStringLiteral("a.dll") << Files { { "a.dll/inside.txt", "kept" } }
        << QStringLiteral("write file failed: ");
    QTest::newRow("parent-is-a-file")
        << QStringLiteral("plugins/new.dll") << Files { { "plugins", "a file, not a folder" } }
        << QStringLiteral("cannot create the directory of plugins/new.dll below ");
    QTest::newRow("deeper-parent-is-a-file")
        << QStringLiteral("deep/x/y/z.dll") << Files { { "deep/x", "a file" } }
        << QStringLiteral("cannot create the directory of deep/x/y/z.dll below ");
    QTest::newRow("disk-full-half-way")
        << QStringLiteral("big.dll") << Files { { "big.dll", "older complete copy" } }
        << QStringLiteral("write file failed: ");
}

// A write that fails leaves no partial file and no temporary file, and the entry stays as it was.
void DownloadPassTest::failedWrite()
{
    QFETCH(QString, relative);
    QFETCH(Files, before);
    QFETCH(QString, diagnostic);

    const bool diskFull = relative == QLatin1String("big.dll");
    server->serve("big.dll", QByteArray(1 << 20, 'b'));
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const QString path = folders->work + QLatin1Char('/') + it.key();
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(writeFile(path, it.value()));
    }
    const QByteArray line = "0 [Add] : " + relative.toUtf8();
    QVERIFY(writeDiff(folders->diff, server->base(), { line }));
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    const Tree work = snapshotTree(folders->work);
    expectFetch(relative);

    StderrCapture err;
    bool stored = true;
    if (diskFull) {
        // A file size limit makes the write fail with EFBIG after the first 256 KiB, the way a
        // full disk would; it holds for root as well.
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = 256 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        stored = worker.fetchFile(relative.toUtf8().constData());
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    } else {
        stored = worker.fetchFile(relative.toUtf8().constData());
    }
    QVERIFY(!stored);
    QVERIFY(worker.diff.entries.head->state == NoDo);
    const QByteArray text = err.text();
    QVERIFY2(text.startsWith("downloading  ...  " + relative.toUtf8() + '\n' + diagnostic.toUtf8()),
        text.constData());
    QCOMPARE(snapshotTree(folders->work), work);
}

void DownloadPassTest::unsafePath_data()
{
    QTest::addColumn<QByteArray>("relative");
    QTest::newRow("parent") << QByteArray("../escape.dll");
    QTest::newRow("inner-parent") << QByteArray("a/../../escape.dll");
    QTest::newRow("absolute") << QByteArray("/tmp/escape.dll");
    QTest::newRow("no-file-name") << QByteArray("plugins/");
    QTest::newRow("empty") << QByteArray("");
}

// fetchFile is public: a path that would leave the working directory is refused before any
// request, and nothing is written anywhere.
void DownloadPassTest::unsafePath()
{
    QFETCH(QByteArray, relative);
    server->serve("../escape.dll", "x");
    QVERIFY(writeDiff(folders->diff, server->base(), { "0 [Add] : a.dll" }));
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    const Tree everything = snapshotTree(folders->root);
    StderrCapture err;
    QVERIFY(!worker.fetchFile(relative.constData()));
    QVERIFY(err.text().startsWith("downloading  ...  " + relative + "\nnot fetched: " + relative + ": "));
    QCOMPARE(server->requested(), QStringList());
    QCOMPARE(snapshotTree(folders->root), everything);
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/escape.dll")));
}

// A stop requested from another thread while entries are being fetched starts no entry after
// those already under way: they finish and are written back, and AllDone carries 0.
void DownloadPassTest::stopRequested()
{
    QByteArrayList lines;
    QStringList started;
    for (int i = 0; i < FileTransfers::MaxParallel + 2; ++i) {
        const std::string name = "s" + std::to_string(i) + ".dll";
        server->serve(name, QByteArray("body ") + name.c_str());
        lines.append("0 [Add] : " + QByteArray(name.c_str()));
    }
    QVERIFY(writeDiff(folders->diff, server->base(), lines));
    Download worker(folders->work.toUtf8().constData(), folders->diff.toUtf8().constData(),
        folders->app.toUtf8().constData(), "Host.exe", 0);
    server->setHook([&worker](const std::string& relative) {
        if (relative == "s0.dll") {
            worker.requestStop();
            return;
        }
        // Another file's transfer must not end before s0's request has asked for the stop, or
        // the pass could start a fifth file first: its requests arrive on other connections.
        QDeadlineTimer deadline(5000);
        while (!worker.stopRequested.load() && !deadline.hasExpired()) {
            QThread::msleep(1);
        }
    });
    QByteArrayList after = lines;
    QStringList expectedEvents;
    for (int i = 0; i < FileTransfers::MaxParallel; ++i) {
        expectFetch(QStringLiteral("s%1.dll").arg(i));
        expectedEvents.append(QStringLiteral("start:s%1.dll").arg(i));
        after[i].replace("0 [Add]", "2 [Add]");
        started.append(QStringLiteral("s%1.dll").arg(i));
    }
    expectedEvents.append(QStringLiteral("done:0"));
    EventLog log { folders->diff, QThread::currentThreadId(), {}, {} };
    worker.callback = &EventLog::callback;
    worker.userData = &log;
    StderrCapture err;
    QCOMPARE(worker.start(), 0);
    worker.wait();
    QCOMPARE(log.summary(), expectedEvents);
    QCOMPARE(diffEntries(folders->diff), after);
    QStringList requested = server->requested();
    requested.sort();
    QCOMPARE(requested, started);
}

// start() makes one thread; a second start() while its handle is held is refused; wait() and
// the destructor join it, so a released worker has finished its pass.
void DownloadPassTest::threadLifecycle()
{
    QVERIFY(writeDiff(folders->diff, server->base(), { "0 [Add] : a.dll" }));
    expectFetch(QStringLiteral("a.dll"));
    EventLog log { folders->diff, QThread::currentThreadId(), {}, {} };
    StderrCapture err;
    auto worker = std::make_unique<Download>(folders->work.toUtf8().constData(),
        folders->diff.toUtf8().constData(), folders->app.toUtf8().constData(), "Host.exe", 0);
    worker->callback = &EventLog::callback;
    worker->userData = &log;
    QCOMPARE(worker->start(), 0);
    QCOMPARE(worker->start(), EBUSY);
    worker.reset();
    QCOMPARE(log.summary(), (QStringList { "start:a.dll", "done:1" }));
    QVERIFY(log.events.front().onOtherThread);
    QCOMPARE(server->requested(), QStringList { "a.dll" });
}

QTEST_GUILESS_MAIN(DownloadPassTest)
#include "tst_downloadpass.moc"
