// Events, console switch, telemetry and archive control through the C interface,
// checked against what the simulated servers received.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "orv_sdk.h"
#include "sim/Simulator.h"
#include "support/BlockUsers.h"

namespace {

using std::chrono::milliseconds;

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto configs = orv_sim::UniformServers(2, 3);
        configs[1].cameras[2].active = false;
        sim_ = std::make_unique<orv_sim::Simulator>(configs);
        ASSERT_EQ(ORV_Init(), 0);
        for (size_t i = 0; i < sim_->ServerCount(); ++i) {
            ASSERT_EQ(ORV_ServerAdd("127.0.0.1", sim_->Server(i).Port(), 0, 0, ""), 0);
        }
        ASSERT_EQ(ORV_ServersConnect(), 0);
        for (size_t i = 0; i < sim_->ServerCount(); ++i) sim_->Server(i).ClearJournal();
    }
    void TearDown() override {
        ORV_Uninit();
        sim_.reset();
    }
    // Camera number of camera `k` of server `s`.
    int Camera(size_t s, int k) const { return sim_->Server(s).FirstCamera() + k + 1; }

    orv_test::BlockUsersLock users_;
    std::unique_ptr<orv_sim::Simulator> sim_;
};

TEST_F(ControlTest, ExternalEventReachesTheCamerasServer) {
    ASSERT_EQ(ORV_SetExternalEvent(Camera(1, 1), 0x1FE, 7, 86400, -5), 0);
    const auto journal = sim_->Server(1).Snapshot();
    ASSERT_EQ(journal.cameraEvents.size(), 1u);
    const auto& event = journal.cameraEvents[0];
    EXPECT_EQ(event.camera, Camera(1, 1) - 1);
    EXPECT_EQ(event.a, 0xFE);  // travels as a byte
    EXPECT_EQ(event.b, 7);
    EXPECT_EQ(event.c, 86400);
    EXPECT_EQ(event.d, -5);
    EXPECT_TRUE(sim_->Server(0).Snapshot().cameraEvents.empty());
}

TEST_F(ControlTest, ServerEventAndConsoleSwitchGoToTheHandle) {
    ASSERT_EQ(ORV_SetExternalEvent_X(2, 4242), 0);
    ASSERT_EQ(ORV_ExtPultSwitchCam(1, 3), 0);
    const auto second = sim_->Server(1).Snapshot();
    ASSERT_EQ(second.serverEvents.size(), 1u);
    EXPECT_EQ(second.serverEvents[0].value, 4242);
    const auto first = sim_->Server(0).Snapshot();
    ASSERT_EQ(first.consoleSwitches.size(), 1u);
    EXPECT_EQ(first.consoleSwitches[0].camera, 2);  // camera index
    EXPECT_EQ(ORV_SetExternalEvent_X(9, 1), ORV_E_FAILED);  // no such handle
}

TEST_F(ControlTest, TelemetryBlockIsClampedAndInactiveCamerasRefused) {
    ASSERT_EQ(ORV_CamTele(Camera(0, 2), 17, 150, -3, 0x1AB), 0);
    const auto journal = sim_->Server(0).Snapshot();
    ASSERT_EQ(journal.telemetry.size(), 1u);
    const auto& sent = journal.telemetry[0];
    EXPECT_EQ(sent.camera, Camera(0, 2) - 1);
    EXPECT_EQ(sent.command, 17);
    const std::array<uint8_t, 16> expected{0, 0, 0, 0, 99, 0, 0, 0, 0xAB, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(sent.block, expected);

    EXPECT_EQ(ORV_CamTele(Camera(1, 2), 17, 1, 1, 0), ORV_E_CAMERA_INACTIVE);
    EXPECT_EQ(ORV_CamTele(2000, 17, 1, 1, 0), ORV_E_INVALID_ARG);
    EXPECT_EQ(ORV_CamTele(0, 17, 1, 1, 0), ORV_E_INVALID_ARG);
    ASSERT_EQ(ORV_ServersDisconnect(), 0);
    EXPECT_EQ(ORV_CamTele(Camera(0, 2), 17, 1, 1, 0), ORV_E_INVALID_ARG);
}

TEST_F(ControlTest, ArchiveOpensReportsItsRangeAndSeeks) {
    ASSERT_EQ(ORV_VideoArchiveOpen(1), 0);
    double begin = 0.0, end = 0.0;
    ASSERT_EQ(ORV_VideoArchiveGetInfo(&begin, &end), 0);
    EXPECT_GT(end, begin);
    EXPECT_NEAR(end - begin, 3600.0 / 86400.0, 60.0 / 86400.0);  // one recorded hour
    EXPECT_EQ(ORV_VideoArchiveFindData(begin + (end - begin) / 2, 1), 0);
    // Only the low byte counts: 0x100 closes channel 0 on every connected server.
    sim_->Server(1).ClearJournal();
    EXPECT_EQ(ORV_VideoArchiveOpen(0x100), 0);
    const auto journal = sim_->Server(1).Snapshot();
    ASSERT_FALSE(journal.requests.empty());
    EXPECT_EQ(journal.requests.back().command, 0x011F);
}

}  // namespace
