// A microphone start: the permission gate, and each failure of a start or of a restart.
#include <limits>
#include <optional>

#include "MicTestSupport.h"
#include "base/Log.h"
#include "interface/ErrorRecord.h"

namespace ovra::test {
namespace {

using MicStartTest = SimTest;

// Each status, with a session running or not, and the request's answer (also after a stop while
// it was pending): the lines, the one status call on the thread that decided, what runs.
TEST_F(MicStartTest, EveryPathOfTheGate) {
    const auto start = startLines("48000.0");
    const std::string asking = "[mic] Requesting microphone permission...\n";
    const std::string granted = "[mic] Microphone permission granted by user\n";
    const struct {
        int64_t permission;
        bool alreadyRunning;
        std::optional<bool> answer;      // the request's completion, on its own thread
        std::vector<std::string> after;  // the lines after the permission line
        int32_t status;
        bool stopWhileAsking = false;
    } rows[] = {
        {3, false, {}, start, 0},
        {7, false, {}, start, 0},  // values outside 0..3 are treated as authorized
        {-1, false, {}, start, 0},
        {1, false, {}, {"[mic] Microphone permission denied (status: 1)\n"}, -4},
        {2, false, {}, {"[mic] Microphone permission denied (status: 2)\n"}, -4},
        {0, false, true, concat({{asking, granted}, start}), 0},
        {0, false, false, {asking, "[mic] Microphone permission denied by user\n"}, -4},
        {0, false, true, concat({{asking, "[mic] Microphone capture stopped\n", granted}, start}),
         0, true},
        {3, true, {}, {"[mic] Mic capture already running\n"}, -1},
        // Withdrawn while a session runs: the gate answers before the registry is consulted.
        {2, true, {}, {"[mic] Microphone permission denied (status: 2)\n"}, -4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        fresh();
        MicHost first, host, next;
        if (row.alreadyRunning) first.start();
        permission().setStatus(row.permission);
        std::thread::id decided = std::this_thread::get_id();
        const auto out = linesOf([&] {
            host.start();
            if (!row.answer) return;
            EXPECT_TRUE(host.statuses().empty());
            if (row.stopWhileAsking) ov_stop_mic();
            std::thread t = permission().completeNextAsync(*row.answer);
            decided = t.get_id();
            t.join();
        });
        EXPECT_EQ(out, concat({{permissionLine(row.permission)}, row.after}));
        ASSERT_EQ(host.codes(), std::vector<int32_t>{row.status});
        EXPECT_EQ(host.statuses()[0].user, host.statusUser());
        EXPECT_EQ(host.statuses()[0].thread, decided);
        EXPECT_EQ(journal().entriesStartingWith("requestAccess").size(), row.answer ? 1u : 0u);
        ASSERT_EQ(engines().count(), row.alreadyRunning || row.status == 0 ? 1u : 0u);
        if (engines().count() == 0) continue;
        permission().setStatus(3);
        linesOf([&] { next.start(); });
        EXPECT_EQ(next.statuses().at(0).value, -1) << "a session is registered";
        // The data callback and user pointer stored by the start that won deliver the chunks.
        ASSERT_TRUE(engines().latest()->feed(tone(440, 0.5, 48000, 0, 4096)));
        EXPECT_EQ(first.chunkCount(), row.alreadyRunning ? 1u : 0u);
        EXPECT_EQ(host.chunkCount(), row.alreadyRunning ? 0u : 1u);
        EXPECT_EQ(MicHost::strayCalls.load(), 0);
    }
}

// Each failure first on a start, then on a restart of a running session.
TEST_F(MicStartTest, EachFailureLogsAnswersAndRecords) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string noDevice = "No input device available (AVAudioEngine returned 0Hz/0ch)";
    const std::string noMono =
        "Failed to create audio converter (failed to create mono format at infHz)";
    const std::string utf8 = "Le micro « Entrée » est occupé — réessayez";
    const std::string latin1 = "p\xe9riph\xe9rique occup\xe9";
    const std::string earlier = "an earlier failure";
    const struct {
        const char* name;
        AudioFormatInfo input;
        std::function<void()> arrange;
        std::string text;
        int32_t status;
        bool unexpected = false;  // not a MicError
        bool handedOut = true;    // text that is not UTF-8 is recorded but not handed out
    } rows[] = {
        {"no device", {0, 0, AudioCommonFormat::otherFormat, false}, {}, noDevice, -2},
        {"0 Hz", sim::simInputFormat(0, 2), {}, noDevice, -2},
        {"0 ch", sim::simInputFormat(48000, 0), {}, noDevice, -2},
        {"NaN", sim::simInputFormat(std::numeric_limits<double>::quiet_NaN(), 1), {}, noDevice, -2},
        {"negative", sim::simInputFormat(-44100, 1), {}, noDevice, -2},
        {"-inf", sim::simInputFormat(-inf, 1), {}, noDevice, -2},
        {"inf", sim::simInputFormat(inf, 1), {}, noMono, -3},
        {"converter", sim::simInputFormat(48000, 1), [&] { journal().failNext("makeConverter"); },
         "Failed to create audio converter (from 48000.0Hz/1ch to 16kHz/1ch)", -3},
        {"UTF-8", sim::simInputFormat(48000, 1), [&] { engines().failNextStart(utf8); },
         "AVAudioEngine failed to start: " + utf8, -5},
        {"Latin-1", sim::simInputFormat(48000, 1), [&] { engines().failNextStart(latin1); },
         "AVAudioEngine failed to start: " + latin1, -5, false, false},
        {"not a MicError", sim::simInputFormat(48000, 1),
         [&] { engines().throwOnNextStart("engine exploded"); }, "engine exploded", -3, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        engines().setInputFormat(row.input);
        if (row.arrange) row.arrange();
        MicHost host;
        const auto out = linesOf([&] { host.start(); });
        const auto [rate, channels] = std::pair(row.input.sampleRate, row.input.channelCount);
        auto middle =
            startLines(formatSampleRate(rate), int(channels), int(row.input.commonFormat));
        middle.pop_back();  // no start line; no tap format line either without a usable device
        if (!(std::isfinite(rate) && rate > 0 && channels > 0)) middle.pop_back();
        EXPECT_EQ(out, concat({{permissionLine(3)},
                               middle,
                               {std::string("[mic] Failed to start capture") +
                                (row.unexpected ? " (unexpected): " : ": ") + row.text + "\n"}}));
        EXPECT_EQ(host.codes(), std::vector<int32_t>{row.status});
        expectAllTornDown();
        // Only a failure at the engine's start comes after the tap was installed (and removed).
        EXPECT_EQ(journal().entriesStartingWith("installTapOnBus").size(),
                  row.status == -5 || row.unexpected ? 1u : 0u);
        // Its length counts bytes, not characters.
        const auto record = row.handedOut ? std::optional(row.text) : std::nullopt;
        EXPECT_EQ(lastError(), record);

        // On a restart: logged, the capture taken down, the session left registered (a start is
        // answered -1 until ov_stop_mic), nothing recorded; the engine that failed stays
        // observed, and its next change (an input that appeared) restarts the session.
        fresh();
        setLastMicErrorDescription(earlier);
        MicHost running, again, later;
        linesOf([&] { running.start(); });
        ASSERT_EQ(running.statuses().at(0).value, 0);
        const auto engine = engines().latest();
        engines().setInputFormat(row.input);
        if (row.arrange) row.arrange();
        EXPECT_EQ(postFromThreads(*platform, *engine),
                  concat({{"[mic] Audio configuration changed, restarting capture\n"},
                          middle,
                          {"[mic] Failed to restart: " + row.text + "\n"}}));
        expectAllTornDown(1);
        linesOf([&] { again.start(); });
        EXPECT_EQ(again.statuses().at(0).value, -1);
        EXPECT_TRUE(postFromThreads(*platform, *engine).empty()) << "the replaced engine";
        engines().setInputFormat(sim::simInputFormat(48000));
        const auto retried = postFromThreads(*platform, *engines().latest());
        ASSERT_EQ(retried.size(), 5u);
        EXPECT_EQ(retried.back(), "[mic] Restarted on new device\n");
        EXPECT_TRUE(engines().latest()->isRunning() && engines().latest()->hasTap());
        EXPECT_EQ(linesOf(ov_stop_mic),
                  (std::vector<std::string>{"[mic] Microphone capture stopped\n"}));
        expectAllTornDown();
        linesOf([&] { later.start(); });
        EXPECT_EQ(later.statuses().at(0).value, 0);
        EXPECT_EQ(lastError(), earlier) << "kept across a restart's failure and a start";
    }

    linesOf([&] {
        MicHost refused;
        permission().setStatus(2);
        refused.start();
        ov_stop_mic();
    });
    EXPECT_EQ(lastError(), earlier);
    EXPECT_EQ(lastError(), earlier);  // each call hands out a fresh copy
}

TEST(MicUtf8, WellFormedTextOnly) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain \xc3\xa9\xe2\x80\x94\xf0\x9f\x8e\xa4"));  // é — 🎤
    // Latin-1 é, cut short, overlong '/', a surrogate, above U+10FFFF, bad continuation.
    for (const char* bad :
         {"\xe9", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x28\xa1"})
        EXPECT_FALSE(isValidUtf8(bad)) << testing::PrintToString(std::string(bad));
}

}  // namespace
}  // namespace ovra::test
