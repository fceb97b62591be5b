#include <gtest/gtest.h>

#include <cstring>

#include "ProtocolTestUtil.h"

namespace orv_test {
namespace {

using orv_stuff::OrvDllWrapperModule;
using orv_stuff::TMsgHeader;
namespace w = orv_stuff;

using ModuleTest = ModuleFixture;

TEST_F(ModuleTest, LoginSendsKeyAndVersionZeroThenClientVersion) {
    auto& peer = AddPeer();
    auto reply = LoginReply(4, 7, 42);
    // Block 2 of five bytes is read and dropped; then the next exchange must be in step.
    auto h = w::DecodeHeader(reply.data());
    h.field32 = 5;
    reply = MakeReply(h, {ServerInfoBlock(4, 7, 4), Filled(5, 0xEE)});
    peer.Reply(reply).Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
    const int32_t index = Register(peer);
    ASSERT_EQ(index, 1);

    w::TServerInfo info;
    info.cameraCount = 99;
    const std::string key = w::NormalizeLoginKey("Admin");
    EXPECT_EQ(module.Login(info, key.data(), index), 42);
    EXPECT_EQ(info.firstCamera, 4);
    EXPECT_EQ(info.lastCamera, 7);
    EXPECT_EQ(info.cameraCount, 4);
    EXPECT_EQ(module.ServerAt(index)->version, 715u);
    EXPECT_EQ(module.SendServerEvent(index, 9), 1);

    ASSERT_TRUE(peer.WaitScriptDone(2000ms));
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const TMsgHeader& login = requests[0].header;
    EXPECT_EQ(login.magic, w::MSG_MAGIC);
    EXPECT_EQ(login.command, w::kCmdLogin);
    EXPECT_EQ(login.length, 80);
    EXPECT_EQ(requests[0].raw.size(), 80u);
    EXPECT_EQ(login.version, 0);
    EXPECT_EQ(login.field24, 0);
    EXPECT_EQ(std::memcmp(login.field72, "admin   ", 8), 0);
    EXPECT_NEAR(login.field16, w::NowOleUtc(), 10.0 / 86400.0);
    const TMsgHeader& event = requests[1].header;
    EXPECT_EQ(event.version, 715);
    EXPECT_EQ(event.command, w::kCmdServerEvent);
    EXPECT_EQ(event.field24, 1);
    EXPECT_EQ(event.field28, 9);
}

TEST_F(ModuleTest, TrickledReplyEndsTheExchangeAtItsTimeOut) {
    auto& peer = AddPeer();
    // A byte every 100 ms: never silent for the 250 ms time-out, done only after 8 s.
    peer.Reply(LoginReply(1, 4)).ExpectRequest().Trickle(MakeReply(ReplyHeader(w::kCmdServerEvent)), 100ms);
    const int32_t index = RegisterAndLogin(peer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(module.SendServerEvent(index, 9), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, kTestIoTimeout + 250ms);
    EXPECT_EQ(module.ServerAt(index)->State(), w::Unreachable);
}

TEST_F(ModuleTest, LoginRefusalsBeforeAnyTraffic) {
    w::TServerInfo info;
    EXPECT_EQ(module.Login(info, "key", 0), -2);
    EXPECT_EQ(module.Login(info, "key", 1), -1);
    auto& peer = AddPeer();
    const int32_t index = Register(peer);
    EXPECT_EQ(module.Login(info, "key", index + 1), -1);
    EXPECT_EQ(module.Login(info, "key", 64), -1);
    EXPECT_EQ(module.Login(info, "key", -3), -2);
    // A refused server is not connected: -3 without sending.
    const int32_t refused = module.RegisterServer("", "127.0.0.1", 1, 1, 0);
    WaitModuleState(module, refused);
    EXPECT_EQ(module.Login(info, "key", refused), -3);
    EXPECT_EQ(peer.RequestCount(), 0u);
}

TEST_F(ModuleTest, LoginWrongMagicFailsAndResynchronisesByReconnect) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLogin);
    h.magic = 0x12345678;
    h.field24 = 152;
    peer.Reply(MakeReply(h, {ServerInfoBlock(0, 3, 4)}));
    const int32_t index = Register(peer);
    w::TServerInfo info;
    EXPECT_EQ(module.Login(info, "key12345", index), -6);
    EXPECT_EQ(info.cameraCount, 0);
    EXPECT_EQ(module.ServerAt(index)->version, 0u);
    // The payload after a header without magic cannot be skipped reliably.
    EXPECT_EQ(module.ServerAt(index)->State(), w::Failed);
}

TEST_F(ModuleTest, LoginExtraBlockOutsideItsRangeIsNotRead) {
    for (int32_t extra : {0, 10'000'000}) {
        SCOPED_TRACE(extra);
        auto& peer = AddPeer();
        auto h = ReplyHeader(w::kCmdLogin);
        h.field24 = 152;
        h.field32 = extra;
        peer.Reply(MakeReply(h, {ServerInfoBlock(0, 3, 4)})).Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
        const int32_t index = Register(peer);
        w::TServerInfo info;
        EXPECT_EQ(module.Login(info, "key12345", index), 0);
        EXPECT_EQ(module.SendServerEvent(index, 1), 1) << "stream in step";
    }
}

TEST_F(ModuleTest, LoginInfoLargerThanTheRecordIsRefusedAndDrained) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLogin);
    h.field24 = 200;
    h.field32 = 3;
    peer.Reply(MakeReply(h, {Filled(200, 1), Filled(3, 2)})).Reply(LoginReply(0, 3, 5));
    const int32_t index = Register(peer);
    w::TServerInfo info;
    EXPECT_EQ(module.Login(info, "key12345", index), -6);
    EXPECT_EQ(module.ServerAt(index)->State(), w::Connected);
    EXPECT_EQ(module.Login(info, "key12345", index), 5) << "the next reply is read in step";
    EXPECT_EQ(info.lastCamera, 3);
}

TEST_F(ModuleTest, PollCameraTablesFillsFromOneServerWhileTheOtherTimesOut) {
    auto& good = AddPeer();
    auto h = ReplyHeader(w::kCmdPollCameraTables);
    h.field12 = 10;
    h.field52 = 2;
    Bytes records(80, 0);
    records[0] = 1;
    w::PutI16(records.data() + 2, 1234);
    records[40] = 0;
    w::PutI16(records.data() + 40 + 34, 7);
    good.Reply(MakeReply(h, {records}));
    auto& silent = AddPeer();  // accepts, never answers
    Register(good);
    Register(silent);

    int32_t changes = -1;
    EXPECT_EQ(module.PollCameraTables(changes), -1);
    EXPECT_EQ(changes, 0);
    w::TCameraRecord record;
    EXPECT_EQ(module.GetCameraRecord(10, record), 1);
    EXPECT_EQ(record.active, 1);
    EXPECT_EQ(record.value1, 1234);
    EXPECT_TRUE(module.IsCameraActive(10));
    EXPECT_FALSE(module.IsCameraActive(11));
    EXPECT_EQ(module.GetCameraRecord(11, record), 1);
    EXPECT_EQ(record.flagB, 7);
    EXPECT_EQ(module.ServerAt(2)->State(), w::Unreachable);
    const auto requests = good.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header.command, w::kCmdPollCameraTables);
    EXPECT_EQ(requests[0].header.length, 80);
}

TEST_F(ModuleTest, PollCameraTablesRefusesRecordsBeyondTheTable) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdPollCameraTables);
    h.field12 = 2047;
    h.field52 = 2;
    peer.Reply(MakeReply(h, {Filled(80, 1)})).Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
    const int32_t index = Register(peer);
    int32_t changes = 0;
    EXPECT_EQ(module.PollCameraTables(changes), -1);
    EXPECT_FALSE(module.IsCameraActive(2047));
    EXPECT_EQ(module.SendServerEvent(index, 1), 1) << "records drained, stream in step";
}

TEST_F(ModuleTest, ServerTextIsCutAt511AndTheRestDrained) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdServerText);
    h.field24 = 600;
    h.field28 = 3;
    Bytes text(600, 'x');
    text[510] = 'y';
    text[511] = 'z';
    peer.Reply(MakeReply(h, {text})).Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
    const int32_t index = Register(peer);
    char buffer[600];
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(module.QueryServerText(index, buffer), 3);
    EXPECT_EQ(buffer[510], 'y');
    EXPECT_EQ(buffer[511], '\0');
    EXPECT_EQ(buffer[512], 'q');
    EXPECT_EQ(module.SendServerEvent(index, 1), 1);
    EXPECT_EQ(module.QueryServerText(index, nullptr), -1);
}

TEST_F(ModuleTest, EmptyServerTextFails) {
    auto& peer = AddPeer();
    peer.Reply(MakeReply(ReplyHeader(w::kCmdServerText)));
    const int32_t index = Register(peer);
    char buffer[512];
    EXPECT_EQ(module.QueryServerText(index, buffer), -1);
}

TEST_F(ModuleTest, CameraNameLargerThanTheBufferIsRefusedAndDrained) {
    auto& peer = AddPeer();
    auto big = ReplyHeader(w::kCmdCameraName);
    big.field24 = 200;
    auto fits = ReplyHeader(w::kCmdCameraName);
    fits.field24 = 5;
    peer.Reply(MakeReply(big, {Filled(200, 'n')})).Reply(MakeReply(fits, {Bytes{'G', 'a', 't', 'e', 0}}));
    const int32_t index = Register(peer);
    char name[128];
    std::memset(name, 0, sizeof name);
    int32_t length = 128;
    EXPECT_EQ(module.QueryCameraName(index, 3, name, length), -1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(name[0], 0);
    length = 128;
    EXPECT_EQ(module.QueryCameraName(index, 3, name, length), 1);
    EXPECT_EQ(length, 5);
    EXPECT_STREQ(name, "Gate");
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header.command, w::kCmdCameraName);
    EXPECT_EQ(requests[1].header.field12, 3);
    EXPECT_EQ(requests[1].header.field16, 0.0);
}

TEST_F(ModuleTest, StatusBlocksAreBoundedAndDrained) {
    auto& peer = AddPeer();
    auto tooBig = ReplyHeader(w::kCmdServerStatus);
    tooBig.field24 = 1537;
    tooBig.field36 = 4;
    auto scratchTooBig = ReplyHeader(w::kCmdServerStatus);
    scratchTooBig.field24 = 12;
    scratchTooBig.field36 = w::kScratchAreaSize + 1;
    auto fine = ReplyHeader(w::kCmdServerStatus);
    fine.field24 = 12;
    fine.field36 = 1000;
    peer.Reply(MakeReply(tooBig, {Filled(1537, 1), Filled(4, 2)}))
        .Reply(MakeReply(scratchTooBig, {Filled(12, 1), Filled(w::kScratchAreaSize + 1, 2)}))
        .Reply(MakeReply(fine, {Filled(12, 9), Filled(1000, 3)}))
        .Reply(MakeReply(ReplyHeader(w::kCmdLiveFrames)));  // another command: still 1, nothing read
    const int32_t index = Register(peer);
    std::vector<uint8_t> status(1536, 0);
    EXPECT_EQ(module.GetServerStatus(index, status.data(), 1536), -1);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(module.GetServerStatus(index, status.data(), 1536), -1);
    EXPECT_EQ(module.GetServerStatus(index, status.data(), 1536), 1);
    EXPECT_EQ(status[11], 9);
    EXPECT_EQ(status[12], 0);
    EXPECT_EQ(module.GetServerStatus(index, status.data(), 1536), 1);
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].header.field24, 0);
    EXPECT_EQ(requests[0].header.field36, 0);
}

TEST_F(ModuleTest, ConsoleShowArchiveFieldsResultAndBound) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdConsoleShowArchive);
    h.field24 = 4;
    h.field32 = 17;
    auto big = h;
    big.field24 = 40;
    peer.Reply(MakeReply(h, {Bytes{1, 2, 3, 4}})).Reply(MakeReply(big, {Filled(40, 5)}));
    const int32_t index = Register(peer);
    uint8_t buffer[16] = {};
    EXPECT_EQ(module.ConsoleShowArchive(index, 2, 3, 100.5, 200.25, buffer, sizeof buffer, 9), 17);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(module.ConsoleShowArchive(index, 2, 3, 100.5, 200.25, buffer, sizeof buffer, 9), -1);
    const auto r = peer.Requests().at(0).header;
    EXPECT_EQ(r.command, w::kCmdConsoleShowArchive);
    EXPECT_EQ(r.field24, 0);
    EXPECT_EQ(r.field28, 9);
    EXPECT_EQ(r.field32, 2);
    EXPECT_EQ(r.field36, 3);
    EXPECT_EQ(r.field56, 200.25);
    EXPECT_EQ(r.field64, 100.5);
}

// Operations whose reply is not checked: any header is an answer.
struct UncheckedCase {
    const char* name;
    uint16_t command;
    std::function<int32_t(OrvDllWrapperModule&, int32_t)> call;
    int32_t expected;  // with reply fields 24 = 11, 28 = 22
    std::function<void(const Request&)> checkRequest;
};

class UncheckedReplyTest : public ModuleTest, public ::testing::WithParamInterface<UncheckedCase> {};

TEST_P(UncheckedReplyTest, OtherCommandCodeStillAnswers) {
    auto& peer = AddPeer();
    auto wrongCommand = ReplyHeader(999);
    wrongCommand.field24 = 11;
    wrongCommand.field28 = 22;
    peer.Reply(LoginReply(0, 9)).Reply(MakeReply(wrongCommand));
    const int32_t index = RegisterAndLogin(peer);
    EXPECT_EQ(GetParam().call(module, index), GetParam().expected);
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header.command, GetParam().command);
    EXPECT_EQ(requests[1].header.version, 715);
    EXPECT_EQ(static_cast<size_t>(requests[1].header.length), requests[1].raw.size());
    GetParam().checkRequest(requests[1]);
}

const uint8_t kTelemetryParams[16] = {0, 0, 0, 0, 50, 60, 0, 0, 7};

INSTANTIATE_TEST_SUITE_P(
    Commands, UncheckedReplyTest,
    ::testing::Values(
        UncheckedCase{"CameraMode", w::kCmdCameraMode, [](auto& m, int32_t) { return m.SendCameraMode(5, 3); }, 1,
                      [](const Request& r) {
                          EXPECT_EQ(r.header.field12, 5);
                          EXPECT_EQ(r.header.field24, 3);
                          EXPECT_EQ(r.header.field16, 0.0);
                          EXPECT_EQ(r.raw.size(), 80u);
                      }},
        UncheckedCase{"CameraCommand", w::kCmdCameraCommand,
                      [](auto& m, int32_t) { return m.SendCameraCommand(6, -4, 8); }, 11,
                      [](const Request& r) {
                          EXPECT_EQ(r.header.field12, 6);
                          EXPECT_EQ(r.header.field28, -4);
                          EXPECT_EQ(r.header.field32, 8);
                      }},
        UncheckedCase{"ConsoleSwitch", w::kCmdConsoleSwitchCamera,
                      [](auto& m, int32_t s) { return m.ConsoleSwitchCamera(s, 2); }, 22,
                      [](const Request& r) {
                          EXPECT_EQ(r.header.field12, 2);
                          EXPECT_EQ(r.header.field24, 16);
                          EXPECT_EQ(r.raw.size(), 80u);
                      }},
        UncheckedCase{"Telemetry", w::kCmdTelemetryBlock,
                      [](auto& m, int32_t s) { return m.SendTelemetryBlock(s, 1, 12, kTelemetryParams); }, 22,
                      [](const Request& r) {
                          EXPECT_EQ(r.header.field12, 1);
                          EXPECT_EQ(r.header.field24, 16);
                          EXPECT_EQ(r.header.field28, 12);
                          ASSERT_EQ(r.payload.size(), 16u);
                          EXPECT_EQ(std::memcmp(r.payload.data(), kTelemetryParams, 16), 0);
                      }},
        UncheckedCase{"PositionSet", w::kCmdCameraPosition,
                      [](auto& m, int32_t s) {
                          w::TCameraPosition p{4, 2, 2.5, -2.5, 0.4};
                          return m.CameraPosition(s, 3, p);
                      },
                      11,
                      [](const Request& r) {
                          EXPECT_EQ(r.header.field24, 2);
                          EXPECT_EQ(r.header.field28, 3);
                          EXPECT_EQ(r.header.field32, -3);
                          EXPECT_EQ(r.header.field36, 0);
                          EXPECT_EQ(r.header.field40, 4);
                      }},
        UncheckedCase{"PositionTime", w::kCmdCameraPosition,
                      [](auto& m, int32_t s) {
                          w::TCameraPosition p{4, 3, 1.49, 7.5, 44000.75};
                          return m.CameraPosition(s, 3, p);
                      },
                      11,
                      [](const Request& r) {
                          EXPECT_EQ(r.header.field28, 1);
                          EXPECT_EQ(r.header.field32, 8);
                          EXPECT_EQ(r.header.field56, 44000.75);
                      }},
        UncheckedCase{"CloseArchive", 0x21F, [](auto& m, int32_t) { return m.CloseArchiveChannel(1); }, 1,
                      [](const Request& r) { EXPECT_EQ(r.raw.size(), 80u); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Checked operations refuse a reply that echoes another command.
struct CheckedCase {
    const char* name;
    std::function<int32_t(OrvDllWrapperModule&, int32_t)> call;
    int32_t failure;
};

class CheckedReplyTest : public ModuleTest, public ::testing::WithParamInterface<CheckedCase> {};

TEST_P(CheckedReplyTest, OtherCommandCodeFails) {
    auto& peer = AddPeer();
    auto wrongCommand = ReplyHeader(999);
    wrongCommand.field24 = 1;
    wrongCommand.field28 = 1;
    wrongCommand.field32 = 1;
    peer.Reply(LoginReply(0, 9)).Reply(MakeReply(wrongCommand));
    const int32_t index = RegisterAndLogin(peer);
    EXPECT_EQ(GetParam().call(module, index), GetParam().failure);
    EXPECT_EQ(module.ServerAt(index)->State(), w::Connected) << "validation failures keep the state";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CheckedReplyTest,
    ::testing::Values(CheckedCase{"ServerEvent", [](auto& m, int32_t s) { return m.SendServerEvent(s, 1); }, -1},
                      CheckedCase{"CameraEvent", [](auto& m, int32_t) { return m.SendCameraEvent(2, 1, 2, 3, 4); }, -1},
                      CheckedCase{"ServerText",
                                  [](auto& m, int32_t s) {
                                      char text[512];
                                      return m.QueryServerText(s, text);
                                  },
                                  -1},
                      CheckedCase{"ShowArchive",
                                  [](auto& m, int32_t s) {
                                      uint8_t b[4];
                                      return m.ConsoleShowArchive(s, 0, 0, 0, 0, b, 4, 0);
                                  },
                                  -1},
                      CheckedCase{"OpenArchive", [](auto& m, int32_t) { return m.OpenArchiveChannel(0); }, 0},
                      CheckedCase{"SeekArchive", [](auto& m, int32_t) { return m.SeekArchive(0, 1.0, 0); }, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModuleTest, CameraEventGoesToTheOwningServer) {
    auto& first = AddPeer();
    auto& second = AddPeer();
    auto eventReply = ReplyHeader(w::kCmdCameraEvent);
    eventReply.field24 = 8;
    first.Reply(LoginReply(0, 3));
    second.Reply(LoginReply(4, 7)).Reply(MakeReply(eventReply));
    RegisterAndLogin(first);
    RegisterAndLogin(second);
    EXPECT_EQ(module.SendCameraEvent(5, 0xAA, 0xBB, -1, 70000), 8);
    EXPECT_EQ(module.SendCameraEvent(8, 1, 1, 1, 1), -1) << "no owner: no traffic";
    EXPECT_EQ(module.SendCameraEvent(2048, 1, 1, 1, 1), -1);
    EXPECT_EQ(first.RequestCount(), 1u);
    const auto requests = second.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& r = requests[1].header;
    EXPECT_EQ(r.command, w::kCmdCameraEvent);
    EXPECT_EQ(r.field12, 5);
    EXPECT_EQ(r.field24, 0xAA);
    EXPECT_EQ(r.field28, 0xBB);
    EXPECT_EQ(r.field32, -1);
    EXPECT_EQ(r.field36, 70000);
}

TEST_F(ModuleTest, CameraPositionReadBack) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdCameraPosition);
    h.field24 = 0;
    h.field28 = 10;
    h.field32 = -20;
    h.field36 = 30;
    h.field40 = 4;
    peer.Reply(MakeReply(h));
    const int32_t index = Register(peer);
    w::TCameraPosition p{0, 1, 0, 0, 0};
    EXPECT_EQ(module.CameraPosition(index, 0, p), 1);
    EXPECT_EQ(p.x, 10.0);
    EXPECT_EQ(p.y, -20.0);
    EXPECT_EQ(p.z, 30.0);
    EXPECT_EQ(p.value, 4);
    EXPECT_EQ(peer.Requests().at(0).header.field24, 1);
}

TEST_F(ModuleTest, IndexesOutsideTheirRangesAreRefused) {
    auto& peer = AddPeer();
    const int32_t index = Register(peer);
    w::TCameraRecord record;
    uint8_t buffer[16];
    char text[512];
    int32_t length = 16;
    w::TCameraPosition p{0, 1, 0, 0, 0};
    for (int32_t server : {0, -1, 64, 1000}) {
        SCOPED_TRACE(server);
        EXPECT_EQ(module.SendServerEvent(server, 1), -1);
        EXPECT_EQ(module.GetServerStatus(server, buffer, 16), -1);
        EXPECT_EQ(module.QueryServerText(server, text), -1);
        EXPECT_EQ(module.QueryCameraName(server, 0, text, length), -1);
        EXPECT_EQ(module.ConsoleShowArchive(server, 0, 0, 0, 0, buffer, 16, 0), -1);
        EXPECT_EQ(module.SendTelemetryBlock(server, 0, 1, kTelemetryParams), 0);
        EXPECT_EQ(module.ConsoleSwitchCamera(server, 0), -1);
        EXPECT_EQ(module.CameraPosition(server, 0, p), -1);
        EXPECT_EQ(module.Reconnect(server), 1);
        int32_t state = 9;
        EXPECT_EQ(module.GetServerState(state, server), server);
        EXPECT_EQ(state, 0);
    }
    for (int32_t camera : {-1, 2048, 100000}) {
        SCOPED_TRACE(camera);
        EXPECT_EQ(module.GetCameraRecord(camera, record), -1);
        EXPECT_FALSE(module.IsCameraActive(camera));
        EXPECT_EQ(module.SendCameraMode(camera, 1), -1);
        EXPECT_EQ(module.SendCameraCommand(camera, 1, 1), -1);
        EXPECT_EQ(module.QueryCameraName(index, camera, text, length), -1);
        EXPECT_EQ(module.SendTelemetryBlock(index, camera, 1, kTelemetryParams), 0);
        EXPECT_EQ(module.ConsoleSwitchCamera(index, camera), -1);
        EXPECT_EQ(module.CameraPosition(index, camera, p), -1);
    }
    EXPECT_EQ(peer.RequestCount(), 0u);
    EXPECT_EQ(module.ServerAt(index)->State(), w::Connected);
}

TEST_F(ModuleTest, GetServerStateReportsIndexAsGiven) {
    auto& peer = AddPeer();
    const int32_t index = Register(peer);
    int32_t state = -1;
    EXPECT_EQ(module.GetServerState(state, index), index);
    EXPECT_EQ(state, w::Connected);
    EXPECT_EQ(module.GetServerState(state, 70), 70);
    EXPECT_EQ(state, 0);
}

TEST_F(ModuleTest, ReconnectAfterPeerClosedMidReply) {
    auto& peer = AddPeer();
    peer.ExpectRequest().CloseMidReply(MakeReply(ReplyHeader(w::kCmdServerEvent)), 40);
    const int32_t index = Register(peer);
    EXPECT_EQ(module.SendServerEvent(index, 1), -1);
    EXPECT_EQ(module.ServerAt(index)->State(), w::Failed);
    EXPECT_EQ(module.SendServerEvent(index, 1), -1) << "not connected: nothing sent";
    EXPECT_EQ(module.Reconnect(index), 1);
    // The peer accepts one connection only; the new connect lands in its backlog.
    EXPECT_EQ(WaitModuleState(module, index), w::Connected);
}

// Records that never connect, so that many registrations stay cheap.
class InertServer : public w::TServerDM {
public:
    InertServer() : w::TServerDM(kTestIoTimeout) {}
    void Start() override { state.exchange(w::Connecting); }
    void Stop() override { state.exchange(w::Idle); }
};

TEST(ModuleRegistry, SixtyThreeServersThenRefusal) {
    int created = 0;
    OrvDllWrapperModule module([&created] {
        ++created;
        return std::make_shared<InertServer>();
    });
    for (int32_t i = 1; i <= 63; ++i) ASSERT_EQ(module.RegisterServer("host", "", 5001, 1, 0), i);
    EXPECT_EQ(module.RegisterServerEx("host", "", 5001, 1, 0, 715), -1);
    EXPECT_EQ(module.ServerCount(), 63);
    EXPECT_EQ(created, 63);
    auto last = module.ServerAt(63);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->clientVersion, 0u);
    EXPECT_EQ(last->State(), w::Connecting);

    EXPECT_EQ(module.DropAllServers(), 0);
    EXPECT_EQ(module.ServerCount(), 0);
    EXPECT_FALSE(module.ServerAt(1));
    EXPECT_EQ(module.RegisterServerEx("h", "", 1, 1, 0, 0x10000 + 715), 1);
    EXPECT_EQ(module.ServerAt(1)->clientVersion, 715u) << "low 16 bits";
}

TEST(ModuleRegistry, DropAllServersTearsDownInTheBackground) {
    auto peer = std::make_unique<ScriptedPeer>();
    peer->Start();
    std::weak_ptr<w::TServerDM> watch;
    {
        OrvDllWrapperModule module(kTestIoTimeout);
        const int32_t index = module.RegisterServer("", "127.0.0.1", peer->Port(), 1, 0);
        ASSERT_EQ(WaitModuleState(module, index), w::Connected);
        watch = module.ServerAt(index);
        EXPECT_EQ(module.DropAllServers(), 0);
        EXPECT_EQ(module.ServerCount(), 0);
        int32_t state = -1;
        module.GetServerState(state, index);
        EXPECT_EQ(state, 0);
        EXPECT_EQ(module.DropAllServers(), 0) << "nothing left to drop";
    }
    EXPECT_TRUE(watch.expired()) << "the destructor waited for the teardown";
}

}  // namespace
}  // namespace orv_test
