// The permission gate in front of every microphone start: each status, the request and its
// answers, with the lines written and the one status call each start receives.
#include "MicTestSupport.h"

namespace ovra::test {
namespace {

std::string permissionLine(int64_t status) {
    return "[mic] Permission status: " + std::to_string(status) +
           " (0=notDetermined, 1=restricted, 2=denied, 3=authorized)\n";
}

class MicGateTest : public MicTest {};

// 3 is authorized; values outside 0..3 are treated the same way.
class MicGateStartsAtOnce : public MicTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(MicGateStartsAtOnce, LogsStatusThenStartsOnTheCallingThread) {
    permission().setStatus(GetParam());
    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    const auto out = lines(testing::internal::GetCapturedStderr());

    EXPECT_EQ(out, concat({{permissionLine(GetParam())}, startLines("48000.0")}));
    const auto statuses = host.statuses();
    ASSERT_EQ(statuses.size(), 1u);  // answered before ov_start_mic returned
    EXPECT_EQ(statuses[0].status, 0);
    EXPECT_EQ(statuses[0].user, host.statusUser());
    EXPECT_EQ(statuses[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(journal().entriesStartingWith("requestAccess").empty());
    EXPECT_EQ(engines().count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AuthorizedAndUnknown, MicGateStartsAtOnce,
                         ::testing::Values(int64_t(3), int64_t(7), int64_t(-1)));

class MicGateRefuses : public MicTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(MicGateRefuses, RestrictedOrDeniedAnswersMinus4WithoutStarting) {
    permission().setStatus(GetParam());
    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    const auto out = lines(testing::internal::GetCapturedStderr());

    EXPECT_EQ(out, (std::vector<std::string>{permissionLine(GetParam()),
                                             "[mic] Microphone permission denied (status: " +
                                                 std::to_string(GetParam()) + ")\n"}));
    const auto statuses = host.statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, -4);
    EXPECT_EQ(statuses[0].user, host.statusUser());
    EXPECT_EQ(engines().count(), 0u);

    // The registry was not consulted: once allowed, a start begins from nothing.
    permission().setStatus(3);
    MicHost later;
    later.start();
    ASSERT_EQ(later.statuses().size(), 1u);
    EXPECT_EQ(later.statuses()[0].status, 0);
}

INSTANTIATE_TEST_SUITE_P(RestrictedAndDenied, MicGateRefuses,
                         ::testing::Values(int64_t(1), int64_t(2)));

TEST_F(MicGateTest, UndeterminedAsksAndStartsOnTheCompletionThreadWhenGranted) {
    permission().setStatus(0);
    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
              (std::vector<std::string>{permissionLine(0),
                                        "[mic] Requesting microphone permission...\n"}));
    EXPECT_TRUE(host.statuses().empty());
    EXPECT_EQ(permission().pendingRequests(), 1u);
    EXPECT_EQ(engines().count(), 0u);

    testing::internal::CaptureStderr();
    std::thread::id completionThread;
    std::thread t = permission().completeNextAsync(true);
    completionThread = t.get_id();
    t.join();
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
              concat({{"[mic] Microphone permission granted by user\n"}, startLines("48000.0")}));
    const auto statuses = host.statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, 0);
    EXPECT_EQ(statuses[0].user, host.statusUser());
    EXPECT_EQ(statuses[0].thread, completionThread);

    // The stored data callback and user pointer are the ones the session delivers to.
    ASSERT_TRUE(engines().latest()->feed(tone(440, 0.5, 48000, 0, 4096)));
    EXPECT_GT(host.chunkCount(), 0u);
    EXPECT_EQ(MicHost::strayCalls.load(), 0);
}

TEST_F(MicGateTest, UndeterminedRefusedAtTheRequestAnswersMinus4) {
    permission().setStatus(0);
    MicHost host;
    host.start();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(permission().completeNext(false));
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
              (std::vector<std::string>{"[mic] Microphone permission denied by user\n"}));
    const auto statuses = host.statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, -4);
    EXPECT_EQ(statuses[0].user, host.statusUser());
    EXPECT_NE(statuses[0].thread, std::this_thread::get_id());
    EXPECT_EQ(engines().count(), 0u);
}

TEST_F(MicGateTest, UnansweredRequestNeverAnswersAndAStopDoesNotCancelIt) {
    permission().setStatus(0);
    MicHost host;
    host.start();
    testing::internal::CaptureStderr();
    ov_stop_mic();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
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

TEST_F(MicGateTest, EachRequestRunsItsOwnStartAndTheSecondFindsTheFirstRunning) {
    permission().setStatus(0);
    MicHost first, second;
    first.start();
    second.start();
    EXPECT_EQ(permission().pendingRequests(), 2u);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(permission().completeNext(true));
    ASSERT_TRUE(permission().completeNext(true));
    const auto out = lines(testing::internal::GetCapturedStderr());
    EXPECT_EQ(out.back(), "[mic] Mic capture already running\n");
    EXPECT_EQ(first.statuses()[0].status, 0);
    EXPECT_EQ(second.statuses()[0].status, -1);
    EXPECT_EQ(engines().count(), 1u);
}

TEST_F(MicGateTest, AlreadyRunningAnswersMinus1AndKeepsTheFirstHostsCallbacks) {
    MicHost first, second;
    first.start();
    testing::internal::CaptureStderr();
    second.start();
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
              (std::vector<std::string>{kPermissionLine3, "[mic] Mic capture already running\n"}));
    ASSERT_EQ(second.statuses().size(), 1u);
    EXPECT_EQ(second.statuses()[0].status, -1);
    EXPECT_EQ(second.statuses()[0].user, second.statusUser());

    ASSERT_TRUE(engines().latest()->feed(tone(440, 0.5, 48000, 0, 4096)));
    EXPECT_GT(first.chunkCount(), 0u);
    EXPECT_EQ(second.chunkCount(), 0u);
    EXPECT_EQ(engines().count(), 1u);
}

TEST_F(MicGateTest, PermissionWithdrawnWhileRunningAnswersMinus4AndCaptureGoesOn) {
    MicHost first, second;
    first.start();
    permission().setStatus(2);
    second.start();
    ASSERT_EQ(second.statuses().size(), 1u);
    EXPECT_EQ(second.statuses()[0].status, -4);

    ASSERT_TRUE(engines().latest()->feed(tone(440, 0.5, 48000, 0, 4096)));
    EXPECT_GT(first.chunkCount(), 0u);
    EXPECT_TRUE(engines().latest()->isRunning());
}

TEST_F(MicGateTest, StopWithNothingRunningWritesOnlyItsLine) {
    testing::internal::CaptureStderr();
    ov_stop_mic();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
    EXPECT_TRUE(journal().entries().empty());
}

TEST_F(MicGateTest, StopThenStartBuildsANewSession) {
    MicHost first;
    first.start();
    testing::internal::CaptureStderr();
    ov_stop_mic();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
    MicHost second;
    second.start();
    ASSERT_EQ(second.statuses().size(), 1u);
    EXPECT_EQ(second.statuses()[0].status, 0);
    ASSERT_EQ(engines().count(), 2u);
    EXPECT_FALSE(engines().all()[0]->isRunning());

    ASSERT_TRUE(engines().latest()->feed(tone(440, 0.5, 48000, 0, 4096)));
    EXPECT_EQ(first.chunkCount(), 0u);
    EXPECT_GT(second.chunkCount(), 0u);
}

TEST_F(MicGateTest, AStartFromInsideAStatusCallbackWorks) {
    struct Nested {
        MicHost inner;
        int32_t outerStatus = 1;
    } nested;
    ov_start_mic([](const uint8_t*, int32_t, void*) {}, nullptr,
                 [](int32_t status, void* user) {
                     auto* n = static_cast<Nested*>(user);
                     n->outerStatus = status;
                     n->inner.start();  // no library lock is held here
                 },
                 &nested);
    EXPECT_EQ(nested.outerStatus, 0);
    ASSERT_EQ(nested.inner.statuses().size(), 1u);
    EXPECT_EQ(nested.inner.statuses()[0].status, -1);
}

}  // namespace
}  // namespace ovra::test
