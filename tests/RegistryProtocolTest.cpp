// The start and stop protocols with stand-in session kinds, so that each step can be observed:
// which locks are free while callbacks and stops run, and which calls wait for which.
#include <future>
#include <mutex>
#include <stdexcept>

#include "MicTestSupport.h"
#include "interface/Locks.h"
#include "interface/StartStop.h"

namespace ovra::test {
namespace {

bool lockFree(std::mutex& m) {
    return std::unique_lock(m, std::try_to_lock).owns_lock();
}

template <int Tag>
struct FakeSession {
    static inline std::atomic<int> stopped{0};
    static inline std::atomic<bool> lockFreeInStop{false};
    static inline std::function<void()> onStart, onStop;  // onStart throws to fail

    FakeSession(ov_data_callback, void*) {}
    void start() {
        if (onStart) onStart();
    }
    void stop() {
        lockFreeInStop = lockFree(globalLock());
        if (onStop) onStop();
        ++stopped;
    }
    void shutDelivery() {}
    bool deliveringOnThisThread() const { return false; }
};

template <int Tag>
struct FakeKind {
    using Session = FakeSession<Tag>;
    static inline std::shared_ptr<Session> session;
    static std::shared_ptr<Session>& slot() { return session; }
    static const char* alreadyRunningLine() { return "[fake] already running\n"; }
    static int32_t reportFailure(std::exception_ptr e) {
        logLine("[fake] Failed: " + genericErrorText(e) + "\n");
        return -3;
    }
    static void afterStop(bool had) { logLine(had ? "[fake] stopped\n" : "[fake] idle stop\n"); }
};

using KindA = FakeKind<1>;
using KindB = FakeKind<2>;
using SessionA = FakeSession<1>;

// Records the status, or -100 if a library lock is held while the status callback runs.
void probeStatus(int32_t code, void* codes) {
    const bool free = lockFree(globalLock()) && lockFree(errorLock());
    static_cast<std::vector<int32_t>*>(codes)->push_back(free ? code : -100);
}

void startA(std::vector<int32_t>* codes) {
    runStartProtocol<KindA>(ignoreData, nullptr, probeStatus, codes);
}

class RegistryProtocol : public testing::Test {
  protected:
    void TearDown() override {
        KindA::slot().reset();
        KindB::slot().reset();
        SessionA::onStart = SessionA::onStop = nullptr;
    }
};

TEST_F(RegistryProtocol, NoLockIsHeldWhileTheStatusCallbackRuns) {
    std::vector<int32_t> codes;
    linesOf([&] {
        startA(&codes);
        startA(&codes);
        KindA::slot().reset();
        SessionA::onStart = [] { throw std::runtime_error("x"); };
        startA(&codes);
    });
    EXPECT_EQ(codes, (std::vector<int32_t>{0, -1, -3}));
}

TEST_F(RegistryProtocol, StopTakesTheSessionOutAndStopsItOutsideTheLock) {
    std::vector<int32_t> codes;
    startA(&codes);
    const int stoppedBefore = SessionA::stopped;
    std::weak_ptr<SessionA> weak = KindA::slot();
    EXPECT_EQ(linesOf(runStopProtocol<KindA>), std::vector<std::string>{"[fake] stopped\n"});
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(SessionA::stopped, stoppedBefore + 1);
    EXPECT_TRUE(SessionA::lockFreeInStop.load());
}

// A second call, on another thread, while kind A's session is held inside its start or its stop.
TEST_F(RegistryProtocol, WhichCallsWaitForWhich) {
    const struct {
        const char* what;
        bool holdInStart;  // else in the session's stop
        void (*second)();
        bool waits;
    } rows[] = {
        {"a stop of the other kind during a start", true, runStopProtocol<KindB>, true},
        {"a second stop during a teardown", false, runStopProtocol<KindA>, true},
        {"a stop of the other kind during a teardown", false, runStopProtocol<KindB>, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<int32_t> codes;
        if (!row.holdInStart) startA(&codes);
        std::promise<void> held, release;
        auto released = release.get_future().share();
        (row.holdInStart ? SessionA::onStart : SessionA::onStop) = [&] {
            held.set_value();
            released.wait();
        };
        std::atomic<bool> returned{false};
        linesOf([&] {
            std::thread first([&] { row.holdInStart ? startA(&codes) : runStopProtocol<KindA>(); });
            held.get_future().wait();
            std::thread second([&] {
                row.second();
                returned = true;
            });
            if (row.waits) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                EXPECT_FALSE(returned.load());
            } else {
                second.join();  // a wait would hang here
            }
            release.set_value();
            first.join();
            if (second.joinable()) second.join();
        });
        EXPECT_TRUE(returned.load());
        EXPECT_EQ(codes, std::vector<int32_t>{0});
        TearDown();
    }
}

}  // namespace
}  // namespace ovra::test
