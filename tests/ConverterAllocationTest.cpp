// The audio path allocates nothing once it runs: converting, wrapping the device's memory again
// and reusing the output buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "AudioTestSupport.h"
#include "platform/audio/AudioFacilities.h"
#include "platform/audio/ResamplingConverter.h"
#include "support/AllocationCounter.h"

namespace ovra::test {
namespace {

struct Source {
    double rate;
    uint32_t channels;
    bool interleaved;
    uint32_t frames;
    bool allocationFree = true;
};

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
    // The sessions' capacity rule (ratio x frames + 1) for each output buffer: besides
    // allocating nothing, what the converter holds back must not creep up over a long run.
    for (const Source& s :
         {Source{48000, 2, true, 480}, Source{44100, 1, false, 441}, Source{48000, 2, true, 4096},
          Source{44100, 1, false, 4096}, Source{96000, 8, false, 1024}, Source{16000, 1, true, 160},
          // Upsampling from 8 kHz still grows its buffers a few times in its first seconds:
          // only its backlog is checked here.
          Source{8000, 2, true, 80, false}}) {
        SCOPED_TRACE(testing::Message() << s.rate << " Hz, " << s.frames << " frames");
        auto from = AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, s.rate,
                                                  s.channels, s.interleaved);
        auto converter = makeResamplingConverter(from, deliveryFormat());
        auto input = PCMBuffer::withCapacity(from, s.frames);
        auto output =
            PCMBuffer::withCapacity(deliveryFormat(), uint32_t(16000 / s.rate * s.frames) + 1);
        const std::vector<Tone> tone = {{0.5, 440}};
        size_t produced = 0;
        double worstBacklog = 0;
        auto cycle = [&](int k) {
            fillTones(*input, tone, uint64_t(k) * s.frames, s.frames);
            OneShotInput once(*input);
            converter->convert(*output, nullptr, once);
            produced += output->frameLength();
            const double backlog = 16000.0 / s.rate * s.frames * (k + 1) - double(produced);
            if (k > 1000) worstBacklog = std::max(worstBacklog, backlog);
        };
        for (int k = 0; k < 50; ++k) cycle(k);  // the filter's start-up may size its buffers
        long allocations;
        {
            AllocationCounter counter;
            for (int k = 50; k < 3000; ++k) cycle(k);
            allocations = counter.count();
        }
        if (s.allocationFree) {
            EXPECT_EQ(allocations, 0);
        }
        EXPECT_LT(worstBacklog, 16000 * 0.05);  // a few blocks of the filter at most
    }
}

TEST(ConverterAllocation, RewrappingTheDeviceBuffersAllocatesNothing) {
    auto format =
        AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 2, false);
    std::vector<float> left(512), right(512), left2(256), right2(256);
    AudioBuffer first[2] = {{1, 512 * 4, left.data()}, {1, 512 * 4, right.data()}};
    AudioBuffer second[2] = {{1, 256 * 4, left2.data()}, {1, 256 * 4, right2.data()}};
    AudioBufferList a{2, first}, b{2, second};
    AudioFacilities facilities;
    auto view = facilities.wrapNoCopy(format, &a, nullptr);
    ASSERT_TRUE(view);

    long allocations;
    std::shared_ptr<PCMBuffer> again;
    {
        AllocationCounter counter;
        for (int k = 0; k < 100; ++k) again = facilities.wrapNoCopy(format, k % 2 ? &a : &b, view);
        allocations = counter.count();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(again, view);
    EXPECT_EQ(again->frameLength(), 512u);
    EXPECT_EQ(again->floatChannelData()[1], right.data());
}

}  // namespace
}  // namespace ovra::test
