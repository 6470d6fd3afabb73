#include "difffile.h"
#include "sha256.h"
#include "smalldisk.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

Q_DECLARE_METATYPE(DiffLoad)

namespace {

QByteArray hex(const std::uint8_t* bytes)
{
    Sha256Digest digest;
    std::memcpy(digest.data(), bytes, digest.size());
    return QByteArray::fromStdString(Sha256::toHex(digest));
}

// "state action file" per entry, joined with "|", for comparing lists in one column.
QByteArray describe(const FileEntryList& entries)
{
    QList<QByteArray> parts;
    for (const FileEntry* entry = entries.head; entry; entry = entry->next) {
        QByteArray part = QByteArray::number(entry->state) + ' ' + fileActionName(entry->action) + ' ' + entry->file;
        if (entry->hasHash) {
            Sha256Digest digest;
            std::memcpy(digest.data(), entry->sha256, digest.size());
            part += ' ' + QByteArray::number(qint64(entry->size)) + ' ' + QByteArray::fromStdString(Sha256::toHex(digest));
        }
        if (entry->packed.present()) {
            part += " packed=" + QByteArray::number(qint64(entry->packed.size)) + ':' + hex(entry->packed.sha256);
        }
        if (entry->patch.present()) {
            part += " patch=" + hex(entry->patchFrom) + ':' + QByteArray::number(qint64(entry->patch.size)) + ':'
                + hex(entry->patch.sha256);
        }
        parts << part;
    }
    return parts.join('|');
}

const QByteArray header = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://127.0.0.1:1/files/1.0.4\n";
// SHA-256 of "test".
const QByteArray hash = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
// Two more, for objects: SHA-256 of "a" and of "b".
const QByteArray hashA = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
const QByteArray hashB = "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaeea5b1b4b";

} // namespace

class DiffFileTest : public QObject
{
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void missingFile();
    void objectsBase_data();
    void objectsBase();
    void objectWordsLeaveOlderReadingAlone();
    void roundTrip_data();
    void roundTrip();
    void healthLine_data();
    void healthLine();
    void failedWriteReported_data();
    void failedWriteReported();
    void fullDiskKeepsOldFile_data();
    void fullDiskKeepsOldFile();

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
    QTest::newRow("changed-with-size-and-hash")
        << QByteArray(header + "0 [Changed] : bin/core.dll 123456 " + hash + "\n") << DiffLoad::Loaded
        << QByteArray("0 [Changed] bin/core.dll 123456 " + hash) << QByteArray();
    QTest::newRow("add-empty-file") << QByteArray(header + "2 [Add] : empty.txt 0 " + hash + "\r\n")
                                    << DiffLoad::Loaded << QByteArray("2 [Add] empty.txt 0 " + hash) << QByteArray();
    QTest::newRow("largest-size") << QByteArray(header + "0 [Add] : a 9223372036854775807 " + hash + "\n")
                                  << DiffLoad::Loaded << QByteArray("0 [Add] a 9223372036854775807 " + hash)
                                  << QByteArray();
    QTest::newRow("words-after-hash-ignored")
        << QByteArray(header + "0 [Add] : a.dll 4 " + hash + " later\n") << DiffLoad::Loaded
        << QByteArray("0 [Add] a.dll 4 " + hash) << QByteArray();
    QTest::newRow("delete-carries-none") << QByteArray(header + "0 [Delete] : old.dll 4 " + hash + "\n")
                                         << DiffLoad::Loaded << QByteArray("0 [Delete] old.dll") << QByteArray();
    QTest::newRow("size-without-hash-skipped")
        << QByteArray(header + "0 [Add] : a.dll 4\n0 [Add] : b.dll\n") << DiffLoad::Loaded
        << QByteArray("0 [Add] b.dll") << QByteArray(":4: size and SHA-256 after the path malformed");
    QTest::newRow("upper-case-hash-skipped")
        << QByteArray(header + "0 [Add] : a.dll 4 " + hash.toUpper() + "\n") << DiffLoad::Loaded
        << QByteArray() << QByteArray(":4: size and SHA-256 after the path malformed");
    QTest::newRow("short-hash-skipped")
        << QByteArray(header + "0 [Changed] : a.dll 4 " + hash.left(63) + "\n") << DiffLoad::Loaded
        << QByteArray() << QByteArray(":4: size and SHA-256 after the path malformed");
    QTest::newRow("negative-size-skipped")
        << QByteArray(header + "0 [Changed] : a.dll -4 " + hash + "\n") << DiffLoad::Loaded << QByteArray()
        << QByteArray(":4: size and SHA-256 after the path malformed");
    QTest::newRow("size-past-64-bits-skipped")
        << QByteArray(header + "0 [Changed] : a.dll 9223372036854775808 " + hash + "\n") << DiffLoad::Loaded
        << QByteArray() << QByteArray(":4: size and SHA-256 after the path malformed");
    QTest::newRow("size-with-letters-skipped")
        << QByteArray(header + "0 [Changed] : a.dll 4k " + hash + "\n") << DiffLoad::Loaded << QByteArray()
        << QByteArray(":4: size and SHA-256 after the path malformed");
    QTest::newRow("objects-read")
        << QByteArray(header + "0 [Changed] : a.dll 4 " + hash + " packed=3:" + hashA + " patch=" + hashB + ":2:"
            + hash + "\n")
        << DiffLoad::Loaded
        << QByteArray("0 [Changed] a.dll 4 " + hash + " packed=3:" + hashA + " patch=" + hashB + ":2:" + hash)
        << QByteArray();
    QTest::newRow("objects-in-any-order-among-other-words")
        << QByteArray(header + "0 [Changed] : a.dll 4 " + hash + " later patch=" + hashB + ":0:" + hash
            + " packed=18446744:" + hashA + " more=1\n")
        << DiffLoad::Loaded
        << QByteArray("0 [Changed] a.dll 4 " + hash + " packed=18446744:" + hashA + " patch=" + hashB + ":0:" + hash)
        << QByteArray();
    QTest::newRow("packed-alone") << QByteArray(header + "2 [Add] : n.dll 4 " + hash + " packed=9:" + hashA + "\n")
                                  << DiffLoad::Loaded << QByteArray("2 [Add] n.dll 4 " + hash + " packed=9:" + hashA)
                                  << QByteArray();
    QTest::newRow("object-words-without-hash-ignored")
        << QByteArray(header + "0 [Add] : a.dll packed=3:" + hashA + "\n") << DiffLoad::Loaded
        << QByteArray("0 [Add] a.dll") << QByteArray();
    QTest::newRow("object-words-on-delete-ignored")
        << QByteArray(header + "0 [Delete] : a.dll 4 " + hash + " packed=3:" + hashA + "\n") << DiffLoad::Loaded
        << QByteArray("0 [Delete] a.dll") << QByteArray();
    // A damaged objects word costs the entry its objects, not its line, whichever word it is.
    const QByteArray dropped = ":4: objects after the SHA-256 malformed";
    const QByteArray line = "0 [Changed] : a.dll 4 " + hash + " packed=3:" + hashA + " ";
    const QByteArray kept = "0 [Changed] a.dll 4 " + hash;
    const QList<std::pair<const char*, QByteArray>> damaged = {
        { "packed-short-hash", "packed=3:" + hashA.left(63) },
        { "packed-upper-case", "packed=3:" + hashA.toUpper() },
        { "packed-negative-size", "packed=-3:" + hashA },
        { "packed-size-past-64-bits", "packed=9223372036854775808:" + hashA },
        { "packed-no-size", "packed=:" + hashA },
        { "packed-empty", "packed=" },
        { "packed-extra-field", "packed=3:" + hashA + ":1" },
        { "packed-repeated", "packed=3:" + hashA },
        { "patch-no-from", "patch=2:" + hash },
        { "patch-short-from", "patch=" + hashB.left(60) + ":2:" + hash },
        { "patch-no-hash", "patch=" + hashB + ":2" },
        { "patch-size-letters", "patch=" + hashB + ":2k:" + hash },
        { "patch-repeated", "patch=" + hashB + ":2:" + hash + " patch=" + hashB + ":2:" + hash },
    };
    for (const auto& [tag, word] : damaged) {
        QTest::newRow(tag) << QByteArray(header + line + word + "\n0 [Add] : b\n") << DiffLoad::Loaded
                           << QByteArray(kept + "|0 [Add] b") << dropped;
    }
    QTest::newRow("dots-in-names-kept") << QByteArray(header + "0 [Add] : a..b/.x.y\n") << DiffLoad::Loaded
                                        << QByteArray("0 [Add] a..b/.x.y") << QByteArray();
    // Names Windows resolves to another file than the one listed.
    QTest::newRow("trailing-dot-skipped") << QByteArray(header + "0 [Changed] : RevisionPusher.exe.\n")
                                          << DiffLoad::Loaded << QByteArray()
                                          << QByteArray(":4: path has a component ending in \".\"");
    QTest::newRow("device-name-skipped") << QByteArray(header + "0 [Add] : plugins/nul.dll\n1 [Add] : ok.dll\n")
                                         << DiffLoad::Loaded << QByteArray("1 [Add] ok.dll")
                                         << QByteArray(":4: path names a Windows device");
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

void DiffFileTest::objectsBase_data()
{
    QTest::addColumn<QByteArray>("baseLine");
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("objects");
    QTest::addColumn<QByteArray>("diagnostic");

    const QByteArray longest = "http://h/" + QByteArray(255 - 9, 'o');
    QTest::newRow("none") << QByteArray("http://h/r/1.0.4") << QByteArray("http://h/r/1.0.4") << QByteArray()
                          << QByteArray();
    QTest::newRow("objects") << QByteArray("http://h/r/1.0.4 http://h/r/objects") << QByteArray("http://h/r/1.0.4")
                             << QByteArray("http://h/r/objects") << QByteArray();
    QTest::newRow("blanks-and-cr") << QByteArray("http://h/r/1.0.4 \t http://h/r/objects \r")
                                   << QByteArray("http://h/r/1.0.4") << QByteArray("http://h/r/objects")
                                   << QByteArray();
    QTest::newRow("255-bytes") << QByteArray("b " + longest) << QByteArray("b") << longest << QByteArray();
    QTest::newRow("256-bytes-dropped") << QByteArray("b " + longest + "o") << QByteArray("b") << QByteArray()
                                       << QByteArray(":3: objects URL longer than 255 bytes");
}

// Line 3's second word, which an updater that knows no objects never reads.
void DiffFileTest::objectsBase()
{
    QFETCH(QByteArray, baseLine);
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, objects);
    QFETCH(QByteArray, diagnostic);

    const QString path = dir.filePath(QStringLiteral("version_diff.txt"));
    QVERIFY(writeFile(path, "@Orbisnap\nv1 --> v2\n" + baseLine + "\n0 [Changed] : a 4 " + hash + "\n"));
    DiffFile diff;
    StderrCapture stderrText;
    QCOMPARE(readDiffFile(QFile::encodeName(path).constData(), diff), DiffLoad::Loaded);
    const QByteArray written = stderrText.text();
    QCOMPARE(QByteArray(diff.downloadBase), base);
    QCOMPARE(QByteArray(diff.objectsBase), objects);
    QCOMPARE(describe(diff.entries), QByteArray("0 [Changed] a 4 " + hash));
    if (diagnostic.isEmpty()) {
        QCOMPARE(written, QByteArray());
    } else {
        QVERIFY2(written.startsWith(QFile::encodeName(path) + diagnostic), written.constData());
    }
}

// The rules an updater without objects reads by: one word of line 3, and after PATH only size
// and hash. Applied to a file with objects, they give what the same file without them gives.
void DiffFileTest::objectWordsLeaveOlderReadingAlone()
{
    const QByteArray withObjects = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://h/r/1.0.4 http://h/r/objects\n"
                                   "0 [Changed] : bin/core.dll 4 " + hash + " packed=3:" + hashA + " patch=" + hashB
        + ":2:" + hash + "\n0 [Delete] : old.dll\n2 [Add] : new.dll 1 " + hashA + " packed=9:" + hashB + "\n";
    const QByteArray without = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://h/r/1.0.4\n"
                               "0 [Changed] : bin/core.dll 4 " + hash + "\n0 [Delete] : old.dll\n2 [Add] : new.dll 1 "
        + hashA + "\n";
    const auto oldReading = [](const QByteArray& text) {
        QList<QByteArray> lines = text.split('\n');
        QByteArrayList out { lines[1], lines[2].split(' ').first() };
        for (qsizetype i = 3; i < lines.size(); ++i) {
            // STATE ACTION : PATH [SIZE SHA256]: the first six words.
            out << lines[i].split(' ').mid(0, 6).join(' ');
        }
        return out;
    };
    QCOMPARE(oldReading(withObjects), oldReading(without));

    // And this reader, with the objects dropped, sees the same entries and base as the old one.
    const QString path = dir.filePath(QStringLiteral("older.txt"));
    DiffFile withDiff;
    DiffFile withoutDiff;
    QVERIFY(writeFile(path, withObjects));
    QCOMPARE(readDiffFile(QFile::encodeName(path).constData(), withDiff), DiffLoad::Loaded);
    QVERIFY(writeFile(path, without));
    QCOMPARE(readDiffFile(QFile::encodeName(path).constData(), withoutDiff), DiffLoad::Loaded);
    QCOMPARE(QByteArray(withDiff.downloadBase), QByteArray(withoutDiff.downloadBase));
    QCOMPARE(QByteArray(withoutDiff.objectsBase), QByteArray());
    QByteArray stripped = describe(withDiff.entries);
    stripped.replace(" packed=3:" + hashA + " patch=" + hashB + ":2:" + hash, "");
    stripped.replace(" packed=9:" + hashB, "");
    QVERIFY(stripped != describe(withDiff.entries));
    QCOMPARE(stripped, describe(withoutDiff.entries));
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
    QTest::newRow("sizes-and-hashes")
        << QByteArray("@Orbisnap\nv1.0.3 --> v1.0.4\nbase\n2 [Changed] : bin/core.dll 123456 " + hash
            + "\n0 [Delete] : old.dll\n0 [Add] : plugins/new.dll 0 " + hash + "\n");
    QTest::newRow("some-with-some-without")
        << QByteArray("@Orbisnap\nv1 --> v2\nbase\n0 [Changed] : a 4 " + hash + "\n0 [Add] : b\n");
    QTest::newRow("objects")
        << QByteArray("@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://h/r/1.0.4 http://h/r/objects\n2 [Changed] : bin/core.dll 4 "
            + hash + " packed=3:" + hashA + " patch=" + hashB + ":2:" + hash + "\n0 [Delete] : old.dll\n0 [Add] : n 0 "
            + hash + " packed=13:" + hashB + "\n0 [Changed] : p 1 " + hashA + " patch=" + hash + ":7:" + hashB
            + "\n0 [Add] : raw 5 " + hash + "\n");
    QTest::newRow("objects-folder-without-objects")
        << QByteArray("@Orbisnap\nv1 --> v2\nbase http://h/objects\n0 [Add] : b\n");
    QTest::newRow("start-check") << QByteArray("@Orbisnap\nv1 --> v2\nbase\n0 [Health] : 60 3\n0 [Add] : b 4 " + hash + "\n");
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
        diff.downloadBase, diff.entries.head, diff.objectsBase, &diff.health));
    QCOMPARE(readFile(path), content);
}

// The start check's line: read where well-formed, skipped with a diagnostic otherwise, never
// taken for an entry (so an updater that does not know it reads the entries as before).
void DiffFileTest::healthLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("starts");
    QTest::addColumn<bool>("diagnosed");
    QTest::newRow("well-formed") << QByteArray("0 [Health] : 60 3") << 60 << 3 << false;
    QTest::newRow("limits") << QByteArray("0 [Health] : 3600 100") << 3600 << 100 << false;
    QTest::newRow("timeout-zero") << QByteArray("0 [Health] : 0 3") << 0 << 0 << true;
    QTest::newRow("timeout-too-long") << QByteArray("0 [Health] : 3601 3") << 0 << 0 << true;
    QTest::newRow("starts-missing") << QByteArray("0 [Health] : 60") << 0 << 0 << true;
    QTest::newRow("extra-word") << QByteArray("0 [Health] : 60 3 x") << 0 << 0 << true;
    QTest::newRow("no-colon") << QByteArray("0 [Health] 60 3") << 0 << 0 << true;
}

void DiffFileTest::healthLine()
{
    QFETCH(QByteArray, line);
    QFETCH(int, timeout);
    QFETCH(int, starts);
    QFETCH(bool, diagnosed);
    const QString path = dir.filePath(QStringLiteral("health.txt"));
    QVERIFY(writeFile(path, "@Orbisnap\nv1 --> v2\nbase\n" + line + "\n0 [Add] : a.dll\n"));
    DiffFile diff;
    StderrCapture capture;
    QCOMPARE(readDiffFile(QFile::encodeName(path).constData(), diff), DiffLoad::Loaded);
    QCOMPARE(diff.health.timeout, timeout);
    QCOMPARE(diff.health.starts, starts);
    QCOMPARE(capture.text().contains("start check malformed, line skipped"), diagnosed);
    QCOMPARE(diff.entries.count, 1);
    QCOMPARE(QByteArray(diff.entries.head->file), QByteArray("a.dll"));
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
    const QByteArray written = stderrText.text();
    QVERIFY2(written.startsWith("save file failed !\n" + QFile::encodeName(path) + ": "), written.constData());
    QCOMPARE(written.count('\n'), 2);
    // Nothing was left behind: the directory in the way still holds only its child.
    QCOMPARE(QDir(dir.filePath(QStringLiteral("in-the-way"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList { QStringLiteral("child") });
}

void DiffFileTest::fullDiskKeepsOldFile_data()
{
    QTest::addColumn<qint64>("spare");
    QTest::addColumn<int>("entries");
    QTest::newRow("no-space-at-all") << qint64(0) << 10;
    QTest::newRow("room-for-part-of-it") << qint64(8192) << 2000;
}

// The write-back on a full disk fails with the system's reason and leaves the file that was
// there whole, never empty or cut short.
void DiffFileTest::fullDiskKeepsOldFile()
{
    QFETCH(qint64, spare);
    QFETCH(int, entries);
    SmallDisk disk(dir.filePath(QStringLiteral("small")), "256k");
    if (!disk.isMounted()) {
        QSKIP("cannot mount a tmpfs here (needs root); the full-disk write is not exercised");
    }
    const QString path = dir.filePath(QStringLiteral("small/version_diff.txt"));
    const QByteArray before = header + "0 [Changed] : bin/core.dll 4 " + hash + "\n";
    QVERIFY(writeFile(path, before));
    QVERIFY(disk.fill(spare));

    FileEntryList list;
    const Sha256Digest digest = Sha256::hash("test");
    for (int i = 0; i < entries; ++i) {
        list.append(Changed, Downloaded, QByteArray("bin/file" + QByteArray::number(i) + ".dll").constData(), 4,
            digest.data());
    }
    StderrCapture stderrText;
    QVERIFY(!writeDiffFile(QFile::encodeName(path).constData(), "v1.0.3", "v1.0.4",
        "http://127.0.0.1:1/files/1.0.4", list.head));
    const QByteArray written = stderrText.text();
    QVERIFY2(written.contains("No space left on device"), written.constData());
    QCOMPARE(readFile(path), before);
    QCOMPARE(QDir(disk.path()).entryList({ QStringLiteral("version_diff.txt.*") }, QDir::Files | QDir::Hidden),
        QStringList());
}

QTEST_GUILESS_MAIN(DiffFileTest)
#include "tst_difffile.moc"
