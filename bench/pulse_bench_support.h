// What the benchmarks against a private sound server share: the library under test, loaded with
// dlopen as a host loads it; clicks written into a sink and found again in a stream; `parec` as
// the anchor; CPU time from the scheduler; and the figures' arithmetic.
#pragma once

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Library.h"

namespace ovra::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::string& libraryPath() {
    static std::string path;
    return path;
}

// Takes --library=PATH (default: the library of this build, beside bench/) and hands the rest
// to Google Benchmark.
inline void initialize(int argc, char** argv) {
    libraryPath() = (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
                     "libOvraHelper.so")
                        .string();
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--library=", 10) == 0)
            libraryPath() = argv[i] + 10;
        else
            rest.push_back(argv[i]);
    }
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
}

// Runs the benchmarks with standard error, where the library logs, kept out of the figures.
inline int runBenchmarks() {
    if (!freopen("/dev/null", "w", stderr)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The library, loaded on first use; a benchmark without it has nothing to measure.
inline Library& library() {
    static Library* lib = [] {
        try {
            return new Library(libraryPath());
        } catch (const std::exception& e) {
            std::fprintf(stdout, "%s\n", e.what());
            std::exit(1);
        }
    }();
    return *lib;
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

inline double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time of a process (all its threads), from the scheduler's accounting in nanoseconds.
inline double cpuMsOf(pid_t pid) {
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

// The latency of each written click that a detector saw within 400 ms.
inline std::vector<double> latencies(const std::vector<Clock::time_point>& written,
                                     const std::vector<Clock::time_point>& arrived) {
    std::vector<double> out;
    for (auto w : written) {
        auto it = std::lower_bound(arrived.begin(), arrived.end(), w);
        if (it != arrived.end() && *it - w < 400ms) out.push_back(ms(*it - w));
    }
    return out;
}

// Spawns `args` (on PATH) with `env` added to ours and one end of a pipe as its standard input
// (`feed`) or output; returns the PID and our end in `fd`. With `fd` null, output is discarded.
inline pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& env, bool feed,
                   int* fd) {
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
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e) all.emplace_back(*e);
    all.insert(all.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : all) envp.push_back(e.data());
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

inline void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

// Plays silence into `sink` through pacat (10 ms of latency), with a 5 ms click every `period`,
// noting when each click is written. Written in real time, so the pipe never fills up.
class ClickPlayer {
  public:
    ClickPlayer(const std::string& sink, int channels, std::chrono::milliseconds period,
                const std::vector<std::string>& env) {
        pid_ =
            spawn({"pacat", "--playback", "-d", sink, "--raw", "--format=float32le", "--rate=48000",
                   "--channels=" + std::to_string(channels), "--latency-msec=10"},
                  env, true, &fd_);
        if (pid_ <= 0) return;
        thread_ = std::thread([this, period, channels] {
            std::vector<float> block(size_t(channels) * 48 * 5, 0.0f);  // 5 ms
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

// parec on `source` in raw float at `rate` with `channels`, `latencyMs` fragments, read from a
// pipe into a click detector: the anchor. Stopped by its PID.
class ParecReader {
  public:
    ParecReader(const std::string& source, int rate, int channels, int latencyMs,
                const std::vector<std::string>& env, ClickDetector& detector)
        : detector_(detector) {
        pid_ = spawn({"parec", "-d", source, "--raw", "--channels=" + std::to_string(channels),
                      "--format=float32le", "--rate=" + std::to_string(rate),
                      "--latency-msec=" + std::to_string(latencyMs)},
                     env, false, &fd_);
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

}  // namespace ovra::bench
