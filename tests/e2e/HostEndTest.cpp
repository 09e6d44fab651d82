// How a host ends, in a process of its own against a private server: unloading after stopping,
// then the server going away and coming back; exit() with both captures running, from C and from
// Debian's own Python through ctypes.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "e2e/AudioHost.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

class HostEnds : public WithHostAudio {
  protected:
    HostEnds() : WithHostAudio(30) {}
    void SetUp() override {
        WithHostAudio::SetUp();
        char pattern[] = "/tmp/ovra-host-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // Runs `argv` as a host to its end; its exit code (-1 when a signal ended it, that signal in
    // `signal`), its output in `output`.
    int runHost(const std::vector<std::string>& argv, std::string* output, int* signal) {
        const std::string log = dir + "/host.log";
        std::filesystem::remove(log);
        ChildProcess host(argv, server.env(), log);
        const int code = host.wait();
        *signal = host.endingSignal();
        std::ifstream in(log);
        *output = std::string(std::istreambuf_iterator<char>(in), {});
        return code;
    }
    std::string dir;
};

TEST_F(HostEnds, AHostThatUnloadedTheLibraryOutlivesTheServerGoingAndComingBack) {
    const std::string log = dir + "/unload.log";
    ChildProcess host({OVRA_E2E_HOST, "unload"}, server.env(), log);
    auto output = [&] {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(waitUntil([&] { return output().find("unloaded") != std::string::npos; }, 20000ms))
        << output();
    server.kill();  // libpulse's thread in the host sees its connection end
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(host.wait(), 0) << output();
    EXPECT_NE(output().find("done"), std::string::npos) << output();
}

// Python at exit ends the threads that call back into it with pthread_exit: the forced unwinding
// must go through the library, never end in "FATAL: exception not rethrown" (an abort). A thread
// that calls in after the interpreter has been torn down can still crash inside Python itself
// (PyThreadState_New on a freed interpreter, CPython 3.11): that is counted and shown, not the
// library's to prevent; a host must stop its captures before it exits.
TEST_F(HostEnds, ExitWithBothCapturesRunningEndsCleanlyFromCAndWithoutAbortFromPython) {
    const std::string python = "/usr/bin/python3";  // Debian's own, not whatever PATH finds
    struct Row {
        const char* name;
        std::vector<std::string> argv;
        int runs;
        bool interpreterRaceTolerated;
    };
    const Row rows[] = {
        {"C host calling exit()", {OVRA_E2E_HOST, "exit"}, 3, false},
        {"Python host leaving the interpreter",
         {python, OVRA_EXIT_HOST_SCRIPT, OVRA_LIBRARY_PATH},
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
            const int code = runHost(row.argv, &output, &signal);
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
