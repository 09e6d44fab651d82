// Simulated capture permission: a status a test sets, and access requests that stay pending until
// the test answers them, granted or refused, each on a thread of its own; or never.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/CapturePermission.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimPermission : public CapturePermission {
  public:
    explicit SimPermission(SimJournal& journal) : journal_(journal) {}

    int64_t authorizationStatus() override;
    void requestAccess(std::function<void(bool granted)> completion) override;

    // --- test controls
    void setStatus(int64_t status);
    size_t pendingRequests() const;
    // Answers the oldest pending request on a new thread and returns that thread, which the test
    // joins. A request left unanswered is never completed.
    std::thread completeNextAsync(bool granted);
    // The same, and waits for the completion to return. False when nothing was pending.
    bool completeNext(bool granted);

  private:
    SimJournal& journal_;
    mutable std::mutex mutex_;
    int64_t status_ = 3;
    std::deque<std::function<void(bool)>> pending_;
};

}  // namespace ovra::sim
