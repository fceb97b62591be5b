// Archive delivery through a scripted manager: pacing, direction, single step,
// failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <thread>

#include "manager/SubscriptionRegistry.h"
#include "unit/manager/FakeModule.h"
#include "unit/manager/FakeFrameManager.h"
#include "unit/manager/RecordingSubscriber.h"

namespace {

using std::chrono::milliseconds;
constexpr auto kCallback = &RecordingSubscriber::Callback;
constexpr double kBase = 46000.5;
constexpr double kMs = processing::kDayMs;

// A recording of `count` frames of one camera, `spacingMs` apart, read in either
// direction from its start (forward) or its end (backward).
FakeFrameManager::ArchiveScript Recording(int32_t camera, int count, double spacingMs) {
    auto next = std::make_shared<std::atomic<int>>(0);
    return [=](const FakeFrameManager::ArchiveCall& call) -> FakeFrameManager::ArchiveAnswer {
        const int i = next->fetch_add(1);
        if (i >= count) {
            return {-8, 0, {}};
        }
        const int step = call.forward ? i : count - 1 - i;
        return {0, 1, FakeFrameManager::MakeFrame(camera, kBase + step * spacingMs * kMs, 16, uint8_t(i))};
    };
}

std::vector<double> IntervalsMs(const std::vector<Delivery>& deliveries) {
    std::vector<double> out;
    for (std::size_t i = 1; i < deliveries.size(); ++i) {
        out.push_back(std::chrono::duration<double, std::milli>(deliveries[i].at - deliveries[i - 1].at).count());
    }
    return out;
}

class ArchiveDeliveryTest : public ::testing::Test {
protected:
    FakeModule module;
    FakeFrameManager manager;
    SubscriptionRegistry registry;

    void SetUp() override { registry.Attach(&module, &manager); }
    void TearDown() override { registry.Stop(); }

    int32_t Mode() {
        int32_t mode = 0;
        registry.GetDeliveryMode(mode);
        return mode;
    }

    // Plays a 40 ms recording and checks that it comes out at its recorded rate.
    void ExpectPacedPlayback(bool forward) {
        constexpr int kFrames = 16;
        manager.SetArchiveScript(Recording(9, kFrames, 40.0));
        RecordingSubscriber sub;
        const AtScopeExit stop([this] { registry.Stop(); });
        registry.SubscribeArchive(9, nullptr, 0, 0, kCallback, &sub);
        ASSERT_TRUE(WaitUntil([&] { return sub.Count() >= kFrames; }));
        const auto deliveries = sub.Deliveries();
        for (int i = 0; i < kFrames; ++i) {
            const int step = forward ? i : kFrames - 1 - i;
            EXPECT_NEAR(deliveries[i].time, kBase + step * 40.0 * kMs, 1e-9) << i;
        }
        const auto intervals = IntervalsMs(deliveries);
        const double mean = std::accumulate(intervals.begin(), intervals.end(), 0.0) / intervals.size();
        double variance = 0.0;
        for (const double v : intervals) {
            variance += (v - mean) * (v - mean);
        }
        const double stddev = std::sqrt(variance / intervals.size());
        const auto [lo, hi] = std::minmax_element(intervals.begin(), intervals.end());
        std::printf("[ pacing ] %s, recorded every 40 ms: mean %.2f ms, stddev %.2f ms, min %.2f, max %.2f\n",
                    forward ? "forward" : "backward", mean, stddev, *lo, *hi);
        // The time line is absolute: a late frame is made up by the next, so the whole
        // run stays within a few milliseconds of the recording even on a loaded host.
        EXPECT_NEAR(mean, 40.0, 4.0);
        EXPECT_GT(*lo, 10.0);
        EXPECT_LT(*hi, 80.0);
        for (const auto& call : manager.ArchiveCalls()) {
            EXPECT_EQ(call.forward, forward);
            EXPECT_EQ(call.requestValue, forward ? 1 : 0);
            EXPECT_EQ(call.channel, 0);
            EXPECT_EQ(call.requestedFormat, 3);
        }
    }
};

TEST_F(ArchiveDeliveryTest, ForwardPlaybackKeepsTheRecordedRate) { ExpectPacedPlayback(true); }

TEST_F(ArchiveDeliveryTest, BackwardPlaybackKeepsTheRecordedRate) {
    registry.SetDeliveryDirection(0);
    ASSERT_EQ(Mode(), 2);
    ExpectPacedPlayback(false);
}

TEST_F(ArchiveDeliveryTest, ReadsAimAtTheTimeLineOnceAnchored) {
    manager.SetArchiveScript(Recording(2, 4, 40.0));
    RecordingSubscriber sub;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeArchive(2, nullptr, 0, 0, kCallback, &sub);
    ASSERT_TRUE(WaitUntil([&] { return sub.Count() >= 4; }));
    const auto calls = manager.ArchiveCalls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0].targetTime, 0.0);  // nothing to aim at before the first frame
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_GE(calls[i].targetTime, kBase) << i;
        EXPECT_LT(calls[i].targetTime, kBase + 200 * kMs) << i;
    }
    EXPECT_EQ(calls[0].cameras, (std::vector<int32_t>{2}));
    EXPECT_DOUBLE_EQ(registry.LastArchiveTime(), kBase + 3 * 40.0 * kMs);
}

TEST_F(ArchiveDeliveryTest, SingleStepDeliversOneFrameThenStops) {
    manager.SetArchiveScript(Recording(1, 50, 40.0));
    registry.SetDeliveryMode(3);
    RecordingSubscriber sub;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &sub);
    ASSERT_TRUE(WaitUntil([&] { return sub.Count() >= 1; }));
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(sub.Count(), 1u);
    EXPECT_EQ(manager.ArchiveCallCount(), 1);
    EXPECT_EQ(Mode(), 4);

    registry.SetDeliveryMode(3);  // the next step
    ASSERT_TRUE(WaitUntil([&] { return sub.Count() >= 2; }));
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(sub.Count(), 2u);
    EXPECT_EQ(Mode(), 4);
    EXPECT_NEAR(sub.Deliveries()[1].time, kBase + 40.0 * kMs, 1e-9);
}

class ArchiveFailureTest : public ArchiveDeliveryTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ArchiveFailureTest, FailedReadStopsDeliveryUntilTheModeIsSetAgain) {
    for (int i = 0; i < 2; ++i) {
        manager.PushArchive({0, 1, FakeFrameManager::MakeFrame(1, kBase + i * 10 * kMs, 8, 1)});
    }
    manager.PushArchive({GetParam(), 0, {}});
    manager.SetArchiveScript(Recording(1, 1000, 10.0));
    RecordingSubscriber sub;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &sub);
    ASSERT_TRUE(WaitUntil([&] { return Mode() == 4; }));
    const int64_t calls = manager.ArchiveCallCount();
    std::this_thread::sleep_for(milliseconds(40));
    EXPECT_EQ(manager.ArchiveCallCount(), calls);  // stopped: nothing fetched
    EXPECT_EQ(sub.Count(), 2u);                    // frames read before the failure arrived

    registry.SetDeliveryMode(1);
    EXPECT_TRUE(WaitUntil([&] { return sub.Count() >= 4; }));
}

INSTANTIATE_TEST_SUITE_P(Codes, ArchiveFailureTest, ::testing::Values(-1, -9, -21, -510));

TEST_F(ArchiveDeliveryTest, NoFrameAnswerKeepsPlaying) {
    for (int i = 0; i < 5; ++i) {
        manager.PushArchive({-8, 0, {}});
    }
    manager.PushArchive({0, 1, FakeFrameManager::MakeFrame(1, kBase, 8, 1)});
    RecordingSubscriber sub;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &sub);
    ASSERT_TRUE(WaitUntil([&] { return sub.Count() >= 1; }));
    EXPECT_EQ(Mode(), 1);
    EXPECT_GE(manager.ArchiveCallCount(), 6);
}

TEST_F(ArchiveDeliveryTest, StoppedModeFetchesNothing) {
    manager.SetArchiveScript(Recording(1, 100, 10.0));
    registry.SetDeliveryStopped(1);
    RecordingSubscriber sub;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &sub);
    std::this_thread::sleep_for(milliseconds(40));
    EXPECT_EQ(manager.ArchiveCallCount(), 0);
    registry.SetDeliveryStopped(0);
    EXPECT_TRUE(WaitUntil([&] { return sub.Count() >= 2; }));
}

TEST_F(ArchiveDeliveryTest, SeveralCamerasAreNotPaced) {
    // Two cameras, frames 200 ms apart: paced delivery would need 1.8 s for ten.
    auto next = std::make_shared<std::atomic<int>>(0);
    manager.SetArchiveScript([next](const FakeFrameManager::ArchiveCall&) -> FakeFrameManager::ArchiveAnswer {
        const int i = next->fetch_add(1);
        return {0, 1, FakeFrameManager::MakeFrame(1 + i % 2, kBase + i * 200 * kMs, 8, 1)};
    });
    RecordingSubscriber one;
    RecordingSubscriber two;
    const AtScopeExit stop([this] { registry.Stop(); });
    const auto start = std::chrono::steady_clock::now();
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &one);
    registry.SubscribeArchive(2, nullptr, 0, 0, kCallback, &two);
    ASSERT_TRUE(WaitUntil([&] { return one.Count() + two.Count() >= 10; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(900));
    for (const auto& d : two.Deliveries()) {
        EXPECT_EQ(d.camera, 2);
    }
}

}  // namespace
