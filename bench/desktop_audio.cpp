// The desktop's events, measured on a private PulseAudio and a private PipeWire in one run:
//
//  - Switch gap: system audio captures while "speakers" plays 700 Hz and "headphones" 1100 Hz;
//    the default sink is switched ten times. For each switch, the audio missing around it: the
//    longest run of 10 ms windows without either tone in what was delivered, plus what the
//    stream fell short of real time over the same span.
//  - Recovery: both captures run; the pulse server is killed and started again, five times.
//    From the moment it answers again (pactl, with its default sink) to the first chunk of each
//    capture's data callback.
//  - CPU of the capturing process per second of system audio, over 10 s with a tone playing,
//    less this process's idle figure; against `parec` asking the server for 16 kHz mono int16
//    on the same monitor (the server resamples for it).
//
// Run: build-dir/bench/desktop_audio [--library=path/to/libOvraHelper.so]
// Prints medians and maxima (ms) and CPU (ms per second) as counters. Nothing is asserted.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PulseServer.h"
#include "pulse_bench_support.h"
#include "support/ToneAnalysis.h"

using namespace ovra::bench;
using namespace ovra::e2e;
using namespace ovra::test;

namespace {

// What a host keeps of one capture.
struct Host {
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto* self = static_cast<Host*>(user);
        std::lock_guard lock(self->mutex);
        const auto* pcm = reinterpret_cast<const int16_t*>(data);
        self->samples.insert(self->samples.end(), pcm, pcm + bytes / 2);
        self->count = self->samples.size();
        self->noteArrival();
    }
    static void onStatus(int32_t status, void* user) { static_cast<Host*>(user)->status = status; }
    // From now on, notes when the next chunk arrives.
    void arm() {
        firstChunk = Clock::time_point{};
        armed = true;
    }
    void noteArrival() {
        if (armed.exchange(false)) firstChunk = Clock::now();
    }
    std::vector<int16_t> since(size_t from) {
        std::lock_guard lock(mutex);
        return {samples.begin() + std::ptrdiff_t(std::min(from, samples.size())), samples.end()};
    }
    bool hears(double hz, size_t from, std::chrono::milliseconds within = 5000ms) {
        return waitUntil(
            [&] {
                const auto heard = since(from);
                return heard.size() >= 4000 &&
                       strongestFrequency({heard.end() - 4000, heard.end()}) == hz;
            },
            within);
    }

    std::mutex mutex;
    std::vector<int16_t> samples;
    std::atomic<size_t> count{0};
    std::atomic<int32_t> status{1};
    std::atomic<bool> armed{false};
    Clock::time_point firstChunk{};  // written before `armed` clears, read after
};

// The longest run of 10 ms windows below -50 dBFS, in ms.
double longestSilenceMs(const std::vector<int16_t>& x) {
    size_t run = 0, longest = 0;
    for (size_t at = 0; at + 160 <= x.size(); at += 160) {
        int peak = 0;
        for (size_t i = at; i < at + 160; ++i) peak = std::max(peak, std::abs(int(x[i])));
        run = peak < 100 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return double(longest) * 10.0;
}

double cpuPerSecond(pid_t pid, double seconds) {
    const double before = cpuMsOf(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (cpuMsOf(pid) - before) / seconds;
}

// Tone files are made once per server (sox takes seconds for long ones) and played again after
// each restart.
struct Tones {
    explicit Tones(SoundServer& server)
        : speakers(server.makeTone("speakers", {.frequency = 700, .seconds = 300})),
          headphones(server.makeTone("headphones", {.frequency = 1100, .seconds = 300})),
          mic(server.makeTone("mic", {.frequency = 440, .seconds = 300})) {}
    void play(SoundServer& server, bool toHeadphones) const {
        server.play(speakers, "speakers");
        if (toHeadphones) server.play(headphones, "headphones");
        server.play(mic, "mic1.sink");
    }
    std::string speakers, headphones, mic;
};

void BM_DesktopAudio(benchmark::State& state) {
    const auto kind = ServerKind(state.range(0));
    for (auto _ : state) {
        auto server = SoundServer::make(kind, {{"mic1", 48000, 2}});
        if (!server->ok() ||
            server->loadModule("module-null-sink", "sink_name=headphones rate=48000") < 0) {
            state.SkipWithError("no server");
            return;
        }
        server->useInThisProcess();
        const Tones tones(*server);
        tones.play(*server, true);
        std::this_thread::sleep_for(1s);

        // Switch gap.
        Host system;
        library().startSystemAudio(Host::onData, &system, Host::onStatus, &system);
        if (system.status != 0 || !system.hears(700, 0)) {
            state.SkipWithError("system audio did not start");
            return;
        }
        std::vector<double> gaps;
        for (int i = 0; i < 10; ++i) {
            const bool toHeadphones = i % 2 == 0;
            const size_t from = system.count;
            const auto began = Clock::now();
            server->pactl({"set-default-sink", toHeadphones ? "headphones" : "speakers"});
            if (!system.hears(toHeadphones ? 1100 : 700, from)) continue;
            std::this_thread::sleep_for(500ms);
            const auto heard = system.since(from);
            const double wallMs = ms(Clock::now() - began);
            const double shortMs = std::max(0.0, wallMs - double(heard.size()) / 16.0);
            gaps.push_back(longestSilenceMs(heard) + shortMs);
        }
        state.counters["switches_followed"] = double(gaps.size());
        state.counters["switch_gap_median_ms"] = percentile(gaps, 0.5);
        state.counters["switch_gap_max_ms"] = percentile(gaps, 1.0);
        server->pactl({"set-default-sink", "speakers"});

        // Recovery.
        Host mic;
        library().startMic(Host::onData, &mic, Host::onStatus, &mic);
        if (mic.status != 0 || !mic.hears(440, 0)) {
            state.SkipWithError("microphone did not start");
            return;
        }
        std::vector<double> systemBack, micBack;
        for (int i = 0; i < 5; ++i) {
            server->kill();
            std::this_thread::sleep_for(300ms);
            system.arm();
            mic.arm();
            if (!server->start()) break;
            const auto answered = Clock::now();
            tones.play(*server, false);
            waitUntil([&] { return !system.armed && !mic.armed; }, 10000ms);
            // A chunk that came while the server was starting counts as 0.
            if (!system.armed)
                systemBack.push_back(std::max(0.0, ms(system.firstChunk - answered)));
            if (!mic.armed) micBack.push_back(std::max(0.0, ms(mic.firstChunk - answered)));
            std::this_thread::sleep_for(1s);
        }
        state.counters["recover_system_median_ms"] = percentile(systemBack, 0.5);
        state.counters["recover_system_max_ms"] = percentile(systemBack, 1.0);
        state.counters["recover_mic_median_ms"] = percentile(micBack, 0.5);
        state.counters["recover_mic_max_ms"] = percentile(micBack, 1.0);
        state.counters["recoveries"] = double(std::min(systemBack.size(), micBack.size()));
        library().stopMic();

        // CPU against parec, each alone, with a tone playing.
        std::this_thread::sleep_for(2s);
        const double lib = cpuPerSecond(getpid(), 10);
        library().stopSystemAudio();
        std::this_thread::sleep_for(1s);
        const double idle = cpuPerSecond(getpid(), 5);
        ChildProcess parec({"parec", "-d", "speakers.monitor", "--raw", "--channels=1",
                            "--format=s16le", "--rate=16000", "--latency-msec=10", "/dev/null"},
                           server->env());
        std::this_thread::sleep_for(2s);
        const double anchor = cpuPerSecond(parec.pid(), 10);
        state.counters["lib_cpu_ms_per_s"] = lib - idle;
        state.counters["parec_cpu_ms_per_s"] = anchor;
    }
}
BENCHMARK(BM_DesktopAudio)
    ->ArgName("pipewire")
    ->Arg(int(ServerKind::pulseaudio))
    ->Arg(int(ServerKind::pipewire))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    initialize(argc, argv);
    return runBenchmarks();
}
