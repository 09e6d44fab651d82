// Host threads calling all seven functions at random, also from inside callbacks, on a private
// PulseAudio and Xvfb: every start answered once, on the calling thread; no data callback after a
// stop from outside a callback returned; no deadlock (a watchdog prints the stacks); no crash.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/AudioHost.h"
#include "support/Watchdog.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kRunTime = 12s;  // sanitized code runs several times slower
#else
constexpr auto kRunTime = 25s;
#endif

std::atomic<int> lateCallbacks{0}, unansweredOrTwice{0}, answeredElsewhere{0};

// One start call and what the library did with it.
struct Session {
    Capture kind;
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> answers{0}, chunks{0};
    std::atomic<int32_t> status{99};
    // Set once a stop that began after this start returned has itself returned.
    std::atomic<bool> stopped{false};
};
std::mutex sessionsMutex;
std::vector<std::unique_ptr<Session>> sessions;

thread_local std::mt19937 randomness{std::random_device{}()};
thread_local bool insideCallback = false;

void act();
void actInsideCallback() {
    const bool outer = std::exchange(insideCallback, true);
    act();
    insideCallback = outer;
}

void onData(const uint8_t*, int32_t bytes, void* user) {
    auto& s = *static_cast<Session*>(user);
    if (s.stopped) ++lateCallbacks;
    if (bytes <= 0 || bytes % 2) ++unansweredOrTwice;
    ++s.chunks;
    if (randomness() % 200 == 0) actInsideCallback();
}
void onStatus(int32_t status, void* user) {
    auto& s = *static_cast<Session*>(user);
    s.status = status;
    if (s.caller != std::this_thread::get_id()) ++answeredElsewhere;
    ++s.answers;
    if (randomness() % 20 == 0) actInsideCallback();
}

void stop(Capture kind) {
    const auto& lib = Library::get();
    const auto stopFn = kind == Capture::mic ? lib.stopMic : lib.stopSystemAudio;
    if (insideCallback) return stopFn();  // the callback rule: no guarantee until it returns
    std::vector<Session*> mustEnd;        // what was answered before the stop began
    {
        std::lock_guard lock(sessionsMutex);
        for (auto& s : sessions)
            if (s->kind == kind && s->answers > 0) mustEnd.push_back(s.get());
    }
    stopFn();
    for (Session* s : mustEnd) s->stopped = true;
}

// One call at random, weighted so that sessions live long enough to deliver: starts 30%, stops 6%,
// the rest 64%.
void act() {
    thread_local std::discrete_distribution<int> choice{15, 15, 3, 3, 20, 14, 30};
    const auto& lib = Library::get();
    uint8_t* buf = nullptr;
    int32_t len = 0;
    switch (const int c = choice(randomness)) {
        case 0:
        case 1: {
            std::unique_lock lock(sessionsMutex);
            Session& s = *sessions.emplace_back(
                std::make_unique<Session>(c == 0 ? Capture::systemAudio : Capture::mic));
            lock.unlock();
            (s.kind == Capture::mic ? lib.startMic : lib.startSystemAudio)(onData, &s, onStatus,
                                                                           &s);
            if (s.answers != 1) ++unansweredOrTwice;
            break;
        }
        case 2:
            return stop(Capture::systemAudio);
        case 3:
            return stop(Capture::mic);
        case 4:
            lib.getLastMicError(&buf, &len);
            lib.freeBuffer(buf);
            break;
        case 5:
            if (insideCallback && randomness() % 4) break;  // keep the audio threads mostly quick
            if (lib.captureScreen(&buf, &len) == 0) lib.freeBuffer(buf);
            break;
        default:
            lib.freeBuffer(nullptr);
    }
}

class Stress : public WithHostAudio {};

TEST_F(Stress, RandomCallsFromManyThreadsKeepEveryPromise) {
    ovra::test::Watchdog watchdog(kRunTime + 60s, "stress test");
    // Standard error is left alone: a sanitizer's report or the watchdog's stacks must be seen.
    {
        std::vector<std::thread> threads;
        const auto end = std::chrono::steady_clock::now() + kRunTime;
        for (int t = 0; t < 6; ++t)
            threads.emplace_back([end] {
                while (std::chrono::steady_clock::now() < end) {
                    act();
                    std::this_thread::sleep_for(std::chrono::microseconds(randomness() % 30000));
                }
            });
        for (auto& t : threads) t.join();
        stop(Capture::systemAudio);
        stop(Capture::mic);
        std::this_thread::sleep_for(200ms);  // any late callback would come now
    }
    int started = 0, delivered = 0;
    for (const auto& s : sessions) {
        if (s->answers != 1) ++unansweredOrTwice;
        EXPECT_TRUE(s->stopped || s->status != 0) << "a started session outlived the final stops";
        started += s->status == 0;
        delivered += s->chunks > 0;
    }
    std::printf("%d sessions started, %d delivered\n", started, delivered);
    EXPECT_EQ(lateCallbacks, 0);
    EXPECT_EQ(unansweredOrTwice, 0);
    EXPECT_EQ(answeredElsewhere, 0);
    EXPECT_GT(started, 10);
    EXPECT_GT(delivered, 0);  // sessions did live long enough to deliver
}

}  // namespace
