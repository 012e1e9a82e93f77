#include "timer.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(Timers, TheNearerDeadlineBoundsTheWait) {
    od::Timers timers;
    auto t0 = od::Clock::time_point{} + 1000s;
    timers.start(300, 60, t0);
    EXPECT_EQ(timers.poll_timeout(t0), 60000);
    EXPECT_EQ(timers.expired(t0 + 59s), od::Timers::Expired::None);
    EXPECT_EQ(timers.expired(t0 + 60s), od::Timers::Expired::TimeLeft);

    timers.start(5, -1, t0); // no time limit: inactivity alone
    EXPECT_EQ(timers.poll_timeout(t0 + 1s), 4000);
    timers.key_pressed(t0 + 3s);
    EXPECT_EQ(timers.poll_timeout(t0 + 3s), 5000);
    EXPECT_EQ(timers.expired(t0 + 7s), od::Timers::Expired::None);
    EXPECT_EQ(timers.expired(t0 + 8s), od::Timers::Expired::Inactivity);
    EXPECT_EQ(timers.poll_timeout(t0 + 9s), 0);

    timers.start(5, -1, t0); // a held Escape shortens the wait, then lets go
    timers.hold_escape(t0);
    EXPECT_EQ(timers.poll_timeout(t0), 250);
    EXPECT_FALSE(timers.escape_due(t0 + 249ms));
    EXPECT_TRUE(timers.escape_due(t0 + 250ms));
    timers.drop_escape();
    EXPECT_EQ(timers.poll_timeout(t0), 5000);
}

TEST(Timers, WarningsComeOnceAndAKeyReArmsTheIdleOne) {
    using E = od::Timers::Expired;
    od::Timers timers;
    auto t0 = od::Clock::time_point{} + 1000s;
    timers.start(120, 300, t0);
    timers.set_warning(60);
    timers.hold_warnings(false);               // the door waits for a key
    EXPECT_EQ(timers.poll_timeout(t0), 60000); // the idle warning is the nearest
    EXPECT_EQ(timers.expired(t0 + 60s), E::WarnInactivity);
    timers.warned(E::WarnInactivity);
    EXPECT_EQ(timers.expired(t0 + 61s), E::None);
    EXPECT_EQ(timers.seconds_idle_left(t0 + 61s), 59);
    timers.key_pressed(t0 + 100s); // re-armed from this key
    EXPECT_EQ(timers.poll_timeout(t0 + 100s), 60000);
    EXPECT_EQ(timers.expired(t0 + 160s), E::WarnInactivity);
    timers.warned(E::WarnInactivity);
    timers.key_pressed(t0 + 239s);
    EXPECT_EQ(timers.expired(t0 + 240s), E::WarnTimeLeft); // 60 s before the end
    timers.warned(E::WarnTimeLeft);
    EXPECT_EQ(timers.seconds_left(t0 + 240s), 60);
    EXPECT_EQ(timers.expired(t0 + 299s), E::WarnInactivity);
    EXPECT_EQ(timers.expired(t0 + 300s), E::TimeLeft);

    // A limit no longer than the warning gets none; 0 turns warnings off.
    timers.start(30, -1, t0);
    timers.set_warning(60);
    EXPECT_EQ(timers.poll_timeout(t0), 30000);
    EXPECT_EQ(timers.seconds_left(t0), -1);
    timers.start(300, 100, t0);
    timers.set_warning(0);
    EXPECT_EQ(timers.poll_timeout(t0), 100000);
}

TEST(Timers, ZeroInactivityMeansFiveMinutes) {
    od::Timers timers;
    auto t0 = od::Clock::time_point{} + 10s;
    timers.start(0, -1, t0);
    EXPECT_EQ(timers.poll_timeout(t0), 300000);
    // Sub-millisecond remainders round up, so the wait never wakes early.
    EXPECT_EQ(timers.poll_timeout(t0 + 299999500us), 1);
}

TEST(Timers, AWarningDueAtStartWaitsForTheFirstWaitForAKey) {
    using E = od::Timers::Expired;
    od::Timers timers;
    auto t0 = od::Clock::time_point{} + 1000s;
    timers.start(300, 60, t0); // a whole minute left, as BBSes write it
    timers.set_warning(60);
    // A probe's wait: the warning neither wakes it nor is given.
    EXPECT_EQ(timers.poll_timeout(t0 + 1s), 59000);
    EXPECT_EQ(timers.expired(t0 + 1s), E::None);
    timers.hold_warnings(false);
    EXPECT_EQ(timers.poll_timeout(t0 + 1s), 0);
    EXPECT_EQ(timers.expired(t0 + 1s), E::WarnTimeLeft);
    timers.warned(E::WarnTimeLeft);
    EXPECT_EQ(timers.seconds_left(t0 + 1s), 59);
    // Held again between waits: the inactivity warning waits too, and the
    // end itself does not.
    timers.start(100, 90, t0);
    timers.hold_warnings(true);
    EXPECT_EQ(timers.expired(t0 + 80s), E::None);
    EXPECT_EQ(timers.expired(t0 + 90s), E::TimeLeft);
    timers.hold_warnings(false);
    EXPECT_EQ(timers.expired(t0 + 80s), E::WarnTimeLeft);
}

} // namespace
