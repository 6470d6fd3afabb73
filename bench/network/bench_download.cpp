// bench_download URL_LIST [OUT_DIR]
// Fetches every URL of URL_LIST (one per line) in order with UploadManager::downloadFile on a
// POSIX thread, as the download worker does. The bytes are dropped, or with OUT_DIR written to
// OUT_DIR under the URL's last path segment. Prints the number of files, failures and bytes;
// exits with 1 when any download or write failed.

#include "uploadmanager.h"

#include <QCoreApplication>
#include <QFile>

#include <pthread.h>

#include <cstdio>

namespace {

struct Run
{
    QList<QByteArray> urls;
    QString outDir;
    int failures = 0;
    qint64 bytes = 0;
};

void* fetchAll(void* argument)
{
    auto* run = static_cast<Run*>(argument);
    for (const QByteArray& url : run->urls) {
        QByteArray data;
        if (!UploadManager::instance()->downloadFile(url.constData(), data)) {
            ++run->failures;
            continue;
        }
        run->bytes += data.size();
        if (!run->outDir.isEmpty()) {
            QFile out(run->outDir + '/' + QString::fromUtf8(url.mid(url.lastIndexOf('/') + 1)));
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(data) != data.size()) {
                ++run->failures;
            }
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: bench_download URL_LIST [OUT_DIR]\n");
        return 2;
    }
    QFile list(QString::fromLocal8Bit(argv[1]));
    if (!list.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    Run run;
    if (argc == 3) {
        run.outDir = QString::fromLocal8Bit(argv[2]);
    }
    for (const QByteArray& line : list.readAll().split('\n')) {
        if (!line.trimmed().isEmpty()) {
            run.urls << line.trimmed();
        }
    }
    pthread_t worker;
    if (pthread_create(&worker, nullptr, fetchAll, &run) != 0) {
        return 2;
    }
    pthread_join(worker, nullptr);
    std::printf("files %lld failures %d bytes %lld\n", static_cast<long long>(run.urls.size()), run.failures,
        static_cast<long long>(run.bytes));
    return run.failures == 0 ? 0 : 1;
}
