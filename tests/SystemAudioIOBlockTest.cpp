// The I/O block on its own: the output capacity rule and its limits, the drops, the chunk it
// hands over, and the buffers it keeps from cycle to cycle.
#include <limits>
#include <stdexcept>

#include "SystemAudioFixture.h"
#include "platform/sim/SimAudioFacilities.h"
#include "systemaudio/TapIOBlock.h"

namespace ovra::test {
namespace {

// A converter writing `framesFor(capacity)` frames, capacity - 1 by default, whatever its input;
// remembers each capacity.
class ScriptedConverter : public AudioConverter {
  public:
    ScriptedConverter(std::shared_ptr<const AudioFormat> from,
                      std::shared_ptr<const AudioFormat> to)
        : from_(std::move(from)), to_(std::move(to)) {}

    AudioConverterOutputStatus convert(PCMBuffer& output, std::string*,
                                       AudioConverterInputBlock&) override {
        capacities.push_back(output.frameCapacity());
        output.setFrameLength(framesFor ? framesFor(output.frameCapacity())
                                        : output.frameCapacity() - 1);
        return AudioConverterOutputStatus::error;  // never examined by the caller
    }
    const std::shared_ptr<const AudioFormat>& inputFormat() const override { return from_; }
    const std::shared_ptr<const AudioFormat>& outputFormat() const override { return to_; }

    std::function<uint32_t(uint32_t capacity)> framesFor;
    std::vector<uint32_t> capacities;

  private:
    std::shared_ptr<const AudioFormat> from_, to_;
};

// The delivery rate over the source rate times the frames, truncated, plus one; refused outside
// 32 bits.
TEST(TapIOBlockCapacity, RatioTimesFramesPlusOneWithinThirtyTwoBits) {
    struct Row {
        double rate;
        uint32_t frames;
        uint32_t capacity;
    };
    for (const Row& r : {Row{48000, 512, 171}, Row{48000, 480, 161}, Row{48000, 1, 1},
                         Row{44100, 512, 186}, Row{96000, 1024, 171}, Row{16000, 512, 513}})
        EXPECT_EQ(TapIOBlock::outputCapacity(16000.0, r.rate, r.frames), r.capacity) << r.rate;
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
    // The chunk's byte count must fit a signed 32-bit count too.
    EXPECT_EQ(TapIOBlock::chunkByteCount((1u << 30) - 1), 2147483646);
    EXPECT_FALSE(TapIOBlock::chunkByteCount(1u << 30));
    EXPECT_FALSE(TapIOBlock::chunkByteCount(UINT32_MAX));
}

// A block over float32 stereo at `rate` with a scripted converter, fed one cycle at a time.
class TapIOBlockTest : public testing::Test {
  protected:
    void make(double rate) {
        auto source =
            AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, 2, true);
        auto target = AudioFormat::fromStreamDescription(deliveryStreamDescription());
        converter = std::make_shared<ScriptedConverter>(source, target);
        block = std::make_unique<TapIOBlock>(facilities, source, target, converter,
                                             &ChunkRecorder::onData, &chunks, gate);
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
    std::shared_ptr<ScriptedConverter> converter;
    std::unique_ptr<TapIOBlock> block;
    ChunkRecorder chunks;
};

TEST_F(TapIOBlockTest, EachDropDeliversNothingAndTheNextCycleGoesOn) {
    make(1e-6);  // a positive but absurdly low rate: the capacity overflows 32 bits
    cycle(512);
    EXPECT_EQ(buffersMade(), 0u);
    make(48000);
    cycle(0);
    journal.failNext("wrapNoCopy");
    cycle(480);
    journal.failNext("makeBuffer");
    cycle(480);
    (*block)(nullptr);
    EXPECT_TRUE(converter->capacities.empty());
    // A conversion without output, or one that throws, delivers nothing either.
    int call = 0;
    converter->framesFor = [&](uint32_t capacity) -> uint32_t {
        if (++call == 2) throw std::runtime_error("converter broke");
        return call == 1 ? 0u : capacity - 1;
    };
    cycle(480);
    EXPECT_NO_THROW(cycle(480));
    EXPECT_EQ(chunks.count(), 0u);
    cycle(480);  // the next cycle goes on as usual, with the same converter
    EXPECT_EQ(chunks.byteCounts, std::vector<int32_t>{320});
    EXPECT_EQ(converter->capacities.size(), 3u);
}

TEST_F(TapIOBlockTest, KeepsItsBuffersUntilALargerOneIsNeeded) {
    make(48000);
    cycle(512);
    cycle(480);
    EXPECT_EQ(buffersMade(), 1u);
    cycle(1024);
    EXPECT_EQ(buffersMade(), 2u);
    cycle(480);
    EXPECT_EQ(buffersMade(), 2u);
    EXPECT_EQ(converter->capacities, (std::vector<uint32_t>{171, 171, 342, 342}));
    EXPECT_EQ(chunks.count(), 4u);
    // The input view is made once and handed back to the wrapper to re-point.
    const auto wraps = journal.entriesStartingWith("wrapNoCopy");
    ASSERT_EQ(wraps.size(), 4u);
    EXPECT_NE(wraps[0].find(" reuse=no "), std::string::npos) << wraps[0];
    for (size_t i = 1; i < wraps.size(); ++i)
        EXPECT_NE(wraps[i].find(" reuse=yes "), std::string::npos) << wraps[i];
}

}  // namespace
}  // namespace ovra::test
