// The I/O block on its own: the output capacity rule and its limits, the drops, the chunk it
// hands over, and the buffers it keeps from cycle to cycle.
#include <limits>
#include <stdexcept>

#include "SystemAudioFixture.h"
#include "systemaudio/TapIOBlock.h"

namespace ovra::test {
namespace {

TEST(TapIOBlockCapacity, IsTheRateRatioTimesTheFramesTruncatedPlusOne) {
    struct Row {
        double sourceRate;
        uint32_t frames;
        uint32_t capacity;
    };
    for (const Row& r : {Row{48000, 512, 171}, Row{48000, 480, 161}, Row{48000, 1, 1},
                         Row{44100, 512, 186}, Row{96000, 1024, 171}, Row{16000, 512, 513}})
        EXPECT_EQ(TapIOBlock::outputCapacity(16000.0, r.sourceRate, r.frames), r.capacity)
            << r.sourceRate << " Hz, " << r.frames << " frames";
}

TEST(TapIOBlockCapacity, OutsideThirtyTwoBitsIsRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(TapIOBlock::outputCapacity(16000.0, nan, 512));
    EXPECT_FALSE(TapIOBlock::outputCapacity(16000.0, 0.0, 512));       // ratio infinite
    EXPECT_FALSE(TapIOBlock::outputCapacity(16000.0, -48000.0, 512));  // product negative
    EXPECT_FALSE(TapIOBlock::outputCapacity(inf, 48000.0, 0));         // infinity x 0: NaN
    EXPECT_FALSE(TapIOBlock::outputCapacity(4294967296.0, 1.0, 1));    // product 2^32
    EXPECT_FALSE(TapIOBlock::outputCapacity(4294967295.0, 1.0, 1));    // 2^32 - 1 plus one
    EXPECT_EQ(TapIOBlock::outputCapacity(4294967294.0, 1.0, 1), 4294967295u);
    EXPECT_EQ(TapIOBlock::outputCapacity(16000.0, 48000.0, 0), 1u);
}

TEST(TapIOBlockCapacity, ChunkByteCountFitsSignedThirtyTwoBits) {
    EXPECT_EQ(TapIOBlock::chunkByteCount(170), 340);
    EXPECT_EQ(TapIOBlock::chunkByteCount(1), 2);
    EXPECT_EQ(TapIOBlock::chunkByteCount((1u << 30) - 1), 2147483646);
    EXPECT_FALSE(TapIOBlock::chunkByteCount(1u << 30));
    EXPECT_FALSE(TapIOBlock::chunkByteCount(UINT32_MAX));
}

class ThrowingConverter : public ScriptedConverter {
  public:
    using ScriptedConverter::ScriptedConverter;
    AudioConverterOutputStatus convert(PCMBuffer&, std::string*,
                                       AudioConverterInputBlock&) override {
        throw std::runtime_error("converter broke");
    }
};

// A block over a float32 stereo source at `rate`, a scripted converter and steerable
// facilities, fed one interleaved cycle at a time.
class TapIOBlockTest : public testing::Test {
  protected:
    void make(double rate, void* user, ov_data_callback callback = &ChunkRecorder::onData) {
        source = AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, 2, true);
        target = AudioFormat::fromStreamDescription(deliveryStreamDescription());
        converter = std::make_shared<ScriptedConverter>(source, target);
        block = std::make_unique<TapIOBlock>(facilities, source, target, converter, callback, user,
                                             gate);
    }
    void cycle(uint32_t frames) {
        std::vector<float> samples(size_t(frames) * 2, 0.5f);
        AudioBuffer buffer{2, uint32_t(samples.size() * sizeof(float)), samples.data()};
        AudioBufferList list{1, &buffer};
        (*block)(&list);
    }

    size_t buffersMade() { return journal.entriesStartingWith("makeBuffer").size(); }

    sim::SimJournal journal;
    std::shared_ptr<sim::SimAudioFacilities> facilities =
        std::make_shared<sim::SimAudioFacilities>(journal);
    std::shared_ptr<DeliveryGate> gate = std::make_shared<DeliveryGate>();
    std::shared_ptr<const AudioFormat> source, target;
    std::shared_ptr<ScriptedConverter> converter;
    std::unique_ptr<TapIOBlock> block;
    ChunkRecorder chunks;
};

TEST_F(TapIOBlockTest, FirstCycleConvertsIntoTheComputedCapacity) {
    struct Row {
        double rate;
        uint32_t frames;
        uint32_t capacity;
    };
    for (const Row& r : {Row{48000, 512, 171}, Row{48000, 480, 161}, Row{44100, 512, 186},
                         Row{96000, 1024, 171}, Row{16000, 512, 513}}) {
        make(r.rate, &chunks);
        cycle(r.frames);
        ASSERT_EQ(converter->capacities.size(), 1u);
        EXPECT_EQ(converter->capacities[0], r.capacity) << r.rate << "/" << r.frames;
        EXPECT_EQ(block->outputBufferCapacity(), r.capacity);
    }
}

TEST_F(TapIOBlockTest, DeliversChannelZeroWithTwoBytesPerFrameAndTheUserPointer) {
    make(48000, &chunks);
    converter->framesFor = [](uint32_t, uint32_t) { return 170u; };
    cycle(512);
    cycle(512);
    ASSERT_EQ(chunks.count(), 2u);
    EXPECT_EQ(chunks.byteCounts, (std::vector<int32_t>{340, 340}));
    EXPECT_EQ(chunks.users, (std::vector<void*>{&chunks, &chunks}));
    // The scripted converter numbers its output frames: two whole chunks, in order.
    const auto samples = chunks.samples();
    ASSERT_EQ(samples.size(), 340u);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], int16_t(i));
    EXPECT_TRUE(converter->oneShotHeld);
}

TEST_F(TapIOBlockTest, EmptyOrUnwrappableInputIsDroppedWithoutConverting) {
    make(48000, &chunks);
    cycle(0);
    journal.failNext("wrapNoCopy");
    cycle(480);
    EXPECT_TRUE(converter->capacities.empty());
    EXPECT_EQ(chunks.count(), 0u);
    cycle(480);  // the next cycle goes on as usual
    EXPECT_EQ(chunks.count(), 1u);

    // A list that does not fit the format (two buffers for interleaved stereo) is refused by
    // the wrapper itself.
    std::vector<float> left(480), right(480);
    AudioBuffer buffers[2] = {{1, 480 * 4, left.data()}, {1, 480 * 4, right.data()}};
    AudioBufferList list{2, buffers};
    (*block)(&list);
    (*block)(nullptr);
    EXPECT_EQ(converter->capacities.size(), 1u);
    EXPECT_EQ(chunks.count(), 1u);
}

TEST_F(TapIOBlockTest, NoOutputBufferDropsTheChunk) {
    make(48000, &chunks);
    journal.failNext("makeBuffer");
    cycle(480);
    EXPECT_TRUE(converter->capacities.empty());
    EXPECT_EQ(chunks.count(), 0u);
    cycle(480);
    EXPECT_EQ(chunks.count(), 1u);
}

TEST_F(TapIOBlockTest, ConversionWithoutOutputDeliversNothingAndTheNextGoesOn) {
    make(48000, &chunks);
    int call = 0;
    converter->framesFor = [&](uint32_t, uint32_t capacity) {
        return ++call == 1 ? 0u : capacity - 1;
    };
    cycle(480);
    EXPECT_EQ(chunks.count(), 0u);
    cycle(480);
    ASSERT_EQ(chunks.count(), 1u);
    EXPECT_EQ(chunks.byteCounts[0], 320);
    EXPECT_EQ(converter->capacities.size(), 2u);  // the same converter, both times
}

TEST_F(TapIOBlockTest, KeepsItsBuffersUntilALargerOneIsNeeded) {
    make(48000, &chunks);
    cycle(512);
    cycle(480);
    EXPECT_EQ(buffersMade(), 1u);
    EXPECT_EQ(block->outputBufferCapacity(), 171u);
    cycle(1024);
    EXPECT_EQ(buffersMade(), 2u);
    EXPECT_EQ(block->outputBufferCapacity(), 342u);
    cycle(480);
    EXPECT_EQ(buffersMade(), 2u);
    EXPECT_EQ(converter->capacities, (std::vector<uint32_t>{171, 171, 342, 342}));
    EXPECT_EQ(chunks.count(), 4u);
}

TEST_F(TapIOBlockTest, ReusesOneInputViewAcrossCycles) {
    make(48000, &chunks);
    // The facilities see the block hand back the view it kept, so the wrapper re-points it.
    struct ViewSpy : sim::SimAudioFacilities {
        using sim::SimAudioFacilities::SimAudioFacilities;
        std::shared_ptr<PCMBuffer> wrapNoCopy(std::shared_ptr<const AudioFormat> f,
                                              const AudioBufferList* l,
                                              std::shared_ptr<PCMBuffer> reuse) override {
            offered.push_back(reuse.get());
            auto view = sim::SimAudioFacilities::wrapNoCopy(std::move(f), l, std::move(reuse));
            returned.push_back(view.get());
            return view;
        }
        std::vector<const PCMBuffer*> offered, returned;
    };
    auto spy = std::make_shared<ViewSpy>(journal);
    block = std::make_unique<TapIOBlock>(spy, source, target, converter, &ChunkRecorder::onData,
                                         &chunks, gate);
    cycle(480);
    cycle(480);
    cycle(256);
    ASSERT_EQ(spy->returned.size(), 3u);
    EXPECT_EQ(spy->offered[0], nullptr);
    EXPECT_EQ(spy->offered[1], spy->returned[0]);
    EXPECT_EQ(spy->returned[1], spy->returned[0]);
    EXPECT_EQ(spy->returned[2], spy->returned[0]);
}

TEST_F(TapIOBlockTest, ClosedGateStopsDelivery) {
    make(48000, &chunks);
    cycle(480);
    gate->close();
    cycle(480);
    EXPECT_EQ(chunks.count(), 1u);
}

TEST_F(TapIOBlockTest, CapacityBeyondThirtyTwoBitsDropsTheChunk) {
    // A positive but absurdly low source rate makes the product overflow 32 bits.
    make(1e-6, &chunks);
    cycle(512);
    EXPECT_TRUE(converter->capacities.empty());
    EXPECT_EQ(buffersMade(), 0u);
    EXPECT_EQ(chunks.count(), 0u);
}

TEST_F(TapIOBlockTest, AConverterThatThrowsDropsTheChunkQuietly) {
    make(48000, &chunks);
    block = std::make_unique<TapIOBlock>(facilities, source, target,
                                         std::make_shared<ThrowingConverter>(source, target),
                                         &ChunkRecorder::onData, &chunks, gate);
    EXPECT_NO_THROW(cycle(480));
    EXPECT_EQ(chunks.count(), 0u);
}

}  // namespace
}  // namespace ovra::test
