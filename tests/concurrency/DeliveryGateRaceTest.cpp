// Deliveries racing a close: once close() has returned, no delivery may run, from any thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "delivery/DeliveryGate.h"

namespace ovra {
namespace {

TEST(DeliveryGateRace, NothingRunsAfterCloseReturns) {
    for (int round = 0; round < 50; ++round) {
        DeliveryGate gate;
        std::atomic<bool> closed{false};
        std::atomic<int> lateDeliveries{0};
        std::atomic<bool> quit{false};
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

}  // namespace
}  // namespace ovra
