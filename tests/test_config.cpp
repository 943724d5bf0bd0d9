// test_config.cpp -- the configuration's value readers.
#include <gtest/gtest.h>

#include "config.h"

TEST(Config, PostKeysTakeYesOrNoAndAWholeNumberOfPoints) {
    int keep = -1;
    EXPECT_TRUE(config_keep_alive_parse("", &keep) == 0 && keep == 1);
    EXPECT_TRUE(config_keep_alive_parse("No", &keep) == 0 && keep == 0);
    size_t max = 7;
    for (const char *bad : {"-1", "10000001", "12x", "1 2", " "})
        EXPECT_TRUE(config_max_post_points_parse(bad, &max) == -1 && max == 7) << bad;
    EXPECT_TRUE(config_max_post_points_parse(" 1000 ", &max) == 0 && max == 1000);
    EXPECT_TRUE(config_max_post_points_parse("", &max) == 0 && max == 0);
}
