// Hosts that pass NULL where a callback or an out-pointer belongs: never a crash.
#include "MicTestSupport.h"
#include "interface/ErrorRecord.h"

namespace ovra::test {
namespace {

using NullArguments = SimTest;

TEST_F(NullArguments, StartsWithoutACallbackAnswerOnceOrNotAtAllAndStartNothing) {
    const std::string noStatus = " called without a status callback\n";
    const std::string noData = "Failed to start capture: no data callback\n";
    const struct {
        decltype(&ov_start_mic) start;
        bool dataGiven, statusGiven;
        std::string line;
        int32_t status;  // 0: no status call
    } rows[] = {
        {ov_start_system_audio, true, false, "Error: ov_start_system_audio" + noStatus, 0},
        {ov_start_system_audio, false, false, "Error: ov_start_system_audio" + noStatus, 0},
        {ov_start_system_audio, false, true, "[tap] " + noData, -3},
        {ov_start_mic, true, false, "Error: ov_start_mic" + noStatus, 0},
        {ov_start_mic, false, true, "[mic] " + noData, -3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        fresh();
        std::vector<int32_t> statuses;
        const std::string recordBefore = lastMicErrorDescription();
        EXPECT_EQ(linesOf([&] {
                      row.start(row.dataGiven ? ignoreData : nullptr, nullptr,
                                row.statusGiven ? recordStatus : nullptr, &statuses);
                  }),
                  std::vector<std::string>{row.line});
        EXPECT_EQ(statuses, row.status ? std::vector<int32_t>{row.status} : std::vector<int32_t>{});
        EXPECT_TRUE(journal().entries().empty()) << "nothing was asked of the platform";
        EXPECT_EQ(lastMicErrorDescription(), recordBefore);
    }
}

TEST_F(NullArguments, LastMicErrorWithNullOutPointersDoesNothing) {
    setLastMicErrorDescription("engine failed");
    uint8_t* buf = reinterpret_cast<uint8_t*>(&buf);
    int32_t len = -7;
    ov_get_last_mic_error(nullptr, &len);
    EXPECT_EQ(len, -7);
    ov_get_last_mic_error(&buf, nullptr);
    EXPECT_EQ(buf, reinterpret_cast<uint8_t*>(&buf));
    ov_get_last_mic_error(nullptr, nullptr);
    EXPECT_EQ(lastError(), "engine failed");  // still there to be copied out
}

}  // namespace
}  // namespace ovra::test
