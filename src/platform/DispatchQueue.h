// A serial dispatch queue: one worker thread running submitted work in FIFO order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovra {

enum class QualityOfService { background, utility, defaultQoS, userInitiated, userInteractive };

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    DispatchQueue(std::string label, QualityOfService qos);
    ~DispatchQueue();  // runs what is queued, then ends the worker
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // Queues `work`. Work whose closure fits std::function's inline storage (a pointer or two)
    // costs no allocation once the ring has grown to its working size.
    void async(std::function<void()> work);
    // Waits until everything queued before this call has run. From the queue's own thread it
    // returns at once, since waiting for itself could never end.
    void drain();
    bool isCurrent() const;

    const std::string& label() const { return label_; }
    QualityOfService qualityOfService() const { return qos_; }

private:
    void run();

    const std::string label_;
    const QualityOfService qos_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::vector<std::function<void()>> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t submitted_ = 0;
    uint64_t finished_ = 0;
    bool quit_ = false;
    std::thread worker_;
};

}  // namespace ovra
