// How a host lives with the library, on one private PulseAudio: a slow data callback, many
// start/stop cycles, and how it ends, in a process of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e/AudioHost.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

// A host whose data callback is slow: one that keeps up on average gets every sample, in larger
// chunks while it catches up; one that then stalls loses a bounded stretch, told in one line.
class SlowHost : public WithHostAudio {};

std::vector<std::string> dropLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.find("Dropped") != std::string::npos) out.push_back(l);
    return out;
}

TEST_F(SlowHost, ThirtyMillisecondsPerCallbackGetsEverySampleAndAStallLosesABoundedStretch) {
    for (const Capture kind : {Capture::systemAudio, Capture::mic}) {
        const char* prefix = kind == Capture::mic ? "[mic] Dropped " : "[tap] Dropped ";
        SCOPED_TRACE(prefix);
        AudioHost host(kind);
        host.delayMs = host.steadyDelayMs = 30;
        size_t heard = 0;
        double elapsed = 0;
        const auto steady = stderrLinesOf([&] {
            host.start();
            ASSERT_TRUE(host.waitForSamples(1, 5000ms));
            std::this_thread::sleep_for(1000ms);
            const size_t from = host.sampleCount();
            const auto began = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(10s);
            heard = host.sampleCount() - from;
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        });
        EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        // Up to one longest cycle (100 ms) may still be on its way at either end.
        EXPECT_NEAR(double(heard), elapsed * 16000, 16000 * 0.25);
        EXPECT_EQ(dropLines(steady), std::vector<std::string>{});

        const auto lines = stderrLinesOf([&] {
            host.steadyDelayMs = 0;
            host.delayMs = 3000;  // the next callback stalls for 3 s, the ones after are quick
            std::this_thread::sleep_for(5000ms);
            host.stop();
        });
        const auto drops = dropLines(lines);
        ASSERT_EQ(drops.size(), 1u) << testing::PrintToString(lines);
        EXPECT_EQ(drops[0].rfind(prefix, 0), 0u) << drops[0];
        // "... frames (S s) of audio: ...": what the buffers could not hold of the 3 s stall.
        const double seconds = std::stod(drops[0].substr(drops[0].find('(') + 1));
        EXPECT_GT(seconds, 0.1) << drops[0];  // the server holds some of it too
        EXPECT_LT(seconds, 2.9) << drops[0];
        EXPECT_EQ(host.badSizes, 0);
    }
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kCycles = 200;  // sanitized code is slower, and its allocator keeps freed memory
constexpr bool kMeasureMemory = false;
#else
constexpr int kCycles = 1000;
constexpr bool kMeasureMemory = true;
#endif
constexpr int kWarmUp = 30;

struct Footprint {
    size_t fds, threads, clients;
    long residentKiB;
};

class Leaks : public WithHostAudio {
  protected:
    Footprint now() {
        std::string clients;
        server.pactl({"list", "short", "clients"}, &clients);
        long pages = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        return {entriesIn("/proc/self/fd"), entriesIn("/proc/self/task"),
                size_t(std::count(clients.begin(), clients.end(), '\n')),
                resident * (sysconf(_SC_PAGESIZE) / 1024)};
    }
    // Runs `cycle`, which says whether it worked, kWarmUp times, then kCycles times, and compares
    // what is left with the footprint after warm-up (threads ending on their own get a moment).
    void expectNoGrowth(const std::function<bool()>& cycle) {
        int failures = 0;
        for (int i = 0; i < kWarmUp; ++i) failures += !cycle();
        std::this_thread::sleep_for(300ms);
        const Footprint before = now();
        for (int i = 0; i < kCycles; ++i) failures += !cycle();
        EXPECT_EQ(failures, 0);
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
    }
};

TEST_F(Leaks, StartStopCyclesOfEachCaptureAndScreenshotsLeaveNothingBehind) {
    for (const Capture kind : {Capture::systemAudio, Capture::mic}) {
        SCOPED_TRACE(kind == Capture::mic ? "mic" : "system audio");
        stderrLinesOf([&] {
            expectNoGrowth([&] {
                AudioHost host(kind);
                host.start();
                host.stop();
                return host.statusCodes() == std::vector<int32_t>{0};
            });
        });
    }
    SCOPED_TRACE("screenshots");
    expectNoGrowth([] {
        uint8_t* buf = nullptr;
        int32_t len = 0;
        const bool shot = Library::get().captureScreen(&buf, &len) == 0;
        Library::get().freeBuffer(buf);
        return shot;
    });
}

class HostEnds : public WithHostAudio {
  protected:
    const std::string log = server.dir() + "/host.log";
};

TEST_F(HostEnds, AHostThatUnloadedTheLibraryOutlivesTheServerGoingAndComingBack) {
    ChildProcess host({OVRA_E2E_HOST, "unload"}, server.env(), log);
    auto output = [&] { return readFile(log); };
    ASSERT_TRUE(waitUntil([&] { return output().find("unloaded") != std::string::npos; }, 20000ms))
        << output();
    server.kill();  // libpulse's thread in the host sees its connection end
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(host.wait(), 0) << output();
    EXPECT_NE(output().find("done"), std::string::npos) << output();
}

// Python at exit ends the threads that call into it with pthread_exit: the unwinding must go
// through the library, never abort ("FATAL: exception not rethrown"). A thread calling in after the
// interpreter was torn down can still crash inside Python (PyThreadState_New, CPython 3.11): that
// is counted and shown, not the library's to prevent.
TEST_F(HostEnds, ExitWithBothCapturesRunningEndsCleanlyFromCAndWithoutAbortFromPython) {
    struct Row {
        const char* name;
        std::vector<std::string> argv;
        int runs;
        bool interpreterRaceTolerated;
    };
    const Row rows[] = {
        {"C host calling exit()", {OVRA_E2E_HOST, "exit"}, 3, false},
        {"Python host leaving the interpreter",
         {"/usr/bin/python3", OVRA_EXIT_HOST_SCRIPT, OVRA_LIBRARY_PATH},  // Debian's, not PATH's
         20,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // A sanitized library cannot be loaded into an interpreter built without the sanitizer.
        if (row.interpreterRaceTolerated) continue;
#endif
        ASSERT_TRUE(std::filesystem::exists(row.argv[0])) << row.argv[0];
        int crashedInsideTheInterpreter = 0;
        for (int run = 0; run < row.runs; ++run) {
            std::string output;
            int signal = 0;
            const int code = runToEnd(row.argv, server.env(), log, &output, &signal);
            EXPECT_EQ(output.find("FATAL"), std::string::npos) << output;
            EXPECT_NE(signal, SIGABRT) << output;
            if (row.interpreterRaceTolerated && signal == SIGSEGV) {
                ++crashedInsideTheInterpreter;
                continue;
            }
            EXPECT_EQ(code, 0) << "run " << run << ", signal " << signal << ":\n" << output;
        }
        if (crashedInsideTheInterpreter > 0)
            std::printf("%s: %d of %d runs crashed inside the torn-down interpreter\n", row.name,
                        crashedInsideTheInterpreter, row.runs);
        EXPECT_LT(crashedInsideTheInterpreter, row.runs / 2);
    }
}

}  // namespace
