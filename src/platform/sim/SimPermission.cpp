#include "platform/sim/SimPermission.h"

#include <string>
#include <utility>

namespace ovra::sim {

int64_t SimPermission::authorizationStatus() {
    int64_t status;
    {
        std::lock_guard lock(mutex_);
        status = status_;
    }
    journal_.record("authorizationStatus -> " + std::to_string(status));
    return status;
}

void SimPermission::requestAccess(std::function<void(bool granted)> completion) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(completion));
    }
    journal_.record("requestAccess");
}

void SimPermission::setStatus(int64_t status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

size_t SimPermission::pendingRequests() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

std::thread SimPermission::completeNextAsync(bool granted) {
    std::function<void(bool)> completion;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) return {};
        completion = std::move(pending_.front());
        pending_.pop_front();
    }
    journal_.record(std::string("completeRequest granted=") + (granted ? "true" : "false"));
    return std::thread([completion = std::move(completion), granted] { completion(granted); });
}

bool SimPermission::completeNext(bool granted) {
    std::thread t = completeNextAsync(granted);
    if (!t.joinable()) return false;
    t.join();
    return true;
}

}  // namespace ovra::sim
