#include "platform/sim/SimJournal.h"

namespace ovra::sim {

void SimJournal::record(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::vector<std::string> SimJournal::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> SimJournal::entriesStartingWith(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
}

void SimJournal::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

void SimJournal::failNext(const std::string& call, int32_t status, int times, int skip) {
    std::lock_guard lock(mutex_);
    failures_[call] = Arranged{status, times, skip};
}

std::optional<int32_t> SimJournal::takeFailure(const std::string& call) {
    std::lock_guard lock(mutex_);
    auto it = failures_.find(call);
    if (it == failures_.end()) return std::nullopt;
    if (it->second.skip > 0) {
        --it->second.skip;
        return std::nullopt;
    }
    const int32_t status = it->second.status;
    if (--it->second.times <= 0) failures_.erase(it);
    return status;
}

}  // namespace ovra::sim
