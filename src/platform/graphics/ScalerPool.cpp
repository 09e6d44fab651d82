#include "platform/graphics/ScalerPool.h"

#include <algorithm>
#include <iterator>

namespace ovra {

std::unique_ptr<Scaler> ScalerPool::take(const ScalerKey& key) {
    std::vector<std::unique_ptr<Scaler>> stale;  // destroyed outside the lock
    {
        std::lock_guard lock(mutex_);
        // Scalers of another geometry are for a display that is gone (or changed): what stays
        // between calls follows the display of the latest call, whatever size one had before.
        auto other = std::partition(idle_.begin(), idle_.end(),
                                    [&](const auto& s) { return s->key() == key; });
        // Allocates before it moves anything, so a refusal leaves the pool as it was.
        stale.assign(std::make_move_iterator(other), std::make_move_iterator(idle_.end()));
        idle_.erase(other, idle_.end());
        if (!idle_.empty()) {
            auto scaler = std::move(idle_.back());
            idle_.pop_back();
            return scaler;
        }
    }
    return Scaler::create(key);
}

void ScalerPool::give(std::unique_ptr<Scaler> scaler) {
    if (!scaler || keep_ == 0) return;
    std::unique_ptr<Scaler> dropped;
    std::lock_guard lock(mutex_);
    if (idle_.size() >= keep_) {
        dropped = std::move(idle_.front());
        idle_.erase(idle_.begin());
    }
    idle_.push_back(std::move(scaler));
}

size_t ScalerPool::idleCount() {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace ovra
