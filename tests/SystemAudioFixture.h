// A fresh simulated platform per system-audio test; host and lines are the microphone tests'.
#pragma once

#include "MicTestSupport.h"
#include "platform/sim/SimAudioHardware.h"

namespace ovra::test {

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
