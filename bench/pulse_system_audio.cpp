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
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OvraHelper.h"
#include "e2e/PulseServer.h"

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

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ovra::e2e::PulseServer;

namespace {

PulseServer* server = nullptr;
std::string libraryPath;

struct Api {
    decltype(&ov_start_system_audio) start;
    decltype(&ov_stop_system_audio) stop;
};

Api& api() {
    static Api a = [] {
        void* h = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            fprintf(stderr, "dlopen %s: %s\n", libraryPath.c_str(), dlerror());
            std::exit(1);
        }
        return Api{
            reinterpret_cast<decltype(&ov_start_system_audio)>(dlsym(h, "ov_start_system_audio")),
            reinterpret_cast<decltype(&ov_stop_system_audio)>(dlsym(h, "ov_stop_system_audio"))};
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

// Arrival times of clicks: the first loud sample after at least 200 ms of quiet.
struct ClickDetector {
    ClickDetector(double threshold, double rate) : threshold(threshold), rate(rate) {}

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
    std::vector<Clock::time_point> seen() {
        std::lock_guard lock(mutex);
        return arrivals;
    }

    double threshold;
    double rate;
    int64_t quietFor = 1 << 30;
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
};

// Spawns `args` against the private server with one end of a pipe as its standard input
// (`feed`) or output; returns the PID and our end in `fd`. With `fd` null, output is discarded.
pid_t spawn(std::vector<std::string> args, bool feed, int* fd) {
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fd) {
        if (pipe(fds) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, feed ? fds[0] : fds[1], feed ? 0 : 1);
        posix_spawn_file_actions_addclose(&actions, feed ? fds[1] : fds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
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
    if (fd) {
        close(feed ? fds[0] : fds[1]);
        *fd = feed ? fds[1] : fds[0];
    }
    return pid;
}

void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

// Silence into a sink through pacat with a 5 ms click every `period`; notes each click's write.
class ClickPlayer {
  public:
    ClickPlayer(const std::string& sink, std::chrono::milliseconds period) {
        pid_ = spawn({"pacat", "--playback", "-d", sink, "--raw", "--format=float32le",
                      "--rate=48000", "--channels=2", "--latency-msec=10"},
                     true, &fd_);
        if (pid_ <= 0) return;
        thread_ = std::thread([this, period] {
            std::vector<float> block(2 * 48 * 5, 0.0f);  // 5 ms, stereo
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

// parec on the sink's monitor at 48 kHz stereo float, 10 ms fragments, read from a pipe.
class ParecReader {
  public:
    explicit ParecReader(ClickDetector& detector) : detector_(detector) {
        pid_ = spawn({"parec", "-d", "speakers.monitor", "--raw", "--channels=2",
                      "--format=float32le", "--rate=48000", "--latency-msec=10"},
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
    ~ParecReader() {
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

std::vector<double> latencies(const std::vector<Clock::time_point>& written,
                              const std::vector<Clock::time_point>& arrived) {
    std::vector<double> out;
    for (auto w : written) {
        auto it = std::lower_bound(arrived.begin(), arrived.end(), w);
        if (it != arrived.end() && *it - w < 400ms) out.push_back(ms(*it - w));
    }
    return out;
}

// CPU time of a process (all its threads), from the scheduler's accounting in nanoseconds.
double cpuMsOf(pid_t pid) {
    double total = 0;
    std::error_code ignored;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& t : std::filesystem::directory_iterator(tasks, ignored)) {
        std::ifstream in(t.path() / "schedstat");
        double ns = 0;
        if (in >> ns) total += ns / 1e6;
    }
    return total;
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
        api().start(onClickData, &lib, onStatus, nullptr);
        if (lastStatus != 0) {
            state.SkipWithError("system audio did not start");
            return;
        }
        ParecReader anchor(parec);
        std::this_thread::sleep_for(2s);  // past the null sink's render-ahead at connection
        ClickPlayer player("speakers", 500ms);
        if (!player.ok()) {
            state.SkipWithError("no playback stream");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        api().stop();
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
                         false, nullptr);
        };
        auto startLibrary = [&] {
            deliveredBytes = 0;
            api().start(onCountedData, nullptr, onStatus, nullptr);
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
        api().stop();

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
        api().stop();

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
        api().start(onCountedData, nullptr, onStatus, nullptr);
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
        api().stop();
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
    // The library's log goes to stderr; keep it out of the figures.
    if (!freopen("/dev/null", "w", stderr)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
