// The manager's alarm, camera mode and console-archive operations (not reached
// through the C interface) against a simulated server: what arrives there, and
// the answers the manager gives.
#include <gtest/gtest.h>

#include <memory>

#include "manager/ORVLinker.h"
#include "sim/Simulator.h"

namespace {

// The simulator is declared before the manager, which thus goes first on
// destruction, while its connection is still answered.
class ControlForwarding : public ::testing::Test {
protected:
    void SetUp() override {
        linker_ = std::make_unique<ORVLinker>(&ORVLinker::MakeDefaultModule, ManagerOptions{});
        int32_t number = 0;
        ASSERT_EQ(linker_->AddServer("127.0.0.1", 0, sim_.Server(0).Port(), 0, "", number, false), 0);
        ASSERT_EQ(linker_->ConnectAll(), 0);
        sim_.Server(0).ClearJournal();
    }
    // Camera number (1-based) of the server's camera k.
    int32_t Camera(int k) { return sim_.Server(0).FirstCamera() + k + 1; }

    orv_sim::Simulator sim_{orv_sim::UniformServers(1, 3)};
    std::unique_ptr<ORVLinker> linker_;
};

TEST_F(ControlForwarding, AlarmOnAndOffSendTheCameraEventValues) {
    ASSERT_EQ(linker_->SetCameraAlarm(Camera(1), true), 0);
    ASSERT_EQ(linker_->SetCameraAlarm(Camera(1), false), 0);
    const auto events = sim_.Server(0).Snapshot().cameraEvents;
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].camera, Camera(1) - 1);
    EXPECT_EQ(events[0].a, 0);
    EXPECT_EQ(events[0].b, 1);
    EXPECT_EQ(events[0].c, 86400);  // on for a day
    EXPECT_EQ(events[0].d, 10);
    EXPECT_EQ(events[1].c, 0);
    EXPECT_EQ(events[1].d, 0);
    // A camera the server does not know answers -1, which the alarm counts as failure.
    EXPECT_EQ(linker_->SetCameraAlarm(Camera(40), true), -1);
}

TEST_F(ControlForwarding, CameraModeTravelsAsAByte) {
    ASSERT_EQ(linker_->SetCameraMode(Camera(2), 0x1FE), 0);
    const auto modes = sim_.Server(0).Snapshot().cameraModes;
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].camera, Camera(2) - 1);
    EXPECT_EQ(modes[0].value, 0xFE);
}

TEST_F(ControlForwarding, ConsoleArchiveSendsCameraIndexesTimesAndValue) {
    uint8_t buffer[16] = {};
    ASSERT_EQ(linker_->ExtPultShowArchive(1, 3, 5, 46000.25, 46000.5, buffer, sizeof buffer, 77), 0);
    // Without a buffer the same request goes out; nothing can be stored.
    ASSERT_EQ(linker_->ExtPultShowArchive(1, 1, 2, 46001.0, 46002.0, nullptr, 4096, 0), 0);
    const auto shown = sim_.Server(0).Snapshot().consoleArchives;
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].a, 2);
    EXPECT_EQ(shown[0].b, 4);
    EXPECT_DOUBLE_EQ(shown[0].time1, 46000.25);
    EXPECT_DOUBLE_EQ(shown[0].time2, 46000.5);
    EXPECT_EQ(shown[0].value, 77);
    EXPECT_EQ(shown[1].a, 0);
    // A handle with no server behind it.
    EXPECT_EQ(linker_->ExtPultShowArchive(9, 1, 2, 0.0, 0.0, buffer, sizeof buffer, 0), -1);
}

}  // namespace
