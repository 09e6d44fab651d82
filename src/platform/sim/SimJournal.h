// The simulated platform's journal: every call with its arguments, in order, and failures that a
// test arranges for a named call.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ovra::sim {

class SimJournal {
public:
    void record(std::string entry);
    std::vector<std::string> entries() const;
    // Entries that start with `prefix` (a call name), in order.
    std::vector<std::string> entriesStartingWith(const std::string& prefix) const;
    void clear();

    // The next `times` calls of `call` fail with `status` (for calls without a status, any
    // non-zero value simply means "fail"). `skip` lets that many calls succeed first.
    void failNext(const std::string& call, int32_t status = -1, int times = 1, int skip = 0);
    // Consumes one arranged failure of `call`, if any.
    std::optional<int32_t> takeFailure(const std::string& call);

private:
    struct Arranged {
        int32_t status;
        int times;
        int skip;
    };
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
    std::map<std::string, Arranged> failures_;
};

}  // namespace ovra::sim
