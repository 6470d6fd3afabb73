// The merge into place on its own: the version-difference file lists every file as changed and
// downloaded, the fetched copies are in the working directory, and Download::installFiles puts
// them in place with its journal, staged copies, flushes and directory syncs. Beside it, in the
// same run and on the same files: `cp -r` of the fetched tree over the installation, and the
// same followed by `sync`, the least a durable copy costs.
//
//   bench_merge [--files N] [--size BYTES] [--runs N] [--dir DIR]
//
// Default: 2,000 files of 4 KiB in 40 folders, 3 runs. Figures go to standard output.

#include "download.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

QString relativeName(int index)
{
    return QStringLiteral("dir%1/file%2.bin").arg(index % 40, 2, 10, QLatin1Char('0')).arg(index);
}

bool writeTree(const QString& root, int files, int size, char fill)
{
    const QByteArray bytes(size, fill);
    for (int i = 0; i < files; ++i) {
        const QString path = root + QLatin1Char('/') + relativeName(i);
        QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            return false;
        }
    }
    return true;
}

int shell(const QString& command)
{
    return std::system(command.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("RevisionPusher.exe"));
    int files = 2000;
    int size = 4096;
    int runs = 3;
    QString base;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--files") {
            files = std::atoi(argv[i + 1]);
        } else if (option == "--size") {
            size = std::atoi(argv[i + 1]);
        } else if (option == "--runs") {
            runs = std::atoi(argv[i + 1]);
        } else if (option == "--dir") {
            base = QString::fromLocal8Bit(argv[i + 1]);
        }
    }
    QTemporaryDir temp(base.isEmpty() ? QDir::tempPath() + QStringLiteral("/bench-merge-XXXXXX")
                                      : base + QStringLiteral("/bench-merge-XXXXXX"));
    const QString app = temp.path() + QStringLiteral("/app");
    const QString work = temp.path() + QStringLiteral("/work");
    const QString diff = work + QStringLiteral("/version_diff.txt");
    std::printf("merge of %d files of %d bytes (%.1f MiB), %d runs\n", files, size,
        double(files) * size / (1 << 20), runs);

    for (int run = 1; run <= runs; ++run) {
        QDir(app).removeRecursively();
        QDir(work).removeRecursively();
        if (!writeTree(app, files, size, 'o') || !writeTree(work, files, size, 'n')) {
            std::fprintf(stderr, "cannot write the trees below %s\n", temp.path().toLocal8Bit().constData());
            return 1;
        }
        QByteArray text = "@Orbisnap\nv1.0.3 --> v1.0.4\nhttp://127.0.0.1:9/release\n";
        for (int i = 0; i < files; ++i) {
            text += "2 [Changed] : " + relativeName(i).toUtf8() + '\n';
        }
        QFile out(diff);
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size()) {
            return 1;
        }
        out.close();
        shell(QStringLiteral("sync"));

        Download worker(work.toUtf8().constData(), diff.toUtf8().constData(), app.toUtf8().constData(),
            "Host.exe", 2);
        auto start = Clock::now();
        const int installed = worker.installFiles();
        const double merge = secondsSince(start);
        if (installed != 1) {
            std::fprintf(stderr, "the merge failed\n");
            return 1;
        }

        // The same bytes copied again by cp, plainly and then made durable.
        writeTree(work, files, size, 'c');
        shell(QStringLiteral("sync"));
        start = Clock::now();
        shell(QStringLiteral("cp -r '%1/.' '%2'").arg(work, app));
        const double copy = secondsSince(start);
        start = Clock::now();
        shell(QStringLiteral("sync"));
        const double copySync = copy + secondsSince(start);

        std::printf("run %d: merge %.3f s (%.0f files/s), cp -r %.3f s, cp -r + sync %.3f s\n", run, merge,
            files / merge, copy, copySync);
    }
    return 0;
}
