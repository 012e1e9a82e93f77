#include "screen.h"

#include <gtest/gtest.h>

namespace {

TEST(Screen, OnlyAKnownWindowOfAnotherSizeChangesIt) {
    struct Case {
        od::Size in_use, link;
        bool changes;
    };
    const Case cases[] = {
        {{25, 80}, {30, 100}, true}, // a new window
        {{25, 80}, {25, 100}, true}, // one side is enough
        {{25, 80}, {25, 80}, false}, // SIGWINCH or NAWS again with the same size
        {{25, 80}, {0, 0}, false},   // a window the link cannot tell keeps a probed size
        {{25, 80}, {30, 0}, false},
    };
    for (const auto& c : cases) {
        auto size = od::changed_size(c.in_use, c.link);
        EXPECT_EQ(size.has_value(), c.changes) << c.link.rows << "x" << c.link.cols;
        if (size) {
            EXPECT_EQ(size->rows, c.link.rows);
            EXPECT_EQ(size->cols, c.link.cols);
        }
    }
}

} // namespace
