// The start and stop protocols, exercised with stand-in session kinds so that each step can be
// observed: which line is written, which status is sent, what the slot holds, and which locks
// are free while the host's callbacks run.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

#include "OvraHelper.h"
#include "interface/Locks.h"
#include "interface/StartStop.h"

namespace ovra {
namespace {

struct Counters {
    std::atomic<int> constructed{0}, started{0}, stopped{0}, destroyed{0};
};

template <int Tag>
struct FakeSession {
    static inline Counters counters;
    static inline std::function<void(FakeSession&)> onStart;  // throw to fail

    FakeSession(ov_data_callback cb, void* user) : callback(cb), userData(user) {
        ++counters.constructed;
    }
    ~FakeSession() { ++counters.destroyed; }
    void start() {
        if (onStart) onStart(*this);
        ++counters.started;
    }
    void stop() {
        lockFreeInStop = globalLock().try_lock();
        if (lockFreeInStop) globalLock().unlock();
        if (onStop) onStop();
        ++counters.stopped;
    }
    void shutDelivery() {}
    bool deliveringOnThisThread() const { return false; }
    static inline std::atomic<bool> lockFreeInStop{false};
    static inline std::function<void()> onStop;

    ov_data_callback callback;
    void* userData;
};

struct KindError {
    std::string text;
};

template <int Tag>
struct FakeKind {
    using Session = FakeSession<Tag>;
    static std::shared_ptr<Session>& slot() {
        static std::shared_ptr<Session> s;
        return s;
    }
    static const char* alreadyRunningLine() { return "[fake] already running\n"; }
    static int32_t reportFailure(std::exception_ptr e) {
        std::string text;
        try {
            std::rethrow_exception(e);
        } catch (const KindError& k) {
            text = k.text;
        } catch (...) {
            text = "(unexpected) " + genericErrorText(std::current_exception());
        }
        logLine("[fake] Failed: " + text + "\n");
        return -3;
    }
    static void afterStop(bool had) { logLine(had ? "[fake] stopped\n" : "[fake] idle stop\n"); }
};

using KindA = FakeKind<1>;
using KindB = FakeKind<2>;

struct StatusRecorder {
    std::vector<int32_t> codes;
    std::vector<void*> users;
    static void record(int32_t code, void* self) {
        auto* r = static_cast<StatusRecorder*>(self);
        r->codes.push_back(code);
        r->users.push_back(self);
    }
};

void noData(const uint8_t*, int32_t, void*) {}
void otherData(const uint8_t*, int32_t, void*) {}

class RegistryProtocol : public testing::Test {
  protected:
    void TearDown() override {
        KindA::slot().reset();
        KindB::slot().reset();
        FakeSession<1>::onStart = nullptr;
        FakeSession<2>::onStart = nullptr;
    }
};

TEST_F(RegistryProtocol, SuccessfulStartRegistersThenReportsZero) {
    StatusRecorder status;
    int dataUser = 0;
    testing::internal::CaptureStderr();
    runStartProtocol<KindA>(noData, &dataUser, StatusRecorder::record, &status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(status.codes, std::vector<int32_t>{0});
    EXPECT_EQ(status.users[0], &status);
    ASSERT_TRUE(KindA::slot());
    EXPECT_EQ(KindA::slot()->callback, &noData);
    EXPECT_EQ(KindA::slot()->userData, &dataUser);
}

TEST_F(RegistryProtocol, SecondStartGetsMinusOneAndTheFirstSessionKeepsItsCallbacks) {
    StatusRecorder first, second;
    int user1 = 1, user2 = 2;
    runStartProtocol<KindA>(noData, &user1, StatusRecorder::record, &first);
    const int constructedBefore = FakeSession<1>::counters.constructed;
    testing::internal::CaptureStderr();
    runStartProtocol<KindA>(otherData, &user2, StatusRecorder::record, &second);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[fake] already running\n");
    EXPECT_EQ(second.codes, std::vector<int32_t>{-1});
    EXPECT_EQ(FakeSession<1>::counters.constructed, constructedBefore);  // nothing was created
    EXPECT_EQ(KindA::slot()->callback, &noData);
    EXPECT_EQ(KindA::slot()->userData, &user1);
}

TEST_F(RegistryProtocol, FailedStartWritesLineReportsCodeAndDropsSessionWithoutStop) {
    FakeSession<1>::onStart = [](auto&) { throw KindError{"no device"}; };
    const int stoppedBefore = FakeSession<1>::counters.stopped;
    const int destroyedBefore = FakeSession<1>::counters.destroyed;
    StatusRecorder status;
    testing::internal::CaptureStderr();
    runStartProtocol<KindA>(noData, nullptr, StatusRecorder::record, &status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[fake] Failed: no device\n");
    EXPECT_EQ(status.codes, std::vector<int32_t>{-3});
    EXPECT_FALSE(KindA::slot());
    EXPECT_EQ(FakeSession<1>::counters.stopped, stoppedBefore);
    EXPECT_EQ(FakeSession<1>::counters.destroyed, destroyedBefore + 1);

    // A later start begins from nothing and succeeds.
    FakeSession<1>::onStart = nullptr;
    runStartProtocol<KindA>(noData, nullptr, StatusRecorder::record, &status);
    EXPECT_EQ(status.codes.back(), 0);
    EXPECT_TRUE(KindA::slot());
}

TEST_F(RegistryProtocol, AnErrorOfAnotherKindIsRenderedGenerically) {
    FakeSession<1>::onStart = [](auto&) { throw std::runtime_error("socket closed"); };
    StatusRecorder status;
    testing::internal::CaptureStderr();
    runStartProtocol<KindA>(noData, nullptr, StatusRecorder::record, &status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[fake] Failed: (unexpected) socket closed\n");
    EXPECT_EQ(status.codes, std::vector<int32_t>{-3});
}

TEST_F(RegistryProtocol, NoLockIsHeldWhileTheStatusCallbackRuns) {
    struct Probe {
        bool globalFree = false, errorFree = false;
        static void check(int32_t, void* self) {
            auto* p = static_cast<Probe*>(self);
            p->globalFree = globalLock().try_lock();
            if (p->globalFree) globalLock().unlock();
            p->errorFree = errorLock().try_lock();
            if (p->errorFree) errorLock().unlock();
        }
    };
    for (bool fail : {false, true}) {
        KindA::slot().reset();
        FakeSession<1>::onStart = [fail](auto&) {
            if (fail) throw KindError{"x"};
        };
        Probe onSuccessOrFailure, onAlreadyRunning;
        testing::internal::CaptureStderr();
        runStartProtocol<KindA>(noData, nullptr, Probe::check, &onSuccessOrFailure);
        runStartProtocol<KindA>(noData, nullptr, Probe::check, &onAlreadyRunning);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(onSuccessOrFailure.globalFree) << "fail=" << fail;
        EXPECT_TRUE(onSuccessOrFailure.errorFree) << "fail=" << fail;
        if (!fail) {
            EXPECT_TRUE(onAlreadyRunning.globalFree);
        }
    }
}

TEST_F(RegistryProtocol, StartFromInsideAStatusCallbackWorks) {
    struct Nested {
        StatusRecorder inner;
        int32_t outer = 99;
        static void onOuter(int32_t code, void* self) {
            auto* n = static_cast<Nested*>(self);
            n->outer = code;
            runStartProtocol<KindB>(noData, nullptr, StatusRecorder::record, &n->inner);
        }
    } nested;
    runStartProtocol<KindA>(noData, nullptr, Nested::onOuter, &nested);
    EXPECT_EQ(nested.outer, 0);
    EXPECT_EQ(nested.inner.codes, std::vector<int32_t>{0});
    EXPECT_TRUE(KindA::slot());
    EXPECT_TRUE(KindB::slot());
}

TEST_F(RegistryProtocol, StartBlockedInsideStartMakesAStopOfTheOtherKindWait) {
    std::promise<void> inStart, release;
    auto released = release.get_future().share();
    FakeSession<1>::onStart = [&](auto&) {
        inStart.set_value();
        released.wait();
    };
    StatusRecorder status;
    std::thread starter(
        [&] { runStartProtocol<KindA>(noData, nullptr, StatusRecorder::record, &status); });
    inStart.get_future().wait();
    std::atomic<bool> stopReturned{false};
    testing::internal::CaptureStderr();
    std::thread stopper([&] {
        runStopProtocol<KindB>();
        stopReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopReturned.load());  // still waiting for globalLock
    release.set_value();
    starter.join();
    stopper.join();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(stopReturned.load());
    EXPECT_EQ(status.codes, std::vector<int32_t>{0});
}

TEST_F(RegistryProtocol, StopTakesTheSessionOutAndStopsItOutsideTheLock) {
    runStartProtocol<KindA>(
        noData, nullptr, [](int32_t, void*) {}, nullptr);
    const int stoppedBefore = FakeSession<1>::counters.stopped;
    const int destroyedBefore = FakeSession<1>::counters.destroyed;
    std::weak_ptr<FakeSession<1>> weak = KindA::slot();
    testing::internal::CaptureStderr();
    runStopProtocol<KindA>();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[fake] stopped\n");
    EXPECT_FALSE(KindA::slot());
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(FakeSession<1>::counters.stopped, stoppedBefore + 1);
    EXPECT_EQ(FakeSession<1>::counters.destroyed, destroyedBefore + 1);
    EXPECT_TRUE(FakeSession<1>::lockFreeInStop.load());

    // A stop with nothing registered only runs the kind's logging.
    testing::internal::CaptureStderr();
    runStopProtocol<KindA>();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[fake] idle stop\n");
    EXPECT_EQ(FakeSession<1>::counters.stopped, stoppedBefore + 1);
}

TEST_F(RegistryProtocol, ASecondStopReturnsOnlyOnceTheFirstHasTornTheSessionDown) {
    runStartProtocol<KindA>(
        noData, nullptr, [](int32_t, void*) {}, nullptr);
    std::promise<void> inStop, release;
    auto released = release.get_future().share();
    FakeSession<1>::onStop = [&] {
        inStop.set_value();
        released.wait();
    };
    testing::internal::CaptureStderr();
    std::thread first([] { runStopProtocol<KindA>(); });
    inStop.get_future().wait();
    std::atomic<bool> secondReturned{false}, otherKindReturned{false};
    std::thread second([&] {
        runStopProtocol<KindA>();
        secondReturned = true;
    });
    std::thread otherKind([&] {
        runStopProtocol<KindB>();  // nothing of its kind is being torn down
        otherKindReturned = true;
    });
    otherKind.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(secondReturned.load());
    release.set_value();
    first.join();
    second.join();
    testing::internal::GetCapturedStderr();
    FakeSession<1>::onStop = nullptr;
    EXPECT_TRUE(secondReturned.load());
    EXPECT_TRUE(otherKindReturned.load());
}

TEST_F(RegistryProtocol, StopThenStartConstructsANewSession) {
    runStartProtocol<KindA>(
        noData, nullptr, [](int32_t, void*) {}, nullptr);
    testing::internal::CaptureStderr();
    runStopProtocol<KindA>();
    testing::internal::GetCapturedStderr();
    const int constructedBefore = FakeSession<1>::counters.constructed;
    runStartProtocol<KindA>(
        noData, nullptr, [](int32_t, void*) {}, nullptr);
    EXPECT_EQ(FakeSession<1>::counters.constructed, constructedBefore + 1);
    ASSERT_TRUE(KindA::slot());
}

}  // namespace
}  // namespace ovra
