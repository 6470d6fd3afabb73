// The merge into place on its own: the version-difference file lists every file as changed and
// downloaded, the fetched copies are in the working directory, and Download::installFiles puts
// them in place with its journal, staged copies, flushes and directory syncs. Beside it, in the
// same run and on the same files: `cp -r` of the fetched tree over the installation, and the
// same followed by `sync -f` of the installation, the least a durable copy costs.
//
//   bench_merge [--files N] [--size BYTES] [--runs N] [--dir DIR]
//
// Default: 2,000 files of 4 KiB in 40 folders, 5 runs. Each run prints wall and CPU time (user +
// system: the merge's own, cp's and sync's as children) of both; the last lines compare the best
// run of each with the other's best, the fairer figure on a shared, noisy machine.

#include "download.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
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

// CPU time (user + system) so far, of this process or of its waited-for children.
double cpuSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
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
    int runs = 5;
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

    double bestMerge = 1e9;
    double bestMergeCpu = 1e9;
    double bestCopySync = 1e9;
    double bestCopySyncCpu = 1e9;
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
        double cpuStart = cpuSeconds(RUSAGE_SELF);
        const int installed = worker.installFiles();
        const double merge = secondsSince(start);
        const double mergeCpu = cpuSeconds(RUSAGE_SELF) - cpuStart;
        if (installed != 1) {
            std::fprintf(stderr, "the merge failed\n");
            return 1;
        }

        // The same bytes copied again by cp, plainly and then made durable.
        writeTree(work, files, size, 'c');
        shell(QStringLiteral("sync"));
        start = Clock::now();
        cpuStart = cpuSeconds(RUSAGE_CHILDREN);
        shell(QStringLiteral("cp -r '%1/.' '%2'").arg(work, app));
        const double copy = secondsSince(start);
        start = Clock::now();
        shell(QStringLiteral("sync -f '%1'").arg(app));
        const double copySync = copy + secondsSince(start);
        const double copySyncCpu = cpuSeconds(RUSAGE_CHILDREN) - cpuStart;

        std::printf("run %d: merge %.3f s (cpu %.3f s, %.0f files/s), cp -r %.3f s, cp -r + sync %.3f s (cpu %.3f s)\n",
            run, merge, mergeCpu, files / merge, copy, copySync, copySyncCpu);
        bestMerge = std::min(bestMerge, merge);
        bestMergeCpu = std::min(bestMergeCpu, mergeCpu);
        bestCopySync = std::min(bestCopySync, copySync);
        bestCopySyncCpu = std::min(bestCopySyncCpu, copySyncCpu);
    }
    std::printf("best of %d: merge %.3f s (cpu %.3f s), cp -r + sync %.3f s (cpu %.3f s): %.2fx wall (target <= 1.5), "
                "%.2fx cpu\n",
        runs, bestMerge, bestMergeCpu, bestCopySync, bestCopySyncCpu, bestMerge / bestCopySync,
        bestMergeCpu / bestCopySyncCpu);
    return 0;
}
