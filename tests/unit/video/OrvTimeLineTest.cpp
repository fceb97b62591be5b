#include "video/OrvTimeLine.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using processing::kDayMs;
using processing::OrvTimeLine;

class OrvTimeLineTest : public ::testing::Test {
protected:
    double wall_ = 45000.0;
    OrvTimeLine line_{[this] { return wall_; }};
};

TEST_F(OrvTimeLineTest, AnchorTakesWallTimeAndCollapsesWindow) {
    line_.Anchor(44000.5);
    EXPECT_EQ(line_.Start(), wall_);
    EXPECT_EQ(line_.Base(), 44000.5);
    EXPECT_EQ(line_.Upper(), 44000.5);
    EXPECT_EQ(line_.Lower(), 44000.5);
}

TEST_F(OrvTimeLineTest, UpdateWidensWindowByScaledElapsedTime) {
    line_.Anchor(44000.5);
    wall_ += 250 * kDayMs;
    line_.Update();
    EXPECT_NEAR((line_.Upper() - 44000.5) / kDayMs, 250.0, 1e-3);
    EXPECT_NEAR((44000.5 - line_.Lower()) / kDayMs, 250.0, 1e-3);

    line_.SetSpeed(2.0);
    line_.Update();
    EXPECT_NEAR((line_.Upper() - 44000.5) / kDayMs, 500.0, 1e-3);
    // The base stays where it was anchored; only the window moves.
    EXPECT_EQ(line_.Base(), 44000.5);
}

TEST(OrvTimeLineClock, UtcClockIsCloseToLocalWithinAZoneOffset) {
    OrvTimeLine local;
    const double utc = processing::NowOleUtcDays();
    // Any zone lies within 14 hours of UTC; both clocks are in days.
    EXPECT_LT(std::fabs(local.WallTime() - utc), 14.0 / 24.0 + 1e-3);
    EXPECT_GT(utc, 45000.0);  // after 2023
}

}  // namespace
