// Scalers kept between screenshots: building one computes its filter tables and starts its slice
// threads, which costs more than a small frame's scaling. A scaler serves one call at a time, so
// a call takes it out of the pool and gives it back when done.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/graphics/Scaler.h"

namespace ovra {

class ScalerPool {
  public:
    explicit ScalerPool(size_t keep = 2) : keep_(keep) {}

    // An idle scaler of that geometry, or a new one; null when none can be made. Idle scalers of
    // any other geometry are dropped.
    std::unique_ptr<Scaler> take(const ScalerKey& key);
    // Keeps the scaler for the next call, dropping the oldest idle one when the pool is full.
    void give(std::unique_ptr<Scaler> scaler);
    size_t idleCount();

  private:
    size_t keep_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Scaler>> idle_;
};

}  // namespace ovra
