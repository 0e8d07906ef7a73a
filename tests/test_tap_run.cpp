#include <gtest/gtest.h>

#include "run/tap_run.h"

TEST(SplitArguments, TabRunsCountAsOneAndEmptyFieldsVanish)
{
    EXPECT_TRUE(split_arguments("").empty());
    EXPECT_TRUE(split_arguments("\t\t").empty());
    auto v = split_arguments("\tprog\t\t/c\t-t\t37008\t");
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], "prog");
    EXPECT_EQ(v[1], "/c");
    EXPECT_EQ(v[3], "37008");
}
