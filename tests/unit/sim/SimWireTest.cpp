// The simulator's side of the exchanges, spoken to over a raw loopback socket.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "SimTestClient.h"
#include "sim/Simulator.h"

namespace {

using orv_sim_test::Positive;
using orv_sim_test::RawClient;
using orv_sim_test::Request;
using namespace orv_stuff;

constexpr int64_t kStartMs = 1'700'000'000'000;  // 2023-11-14 22:13:20 UTC

orv_sim::CameraConfig SmallJpeg(int fps = 10) {
    orv_sim::CameraConfig c;
    c.width = 64;
    c.height = 48;
    c.fps = fps;
    return c;
}

class SimWire : public ::testing::Test {
  protected:
    void StartServers(std::vector<orv_sim::ServerConfig> servers) {
        orv_sim::SimulatorOptions options;
        options.clockMs = [this] { return now_.load(); };
        sim_ = std::make_unique<orv_sim::Simulator>(std::move(servers), options);
    }
    void StartDefault(const std::string& password = {}) {
        orv_sim::ServerConfig a;
        a.cameras = {SmallJpeg(), SmallJpeg(), SmallJpeg()};
        orv_sim::ServerConfig b = a;
        b.cameras[1].active = false;
        b.cameras[2].name = "\xD0\x92\xD1\x85\xD0\xBE\xD0\xB4 1";  // "Вход 1" in UTF-8
        b.password = password;
        StartServers({a, b});
    }

    std::optional<orv_sim_test::RawReply> Login(RawClient& client, const std::string& loginText) {
        TMsgHeader rq = Request(kCmdLogin);
        const std::string key = NormalizeLoginKey(loginText);
        std::memcpy(rq.field72, key.data(), 8);
        return client.Exchange(rq, {},
                               [](const TMsgHeader& h) { return Positive(h.field24) + Positive(h.field32); });
    }

    std::atomic<int64_t> now_{kStartMs};
    std::unique_ptr<orv_sim::Simulator> sim_;
};

TEST_F(SimWire, LoginAnswersCameraRangeAndActiveFlags) {
    StartDefault();
    RawClient client(sim_->Server(1).Port());
    ASSERT_TRUE(client.Connected());
    auto reply = Login(client, "anything");
    ASSERT_TRUE(reply);
    EXPECT_TRUE(IsAcceptedReply(reply->header, kCmdLogin));
    EXPECT_EQ(reply->header.version, 0);
    EXPECT_EQ(reply->header.length, 80 + 152);
    EXPECT_EQ(reply->header.field28, 1);
    ASSERT_EQ(reply->header.field24, 152);
    const TServerInfo info = DecodeServerInfo(reply->payload.data());
    EXPECT_EQ(info.firstCamera, 3);
    EXPECT_EQ(info.lastCamera, 5);
    EXPECT_EQ(info.cameraCount, 3);
    EXPECT_EQ(info.activeFlags[0], 1);
    EXPECT_EQ(info.activeFlags[1], 0);
    EXPECT_EQ(info.activeFlags[2], 1);
    EXPECT_EQ(info.activeFlags[3], 0);
}

TEST_F(SimWire, WrongPasswordGetsNoCamerasAndNoFrames) {
    StartDefault("Secret");
    RawClient client(sim_->Server(1).Port());
    auto refused = Login(client, "secrets?");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->header.field28, -1);
    EXPECT_EQ(DecodeServerInfo(refused->payload.data()).cameraCount, 0);

    TFrameEntry entry;
    entry.camera = 3;
    std::vector<uint8_t> payload(kFrameEntryShortSize);
    EncodeFrameEntry(entry, payload.data(), kFrameEntryShortSize);
    TMsgHeader live = Request(kCmdLiveFrames);
    live.field12 = 1;
    auto frames = client.Exchange(live, payload, [](const TMsgHeader& h) { return Positive(h.field24); });
    ASSERT_TRUE(frames);
    EXPECT_EQ(DecodeFrameEntry(frames->payload.data(), kFrameEntryShortSize).payloadLength, 0);

    // The key is case-insensitive: the client lower-cases the login text.
    auto accepted = Login(client, "SECRET");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->header.field28, 1);
    EXPECT_EQ(DecodeServerInfo(accepted->payload.data()).cameraCount, 3);
    const orv_sim::Journal journal = sim_->Server(1).Snapshot();
    ASSERT_EQ(journal.loginKeys.size(), 2u);
    EXPECT_EQ(std::string(journal.loginKeys[1].begin(), journal.loginKeys[1].end()), "secret  ");
    EXPECT_EQ(journal.failedLogins, 1);
}

TEST_F(SimWire, CyrillicPasswordMatchesTheKeyOfTheWindows1251Text) {
    orv_sim::ServerConfig server;
    server.cameras = {SmallJpeg()};
    server.password = "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";  // "Пароль"
    StartServers({server});
    RawClient client(sim_->Server(0).Port());
    auto reply = Login(client, "\xCF\xE0\xF0\xEE\xEB\xFC");  // the same word in Windows-1251
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.field28, 1);
}

struct LiveForm {
    uint16_t version;
    size_t entrySize;
};

class SimLive : public SimWire, public ::testing::WithParamInterface<LiveForm> {
  protected:
    struct LiveResult {
        TMsgHeader header;
        std::vector<TFrameEntry> entries;
        std::vector<std::vector<uint8_t>> payloads;
    };
    LiveResult AskLive(RawClient& client, const std::vector<std::pair<int, int32_t>>& cameras) {
        const LiveForm form = GetParam();
        std::vector<uint8_t> payload(cameras.size() * form.entrySize);
        for (size_t i = 0; i < cameras.size(); ++i) {
            TFrameEntry e;
            e.camera = cameras[i].first;
            e.frameId = cameras[i].second;
            e.maxWidth = 3840;
            e.maxHeight = 2400;
            e.longForm = 1;
            EncodeFrameEntry(e, &payload[i * form.entrySize], form.entrySize);
        }
        TMsgHeader rq = Request(kCmdLiveFrames, form.version);
        rq.field12 = static_cast<int32_t>(cameras.size());
        rq.field24 = static_cast<int32_t>(payload.size());
        LiveResult result;
        EXPECT_TRUE(client.Send(rq, payload));
        auto header = client.ReadHeader();
        if (!header) return result;
        result.header = *header;
        auto entryBytes = client.Read(Positive(header->field24));
        if (!entryBytes) return result;
        for (int i = 0; i < header->field12; ++i) {
            result.entries.push_back(
                DecodeFrameEntry(&(*entryBytes)[static_cast<size_t>(i) * form.entrySize], form.entrySize));
            int32_t lengths[kFrameEntryBlockCount];
            FrameEntryBlockLengths(result.entries.back(), lengths);
            std::vector<uint8_t> blocks;
            for (int32_t length : lengths) {
                auto block = client.Read(Positive(length));
                if (block) blocks.insert(blocks.end(), block->begin(), block->end());
            }
            result.payloads.push_back(std::move(blocks));
        }
        return result;
    }
};

TEST_P(SimLive, NewestFrameOnlyWhenNewerThanTheClientsAndIdsIncrease) {
    StartDefault();
    RawClient client(sim_->Server(0).Port());
    ASSERT_TRUE(Login(client, "x"));

    const LiveResult first = AskLive(client, {{0, 0}, {700, 0}});
    EXPECT_TRUE(IsAcceptedReply(first.header, kCmdLiveFrames));
    EXPECT_EQ(first.header.version, GetParam().version);
    ASSERT_EQ(first.header.field12, 2);
    EXPECT_EQ(first.header.field24, static_cast<int32_t>(2 * GetParam().entrySize));
    EXPECT_EQ(first.header.field52, 0);
    ASSERT_EQ(first.entries.size(), 2u);
    const TFrameEntry& jpeg = first.entries[0];
    EXPECT_EQ(jpeg.camera, 0);
    ASSERT_GT(jpeg.payloadLength, 3);
    EXPECT_EQ(jpeg.auxLength, 0);
    EXPECT_EQ(first.payloads[0][0], 0xFF);
    EXPECT_EQ(first.payloads[0][1], 0xD8);
    EXPECT_EQ(first.payloads[0][2], 0xFF);
    EXPECT_EQ(first.entries[1].camera, 700);  // not ours: answered without a frame
    EXPECT_EQ(first.entries[1].payloadLength, 0);
    // The frame is the newest one at the server's clock (10 fps, 60-minute archive).
    const int64_t frameMs = kStartMs;
    EXPECT_NEAR(jpeg.time, OleFromUnixMs(frameMs), 1e-9);

    const LiveResult same = AskLive(client, {{0, jpeg.frameId}});
    ASSERT_EQ(same.entries.size(), 1u);
    EXPECT_EQ(same.entries[0].payloadLength, 0);

    // An id beyond ours is from an earlier run of a server: the newest frame again.
    const LiveResult restarted = AskLive(client, {{0, jpeg.frameId + 100'000}});
    ASSERT_EQ(restarted.entries.size(), 1u);
    EXPECT_EQ(restarted.entries[0].frameId, jpeg.frameId);
    EXPECT_GT(restarted.entries[0].payloadLength, 3);

    now_ += 250;
    const LiveResult later = AskLive(client, {{0, jpeg.frameId}});
    ASSERT_EQ(later.entries.size(), 1u);
    EXPECT_EQ(later.entries[0].frameId, jpeg.frameId + 2);
    EXPECT_GT(later.entries[0].time, jpeg.time);
    EXPECT_GT(later.entries[0].payloadLength, 3);
    EXPECT_NE(later.payloads[0], first.payloads[0]);  // the clock in the picture moved
}

TEST_P(SimLive, DefaultCameraMixAnswersEachKindInItsOwnForm) {
    StartServers(orv_sim::UniformServers(1, 8));
    RawClient client(sim_->Server(0).Port());
    ASSERT_TRUE(Login(client, "x"));
    std::vector<std::pair<int, int32_t>> all;
    for (int i = 0; i < 8; ++i) all.emplace_back(i, 0);
    const LiveResult r = AskLive(client, all);
    ASSERT_EQ(r.entries.size(), 8u);
    auto starts = [&](size_t i, std::vector<uint8_t> prefix) {
        const auto& p = r.payloads[i];
        return p.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), p.begin());
    };
    for (size_t i : {0u, 1u, 4u, 6u, 7u}) {
        EXPECT_TRUE(starts(i, {0xFF, 0xD8, 0xFF})) << "camera index " << i;
        EXPECT_EQ(r.entries[i].auxLength, 0)
            << "camera index " << i;  // block updates start with a full picture
    }
    EXPECT_TRUE(starts(2, {0x52, 0x64, 0x38, 0x00}));  // MPEG-4 in a table block
    EXPECT_TRUE(starts(3, {0x53, 0x64, 0x38, 0x00}));  // H.264 (or MPEG-4) in a chain block
    EXPECT_EQ(r.entries[5].payloadLength, 0);          // inactive
    // A compressed block is stamped with its first frame and numbered per block.
    EXPECT_LT(r.entries[2].time, r.entries[0].time);
    EXPECT_LT(r.entries[2].frameId, r.entries[0].frameId);
}

INSTANTIATE_TEST_SUITE_P(EntryForms, SimLive,
                         ::testing::Values(LiveForm{0, kFrameEntryShortSize},
                                           LiveForm{701, kFrameEntryShortSize},
                                           LiveForm{715, kFrameEntryLongSize}),
                         [](const auto& info) { return "version" + std::to_string(info.param.version); });

TEST_F(SimWire, CameraNamesTravelInWindows1251) {
    StartDefault();
    RawClient client(sim_->Server(1).Port());
    ASSERT_TRUE(Login(client, "x"));
    auto ask = [&](int camera) {
        TMsgHeader rq = Request(kCmdCameraName, 715);
        rq.field12 = camera;
        auto reply = client.Exchange(rq, {}, [](const TMsgHeader& h) { return Positive(h.field24); });
        return reply ? std::string(reply->payload.begin(), reply->payload.end()) : std::string("<none>");
    };
    EXPECT_EQ(ask(5), "\xC2\xF5\xEE\xE4 1");
    EXPECT_EQ(ask(3), "Camera 4");
    EXPECT_EQ(ask(0), "");  // another server's camera
}

TEST_F(SimWire, StatusAndCameraTablesCoverTheServersCameras) {
    StartDefault();
    RawClient client(sim_->Server(1).Port());
    ASSERT_TRUE(Login(client, "x"));
    auto tables = client.Exchange(Request(kCmdPollCameraTables, 715), {}, [](const TMsgHeader& h) {
        return Positive(h.field52) * kCameraRecordSize;
    });
    ASSERT_TRUE(tables);
    EXPECT_EQ(tables->header.field12, 3);
    ASSERT_EQ(tables->header.field52, 3);
    EXPECT_EQ(DecodeCameraRecord(&tables->payload[0]).active, 1);
    EXPECT_EQ(DecodeCameraRecord(&tables->payload[kCameraRecordSize]).active, 0);

    auto status = client.Exchange(Request(kCmdServerStatus, 715), {}, [](const TMsgHeader& h) {
        return Positive(h.field24) + Positive(h.field36);
    });
    ASSERT_TRUE(status);
    EXPECT_EQ(status->header.field24, 1536);
    EXPECT_EQ(status->payload[0], 1);
    EXPECT_EQ(status->payload[12], 0);
}

TEST_F(SimWire, EventsConsoleTelemetryAndPositionsAreAnsweredAndRecorded) {
    StartDefault();
    orv_sim::SimServer& server = sim_->Server(0);
    RawClient client(server.Port());
    ASSERT_TRUE(Login(client, "x"));
    auto noBlocks = [](const TMsgHeader&) { return size_t{0}; };

    TMsgHeader event = Request(kCmdCameraEvent, 715);
    event.field12 = 2;
    event.field24 = 0x1FF;  // travels as a byte
    event.field28 = 1;
    event.field32 = 86400;
    event.field36 = 10;
    auto r = client.Exchange(event, {}, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.field24, 1);
    event.field12 = 900;  // not a camera of this server
    r = client.Exchange(event, {}, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_LT(r->header.field24, 0);

    TMsgHeader serverEvent = Request(kCmdServerEvent, 715);
    serverEvent.field24 = 1;
    serverEvent.field28 = 77;
    ASSERT_TRUE(client.Exchange(serverEvent, {}, noBlocks));

    TMsgHeader telemetry = Request(kCmdTelemetryBlock, 715);
    telemetry.field12 = 1;
    telemetry.field24 = 16;
    telemetry.field28 = 5;
    std::vector<uint8_t> block(16, 0);
    block[4] = 30;
    block[5] = 40;
    block[8] = 7;
    r = client.Exchange(telemetry, block, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_GT(r->header.field28, 0);

    TMsgHeader console = Request(kCmdConsoleSwitchCamera, 715);
    console.field12 = 2;
    console.field24 = 16;  // no payload despite the 16
    r = client.Exchange(console, {}, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_GE(r->header.field28, 0);

    TMsgHeader archive = Request(kCmdConsoleShowArchive, 715);
    archive.field28 = 3;
    archive.field32 = 0;
    archive.field36 = 2;
    archive.field56 = 45000.5;
    archive.field64 = 45000.25;
    r = client.Exchange(archive, {}, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.field24, 0);
    EXPECT_GE(r->header.field32, 0);

    TMsgHeader setPosition = Request(kCmdCameraPosition, 715);
    setPosition.field12 = 1;
    setPosition.field24 = 2;
    setPosition.field28 = 3;
    setPosition.field32 = -3;
    setPosition.field36 = 12;
    setPosition.field40 = 9;
    r = client.Exchange(setPosition, {}, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.field24, 1);
    TMsgHeader readPosition = Request(kCmdCameraPosition, 715);
    readPosition.field12 = 1;
    readPosition.field24 = 1;
    r = client.Exchange(readPosition, {}, noBlocks);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.field24, 1);
    EXPECT_EQ(r->header.field28, 3);
    EXPECT_EQ(r->header.field32, -3);
    EXPECT_EQ(r->header.field36, 12);
    EXPECT_EQ(r->header.field40, 9);

    const orv_sim::Journal journal = server.Snapshot();
    ASSERT_EQ(journal.cameraEvents.size(), 2u);
    EXPECT_EQ(journal.cameraEvents[0].camera, 2);
    EXPECT_EQ(journal.cameraEvents[0].a, 0xFF);
    EXPECT_EQ(journal.cameraEvents[0].c, 86400);
    ASSERT_EQ(journal.serverEvents.size(), 1u);
    EXPECT_EQ(journal.serverEvents[0].value, 77);
    ASSERT_EQ(journal.telemetry.size(), 1u);
    EXPECT_EQ(journal.telemetry[0].command, 5);
    EXPECT_EQ(journal.telemetry[0].block, (std::array<uint8_t, 16>{0, 0, 0, 0, 30, 40, 0, 0, 7}));
    ASSERT_EQ(journal.consoleSwitches.size(), 1u);
    EXPECT_EQ(journal.consoleSwitches[0].camera, 2);
    ASSERT_EQ(journal.consoleArchives.size(), 1u);
    EXPECT_DOUBLE_EQ(journal.consoleArchives[0].time1, 45000.25);
    EXPECT_DOUBLE_EQ(journal.consoleArchives[0].time2, 45000.5);
    ASSERT_EQ(journal.positions.size(), 2u);
    EXPECT_EQ(server.Position(1).value, 9);
    // Every request header is kept, in order (login first).
    ASSERT_GE(journal.requests.size(), 9u);
    EXPECT_EQ(journal.requests[0].command, kCmdLogin);
    EXPECT_EQ(journal.requests[3].command, kCmdServerEvent);
}

TEST_F(SimWire, RequestWithoutMagicOrWithAbsurdLengthClosesTheConnection) {
    StartDefault();
    RawClient noMagic(sim_->Server(0).Port());
    std::vector<uint8_t> bytes(80, 0);
    PutU32(&bytes[4], 80);
    PutU16(&bytes[8], kCmdLogin);
    ASSERT_TRUE(noMagic.SendRaw(bytes));
    EXPECT_TRUE(noMagic.PeerClosed(2000));

    RawClient huge(sim_->Server(0).Port());
    TMsgHeader h = Request(kCmdLogin);
    h.magic = MSG_MAGIC;
    h.length = 0x7FFFFFFF;
    EncodeHeader(h, bytes.data());
    ASSERT_TRUE(huge.SendRaw(bytes));
    EXPECT_TRUE(huge.PeerClosed(2000));
}

}  // namespace
