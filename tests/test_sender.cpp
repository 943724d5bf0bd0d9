// test_sender.cpp -- the sender's pacing: how long it pauses after each wake-up.
#include <gtest/gtest.h>

#include "config.h"
#include "delivery.h"
#include "sender.h"

static int64_t pause_for(timespec prev, timespec now, int64_t interval) {
    return sender_pause_usec(&prev, &now, interval);
}

TEST(Sender, FirstWakeUpPausesToCollectPoints) {
    EXPECT_EQ(pause_for({0, 0}, {12345, 678}, 1000000), 50000);
}

TEST(Sender, LaterWakeUpWaitsForTheRestOfTheInterval) {
    // 0.2 s after the previous wake-up, with an interval of 1 s: 0.8 s to go.
    EXPECT_EQ(pause_for({100, 500000000}, {100, 700000000}, 1000000), 800000);
    // Across a second boundary the nanosecond difference is negative and truncates toward
    // zero: 1 s - 999999.999 us is 1 us elapsed, not 0 or 2.
    EXPECT_EQ(pause_for({1, 999999999}, {2, 0}, 1000000), 999999);
    // Sixteen minutes' worth of microseconds must not wrap.
    EXPECT_EQ(pause_for({1000, 0}, {1000, 0}, 900000000), 900000000);
}

TEST(Sender, IntervalAlreadyPassedOrNegativeGivesTheCollectPause) {
    EXPECT_EQ(pause_for({100, 0}, {101, 0}, 1000000), 50000);   // exactly one interval
    EXPECT_EQ(pause_for({100, 0}, {3700, 0}, 1000000), 50000);  // after an idle hour
    EXPECT_EQ(pause_for({100, 0}, {100, 1000}, -5), 50000);     // negative interval
    // No interval overflows the arithmetic, however large either way.
    for (int64_t interval : {INT64_MIN, INT64_MIN + 1, (int64_t)-1})
        EXPECT_EQ(pause_for({100, 0}, {100, 1000}, interval), 50000) << interval;
    EXPECT_EQ(pause_for({100, 0}, {100, 0}, 1), 1);
    EXPECT_EQ(pause_for({100, 0}, {100, 1000}, 1), 50000);
    EXPECT_EQ(pause_for({100, 0}, {100, 1000}, 900000000), 899999999);
    EXPECT_EQ(pause_for({100, 0}, {100, 1000}, INT64_MAX), INT64_MAX - 1);
}

TEST(Sender, RetryWaitDoublesFromOneSecondOrTheIntervalUpToAMinute) {
    int64_t wait = 0;
    for (int64_t want : {1, 2, 4, 8, 16, 32, 60, 60})
        EXPECT_EQ(wait = delivery_backoff_next(wait, 300000), want * 1000000);
    EXPECT_EQ(delivery_backoff_next(0, 5000000), 5000000) << "starts at a longer interval";
    EXPECT_EQ(delivery_backoff_next(60000000, 900000000), 900000000) << "never sooner than it";
}

TEST(Sender, PostKeysTakeYesOrNoAndAWholeNumberOfPoints) {
    int keep = -1;
    EXPECT_TRUE(keep_alive_parse("", &keep) == 0 && keep == 1);
    EXPECT_TRUE(keep_alive_parse("No", &keep) == 0 && keep == 0);
    size_t max = 7;
    for (const char *bad : {"-1", "10000001", "12x", "1 2", " "})
        EXPECT_TRUE(max_post_points_parse(bad, &max) == -1 && max == 7) << bad;
    EXPECT_TRUE(max_post_points_parse(" 1000 ", &max) == 0 && max == 1000);
    EXPECT_TRUE(max_post_points_parse("", &max) == 0 && max == 0);
}
