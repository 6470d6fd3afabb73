#include "difffile.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(DiffLoad)

namespace {

// "state action file" per entry, joined with "|", for comparing lists in one column.
QByteArray describe(const FileEntryList& entries)
{
    QList<QByteArray> parts;
    for (const FileEntry* entry = entries.head; entry; entry = entry->next) {
        parts << QByteArray::number(entry->state) + ' ' + fileActionName(entry->action) + ' ' + entry->file;
    }
    return parts.join('|');
}

const QByteArray header = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://127.0.0.1:1/files/1.0.4\n";

} // namespace

class DiffFileTest : public QObject
{
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void missingFile();
    void roundTrip_data();
    void roundTrip();
    void failedWriteReported_data();
    void failedWriteReported();

private:
    QTemporaryDir dir;
};

void DiffFileTest::reading_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<DiffLoad>("result");
    QTest::addColumn<QByteArray>("entries");
    QTest::addColumn<QByteArray>("diagnostic"); // expected on stderr; empty: nothing at all

    const QByteArray longVersion = "v" + QByteArray(30, '1');
    const QByteArray longBase = "http://h/" + QByteArray(255 - 9, 'b');
    const QByteArray longPath(127, 'p');

    QTest::newRow("equal-versions") << QByteArray("@Orbisnap\nv1.0 --> v1.0\nbase\n0 [Add] : a.dll\n")
                                    << DiffLoad::NothingNewer << QByteArray() << QByteArray();
    QTest::newRow("numeric-order-offered") << QByteArray("@Orbisnap\nv1.9 --> v1.10\nbase\n0 [Add] : a.dll\n")
                                           << DiffLoad::Loaded << QByteArray("0 [Add] a.dll") << QByteArray();
    QTest::newRow("installed-newer") << QByteArray("@Orbisnap\nv1.10 --> v1.9\nbase\n0 [Add] : a.dll\n")
                                     << DiffLoad::NothingNewer << QByteArray() << QByteArray();
    QTest::newRow("new-version-missing") << QByteArray("@Orbisnap\nv1.0 -->\nbase\n0 [Add] : a.dll\n")
                                         << DiffLoad::NothingNewer << QByteArray() << QByteArray();
    QTest::newRow("marker-not-compared") << QByteArray("anything\nv1 --> v2\nbase\n0 [Add] : a.dll\n")
                                         << DiffLoad::Loaded << QByteArray("0 [Add] a.dll") << QByteArray();
    QTest::newRow("empty-file") << QByteArray() << DiffLoad::Refused << QByteArray()
                                << QByteArray(":1: fewer than three lines");
    QTest::newRow("two-lines") << QByteArray("@Orbisnap\nv1 --> v2\n") << DiffLoad::Refused << QByteArray()
                               << QByteArray(":1: fewer than three lines");
    QTest::newRow("three-lines-no-entries") << header << DiffLoad::Loaded << QByteArray() << QByteArray();
    QTest::newRow("last-line-without-line-end") << QByteArray(header + "0 [Add] : a.dll")
                                                << DiffLoad::Loaded << QByteArray("0 [Add] a.dll") << QByteArray();
    QTest::newRow("all-actions-in-order")
        << QByteArray(header + "0 [Changed] : bin/core.dll\n2 [Delete] : old.dll\n1 [Add] : plugins/new.dll\n")
        << DiffLoad::Loaded << QByteArray("0 [Changed] bin/core.dll|2 [Delete] old.dll|1 [Add] plugins/new.dll")
        << QByteArray();
    QTest::newRow("skipped-lines")
        << QByteArray(header + "0 Nome : a.dll\n0 [Remove] : a.dll\n0 [Add] :\n0 [add] : a.dll\nx [Add] : a.dll\n\n")
        << DiffLoad::Loaded << QByteArray() << QByteArray();
    QTest::newRow("state-numbers")
        << QByteArray(header + "5 [Add] : a.dll\n1 [Add] : b.dll\n-1 [Add] : c.dll\n99999999999999999999999 [Add] : d.dll\n")
        << DiffLoad::Loaded << QByteArray("0 [Add] a.dll|1 [Add] b.dll|0 [Add] c.dll|0 [Add] d.dll") << QByteArray();
    QTest::newRow("extra-words-and-other-colon")
        << QByteArray(header + "2 [Changed] - b.dll extra words\n") << DiffLoad::Loaded
        << QByteArray("2 [Changed] b.dll") << QByteArray();
    QTest::newRow("path-up-to-blank") << QByteArray(header + "0 [Add] : a b.dll\n") << DiffLoad::Loaded
                                      << QByteArray("0 [Add] a") << QByteArray();
    QTest::newRow("number-glued-to-action") << QByteArray(header + "0[Add] : a.dll\n") << DiffLoad::Loaded
                                            << QByteArray("0 [Add] a.dll") << QByteArray();
    QTest::newRow("crlf-line-ends")
        << QByteArray("@Orbisnap\r\nv1.0.3 --> v1.0.4\r\nbase\r\n2 [Changed] : a.dll\r\n0 [Delete] : b.dll\r\n")
        << DiffLoad::Loaded << QByteArray("2 [Changed] a.dll|0 [Delete] b.dll") << QByteArray();

    QTest::newRow("version-31-bytes") << QByteArray("@Orbisnap\nv0 --> " + longVersion + "\nbase\n0 [Add] : a\n")
                                      << DiffLoad::Loaded << QByteArray("0 [Add] a") << QByteArray();
    QTest::newRow("version-32-bytes-refused")
        << QByteArray("@Orbisnap\nv0 --> " + longVersion + "1\nbase\n0 [Add] : a\n") << DiffLoad::Refused
        << QByteArray() << QByteArray(":2: version longer than 31 bytes");
    QTest::newRow("old-version-too-long-refused")
        << QByteArray("@Orbisnap\n" + longVersion + "0 --> v9\nbase\n0 [Add] : a\n") << DiffLoad::Refused
        << QByteArray() << QByteArray(":2: version longer than 31 bytes");
    QTest::newRow("base-255-bytes") << QByteArray("@Orbisnap\nv1 --> v2\n" + longBase + "\n0 [Add] : a\n")
                                    << DiffLoad::Loaded << QByteArray("0 [Add] a") << QByteArray();
    QTest::newRow("base-256-bytes-refused")
        << QByteArray("@Orbisnap\nv1 --> v2\n" + longBase + "x\n0 [Add] : a\n") << DiffLoad::Refused
        << QByteArray() << QByteArray(":3: download base longer than 255 bytes");
    QTest::newRow("path-127-bytes") << QByteArray(header + "0 [Add] : " + longPath + "\n") << DiffLoad::Loaded
                                    << QByteArray("0 [Add] " + longPath) << QByteArray();
    QTest::newRow("path-128-bytes-skipped")
        << QByteArray(header + "0 [Add] : " + longPath + "q\n1 [Add] : ok.dll\n") << DiffLoad::Loaded
        << QByteArray("1 [Add] ok.dll") << QByteArray(":4: file path longer than 127 bytes");
    QTest::newRow("long-action-skipped")
        << QByteArray(header + "0 [" + QByteArray(40, 'A') + "] : a.dll\n") << DiffLoad::Loaded << QByteArray()
        << QByteArray(":4: action name longer than 31 bytes");
    QTest::newRow("line-over-buffer-is-one-line")
        << QByteArray(header + "0 [Add] : " + QByteArray(600, 'x') + " 0 [Add] : hidden.dll\n")
        << DiffLoad::Loaded << QByteArray() << QByteArray(":4: file path longer than 127 bytes");

    QTest::newRow("absolute-slash") << QByteArray(header + "0 [Add] : /etc/passwd\n") << DiffLoad::Loaded
                                    << QByteArray() << QByteArray(":4: absolute path");
    QTest::newRow("absolute-backslash") << QByteArray(header + "0 [Add] : \\\\server\\x\n") << DiffLoad::Loaded
                                        << QByteArray() << QByteArray(":4: absolute path");
    QTest::newRow("drive-letter") << QByteArray(header + "0 [Changed] : C:/Windows/x.dll\n") << DiffLoad::Loaded
                                  << QByteArray() << QByteArray(":4: path holds a colon");
    QTest::newRow("stream-name") << QByteArray(header + "0 [Changed] : a.dll:evil\n") << DiffLoad::Loaded
                                 << QByteArray() << QByteArray(":4: path holds a colon");
    QTest::newRow("dotdot-slash") << QByteArray(header + "0 [Add] : ../pwned.txt\n") << DiffLoad::Loaded
                                  << QByteArray() << QByteArray(":4: path has a \"..\" component");
    QTest::newRow("dotdot-inside") << QByteArray(header + "0 [Delete] : bin/../../x\n") << DiffLoad::Loaded
                                   << QByteArray() << QByteArray(":4: path has a \"..\" component");
    QTest::newRow("dotdot-backslash") << QByteArray(header + "0 [Add] : bin\\..\\..\\x\n") << DiffLoad::Loaded
                                      << QByteArray() << QByteArray(":4: path has a \"..\" component");
    QTest::newRow("dotdot-last") << QByteArray(header + "0 [Delete] : bin/..\n") << DiffLoad::Loaded
                                 << QByteArray() << QByteArray(":4: path has a \"..\" component");
    QTest::newRow("dots-in-names-kept") << QByteArray(header + "0 [Add] : a..b/...\n") << DiffLoad::Loaded
                                        << QByteArray("0 [Add] a..b/...") << QByteArray();
}

void DiffFileTest::reading()
{
    QFETCH(QByteArray, content);
    QFETCH(DiffLoad, result);
    QFETCH(QByteArray, entries);
    QFETCH(QByteArray, diagnostic);

    const QString path = dir.filePath(QStringLiteral("version_diff.txt"));
    QVERIFY(writeFile(path, content));
    DiffFile diff;
    StderrCapture stderrText;
    QCOMPARE(readDiffFile(QFile::encodeName(path).constData(), diff), result);
    const QByteArray written = stderrText.text();
    QCOMPARE(describe(diff.entries), entries);
    QCOMPARE(diff.entries.count, entries.isEmpty() ? 0 : int(entries.count('|') + 1));
    if (diagnostic.isEmpty()) {
        QCOMPARE(written, QByteArray());
    } else {
        // One line, naming the file and the line.
        QVERIFY2(written.startsWith(QFile::encodeName(path) + diagnostic), written.constData());
        QCOMPARE(written.count('\n'), 1);
    }
}

void DiffFileTest::missingFile()
{
    DiffFile diff;
    StderrCapture stderrText;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("absent/version_diff.txt")));
    QCOMPARE(readDiffFile(path.constData(), diff), DiffLoad::CannotOpen);
    QCOMPARE(stderrText.text(), QByteArray("load file failed !\n"));
    QCOMPARE(diff.entries.count, 0);
}

void DiffFileTest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("fresh-from-check")
        << QByteArray("@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://127.0.0.1:18480/files/1.0.4\n"
                      "0 [Changed] : bin/core.dll\n0 [Delete] : old.dll\n0 [Add] : plugins/new.dll\n");
    QTest::newRow("after-a-pass")
        << QByteArray("@Orbisnap\nv1.0.3 --> v1.0.4\nbase\n2 [Changed] : bin/core.dll\n0 [Delete] : old.dll\n");
    QTest::newRow("no-entries") << QByteArray("@Orbisnap\nv1 --> v2\nbase\n");
}

// A file the writer produced comes back byte for byte when read and written again.
void DiffFileTest::roundTrip()
{
    QFETCH(QByteArray, content);
    const QString path = dir.filePath(QStringLiteral("roundtrip.txt"));
    QVERIFY(writeFile(path, content));
    DiffFile diff;
    QCOMPARE(readDiffFile(QFile::encodeName(path).constData(), diff), DiffLoad::Loaded);
    QVERIFY(QFile::remove(path));
    QVERIFY(writeDiffFile(QFile::encodeName(path).constData(), diff.oldVersion, diff.newVersion,
        diff.downloadBase, diff.entries.head));
    QCOMPARE(readFile(path), content);
}

void DiffFileTest::failedWriteReported_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("directory-missing") << QStringLiteral("missing-dir/version_diff.txt");
    QTest::newRow("directory-in-the-way") << QStringLiteral("in-the-way");
}

void DiffFileTest::failedWriteReported()
{
    QFETCH(QString, target);
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("in-the-way/child")));
    const QString path = dir.filePath(target);
    StderrCapture stderrText;
    QVERIFY(!writeDiffFile(QFile::encodeName(path).constData(), "v1", "v2", "base", nullptr));
    QCOMPARE(stderrText.text(), QByteArray("save file failed !\n"));
    // Nothing was left behind: the directory in the way still holds only its child.
    QCOMPARE(QDir(dir.filePath(QStringLiteral("in-the-way"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList { QStringLiteral("child") });
}

QTEST_GUILESS_MAIN(DiffFileTest)
#include "tst_difffile.moc"
