// Registry state without delivery: rates, modes, direction, subscriber sets.
#include <gtest/gtest.h>

#include "manager/SubscriptionRegistry.h"
#include "unit/manager/FakeFrameManager.h"
#include "unit/manager/FakeModule.h"
#include "unit/manager/RecordingSubscriber.h"

namespace {

struct RateCase {
    int32_t given;
    int32_t stored;
};

class CameraRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(CameraRateTest, StoresClampedRate) {
    SubscriptionRegistry registry;
    registry.SetCameraRate(7, GetParam().given);
    EXPECT_EQ(registry.CameraRate(7), GetParam().stored);
    EXPECT_EQ(registry.CameraRate(8), SubscriptionRegistry::kDefaultRate);
}

INSTANTIATE_TEST_SUITE_P(Clamp, CameraRateTest,
                         ::testing::Values(RateCase{0, 1}, RateCase{-3, 1}, RateCase{1, 1}, RateCase{25, 25},
                                           RateCase{50, 50}, RateCase{80, 50}));

TEST(CameraRate, NumbersOutsideTheCameraRangeAreIgnored) {
    SubscriptionRegistry registry;
    registry.SetCameraRate(0, 10);
    registry.SetCameraRate(2049, 10);
    registry.SetCameraRate(2048, 10);
    registry.SetCameraRate(1, 12);
    EXPECT_EQ(registry.CameraRate(2048), 10);
    EXPECT_EQ(registry.CameraRate(1), 12);
    EXPECT_EQ(registry.CameraRate(2), 25);
    EXPECT_EQ(registry.CameraRate(0), 0);
    EXPECT_EQ(registry.CameraRate(2049), 0);
}

class DeliveryModeTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(DeliveryModeTest, ModeOutsideOneToFourIsRejectedWithoutEffect) {
    SubscriptionRegistry registry;
    ASSERT_EQ(registry.SetDeliveryMode(3), 0);
    EXPECT_EQ(registry.SetDeliveryMode(GetParam()), -5);
    int32_t mode = 0;
    registry.GetDeliveryMode(mode);
    EXPECT_EQ(mode, 3);
}

INSTANTIATE_TEST_SUITE_P(Invalid, DeliveryModeTest, ::testing::Values(0, 5, -1, 0x101));

TEST(DeliveryMode, EveryValidModeIsStored) {
    SubscriptionRegistry registry;
    int32_t mode = 0;
    registry.GetDeliveryMode(mode);
    EXPECT_EQ(mode, 1);
    for (int32_t m = 1; m <= 4; ++m) {
        EXPECT_EQ(registry.SetDeliveryMode(m), 0);
        registry.GetDeliveryMode(mode);
        EXPECT_EQ(mode, m);
    }
}

struct DirectionCase {
    int32_t modeBefore;
    int32_t flag;
    int32_t modeAfter;
    int32_t direction;
};

class DeliveryDirectionTest : public ::testing::TestWithParam<DirectionCase> {};

TEST_P(DeliveryDirectionTest, DirectionSwitchesOnlyPlayingModes) {
    const auto& c = GetParam();
    SubscriptionRegistry registry;
    ASSERT_EQ(registry.SetDeliveryMode(c.modeBefore), 0);
    registry.SetDeliveryDirection(c.flag);
    int32_t mode = 0;
    int32_t direction = -1;
    registry.GetDeliveryMode(mode);
    registry.GetDeliveryDirection(direction);
    EXPECT_EQ(mode, c.modeAfter);
    EXPECT_EQ(direction, c.direction);
}

INSTANTIATE_TEST_SUITE_P(Modes, DeliveryDirectionTest,
                         ::testing::Values(DirectionCase{1, 0, 2, 0}, DirectionCase{2, 1, 1, 1},
                                           DirectionCase{2, 7, 1, 1}, DirectionCase{1, 1, 1, 1},
                                           DirectionCase{3, 0, 3, 0}, DirectionCase{4, 0, 4, 0}));

TEST(DeliveryStopped, LowByteStopsOtherwisePlaysByDirection) {
    SubscriptionRegistry registry;
    int32_t mode = 0;
    registry.SetDeliveryStopped(1);
    registry.GetDeliveryMode(mode);
    EXPECT_EQ(mode, 4);

    registry.SetDeliveryStopped(0x100);  // low byte zero: not a stop
    registry.GetDeliveryMode(mode);
    EXPECT_EQ(mode, 1);

    registry.SetDeliveryDirection(0);
    registry.SetDeliveryStopped(1);
    registry.SetDeliveryStopped(0);
    registry.GetDeliveryMode(mode);
    EXPECT_EQ(mode, 2);
}

TEST(Unsupported, BothAnswerNotSupported) {
    SubscriptionRegistry registry;
    EXPECT_EQ(registry.UnsupportedOne(1), -600);
    EXPECT_EQ(registry.UnsupportedTwo(1, 2), -600);
}

TEST(Subscribers, CameraSetsFollowSubscriptions) {
    FakeFrameManager manager;
    SubscriptionRegistry registry;
    registry.SetDeliveryPaused(1);  // keep the live thread from fetching
    registry.SetDeliveryMode(4);
    RecordingSubscriber a;
    RecordingSubscriber b;
    auto* cb = &RecordingSubscriber::Callback;

    EXPECT_FALSE(registry.LiveThreadRunning());
    EXPECT_EQ(registry.SubscribeLive(5, nullptr, 0, 0, cb, &a), 0);
    EXPECT_TRUE(registry.LiveThreadRunning());
    EXPECT_FALSE(registry.ArchiveThreadRunning());
    EXPECT_EQ(registry.SubscribeLive(5, nullptr, 0, 0, cb, &b), 0);
    EXPECT_EQ(registry.SubscribeLive(2048, nullptr, 0, 0, cb, &a), 0);
    EXPECT_EQ(registry.SubscribeLive(0, nullptr, 0, 0, cb, &a), 0);     // kept, never fetched
    EXPECT_EQ(registry.SubscribeLive(2049, nullptr, 0, 0, cb, &a), 0);  // kept, never fetched
    EXPECT_EQ(registry.LiveCameras(), (std::vector<int32_t>{5, 2048}));
    EXPECT_TRUE(registry.ArchiveCameras().empty());

    EXPECT_EQ(registry.UnsubscribeLive(5, cb, &a), 0);
    EXPECT_EQ(registry.LiveCameras(), (std::vector<int32_t>{5, 2048}));  // b still there
    EXPECT_EQ(registry.UnsubscribeLive(5, cb, &b), 0);
    EXPECT_EQ(registry.LiveCameras(), (std::vector<int32_t>{2048}));
    EXPECT_EQ(registry.UnsubscribeLive(9, cb, &b), 0);  // nothing to remove

    EXPECT_EQ(registry.SubscribeArchive(3, nullptr, 0, 0, cb, &a), 0);
    EXPECT_TRUE(registry.ArchiveThreadRunning());
    EXPECT_EQ(registry.ArchiveCameras(), (std::vector<int32_t>{3}));
    EXPECT_EQ(registry.LiveCameras(), (std::vector<int32_t>{2048}));
    EXPECT_EQ(registry.UnsubscribeArchive(3, cb, &b), 0);  // other user data: stays
    EXPECT_EQ(registry.ArchiveCameras(), (std::vector<int32_t>{3}));
    EXPECT_EQ(registry.UnsubscribeArchive(3, cb, &a), 0);
    EXPECT_TRUE(registry.ArchiveCameras().empty());
    EXPECT_TRUE(registry.ArchiveThreadRunning());  // idles until the registry stops
}

TEST(Subscribers, NullCallbackIsRefused) {
    SubscriptionRegistry registry;
    EXPECT_EQ(registry.SubscribeLive(1, nullptr, 0, 0, nullptr, nullptr), -5);
    EXPECT_EQ(registry.SubscribeArchive(1, nullptr, 0, 0, nullptr, nullptr), -5);
    EXPECT_TRUE(registry.LiveCameras().empty());
    EXPECT_FALSE(registry.LiveThreadRunning());
}

TEST(Subscribers, LiveSubscriptionResetsTheCameraFrameState) {
    FakeFrameManager manager;
    SubscriptionRegistry registry;
    registry.SetDeliveryPaused(1);
    RecordingSubscriber a;
    registry.SubscribeLive(4, nullptr, 0, 0, &RecordingSubscriber::Callback, &a);  // not attached yet
    EXPECT_TRUE(manager.Resets().empty());
    FakeModule module;
    registry.Attach(&module, &manager);
    registry.SubscribeLive(6, nullptr, 0, 0, &RecordingSubscriber::Callback, &a);
    registry.SubscribeArchive(7, nullptr, 0, 0, &RecordingSubscriber::Callback, &a);
    EXPECT_EQ(manager.Resets(), (std::vector<std::pair<int32_t, bool>>{{6, true}}));
}

TEST(Stop, StopsThreadsDropsSubscribersAndStartsNoMore) {
    SubscriptionRegistry registry;
    RecordingSubscriber a;
    registry.SubscribeLive(1, nullptr, 0, 0, &RecordingSubscriber::Callback, &a);
    registry.Stop();
    EXPECT_FALSE(registry.LiveThreadRunning());
    EXPECT_TRUE(registry.LiveCameras().empty());
    registry.SubscribeArchive(1, nullptr, 0, 0, &RecordingSubscriber::Callback, &a);
    EXPECT_FALSE(registry.ArchiveThreadRunning());
    registry.Stop();  // twice is harmless
}

}  // namespace
