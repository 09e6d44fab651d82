// The shared server connection: lazy, and never waiting on a server forever.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/PulseServer.h"
#include "platform/pulse/PulseConnection.h"

using namespace std::chrono_literals;
using ovra::e2e::PulseServer;
using ovra::pulse::PulseConnection;

namespace {

// Threads of this process named like the main loop's.
size_t loopThreads() {
    size_t n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "ovra-pulse") ++n;
    }
    return n;
}

std::string defaultSinkName(PulseConnection& connection) {
    PulseConnection::Lock lock(connection);
    pa_context* context = connection.ready(lock);
    if (!context) return "";
    std::string name;
    auto onInfo = [](pa_context*, const pa_server_info* info, void* out) {
        *static_cast<std::string*>(out) = info->default_sink_name ? info->default_sink_name : "";
    };
    connection.await(lock, pa_context_get_server_info(context, onInfo, &name));
    return name;
}

}  // namespace

// Both captures coming back after a restart is the end-to-end tests' part; here the listener is
// heard on the new context too, which they do not see (a returning server is announced anyway).
TEST(PulseConnection, ConnectsOnFirstUseAndReconnectsWithItsListenersToARestartedServer) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    PulseConnection connection;
    std::atomic<int> newSinks{0};
    const uint64_t token = connection.addListener(
        PA_SUBSCRIPTION_MASK_SINK, [&](pa_subscription_event_type_t e, uint32_t) {
            if ((e & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW) ++newSinks;
        });
    EXPECT_EQ(loopThreads(), 0u) << "making the object and adding a listener start nothing";
    ASSERT_EQ(defaultSinkName(connection), "speakers");
    EXPECT_EQ(loopThreads(), 1u) << "one main-loop thread once connected";
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=extra1"), 0);
    EXPECT_TRUE(ovra::e2e::waitUntil([&] { return newSinks == 1; }, 5000ms));

    server.kill();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(
        ovra::e2e::waitUntil([&] { return defaultSinkName(connection) == "speakers"; }, 10000ms));
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=extra2"), 0);
    EXPECT_TRUE(ovra::e2e::waitUntil([&] { return newSinks == 2; }, 5000ms)) << "still heard";

    connection.removeListener(token);
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=extra3"), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(newSinks, 2);
}

TEST(PulseConnection, AHungServerCostsNoMoreThanTheTimeout) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    PulseConnection connection(300ms);
    ASSERT_EQ(defaultSinkName(connection), "speakers");

    kill(server.pid(), SIGSTOP);
    {
        PulseConnection::Lock lock(connection);
        pa_context* context = connection.ready(lock);
        ASSERT_NE(context, nullptr) << "the context still looks ready";
        auto ignore = [](pa_context*, const pa_server_info*, void*) {};
        const auto began = std::chrono::steady_clock::now();
        EXPECT_FALSE(connection.await(lock, pa_context_get_server_info(context, ignore, nullptr)));
        EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    }
    PulseConnection fresh(300ms);
    {
        PulseConnection::Lock lock(fresh);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(fresh.ready(lock), nullptr) << "a connection the server never answers";
        EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    }
    kill(server.pid(), SIGCONT);
}
