// The microphone tests' fresh platform, host and lines, with system audio stopped afterwards.
#pragma once

#include "MicTestSupport.h"
#include "platform/sim/SimAudioHardware.h"

namespace ovra::test {

class SystemAudioTest : public SimTest {
  protected:
    void TearDown() override {
        ov_stop_system_audio();
        SimTest::TearDown();
    }

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
    SystemAudioHost host;
};

}  // namespace ovra::test
