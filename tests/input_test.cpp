// The caller's bytes to the queue of keys: bounded, and a cursor report
// or a device-attributes answer counts only while a probe waits for one.
#include "OpenDoor.h"
#include "input.h"

#include <gtest/gtest.h>

namespace {

struct InputCase {
    const char* name;
    std::string bytes;
    bool probing;
    std::size_t keys;             // queued after
    std::optional<od::Size> size; // the screen's size taken
    int last_code = 0;            // the last key's code; 0: not looked at
};

void PrintTo(const InputCase& c, std::ostream* os) {
    *os << c.name;
}

class Input : public testing::TestWithParam<InputCase> {};

TEST_P(Input, QueuesKeysAndTakesReports) {
    const InputCase& c = GetParam();
    od::KeyDecoder decoder;
    std::deque<od::Key> keys;
    // Fed in reads of up to 4096 bytes, as the wait reads them.
    for (std::size_t at = 0; at < c.bytes.size(); at += 4096)
        (void)od::take_input(decoder, keys, std::string_view(c.bytes).substr(at, 4096), c.probing);
    EXPECT_EQ(keys.size(), c.keys);
    if (c.last_code && !keys.empty()) {
        EXPECT_EQ(keys.back().code, c.last_code);
    }
    int rows = 0, cols = 0;
    ASSERT_EQ(decoder.take_report(rows, cols), c.size.has_value());
    if (c.size) {
        EXPECT_EQ(rows, c.size->rows);
        EXPECT_EQ(cols, c.size->cols);
    }
}

const std::string flood(100000, 'a');

INSTANTIATE_TEST_SUITE_P(
    Bytes, Input,
    testing::Values(InputCase{"AskedReport", "x\x1b[25;80R", true, 1, od::Size{25, 80}},
                    InputCase{"UnaskedReportIsNoKeyAndNoSize", "x\x1b[5;1Ry", false, 2,
                              std::nullopt},
                    InputCase{"FloodIsBounded", flood, false, od::max_queued_keys, std::nullopt},
                    InputCase{"ReportAfterAFlood", flood + "\x1b[30;100R", true,
                              od::max_queued_keys, od::Size{30, 100}},
                    // A CTerm answer decides what 127 is only while a probe waits.
                    InputCase{"UnaskedAnswerLeavesBackspace", "\x1b[=67;84;101;114;109;1;316c\x7f",
                              false, 1, std::nullopt, 8},
                    InputCase{"AskedAnswerMakesDelete", "\x1b[=67;84;101;114;109;1;316c\x7f", true,
                              1, std::nullopt, OD_KEY_DELETE}),
    [](const testing::TestParamInfo<InputCase>& info) { return std::string(info.param.name); });

TEST(Input, SizesAreClamped) {
    od::Size s = od::clamp_size({0, 65535});
    EXPECT_EQ(s.rows, 1);
    EXPECT_EQ(s.cols, 9999);
}

} // namespace
