// Archive positioning and reading: the server's own cursor per channel.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "SimTestClient.h"
#include "sim/Simulator.h"

namespace {

using orv_sim_test::Positive;
using orv_sim_test::RawClient;
using orv_sim_test::Request;
using namespace orv_stuff;

constexpr int64_t kNowMs = 1'700'000'000'000;
constexpr int64_t kOriginMs = kNowMs - 10'000;
constexpr int32_t kNoFrame = 0x40000000;

uint16_t Code(int channel, uint8_t function) {
    return *ArchiveChannelCommand(channel, function);
}

struct Frame {
    bool got = false;
    int64_t timeMs = 0;
    int camera = -1;
    int32_t flags = 0;
    std::vector<uint8_t> payload;
};

class SimArchive : public ::testing::Test {
  protected:
    void SetUp() override {
        orv_sim::ServerConfig server;
        server.archiveSeconds = 10;
        orv_sim::CameraConfig fast;
        fast.width = 16;
        fast.height = 16;
        fast.fps = 10;  // a frame every 100 ms
        orv_sim::CameraConfig slow = fast;
        slow.fps = 4;  // a frame every 250 ms
        server.cameras = {fast, slow};
        orv_sim::SimulatorOptions options;
        options.clockMs = [this] { return now_.load(); };
        sim_ = std::make_unique<orv_sim::Simulator>(std::vector<orv_sim::ServerConfig>{server}, options);
        client_ = std::make_unique<RawClient>(sim_->Server(0).Port());
        ASSERT_TRUE(client_->Connected());
    }

    // Seek; returns the found time in ms, or -1 when the server found nothing.
    int64_t Seek(int channel, int64_t timeMs, bool forward) {
        TMsgHeader rq = Request(Code(channel, kArchiveSeek), 715);
        rq.field16 = OleFromUnixMs(timeMs);
        rq.field28 = forward ? 1 : 0;
        auto reply = client_->Exchange(rq, {}, [](const TMsgHeader&) { return size_t{0}; });
        EXPECT_TRUE(reply && IsAcceptedReply(reply->header, rq.command));
        if (!reply || reply->header.field24 < 0) return -1;
        return std::llround((reply->header.field16 - kOleUnixEpoch) * kMsPerDay);
    }

    Frame Read(int channel, bool forward, std::vector<uint8_t> mask = {1, 1}, int32_t a = 0,
               int32_t b = 0x15FF) {
        TMsgHeader rq = Request(Code(channel, forward ? kArchiveReadForward : kArchiveReadBackward), 715);
        rq.field24 = static_cast<int32_t>(mask.size());
        rq.field32 = a;
        rq.field36 = b;
        rq.field40 = 12'000'000;
        rq.field44 = 2'000'000;
        auto reply = client_->Exchange(
            rq, mask, [](const TMsgHeader& h) { return Positive(h.field44) + Positive(h.field40); });
        Frame frame;
        EXPECT_TRUE(reply && IsAcceptedReply(reply->header, rq.command));
        if (!reply) return frame;
        frame.got = reply->header.field24 != 0;
        frame.timeMs = std::llround((reply->header.field16 - kOleUnixEpoch) * kMsPerDay);
        frame.camera = reply->header.field32;
        frame.flags = reply->header.field36;
        frame.payload = std::move(reply->payload);
        return frame;
    }

    // (time offset from the origin, camera) of the next n frames.
    std::vector<std::pair<int64_t, int>> ReadMany(int channel, bool forward, int n,
                                                  std::vector<uint8_t> mask = {1, 1}) {
        std::vector<std::pair<int64_t, int>> out;
        for (int i = 0; i < n; ++i) {
            const Frame f = Read(channel, forward, mask);
            if (!f.got) break;
            out.emplace_back(f.timeMs - kOriginMs, f.camera);
        }
        return out;
    }

    using Keys = std::vector<std::pair<int64_t, int>>;
    std::atomic<int64_t> now_{kNowMs};
    std::unique_ptr<orv_sim::Simulator> sim_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(SimArchive, RangeRunsFromTheOriginToTheNewestFrame) {
    TMsgHeader rq = Request(Code(0, kArchiveRange), 715);
    rq.field56 = kArchiveLatestSentinel;
    rq.field64 = kArchiveEarliestSentinel;
    auto reply = client_->Exchange(rq, {}, [](const TMsgHeader&) { return size_t{0}; });
    ASSERT_TRUE(reply);
    EXPECT_DOUBLE_EQ(reply->header.field56, OleFromUnixMs(kOriginMs));
    EXPECT_DOUBLE_EQ(reply->header.field64, OleFromUnixMs(kNowMs));

    TMsgHeader open = Request(Code(2, kArchiveOpen), 715);
    auto opened = client_->Exchange(open, {}, [](const TMsgHeader&) { return size_t{0}; });
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->header.command, 0x310);
    EXPECT_NE(opened->header.field24, 0);
}

TEST_F(SimArchive, ForwardReadsStartAtTheFoundFrameAndEndWithNoFrame) {
    EXPECT_EQ(Seek(0, kOriginMs + 9'950, true), kNowMs);
    const Frame first = Read(0, true);
    ASSERT_TRUE(first.got);
    EXPECT_EQ(first.timeMs, kNowMs);
    EXPECT_EQ(first.camera, 0);
    EXPECT_EQ(first.flags, 0);
    ASSERT_GT(first.payload.size(), 3u);
    EXPECT_EQ(first.payload[0], 0xFF);
    EXPECT_EQ(first.payload[1], 0xD8);

    const Frame second = Read(0, true);
    ASSERT_TRUE(second.got);
    EXPECT_EQ(second.timeMs, kNowMs);
    EXPECT_EQ(second.camera, 1);

    const Frame end = Read(0, true);
    EXPECT_FALSE(end.got);
    EXPECT_EQ(end.flags & kNoFrame, kNoFrame);
    EXPECT_TRUE(end.payload.empty());

    // Past the end the cursor stays on the last frame: reading back continues from there.
    EXPECT_EQ(ReadMany(0, false, 4), (Keys{{10'000, 0}, {9'900, 0}, {9'800, 0}, {9'750, 1}}));

    // The recording goes on: once the clock moves, forward reads find new frames.
    EXPECT_EQ(Seek(0, kNowMs, true), kNowMs);
    EXPECT_EQ(ReadMany(0, true, 3), (Keys{{10'000, 0}, {10'000, 1}}));
    now_ += 100;
    EXPECT_EQ(ReadMany(0, true, 3), (Keys{{10'100, 0}}));
}

TEST_F(SimArchive, BackwardSeekFindsTheLastFrameAtOrBeforeAndReadsMergeCamerasInTimeOrder) {
    EXPECT_EQ(Seek(1, kOriginMs + 5'010, false), kOriginMs + 5'000);
    EXPECT_EQ(ReadMany(1, false, 5), (Keys{{5'000, 1}, {5'000, 0}, {4'900, 0}, {4'800, 0}, {4'750, 1}}));
    // Changing direction turns around at the last frame handed out.
    EXPECT_EQ(ReadMany(1, true, 3), (Keys{{4'800, 0}, {4'900, 0}, {5'000, 0}}));

    EXPECT_EQ(Seek(1, kOriginMs + 50, false), kOriginMs);
    EXPECT_EQ(ReadMany(1, false, 5), (Keys{{0, 1}, {0, 0}}));
    EXPECT_FALSE(Read(1, false).got);
}

TEST_F(SimArchive, SeekOutsideTheRecordingFindsNothing) {
    EXPECT_EQ(Seek(0, kNowMs + 1'000, true), -1);
    EXPECT_EQ(Seek(0, kOriginMs - 1, false), -1);
    EXPECT_EQ(Seek(0, kOriginMs - 60'000, true), kOriginMs);
    EXPECT_EQ(Seek(0, kNowMs + 60'000, false), kNowMs);
}

TEST_F(SimArchive, ReadsHonourTheCameraMaskAndTheFirstCameraOnlyForm) {
    ASSERT_EQ(Seek(0, kOriginMs, true), kOriginMs);
    EXPECT_EQ(ReadMany(0, true, 3, {0, 1}), (Keys{{0, 1}, {250, 1}, {500, 1}}));

    ASSERT_EQ(Seek(0, kOriginMs, true), kOriginMs);
    std::vector<std::pair<int64_t, int>> firstOnly;
    for (int i = 0; i < 3; ++i) {
        const Frame f = Read(0, true, {1, 1}, 0 | 0x40000000, 0x400015FF);
        ASSERT_TRUE(f.got);
        firstOnly.emplace_back(f.timeMs - kOriginMs, f.camera);
    }
    EXPECT_EQ(firstOnly, (Keys{{0, 0}, {100, 0}, {200, 0}}));

    // An empty mask has nothing to read.
    ASSERT_EQ(Seek(0, kOriginMs, true), kOriginMs);
    EXPECT_FALSE(Read(0, true, {0, 0}).got);
}

TEST_F(SimArchive, ChannelsKeepTheirOwnCursors) {
    ASSERT_EQ(Seek(0, kOriginMs + 1'000, true), kOriginMs + 1'000);
    ASSERT_EQ(Seek(3, kOriginMs + 3'000, true), kOriginMs + 3'000);
    EXPECT_EQ(ReadMany(0, true, 1, {1, 0}), (Keys{{1'000, 0}}));
    EXPECT_EQ(ReadMany(3, true, 1, {1, 0}), (Keys{{3'000, 0}}));
    EXPECT_EQ(ReadMany(0, true, 1, {1, 0}), (Keys{{1'100, 0}}));

    // Closing forgets the position: the next read starts from the time the client sends.
    auto closed = client_->Exchange(Request(Code(0, kArchiveClose), 715), {},
                                    [](const TMsgHeader&) { return size_t{0}; });
    ASSERT_TRUE(closed);
    TMsgHeader rq = Request(Code(0, kArchiveReadForward), 715);
    rq.field16 = OleFromUnixMs(kOriginMs + 2'050);
    rq.field24 = 2;
    auto reply = client_->Exchange(
        rq, {1, 0}, [](const TMsgHeader& h) { return Positive(h.field44) + Positive(h.field40); });
    ASSERT_TRUE(reply);
    EXPECT_NEAR(reply->header.field16, OleFromUnixMs(kOriginMs + 2'100), 1e-9);
}

}  // namespace
