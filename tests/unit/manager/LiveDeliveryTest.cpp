// Live delivery through a scripted manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include "manager/SubscriptionRegistry.h"
#include "unit/manager/FakeModule.h"
#include "unit/manager/FakeFrameManager.h"
#include "unit/manager/RecordingSubscriber.h"

namespace {

using std::chrono::milliseconds;
constexpr auto kCallback = &RecordingSubscriber::Callback;

class LiveDeliveryTest : public ::testing::Test {
protected:
    FakeModule module;
    FakeFrameManager manager;
    SubscriptionRegistry registry;

    void SetUp() override { registry.Attach(&module, &manager); }
    void TearDown() override { registry.Stop(); }
};

TEST_F(LiveDeliveryTest, FramesGoToTheSubscribersOfTheirCameraOnly) {
    RecordingSubscriber one;
    RecordingSubscriber two;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &one);
    registry.SubscribeLive(2, nullptr, 0, 0, kCallback, &two);
    ASSERT_TRUE(WaitUntil([&] { return one.Count() >= 3 && two.Count() >= 3; }));
    registry.Stop();
    for (const auto& d : one.Deliveries()) {
        EXPECT_EQ(d.camera, 1);
        EXPECT_EQ(d.kind, 3);
        EXPECT_EQ(d.width, 4);
        EXPECT_EQ(d.height, 2);
        EXPECT_EQ(d.length, 24);
    }
    for (const auto& d : two.Deliveries()) {
        EXPECT_EQ(d.camera, 2);
    }
    EXPECT_EQ(manager.LastLiveCameras(), (std::vector<int32_t>{1, 2}));
}

TEST_F(LiveDeliveryTest, UnsubscribingOneOfTwoUserDataLeavesTheOtherReceiving) {
    RecordingSubscriber a;
    RecordingSubscriber b;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeLive(3, nullptr, 0, 0, kCallback, &a);
    registry.SubscribeLive(3, nullptr, 0, 0, kCallback, &b);
    ASSERT_TRUE(WaitUntil([&] { return a.Count() >= 2 && b.Count() >= 2; }));

    ASSERT_EQ(registry.UnsubscribeLive(3, kCallback, &a), 0);
    const std::size_t aAfter = a.Count();  // no callback of a runs past the unsubscribe
    const std::size_t bAfter = b.Count();
    ASSERT_TRUE(WaitUntil([&] { return b.Count() >= bAfter + 5; }));
    EXPECT_EQ(a.Count(), aAfter);
}

TEST_F(LiveDeliveryTest, BufferLargeEnoughReceivesACopySmallerOneTheFramesOwnData) {
    manager.SetLiveFrameSize(100);
    std::array<uint8_t, 100> exact{};
    std::array<uint8_t, 99> small{};
    RecordingSubscriber big;
    RecordingSubscriber tiny;
    RecordingSubscriber none;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeLive(1, exact.data(), static_cast<int32_t>(exact.size()), 0, kCallback, &big);
    registry.SubscribeLive(1, small.data(), static_cast<int32_t>(small.size()), 0, kCallback, &tiny);
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &none);
    ASSERT_TRUE(WaitUntil([&] { return big.Count() >= 2 && tiny.Count() >= 2 && none.Count() >= 2; }));
    registry.Stop();

    for (const auto& d : big.Deliveries()) {
        EXPECT_EQ(d.data, exact.data());
        ASSERT_EQ(d.length, 100);
        EXPECT_EQ(d.bytes, std::vector<uint8_t>(100, d.bytes[0]));
    }
    const auto tinyDeliveries = tiny.Deliveries();
    const auto bigDeliveries = big.Deliveries();
    for (const auto& d : tinyDeliveries) {
        EXPECT_NE(d.data, small.data());
        EXPECT_NE(d.data, nullptr);
        EXPECT_EQ(d.length, 100);
        EXPECT_EQ(d.bytes.size(), 100u);
    }
    // Same frames, same bytes whichever way they arrived (the later subscriber may
    // have missed the first frame); the small buffer untouched.
    EXPECT_TRUE(std::any_of(bigDeliveries.begin(), bigDeliveries.end(),
                            [&](const auto& d) { return d.bytes == tinyDeliveries.front().bytes; }));
    EXPECT_EQ(small, (std::array<uint8_t, 99>{}));
    for (const auto& d : none.Deliveries()) {
        EXPECT_NE(d.data, nullptr);
        EXPECT_EQ(d.length, 100);
    }
}

TEST_F(LiveDeliveryTest, PausedDeliveryFetchesNothing) {
    RecordingSubscriber a;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SetDeliveryPaused(1);
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &a);
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(manager.LiveCalls(), 0);
    EXPECT_EQ(a.Count(), 0u);
    registry.SetDeliveryPaused(0);
    EXPECT_TRUE(WaitUntil([&] { return a.Count() >= 1; }));
}

TEST_F(LiveDeliveryTest, FailedFetchDeliversNothingAndKeepsTrying) {
    manager.SetLiveResult(-9);
    RecordingSubscriber a;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &a);
    ASSERT_TRUE(WaitUntil([&] { return manager.LiveCalls() >= 5; }));
    EXPECT_EQ(a.Count(), 0u);
    manager.SetLiveResult(0);
    EXPECT_TRUE(WaitUntil([&] { return a.Count() >= 1; }));
}

TEST(LiveDeliveryDetached, NothingIsFetchedBeforeTheManagerIsAttached) {
    FakeFrameManager manager;
    SubscriptionRegistry registry;
    RecordingSubscriber a;
    const AtScopeExit stop([&] { registry.Stop(); });
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &a);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(manager.LiveCalls(), 0);
    EXPECT_TRUE(manager.Resets().empty());
    FakeModule module;
    registry.Attach(&module, &manager);
    EXPECT_TRUE(WaitUntil([&] { return a.Count() >= 1; }));
    registry.Stop();
}

TEST_F(LiveDeliveryTest, NoCallbackAfterStop) {
    RecordingSubscriber a;
    const AtScopeExit stop([this] { registry.Stop(); });
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &a);
    ASSERT_TRUE(WaitUntil([&] { return a.Count() >= 1; }));
    registry.Stop();
    const std::size_t count = a.Count();
    std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(a.Count(), count);
    EXPECT_FALSE(registry.LiveThreadRunning());
}

}  // namespace
