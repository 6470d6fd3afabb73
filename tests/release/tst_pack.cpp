// orbisnap-release pack run as a real process on real release folders: which objects it
// writes for each --from, that every object decodes to the file its name says, that a rerun
// reuses whole objects and makes damaged ones again, and that the release store ignores the
// objects folder.

#include "delta.h"
#include "releasetool.h"
#include "testfiles.h"
#include "vendorserverprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {


// The base with a few bytes changed where the release's number says.
QByteArray edited(const QByteArray& base, int release)
{
    QByteArray bytes = base;
    for (int i = 0; i < 20; ++i) {
        const int at = (i * 1999 + release * 37) % bytes.size();
        bytes[at] = char(bytes[at] + release);
    }
    return bytes;
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

const QByteArray Library = randomBytes(40000, 1);
const QStringList Versions = { "1.0.1", "1.0.2", "1.0.3", "1.0.4" };

// Four releases: a library that changes a little each time (its patches are kept), an
// unchanged file, a small text whose patch cannot beat its compressed copy, a file replaced by
// unrelated bytes, and files new in the newest release, one of them the library again.
Tree releases()
{
    Tree tree;
    for (int i = 0; i < Versions.size(); ++i) {
        const QString dir = "releases/" + Versions[i] + "/";
        tree[dir + "bin/app.dll"] = edited(Library, i + 1);
        tree[dir + "same.txt"] = "unchanged\n";
        tree[dir + "notes.txt"] = "release notes of " + Versions[i].toUtf8() + "\n";
        tree[dir + "unrelated.bin"] = randomBytes(20000, 10 + quint32(i));
    }
    tree["releases/1.0.4/data/new.bin"] = randomBytes(3000, 99);
    tree["releases/1.0.4/dup/app-copy.dll"] = edited(Library, 4);
    return tree;
}

class CollectingSink : public delta::Sink
{
public:
    bool write(const std::uint8_t* data, std::size_t size, std::string&) override
    {
        bytes.append(reinterpret_cast<const char*>(data), qsizetype(size));
        return true;
    }
    QByteArray bytes;
};

} // namespace

class PackTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void writesObjects_data();
    void writesObjects();
    void rerunReuses();
    void rerunRepairs_data();
    void rerunRepairs();
    void storeIgnoresObjects();

private:
    QString path(const QString& relative) const { return dir->filePath(relative); }
    QString objectsDir() const { return path("releases/objects"); }
    ToolRun pack(const QStringList& more = {});
    // Every file of every release by its SHA-256.
    QMap<QString, QByteArray> filesByHash() const;
    // The objects present, each checked to decode to the file its name says.
    QStringList checkedObjects();

    std::unique_ptr<QTemporaryDir> dir;
    Tree tree;
};

void PackTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    tree = releases();
    QVERIFY(makeTree(dir->path(), tree));
}

ToolRun PackTest::pack(const QStringList& more)
{
    return runReleaseTool(QStringList { "pack", "--releases", path("releases") } + more);
}

QMap<QString, QByteArray> PackTest::filesByHash() const
{
    QMap<QString, QByteArray> files;
    for (const QByteArray& bytes : tree) {
        files[hex(bytes)] = bytes;
    }
    return files;
}

QStringList PackTest::checkedObjects()
{
    const QMap<QString, QByteArray> files = filesByHash();
    QStringList names = QDir(objectsDir()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    // pack's own list of the patches it dropped; no object.
    names.removeOne(".pack-dropped");
    for (const QString& name : names) {
        const QString object = QDir(objectsDir()).filePath(name);
        const QStringList parts = name.section('.', 0, 0).split('-');
        const QString to = parts.last();
        if (!files.contains(to) || (parts.size() == 2 && !files.contains(parts.first()))) {
            QTest::qFail(qPrintable("object of no release file: " + name), __FILE__, __LINE__);
            return {};
        }
        CollectingSink sink;
        std::string error;
        const std::uint64_t size = std::uint64_t(files[to].size());
        bool decoded = false;
        if (name.endsWith(".zst") && parts.size() == 1) {
            decoded = delta::decompress(object.toStdString(), size, sink, error);
        } else if (name.endsWith(".patch") && parts.size() == 2) {
            const QString oldFile = path("old-" + parts.first());
            if (!writeFile(oldFile, files[parts.first()])) {
                return {};
            }
            decoded = delta::applyPatch(oldFile.toStdString(), object.toStdString(), size, sink, error);
        } else {
            QTest::qFail(qPrintable("not an object's name: " + name), __FILE__, __LINE__);
            return {};
        }
        if (!decoded || sink.bytes != files[to]) {
            QTest::qFail(qPrintable(name + " does not decode to its file: " + QString::fromStdString(error)), __FILE__,
                __LINE__);
            return {};
        }
    }
    return names;
}

void PackTest::writesObjects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("patchesFrom"); // the releases whose patches of the library are kept

    QTest::newRow("copies-only") << QStringList { "--from", "0" } << QStringList();
    QTest::newRow("from-one") << QStringList { "--from", "1" } << QStringList { "1.0.3" };
    QTest::newRow("from-two") << QStringList { "--from=2" } << QStringList { "1.0.3", "1.0.2" };
    QTest::newRow("default-three") << QStringList() << QStringList { "1.0.3", "1.0.2", "1.0.1" };
    QTest::newRow("more-than-there-are") << QStringList { "--from", "9" } << QStringList { "1.0.3", "1.0.2", "1.0.1" };
}

void PackTest::writesObjects()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, patchesFrom);

    const ToolRun run = pack(arguments);
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    QStringList expected;
    for (const char* file : { "bin/app.dll", "same.txt", "notes.txt", "unrelated.bin", "data/new.bin" }) {
        expected << hex(tree["releases/1.0.4/" + QString(file)]) + ".zst";
    }
    const QString library = hex(tree["releases/1.0.4/bin/app.dll"]);
    for (const QString& version : patchesFrom) {
        expected << hex(tree["releases/" + version + "/bin/app.dll"]) + "-" + library + ".patch";
    }
    expected.sort();
    const QStringList present = checkedObjects();
    QCOMPARE(present, expected);

    // The table: a line per file, the patch's size or why there is none per older release.
    const QList<QByteArray> lines = run.out.split('\n');
    const auto line = [&](const QByteArray& file) {
        for (const QByteArray& text : lines) {
            if (text.startsWith(file + ' ')) {
                return text.mid(file.size()).simplified();
            }
        }
        return QByteArray();
    };
    const QByteArray libraryCopySize = QByteArray::number(QFileInfo(QDir(objectsDir()).filePath(library + ".zst")).size());
    QVERIFY2((line("bin/app.dll") + " ").startsWith("40000 " + libraryCopySize + " "), run.out.constData());
    QCOMPARE(line("same.txt").count("same"), patchesFrom.size());
    QCOMPARE(line("data/new.bin").count("new"), patchesFrom.size());
    QCOMPARE(line("notes.txt").count("dropped"), patchesFrom.size());
    QCOMPARE(line("unrelated.bin").count("dropped"), patchesFrom.size());
    QVERIFY2(run.out.contains(QByteArray::number(5 + patchesFrom.size()) + " object(s) made, 0 reused, 0 failed"),
        run.out.constData());
}

void PackTest::rerunReuses()
{
    QCOMPARE(pack().exitCode, 0);
    const QStringList names = checkedObjects();
    QCOMPARE(names.size(), 8);
    QMap<QString, ino_t> inodes;
    for (const QString& name : names) {
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(QDir(objectsDir()).filePath(name)).constData(), &status), 0);
        inodes[name] = status.st_ino;
    }
    // The patches dropped (the text's and the unrelated file's, from each older release) are
    // remembered, not made again: the sizes the list gives are what the rerun shows.
    const QString droppedList = QDir(objectsDir()).filePath(".pack-dropped");
    QList<QByteArray> dropped = readFile(droppedList).split('\n');
    dropped.removeAll(QByteArray());
    QCOMPARE(dropped.size(), 6);
    for (QByteArray& line : dropped) {
        line = line.split(' ').first() + " 77";
    }
    QVERIFY(writeFile(droppedList, dropped.join('\n') + '\n'));
    const ToolRun again = pack();
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.contains("0 object(s) made, 8 reused, 0 failed"), again.out.constData());
    QCOMPARE(again.out.count("77 dropped"), 6);
    QCOMPARE(again.err, QByteArray());
    QCOMPARE(checkedObjects(), names);
    for (const QString& name : names) {
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(QDir(objectsDir()).filePath(name)).constData(), &status), 0);
        QCOMPARE(status.st_ino, inodes[name]);
    }
}

void PackTest::rerunRepairs_data()
{
    QTest::addColumn<QString>("object"); // "copy" or "patch", of the library
    QTest::addColumn<QString>("damage");

    for (const char* object : { "copy", "patch" }) {
        for (const char* damage : { "truncated", "garbage", "empty", "of-other-file" }) {
            QTest::newRow(qPrintable(QString("%1-%2").arg(object, damage))) << QString(object) << QString(damage);
        }
    }
}

void PackTest::rerunRepairs()
{
    QFETCH(QString, object);
    QFETCH(QString, damage);

    QCOMPARE(pack({ "--from", "1" }).exitCode, 0);
    const QString library = hex(tree["releases/1.0.4/bin/app.dll"]);
    const QString copyName = library + ".zst";
    const QString patchName = hex(tree["releases/1.0.3/bin/app.dll"]) + "-" + library + ".patch";
    const QString name = object == "copy" ? copyName : patchName;
    const QString target = QDir(objectsDir()).filePath(name);
    const QByteArray whole = readFile(target);
    QByteArray damaged;
    if (damage == "truncated") {
        damaged = whole.left(whole.size() / 2);
    } else if (damage == "garbage") {
        damaged = randomBytes(int(whole.size()), 5);
    } else if (damage == "of-other-file") {
        // A whole object, of other bytes: a patch to the same file from another release, or the
        // copy of another file.
        QVERIFY(pack({ "--from", "2" }).exitCode == 0);
        damaged = readFile(QDir(objectsDir()).filePath(
            object == "copy" ? hex(tree["releases/1.0.4/data/new.bin"]) + ".zst"
                             : hex(tree["releases/1.0.2/bin/app.dll"]) + "-" + library + ".patch"));
        QVERIFY(!damaged.isEmpty());
    }
    QVERIFY(writeFile(target, damaged));
    // Temporaries a killed run left behind.
    QVERIFY(writeFile(QDir(objectsDir()).filePath("." + copyName + ".unverified"), "half"));
    QVERIFY(writeFile(QDir(objectsDir()).filePath("." + copyName + ".unverified.saving-4242"), "half"));

    const ToolRun run = pack({ "--from", "1" });
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains("warning: made " + name.toUtf8() + " again"), run.err.constData());
    QVERIFY2(run.out.contains("1 object(s) made"), run.out.constData());
    const QStringList names = checkedObjects();
    QVERIFY(names.contains(name));
    for (const QString& present : names) {
        QVERIFY2(!present.startsWith('.'), qPrintable(present));
    }
}

void PackTest::storeIgnoresObjects()
{
    QCOMPARE(pack().exitCode, 0);
    const ToolRun signing = runReleaseTool({ "sign", "--releases", path("releases"), "--secret", testSecretKeyFile(),
        "--base", "http://dl.example/rel" });
    QCOMPARE(signing.exitCode, 0);
    QVERIFY2(!signing.err.contains("objects"), signing.err.constData());
    QVERIFY2(signing.out.contains("(4 release(s), 18 file(s) hashed)"), signing.out.constData());
    QCOMPARE(runReleaseTool({ "verify", "--releases", path("releases"), "--public", testPublicKey() }).exitCode, 0);
}

QTEST_GUILESS_MAIN(PackTest)
#include "tst_pack.moc"
