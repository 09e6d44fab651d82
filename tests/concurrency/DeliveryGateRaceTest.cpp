// The delivery gate: once close() has returned no delivery runs, from any thread; a close from
// inside a delivery waits only once that delivery's callback has returned.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "delivery/DeliveryGate.h"

namespace ovra {
namespace {

TEST(DeliveryGate, ClosedGateRunsNothingUntilOpenedAgain) {
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
    std::atomic<bool> deliveryDone{false};
    std::thread audio([&, released = release.get_future()] {
        gate.run([&] {
            entered.set_value();
            released.wait();
            deliveryDone = true;
        });
    });
    entered.get_future().wait();
    auto closing = std::async(std::launch::async, [&] {
        gate.close();
        return deliveryDone.load();  // whether close returned only after the delivery ended
    });
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    audio.join();
    EXPECT_TRUE(closing.get());
}

TEST(DeliveryGateRace, NothingRunsAfterCloseReturns) {
    for (int round = 0; round < 50; ++round) {
        DeliveryGate gate;
        std::atomic<bool> closed{false}, quit{false};
        std::atomic<int> lateDeliveries{0};
        std::vector<std::thread> audio;
        for (int t = 0; t < 3; ++t)
            audio.emplace_back([&] {
                while (!quit.load())
                    gate.run([&] {
                        if (closed.load()) ++lateDeliveries;
                    });
            });
        std::this_thread::sleep_for(std::chrono::microseconds(200 + round * 20));
        gate.close();
        closed = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        quit = true;
        for (auto& t : audio) t.join();
        ASSERT_EQ(lateDeliveries.load(), 0) << "round " << round;
    }
}

// Two audio threads whose callbacks close each other's gate: neither close may wait there, or
// both would wait for good; each delivery returns only once the gate it closed has drained.
TEST(DeliveryGate, ClosesInsideDeliveriesWaitOnlyOnceTheCallbackHasReturned) {
    auto a = std::make_shared<DeliveryGate>(), b = std::make_shared<DeliveryGate>();
    std::promise<void> aEntered, bEntered;
    auto aIn = aEntered.get_future().share(), bIn = bEntered.get_future().share();
    std::atomic<bool> bDone{false}, aReturnedBeforeBDone{false};
    std::thread threadA([&] {
        a->run([&] {
            aEntered.set_value();
            bIn.wait();
            b->close();
        });
        aReturnedBeforeBDone = !bDone.load();
    });
    std::thread threadB([&] {
        b->run([&] {
            bEntered.set_value();
            aIn.wait();
            a->close();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            bDone = true;
        });
    });
    threadA.join();
    threadB.join();
    EXPECT_FALSE(aReturnedBeforeBDone.load());  // A's run waited for B's delivery to end
    EXPECT_FALSE(a->run([] {}));
    EXPECT_FALSE(b->run([] {}));
}

}  // namespace
}  // namespace ovra
