// A host of either capture: records each chunk and each status call. The status callback gets a
// user pointer of its own, so a library that mixes them up shows; a call that comes with a pointer
// to no live host is counted as stray.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "OvraHelper.h"

namespace ovra::test {

// Polls `done` until it holds or `limit` has passed; returns whether it holds.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return done();
}

template <void (*StartExport)(ov_data_callback, void*, ov_status_callback, void*)>
class RecordingHost {
  public:
    struct Call {
        int32_t value;  // the chunk's byte count, or the status
        void* user;
        std::thread::id thread;
    };

    // Starts with this host's callbacks; returns the last status sent by then (99: none yet).
    int32_t start() {
        StartExport(onData, this, onStatus, statusUser());
        const auto sent = statuses();
        return sent.empty() ? 99 : sent.back().value;
    }
    void* statusUser() { return &statusBox_; }

    std::function<void()> onChunk;              // inside each data call, once it is recorded
    std::function<void(int32_t)> onStatusCall;  // likewise inside each status call
    std::atomic<int> active{0};                 // data calls in progress

    std::vector<Call> statuses() { return locked(statuses_); }
    std::vector<int32_t> codes() { return valuesOf(statuses()); }
    std::vector<Call> chunks() { return locked(chunks_); }
    std::vector<int32_t> chunkBytes() { return valuesOf(chunks()); }
    std::vector<int16_t> samples() { return locked(samples_); }
    size_t chunkCount() { return chunks().size(); }
    bool waitForChunks(size_t n) {
        return eventually([&] { return chunkCount() >= n; });
    }

    void record(const uint8_t* data, int32_t bytes, void* user) {
        ++active;
        {
            std::lock_guard lock(mutex_);
            chunks_.push_back({bytes, user, std::this_thread::get_id()});
            const auto* pcm = reinterpret_cast<const int16_t*>(data);
            samples_.insert(samples_.end(), pcm, pcm + bytes / 2);
        }
        if (onChunk) onChunk();
        active.fetch_sub(1);
    }
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto& host = *static_cast<RecordingHost*>(user);
        if (host.magic_ != kMagic) return void(++strayCalls);
        host.record(data, bytes, user);
    }
    static void onStatus(int32_t status, void* user) {
        auto& host = *static_cast<StatusBox*>(user)->host;
        if (host.magic_ != kMagic) return void(++strayCalls);
        {
            std::lock_guard lock(host.mutex_);
            host.statuses_.push_back({status, user, std::this_thread::get_id()});
        }
        if (host.onStatusCall) host.onStatusCall(status);
    }
    static inline std::atomic<int> strayCalls{0};

    ~RecordingHost() { magic_ = 0; }

  private:
    struct StatusBox {
        RecordingHost* host;
    };
    template <class T>
    T locked(const T& value) {
        std::lock_guard lock(mutex_);
        return value;
    }
    static std::vector<int32_t> valuesOf(const std::vector<Call>& calls) {
        std::vector<int32_t> out;
        for (const Call& c : calls) out.push_back(c.value);
        return out;
    }

    static constexpr uint64_t kMagic = 0x486f7374;
    uint64_t magic_ = kMagic;
    StatusBox statusBox_{this};
    std::mutex mutex_;
    std::vector<Call> statuses_, chunks_;
    std::vector<int16_t> samples_;
};

using MicHost = RecordingHost<ov_start_mic>;
using SystemAudioHost = RecordingHost<ov_start_system_audio>;

}  // namespace ovra::test
