// The platform's audio facilities: formats, PCM buffers and the resampling converter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "AudioTestSupport.h"
#include "platform/audio/AudioFacilities.h"
#include "platform/audio/ResamplingConverter.h"
#include "support/AllocationCounter.h"

namespace ovra::test {
namespace {

using enum AudioCommonFormat;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr uint32_t kFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

TEST(AudioFormat, StreamDescriptionIsAcceptedUnlessReallyInvalid) {
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
        AllocationCounter counter;
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
}

std::shared_ptr<AudioConverter> converterFrom(AudioCommonFormat common, double rate,
                                              uint32_t channels, bool interleaved) {
    return makeResamplingConverter(
        AudioFormat::fromCommonFormat(common, rate, channels, interleaved), deliveryFormat());
}

struct Case {
    AudioCommonFormat common;
    double rate;
    uint32_t channels;
    bool interleaved;
    uint32_t chunkFrames;
    int loud = -1;  // the one channel that plays; -1: every channel
};

class ConverterTone : public testing::TestWithParam<Case> {};

// The mix is the mean of the channels, so one channel played alone is still heard, at 1 / channels
// of its level.
TEST_P(ConverterTone, KeepsFrequencyAndLevel) {
    const Case c = GetParam();
    auto converter = converterFrom(c.common, c.rate, c.channels, c.interleaved);
    ASSERT_TRUE(converter);
    std::vector<Tone> tones(c.channels, Tone{c.loud < 0 ? 0.5 : 0.0, 1000});
    if (c.loud >= 0) tones[size_t(c.loud)].amplitude = 0.5;
    const double level = c.loud < 0 ? 0.5 : 0.5 / c.channels;
    const int chunks = int(std::ceil(c.rate * 1.5 / c.chunkFrames));
    auto out = convertTones(*converter, tones, c.chunkFrames, chunks, true);
    const double expected = 16000.0 / c.rate * c.chunkFrames * chunks;
    // Once the input has ended, every frame is out: nothing lost, nothing repeated.
    EXPECT_NEAR(double(out.size()), expected, 1.0);
    const std::vector<int16_t> x(out.begin() + 1600, out.end());  // past the filter's start-up
    EXPECT_NEAR(toneAmplitude(x, 1000), level, level * 0.01);
    EXPECT_LT(toneAmplitude(x, 3000), 1e-4);
    EXPECT_LT(toneAmplitude(x, 500), 1e-4);
}

constexpr auto f32 = pcmFormatFloat32, f64 = pcmFormatFloat64, i16 = pcmFormatInt16,
               i32 = pcmFormatInt32;
const Case kSources[] = {{f32, 48000, 2, true, 480},     {f32, 44100, 1, false, 441},
                         {f32, 48000, 2, true, 4096},    {f32, 44100, 1, true, 512},
                         {i16, 48000, 2, true, 512},     {i32, 96000, 2, false, 1024},
                         {f32, 16000, 1, true, 160},     {f64, 22050, 3, false, 300},
                         {f32, 48000, 64, true, 480},    {i16, 8000, 64, false, 80},
                         {f32, 11025, 1, true, 110},     {f32, 32000, 1, true, 320},
                         {f32, 88200, 1, true, 882},     {f32, 192000, 1, true, 1920},
                         {f32, 47999.5, 1, true, 479},   {f32, 1.0e6, 1, true, 10000},
                         {f32, 48000, 2, true, 480, 0},  {f32, 48000, 2, true, 480, 1},
                         {f32, 48000, 2, false, 480, 0}, {f32, 48000, 2, false, 480, 1},
                         {i32, 48000, 64, false, 480, 5}};
INSTANTIATE_TEST_SUITE_P(Sources, ConverterTone, testing::ValuesIn(kSources));

TEST(ConverterAllocation, SteadyStateConversionAllocatesNothing) {
    {  // The counter sees allocations, by new and (where counted) by malloc.
        AllocationCounter counter;
        auto made = std::make_unique<int>(1);
        EXPECT_EQ(counter.count(), 1);
        if (AllocationCounter::countsMalloc()) {
            void* volatile block = std::malloc(64);
            std::free(block);
            EXPECT_EQ(counter.count(), 2);
        }
    }
    // At the sessions' capacity (ratio x frames + 1), what the converter holds back must not creep
    // up over a long run either. From 8 kHz it still grows its buffers in the first seconds.
    const Case steady[] = {{f32, 48000, 2, true, 480},   {f32, 44100, 1, false, 441},
                           {f32, 48000, 2, true, 4096},  {f32, 44100, 1, false, 4096},
                           {f32, 96000, 8, false, 1024}, {f32, 16000, 1, true, 160},
                           {f32, 8000, 2, true, 80}};
    for (const Case& c : steady) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.chunkFrames << " frames");
        auto converter = converterFrom(c.common, c.rate, c.channels, c.interleaved);
        const double ratio = 16000 / c.rate;
        std::optional<AllocationCounter> counter;
        double worstBacklog = 0;
        convertTones(*converter, {{0.5, 440}}, c.chunkFrames, 3000, false, 0,
                     [&](int k, size_t produced) {
                         if (k == 49) counter.emplace();  // the start-up may size its buffers
                         const double backlog = ratio * c.chunkFrames * (k + 1) - double(produced);
                         if (k > 1000) worstBacklog = std::max(worstBacklog, backlog);
                     });
        ASSERT_TRUE(counter);
        EXPECT_TRUE(counter->count() == 0 || c.rate == 8000) << counter->count();
        EXPECT_LT(worstBacklog, 16000 * 0.05);  // a few blocks of the filter at most
    }
}

// Feeds `samples` (mono float at 16 kHz, so nothing is resampled) and returns the output.
std::vector<int16_t> passThrough(const std::vector<float>& samples) {
    auto converter = converterFrom(pcmFormatFloat32, 16000, 1, true);
    auto input = PCMBuffer::withCapacity(converter->inputFormat(), uint32_t(samples.size()));
    std::copy(samples.begin(), samples.end(), input->floatChannelData()[0]);
    input->setFrameLength(uint32_t(samples.size()));
    auto output = PCMBuffer::withCapacity(deliveryFormat(), uint32_t(samples.size()));
    OneShotInput once(*input);
    converter->convert(*output, nullptr, once);
    const int16_t* s = output->int16ChannelData()[0];
    return {s, s + output->frameLength()};
}

TEST(ConverterQuantize, RoundsToNearestAndClipsInsteadOfWrapping) {
    const float lsb = 1.0f / 32768;
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {
        0.4f * lsb, 0.6f * lsb, -0.6f * lsb, 100.3f * lsb, -100.7f * lsb, 0.5f,
        1.0f,       1.5f,       40.0f,       inf,          -1.0f,         -1.5f,
        -40.0f,     -inf,       0.99999f,    std::nanf("")};  // NaN is silence
    const std::vector<int16_t> expected = {0,      1,      -1,    100,   -101,   16384,
                                           32767,  32767,  32767, 32767, -32768, -32768,
                                           -32768, -32768, 32767, 0};
    EXPECT_EQ(passThrough(in), expected);

    // Long runs take the block path: ties go to even, everything else to the nearest step, over
    // the whole range and beyond, and the values above as on the short path.
    std::vector<float> sweep(in);
    for (int v = -33000; v <= 33000; v += 7)
        for (float frac : {0.0f, 0.25f, 0.5f, 0.75f}) sweep.push_back((float(v) + frac) / 32768.0f);
    const auto out = passThrough(sweep);
    ASSERT_EQ(out.size(), sweep.size());
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], expected[i]) << in[i];
    for (size_t i = in.size(); i < sweep.size(); ++i) {
        const double exact = std::nearbyint(double(sweep[i]) * 32768.0);
        ASSERT_EQ(out[i], int16_t(std::clamp(exact, -32768.0, 32767.0))) << exact;
    }
}

TEST(ConverterCapacity, OutputThatDoesNotFitComesOutLaterInOrder) {
    auto convert = [](uint32_t capacity) {
        auto converter = converterFrom(pcmFormatFloat32, 48000, 2, true);
        return convertTones(*converter, {{0.5, 1000}, {0.25, 3000}}, 480, 200, true, capacity);
    };
    const auto roomy = convert(4000);
    for (uint32_t capacity : {1u, 37u, 160u, 161u})
        EXPECT_EQ(convert(capacity), roomy) << "capacity " << capacity;
}

TEST(ConverterInput, AnEmptyChunkIsDryAndABufferOfAnotherLayoutIsAnError) {
    auto converter = converterFrom(pcmFormatFloat32, 48000, 2, true);
    auto empty = PCMBuffer::withCapacity(converter->inputFormat(), 16);
    auto output = PCMBuffer::withCapacity(deliveryFormat(), 161);
    OneShotInput none(*empty);
    EXPECT_EQ(converter->convert(*output, nullptr, none), AudioConverterOutputStatus::inputRanDry);
    EXPECT_EQ(output->frameLength(), 0u);

    auto planar = PCMBuffer::withCapacity(floatFormat(2, false), 480);
    planar->setFrameLength(480);
    OneShotInput once(*planar);
    std::string error;
    EXPECT_EQ(converter->convert(*output, &error, once), AudioConverterOutputStatus::error);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(output->frameLength(), 0u);

    auto wrongOutput = PCMBuffer::withCapacity(converter->inputFormat(), 161);
    auto good = PCMBuffer::withCapacity(converter->inputFormat(), 480);
    OneShotInput again(*good);
    EXPECT_EQ(converter->convert(*wrongOutput, nullptr, again), AudioConverterOutputStatus::error);
}

TEST(ConverterInput, ChunkingDoesNotChangeTheResult) {
    // The same signal in 10 ms chunks and in 4096-frame chunks.
    auto small = converterFrom(pcmFormatFloat32, 44100, 1, false);
    auto large = converterFrom(pcmFormatFloat32, 44100, 1, false);
    auto a = convertTones(*small, {{0.7, 1234}}, 441, 4096, true);
    auto b = convertTones(*large, {{0.7, 1234}}, 4096, 441, true);
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    EXPECT_LE(worst, 1);
}

TEST(ConverterFormats, RefusesWhatItCannotDeliver) {
    auto source = floatFormat(2, true);
    EXPECT_FALSE(makeResamplingConverter(nullptr, deliveryFormat()));
    EXPECT_FALSE(makeResamplingConverter(source, nullptr));
    EXPECT_FALSE(makeResamplingConverter(source, source));  // stereo float target
    EXPECT_FALSE(makeResamplingConverter(
        source, AudioFormat::fromCommonFormat(pcmFormatInt16, 16000, 2, true)));
}

}  // namespace
}  // namespace ovra::test
