// Microphone latency against a private PulseAudio server with a paced fake microphone.
//
//  - Click to callback: a click played into the microphone's sink, timed from the moment it is
//    written until it shows in the library's data callback (16 kHz int16, after conversion), and,
//    in the same run on the same source, until it shows in the output of
//    `parec --latency-msec=20` (the same 20 ms fragment size, no conversion) as the anchor.
//  - Device switch: from `pactl set-default-source` to the first chunk from the new microphone.
//
// Run: build/bench/pulse_mic_latency [--library=path/to/libOvraHelper.so]
// Prints medians and 99th percentiles as counters (milliseconds). Nothing is asserted.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PulseServer.h"
#include "pulse_bench_support.h"

using namespace ovra::bench;
using ovra::e2e::PulseServer;

namespace {

PulseServer* server = nullptr;
ClickDetector* libraryClicks = nullptr;

void onMicData(const uint8_t* data, int32_t bytes, void*) {
    libraryClicks->feed(reinterpret_cast<const int16_t*>(data), size_t(bytes) / 2, 32768.0);
}
std::atomic<int32_t> lastStatus{99};
void onStatus(int32_t status, void*) {
    lastStatus = status;
}

void BM_MicClickToCallback(benchmark::State& state) {
    for (auto _ : state) {
        server->pactl({"set-default-source", "click"});
        ClickDetector lib(0.3, 16000), parec(0.3, 48000);
        libraryClicks = &lib;
        library().startMic(onMicData, nullptr, onStatus, nullptr);
        if (lastStatus != 0) {
            state.SkipWithError("microphone did not start");
            return;
        }
        ParecReader anchor("click", 48000, 1, 20, server->env(), parec);
        std::this_thread::sleep_for(1s);
        ClickPlayer player("click.sink", 1, 500ms, server->env());
        if (!player.ok()) {
            state.SkipWithError("no playback stream");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        library().stopMic();
        const auto written = player.written();
        const auto libMs = latencies(written, lib.seen());
        const auto parecMs = latencies(written, parec.seen());
        state.counters["clicks"] = double(written.size());
        state.counters["lib_seen"] = double(libMs.size());
        state.counters["parec_seen"] = double(parecMs.size());
        state.counters["lib_median_ms"] = percentile(libMs, 0.5);
        state.counters["lib_p99_ms"] = percentile(libMs, 0.99);
        state.counters["parec_median_ms"] = percentile(parecMs, 0.5);
        state.counters["parec_p99_ms"] = percentile(parecMs, 0.99);
        state.counters["lib_minus_parec_median_ms"] =
            percentile(libMs, 0.5) - percentile(parecMs, 0.5);
    }
}
BENCHMARK(BM_MicClickToCallback)->Arg(20)->Iterations(1)->Unit(benchmark::kMillisecond);

// Switch-over: mic "quiet" hears nothing, mic "loud" a steady tone; the first loud chunk after
// `pactl set-default-source loud` is the first from the new device.
std::atomic<double> lastChunkPeak{0};
std::atomic<int64_t> firstLoudNs{0};
void onSwitchData(const uint8_t* data, int32_t bytes, void*) {
    const auto* s = reinterpret_cast<const int16_t*>(data);
    int peak = 0;
    for (int32_t i = 0; i < bytes / 2; ++i) peak = std::max(peak, std::abs(int(s[i])));
    if (peak > 3000 && firstLoudNs == 0)
        firstLoudNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count();
    lastChunkPeak = peak;
}

void BM_MicDeviceSwitch(benchmark::State& state) {
    std::vector<double> switchMs, pactlMs;
    for (auto _ : state) {
        server->pactl({"set-default-source", "quiet"});
        library().startMic(onSwitchData, nullptr, onStatus, nullptr);
        if (lastStatus != 0) {
            state.SkipWithError("microphone did not start");
            return;
        }
        for (int round = 0; round < state.range(0); ++round) {
            std::this_thread::sleep_for(700ms);
            firstLoudNs = 0;
            const auto t0 = Clock::now();
            server->pactl({"set-default-source", "loud"});
            const auto t1 = Clock::now();
            const auto deadline = t0 + 5s;
            while (firstLoudNs == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
            if (firstLoudNs != 0)
                switchMs.push_back(
                    double(firstLoudNs - std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             t0.time_since_epoch())
                                             .count()) /
                    1e6);
            pactlMs.push_back(ms(t1 - t0));
            server->pactl({"set-default-source", "quiet"});
        }
        library().stopMic();
    }
    state.counters["switches"] = double(switchMs.size());
    state.counters["switch_median_ms"] = percentile(switchMs, 0.5);
    state.counters["switch_p99_ms"] = percentile(switchMs, 0.99);
    state.counters["pactl_median_ms"] = percentile(pactlMs, 0.5);
}
BENCHMARK(BM_MicDeviceSwitch)->Arg(15)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    initialize(argc, argv);

    PulseServer pulse;
    if (!pulse.ok()) {
        fprintf(stderr, "no private PulseAudio server could be started\n");
        return 1;
    }
    server = &pulse;
    pulse.useInThisProcess();
    pulse.addMicrophone("click", 48000, 1);
    pulse.addMicrophone("quiet", 44100, 1);
    pulse.addMicrophone("loud", 48000, 2);
    // A null sink renders in blocks of up to two seconds unless some stream asks for less, so a
    // fake microphone that nobody listens to wakes up slowly; a real one runs at its own pace.
    // Feeding both switch microphones with low-latency players keeps them running like real
    // ones, so what is measured is the switch and not their wake-up.
    std::vector<ovra::e2e::ChildProcess> players;
    for (const auto& [sink, gain] : {std::pair{"loud.sink", -6.0}, std::pair{"quiet.sink", -120.0}})
        players.emplace_back(
            std::vector<std::string>{
                "paplay", "-d", sink, "--latency-msec=20",
                pulse.makeTone(sink, {.frequency = 1000, .seconds = 120, .gainDb = gain})},
            pulse.env());
    return runBenchmarks();
}
