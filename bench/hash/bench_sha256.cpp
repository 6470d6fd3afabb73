// Hashes 256 MiB in 1 MiB pieces (the download pass's read size) with Sha256 and with
// QCryptographicHash, several rounds each, and prints the best time, the throughput and what
// the hashing adds to a download pass of a given length (default 0.4 s, the 256 MiB pass on
// loopback): bench_sha256 [PASS_SECONDS]

#include "sha256.h"

#include <QCryptographicHash>
#include <QElapsedTimer>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

constexpr qsizetype Piece = 1 << 20;
constexpr int Pieces = 256;
constexpr int Rounds = 5;

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Timing
{
    double wall = 1e9;
    double cpu = 1e9;
};

// Best wall-clock and best CPU time: on a shared, busy machine the wall clock also counts the
// time other processes had the processor.
Timing best(const std::function<void()>& run)
{
    Timing timing;
    for (int round = 0; round < Rounds; ++round) {
        QElapsedTimer timer;
        const double cpuBefore = threadCpuSeconds();
        timer.start();
        run();
        timing.wall = std::min(timing.wall, double(timer.nsecsElapsed()) / 1e9);
        timing.cpu = std::min(timing.cpu, threadCpuSeconds() - cpuBefore);
    }
    return timing;
}

void report(const char* name, const Timing& timing, double mib, double passSeconds)
{
    std::printf("%-20s %8.3f %8.3f %10.0f %12.1f%%\n", name, timing.wall, timing.cpu, mib / timing.cpu,
        100 * timing.cpu / passSeconds);
}

} // namespace

int main(int argc, char** argv)
{
    const double passSeconds = argc > 1 ? std::atof(argv[1]) : 0.4;
    std::vector<char> piece(Piece);
    for (qsizetype i = 0; i < Piece; ++i) {
        piece[std::size_t(i)] = char(i * 131 % 251);
    }
    const double mib = double(Piece) * Pieces / double(1 << 20);

    Sha256 sha;
    Sha256Digest digest {};
    const Timing ours = best([&] {
        for (int i = 0; i < Pieces; ++i) {
            sha.addData(piece.data(), piece.size());
        }
        digest = sha.result();
    });
    QByteArray qtDigest;
    const Timing qt = best([&] {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        for (int i = 0; i < Pieces; ++i) {
            hash.addData(QByteArrayView(piece.data(), Piece));
        }
        qtDigest = hash.result();
    });
    if (qtDigest != QByteArray(reinterpret_cast<const char*>(digest.data()), Sha256Size)) {
        std::fprintf(stderr, "bench_sha256: the two digests differ\n");
        return 1;
    }
    std::printf("%-20s %8s %8s %10s %13s\n", "sha256 of 256 MiB", "wall s", "cpu s", "MiB/s cpu", "of the pass");
    report("Sha256", ours, mib, passSeconds);
    report("QCryptographicHash", qt, mib, passSeconds);
    std::printf("(best of %d rounds; share of a %.2f s pass by CPU time)\n", Rounds, passSeconds);
    return 0;
}
