// Formats accept every linear-PCM layout the captures meet and refuse what is really invalid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/audio/AudioFormat.h"

namespace ovra {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr uint32_t kFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
constexpr uint32_t kInt = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;

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

// Every sample type in either layout: its own description makes the same format again, so the
// stream-description path accepts each of them too.
TEST(AudioFormat, FromCommonFormatDescribesItselfConsistently) {
    for (auto common : {AudioCommonFormat::pcmFormatFloat32, AudioCommonFormat::pcmFormatFloat64,
                        AudioCommonFormat::pcmFormatInt16, AudioCommonFormat::pcmFormatInt32}) {
        for (bool interleaved : {true, false}) {
            auto f = AudioFormat::fromCommonFormat(common, 44100, 3, interleaved);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->sampleRate(), 44100.0);
            EXPECT_EQ(f->channelCount(), 3u);
            EXPECT_EQ(f->commonFormat(), common);
            EXPECT_EQ(f->isInterleaved(), interleaved);
            const uint32_t frameBytes = f->bytesPerSample() * (interleaved ? 3 : 1);
            EXPECT_EQ(f->streamDescription().mBytesPerFrame, frameBytes);
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
