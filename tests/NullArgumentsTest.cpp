// Hosts that pass NULL where a callback or an out-pointer belongs: a line and no start, or -3 with
// a line, or nothing at all; never a crash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OvraHelper.h"
#include "interface/ErrorRecord.h"
#include "platform/sim/SimAudioHardware.h"
#include "platform/sim/SimPlatform.h"

namespace ovra {
namespace {

void anyData(const uint8_t*, int32_t, void*) {}
void recordStatus(int32_t code, void* user) {
    static_cast<std::vector<int32_t>*>(user)->push_back(code);
}

TEST(NullArguments, StartsWithoutACallbackAnswerOnceOrNotAtAllAndStartNothing) {
    using Start = decltype(&ov_start_system_audio);
    struct Row {
        const char* name;
        Start start;
        bool dataGiven, statusGiven;
        std::string lines;
        std::vector<int32_t> statuses;
    };
    const Row rows[] = {
        {"system audio, no status callback",
         ov_start_system_audio,
         true,
         false,
         "Error: ov_start_system_audio called without a status callback\n",
         {}},
        {"system audio, neither callback",
         ov_start_system_audio,
         false,
         false,
         "Error: ov_start_system_audio called without a status callback\n",
         {}},
        {"system audio, no data callback",
         ov_start_system_audio,
         false,
         true,
         "[tap] Failed to start capture: no data callback\n",
         {-3}},
        {"mic, no status callback",
         ov_start_mic,
         true,
         false,
         "Error: ov_start_mic called without a status callback\n",
         {}},
        {"mic, no data callback",
         ov_start_mic,
         false,
         true,
         "[mic] Failed to start capture: no data callback\n",
         {-3}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto platform = std::make_shared<sim::SimPlatform>();
        installPlatform(platform);
        std::vector<int32_t> statuses;
        const std::string recordBefore = lastMicErrorDescription();
        testing::internal::CaptureStderr();
        row.start(row.dataGiven ? anyData : nullptr, nullptr,
                  row.statusGiven ? recordStatus : nullptr, &statuses);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.lines);
        EXPECT_EQ(statuses, row.statuses);
        EXPECT_EQ(platform->hardware().processTapCount(), 0u);
        EXPECT_EQ(platform->journal().entries(), std::vector<std::string>{})
            << "nothing was asked of the platform";
        EXPECT_EQ(lastMicErrorDescription(), recordBefore);
        installPlatform(nullptr);
    }
}

TEST(NullArguments, LastMicErrorWithNullOutPointersDoesNothing) {
    setLastMicErrorDescription("engine failed");
    uint8_t* buf = reinterpret_cast<uint8_t*>(&buf);
    int32_t len = -7;
    ov_get_last_mic_error(nullptr, &len);
    EXPECT_EQ(len, -7);
    ov_get_last_mic_error(&buf, nullptr);
    EXPECT_EQ(buf, reinterpret_cast<uint8_t*>(&buf));
    ov_get_last_mic_error(nullptr, nullptr);
    ov_get_last_mic_error(&buf, &len);  // still there to be copied out
    ASSERT_EQ(len, 13);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 13), "engine failed");
    ov_free_buffer(buf);
}

}  // namespace
}  // namespace ovra
