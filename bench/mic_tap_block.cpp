// The microphone's per-buffer work: a 4096-frame mono float buffer at 48 kHz converted to 16 kHz
// int16 and handed to a callback. Compares the tap block, which keeps its output buffer, with
// making a fresh output buffer for every tapped buffer; counts heap allocations per buffer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>

#include "delivery/DeliveryGate.h"
#include "mic/MicTapBlock.h"
#include "platform/Platform.h"
#include "platform/audio/AudioFacilities.h"
#include "platform/audio/OneShotInput.h"

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
constexpr uint32_t kFrames = 4096;

struct Setup {
    std::shared_ptr<Platform> platform = currentPlatform();
    std::shared_ptr<const AudioFormat> tapFormat =
        AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, kRate, 1, false);
    std::shared_ptr<const AudioFormat> target =
        AudioFormat::fromStreamDescription(deliveryStreamDescription());
    std::shared_ptr<AudioConverter> converter =
        platform->audioFacilities().makeConverter(tapFormat, target);
    std::shared_ptr<PCMBuffer> input = PCMBuffer::withCapacity(tapFormat, kFrames);

    Setup() {
        float* s = input->floatChannelData()[0];
        for (uint32_t i = 0; i < kFrames; ++i)
            s[i] = float(0.5 * std::sin(2 * std::numbers::pi * 1000 * i / kRate));
        input->setFrameLength(kFrames);
    }
};

void sink(const uint8_t* data, int32_t bytes, void*) {
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(bytes);
}

void report(benchmark::State& state, uint64_t before) {
    state.counters["allocs_per_buffer"] =
        double(allocations.load() - before) / double(state.iterations());
    state.counters["buffers_per_s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_TapBlockReusedOutput(benchmark::State& state) {
    Setup s;
    MicTapBlock block(s.target, s.converter, sink, nullptr, std::make_shared<DeliveryGate>(),
                      s.platform);
    const AudioTimeStamp when{0, 0};
    block(*s.input, &when);  // the first buffer makes the output buffer
    const uint64_t before = allocations.load();
    for (auto _ : state) block(*s.input, &when);
    report(state, before);
}
BENCHMARK(BM_TapBlockReusedOutput);

void BM_FreshOutputEachBuffer(benchmark::State& state) {
    Setup s;
    DeliveryGate gate;
    const uint32_t capacity = *micOutputCapacity(16000, kRate, kFrames);
    const uint64_t before = allocations.load();
    for (auto _ : state) {
        auto output = s.platform->audioFacilities().makeBuffer(s.target, capacity);
        OneShotInput once(*s.input);
        std::string error;
        s.converter->convert(*output, &error, once);
        gate.run([&] {
            sink(reinterpret_cast<const uint8_t*>(output->int16ChannelData()[0]),
                 int32_t(output->frameLength() * 2), nullptr);
        });
    }
    report(state, before);
}
BENCHMARK(BM_FreshOutputEachBuffer);

}  // namespace

BENCHMARK_MAIN();
