// Subscriptions through the server manager: forwarding with a scripted protocol
// client, and real frames from the simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "manager/ORVLinker.h"
#include "sim/Simulator.h"
#include "unit/manager/FakeModule.h"
#include "unit/manager/RecordingSubscriber.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kCallback = &RecordingSubscriber::Callback;

ManagerOptions ShortOptions() {
    ManagerOptions options;
    options.workerPeriod = 50ms;
    return options;
}

TEST(LinkerSubscription, OperationsReachTheRegistry) {
    IOrvServerManager* manager = nullptr;
    auto linker = std::make_unique<ORVLinker>([] { return std::make_unique<FakeModule>(); }, ShortOptions());
    manager = linker.get();

    int32_t value = 0;
    manager->GetDeliveryMode(value);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(manager->SetDeliveryMode(0), -5);
    EXPECT_EQ(manager->SetDeliveryMode(3), 0);
    manager->GetDeliveryMode(value);
    EXPECT_EQ(value, 3);
    manager->SetDeliveryStopped(1);
    manager->GetDeliveryMode(value);
    EXPECT_EQ(value, 4);
    manager->SetDeliveryDirection(0);
    manager->GetDeliveryDirection(value);
    EXPECT_EQ(value, 0);
    manager->SetDeliveryStopped(0);
    manager->GetDeliveryMode(value);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(manager->UnsupportedOne(0), -600);
    EXPECT_EQ(manager->UnsupportedTwo(0, 0), -600);

    RecordingSubscriber sub;
    const AtScopeExit stop([&] { linker.reset(); });
    EXPECT_EQ(manager->SubscribeLive(1, nullptr, 0, 0, kCallback, &sub), 0);
    EXPECT_EQ(manager->SubscribeArchive(1, nullptr, 0, 0, kCallback, &sub), 0);
    EXPECT_EQ(manager->SubscribeLive(1, nullptr, 0, 0, nullptr, &sub), -5);
    std::this_thread::sleep_for(20ms);  // both delivery threads now call into the manager
    EXPECT_EQ(sub.Count(), 0u);         // no server: nothing to deliver
    EXPECT_EQ(manager->UnsubscribeLive(1, kCallback, &sub), 0);

    // Destruction stops the delivery threads before anything they use goes away.
    const auto start = std::chrono::steady_clock::now();
    linker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

class LinkerSimSubscription : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<orv_sim::Simulator>(orv_sim::UniformServers(1, 2));
        manager = std::make_unique<ORVLinker>(&ORVLinker::MakeDefaultModule, ShortOptions());
        int32_t number = 0;
        ASSERT_EQ(manager->AddServer("127.0.0.1", 0, sim->Server(0).Port(), 0, "", number, false), 0);
        manager->ConnectAll();
        ASSERT_TRUE(WaitUntil([&] {
            std::vector<ServerInfo> list;
            return manager->GetServers(list) == 0 && !list.empty() && list[0].state == 3 && list[0].cameraCount > 0;
        }));
    }
    void TearDown() override {
        manager.reset();
        sim.reset();
    }

    std::unique_ptr<orv_sim::Simulator> sim;
    std::unique_ptr<ORVLinker> manager;
};

TEST_F(LinkerSimSubscription, LiveAndArchivePicturesArriveAsBgr) {
    RecordingSubscriber live;
    RecordingSubscriber archive;
    const AtScopeExit stop([this] { manager.reset(); });
    ASSERT_EQ(manager->SubscribeLive(1, nullptr, 0, 0, kCallback, &live), 0);
    ASSERT_TRUE(WaitUntil([&] { return live.Count() >= 3; }, 5000ms));

    double begin = 0.0;
    double end = 0.0;
    ASSERT_EQ(manager->ArchiveGetInfo(0, begin, end), 0);
    ASSERT_EQ(manager->ArchiveFindData(0, begin + (end - begin) / 2, 1), 0);
    ASSERT_EQ(manager->SubscribeArchive(1, nullptr, 0, 0, kCallback, &archive), 0);
    ASSERT_TRUE(WaitUntil([&] { return archive.Count() >= 12; }, 5000ms));
    manager->SetDeliveryStopped(1);
    manager.reset();  // stops delivery

    for (const auto& d : live.Deliveries()) {
        EXPECT_EQ(d.camera, 1);
        EXPECT_EQ(d.kind, 3);
        ASSERT_GT(d.width, 0);
        EXPECT_EQ(d.length, d.width * d.height * 3);
    }
    const auto frames = archive.Deliveries();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].camera, 1);
        EXPECT_EQ(frames[i].length, frames[i].width * frames[i].height * 3);
        if (i > 0) {
            EXPECT_GT(frames[i].time, frames[i - 1].time) << i;
        }
    }
    // Paced at the recorded rate: wall time between the 2nd and last delivery
    // against the recorded span of the same frames.
    const double recordedMs = (frames.back().time - frames[1].time) / processing::kDayMs;
    const double playedMs = std::chrono::duration<double, std::milli>(frames.back().at - frames[1].at).count();
    std::printf("[ pacing ] simulator archive: %zu frames, recorded span %.1f ms, played in %.1f ms\n",
                frames.size(), recordedMs, playedMs);
    EXPECT_GE(playedMs, recordedMs - 10.0);  // never ahead of the recording
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
    // Instrumented builds decode slower than the recorded rate; plain ones keep it.
    EXPECT_LE(playedMs, 1.15 * recordedMs + 10.0);
#endif
}

}  // namespace
