// What the system-audio tests share: a host that records what the library tells it, and a fresh
// simulated platform per test. The lines written come from linesOf, as for the microphone.
#pragma once

#include "MicTestSupport.h"
#include "platform/sim/SimAudioHardware.h"

namespace ovra::test {

// Polls `done` until it holds or `limit` has passed; returns whether it holds.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return done();
}

// A host of system audio: the chunks, with the user pointer and thread of each data call, and the
// statuses. The status callback gets a user pointer of its own, not the data one.
struct SystemAudioHost {
    std::mutex mutex;
    std::vector<int16_t> all;  // every chunk's samples, one after the other
    std::vector<int32_t> byteCounts;
    std::vector<void*> users;
    std::vector<std::thread::id> threads;
    std::vector<int32_t> codes;
    std::atomic<int> active{0};
    std::function<void()> during;               // runs inside each data call, after it is recorded
    std::function<void(int32_t)> duringStatus;  // likewise inside each status call
    SystemAudioHost* self = this;               // the status user pointer points here

    // Starts with this host's callbacks and returns the last status sent (99: none).
    int32_t start() {
        ov_start_system_audio(&onData, this, &onStatus, &self);
        const auto sent = statuses();
        return sent.empty() ? 99 : sent.back();
    }
    void record(const uint8_t* data, int32_t bytes, void* user) {
        ++active;
        {
            std::lock_guard lock(mutex);
            const auto* samples = reinterpret_cast<const int16_t*>(data);
            all.insert(all.end(), samples, samples + bytes / 2);
            byteCounts.push_back(bytes);
            users.push_back(user);
            threads.push_back(std::this_thread::get_id());
        }
        if (during) during();
        active.fetch_sub(1);
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return byteCounts.size();
    }
    bool waitFor(size_t n) {
        return eventually([&] { return count() >= n; });
    }
    std::vector<int32_t> statuses() {
        std::lock_guard lock(mutex);
        return codes;
    }
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        static_cast<SystemAudioHost*>(user)->record(data, bytes, user);
    }
    static void onStatus(int32_t code, void* user) {
        SystemAudioHost& host = **static_cast<SystemAudioHost**>(user);
        {
            std::lock_guard lock(host.mutex);
            host.codes.push_back(code);
        }
        if (host.duringStatus) host.duringStatus(code);
    }
};

// A fresh platform per test; whatever runs is stopped afterwards.
class SystemAudioTest : public testing::Test {
  protected:
    void SetUp() override { platform = sim::installSimPlatform(); }
    void TearDown() override {
        ov_stop_system_audio();
        installPlatform(nullptr);
    }

    sim::SimAudioHardware& hardware() { return platform->hardware(); }
    sim::SimJournal& journal() { return platform->journal(); }

    // The hardware calls and queue creations in the journal, in order.
    std::vector<std::string> calls() {
        auto entries = journal().entries();
        std::erase_if(entries, [](const std::string& e) {
            return e.rfind("make", 0) == 0 || e.rfind("wrap", 0) == 0;
        });
        return entries;
    }
    void expectNothingLeft() {
        EXPECT_EQ(hardware().processTapCount(), 0u);
        EXPECT_EQ(hardware().aggregateDeviceCount(), 0u);
        EXPECT_EQ(hardware().ioProcCount(), 0u);
    }
    std::shared_ptr<sim::SimPlatform> platform;
    SystemAudioHost host;
};

}  // namespace ovra::test
