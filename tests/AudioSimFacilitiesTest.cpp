// The simulated audio facilities journal every call with its arguments and its outcome.
#include <gtest/gtest.h>

#include "platform/sim/SimAudioFacilities.h"

namespace ovra::sim {
namespace {

class SimFacilities : public testing::Test {
  protected:
    SimJournal journal;
    SimAudioFacilities facilities{journal};
    std::shared_ptr<const AudioFormat> delivery() {
        return facilities.makeFormat(deliveryStreamDescription());
    }
};

TEST_F(SimFacilities, JournalsEachCallWithItsArguments) {
    auto target = delivery();
    auto source = facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 44100, 1, false);
    auto converter = facilities.makeConverter(source, target);
    auto output = facilities.makeBuffer(target, 161);
    std::vector<float> samples(441);
    AudioBuffer buffer{1, 441 * 4, samples.data()};
    AudioBufferList list{1, &buffer};
    auto view = facilities.wrapNoCopy(source, &list, nullptr);
    ASSERT_TRUE(target && source && converter && output && view);
    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{
                  "makeFormat asbd={16000.0 'lpcm' 0xC 2/1/2/1/16} -> ok",
                  "makeFormat common=1 rate=44100.0 channels=1 interleaved=false -> ok",
                  "makeConverter from={44100.0 1ch float32 planar} to={16000.0 1ch int16 "
                  "interleaved} -> ok",
                  "makeBuffer format={16000.0 1ch int16 interleaved} capacity=161 -> ok",
                  "wrapNoCopy format={44100.0 1ch float32 planar} buffers=[1ch 1764B] reuse=no "
                  "-> ok"}));
}

}  // namespace
}  // namespace ovra::sim
