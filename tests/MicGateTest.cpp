// The permission gate in front of every microphone start: each status, the request and its
// answers, with the lines written and the one status call each start receives.
#include <optional>

#include "MicTestSupport.h"

namespace ovra::test {
namespace {

class MicGateTest : public MicTest {};

// Each status, with a session already running or not, and the request's answer where the status
// is undetermined: the lines, the one status call on the thread that decided, what runs.
TEST_F(MicGateTest, EveryPathOfTheGate) {
    const auto start = startLines("48000.0");
    const std::string asking = "[mic] Requesting microphone permission...\n";
    const struct {
        int64_t permission;
        bool alreadyRunning;
        std::optional<bool> answer;      // the request's completion, on its own thread
        std::vector<std::string> after;  // the lines after the permission line
        int32_t status;
    } rows[] = {
        {3, false, {}, start, 0},
        {7, false, {}, start, 0},  // values outside 0..3 are treated as authorized
        {-1, false, {}, start, 0},
        {1, false, {}, {"[mic] Microphone permission denied (status: 1)\n"}, -4},
        {2, false, {}, {"[mic] Microphone permission denied (status: 2)\n"}, -4},
        {0, false, true, concat({{asking, "[mic] Microphone permission granted by user\n"}, start}),
         0},
        {0, false, false, {asking, "[mic] Microphone permission denied by user\n"}, -4},
        {3, true, {}, {"[mic] Mic capture already running\n"}, -1},
        // Withdrawn while a session runs: the gate answers before the registry is consulted.
        {2, true, {}, {"[mic] Microphone permission denied (status: 2)\n"}, -4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        fresh();
        MicHost first, host;
        if (row.alreadyRunning) first.start();
        permission().setStatus(row.permission);
        std::thread::id decided = std::this_thread::get_id();
        const auto out = linesOf([&] {
            host.start();
            if (!row.answer) return;
            EXPECT_TRUE(host.statuses().empty());
            std::thread t = permission().completeNextAsync(*row.answer);
            decided = t.get_id();
            t.join();
        });
        EXPECT_EQ(out, concat({{permissionLine(row.permission)}, row.after}));
        const auto statuses = host.statuses();
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0].status, row.status);
        EXPECT_EQ(statuses[0].user, host.statusUser());
        EXPECT_EQ(statuses[0].thread, decided);
        EXPECT_EQ(journal().entriesStartingWith("requestAccess").size(), row.answer ? 1u : 0u);
        ASSERT_EQ(engines().count(), row.alreadyRunning || row.status == 0 ? 1u : 0u);
        if (engines().count() == 0) continue;
        // The data callback and user pointer stored by the start that won deliver the chunks.
        ASSERT_TRUE(engines().latest()->feed(tone(440, 0.5, 48000, 0, 4096)));
        EXPECT_EQ(first.chunkCount(), row.alreadyRunning ? 1u : 0u);
        EXPECT_EQ(host.chunkCount(), row.alreadyRunning ? 0u : 1u);
        EXPECT_EQ(MicHost::strayCalls.load(), 0);
    }
}

TEST_F(MicGateTest, UnansweredRequestNeverAnswersAndAStopDoesNotCancelIt) {
    permission().setStatus(0);
    MicHost host;
    host.start();
    journal().clear();
    EXPECT_EQ(linesOf(ov_stop_mic),
              (std::vector<std::string>{"[mic] Microphone capture stopped\n"}));
    EXPECT_TRUE(journal().entries().empty());  // with nothing running, only the line
    EXPECT_TRUE(host.statuses().empty());
    EXPECT_EQ(engines().count(), 0u);

    // Answered only now: the start still happens and registers the session.
    ASSERT_TRUE(permission().completeNext(true));
    ASSERT_EQ(host.statuses().size(), 1u);
    EXPECT_EQ(host.statuses()[0].status, 0);
    permission().setStatus(3);
    MicHost second;
    second.start();
    EXPECT_EQ(second.statuses()[0].status, -1);
}

TEST_F(MicGateTest, AStartFromInsideAStatusCallbackWorks) {
    MicHost outer, inner;
    outer.onStatusCall = [&] { inner.start(); };  // no library lock is held here
    outer.start();
    EXPECT_EQ(outer.statuses().at(0).status, 0);
    ASSERT_EQ(inner.statuses().size(), 1u);
    EXPECT_EQ(inner.statuses()[0].status, -1);
}

}  // namespace
}  // namespace ovra::test
