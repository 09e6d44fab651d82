// The simulated audio facilities journal every call with its arguments and fail on demand.
#include <gmock/gmock.h>
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

TEST_F(SimFacilities, RecordsWhatTheRealFacilitiesRefuse) {
    AudioStreamBasicDescription zeroChannels = deliveryStreamDescription();
    zeroChannels.mChannelsPerFrame = 0;
    EXPECT_FALSE(facilities.makeFormat(zeroChannels));
    EXPECT_FALSE(facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 0, 1, false));
    EXPECT_EQ(journal.entriesStartingWith("makeFormat"),
              (std::vector<std::string>{
                  "makeFormat asbd={16000.0 'lpcm' 0xC 2/1/2/0/16} -> nil",
                  "makeFormat common=1 rate=0.0 channels=1 interleaved=false -> nil"}));
}

TEST_F(SimFacilities, EachCallFailsOnDemand) {
    auto target = delivery();
    auto source = facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 2, true);
    std::vector<float> samples(2 * 480);
    AudioBuffer buffer{2, 480 * 8, samples.data()};
    AudioBufferList list{1, &buffer};

    journal.failNext("makeConverter");
    EXPECT_FALSE(facilities.makeConverter(source, target));
    EXPECT_TRUE(facilities.makeConverter(source, target));  // only the next one

    journal.failNext("makeBuffer", -1, 2);
    EXPECT_FALSE(facilities.makeBuffer(target, 161));
    EXPECT_FALSE(facilities.makeBuffer(target, 161));
    EXPECT_TRUE(facilities.makeBuffer(target, 161));

    journal.failNext("wrapNoCopy", -1, 1, 1);
    EXPECT_TRUE(facilities.wrapNoCopy(source, &list, nullptr));  // skipped
    EXPECT_FALSE(facilities.wrapNoCopy(source, &list, nullptr));

    const auto converters = journal.entriesStartingWith("makeConverter");
    ASSERT_EQ(converters.size(), 2u);
    EXPECT_THAT(converters[0], testing::EndsWith("-> nil"));
    EXPECT_THAT(converters[1], testing::EndsWith("-> ok"));
    EXPECT_THAT(journal.entriesStartingWith("wrapNoCopy").back(), testing::EndsWith("-> nil"));
}

TEST_F(SimFacilities, FormatFailuresTargetEitherOverloadOrOne) {
    journal.failNext("makeFormat");
    EXPECT_FALSE(facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 1, false));
    EXPECT_TRUE(delivery());

    journal.failNext("makeFormat(common)");
    EXPECT_TRUE(delivery());  // the stream-description overload is not the one arranged
    EXPECT_FALSE(facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 1, false));

    journal.failNext("makeFormat(asbd)");
    EXPECT_TRUE(facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 1, false));
    EXPECT_FALSE(delivery());
}

TEST_F(SimFacilities, WhatItMakesIsTheRealThing) {
    auto converter = facilities.makeConverter(
        facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, 16000, 1, true), delivery());
    ASSERT_TRUE(converter);
    auto input = facilities.makeBuffer(converter->inputFormat(), 4);
    input->floatChannelData()[0][0] = 0.5f;
    input->setFrameLength(1);
    auto output = facilities.makeBuffer(converter->outputFormat(), 4);
    struct Once final : AudioConverterInputBlock {
        const PCMBuffer* buffer;
        const PCMBuffer* operator()(uint32_t, AudioConverterInputStatus* status) override {
            *status =
                buffer ? AudioConverterInputStatus::haveData : AudioConverterInputStatus::noDataNow;
            return std::exchange(buffer, nullptr);
        }
    } once;
    once.buffer = input.get();
    converter->convert(*output, nullptr, once);
    ASSERT_EQ(output->frameLength(), 1u);
    EXPECT_EQ(output->int16ChannelData()[0][0], 16384);
}

}  // namespace
}  // namespace ovra::sim
