#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"

namespace ovra {
namespace {

// Python ends the threads that call into it at interpreter exit with pthread_exit: the worker is
// unwound from inside the work, and a drain must not wait for it for good.
TEST(DispatchQueue, AWorkerEndedInsideItsWorkLetsDrainReturn) {
    auto q = std::make_shared<DispatchQueue>("com.test.ended", QualityOfService::userInitiated);
    q->async([] { pthread_exit(nullptr); });
    std::atomic<bool> laterRan{false};
    q->async([&] { laterRan = true; });
    auto drained = std::async(std::launch::async, [&] { q->drain(); });
    EXPECT_EQ(drained.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(laterRan.load());
}

// Work queued behind a running one: more than the ring holds at first, so the ring grows while
// it wraps; drain returns once all of it has run, in order, on one thread not the caller's.
TEST(DispatchQueue, RunsWorkInOrderOnOneThreadAndDrainWaitsForIt) {
    auto q = std::make_shared<DispatchQueue>("q", QualityOfService::defaultQoS);
    std::promise<void> entered, release;
    q->async([&, released = release.get_future().share()] {
        entered.set_value();
        released.wait();
    });
    entered.get_future().wait();
    std::vector<int> order;  // touched only by the queue's thread until drain
    std::set<std::thread::id> threads;
    for (int i = 0; i < 100; ++i)
        q->async([&, i] {
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
        });
    auto drained = std::async(std::launch::async, [&] {
        q->drain();
        return order.size();
    });
    EXPECT_EQ(drained.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(drained.get(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(DispatchQueue, DrainFromItsOwnThreadDoesNotWaitForItself) {
    auto q = std::make_shared<DispatchQueue>("q", QualityOfService::defaultQoS);
    std::promise<bool> done;
    q->async([&] {
        q->drain();
        done.set_value(q->isCurrent());
    });
    EXPECT_TRUE(done.get_future().get());
    EXPECT_FALSE(q->isCurrent());
}

TEST(DispatchQueue, LastReferenceDroppedByItsOwnWork) {
    std::promise<void> ran;
    {
        auto q = std::make_shared<DispatchQueue>("q", QualityOfService::defaultQoS);
        auto holder = std::make_shared<std::shared_ptr<DispatchQueue>>(q);
        q.reset();
        (*holder)->async([holder, &ran]() mutable {
            holder->reset();  // the queue may die here, on its own thread
            ran.set_value();
        });
        holder.reset();
    }
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(DispatchQueue, DestructionRunsWhatWasQueued) {
    std::atomic<int> count{0};
    {
        DispatchQueue q("q", QualityOfService::utility);
        for (int i = 0; i < 50; ++i) q.async([&] { ++count; });
    }
    EXPECT_EQ(count.load(), 50);
}

}  // namespace
}  // namespace ovra
