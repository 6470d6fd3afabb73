#include "reportcopy.h"

bool copyReports(ReportDatabase& from, ReportDatabase& to,
    const std::function<void(std::int64_t, std::int64_t)>& progress, std::int64_t& copied, std::string& error)
{
    copied = 0;
    std::optional<std::string> sourceCheck;
    std::optional<std::string> targetCheck;
    std::optional<std::string> sourceId;
    if (!from.readMeta("pseudonym-check", sourceCheck, error) || !from.readMeta("database-id", sourceId, error)
        || !to.readMeta("pseudonym-check", targetCheck, error)) {
        return false;
    }
    if (!sourceId) {
        error = from.describe() + " has no database id";
        return false;
    }
    if (sourceCheck && targetCheck && *sourceCheck != *targetCheck) {
        error = "the pseudonyms of " + from.describe() + " and " + to.describe()
            + " were made with different secrets; counted together, every installation would count twice";
        return false;
    }
    const std::string key = "copied from " + *sourceId;
    std::optional<std::string> done;
    if (!to.readMeta(key, done, error)) {
        return false;
    }
    std::int64_t after = done ? std::strtoll(done->c_str(), nullptr, 10) : 0;
    std::int64_t all = 0;
    if (!from.countReports(after, all, error)) {
        return false;
    }
    std::vector<std::pair<std::int64_t, PseudonymousReport>> chunk;
    std::vector<PseudonymousReport> reports;
    for (;;) {
        if (!from.readReports(after, CopyChunk, chunk, error)) {
            error = "cannot read " + from.describe() + ": " + error;
            return false;
        }
        if (chunk.empty()) {
            return true;
        }
        reports.clear();
        for (auto& [id, report] : chunk) {
            reports.push_back(std::move(report));
        }
        MetaValues meta = { { key, std::to_string(chunk.back().first) } };
        if (sourceCheck && !targetCheck) {
            meta.emplace_back("pseudonym-check", *sourceCheck);
            targetCheck = sourceCheck;
        }
        if (!to.write(reports, meta, error)) {
            error = "cannot write " + to.describe() + ": " + error;
            return false;
        }
        after = chunk.back().first;
        copied += std::int64_t(reports.size());
        progress(copied, all);
    }
}
