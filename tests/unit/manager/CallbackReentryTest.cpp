// Callbacks that call back into the registry, and unsubscribes racing with
// callbacks in flight. A deadlock shows up as a WaitUntil that times out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "manager/SubscriptionRegistry.h"
#include "unit/manager/FakeModule.h"
#include "unit/manager/FakeFrameManager.h"
#include "unit/manager/RecordingSubscriber.h"

namespace {

using std::chrono::milliseconds;
constexpr auto kCallback = &RecordingSubscriber::Callback;
constexpr double kBase = 46000.5;

class CallbackReentryTest : public ::testing::Test {
protected:
    FakeModule module;
    FakeFrameManager manager;
    SubscriptionRegistry registry;

    void SetUp() override {
        registry.Attach(&module, &manager);
        // An endless archive of two cameras, unpaced (more than one camera).
        auto next = std::make_shared<std::atomic<int>>(0);
        manager.SetArchiveScript([next](const FakeFrameManager::ArchiveCall&) -> FakeFrameManager::ArchiveAnswer {
            const int i = next->fetch_add(1);
            return {0, 1, FakeFrameManager::MakeFrame(1 + i % 2, kBase + i * processing::kDayMs, 8, 1)};
        });
    }
    void TearDown() override { registry.Stop(); }
};

TEST_F(CallbackReentryTest, CallbackUnsubscribesItselfAndIsNotCalledAgain) {
    RecordingSubscriber self;
    RecordingSubscriber other;
    const AtScopeExit stop([this] { registry.Stop(); });
    self.onDelivery = [&](const Delivery& d) { registry.UnsubscribeLive(d.camera, kCallback, &self); };
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &self);
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &other);
    ASSERT_TRUE(WaitUntil([&] { return other.Count() >= 5; }));
    EXPECT_EQ(self.Count(), 1u);
}

TEST_F(CallbackReentryTest, CallbackRemovingALaterSubscriberOfTheSameFrameStopsItAtOnce) {
    RecordingSubscriber first;
    RecordingSubscriber second;
    std::atomic<bool> removed{false};
    const AtScopeExit stop([this] { registry.Stop(); });
    first.onDelivery = [&](const Delivery&) {
        if (!removed.exchange(true)) {
            registry.UnsubscribeLive(1, kCallback, &second);
        }
    };
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &first);
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &second);
    ASSERT_TRUE(WaitUntil([&] { return first.Count() >= 5; }));
    // The first frame reached `first` before `second`, and `second` was removed
    // in between: it never saw a frame.
    EXPECT_EQ(second.Count(), 0u);
}

TEST_F(CallbackReentryTest, CallbackUsesEveryOtherOperation) {
    RecordingSubscriber busy;
    RecordingSubscriber extra;
    std::atomic<int> rounds{0};
    const AtScopeExit stop([this] { registry.Stop(); });
    busy.onDelivery = [&](const Delivery& d) {
        int32_t value = 0;
        registry.GetDeliveryMode(value);
        registry.GetDeliveryDirection(value);
        registry.SetDeliveryDirection(1);
        registry.SetDeliveryMode(1);
        registry.SetDeliveryStopped(0);
        registry.SetDeliveryPaused(0);
        registry.SetCameraRate(d.camera, 30);
        registry.SubscribeLive(7, nullptr, 0, 0, kCallback, &extra);
        registry.UnsubscribeLive(7, kCallback, &extra);
        registry.SubscribeArchive(8, nullptr, 0, 0, kCallback, &extra);
        registry.UnsubscribeArchive(8, kCallback, &extra);
        ++rounds;
    };
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &busy);
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &busy);
    EXPECT_TRUE(WaitUntil([&] { return rounds.load() >= 20; }));
    EXPECT_EQ(registry.CameraRate(1), 30);
}

TEST_F(CallbackReentryTest, LiveAndArchiveCallbacksUnsubscribingEachOtherDoNotDeadlock) {
    RecordingSubscriber liveSide;
    RecordingSubscriber archiveSide;
    RecordingSubscriber dummy;
    std::atomic<int> rounds{0};
    const AtScopeExit stop([this] { registry.Stop(); });
    // Each side removes (and re-adds) a subscription of the other kind, so both
    // delivery threads keep calling into each other's channel at the same time.
    liveSide.onDelivery = [&](const Delivery&) {
        registry.UnsubscribeArchive(2, kCallback, &dummy);
        registry.SubscribeArchive(2, nullptr, 0, 0, kCallback, &dummy);
        ++rounds;
    };
    archiveSide.onDelivery = [&](const Delivery&) {
        registry.UnsubscribeLive(2, kCallback, &dummy);
        registry.SubscribeLive(2, nullptr, 0, 0, kCallback, &dummy);
        ++rounds;
    };
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &liveSide);
    registry.SubscribeArchive(1, nullptr, 0, 0, kCallback, &archiveSide);
    registry.SubscribeArchive(2, nullptr, 0, 0, kCallback, &dummy);
    EXPECT_TRUE(WaitUntil([&] { return rounds.load() >= 200; }));
    EXPECT_GT(liveSide.Count(), 0u);
    EXPECT_GT(archiveSide.Count(), 0u);
}

TEST_F(CallbackReentryTest, UnsubscribeFromAnotherThreadWaitsForTheCallbackInFlight) {
    RecordingSubscriber slow;
    std::promise<void> entered;
    std::atomic<bool> first{true};
    std::atomic<bool> finished{false};
    const AtScopeExit stop([this] { registry.Stop(); });
    slow.onDelivery = [&](const Delivery&) {
        if (first.exchange(false)) {
            entered.set_value();
            std::this_thread::sleep_for(milliseconds(50));
            finished.store(true);
        }
    };
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &slow);
    ASSERT_EQ(entered.get_future().wait_for(milliseconds(3000)), std::future_status::ready);
    registry.UnsubscribeLive(1, kCallback, &slow);
    // Once the unsubscribe returned the user data may be freed: the callback is over.
    EXPECT_TRUE(finished.load());
    const std::size_t count = slow.Count();
    std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(slow.Count(), count);
}

TEST_F(CallbackReentryTest, ThrowingCallbackDoesNotEndDelivery) {
    RecordingSubscriber thrower;
    const AtScopeExit stop([this] { registry.Stop(); });
    thrower.onDelivery = [](const Delivery&) { throw std::runtime_error("host error"); };
    registry.SubscribeLive(1, nullptr, 0, 0, kCallback, &thrower);
    EXPECT_TRUE(WaitUntil([&] { return thrower.Count() >= 3; }));
}

}  // namespace
