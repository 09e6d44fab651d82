// Formats accept every linear-PCM layout the captures meet and refuse what is really invalid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/audio/AudioFormat.h"

namespace ovra {
namespace {

AudioStreamBasicDescription floatStereo() {
    AudioStreamBasicDescription d{};
    d.mSampleRate = 48000;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = 8;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = 8;
    d.mChannelsPerFrame = 2;
    d.mBitsPerChannel = 32;
    return d;
}

struct Row {
    const char* what;
    void (*change)(AudioStreamBasicDescription&);
    bool accepted;
};

class StreamDescription : public testing::TestWithParam<Row> {};

TEST_P(StreamDescription, IsAcceptedOrRefused) {
    AudioStreamBasicDescription d = floatStereo();
    GetParam().change(d);
    EXPECT_EQ(AudioFormat::fromStreamDescription(d) != nullptr, GetParam().accepted)
        << GetParam().what;
}

constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, StreamDescription,
    testing::Values(
        Row{"float stereo interleaved", [](auto&) {}, true},
        Row{"float stereo planar",
            [](auto& d) {
                d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
                d.mBytesPerFrame = d.mBytesPerPacket = 4;
            },
            true},
        Row{"int16 mono",
            [](auto& d) {
                d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
                d.mChannelsPerFrame = 1;
                d.mBitsPerChannel = 16;
                d.mBytesPerFrame = d.mBytesPerPacket = 2;
            },
            true},
        Row{"int32 stereo",
            [](auto& d) {
                d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            },
            true},
        Row{"float64 stereo",
            [](auto& d) {
                d.mBitsPerChannel = 64;
                d.mBytesPerFrame = d.mBytesPerPacket = 16;
            },
            true},
        Row{"64 channels",
            [](auto& d) {
                d.mChannelsPerFrame = 64;
                d.mBytesPerFrame = d.mBytesPerPacket = 256;
            },
            true},
        Row{"odd rate", [](auto& d) { d.mSampleRate = 47999.25; }, true},
        Row{"format id 'aac '", [](auto& d) { d.mFormatID = fourCC("aac "); }, false},
        Row{"0 channels", [](auto& d) { d.mChannelsPerFrame = 0; }, false},
        Row{"rate 0", [](auto& d) { d.mSampleRate = 0; }, false},
        Row{"negative rate", [](auto& d) { d.mSampleRate = -48000; }, false},
        Row{"NaN rate", [](auto& d) { d.mSampleRate = std::nan(""); }, false},
        Row{"infinite rate", [](auto& d) { d.mSampleRate = inf; }, false},
        Row{"float of 16 bits",
            [](auto& d) {
                d.mBitsPerChannel = 16;
                d.mBytesPerFrame = d.mBytesPerPacket = 4;
            },
            false},
        Row{"signed integer of 24 bits in 4 bytes",
            [](auto& d) {
                d.mFormatFlags = kAudioFormatFlagIsSignedInteger;
                d.mBitsPerChannel = 24;
            },
            false},
        Row{"unsigned integer", [](auto& d) { d.mFormatFlags = kAudioFormatFlagIsPacked; }, false},
        Row{"bytes per frame not matching", [](auto& d) { d.mBytesPerFrame = 6; }, false},
        Row{"bytes per packet not matching", [](auto& d) { d.mBytesPerPacket = 16; }, false},
        Row{"0 frames per packet", [](auto& d) { d.mFramesPerPacket = 0; }, false},
        Row{"big-endian samples", [](auto& d) { d.mFormatFlags |= kAudioFormatFlagIsBigEndian; },
            false}));

TEST(AudioFormat, KeepsWhatItWasMadeFrom) {
    auto f = AudioFormat::fromStreamDescription(floatStereo());
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleRate(), 48000.0);
    EXPECT_EQ(f->channelCount(), 2u);
    EXPECT_EQ(f->commonFormat(), AudioCommonFormat::pcmFormatFloat32);
    EXPECT_TRUE(f->isInterleaved());
    EXPECT_EQ(f->bytesPerSample(), 4u);
    EXPECT_EQ(f->streamDescription().mBytesPerFrame, 8u);
}

TEST(AudioFormat, DeliveryFormatIsSixteenKilohertzMonoSigned16) {
    const AudioStreamBasicDescription d = deliveryStreamDescription();
    EXPECT_EQ(d.mSampleRate, 16000.0);
    EXPECT_EQ(d.mFormatID, fourCC("lpcm"));
    EXPECT_EQ(d.mFormatFlags, 0x0Cu);
    EXPECT_EQ(d.mBytesPerPacket, 2u);
    EXPECT_EQ(d.mFramesPerPacket, 1u);
    EXPECT_EQ(d.mBytesPerFrame, 2u);
    EXPECT_EQ(d.mChannelsPerFrame, 1u);
    EXPECT_EQ(d.mBitsPerChannel, 16u);
    EXPECT_EQ(d.mReserved, 0u);
    auto f = AudioFormat::fromStreamDescription(d);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->commonFormat(), AudioCommonFormat::pcmFormatInt16);
    EXPECT_EQ(f->channelCount(), 1u);
}

TEST(AudioFormat, FromCommonFormatDescribesItselfConsistently) {
    for (auto common : {AudioCommonFormat::pcmFormatFloat32, AudioCommonFormat::pcmFormatFloat64,
                        AudioCommonFormat::pcmFormatInt16, AudioCommonFormat::pcmFormatInt32}) {
        for (bool interleaved : {true, false}) {
            auto f = AudioFormat::fromCommonFormat(common, 44100, 3, interleaved);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->commonFormat(), common);
            EXPECT_EQ(f->isInterleaved(), interleaved);
            // Its own description makes the same format again.
            auto again = AudioFormat::fromStreamDescription(f->streamDescription());
            ASSERT_TRUE(again);
            EXPECT_EQ(again->commonFormat(), common);
            EXPECT_EQ(again->isInterleaved(), interleaved);
            EXPECT_EQ(again->channelCount(), 3u);
        }
    }
}

TEST(AudioFormat, FromCommonFormatRefusesWhatIsInvalid) {
    using enum AudioCommonFormat;
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

}  // namespace
}  // namespace ovra
