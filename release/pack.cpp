#include "pack.h"

#include "checkedwrite.h"
#include "delta.h"
#include "encode.h"
#include "fileops.h"
#include "objectnames.h"
#include "releasestore.h"
#include "sha256.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <atomic>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A patch is kept where it saves clearly more than the compressed copy: the updater then has
// a fallback ready that costs little more.
constexpr std::uint64_t KeepPatchPercent = 90;
constexpr char UnverifiedSuffix[] = ".unverified";

struct Job
{
    enum class Kind { Copy, Patch };
    enum class Outcome { Made, Reused, Remade, Dropped, Failed };

    Kind kind = Kind::Copy;
    std::string name;            // the object's file name
    fs::path source;             // the newest release's file
    fs::path oldSource;          // a patch's old file
    std::int64_t size = 0;       // the newest file's
    Sha256Digest sha256 {};      // likewise
    const Job* copy = nullptr;   // a patch's compressed copy, made first

    Outcome outcome = Outcome::Failed;
    std::uint64_t objectSize = 0; // a dropped patch's size too
    std::string problem;          // why it failed, or why an existing object was made again
};

QString toQString(const fs::path& path)
{
    return QFile::decodeName(path.c_str());
}

// Size and SHA-256 of what a decoder hands over.
class HashingSink : public delta::Sink
{
public:
    bool write(const std::uint8_t* data, std::size_t size, std::string&) override
    {
        hash.addData(data, size);
        total += size;
        return true;
    }
    bool matches(const Job& job, std::string& why)
    {
        if (total != std::uint64_t(job.size) || hash.result() != job.sha256) {
            why = "it decodes to other bytes than the file's";
            return false;
        }
        return true;
    }

private:
    Sha256 hash;
    std::uint64_t total = 0;
};

// Whether the object at path decodes to the job's file.
bool decodesWhole(const Job& job, const fs::path& object, std::string& why)
{
    HashingSink sink;
    const bool decoded = job.kind == Job::Kind::Copy
        ? delta::decompress(object, std::uint64_t(job.size), sink, why)
        : delta::applyPatch(job.oldSource, object, std::uint64_t(job.size), sink, why);
    return decoded && sink.matches(job, why);
}

// The bytes written durably under a hidden name, checked, then given their name.
bool publish(const Job& job, const fs::path& dir, const std::vector<std::uint8_t>& bytes, std::string& why)
{
    const fs::path target = dir / job.name;
    const fs::path unverified = dir / ("." + job.name + UnverifiedSuffix);
    QString error;
    if (!writeFileChecked(toQString(unverified),
            QByteArrayView(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())), &error)) {
        why = "cannot write " + unverified.string() + ": " + error.toStdString();
        return false;
    }
    if (!decodesWhole(job, unverified, why)) {
        why = "the object made does not decode to the file (" + why + ")";
        platform::removeFile(unverified);
        return false;
    }
    if (const platform::FileResult moved = platform::replaceFile(unverified, target); !moved) {
        why = "cannot rename " + unverified.string() + ": " + moved.describe();
        platform::removeFile(unverified);
        return false;
    }
    platform::syncDirectory(dir);
    return true;
}

void run(Job& job, const fs::path& dir)
{
    const fs::path target = dir / job.name;
    std::error_code error;
    bool remake = false;
    if (fs::exists(target, error)) {
        std::string why;
        if (decodesWhole(job, target, why)) {
            job.outcome = Job::Outcome::Reused;
            job.objectSize = fs::file_size(target, error);
            return;
        }
        remake = true;
        job.problem = why;
    }
    std::vector<std::uint8_t> bytes;
    std::string why;
    const bool made = job.kind == Job::Kind::Copy ? delta::makeCompressedCopy(job.source, bytes, why)
                                                  : delta::makePatch(job.oldSource, job.source, bytes, why);
    if (!made) {
        job.problem = why;
        return;
    }
    job.objectSize = bytes.size();
    if (job.kind == Job::Kind::Patch
        && (job.copy->outcome == Job::Outcome::Failed
            || bytes.size() * 100 > job.copy->objectSize * KeepPatchPercent)) {
        job.outcome = Job::Outcome::Dropped;
        return;
    }
    if (!publish(job, dir, bytes, why)) {
        job.problem = why;
        return;
    }
    job.outcome = remake ? Job::Outcome::Remade : Job::Outcome::Made;
}

// Biggest first, so that no core is left with the longest job at the end.
void runAll(std::vector<Job*>& jobs, const fs::path& dir)
{
    std::sort(jobs.begin(), jobs.end(), [](const Job* a, const Job* b) { return a->size > b->size; });
    std::atomic<std::size_t> next = 0;
    const unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), unsigned(jobs.size())));
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            for (std::size_t index = next++; index < jobs.size(); index = next++) {
                run(*jobs[index], dir);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

// Temporary files of a run that was killed.
void removeLeftovers(const fs::path& dir)
{
    std::error_code error;
    for (auto it = fs::directory_iterator(dir, error); !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with('.') && (name.ends_with(UnverifiedSuffix) || name.find(".saving-") != std::string::npos)) {
            platform::removeFile(it->path());
        }
    }
}

std::string cell(const Job* job)
{
    switch (job->outcome) {
    case Job::Outcome::Dropped:
        return std::to_string(job->objectSize) + " dropped";
    case Job::Outcome::Failed:
        return "failed";
    default:
        return std::to_string(job->objectSize);
    }
}

} // namespace

int packObjects(const ReleaseStore& store, unsigned fromReleases, std::ostream& out, std::ostream& err)
{
    const fs::path dir = store.root() / delta::ObjectsFolderName;
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        err << "orbisnap-release: cannot make " << dir.string() << ": " << error.message() << "\n";
        return 1;
    }
    removeLeftovers(dir);

    const Release& newest = store.newest();
    const std::vector<Release>& releases = store.releases();
    std::vector<const Release*> older;
    for (std::size_t i = releases.size() - 1; i > 0 && older.size() < fromReleases; --i) {
        older.push_back(&releases[i - 1]);
    }

    // One job per object: the same bytes at two paths, or the same change from two releases,
    // share it.
    std::map<std::string, Job> jobs;
    for (const auto& [path, file] : newest.files) {
        const std::string name = delta::objectName(Sha256::toHex(file.sha256));
        Job& copy = jobs[name];
        copy.name = name;
        copy.source = file.source;
        copy.size = file.size;
        copy.sha256 = file.sha256;
    }
    for (const Release* release : older) {
        for (const auto& [path, file] : newest.files) {
            const auto old = release->files.find(path);
            if (old == release->files.end() || old->second.sha256 == file.sha256) {
                continue;
            }
            const std::string sha = Sha256::toHex(file.sha256);
            const std::string name = delta::patchName(Sha256::toHex(old->second.sha256), sha);
            Job& patch = jobs[name];
            patch.kind = Job::Kind::Patch;
            patch.name = name;
            patch.source = file.source;
            patch.oldSource = old->second.source;
            patch.size = file.size;
            patch.sha256 = file.sha256;
            patch.copy = &jobs.at(delta::objectName(sha));
        }
    }
    std::vector<Job*> copies;
    std::vector<Job*> patches;
    for (auto& [name, job] : jobs) {
        (job.kind == Job::Kind::Copy ? copies : patches).push_back(&job);
    }
    // The copies first: whether a patch is kept depends on its copy's size.
    runAll(copies, dir);
    runAll(patches, dir);

    // The table.
    std::size_t width = 4;
    for (const auto& [path, file] : newest.files) {
        width = std::max(width, path.size());
    }
    std::ostringstream table;
    table << std::left << std::setw(int(width)) << "file" << std::right << std::setw(12) << "raw" << std::setw(12)
          << "compressed";
    for (const Release* release : older) {
        table << std::setw(16) << "from " + release->version;
    }
    table << "\n";
    std::uint64_t rawTotal = 0;
    std::uint64_t copyTotal = 0;
    for (const auto& [path, file] : newest.files) {
        const std::string sha = Sha256::toHex(file.sha256);
        const Job& copy = jobs.at(delta::objectName(sha));
        rawTotal += std::uint64_t(file.size);
        copyTotal += copy.objectSize;
        table << std::left << std::setw(int(width)) << path << std::right << std::setw(12) << file.size
              << std::setw(12) << cell(&copy);
        for (const Release* release : older) {
            const auto old = release->files.find(path);
            const std::string text = old == release->files.end() ? "new"
                : old->second.sha256 == file.sha256
                ? "same"
                : cell(&jobs.at(delta::patchName(Sha256::toHex(old->second.sha256), sha)));
            table << std::setw(16) << text;
        }
        table << "\n";
    }
    table << std::left << std::setw(int(width)) << "total" << std::right << std::setw(12) << rawTotal << std::setw(12)
          << copyTotal << "\n";
    out << table.str();

    int made = 0;
    int reused = 0;
    int failed = 0;
    for (const auto& [name, job] : jobs) {
        switch (job.outcome) {
        case Job::Outcome::Made:
            ++made;
            break;
        case Job::Outcome::Reused:
            ++reused;
            break;
        case Job::Outcome::Remade:
            ++made;
            err << "orbisnap-release: warning: made " << name << " again: " << job.problem << "\n";
            break;
        case Job::Outcome::Dropped:
            break;
        case Job::Outcome::Failed:
            ++failed;
            err << "orbisnap-release: cannot make " << name << ": " << job.problem << "\n";
            break;
        }
    }
    out << made << " object(s) made, " << reused << " reused, " << failed << " failed in " << dir.string() << "\n";
    return failed > 0 ? 1 : 0;
}
