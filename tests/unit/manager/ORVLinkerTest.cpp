// The server manager against a scripted protocol client: registry rules, connecting,
// camera lookups, the worker thread's refresh/reconnect passes and its prompt stop.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "FakeModule.h"
#include "manager/ORVLinker.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Builds a manager around a FakeModule that the test keeps a pointer to.
struct Rig {
    explicit Rig(FakeScript script = FakeScript(), ManagerOptions options = FastOptions()) {
        auto module = std::make_unique<FakeModule>(script);
        fake = module.get();
        auto holder = std::make_shared<std::unique_ptr<FakeModule>>(std::move(module));
        manager = std::make_unique<ORVLinker>([holder] { return std::move(*holder); }, options);
    }
    static ManagerOptions FastOptions() {
        ManagerOptions options;
        options.workerPeriod = milliseconds(10);
        return options;
    }
    int32_t Add(const std::string& address, int32_t port = 0) {
        int32_t number = 0;
        const int32_t result = manager->AddServer(address, 0, port, 7, "secret", number, false);
        return result == 0 ? number : result;
    }
    std::vector<ServerInfo> Servers() {
        std::vector<ServerInfo> list;
        EXPECT_EQ(manager->GetServers(list), 0);
        return list;
    }
    FakeModule* fake = nullptr;
    std::unique_ptr<ORVLinker> manager;
};

// Polls a condition for up to `limit`; the worker runs on its own schedule.
template <class Pred>
bool Eventually(Pred pred, milliseconds limit = milliseconds(3000)) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return pred();
}

// ---------------------------------------------------------------------------
// Registry

TEST(ManagerRegistry, DuplicatesCompareAddressCaselessAndPortAsGiven) {
    Rig rig;
    EXPECT_EQ(rig.Add("CamHost", 6001), 1);
    EXPECT_EQ(rig.Add("camhost", 6001), -7);
    EXPECT_EQ(rig.Add("camhost", 6002), 2);
    EXPECT_EQ(rig.Add("camhost2", 6001), 3);
    EXPECT_EQ(rig.Add("zero"), 4);
    EXPECT_EQ(rig.Add("zero"), 5);  // stored port is 5001, compared port is 0
    EXPECT_EQ(rig.Add("zero", 5001), -7);
    int32_t number = 0;
    EXPECT_EQ(rig.manager->AddServer("CAMHOST", 0, 6001, 0, "", number, true), 0);  // duplicates allowed
    EXPECT_EQ(number, 6);
    EXPECT_EQ(rig.manager->GetServerCount(), 6);
}

TEST(ManagerRegistry, DefaultsAndTheThirtyOneServerLimit) {
    Rig rig;
    int32_t number = 0;
    ASSERT_EQ(rig.manager->AddServer("h0", -4, -1, 3, "pw", number, false), 0);
    auto list = rig.Servers();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].port, 5001);
    EXPECT_EQ(list[0].handle, 0);
    EXPECT_EQ(list[0].state, 0);
    EXPECT_EQ(list[0].password, "pw");
    for (int i = 1; i < 31; ++i) ASSERT_EQ(rig.Add(Numbered("h", i)), i + 1);
    EXPECT_EQ(rig.Add("h31"), -1);
    EXPECT_EQ(rig.manager->GetServerCount(), 31);
    EXPECT_EQ(rig.manager->DeleteAllServers(), 0);
    EXPECT_EQ(rig.manager->GetServerCount(), 0);
    EXPECT_TRUE(rig.Servers().empty());
}

// ---------------------------------------------------------------------------
// Connecting

TEST(ManagerConnect, RegistersLogsInAndLoadsNames) {
    Rig rig;
    auto server = ConnectedServer(10, 3);
    server.names[1] = "";  // the server fails this name
    rig.fake->plan = {server, ConnectedServer(100, 2, "Gate")};
    rig.Add("192.168.7.5", 6000);
    rig.Add("recorder.local", 6001);
    ASSERT_EQ(rig.manager->ConnectAll(), 0);
    EXPECT_TRUE(rig.manager->IsAutoConnect());

    ASSERT_EQ(rig.fake->servers.size(), 2u);
    const auto& first = rig.fake->Server(1);
    EXPECT_EQ(first.hostName, "");
    EXPECT_EQ(first.hostAddress, "192.168.7.5");
    EXPECT_EQ(first.clientVersion, 715);
    EXPECT_EQ(first.rateLimit, 524288);
    EXPECT_EQ(first.userValue, 7);
    EXPECT_EQ(first.loginKey, "secret  ");
    EXPECT_EQ(rig.fake->Server(2).hostName, "recorder.local");
    EXPECT_EQ(rig.fake->Server(2).hostAddress, "");
    EXPECT_EQ(rig.fake->archiveOpens.load(), 2);

    const auto list = rig.Servers();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].handle, 1);
    EXPECT_EQ(list[0].state, 3);
    EXPECT_EQ(list[0].firstCamera, 11);
    EXPECT_EQ(list[0].lastCamera, 13);
    EXPECT_EQ(list[0].cameraCount, 3);
    EXPECT_EQ(list[1].firstCamera, 101);

    std::string name;
    EXPECT_EQ(rig.manager->GetCameraName(11, name), 0);
    EXPECT_EQ(name, "Cam11");
    EXPECT_EQ(rig.manager->GetCameraName(12, name), 0);
    EXPECT_EQ(name, " ");  // not delivered by the server
    EXPECT_EQ(rig.manager->GetCameraName(102, name), 0);
    EXPECT_EQ(name, "Gate102");
    EXPECT_EQ(rig.manager->GetCameraName(14, name), -1);
    EXPECT_EQ(name, "");

    std::vector<std::pair<int32_t, std::string>> names;
    ASSERT_EQ(rig.manager->GetAllCameraNames(names), 0);
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], std::make_pair(11, std::string("Cam11")));
    EXPECT_EQ(names[4], std::make_pair(102, std::string("Gate102")));
}

TEST(ManagerConnect, RegistersWithoutVersionWhenTheClientHasNoExtendedForm) {
    FakeModule::Script script;
    script.extended = false;
    Rig rig(script);
    rig.fake->plan = {ConnectedServer(0, 1)};
    rig.Add("10.0.0.1");
    rig.manager->ConnectAll();
    ASSERT_EQ(rig.fake->servers.size(), 1u);
    EXPECT_EQ(rig.fake->Server(1).clientVersion, -1);
    EXPECT_EQ(rig.fake->Server(1).port, 5001);
}

class CameraNumbers : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(CameraNumbers, NameLookupAnswers) {
    Rig rig;
    rig.fake->plan = {ConnectedServer(0, 4)};
    rig.Add("127.0.0.1");
    rig.manager->ConnectAll();
    std::string name = "x";
    EXPECT_EQ(rig.manager->GetCameraName(GetParam().first, name), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Edges, CameraNumbers,
                         ::testing::Values(std::make_pair(0, -5), std::make_pair(2049, -5), std::make_pair(-3, -5),
                                           std::make_pair(1, 0), std::make_pair(4, 0), std::make_pair(5, -1),
                                           std::make_pair(2048, -1)));

TEST(ManagerConnect, ZeroCameraServerIsListedButOwnsNoCameras) {
    Rig rig;
    auto empty = ConnectedServer(0, 0);
    empty.info.lastCamera = 5;  // a range that the zero count must override
    rig.fake->plan = {empty, ConnectedServer(0, 2)};
    rig.Add("127.0.0.1", 1);
    rig.Add("127.0.0.1", 2);
    rig.manager->ConnectAll();
    std::vector<CameraRange> ranges;
    ASSERT_EQ(rig.manager->GetCameraRanges(ranges), 0);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].serverHandle, 1);
    EXPECT_EQ(ranges[0].cameraCount, 0);
    int32_t handle = 0;
    ASSERT_EQ(rig.manager->GetCameraServerHandle(1, handle), 0);
    EXPECT_EQ(handle, 2);  // found on the second server, not the empty first one
    const auto list = rig.Servers();
    EXPECT_EQ(list[0].cameraCount, 0);
    EXPECT_EQ(list[0].firstCamera, 0);
}

TEST(ManagerConnect, FailedLoginStoresAZeroedBlockAndShowsNoCameras) {
    FakeModule::Script script;
    script.loginResult = -6;
    Rig rig(script);
    rig.fake->plan = {ConnectedServer(0, 4)};
    rig.Add("127.0.0.1");
    rig.manager->ConnectAll();
    std::vector<CameraRange> ranges;
    ASSERT_EQ(rig.manager->GetCameraRanges(ranges), 0);
    ASSERT_EQ(ranges.size(), 1u);  // the list counts as known ...
    EXPECT_EQ(ranges[0].cameraCount, 0);  // ... with no cameras
    CameraInfo info;
    EXPECT_EQ(rig.manager->GetCameraInfo(1, info), -12);
}

TEST(ManagerConnect, HostileCameraCountIsBoundedToOneRecord) {
    Rig rig;
    auto hostile = ConnectedServer(0, 128);
    hostile.info.lastCamera = 2047;
    hostile.info.cameraCount = 1'000'000;
    rig.fake->plan = {hostile};
    rig.Add("127.0.0.1");
    const auto start = Clock::now();
    rig.manager->ConnectAll();
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    std::vector<std::pair<int32_t, std::string>> names;
    ASSERT_EQ(rig.manager->GetAllCameraNames(names), 0);
    EXPECT_TRUE(names.empty());  // name count differs from the claimed count
    std::string name;
    EXPECT_EQ(rig.manager->GetCameraName(128, name), 0);
    EXPECT_EQ(rig.manager->GetCameraName(129, name), -1);  // beyond what a record holds
    CameraInfo info;
    EXPECT_EQ(rig.manager->GetCameraInfo(2000, info), -12);
    std::vector<CameraInfo> infos;
    ASSERT_EQ(rig.manager->GetAllCameraInfo(infos), 0);
    EXPECT_EQ(infos.size(), 128u);
}

TEST(ManagerConnect, UnreachableServersCostOnePollBudget) {
    Rig rig;
    for (int i = 0; i < 10; ++i) {
        FakeServer s;
        s.state = 1;  // stays connecting
        rig.fake->plan.push_back(s);
        rig.Add(Numbered("10.255.0.", i + 1));
    }
    const auto start = Clock::now();
    ASSERT_EQ(rig.manager->ConnectAll(), 0);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(200));
    // One shared budget, not one per server (which would be 2 s); room left for a loaded host.
    EXPECT_LT(elapsed, milliseconds(1500));
    for (const auto& s : rig.Servers()) EXPECT_EQ(s.state, 1);
    std::printf("[ measure  ] ConnectAll with 10 connecting servers: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(elapsed).count()));
}

TEST(ManagerConnect, DisconnectKeepsRecordsWithHandleAndStateZero) {
    Rig rig;
    rig.fake->plan = {ConnectedServer(0, 2), ConnectedServer(2, 2)};
    rig.Add("127.0.0.1", 1);
    rig.Add("127.0.0.1", 2);
    rig.manager->ConnectAll();
    ASSERT_EQ(rig.manager->DisconnectAll(), 0);
    EXPECT_FALSE(rig.manager->IsAutoConnect());
    EXPECT_EQ(rig.fake->dropAllCalls.load(), 1);
    const auto list = rig.Servers();
    ASSERT_EQ(list.size(), 2u);
    for (const auto& s : list) {
        EXPECT_EQ(s.handle, 0);
        EXPECT_EQ(s.state, 0);
        EXPECT_EQ(s.cameraCount, 0);
    }
    std::string name;
    EXPECT_EQ(rig.manager->GetCameraName(1, name), -1);
    // Connecting again registers anew.
    rig.fake->plan = {ConnectedServer(0, 2), ConnectedServer(2, 2)};
    rig.manager->ConnectAll();
    EXPECT_EQ(rig.Servers()[1].handle, 2);
    EXPECT_EQ(rig.manager->GetCameraName(3, name), 0);
}

TEST(ManagerConnect, ReadersAnswerAtOnceWhileConnectWaitsForALogin) {
    FakeModule::Script script;
    script.loginDelay = milliseconds(2000);
    Rig rig(script);
    rig.fake->plan = {ConnectedServer(0, 1)};
    rig.Add("127.0.0.1");
    auto connecting = std::async(std::launch::async, [&] { return rig.manager->ConnectAll(); });
    std::this_thread::sleep_for(milliseconds(100));  // ConnectAll is inside Login now
    std::vector<ServerInfo> list;
    const auto start = Clock::now();
    EXPECT_EQ(rig.manager->GetServers(list), 0);
    const auto waited = Clock::now() - start;
    // The login holds no registry lock: the reader answers with the record as it is.
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cameraCount, 0);
    EXPECT_LT(waited, milliseconds(175));
    EXPECT_EQ(connecting.get(), 0);
    EXPECT_EQ(rig.manager->GetServers(list), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cameraCount, 1);
}

// ---------------------------------------------------------------------------
// Camera information and telemetry

TEST(ManagerCameras, CameraInfoCarriesStatusAndRecordFields) {
    Rig rig;
    auto server = ConnectedServer(20, 3);
    server.info.activeFlags[2] = 0;
    rig.fake->plan = {server};
    // Status entry of slot 1 (camera 22): 4 bytes, int16, 2 bytes, int16, 2 bytes.
    const uint8_t entry[12] = {1, 2, 3, 4, 0x34, 0x12, 7, 8, 0xFE, 0xFF, 11, 12};
    std::memcpy(rig.fake->statusBlock.data() + 12, entry, 12);
    auto& record = rig.fake->record;
    record.active = 0x5A;
    record.value1 = -2;
    record.value2 = 300;
    record.value3 = 123456;
    for (int i = 0; i < 8; ++i) record.time[i] = static_cast<uint8_t>(0x10 + i);
    for (int i = 0; i < 8; ++i) record.value4[i] = static_cast<uint8_t>(0x20 + i);
    record.flagA = 0;
    record.flagB = 0;
    rig.Add("127.0.0.1");
    rig.manager->ConnectAll();
    ASSERT_TRUE(Eventually([&] { return rig.fake->recordCalls.load() >= 3; }));
    std::this_thread::sleep_for(milliseconds(20));

    CameraInfo info;
    ASSERT_EQ(rig.manager->GetCameraInfo(22, info), 0);
    EXPECT_EQ(info.camera, 22);
    EXPECT_EQ(info.serverHandle, 1);
    EXPECT_TRUE(info.active);
    EXPECT_EQ(info.status.bytes, (std::array<uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(info.status.value1, 0x1234);
    EXPECT_EQ(info.status.bytes2, (std::array<uint8_t, 2>{7, 8}));
    EXPECT_EQ(info.status.value2, -2);
    EXPECT_EQ(info.status.bytes3, (std::array<uint8_t, 2>{11, 12}));
    EXPECT_EQ(info.recordByte, 0x5A);
    EXPECT_EQ(info.recordValue1, -2);
    EXPECT_EQ(info.recordValue2, 300);
    EXPECT_EQ(info.recordValue3, 123456);
    EXPECT_EQ(info.recordTime[0], 0x10);
    EXPECT_EQ(info.recordValue4[7], 0x27);
    EXPECT_FALSE(info.flagA);
    EXPECT_TRUE(info.flagB);

    ASSERT_EQ(rig.manager->GetCameraInfo(23, info), 0);
    EXPECT_FALSE(info.active);
    EXPECT_EQ(rig.manager->GetCameraInfo(24, info), -12);
    bool online = true;
    EXPECT_EQ(rig.manager->IsCameraOnline(23, online), 0);
    EXPECT_FALSE(online);
    EXPECT_EQ(rig.manager->IsCameraOnline(21, online), 0);
    EXPECT_TRUE(online);
    bool connected = false;
    EXPECT_EQ(rig.manager->IsCameraServerConnected(23, connected), 0);
    EXPECT_TRUE(connected);
    std::string address, password;
    int32_t port = 0, rate = 0;
    ASSERT_EQ(rig.manager->GetCameraServer(21, address, password, port, rate), 0);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 5001);
    EXPECT_EQ(rate, 524288);
}

TEST(ManagerCameras, TelemetryClampsSpeedsAndChecksTheCamera) {
    Rig rig;
    auto server = ConnectedServer(0, 2);
    server.info.activeFlags[1] = 0;
    rig.fake->plan = {server};
    rig.Add("127.0.0.1");
    EXPECT_EQ(rig.manager->CamTele(1, 5, 1, 1, 0), -5);  // no camera list yet
    rig.manager->ConnectAll();
    ASSERT_EQ(rig.manager->CamTele(1, 5, 150, -3, 0x1FF), 0);
    ASSERT_EQ(rig.fake->lastTelemetry.size(), 16u);
    EXPECT_EQ(rig.fake->lastTelemetry[4], 99);
    EXPECT_EQ(rig.fake->lastTelemetry[5], 0);
    EXPECT_EQ(rig.fake->lastTelemetry[8], 0xFF);
    EXPECT_EQ(rig.fake->lastTelemetryCamera, 0);
    EXPECT_EQ(rig.manager->CamTele(2, 5, 1, 1, 0), -9);
    EXPECT_EQ(rig.manager->CamTele(0, 5, 1, 1, 0), -5);
    EXPECT_EQ(rig.manager->CamTeleRaw(1, 5, nullptr), -5);

    int32_t speed = 0;
    EXPECT_EQ(rig.manager->GetTeleSpeed1(1, speed), 0);
    EXPECT_EQ(speed, 20);
    rig.manager->SetTeleSpeed2(1, 250);
    EXPECT_EQ(rig.manager->GetTeleSpeed2(1, speed), 0);
    EXPECT_EQ(speed, 99);
    ASSERT_EQ(rig.manager->CamTeleStored(1, 6), 0);
    EXPECT_EQ(rig.fake->lastTelemetry[4], 20);
    EXPECT_EQ(rig.fake->lastTelemetry[5], 99);

    rig.manager->DisconnectAll();
    EXPECT_EQ(rig.manager->CamTele(1, 5, 1, 1, 0), -5);
}

TEST(ManagerCameras, ArchiveChannelsAndNotReadyClient) {
    Rig rig;
    EXPECT_EQ(rig.manager->ArchiveOpen(4, true), -5);
    EXPECT_EQ(rig.manager->ArchiveOpen(-1, true), -5);
    EXPECT_EQ(rig.manager->ArchiveOpen(0, true), 0);  // the fake reports end > begin
    double begin = 0, end = 0;
    EXPECT_EQ(rig.manager->ArchiveGetInfo(3, begin, end), 0);
    EXPECT_DOUBLE_EQ(end - begin, 1.0);

    FakeModule::Script notReady;
    notReady.ready = false;
    Rig idle(notReady);
    EXPECT_FALSE(idle.manager->IsModuleReady());
    EXPECT_EQ(idle.manager->ArchiveOpen(4, true), -5);  // channel test first
    EXPECT_EQ(idle.manager->ArchiveOpen(0, true), -510);
    EXPECT_EQ(idle.manager->CamTele(1, 1, 1, 1, 1), -510);
    idle.Add("127.0.0.1");
    EXPECT_EQ(idle.manager->ConnectAll(), 0);
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(idle.fake->pollTablesCalls.load(), 0);  // the worker skips every pass
    EXPECT_EQ(idle.manager->WorkerPasses(), 0);
}

TEST(ManagerCameras, ManagerWithoutProtocolClientAnswersNotReady) {
    ORVLinker manager(nullptr, Rig::FastOptions());
    EXPECT_FALSE(manager.IsModuleReady());
    int32_t number = 0;
    EXPECT_EQ(manager.AddServer("h", 0, 0, 0, "", number, false), 0);
    EXPECT_EQ(manager.ConnectAll(), 0);
    EXPECT_EQ(manager.ArchiveGetPosition(0, *std::make_unique<double>()), -510);
    int32_t count = 0;
    std::vector<TOrvFrame> frames;
    EXPECT_EQ(manager.GetLiveFrames(count, {1}, frames, 3, false), -510);
}

// ---------------------------------------------------------------------------
// Worker thread

TEST(ManagerWorker, ReconnectsAfterTwoFailingPassesAndReloadsCameras) {
    Rig rig;
    rig.fake->plan = {ConnectedServer(0, 2)};
    rig.Add("127.0.0.1");
    rig.manager->ConnectAll();
    ASSERT_EQ(rig.fake->Server(1).logins, 1);

    rig.fake->SetState(1, 5);  // unreachable
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard lock(rig.fake->mutex);
        return rig.fake->Server(1).reconnects >= 1;
    }));
    std::string name;
    EXPECT_EQ(rig.manager->GetCameraName(1, name), -1);  // list forgotten while failing
    EXPECT_EQ(rig.Servers()[0].state, 5);

    rig.fake->SetState(1, 3);
    ASSERT_TRUE(Eventually([&] { return rig.manager->GetCameraName(1, name) == 0; }));
    EXPECT_EQ(name, "Cam1");
    std::lock_guard lock(rig.fake->mutex);
    EXPECT_EQ(rig.fake->Server(1).logins, 2);
}

TEST(ManagerWorker, ConnectingStatesAreNotFailures) {
    Rig rig;
    rig.fake->plan = {ConnectedServer(0, 1)};
    rig.Add("127.0.0.1");
    rig.manager->ConnectAll();
    rig.fake->SetState(1, 1);
    const int64_t passes = rig.manager->WorkerPasses();
    ASSERT_TRUE(Eventually([&] { return rig.manager->WorkerPasses() >= passes + 4; }));
    std::lock_guard lock(rig.fake->mutex);
    EXPECT_EQ(rig.fake->Server(1).reconnects, 0);
}

TEST(ManagerWorker, RefreshesEverySecondPassOnlyWhileAutoConnectIsOn) {
    Rig rig;
    rig.fake->plan = {ConnectedServer(0, 1)};
    rig.Add("127.0.0.1");
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(rig.fake->pollTablesCalls.load(), 0);  // auto-connect off
    rig.manager->ConnectAll();
    ASSERT_TRUE(Eventually([&] { return rig.fake->pollTablesCalls.load() >= 3; }));
    rig.manager->DisconnectAll();
    std::this_thread::sleep_for(milliseconds(30));
    const int calls = rig.fake->pollTablesCalls.load();
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(rig.fake->pollTablesCalls.load(), calls);
}

TEST(ManagerWorker, DestructionStopsAPassMidway) {
    FakeModule::Script script;
    script.recordDelay = milliseconds(10);  // 128 cameras: a refresh pass takes about 1.3 s
    Rig rig(script);
    rig.fake->plan = {ConnectedServer(0, 128)};
    rig.Add("127.0.0.1");
    rig.manager->ConnectAll();
    ASSERT_TRUE(Eventually([&] { return rig.fake->recordCalls.load() >= 5; }));
    const auto start = Clock::now();
    rig.manager.reset();
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, milliseconds(200));
    std::printf("[ measure  ] manager destruction mid-pass: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(elapsed).count()));
}

TEST(ManagerWorker, IdleDestructionDoesNotWaitForThePeriod) {
    ManagerOptions slow;
    slow.workerPeriod = milliseconds(1000);
    const auto start = Clock::now();
    {
        Rig rig(FakeScript(), slow);
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_LT(Clock::now() - start, milliseconds(300));
}

TEST(ManagerFrames, FrameStateResetsAndLiveAnswersWithoutRetrieval) {
    Rig rig;
    rig.fake->plan = {ConnectedServer(0, 2)};
    rig.Add("127.0.0.1");
    int32_t count = 5;
    std::vector<TOrvFrame> frames;
    EXPECT_EQ(rig.manager->GetLiveFrames(count, {}, frames, 3, false), -5);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(rig.manager->GetLiveFrames(count, {1}, frames, 3, false), -9);  // not connected yet
    rig.manager->ConnectAll();
    EXPECT_EQ(rig.manager->GetLiveFrames(count, {1, 7}, frames, 3, false), 0);
    EXPECT_EQ(count, 0);
    int32_t got = 3;
    TOrvFrame frame;
    EXPECT_EQ(rig.manager->GetArchiveFrame(0, got, {9}, 0, true, frame, 3, 0.0, false), -9);
    EXPECT_EQ(got, 0);
}

TEST(FrameRecord, CopiesAreDeep) {
    TOrvFrame original;
    original.camera = 3;
    original.data = {1, 2, 3};
    original.frameTimes = {45000.5};
    original.reservedData = {9};
    TOrvFrame copy = original;
    original.data[0] = 77;
    original.frameTimes[0] = 1.0;
    original.reservedData.clear();
    EXPECT_EQ(copy.data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(copy.frameTimes[0], 45000.5);
    EXPECT_EQ(copy.reservedData.size(), 1u);
    EXPECT_NE(copy.data.data(), original.data.data());
}

}  // namespace
