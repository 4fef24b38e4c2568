// The progress figures both front ends show.
#include "tape/Progress.h"

#include <gtest/gtest.h>

TEST(Progress, FiguresFromTheCountersAndTheClock)
{
    using namespace std::chrono_literals;
    ProgressMeter meter;
    const auto start = ProgressMeter::Clock::time_point{} + 1h;
    meter.Start(start, 5);
    TapeCounters counters{1000, 10, 97656, 100, 0};  // 100,000,000 bytes
    counters.nMediumDone = 250;
    counters.nMediumTotal = 1000;
    counters.nFilesDone = 1;
    ProgressFigures f = meter.Take(counters, start + 10s);
    EXPECT_EQ(f.percent, 25);
    EXPECT_NEAR(f.mbPerSecond, 10.0, 0.01);
    EXPECT_NEAR(f.left, 30.0, 0.01);  // a quarter in ten seconds: thirty to go
    EXPECT_EQ(f.file, 2);
    EXPECT_EQ(f.files, 5u);
    EXPECT_EQ(ProgressLine(f), "file 2 of 5, 25 %, 10.0 MB/s, 0:10 elapsed, 0:30 left");

    // Without the medium's length, the files of the selection say how long the rest take;
    // with neither, nothing is guessed.
    counters.nMediumTotal = 0;
    f = meter.Take(counters, start + 10s);
    EXPECT_EQ(f.percent, -1);
    EXPECT_NEAR(f.left, 40.0, 0.01);
    meter.Start(start, 0);
    f = meter.Take(counters, start + 10s);
    EXPECT_LT(f.left, 0);
    EXPECT_EQ(ProgressLine(f), "10.0 MB/s, 0:10 elapsed");
    // Too early to tell: no time left is given from a first fraction of a second.
    meter.Start(start, 5);
    counters.nMediumTotal = 1000;
    EXPECT_LT(meter.Take(counters, start + 200ms).left, 0);
}

TEST(Progress, NumbersDurationsAndSelections)
{
    EXPECT_EQ(GroupedNumber(0), "0");
    EXPECT_EQ(GroupedNumber(999), "999");
    EXPECT_EQ(GroupedNumber(1000), "1,000");
    EXPECT_EQ(GroupedNumber(9939367), "9,939,367");
    EXPECT_EQ(GroupedNumber(18446744073709551615ull), "18,446,744,073,709,551,615");
    EXPECT_EQ(DurationText(42.4), "0:42");
    EXPECT_EQ(DurationText(725), "12:05");
    EXPECT_EQ(DurationText(3723), "1:02:03");
    EXPECT_EQ(DurationText(-3), "0:00");
    EXPECT_EQ(FilesToRead("*"), 0u);
    EXPECT_EQ(FilesToRead("0-1,5, 7-8"), 5u);
    EXPECT_EQ(FilesToRead("not a selection"), 0u);
}
