// Stopping system audio, delivery order, and a stop from inside the data callback.
#include <future>

#include "SystemAudioFixture.h"

namespace ovra::test {
namespace {

// The backend follows the default output and moves the running device: one line names the new
// device and the same stream goes on; after stop no listener is left.
TEST_F(SystemAudioTest, AMoveOfTheOutputDeviceIsLoggedOnceAndItsListenerGoesWithTheStop) {
    ASSERT_EQ(start(), 0);
    const AudioObjectID device = hardware().lastAggregateDevice();
    testing::internal::CaptureStderr();
    ASSERT_EQ(hardware().moveMainDevice(device, "headphones"), 1u);  // listeners told
    hardware().flush();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tap] Default output device changed: headphones\n");

    testing::internal::CaptureStderr();
    ov_stop_system_audio();
    EXPECT_EQ(hardware().propertyListenerCount(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tap] System audio capture stopped\n");
}

ChunkRecorder* exportNullUser = nullptr;
void recordNullUser(const uint8_t* data, int32_t bytes, void* user) {
    exportNullUser->record(data, bytes, user);
}

TEST_F(SystemAudioTest, ChunksComeOnTheSessionQueueOneAtATimeInCycleOrder) {
    // At 16 kHz mono nothing is resampled: a ramp played comes out as the same ramp, so a chunk
    // lost, repeated or out of order shows.
    hardware().setTapFormat(sim::SimAudioHardware::floatFormat(16000, 1));
    exportNullUser = &chunks;  // a null user pointer comes back null
    ov_start_system_audio(&recordNullUser, nullptr, &StatusRecorder::onStatus, &status);
    ASSERT_EQ(status.all(), std::vector<int32_t>{0});
    std::vector<float> cycle(160);
    for (int k = 0; k < 50; ++k) {
        for (int i = 0; i < 160; ++i) cycle[i] = float(k * 160 + i) / 32768;
        ASSERT_EQ(hardware().deliverCycle(hardware().lastAggregateDevice(), cycle), 1u);
    }
    hardware().flush();
    ASSERT_EQ(chunks.count(), 50u);
    for (size_t i = 0; i < chunks.all.size(); ++i) ASSERT_EQ(chunks.all[i], int16_t(i)) << i;
    for (size_t i = 0; i < chunks.threads.size(); ++i) {
        EXPECT_EQ(chunks.threads[i], chunks.threads[0]);
        EXPECT_EQ(chunks.users[i], nullptr);
        EXPECT_EQ(chunks.byteCounts[i], 320);
    }
    EXPECT_NE(chunks.threads[0], std::this_thread::get_id());
}

TEST_F(SystemAudioTest, FirstChunksMayArriveBeforeTheStatusCall) {
    // The paced device runs its first cycle as soon as it starts; the status call waits here
    // for that chunk, which can only come if delivery does not wait for the status.
    hardware().setPacing(sim::SimAudioHardware::Pacing{480, 1000.0, 0.5f});
    bool arrivedFirst = false;
    status.during = [&](int32_t code) {
        if (code == 0) arrivedFirst = chunks.waitFor(1);
    };
    EXPECT_EQ(start(), 0);
    ov_stop_system_audio();  // before `arrivedFirst` goes
    EXPECT_TRUE(arrivedFirst);
}

TEST_F(SystemAudioTest, StopFromInsideTheDataCallbackReturnsAndEndsDelivery) {
    hardware().setTapFormat(sim::SimAudioHardware::floatFormat(16000, 1));
    std::promise<std::string> stoppedInside;
    chunks.during = [&] {
        if (chunks.count() != 1) return;
        testing::internal::CaptureStderr();
        ov_stop_system_audio();
        stoppedInside.set_value(testing::internal::GetCapturedStderr());
    };
    ASSERT_EQ(start(), 0);
    const AudioObjectID device = hardware().lastAggregateDevice();
    hardware().deliverCycle(device, std::vector<float>(960, 0.1f));
    hardware().deliverCycle(device, std::vector<float>(960, 0.1f));  // queued behind: never run
    auto stopped = stoppedInside.get_future();
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), "[tap] System audio capture stopped\n");
    EXPECT_EQ(hardware().deliverCycle(device, std::vector<float>(960, 0.1f)), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(chunks.count(), 1u);
    expectNothingLeft();
    EXPECT_EQ(start(), 0);  // the library is usable again right away
}

}  // namespace
}  // namespace ovra::test
