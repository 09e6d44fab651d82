// System audio against a private PulseAudio server, side by side with parec in one run.
//
//  - Click to callback: a 5 ms click written into the "speakers" sink every 500 ms (pacat,
//    10 ms of latency), timed from its write until it shows in the library's data callback
//    (16 kHz mono int16, after conversion) and, at the same time on the same monitor, in the
//    output of `parec --latency-msec=10` (native 48 kHz stereo float, no conversion): the anchor.
//  - CPU per second of capture, over 10 s with a tone playing (/proc/<pid>/task/*/schedstat):
//    the library's (this process, less what it spends idle) against parec's own, asking the
//    server for 16 kHz mono; each alone, with the server's extra CPU over its idle figure (with
//    parec the server does the resampling), and then both at once, under the same load.
//  - Allocations on the delivery thread (the session's queue) per second of steady capture.
//
// Run: build-dir/bench/pulse_system_audio [--library=path/to/libOvraHelper.so]
// Prints medians and 99th percentiles (ms) and CPU (ms per second) as counters. Nothing is
// asserted.
#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PulseServer.h"
#include "pulse_bench_support.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {

// Allocations made on one watched thread (the library's delivery thread, once known).
std::atomic<pthread_t> watchedThread{};
std::atomic<bool> watching{false};
std::atomic<uint64_t> watchedAllocations{0};

void noteAllocation() {
    if (watching.load(std::memory_order_relaxed) && pthread_equal(pthread_self(), watchedThread))
        watchedAllocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// Every heap allocation of the process (C and C++, the library's and libpulse's) passes here.
extern "C" void* malloc(size_t n) {
    noteAllocation();
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
    noteAllocation();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
    noteAllocation();
    return __libc_realloc(p, n);
}

using namespace ovra::bench;
using ovra::e2e::PulseServer;

namespace {

PulseServer* server = nullptr;
std::atomic<int32_t> lastStatus{99};
void onStatus(int32_t status, void*) {
    lastStatus = status;
}

void onClickData(const uint8_t* data, int32_t bytes, void* detector) {
    static_cast<ClickDetector*>(detector)->feed(reinterpret_cast<const int16_t*>(data),
                                                size_t(bytes) / 2, 32768.0);
}

std::atomic<uint64_t> deliveredBytes{0};
void onCountedData(const uint8_t*, int32_t bytes, void*) {
    if (!watching.load(std::memory_order_relaxed)) watchedThread = pthread_self();
    deliveredBytes.fetch_add(uint64_t(bytes), std::memory_order_relaxed);
}

// CPU of this process, of the server and of parec (when running) over a `seconds` window.
struct CpuWindow {
    double self = 0, server = 0, parec = 0;
    static CpuWindow measure(double seconds, pid_t parec) {
        const double self0 = cpuMsOf(getpid()), server0 = cpuMsOf(::server->pid()),
                     parec0 = parec > 0 ? cpuMsOf(parec) : 0;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return {(cpuMsOf(getpid()) - self0) / seconds,
                (cpuMsOf(::server->pid()) - server0) / seconds,
                parec > 0 ? (cpuMsOf(parec) - parec0) / seconds : 0};
    }
};

void BM_SystemAudioClickToCallback(benchmark::State& state) {
    for (auto _ : state) {
        ClickDetector lib(0.3, 16000), parec(0.3, 48000);
        library().startSystemAudio(onClickData, &lib, onStatus, nullptr);
        if (lastStatus != 0) {
            state.SkipWithError("system audio did not start");
            return;
        }
        ParecReader anchor("speakers.monitor", 48000, 2, 10, server->env(), parec);
        std::this_thread::sleep_for(2s);  // past the null sink's render-ahead at connection
        ClickPlayer player("speakers", 2, 500ms, server->env());
        if (!player.ok()) {
            state.SkipWithError("no playback stream");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        library().stopSystemAudio();
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
BENCHMARK(BM_SystemAudioClickToCallback)->Arg(30)->Iterations(1)->Unit(benchmark::kMillisecond);

// A tone playing on "speakers" for as long as it lives.
struct Tone {
    Tone() : player(&server->play(server->makeTone("tone", {.frequency = 1000, .seconds = 600}))) {}
    ~Tone() { player->stop(); }
    ovra::e2e::ChildProcess* player;
};

void BM_SystemAudioCpuPerSecond(benchmark::State& state) {
    const double seconds = double(state.range(0));
    Tone tone;
    for (auto _ : state) {
        // parec asks for what the library delivers, 16 kHz mono int16 (the server resamples),
        // and writes it to /dev/null.
        auto startParec = [] {
            return spawn({"parec", "-d", "speakers.monitor", "--raw", "--channels=1",
                          "--format=s16le", "--rate=16000", "--latency-msec=10"},
                         server->env(), false, nullptr);
        };
        auto startLibrary = [&] {
            deliveredBytes = 0;
            library().startSystemAudio(onCountedData, nullptr, onStatus, nullptr);
            return lastStatus == 0;
        };
        const CpuWindow idle = CpuWindow::measure(seconds / 2, -1);

        // Each alone, so that the server's share can be told apart; both warmed up first.
        if (!startLibrary()) {
            state.SkipWithError("system audio did not start");
            return;
        }
        std::this_thread::sleep_for(2s);
        const uint64_t bytes0 = deliveredBytes;
        const CpuWindow lib = CpuWindow::measure(seconds, -1);
        const double audioSeconds = double(deliveredBytes - bytes0) / 2 / 16000;
        library().stopSystemAudio();

        pid_t parec = startParec();
        std::this_thread::sleep_for(2s);
        const CpuWindow anchor = CpuWindow::measure(seconds, parec);
        stopChild(parec);

        // Both at once: the same load on the machine for each.
        startLibrary();
        parec = startParec();
        std::this_thread::sleep_for(2s);
        const CpuWindow both = CpuWindow::measure(seconds, parec);
        stopChild(parec);
        library().stopSystemAudio();

        state.counters["lib_cpu_ms_per_s"] = lib.self - idle.self;
        state.counters["lib_server_extra_ms_per_s"] = lib.server - idle.server;
        state.counters["lib_audio_s_per_s"] = audioSeconds / seconds;
        state.counters["parec_cpu_ms_per_s"] = anchor.parec;
        state.counters["parec_server_extra_ms_per_s"] = anchor.server - idle.server;
        state.counters["together_lib_cpu_ms_per_s"] = both.self - idle.self;
        state.counters["together_parec_cpu_ms_per_s"] = both.parec;
    }
}
BENCHMARK(BM_SystemAudioCpuPerSecond)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SystemAudioDeliveryThreadAllocations(benchmark::State& state) {
    Tone tone;
    for (auto _ : state) {
        watching = false;
        deliveredBytes = 0;
        library().startSystemAudio(onCountedData, nullptr, onStatus, nullptr);
        if (lastStatus != 0) {
            state.SkipWithError("system audio did not start");
            return;
        }
        std::this_thread::sleep_for(2s);  // first cycles may size buffers
        watchedAllocations = 0;
        watching = true;
        const uint64_t bytes0 = deliveredBytes;
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        watching = false;
        const double chunks = double(deliveredBytes - bytes0) / 2 / 16000 * 100;  // ~10 ms each
        library().stopSystemAudio();
        state.counters["allocations_per_s"] = double(watchedAllocations) / double(state.range(0));
        state.counters["approx_chunks"] = chunks;
    }
}
BENCHMARK(BM_SystemAudioDeliveryThreadAllocations)
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

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
    return runBenchmarks();
}
