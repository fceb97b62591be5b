// Servers and cameras through the C interface against simulated recording servers
// on loopback: connecting, listing, camera names and information, disconnecting,
// refused servers, and recovery after a server restart without host action.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "orv_sdk.h"
#include "support/BlockUsers.h"
#include "sim/Simulator.h"
#include "support/Loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kLoopback = "127.0.0.1";

double NowOle() { return 25569.0 + static_cast<double>(std::time(nullptr)) / 86400.0; }


template <class Pred>
bool Eventually(Pred pred, milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return pred();
}

int StateOf(int server) {
    int state = -1;
    return ORV_ServerGetState(server, &state) == 0 ? state : -1;
}

class ServerCameraTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ORV_Init(), 0); }
    void TearDown() override { ORV_Uninit(); }
    orv_test::BlockUsersLock users_;  // constructed before SetUp runs

    static std::vector<orv_sim::ServerConfig> TwoServers() {
        auto configs = orv_sim::UniformServers(2, 4);
        configs[0].cameras[0].name = "Gate";
        configs[0].cameras[2].active = false;
        configs[1].cameras[1].plates = true;
        configs[1].cameras[1].active = true;  // inactive in the default mix
        return configs;
    }

    void AddAll(orv_sim::Simulator& sim) {
        for (size_t i = 0; i < sim.ServerCount(); ++i) {
            int number = 0;
            ASSERT_EQ(ORV_ServerAddEx(kLoopback, sim.Server(i).Port(), 0, 0, "", &number), 0);
            ASSERT_EQ(number, static_cast<int>(i) + 1);
        }
    }
};

TEST_F(ServerCameraTest, ConnectListsServersRangesAndNames) {
    orv_sim::Simulator sim(TwoServers());
    AddAll(sim);
    EXPECT_EQ(ORV_ServersGetCount(), 2);
    EXPECT_EQ(StateOf(1), ORV_STATE_IDLE);
    ASSERT_EQ(ORV_ServersConnect(), 0);
    EXPECT_EQ(StateOf(1), ORV_STATE_CONNECTED);
    EXPECT_EQ(StateOf(2), ORV_STATE_CONNECTED);

    int first = 0, last = 0, count = 0;
    ASSERT_EQ(ORV_ServerGetCameras(1, &first, &last, &count), 0);
    EXPECT_EQ(first, sim.Server(0).FirstCamera() + 1);
    EXPECT_EQ(last, first + 3);
    EXPECT_EQ(count, 4);
    ASSERT_EQ(ORV_ServerGetCameras(2, &first, &last, &count), 0);
    EXPECT_EQ(first, sim.Server(1).FirstCamera() + 1);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(ORV_ServerGetCameras(3, &first, &last, &count), ORV_E_FAILED);

    const int gate = sim.Server(0).FirstCamera() + 1;
    char name[32];
    ASSERT_EQ(ORV_CameraGetName(gate, name, sizeof name), 0);
    EXPECT_STREQ(name, "Gate");
    EXPECT_EQ(ORV_CameraGetName(gate, name, 4), ORV_E_BUFFER_TOO_SMALL);  // needs room for the zero
    ASSERT_EQ(ORV_CameraGetName(gate, name, 5), 0);
    EXPECT_STREQ(name, "Gate");
    const int second = sim.Server(1).FirstCamera() + 2;
    ASSERT_EQ(ORV_CameraGetName(second, name, sizeof name), 0);
    EXPECT_EQ(std::string(name), "Camera " + std::to_string(second));
    EXPECT_EQ(ORV_CameraGetName(0, name, sizeof name), ORV_E_INVALID_ARG);
    EXPECT_EQ(ORV_CameraGetName(2049, name, sizeof name), ORV_E_INVALID_ARG);
    EXPECT_EQ(ORV_CameraGetName(2048, name, sizeof name), ORV_E_FAILED);
}

TEST_F(ServerCameraTest, CameraInfoRecordByteForByte) {
    orv_sim::Simulator sim(TwoServers());
    AddAll(sim);
    ASSERT_EQ(ORV_ServersConnect(), 0);
    const int plateCamera = sim.Server(1).FirstCamera() + 2;  // camera config 1 of server 2
    OrvCameraInfo info{};
    // Status blocks and camera records arrive with the worker's refresh pass.
    ASSERT_TRUE(Eventually(
        [&] { return ORV_CameraGetInfo(plateCamera, &info) == 0 && info.recordByte0 == 1; }, milliseconds(5000)))
        << "camera record not refreshed";
    unsigned char bytes[32];
    std::memcpy(bytes, &info, sizeof bytes);
    int32_t camera = 0, handle = 0;
    std::memcpy(&camera, bytes, 4);
    std::memcpy(&handle, bytes + 4, 4);
    EXPECT_EQ(camera, plateCamera);
    EXPECT_EQ(handle, 2);
    double recordTime = 0.0, width = 0.0;
    std::memcpy(&recordTime, bytes + 8, 8);
    std::memcpy(&width, bytes + 16, 8);
    EXPECT_NEAR(recordTime, NowOle(), 30.0 / 86400.0);
    EXPECT_EQ(width, 640.0);
    EXPECT_EQ(bytes[24], 1);  // record byte 0: active
    EXPECT_EQ(bytes[25], 1);  // status: active
    EXPECT_EQ(bytes[26], 0);  // status: kind (JPEG)
    EXPECT_EQ(bytes[27], 25);  // status: frame rate
    EXPECT_EQ(bytes[28], 1);  // status: plates
    EXPECT_EQ(bytes[29], 1);  // record int16 at 32 non-zero (plates)
    EXPECT_EQ(bytes[30], 1);  // active flag of the login block
    EXPECT_EQ(bytes[31], 1);  // record int16 at 34 is zero

    const int inactive = sim.Server(0).FirstCamera() + 3;
    ASSERT_EQ(ORV_CameraGetInfo(inactive, &info), 0);
    EXPECT_EQ(info.active, 0);
    EXPECT_EQ(ORV_CameraGetInfo(2048, &info), ORV_E_UNKNOWN_CAMERA);
    EXPECT_EQ(ORV_CameraGetInfo(0, &info), ORV_E_UNKNOWN_CAMERA);
}

TEST_F(ServerCameraTest, ZeroCameraServerShowsAnEmptyRange) {
    auto configs = orv_sim::UniformServers(2, 2);
    configs[0].cameras.clear();
    configs[1].firstCamera = 0;
    orv_sim::Simulator sim(configs);
    AddAll(sim);
    ASSERT_EQ(ORV_ServersConnect(), 0);
    int first = -1, last = -1, count = -1;
    ASSERT_EQ(ORV_ServerGetCameras(1, &first, &last, &count), 0);
    EXPECT_EQ(count, 0);
    char name[32];
    ASSERT_EQ(ORV_CameraGetName(1, name, sizeof name), 0);  // camera 1 belongs to the second server
    OrvCameraInfo info{};
    ASSERT_EQ(ORV_CameraGetInfo(1, &info), 0);
    EXPECT_EQ(info.serverHandle, 2);
}

TEST_F(ServerCameraTest, DisconnectKeepsRecordsAndReconnectRestoresThem) {
    orv_sim::Simulator sim(TwoServers());
    AddAll(sim);
    ASSERT_EQ(ORV_ServersConnect(), 0);
    ASSERT_EQ(ORV_ServersDisconnect(), 0);
    EXPECT_EQ(ORV_ServersGetCount(), 2);
    EXPECT_EQ(StateOf(1), ORV_STATE_IDLE);  // by position: no handles remain
    EXPECT_EQ(StateOf(2), ORV_STATE_IDLE);
    int first = 0, last = 0, count = 0;
    EXPECT_EQ(ORV_ServerGetCameras(1, &first, &last, &count), ORV_E_FAILED);
    char name[32];
    EXPECT_EQ(ORV_CameraGetName(sim.Server(0).FirstCamera() + 1, name, sizeof name), ORV_E_FAILED);
    EXPECT_TRUE(Eventually([&] { return sim.Server(0).OpenConnections() == 0; }, milliseconds(3000)));

    ASSERT_EQ(ORV_ServersConnect(), 0);
    EXPECT_EQ(StateOf(1), ORV_STATE_CONNECTED);
    ASSERT_EQ(ORV_CameraGetName(sim.Server(0).FirstCamera() + 1, name, sizeof name), 0);
    EXPECT_STREQ(name, "Gate");
    ASSERT_EQ(ORV_ServersDelAll(), 0);
    EXPECT_EQ(ORV_ServersGetCount(), 0);
}

TEST_F(ServerCameraTest, RefusedServersDoNotHoldUpConnect) {
    orv_sim::Simulator sim(orv_sim::UniformServers(1, 2));
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(ORV_ServerAdd(kLoopback, orv_test::ClosedLoopbackPort(), 0, 0, ""), 0);
    }
    ASSERT_EQ(ORV_ServerAdd(kLoopback, sim.Server(0).Port(), 0, 0, ""), 0);
    const auto start = Clock::now();
    ASSERT_EQ(ORV_ServersConnect(), 0);
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, milliseconds(1500));
    std::printf("[ measure  ] ServersConnect with 10 refused + 1 live server: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(elapsed).count()));
    int refusedOrFailed = 0;
    for (int position = 1; position <= 10; ++position) {
        const int state = StateOf(position);
        EXPECT_NE(state, ORV_STATE_CONNECTED) << position;
        refusedOrFailed += state == ORV_STATE_REFUSED || state == ORV_STATE_FAILED ? 1 : 0;
    }
    std::printf("[ measure  ] refused/failed states right after connect: %d of 10\n", refusedOrFailed);
    EXPECT_EQ(StateOf(11), ORV_STATE_CONNECTED);
    char name[32];
    EXPECT_EQ(ORV_CameraGetName(1, name, sizeof name), 0);
}

TEST_F(ServerCameraTest, RestartedServerIsReconnectedWithoutHostAction) {
    auto configs = orv_sim::UniformServers(1, 3);
    configs[0].cameras[0].name = "Before";
    auto sim = std::make_unique<orv_sim::Simulator>(configs);
    const uint16_t port = sim->Server(0).Port();
    ASSERT_EQ(ORV_ServerAdd(kLoopback, port, 0, 0, ""), 0);
    ASSERT_EQ(ORV_ServersConnect(), 0);
    char name[32];
    ASSERT_EQ(ORV_CameraGetName(1, name, sizeof name), 0);
    EXPECT_STREQ(name, "Before");

    sim.reset();  // the server goes away
    ASSERT_TRUE(Eventually([] { return StateOf(1) != ORV_STATE_CONNECTED; }, milliseconds(6000)));
    EXPECT_EQ(ORV_CameraGetName(1, name, sizeof name), ORV_E_FAILED);

    configs[0].port = port;
    configs[0].cameras[0].name = "After";
    const auto restarted = Clock::now();
    sim = std::make_unique<orv_sim::Simulator>(configs);
    ASSERT_TRUE(Eventually([&] { return ORV_CameraGetName(1, name, sizeof name) == 0; }, milliseconds(15000)));
    const auto elapsed = Clock::now() - restarted;
    EXPECT_STREQ(name, "After");  // the list was loaded again, not kept
    EXPECT_EQ(StateOf(1), ORV_STATE_CONNECTED);
    std::printf("[ measure  ] restart to reloaded camera list: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(elapsed).count()));
}

TEST_F(ServerCameraTest, DuplicateAndLimitAgainstLiveServers) {
    orv_sim::Simulator sim(orv_sim::UniformServers(1, 1));
    const int port = sim.Server(0).Port();
    ASSERT_EQ(ORV_ServerAdd("LOCALHOST", port, 0, 0, ""), 0);
    EXPECT_EQ(ORV_ServerAdd("localhost", port, 0, 0, ""), ORV_E_DUPLICATE);
    ASSERT_EQ(ORV_ServersConnect(), 0);  // a host name goes through name resolution
    EXPECT_EQ(StateOf(1), ORV_STATE_CONNECTED);
    int first = 0, last = 0, count = 0;
    EXPECT_EQ(ORV_ServerGetCameras(1, &first, &last, &count), 0);
    EXPECT_EQ(count, 1);
}

}  // namespace
