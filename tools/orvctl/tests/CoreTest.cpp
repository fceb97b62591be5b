// The command layer in-process against simulated servers: bounded connecting and the
// growth of frame buffers that are too small.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "Commands.h"
#include "support/BlockUsers.h"
#include "Session.h"
#include "orv_sdk.h"
#include "sim/Simulator.h"
#include "support/Loopback.h"

namespace orvctl {
namespace {


class CoreTest : public ::testing::Test {
  protected:
    CoreTest() : sim_(orv_sim::UniformServers(1, 2)) {}

    ServerAddress Live() { return {"127.0.0.1", sim_.Server(0).Port(), ""}; }

    orv_test::BlockUsersLock users_;  // constructed first
    orv_sim::Simulator sim_;
};

TEST_F(CoreTest, ConnectSettlesEachServerWithinTheBound) {
    Session session;
    std::ostringstream err;
    ASSERT_EQ(session.AddServers({Live(), {"127.0.0.1", orv_test::ClosedLoopbackPort(), ""}}, err), ORV_OK)
        << err.str();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(session.Connect(std::chrono::milliseconds(8000)), ORV_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(7000));  // settled, not timed out
    const std::vector<ServerRow> rows = session.Servers();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].state, ORV_STATE_CONNECTED);
    EXPECT_EQ(rows[0].rangeResult, ORV_OK);
    EXPECT_EQ(rows[0].cameraCount, 2);
    EXPECT_EQ(rows[1].state, ORV_STATE_REFUSED);
    EXPECT_FALSE(session.AllConnected());
    EXPECT_EQ(session.Cameras().size(), 2u);  // the refused server contributes no cameras
}

TEST_F(CoreTest, DuplicateServerStopsRegistrationWithItsCode) {
    Session session;
    std::ostringstream err;
    EXPECT_EQ(session.AddServers({Live(), Live()}, err), ORV_E_DUPLICATE);
    EXPECT_NE(err.str().find("ORV_E_DUPLICATE"), std::string::npos) << err.str();
    EXPECT_EQ(session.Servers().size(), 1u);
}

TEST_F(CoreTest, TooSmallBufferIsGrownToTheReportedSize) {
    Session session;
    std::ostringstream err;
    ASSERT_EQ(session.AddServers({Live()}, err), ORV_OK);
    ASSERT_EQ(session.Connect(std::chrono::milliseconds(8000)), ORV_OK);
    ASSERT_TRUE(session.AllConnected());
    const Frame frame = FetchLiveFrame(1, PictureFormat::Bgr, std::chrono::milliseconds(3000), 16);
    ASSERT_EQ(frame.code, ORV_OK);
    EXPECT_GE(frame.bufferGrows, 1);
    EXPECT_EQ(frame.layout, PixelLayout::Bgr);
    EXPECT_EQ(frame.data.size(), static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3);
}

}  // namespace
}  // namespace orvctl
