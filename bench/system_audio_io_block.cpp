// The system-audio I/O block's per-cycle work: a 10 ms cycle of 48 kHz stereo float32
// (interleaved, as the tap delivers it) wrapped without copying, converted to 16 kHz int16 and
// handed to a callback. Compares the block, which keeps its input view and output buffer, with
// making a fresh view and output buffer every cycle; counts heap allocations per cycle.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <vector>

#include "delivery/DeliveryGate.h"
#include "platform/audio/AudioFacilities.h"
#include "platform/audio/OneShotInput.h"
#include "systemaudio/TapIOBlock.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

// Replacing the global operators is how the allocations are counted; GCC cannot see that these
// malloc/free pairs belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace ovra;

constexpr double kRate = 48000;
constexpr uint32_t kChannels = 2;

// The shared facilities that every real backend uses (the simulated ones journal each call).
struct Cycle {
    std::shared_ptr<AudioFacilities> facilities = std::make_shared<AudioFacilities>();
    std::shared_ptr<const AudioFormat> source =
        AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, kRate, kChannels, true);
    std::shared_ptr<const AudioFormat> target =
        AudioFormat::fromStreamDescription(deliveryStreamDescription());
    std::shared_ptr<AudioConverter> converter = facilities->makeConverter(source, target);
    std::vector<float> samples;
    AudioBuffer buffer{};
    AudioBufferList list{1, &buffer};

    explicit Cycle(uint32_t frames) : samples(size_t(frames) * kChannels) {
        for (uint32_t i = 0; i < frames; ++i)
            samples[2 * i] = samples[2 * i + 1] =
                float(0.5 * std::sin(2 * std::numbers::pi * 1000 * i / kRate));
        buffer = {kChannels, uint32_t(samples.size() * sizeof(float)), samples.data()};
    }
};

void sink(const uint8_t* data, int32_t bytes, void*) {
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(bytes);
}

void report(benchmark::State& state, uint64_t before) {
    state.counters["allocs_per_cycle"] =
        double(allocations.load() - before) / double(state.iterations());
    state.counters["cycles_per_s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_IOBlockReusedBuffers(benchmark::State& state) {
    Cycle c(uint32_t(state.range(0)));
    TapIOBlock block(c.facilities, c.source, c.target, c.converter, sink, nullptr,
                     std::make_shared<DeliveryGate>());
    block(&c.list);  // the first cycle makes the view and the output buffer
    const uint64_t before = allocations.load();
    for (auto _ : state) block(&c.list);
    report(state, before);
}
BENCHMARK(BM_IOBlockReusedBuffers)->Arg(480)->Arg(4096);

void BM_FreshBuffersEachCycle(benchmark::State& state) {
    Cycle c(uint32_t(state.range(0)));
    AudioFacilities& facilities = *c.facilities;
    DeliveryGate gate;
    const uint64_t before = allocations.load();
    for (auto _ : state) {
        auto input = facilities.wrapNoCopy(c.source, &c.list, nullptr);
        const uint32_t capacity = *TapIOBlock::outputCapacity(16000, kRate, input->frameLength());
        auto output = facilities.makeBuffer(c.target, capacity);
        OneShotInput once(*input);
        c.converter->convert(*output, nullptr, once);
        gate.run([&] {
            sink(reinterpret_cast<const uint8_t*>(output->int16ChannelData()[0]),
                 int32_t(output->frameLength() * 2), nullptr);
        });
    }
    report(state, before);
}
BENCHMARK(BM_FreshBuffersEachCycle)->Arg(480)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
