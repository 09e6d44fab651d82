#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "interface/DeliveryGate.h"

namespace ovra {
namespace {

TEST(DeliveryGate, ClosedGateRunsNothing) {
    DeliveryGate gate;
    int calls = 0;
    EXPECT_TRUE(gate.run([&] { ++calls; }));
    gate.close();
    EXPECT_FALSE(gate.isOpen());
    EXPECT_FALSE(gate.run([&] { ++calls; }));
    EXPECT_EQ(calls, 1);
    gate.open();
    EXPECT_TRUE(gate.run([&] { ++calls; }));
    EXPECT_EQ(calls, 2);
}

TEST(DeliveryGate, CloseWaitsForTheDeliveryInProgress) {
    DeliveryGate gate;
    std::promise<void> entered, release;
    auto releasedFuture = release.get_future();
    std::atomic<bool> deliveryDone{false};
    std::thread audio([&] {
        gate.run([&] {
            entered.set_value();
            releasedFuture.wait();
            deliveryDone = true;
        });
    });
    entered.get_future().wait();
    std::atomic<bool> closed{false};
    std::thread stopper([&] {
        gate.close();
        closed = true;
        EXPECT_TRUE(deliveryDone.load());  // close returned only after the delivery ended
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed.load());
    release.set_value();
    audio.join();
    stopper.join();
    EXPECT_TRUE(closed.load());
}

TEST(DeliveryGate, CloseFromInsideItsOwnDeliveryReturns) {
    DeliveryGate gate;
    std::atomic<bool> returned{false};
    std::thread audio([&] {
        gate.run([&] {
            gate.close();
            returned = true;
        });
    });
    audio.join();
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(gate.run([] {}));
}

TEST(DeliveryGate, CloseInsideAnotherGatesDeliveryStillWaitsForThisOne) {
    DeliveryGate outer, inner;
    std::promise<void> entered, release;
    auto releasedFuture = release.get_future();
    std::thread audio([&] {
        inner.run([&] {
            entered.set_value();
            releasedFuture.wait();
        });
    });
    entered.get_future().wait();
    std::atomic<bool> closed{false};
    std::thread other([&] {
        outer.run([&] {
            inner.close();  // this thread is inside `outer`, not `inner`: it must wait
            closed = true;
        });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed.load());
    release.set_value();
    audio.join();
    other.join();
    EXPECT_TRUE(closed.load());
}

}  // namespace
}  // namespace ovra
