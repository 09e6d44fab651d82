// How a host ends, in a process of its own against a private server: unloading after stopping,
// then the server going away and coming back; exit() with both captures running, from C and from
// Debian's own Python through ctypes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "e2e/AudioHost.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

class HostEnds : public WithPulseServer {
  protected:
    void SetUp() override {
        WithPulseServer::SetUp();
        ASSERT_GE(server.addMicrophone("mic1", 48000, 1), 0);
        ASSERT_EQ(server.pactl({"set-default-source", "mic1"}), 0);
        server.play(server.makeTone("t440", {.frequency = 440, .rate = 48000, .channels = 1}),
                    "mic1.sink");
        server.play(server.makeTone("t1000", {.frequency = 1000}), "speakers");
        char pattern[] = "/tmp/ovra-host-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // Runs `argv` as a host to its end; its exit code (-1 when a signal ended it), its output in
    // `output`.
    int runHost(const std::vector<std::string>& argv, std::string* output) {
        const std::string log = dir + "/host.log";
        std::filesystem::remove(log);
        ChildProcess host(argv, server.env(), log);
        const int code = host.wait();
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

TEST_F(HostEnds, ExitWithBothCapturesRunningEndsCleanlyFromCAndFromPython) {
    const std::string python = "/usr/bin/python3";  // Debian's own, not whatever PATH finds
    struct Row {
        const char* name;
        std::vector<std::string> argv;
        int runs;
    };
    const Row rows[] = {
        {"C host calling exit()", {OVRA_E2E_HOST, "exit"}, 3},
        {"Python host leaving the interpreter",
         {python, OVRA_EXIT_HOST_SCRIPT, OVRA_LIBRARY_PATH},
         20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.argv[0] == python && !std::filesystem::exists(python)) {
            ADD_FAILURE() << python << " is missing";
            continue;
        }
        for (int run = 0; run < row.runs; ++run) {
            std::string output;
            const int code = runHost(row.argv, &output);
            EXPECT_EQ(code, 0) << "run " << run << ":\n" << output;
            EXPECT_EQ(output.find("FATAL"), std::string::npos) << output;
            if (code != 0) break;
        }
    }
}

}  // namespace
