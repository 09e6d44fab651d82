// Formats accept every linear-PCM layout the captures meet and refuse what is really invalid;
// PCM buffers: owning ones with a capacity, and no-copy views over a device's buffer list.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/audio/AudioFacilities.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PCMBuffer.h"
#include "support/AllocationCounter.h"

namespace ovra {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr uint32_t kFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
using enum AudioCommonFormat;

TEST(AudioFormat, StreamDescriptionIsAcceptedUnlessReallyInvalid) {
    // Float stereo at 48 kHz, and each way away from it.
    const uint32_t lpcm = kAudioFormatLinearPCM;
    struct Row {
        const char* what;
        AudioStreamBasicDescription d;
        bool accepted;
    };
    const Row rows[] = {
        {"float stereo interleaved", {48000, lpcm, kFloat, 8, 1, 8, 2, 32, 0}, true},
        {"64 channels", {48000, lpcm, kFloat, 256, 1, 256, 64, 32, 0}, true},
        {"odd rate", {47999.25, lpcm, kFloat, 8, 1, 8, 2, 32, 0}, true},
        {"format id 'aac '", {48000, fourCC("aac "), kFloat, 8, 1, 8, 2, 32, 0}, false},
        {"0 channels", {48000, lpcm, kFloat, 8, 1, 8, 0, 32, 0}, false},
        {"rate 0", {0, lpcm, kFloat, 8, 1, 8, 2, 32, 0}, false},
        {"negative rate", {-48000, lpcm, kFloat, 8, 1, 8, 2, 32, 0}, false},
        {"NaN rate", {std::nan(""), lpcm, kFloat, 8, 1, 8, 2, 32, 0}, false},
        {"infinite rate", {inf, lpcm, kFloat, 8, 1, 8, 2, 32, 0}, false},
        {"float of 16 bits", {48000, lpcm, kFloat, 4, 1, 4, 2, 16, 0}, false},
        {"signed integer of 24 bits in 4 bytes",
         {48000, lpcm, kAudioFormatFlagIsSignedInteger, 8, 1, 8, 2, 24, 0},
         false},
        {"unsigned integer", {48000, lpcm, kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0}, false},
        {"bytes per frame not matching", {48000, lpcm, kFloat, 8, 1, 6, 2, 32, 0}, false},
        {"bytes per packet not matching", {48000, lpcm, kFloat, 16, 1, 8, 2, 32, 0}, false},
        {"0 frames per packet", {48000, lpcm, kFloat, 8, 0, 8, 2, 32, 0}, false},
        {"big-endian samples",
         {48000, lpcm, kFloat | kAudioFormatFlagIsBigEndian, 8, 1, 8, 2, 32, 0},
         false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(AudioFormat::fromStreamDescription(r.d) != nullptr, r.accepted) << r.what;
}

// Every sample type in either layout: its own description (byte counts included, which the
// stream-description path checks) makes the same format again.
TEST(AudioFormat, FromCommonFormatDescribesItselfConsistently) {
    for (auto common : {pcmFormatFloat32, pcmFormatFloat64, pcmFormatInt16, pcmFormatInt32}) {
        for (bool interleaved : {true, false}) {
            auto f = AudioFormat::fromCommonFormat(common, 44100, 3, interleaved);
            ASSERT_TRUE(f);
            auto again = AudioFormat::fromStreamDescription(f->streamDescription());
            ASSERT_TRUE(again);
            EXPECT_EQ(again->sampleRate(), 44100.0);
            EXPECT_EQ(again->commonFormat(), common);
            EXPECT_EQ(again->isInterleaved(), interleaved);
            EXPECT_EQ(again->channelCount(), 3u);
        }
    }
}

TEST(AudioFormat, FromCommonFormatRefusesWhatIsInvalid) {
    EXPECT_FALSE(AudioFormat::fromCommonFormat(otherFormat, 48000, 1, false));
    EXPECT_FALSE(AudioFormat::fromCommonFormat(AudioCommonFormat(99), 48000, 1, false));
    EXPECT_FALSE(AudioFormat::fromCommonFormat(pcmFormatFloat32, 48000, 0, false));
    EXPECT_FALSE(AudioFormat::fromCommonFormat(pcmFormatFloat32, 0, 1, false));
    EXPECT_FALSE(AudioFormat::fromCommonFormat(pcmFormatFloat32, -1, 1, false));
    EXPECT_FALSE(AudioFormat::fromCommonFormat(pcmFormatFloat32, std::nan(""), 1, false));
    EXPECT_FALSE(AudioFormat::fromCommonFormat(pcmFormatFloat32, inf, 1, false));
    // A frame of 2^32 / 4 float channels would not fit the description's 32-bit byte count.
    EXPECT_FALSE(AudioFormat::fromCommonFormat(pcmFormatFloat32, 48000, 1u << 30, true));
    EXPECT_TRUE(AudioFormat::fromCommonFormat(pcmFormatFloat32, 48000, 1u << 30, false));
}

std::shared_ptr<const AudioFormat> floatFormat(uint32_t channels, bool interleaved) {
    return AudioFormat::fromCommonFormat(pcmFormatFloat32, 48000, channels, interleaved);
}

TEST(PCMBuffer, WithCapacityStartsEmptyAndClampsItsLength) {
    auto buffer = PCMBuffer::withCapacity(floatFormat(2, true), 171);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameLength(), 0u);
    EXPECT_FALSE(buffer->isNoCopy());
    buffer->setFrameLength(1000);
    EXPECT_EQ(buffer->frameLength(), 171u);
    EXPECT_EQ(buffer->stride(), 2u);
    // The whole capacity is writable (the address sanitizer sees any write beyond it).
    float* samples = buffer->floatChannelData()[0];
    for (uint32_t i = 0; i < 171 * 2; ++i) samples[i] = float(i);
    EXPECT_EQ(buffer->int16ChannelData(), nullptr);  // channel data of another type is null

    auto planar = PCMBuffer::withCapacity(floatFormat(3, false), 64);
    ASSERT_TRUE(planar);
    float* const* channels = planar->floatChannelData();
    EXPECT_EQ(planar->stride(), 1u);
    EXPECT_EQ(channels[1] - channels[0], 64);
    EXPECT_EQ(channels[2] - channels[1], 64);
    EXPECT_EQ(planar->int32ChannelData(), nullptr);
}

TEST(PCMBuffer, RefusesACapacityThatDoesNotFitThirtyTwoBitByteCounts) {
    EXPECT_FALSE(PCMBuffer::withCapacity(nullptr, 10));
    // 2^24 frames of 64 interleaved float channels make 4 GiB in one buffer.
    EXPECT_FALSE(PCMBuffer::withCapacity(floatFormat(64, true), 1u << 24));
    EXPECT_FALSE(PCMBuffer::withCapacity(floatFormat(1, true), UINT32_MAX));
    auto empty = PCMBuffer::withCapacity(floatFormat(2, true), 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->frameCapacity(), 0u);
}

TEST(PCMBuffer, NoCopyViewOverAnInterleavedListOrOneBufferPerChannel) {
    std::vector<float> memory(2 * 512, 0.25f);
    AudioBuffer buffer{2, uint32_t(memory.size() * 4), memory.data()};
    AudioBufferList list{1, &buffer};
    auto view = PCMBuffer::noCopy(floatFormat(2, true), &list);
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isNoCopy());
    EXPECT_EQ(view->frameLength(), 512u);
    EXPECT_EQ(view->frameCapacity(), 512u);
    EXPECT_EQ(view->floatChannelData()[0], memory.data());  // the device's memory, not a copy

    std::vector<int32_t> left(256), right(256);
    AudioBuffer buffers[2] = {{1, 256 * 4, left.data()}, {1, 256 * 4, right.data()}};
    AudioBufferList perChannel{2, buffers};
    auto planar = PCMBuffer::noCopy(AudioFormat::fromCommonFormat(pcmFormatInt32, 48000, 2, false),
                                    &perChannel);
    ASSERT_TRUE(planar);
    EXPECT_EQ(planar->frameLength(), 256u);
    EXPECT_EQ(planar->int32ChannelData()[0], left.data());
    EXPECT_EQ(planar->int32ChannelData()[1], right.data());
}

TEST(PCMBuffer, NoCopyRefusesAListThatDoesNotFitTheFormat) {
    std::vector<float> a(64), b(64), c(32);
    auto planar = floatFormat(2, false);
    auto interleaved = floatFormat(2, true);
    auto refused = [](const std::shared_ptr<const AudioFormat>& f, std::vector<AudioBuffer> bs) {
        AudioBufferList list{uint32_t(bs.size()), bs.data()};
        return PCMBuffer::noCopy(f, &list) == nullptr;
    };
    EXPECT_TRUE(PCMBuffer::noCopy(planar, nullptr) == nullptr);
    EXPECT_TRUE(refused(planar, {{1, 256, a.data()}}));                      // one buffer short
    EXPECT_TRUE(refused(planar, {{1, 256, a.data()}, {1, 128, c.data()}}));  // unequal lengths
    EXPECT_TRUE(refused(planar, {{2, 256, a.data()}, {1, 256, b.data()}}));  // 2 channels in one
    EXPECT_TRUE(refused(interleaved, {{1, 256, a.data()}}));                 // 1 channel, not 2
    EXPECT_TRUE(refused(interleaved, {{2, 250, a.data()}}));                 // partial frame
    EXPECT_TRUE(refused(interleaved, {{2, 256, nullptr}}));                  // bytes but no memory
    auto* misaligned = reinterpret_cast<float*>(reinterpret_cast<char*>(a.data()) + 1);
    EXPECT_TRUE(refused(interleaved, {{2, 128, misaligned}}));
    EXPECT_FALSE(refused(interleaved, {{2, 0, nullptr}}));  // an empty cycle is still a cycle
}

// The view is re-pointed in place, without allocating, over each cycle's list that fits it.
TEST(PCMBuffer, AViewIsRewrappedWithoutAllocatingOnlyOverAListThatFitsItsOwnFormat) {
    std::vector<float> left(512), right(512), left2(256), right2(256);
    AudioBuffer first[2] = {{1, 512 * 4, left.data()}, {1, 512 * 4, right.data()}};
    AudioBuffer second[2] = {{1, 256 * 4, left2.data()}, {1, 256 * 4, right2.data()}};
    AudioBufferList a{2, first}, b{2, second};
    auto format = floatFormat(2, false);
    AudioFacilities facilities;
    auto view = facilities.wrapNoCopy(format, &a, nullptr);
    ASSERT_TRUE(view);
    {
        test::AllocationCounter counter;
        for (int k = 0; k < 100; ++k)
            EXPECT_EQ(facilities.wrapNoCopy(format, k % 2 ? &b : &a, view), view);
        EXPECT_EQ(counter.count(), 0);
    }
    EXPECT_EQ(view->frameLength(), 256u);
    EXPECT_EQ(view->floatChannelData()[0], left2.data());
    EXPECT_EQ(view->floatChannelData()[1], right2.data());
    // A list that does not fit leaves the view as it was.
    AudioBufferList one{1, first};
    EXPECT_FALSE(view->rewrap(&one));
    EXPECT_EQ(view->floatChannelData()[0], left2.data());
    // Another format object, or an owning buffer, is not reused: a fresh view is made.
    auto other = facilities.wrapNoCopy(floatFormat(2, false), &a, view);
    ASSERT_TRUE(other);
    EXPECT_NE(other, view);
    auto owning = PCMBuffer::withCapacity(format, 64);
    EXPECT_FALSE(owning->rewrap(&a));
    auto fresh = facilities.wrapNoCopy(format, &a, owning);
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(fresh->isNoCopy());
    EXPECT_NE(fresh, owning);
}

}  // namespace
}  // namespace ovra
