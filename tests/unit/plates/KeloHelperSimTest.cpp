// The plate helper over the real server manager and protocol client against an
// in-process simulated recording server on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <future>
#include <thread>
#include <vector>

#include "manager/ORVLinker.h"
#include "plates/KeloHelper.h"
#include "plates/PlateMessage.h"
#include "protocol/Wire.h"
#include "sim/Simulator.h"

namespace {

using namespace std::chrono_literals;

// "dd.mm.yyyy HH:MM:SS.mmm" of now minus ageMs, in UTC: the archive keeps UTC times and
// the helper looks the picture up at the time exactly as written.
std::string UtcStamp(int64_t ageMs) {
    const auto now = std::chrono::system_clock::now() - std::chrono::milliseconds(ageMs);
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d.%03d", utc.tm_mday, utc.tm_mon + 1,
                  utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

class KeloHelperSim : public ::testing::Test {
  protected:
    void Start(std::vector<orv_sim::ServerConfig> servers) {
        sim = std::make_unique<orv_sim::Simulator>(std::move(servers));
        ManagerOptions options;
        options.workerPeriod = 100ms;
        manager = std::make_shared<ORVLinker>(&ORVLinker::MakeDefaultModule, options);
        for (size_t i = 0; i < sim->ServerCount(); ++i) {
            int32_t number = 0;
            ASSERT_EQ(manager->AddServer("127.0.0.1", 0, sim->Server(i).Port(), 0, "", number, false), 0);
        }
        manager->ConnectAll();
        bool connected = false;
        for (int i = 0; i < 300 && !connected; ++i) {
            std::vector<ServerInfo> list;
            connected = manager->GetServers(list) == 0 && list.size() == sim->ServerCount() &&
                        std::all_of(list.begin(), list.end(), [](const ServerInfo& s) { return s.state == 3; });
            if (!connected) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(connected);
        helper = std::make_unique<KeloHelper>(manager, KeloHelper::Options{5ms, {}});
    }
    void TearDown() override {
        helper.reset();
        manager.reset();
        sim.reset();
    }

    // Polls the queue until a record arrives (bounded).
    int TakeWithin(char* number, int& server, int& camera, double& time, int imageType, unsigned char* image,
                   unsigned capacity, int& width, int& height, int& size) {
        int result = -300;
        for (int i = 0; i < 300 && result == -300; ++i) {
            result = KeloGetPlateNumber(*helper, number, &server, &camera, &time, imageType, 0, image,
                                        capacity, &width, &height, &size);
            if (result == -300) std::this_thread::sleep_for(10ms);
        }
        return result;
    }

    std::unique_ptr<orv_sim::Simulator> sim;
    std::shared_ptr<ORVLinker> manager;
    std::unique_ptr<KeloHelper> helper;
};

TEST_F(KeloHelperSim, ServerTextBecomesQueuedAndLatestRecord) {
    Start(orv_sim::UniformServers(1, 2));
    const std::string stamp = UtcStamp(5000);
    sim->Server(0).PushServerText("<W>4097</W><C>1</C><T>" + stamp + "</T><S>num=E2E777;dir=0</S>");
    sim->Server(0).PushServerText("<W>4096</W><C>0</C><S>num=NOTAPLATE</S>");
    ASSERT_EQ(KeloEnablePlateDetect(*helper, 1), 0);

    char number[32];
    int server = 0, camera = 0, width = -1, height = -1, size = -1;
    double time = 0.0;
    ASSERT_EQ(TakeWithin(number, server, camera, time, 0, nullptr, 0, width, height, size), 0);
    EXPECT_STREQ(number, "E2E777");
    EXPECT_EQ(camera, 2);
    EXPECT_GE(server, 1);
    EXPECT_EQ(time, ParseTimeStamp(stamp));
    EXPECT_EQ(size, 0);

    double latestTime = 0.0;
    ASSERT_EQ(KeloGetLatestPlateNumber(*helper, 2, number, &server, &latestTime, 0, 0, nullptr, 0, &width,
                                       &height, &size, 0),
              0);
    EXPECT_STREQ(number, "E2E777");
    EXPECT_EQ(latestTime, time);
    EXPECT_EQ(KeloEnablePlateDetect(*helper, 0), 0);
    EXPECT_EQ(KeloGetPlateNumber(*helper, number, &server, &camera, &time, 0, 0, nullptr, 0, &width, &height,
                                 &size),
              -300);  // the other kind of message was dropped
}

// The record carries the archive picture of its camera nearest the event time.
TEST_F(KeloHelperSim, RecordCarriesArchivePicture) {
    Start(orv_sim::UniformServers(1, 2));
    const std::string stamp = UtcStamp(5000);
    sim->Server(0).PushServerText("<W>4097</W><C>0</C><T>" + stamp + "</T><S>num=PIC1</S>");
    ASSERT_EQ(KeloEnablePlateDetect(*helper, 1), 0);

    char number[32];
    int server = 0, camera = 0, width = 0, height = 0, size = 0;
    double time = 0.0;
    std::vector<unsigned char> image(1 << 20);
    ASSERT_EQ(TakeWithin(number, server, camera, time, 1, image.data(), static_cast<unsigned>(image.size()),
                         width, height, size),
              0);
    ASSERT_GT(size, 2);  // a JPEG picture of the camera near the event
    EXPECT_EQ(image[0], 0xFF);
    EXPECT_EQ(image[1], 0xD8);
    EXPECT_STREQ(number, "PIC1");
    EXPECT_EQ(camera, 1);
    EXPECT_EQ(width, 640);  // the simulated camera's default picture size
    EXPECT_EQ(height, 360);
    EXPECT_LT(std::abs(time - ParseTimeStamp(stamp)), 10.0 / 86400.0);

    double latestTime = 0.0;
    ASSERT_EQ(KeloGetLatestPlateNumber(*helper, 1, number, &server, &latestTime, 3, 0, image.data(),
                                       static_cast<unsigned>(image.size()), &width, &height, &size, 0),
              0);
    EXPECT_STREQ(number, "PIC1");
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 360);
    EXPECT_EQ(size, width * height * 3);
}

TEST_F(KeloHelperSim, GeneratedPlateEventsArrive) {
    auto servers = orv_sim::UniformServers(1, 2);
    servers[0].cameras[0].plates = true;
    servers[0].cameras[0].plateIntervalSeconds = 0.05;
    Start(servers);
    ASSERT_EQ(KeloEnablePlateDetect(*helper, 1), 0);
    char number[32];
    int server = 0, camera = 0, width = -1, height = -1, size = -1;
    double time = 0.0;
    ASSERT_EQ(TakeWithin(number, server, camera, time, 0, nullptr, 0, width, height, size), 0);
    EXPECT_EQ(camera, 1);
    EXPECT_GT(std::string(number).size(), 0u);
    EXPECT_GT(time, 40000.0);
    EXPECT_EQ(size, 0);
}

// A picture lookup held up by a slow server delays no lookup on another server,
// and each still gets its own camera's picture.
TEST_F(KeloHelperSim, LookupOnAHealthyServerDoesNotWaitForOneOnASlowServer) {
    Start(orv_sim::UniformServers(2, 1));
    const std::string stamp = UtcStamp(5000);
    sim->Server(0).PushServerText("<W>4097</W><C>0</C><T>" + stamp + "</T><S>num=SLOW1</S>");
    sim->Server(1).PushServerText("<W>4097</W><C>1</C><T>" + stamp + "</T><S>num=FAST2</S>");
    ASSERT_EQ(KeloEnablePlateDetect(*helper, 1), 0);

    struct Lookup {
        int result = -1;
        std::string number;
        int size = 0;
        std::chrono::steady_clock::duration took{};
    };
    auto lookup = [this](int camera) {
        Lookup out;
        char number[32] = {};
        int server = 0, width = 0, height = 0;
        double time = 0.0;
        std::vector<unsigned char> image(1 << 20);
        const auto start = std::chrono::steady_clock::now();
        out.result = KeloGetLatestPlateNumber(*helper, camera, number, &server, &time, 1, 0, image.data(),
                                              static_cast<unsigned>(image.size()), &width, &height, &out.size, 0);
        out.took = std::chrono::steady_clock::now() - start;
        out.number = number;
        return out;
    };
    bool both = false;
    for (int i = 0; i < 300 && !both; ++i) {
        char number[32];
        int server = 0;
        double time = 0.0;
        both = KeloGetLatestPlateNumber(*helper, 1, number, &server, &time, 0, 0, nullptr, 0, nullptr, nullptr,
                                        nullptr, 0) == 0 &&
               KeloGetLatestPlateNumber(*helper, 2, number, &server, &time, 0, 0, nullptr, 0, nullptr, nullptr,
                                        nullptr, 0) == 0;
        if (!both) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(both) << "no plate record of cameras 1 and 2";

    // Server 1 sends its channel-3 seek replies in ten pieces 300 ms apart.
    const uint16_t seek = *orv_stuff::ArchiveChannelCommand(3, orv_stuff::kArchiveSeek);
    orv_sim::FaultConfig slow;
    slow.onlyCommand = seek;
    slow.slowChunkBytes = 8;
    slow.slowDelayMs = 300;
    sim->Server(0).SetFaults(slow);
    sim->Server(0).ClearJournal();
    auto held = std::async(std::launch::async, [&] { return lookup(1); });
    bool seeking = false;
    for (int i = 0; i < 300 && !seeking; ++i) {
        const auto journal = sim->Server(0).Snapshot();
        seeking = std::any_of(journal.requests.begin(), journal.requests.end(),
                              [seek](const orv_stuff::TMsgHeader& h) { return h.command == seek; });
        if (!seeking) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(seeking) << "the slow server was never asked to seek";

    const Lookup fast = lookup(2);
    EXPECT_EQ(fast.result, 0);
    EXPECT_EQ(fast.number, "FAST2");
    EXPECT_GT(fast.size, 2);
    EXPECT_LT(fast.took, 1s) << "the lookup waited for the other server's";

    const Lookup slowOne = held.get();
    EXPECT_EQ(slowOne.result, 0);
    EXPECT_EQ(slowOne.number, "SLOW1");
    EXPECT_GT(slowOne.size, 2);
    EXPECT_GT(slowOne.took, 2s) << "the fault did not hold the lookup up";
}

}  // namespace
