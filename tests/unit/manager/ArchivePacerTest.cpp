// Archive pacing against a clock the test moves by hand.
#include <gtest/gtest.h>

#include <memory>

#include "manager/SubscriptionRegistry.h"

namespace {

constexpr double kBase = 46000.25;  // a stream time in days
constexpr double kMs = processing::kDayMs;

class ArchivePacerTest : public ::testing::Test {
protected:
    std::shared_ptr<double> wall = std::make_shared<double>(45000.0);
    ArchivePacer pacer{[w = wall] { return *w; }};

    void Advance(double ms) { *wall += ms * kMs; }
};

TEST_F(ArchivePacerTest, FirstFrameAnchorsAndGoesOutAtOnce) {
    EXPECT_EQ(pacer.TargetTime(true), 0.0);
    EXPECT_FALSE(pacer.Synchronised());
    EXPECT_EQ(pacer.WaitBefore(kBase, true), 0);
    EXPECT_TRUE(pacer.Synchronised());
    Advance(15);
    EXPECT_NEAR(pacer.TargetTime(true), kBase + 15 * kMs, 1e-9);
    EXPECT_NEAR(pacer.TargetTime(false), kBase - 15 * kMs, 1e-9);
}

TEST_F(ArchivePacerTest, WaitIsTheDistanceToTheTimeLine) {
    pacer.WaitBefore(kBase, true);
    Advance(10);  // reading took 10 ms
    EXPECT_EQ(pacer.WaitBefore(kBase + 40 * kMs, true), 30);
    Advance(30);  // waited
    Advance(35);  // the next read was slow
    EXPECT_EQ(pacer.WaitBefore(kBase + 80 * kMs, true), 5);
}

TEST_F(ArchivePacerTest, BackwardMeasuresAgainstTheLowerEdge) {
    pacer.WaitBefore(kBase, false);
    Advance(10);
    EXPECT_EQ(pacer.WaitBefore(kBase - 40 * kMs, false), 30);
}

TEST_F(ArchivePacerTest, FrameBehindTheTimeLineResynchronises) {
    pacer.WaitBefore(kBase, true);
    Advance(100);
    EXPECT_EQ(pacer.WaitBefore(kBase + 40 * kMs, true), 0);  // 60 ms late
    // The time line now starts at the late frame: the next one is paced from it.
    EXPECT_EQ(pacer.WaitBefore(kBase + 80 * kMs, true), 40);
}

TEST_F(ArchivePacerTest, DirectionChangeResynchronises) {
    pacer.WaitBefore(kBase, true);
    Advance(10);
    EXPECT_EQ(pacer.WaitBefore(kBase - 40 * kMs, true), 0);  // against the direction
    EXPECT_EQ(pacer.WaitBefore(kBase - 80 * kMs, false), 40);
}

struct GapCase {
    double gapMs;
    int32_t wait;
    int32_t nextWait;  // wait of a frame 40 ms after the gap, read at once
};

class ArchivePacerGapTest : public ArchivePacerTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(ArchivePacerGapTest, LongGapsAreShortened) {
    const auto& c = GetParam();
    pacer.WaitBefore(kBase, true);
    const double after = kBase + c.gapMs * kMs;
    EXPECT_EQ(pacer.WaitBefore(after, true), c.wait);
    EXPECT_EQ(pacer.WaitBefore(after + 40 * kMs, true), c.nextWait);
}

INSTANTIATE_TEST_SUITE_P(Gaps, ArchivePacerGapTest,
                         ::testing::Values(GapCase{300, 300, 333},     // paced, not re-anchored
                                           GapCase{330, 330, 333},     // just under the cap
                                           GapCase{340, 333, 40},      // capped and re-anchored
                                           GapCase{1990, 333, 40},     // still capped
                                           GapCase{2010, 1, 40},       // jumped over
                                           GapCase{600000, 1, 40}));   // ten minutes: jumped over

}  // namespace
