// Many start/stop cycles of each capture and many screenshots leave the process and the server as
// they were after warm-up: file descriptors, threads, the server's clients, resident memory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e/AudioHost.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kCycles = 200;  // sanitized code is slower, and its allocator keeps freed memory
constexpr bool kMeasureMemory = false;
#else
constexpr int kCycles = 1000;
constexpr bool kMeasureMemory = true;
#endif
constexpr int kWarmUp = 30;

size_t entriesIn(const char* dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

long residentKiB() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Footprint {
    size_t fds = 0, threads = 0, clients = 0;
    long residentKiB = 0;
};

class Leaks : public WithHostAudio {
  protected:
    Leaks() : WithHostAudio(300, true) {}
    Footprint now() {
        Footprint f;
        f.fds = entriesIn("/proc/self/fd");
        f.threads = entriesIn("/proc/self/task");
        std::string clients;
        server.pactl({"list", "short", "clients"}, &clients);
        for (char c : clients) f.clients += c == '\n';
        f.residentKiB = residentKiB();
        return f;
    }
    // Runs `cycle` kWarmUp times, then kCycles times, and compares what is left with the
    // footprint after warm-up (threads that end on their own are given a moment).
    void expectNoGrowth(const std::function<void()>& cycle) {
        for (int i = 0; i < kWarmUp; ++i) cycle();
        std::this_thread::sleep_for(300ms);
        const Footprint before = now();
        for (int i = 0; i < kCycles; ++i) cycle();
        Footprint after = now();
        waitUntil(
            [&] {
                after = now();
                return after.threads <= before.threads && after.fds <= before.fds;
            },
            3000ms);
        EXPECT_EQ(after.fds, before.fds);
        EXPECT_EQ(after.threads, before.threads);
        EXPECT_EQ(after.clients, before.clients);
        if (kMeasureMemory) {
            EXPECT_LE(after.residentKiB - before.residentKiB, 2048);
        }
        std::printf("fds %zu->%zu threads %zu->%zu clients %zu->%zu resident %ld->%ld KiB\n",
                    before.fds, after.fds, before.threads, after.threads, before.clients,
                    after.clients, before.residentKiB, after.residentKiB);
    }
};

TEST_F(Leaks, StartStopCyclesOfEachCaptureAndScreenshotsLeaveNothingBehind) {
    for (const Capture kind : {Capture::systemAudio, Capture::mic}) {
        SCOPED_TRACE(kind == Capture::mic ? "mic" : "system audio");
        int failures = 0;
        stderrLinesOf([&] {
            expectNoGrowth([&] {
                AudioHost host(kind);
                host.start();
                failures += host.statusCodes() != std::vector<int32_t>{0};
                host.stop();
            });
        });
        EXPECT_EQ(failures, 0);
    }
    SCOPED_TRACE("screenshots");
    const auto& lib = Library::get();
    int failures = 0;
    expectNoGrowth([&] {
        uint8_t* buf = nullptr;
        int32_t len = 0;
        if (lib.captureScreen(&buf, &len) != 0) ++failures;
        lib.freeBuffer(buf);
    });
    EXPECT_EQ(failures, 0);
}

}  // namespace
