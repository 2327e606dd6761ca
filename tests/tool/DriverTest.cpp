// The parts of the driver that end-to-end runs cannot reach in reasonable time.
#include <gtest/gtest.h>

#include "tool/Driver.h"

namespace {

TEST(Driver, ElapsedTimeLineFromOneSecondOn) {
    EXPECT_EQ(tool::ElapsedTimeLine(0), "");
    EXPECT_EQ(tool::ElapsedTimeLine(999), "");
    EXPECT_EQ(tool::ElapsedTimeLine(1000), "Operation completed in 00:01\n");
    EXPECT_EQ(tool::ElapsedTimeLine(75400), "Operation completed in 01:15\n");
    EXPECT_EQ(tool::ElapsedTimeLine(2 * 3600 * 1000), "Operation completed in 120:00\n");
    EXPECT_EQ(tool::ElapsedTimeLine(5u - 4294967000u), "");  // a wrapped clock, 301 ms apart
}

}  // namespace
