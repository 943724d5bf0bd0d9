// test_sender.cpp -- the sender's pacing: how long it pauses after each wake-up.
#include <gtest/gtest.h>

#include "outbox/sender.h"

static const int64_t SEC = 1000000;

TEST(Sender, FirstWakeUpPausesToCollectPoints) {
    EXPECT_EQ(sender_pause_usec(0, 12345 * SEC + 678, SEC), 50000);
}

TEST(Sender, LaterWakeUpWaitsForTheRestOfTheInterval) {
    // 0.2 s after the previous wake-up, with an interval of 1 s: 0.8 s to go.
    EXPECT_EQ(sender_pause_usec(100 * SEC + 500000, 100 * SEC + 700000, SEC), 800000);
    EXPECT_EQ(sender_pause_usec(2 * SEC - 1, 2 * SEC, SEC), 999999);
    // Sixteen minutes' worth of microseconds must not wrap.
    EXPECT_EQ(sender_pause_usec(1000 * SEC, 1000 * SEC, 900000000), 900000000);
}

TEST(Sender, IntervalAlreadyPassedOrNegativeGivesTheCollectPause) {
    EXPECT_EQ(sender_pause_usec(100 * SEC, 101 * SEC, SEC), 50000);     // exactly one interval
    EXPECT_EQ(sender_pause_usec(100 * SEC, 3700 * SEC, SEC), 50000);    // after an idle hour
    EXPECT_EQ(sender_pause_usec(100 * SEC, 100 * SEC + 1, -5), 50000);  // negative interval
    // No interval overflows the arithmetic, however large either way.
    for (int64_t interval : {INT64_MIN, INT64_MIN + 1, (int64_t)-1})
        EXPECT_EQ(sender_pause_usec(100 * SEC, 100 * SEC + 1, interval), 50000) << interval;
    EXPECT_EQ(sender_pause_usec(100 * SEC, 100 * SEC, 1), 1);
    EXPECT_EQ(sender_pause_usec(100 * SEC, 100 * SEC + 1, 1), 50000);
    EXPECT_EQ(sender_pause_usec(100 * SEC, 100 * SEC + 1, 900000000), 899999999);
    EXPECT_EQ(sender_pause_usec(100 * SEC, 100 * SEC + 1, INT64_MAX), INT64_MAX - 1);
}
