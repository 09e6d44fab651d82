#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "delivery/DeliveryGate.h"

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

// Two audio threads whose callbacks close each other's gate: neither close may wait there, or
// both would wait for good; each delivery returns only once the gate it closed has drained.
TEST(DeliveryGate, ClosesInsideDeliveriesWaitOnlyOnceTheCallbackHasReturned) {
    auto a = std::make_shared<DeliveryGate>(), b = std::make_shared<DeliveryGate>();
    std::promise<void> aEntered, bEntered;
    auto aIn = aEntered.get_future().share(), bIn = bEntered.get_future().share();
    std::atomic<bool> aClosed{false}, bClosed{false}, aDone{false}, bDone{false};
    std::atomic<bool> aReturnedBeforeBDone{false};
    std::thread threadA([&] {
        a->run([&] {
            aEntered.set_value();
            bIn.wait();
            b->close();
            aClosed = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            aDone = true;
        });
        aReturnedBeforeBDone = !bDone.load();
    });
    std::thread threadB([&] {
        b->run([&] {
            bEntered.set_value();
            aIn.wait();
            a->close();
            bClosed = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            bDone = true;
        });
    });
    threadA.join();
    threadB.join();
    EXPECT_TRUE(aClosed && bClosed);
    EXPECT_FALSE(aReturnedBeforeBDone.load());  // A's run waited for B's delivery to end
    EXPECT_FALSE(a->run([] {}));
    EXPECT_FALSE(b->run([] {}));
}

}  // namespace
}  // namespace ovra
