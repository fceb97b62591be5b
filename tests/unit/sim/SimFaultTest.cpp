// Fault injection: each switch produces the misbehaviour a client must survive,
// and stopping stays prompt whatever the connections are doing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <turbojpeg.h>

#include "SimTestClient.h"
#include "sim/Simulator.h"

namespace {

using orv_sim_test::Positive;
using orv_sim_test::RawClient;
using orv_sim_test::Request;
using namespace orv_stuff;
using Clock = std::chrono::steady_clock;

constexpr int kShortMs = 300;

class SimFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        orv_sim::ServerConfig server;
        orv_sim::CameraConfig camera;
        camera.width = 32;
        camera.height = 32;
        server.cameras = {camera, camera};
        sim_ = std::make_unique<orv_sim::Simulator>(std::vector<orv_sim::ServerConfig>{server});
    }
    orv_sim::SimServer& Server() { return sim_->Server(0); }
    void Faults(orv_sim::FaultConfig f) { Server().SetFaults(f); }

    static bool SendLogin(RawClient& client) { return client.Send(Request(kCmdLogin)); }
    static std::optional<TMsgHeader> Login(RawClient& client) {
        auto reply =
            client.Exchange(Request(kCmdLogin), {}, [](const TMsgHeader& h) { return Positive(h.field24); });
        if (!reply) return std::nullopt;
        return reply->header;
    }

    std::unique_ptr<orv_sim::Simulator> sim_;
};

TEST_F(SimFaults, RefusingConnectionsClosesThePortUntilSwitchedOff) {
    orv_sim::FaultConfig f;
    f.refuseConnections = true;
    Faults(f);
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        RawClient probe(Server().Port());
        refused = !probe.Connected() && probe.ConnectErrno() == ECONNREFUSED;
        if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(refused);

    Faults({});
    bool back = false;
    for (int i = 0; i < 100 && !back; ++i) {
        RawClient probe(Server().Port());
        back = probe.Connected() && Login(probe).has_value();
        if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(back);
}

TEST_F(SimFaults, SilentServerReadsButNeverAnswers) {
    orv_sim::FaultConfig f;
    f.silent = true;
    Faults(f);
    RawClient client(Server().Port());
    ASSERT_TRUE(SendLogin(client));
    EXPECT_FALSE(client.ReadHeader(kShortMs));
    EXPECT_FALSE(client.PeerClosed(10));
    EXPECT_TRUE(Server().WaitForRequests(1, std::chrono::milliseconds(1000)));
}

TEST_F(SimFaults, CloseAfterRequestsAnswersThatManyThenHangsUp) {
    orv_sim::FaultConfig f;
    f.closeAfterRequests = 2;
    Faults(f);
    RawClient client(Server().Port());
    EXPECT_TRUE(Login(client));
    EXPECT_TRUE(Login(client));
    ASSERT_TRUE(SendLogin(client));
    EXPECT_TRUE(client.PeerClosed(2000));
}

TEST_F(SimFaults, TruncatedReplyStopsHalfwayAndCloses) {
    orv_sim::FaultConfig f;
    f.truncateReply = 2;
    Faults(f);
    RawClient client(Server().Port());
    EXPECT_TRUE(Login(client));
    ASSERT_TRUE(SendLogin(client));
    const auto header = client.ReadHeader();  // 80 of the 232 bytes arrive
    ASSERT_TRUE(header);
    EXPECT_EQ(header->field24, 152);
    EXPECT_FALSE(client.Read(152, 1000));
}

TEST_F(SimFaults, WrongMagicCanBeLimitedToOneCommand) {
    orv_sim::FaultConfig f;
    f.wrongMagic = true;
    f.onlyCommand = kCmdLiveFrames;
    Faults(f);
    RawClient client(Server().Port());
    const auto login = Login(client);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->magic, MSG_MAGIC);
    TMsgHeader live = Request(kCmdLiveFrames);
    std::vector<uint8_t> entry(kFrameEntryShortSize, 0);
    live.field12 = 1;
    ASSERT_TRUE(client.Send(live, entry));
    const auto reply = client.ReadHeader();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, kCmdLiveFrames);
    EXPECT_NE(reply->magic, MSG_MAGIC);
}

TEST_F(SimFaults, OversizedLengthsAnnounceMoreThanAnyBound) {
    orv_sim::FaultConfig f;
    f.oversizedLengths = true;
    Faults(f);
    RawClient client(Server().Port());
    ASSERT_TRUE(SendLogin(client));
    const auto login = client.ReadHeader();
    ASSERT_TRUE(login);
    EXPECT_GT(login->field24, kFrameBufferSize);
    EXPECT_GT(login->field32, kLoginExtraBlockMax);
}

TEST_F(SimFaults, SlowRepliesArriveInPausedChunksIntact) {
    orv_sim::FaultConfig f;
    f.slowChunkBytes = 16;
    f.slowDelayMs = 5;
    Faults(f);
    RawClient client(Server().Port());
    const auto start = Clock::now();
    auto reply =
        client.Exchange(Request(kCmdLogin), {}, [](const TMsgHeader& h) { return Positive(h.field24); });
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_TRUE(reply);
    EXPECT_EQ(DecodeServerInfo(reply->payload.data()).cameraCount, 2);
    EXPECT_GE(elapsed, 14 * 5);  // 232 bytes: 15 chunks, 14 pauses
}

TEST_F(SimFaults, StopIsPromptWithSilentAndStalledConnections) {
    orv_sim::FaultConfig f;
    f.slowChunkBytes = 1;
    f.slowDelayMs = 10'000;
    Faults(f);
    RawClient stalled(Server().Port());
    ASSERT_TRUE(SendLogin(stalled));
    ASSERT_TRUE(stalled.Read(1, 2000));  // the reply has begun and now waits 10 s per byte
    f = {};
    f.silent = true;
    f.onlyCommand = kCmdServerText;
    Faults(f);
    RawClient silent(Server().Port());
    ASSERT_TRUE(silent.Send(Request(kCmdServerText)));
    ASSERT_TRUE(Server().WaitForRequests(2, std::chrono::milliseconds(2000)));

    const auto start = Clock::now();
    sim_->Stop();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(elapsed, 500);
    EXPECT_TRUE(stalled.PeerClosed(1000));
    EXPECT_TRUE(silent.PeerClosed(1000));
}

TEST_F(SimFaults, DropConnectionsHangsUpOnEveryClient) {
    RawClient a(Server().Port());
    RawClient b(Server().Port());
    ASSERT_TRUE(Login(a));
    ASSERT_TRUE(Login(b));
    EXPECT_EQ(Server().OpenConnections(), 2);
    Server().DropConnections();
    EXPECT_TRUE(a.PeerClosed(1000));
    EXPECT_TRUE(b.PeerClosed(1000));
    RawClient c(Server().Port());
    EXPECT_TRUE(Login(c));
}

// Reads archive units 0, 1, 2, ... of the server's only camera with garbageEvery
// = 3 and decodes each with one TurboJPEG handle: units 2, 5, 8 fail (headers
// unreadable, readable, unreadable), every other unit decodes, also right after
// a bad one on the same handle.
TEST(SimGarbage, EveryNthArchivePictureIsDamagedInTurnAndTheOthersDecode) {
    constexpr int kEvery = 3;
    for (const orv_sim::CameraKind kind : {orv_sim::CameraKind::Jpeg, orv_sim::CameraKind::JpegBlocks}) {
        SCOPED_TRACE(static_cast<int>(kind));
        orv_sim::ServerConfig server;
        orv_sim::CameraConfig camera;
        camera.kind = kind;
        camera.width = 64;
        camera.height = 48;
        server.cameras = {camera};
        server.faults.garbageEvery = kEvery;
        orv_sim::Simulator sim({server});
        RawClient client(sim.Server(0).Port());
        ASSERT_TRUE(client.Connected());
        tjhandle tj = tjInitDecompress();
        ASSERT_NE(tj, nullptr);
        TMsgHeader rq = Request(*ArchiveChannelCommand(0, kArchiveReadForward), 715);
        rq.field16 = OleFromUnixMs(sim.Server(0).ArchiveOriginMs());
        rq.field24 = 1;
        for (int k = 0; k < 3 * kEvery; ++k) {
            SCOPED_TRACE(k);
            const auto reply = client.Exchange(rq, {1}, [](const TMsgHeader& h) { return Positive(h.field40); });
            ASSERT_TRUE(reply);
            ASSERT_EQ(reply->header.field24, 1);
            const std::vector<uint8_t>& jpeg = reply->payload;
            int width = 0, height = 0, sub = 0, space = 0;
            const bool header =
                tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &width, &height, &sub, &space) == 0;
            std::vector<uint8_t> rgb(64 * 48 * 3);
            const bool decoded = header && tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), 64, 0, 48,
                                                         TJPF_RGB, 0) == 0;
            const bool bad = k % kEvery == kEvery - 1;
            EXPECT_EQ(decoded, !bad);
            if (bad) {
                EXPECT_EQ(header, (k / kEvery) % 2 == 1);
            }
            if (!decoded) {  // the handle keeps a fatal error: start afresh, as the client must
                tjDestroy(tj);
                tj = tjInitDecompress();
            }
        }
        tjDestroy(tj);
    }
}

TEST_F(SimFaults, RestartsHangUpAndRefuseBrieflyThenServeOnTheSamePort) {
    orv_sim::FaultConfig f;
    f.restartEveryMs = 400;
    Faults(f);
    RawClient client(Server().Port());
    ASSERT_TRUE(Login(client));
    EXPECT_TRUE(client.PeerClosed(1500));
    // Right after the hang-up the port refuses, then accepts again.
    bool refused = false;
    bool back = false;
    for (int i = 0; i < 150 && !back; ++i) {
        RawClient probe(Server().Port());
        if (!probe.Connected()) refused = true;
        back = refused && probe.Connected() && Login(probe).has_value();
        if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(back);
}

}  // namespace
