#include "platform/graphics/ScalerPool.h"

#include <algorithm>

namespace ovra {

std::unique_ptr<Scaler> ScalerPool::take(const ScalerKey& key) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(idle_.begin(), idle_.end(),
                               [&](const auto& s) { return s->key() == key; });
        if (it != idle_.end()) {
            auto scaler = std::move(*it);
            idle_.erase(it);
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

}  // namespace ovra
