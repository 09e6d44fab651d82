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
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OvraHelper.h"
#include "e2e/PulseServer.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovra::e2e::PulseServer;

namespace {

PulseServer* server = nullptr;
std::string libraryPath;

struct Api {
    decltype(&ov_start_mic) startMic;
    decltype(&ov_stop_mic) stopMic;
};

Api& api() {
    static Api a = [] {
        void* h = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            fprintf(stderr, "dlopen %s: %s\n", libraryPath.c_str(), dlerror());
            std::exit(1);
        }
        return Api{reinterpret_cast<decltype(&ov_start_mic)>(dlsym(h, "ov_start_mic")),
                   reinterpret_cast<decltype(&ov_stop_mic)>(dlsym(h, "ov_stop_mic"))};
    }();
    return a;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Arrival times of clicks in a stream of samples: the first sample above the threshold after
// at least `gap` of quiet.
struct ClickDetector {
    ClickDetector(double threshold, double rate) : threshold(threshold), rate(rate) {}

    double threshold;
    double rate;
    int64_t quietFor = 1 << 30;
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;

    template <typename T>
    void feed(const T* s, size_t n, double scale) {
        bool hit = false;
        for (size_t i = 0; i < n; ++i) {
            if (std::fabs(double(s[i]) / scale) > threshold) {
                if (quietFor > int64_t(rate * 0.2)) hit = true;
                quietFor = 0;
            } else {
                ++quietFor;
            }
        }
        if (hit) {
            std::lock_guard lock(mutex);
            arrivals.push_back(Clock::now());
        }
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return arrivals.size();
    }
};

// Spawns `args` (on PATH) against the private server with one end of a pipe as its standard
// input (`feed`) or output; returns the PID and the other end in `fd`.
pid_t spawnWithPipe(std::vector<std::string> args, bool feed, int* fd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const int childEnd = feed ? fds[0] : fds[1];
    const int ourEnd = feed ? fds[1] : fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childEnd, feed ? 0 : 1);
    posix_spawn_file_actions_addclose(&actions, ourEnd);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& x : server->env()) env.push_back(x);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(childEnd);
    *fd = ourEnd;
    return pid;
}

void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

// Plays silence into `sink` through pacat (10 ms of latency), with a 5 ms click every `period`,
// noting when each click is written. Written in real time, so the pipe never fills up.
class ClickPlayer {
  public:
    ClickPlayer(const std::string& sink, std::chrono::milliseconds period) {
        pid_ = spawnWithPipe({"pacat", "--playback", "-d", sink, "--raw", "--format=float32le",
                              "--rate=48000", "--channels=1", "--latency-msec=10"},
                             true, &fd_);
        if (pid_ <= 0) return;
        thread_ = std::thread([this, period] {
            std::vector<float> block(48 * 5, 0.0f);  // 5 ms
            auto due = Clock::now();
            auto nextClick = due + 1s;
            while (!quit_) {
                const bool click = due >= nextClick;
                std::fill(block.begin(), block.end(), click ? 0.8f : 0.0f);
                std::this_thread::sleep_until(due);
                if (click) {
                    std::lock_guard lock(mutex_);
                    written_.push_back(Clock::now());
                    nextClick += period;
                }
                if (write(fd_, block.data(), block.size() * sizeof(float)) <= 0) break;
                due += 5ms;
            }
        });
    }
    ~ClickPlayer() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        stopChild(pid_);
    }
    bool ok() const { return pid_ > 0; }
    std::vector<Clock::time_point> written() {
        std::lock_guard lock(mutex_);
        return written_;
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::atomic<bool> quit_{false};
    std::mutex mutex_;
    std::vector<Clock::time_point> written_;
    std::thread thread_;
};

// parec on a source, its raw float output read from a pipe; stopped by its PID.
class Parec {
  public:
    Parec(const std::string& source, int rate, ClickDetector& detector) : detector_(detector) {
        pid_ = spawnWithPipe({"parec", "-d", source, "--raw", "--channels=1", "--format=float32le",
                              "--rate=" + std::to_string(rate), "--latency-msec=20"},
                             false, &fd_);
        reader_ = std::thread([this] {
            std::vector<float> buf(4096);
            size_t carry = 0;
            auto* bytes = reinterpret_cast<char*>(buf.data());
            while (true) {
                const ssize_t n = read(fd_, bytes + carry, buf.size() * sizeof(float) - carry);
                if (n <= 0) break;
                const size_t total = carry + size_t(n);
                detector_.feed(buf.data(), total / sizeof(float), 1.0);
                carry = total % sizeof(float);
                std::memmove(bytes, bytes + total - carry, carry);
            }
        });
    }
    ~Parec() {
        stopChild(pid_);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
    }

  private:
    ClickDetector& detector_;
    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
};

ClickDetector* libraryClicks = nullptr;

void onMicData(const uint8_t* data, int32_t bytes, void*) {
    libraryClicks->feed(reinterpret_cast<const int16_t*>(data), size_t(bytes) / 2, 32768.0);
}
std::atomic<int32_t> lastStatus{99};
void onStatus(int32_t status, void*) {
    lastStatus = status;
}

// The latency of each click written before `until`, as seen by a detector.
std::vector<double> latencies(const std::vector<Clock::time_point>& written,
                              const std::vector<Clock::time_point>& arrived) {
    std::vector<double> out;
    for (auto w : written) {
        auto it = std::lower_bound(arrived.begin(), arrived.end(), w);
        if (it != arrived.end() && *it - w < 400ms) out.push_back(ms(*it - w));
    }
    return out;
}

void BM_MicClickToCallback(benchmark::State& state) {
    for (auto _ : state) {
        server->pactl({"set-default-source", "click"});
        ClickDetector lib(0.3, 16000), parec(0.3, 48000);
        libraryClicks = &lib;
        api().startMic(onMicData, nullptr, onStatus, nullptr);
        if (lastStatus != 0) {
            state.SkipWithError("microphone did not start");
            return;
        }
        Parec anchor("click", 48000, parec);
        std::this_thread::sleep_for(1s);
        ClickPlayer player("click.sink", 500ms);
        if (!player.ok()) {
            state.SkipWithError("no playback stream");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        api().stopMic();
        const auto written = player.written();
        std::vector<Clock::time_point> a, b;
        {
            std::lock_guard l1(lib.mutex), l2(parec.mutex);
            a = lib.arrivals;
            b = parec.arrivals;
        }
        const auto libMs = latencies(written, a);
        const auto parecMs = latencies(written, b);
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
        api().startMic(onSwitchData, nullptr, onStatus, nullptr);
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
        api().stopMic();
    }
    state.counters["switches"] = double(switchMs.size());
    state.counters["switch_median_ms"] = percentile(switchMs, 0.5);
    state.counters["switch_p99_ms"] = percentile(switchMs, 0.99);
    state.counters["pactl_median_ms"] = percentile(pactlMs, 0.5);
}
BENCHMARK(BM_MicDeviceSwitch)->Arg(15)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    libraryPath = (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
                   "libOvraHelper.so")
                      .string();
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--library=", 10) == 0)
            libraryPath = argv[i] + 10;
        else
            rest.push_back(argv[i]);
    }
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());

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
    // The library's log goes to stderr; keep it out of the figures.
    if (!freopen("/dev/null", "w", stderr)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
