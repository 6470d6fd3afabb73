// bench_pass WORK_DIR
// Runs one download pass over WORK_DIR/version_diff.txt with the updater's engine on its own
// thread, exactly as the updater does before it merges: every pending file is fetched into
// WORK_DIR, made durable, and the file written back. Prints how many entries the file ends
// with downloaded; exits with 1 when any is not.

#include "download.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_pass WORK_DIR\n");
        return 2;
    }
    const QByteArray work = QFile::encodeName(QString::fromLocal8Bit(argv[1]));
    const QByteArray diff = work + "/version_diff.txt";
    int downloaded = 0;
    int total = 0;
    {
        Download worker(work.constData(), diff.constData(), work.constData(), "Host.exe", 0);
        if (!worker.loaded) {
            std::fprintf(stderr, "cannot load %s\n", diff.constData());
            return 2;
        }
        if (worker.start() != 0) {
            return 2;
        }
        worker.wait();
        for (const FileEntry* entry = worker.diff.entries.head; entry; entry = entry->next) {
            ++total;
            downloaded += entry->state == Downloaded;
        }
    }
    std::printf("entries %d downloaded %d\n", total, downloaded);
    return downloaded == total ? 0 : 1;
}
