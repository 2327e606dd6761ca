// The parts of the driver that end-to-end runs cannot reach in reasonable time.
#include <gtest/gtest.h>

#include "tool/Driver.h"
#include "tool/ProgressLine.h"

namespace {

TEST(Driver, ElapsedTimeLineFromOneSecondOn) {
    EXPECT_EQ(tool::ElapsedTimeLine(0), "");
    EXPECT_EQ(tool::ElapsedTimeLine(999), "");
    EXPECT_EQ(tool::ElapsedTimeLine(1000), "Operation completed in 00:01\n");
    EXPECT_EQ(tool::ElapsedTimeLine(75400), "Operation completed in 01:15\n");
    EXPECT_EQ(tool::ElapsedTimeLine(2 * 3600 * 1000), "Operation completed in 120:00\n");
    EXPECT_EQ(tool::ElapsedTimeLine(5u - 4294967000u), "");  // a wrapped clock, 301 ms apart
}

TEST(Driver, ProgressTextTellsRateAndTimeLeftOnceThereIsARate) {
    const std::uint64_t mib = 1 << 20;
    EXPECT_EQ(tool::ProgressText("verifying", 0, 300 * mib, 0), "verifying: 0 / 300 MiB");
    EXPECT_EQ(tool::ProgressText("a.bin", 100 * mib, 300 * mib, 2000), "a.bin: 100 / 300 MiB, 50 MiB/s, 0:04 left");
    EXPECT_EQ(tool::ProgressText("a.bin", 10 * mib, 7000 * mib, 1000), "a.bin: 10 / 7000 MiB, 10 MiB/s, 11:39 left");
}

}  // namespace
