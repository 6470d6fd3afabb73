// One full update through the download worker against a loopback HTTP server, and beside it
// curl fetching the same files plus cp putting them in place, in the same run.
//
//   bench_engine_update [--runs N] [--dir DIR] [--wrap "COMMAND ARGS"]
//
// The release is 500 files of 64 KiB in 20 folders and one file of 256 MiB, every one of them
// changed against the older release that each install starts from. The updater runs in a
// child process (this program with --worker), so its wall time includes start-up, loading the
// version-difference file, the pass and the merge, and its peak memory is its own. curl gets
// all files in one invocation (one connection); cp copies the fetched tree over the older
// copy. Figures go to standard output; DIR (default: a fresh folder in the temporary
// directory, removed at the end) holds the data. --wrap runs the updater child under another
// command (a profiler such as "strace -f -c -o FILE") to find out where its time goes.

#include "download.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int Folders = 20;
constexpr int SmallFiles = 500;
constexpr qint64 SmallSize = 64 * 1024;
constexpr qint64 BigSize = 256LL * 1024 * 1024;

struct Child
{
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

// Runs argv to its end; stdout and stderr go to the given files when named.
Child run(const std::vector<std::string>& argv, const std::string& out = {}, const std::string& err = {})
{
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!out.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!err.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    Child child;
    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return child;
    }
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    child.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    child.peakKiB = usage.ru_maxrss;
    child.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

bool writeRandom(const QString& path, qint64 size, std::mt19937_64& random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    std::vector<std::uint64_t> chunk(std::min<qint64>(size, 1 << 20) / 8);
    for (qint64 left = size; left > 0;) {
        for (std::uint64_t& word : chunk) {
            word = random();
        }
        const qint64 n = std::min<qint64>(left, qint64(chunk.size() * 8));
        if (file.write(reinterpret_cast<const char*>(chunk.data()), n) != n) {
            return false;
        }
        left -= n;
    }
    return true;
}

std::vector<QString> releaseNames()
{
    std::vector<QString> names;
    for (int i = 0; i < SmallFiles; ++i) {
        names.push_back(QStringLiteral("folder%1/file%2.bin")
                            .arg(i % Folders, 2, 10, QLatin1Char('0'))
                            .arg(i, 3, 10, QLatin1Char('0')));
    }
    names.push_back(QStringLiteral("big.bin"));
    return names;
}

bool makeRelease(const QString& root, const std::vector<QString>& names, std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    for (const QString& name : names) {
        const QString path = root + QLatin1Char('/') + name;
        if (!QDir().mkpath(QFileInfo(path).path())
            || !writeRandom(path, name == QLatin1String("big.bin") ? BigSize : SmallSize, random)) {
            return false;
        }
    }
    return true;
}

bool sameFile(const QString& a, const QString& b)
{
    QFile x(a), y(b);
    if (!x.open(QIODevice::ReadOnly) || !y.open(QIODevice::ReadOnly) || x.size() != y.size()) {
        return false;
    }
    while (!x.atEnd()) {
        if (x.read(1 << 20) != y.read(1 << 20)) {
            return false;
        }
    }
    return true;
}

bool sameRelease(const QString& release, const QString& install, const std::vector<QString>& names)
{
    return std::all_of(names.begin(), names.end(), [&](const QString& name) {
        return sameFile(release + QLatin1Char('/') + name, install + QLatin1Char('/') + name);
    });
}

bool copyTree(const QString& from, const QString& to)
{
    QDir(to).removeRecursively();
    return run({ "cp", "-r", from.toStdString(), to.toStdString() }).status == 0;
}

// The child: one update run the way the updater makes it, mode 2 with the host not running.
int workerMain(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("RevisionPusher.exe"));
    Download worker(argv[2], argv[3], argv[4], "Host.exe", 2);
    struct Run
    {
        Download* worker;
        std::string host;
        std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();
        double passSeconds = 0;
        double mergeSeconds = 0;
        int merged = -1;
    } state { &worker, std::string(argv[4]) + "/Host.exe" };
    worker.userData = &state;
    worker.callback = [](std::int32_t event, std::intptr_t completed, void* data) {
        auto* self = static_cast<Run*>(data);
        if (event != AllDone || !completed) {
            return;
        }
        const auto fetched = std::chrono::steady_clock::now();
        self->passSeconds = std::chrono::duration<double>(fetched - self->begin).count();
        self->merged = self->worker->merge(self->host.c_str());
        self->mergeSeconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - fetched).count();
    };
    if (worker.start() != 0) {
        return 1;
    }
    worker.wait();
    std::printf("%.3f %.3f %d\n", state.passSeconds, state.mergeSeconds, state.merged);
    return state.merged == 1 ? 0 : 1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--worker") == 0) {
        return workerMain(argc, argv);
    }
    int runs = 3;
    QString dir;
    std::vector<std::string> wrapper;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--dir") == 0) {
            dir = QString::fromLocal8Bit(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--wrap") == 0) {
            for (const QString& word :
                QString::fromLocal8Bit(argv[i + 1]).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                wrapper.push_back(word.toStdString());
            }
        }
    }
    QCoreApplication application(argc, argv);
    QTemporaryDir temp;
    if (dir.isEmpty()) {
        dir = temp.path();
    }
    if (run({ "curl", "--version" }, "/dev/null").status != 0) {
        std::fprintf(stderr, "curl is not installed (apt-get install curl)\n");
        return 1;
    }

    const std::vector<QString> names = releaseNames();
    const QString release = dir + QStringLiteral("/server/release");
    const QString older = dir + QStringLiteral("/older");
    std::printf("preparing: %d files of %lld KiB in %d folders + 1 file of %lld MiB\n", SmallFiles,
        SmallSize / 1024, Folders, BigSize / (1024 * 1024));
    std::fflush(stdout);
    if (!makeRelease(release, names, 2) || !makeRelease(older, names, 1)) {
        std::fprintf(stderr, "cannot write the releases below %s\n", qPrintable(dir));
        return 1;
    }

    httplib::Server server;
    server.set_mount_point("/release", (dir + QStringLiteral("/server/release")).toStdString());
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread listener([&server] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::yield();
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/release";

    const QString curlConfig = dir + QStringLiteral("/curl.cfg");
    {
        QFile config(curlConfig);
        config.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (const QString& name : names) {
            config.write(("url = \"" + base + "/" + name.toStdString() + "\"\noutput = \"").c_str());
            config.write((dir + QStringLiteral("/curl-work/") + name + QStringLiteral("\"\n")).toUtf8());
        }
    }
    QByteArray diff = "@Orbisnap\nv1.0.3 --> v1.0.4\n" + QByteArray::fromStdString(base) + '\n';
    for (const QString& name : names) {
        diff += "0 [Changed] : " + name.toUtf8() + '\n';
    }

    const qint64 totalBytes = SmallFiles * SmallSize + BigSize;
    std::printf("release: %zu files, %.1f MiB\n\n", names.size(), totalBytes / 1048576.0);
    std::printf("%-4s %12s %10s %10s %12s %12s %10s %14s %14s\n", "run", "updater_s", "pass_s", "merge_s",
        "curl_s", "cp_s", "curl+cp_s", "updater/base", "updater_peak");
    std::vector<double> updaterTimes, baseTimes;
    long peakKiB = 0;
    bool allCorrect = true;
    for (int r = 1; r <= runs; ++r) {
        // Baseline: curl into a fresh folder, then cp over a fresh copy of the older release.
        const QString curlWork = dir + QStringLiteral("/curl-work");
        const QString curlInstall = dir + QStringLiteral("/install-curl");
        QDir(curlWork).removeRecursively();
        if (!copyTree(older, curlInstall)) {
            return 1;
        }
        // Each side starts without the preparation's writes still pending.
        ::sync();
        const Child curl = run({ "curl", "--silent", "--show-error", "--fail", "--create-dirs", "--config",
            curlConfig.toStdString() });
        const Child cp
            = run({ "cp", "-r", (curlWork + QStringLiteral("/.")).toStdString(), curlInstall.toStdString() });

        // The updater: a fresh working directory with the version-difference file, a fresh copy
        // of the older release with an idle host executable.
        const QString work = dir + QStringLiteral("/work");
        const QString install = dir + QStringLiteral("/install-updater");
        QDir(work).removeRecursively();
        QDir().mkpath(work);
        if (!copyTree(older, install)) {
            return 1;
        }
        QFile host(install + QStringLiteral("/Host.exe"));
        host.open(QIODevice::WriteOnly);
        host.write("host");
        host.close();
        QFile diffFile(work + QStringLiteral("/version_diff.txt"));
        diffFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
        diffFile.write(diff);
        diffFile.close();
        const QString phases = dir + QStringLiteral("/worker.out");
        ::sync();
        std::vector<std::string> command = wrapper;
        for (const std::string& arg : { std::string(argv[0]), std::string("--worker"), work.toStdString(),
                 (work + QStringLiteral("/version_diff.txt")).toStdString(), install.toStdString() }) {
            command.push_back(arg);
        }
        const Child updater
            = run(command, phases.toStdString(), (dir + QStringLiteral("/worker.log")).toStdString());
        double pass = 0, merge = 0;
        int merged = -1;
        {
            QFile out(phases);
            out.open(QIODevice::ReadOnly);
            std::sscanf(out.readAll().constData(), "%lf %lf %d", &pass, &merge, &merged);
        }
        const bool correct = curl.status == 0 && cp.status == 0 && updater.status == 0 && merged == 1
            && sameRelease(release, curlInstall, names) && sameRelease(release, install, names)
            && !QFile::exists(work + QStringLiteral("/version_diff.txt"));
        allCorrect = allCorrect && correct;
        const double baseSeconds = curl.seconds + cp.seconds;
        updaterTimes.push_back(updater.seconds);
        baseTimes.push_back(baseSeconds);
        peakKiB = std::max(peakKiB, updater.peakKiB);
        std::printf("%-4d %12.3f %10.3f %10.3f %12.3f %12.3f %10.3f %14.2f %11.1f MiB%s\n", r,
            updater.seconds, pass, merge, curl.seconds, cp.seconds, baseSeconds,
            updater.seconds / baseSeconds, updater.peakKiB / 1024.0, correct ? "" : "  (WRONG RESULT)");
        std::fflush(stdout);
    }
    server.stop();
    listener.join();

    const double updaterMedian = median(updaterTimes);
    const double baseMedian = median(baseTimes);
    std::printf("\nmedian of %d: updater %.3f s, curl+cp %.3f s, ratio %.2f (target <= 1.50)\n", runs,
        updaterMedian, baseMedian, updaterMedian / baseMedian);
    std::printf("updater peak resident memory: %.1f MiB (largest file %lld MiB)\n", peakKiB / 1024.0,
        BigSize / (1024 * 1024));
    std::printf("results byte for byte equal to the release: %s\n", allCorrect ? "yes" : "NO");
    return allCorrect ? 0 : 1;
}
