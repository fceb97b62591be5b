// Live frames against a scripted server where the exact bytes matter: the
// request entries the library sends, and reply entries with leading, trailing
// and extra areas around the payload, foreign camera indexes and short payloads.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "orv_sdk.h"
#include "protocol/Wire.h"
#include "sim/JpegCodec.h"
#include "sim/Picture.h"
#include "sim/VideoBlocks.h"
#include "support/ScriptedPeer.h"
#include "unit/api/BlockUsers.h"

namespace {

using orv_test::Bytes;

struct ReplyEntry {
    int32_t camera = 0;
    Bytes lead1, lead2, payload, aux, trail, extra;
    uint8_t extraFlag = 0;
    int32_t frameId = 17;
};

Bytes LiveReply(const std::vector<ReplyEntry>& entries) {
    auto header = orv_test::ReplyHeader(orv_stuff::kCmdLiveFrames, orv_stuff::kClientVersion);
    header.field12 = static_cast<int32_t>(entries.size());
    header.field24 = static_cast<int32_t>(entries.size() * orv_stuff::kFrameEntryLongSize);
    Bytes table(entries.size() * orv_stuff::kFrameEntryLongSize);
    std::vector<Bytes> blocks{Bytes{}};
    for (size_t i = 0; i < entries.size(); ++i) {
        const ReplyEntry& e = entries[i];
        orv_stuff::TFrameEntry entry;
        entry.camera = e.camera;
        entry.time = 46000.5 + static_cast<double>(i);
        entry.frameId = e.frameId;
        entry.lead1Length = static_cast<int32_t>(e.lead1.size());
        entry.lead2Length = static_cast<int32_t>(e.lead2.size());
        entry.payloadLength = static_cast<int32_t>(e.payload.size());
        entry.auxLength = static_cast<int32_t>(e.aux.size());
        entry.trailLength = static_cast<int32_t>(e.trail.size());
        entry.extraLength = static_cast<int32_t>(e.extra.size());
        entry.extraFlag = e.extraFlag;
        orv_stuff::EncodeFrameEntry(entry, &table[i * orv_stuff::kFrameEntryLongSize], orv_stuff::kFrameEntryLongSize);
        for (const Bytes* b : {&e.lead1, &e.lead2, &e.payload, &e.aux, &e.trail, &e.extra}) blocks.push_back(*b);
    }
    blocks[0] = table;
    return orv_test::MakeReply(header, blocks);
}

Bytes SmallJpeg() {
    orv_sim::JpegEncoder encoder;
    return encoder.Encode(orv_sim::RenderPicture(0, 1'700'000'000'000, 64, 48, orv_sim::Subsampling::S420), 80);
}

// A server with cameras 1 and 2 that answers live requests with `reply`.
class ScriptedServer {
public:
    ScriptedServer() {
        peer_.RespondRepeatedly([this](const orv_test::Request& request) { return Answer(request); });
        peer_.Start();
    }
    void SetLiveReply(Bytes reply) {
        std::lock_guard lock(mutex_);
        liveReply_ = std::move(reply);
    }
    std::vector<orv_stuff::TFrameEntry> LastLiveEntries() {
        std::lock_guard lock(mutex_);
        return lastEntries_;
    }
    uint16_t Port() const { return peer_.Port(); }
    void Stop() { peer_.Stop(); }

private:
    Bytes Answer(const orv_test::Request& request) {
        const uint16_t command = request.header.command;
        if (command == orv_stuff::kCmdLogin) {
            return orv_test::LoginReply(0, 1, 0, orv_stuff::kClientVersion);
        }
        if (command == orv_stuff::kCmdLiveFrames) {
            std::lock_guard lock(mutex_);
            lastEntries_.clear();
            for (size_t at = 0; at + orv_stuff::kFrameEntryLongSize <= request.payload.size();
                 at += orv_stuff::kFrameEntryLongSize) {
                lastEntries_.push_back(
                    orv_stuff::DecodeFrameEntry(&request.payload[at], orv_stuff::kFrameEntryLongSize));
            }
            return liveReply_;
        }
        auto h = orv_test::ReplyHeader(command, orv_stuff::kClientVersion);
        return orv_test::MakeReply(h);
    }

    orv_test::ScriptedPeer peer_;
    std::mutex mutex_;
    Bytes liveReply_;
    std::vector<orv_stuff::TFrameEntry> lastEntries_;
};

class FramesScripted : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ORV_Init(), 0);
        ASSERT_EQ(ORV_ServerAdd("127.0.0.1", server_.Port(), 0, 0, ""), 0);
        ASSERT_EQ(ORV_ServersConnect(), 0);
    }
    void TearDown() override {
        ORV_Uninit();
        server_.Stop();
    }
    int Get(int camera, int type, std::vector<uint8_t>& out, double& time) {
        out.assign(100'000, 0);
        int width = 0, height = 0, size = 0;
        int result = ORV_E_NO_FRAME;
        // -8 also answers a call that met the worker holding the server lock.
        for (int attempt = 0; attempt < 50 && result == ORV_E_NO_FRAME; ++attempt) {
            result = ORV_VideoGetFrame(camera, type, reinterpret_cast<char*>(out.data()),
                                       static_cast<unsigned>(out.size()), &time, &width, &height, &size);
        }
        out.resize(result == 0 ? static_cast<size_t>(size) : 0);
        return result;
    }

    BlockUsersLock users_;
    ScriptedServer server_;
};

TEST_F(FramesScripted, RequestEntriesCarryTheStreamSelectorsSizeLimits) {
    server_.SetLiveReply(LiveReply({}));
    std::vector<uint8_t> out;
    double time = 0;
    Get(2, 1, out, time);
    auto entries = server_.LastLiveEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].camera, 1);
    EXPECT_EQ(entries[0].maxWidth, 3840);
    EXPECT_EQ(entries[0].maxHeight, 2400);
    EXPECT_EQ(entries[0].longForm, 1);
    EXPECT_EQ(entries[0].extraFlag, 0);
    EXPECT_EQ(entries[0].frameId, 0);

    Get(2 | 0x10000, 1, out, time);
    entries = server_.LastLiveEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].camera, 1);
    EXPECT_EQ(entries[0].maxWidth, 0);
    EXPECT_EQ(entries[0].maxHeight, 0);
}

// A reply holds at most as many entries as were asked for: one per call here.
TEST_F(FramesScripted, PayloadIsFoundBetweenTheOtherAreasOfItsEntry) {
    const Bytes jpeg = SmallJpeg();
    ASSERT_GT(jpeg.size(), 100u);
    ReplyEntry entry;
    entry.camera = 1;
    entry.lead1 = Bytes(5, 0x11);
    entry.lead2 = Bytes(3, 0x22);
    entry.payload = jpeg;
    entry.aux = Bytes(6, 0x33);
    entry.trail = Bytes(7, 0x44);
    entry.extra = Bytes(4, 0x55);
    entry.extraFlag = 1;
    server_.SetLiveReply(LiveReply({entry}));
    std::vector<uint8_t> out;
    double time = 0;
    ASSERT_EQ(Get(2, 1, out, time), 0);
    EXPECT_EQ(out, jpeg);
    EXPECT_DOUBLE_EQ(time, 46000.5);
    // Decoded, the same payload gives the picture's size.
    ASSERT_EQ(Get(2, 3, out, time), 0);
    EXPECT_EQ(out.size(), 64u * 48u * 3u);
    // The decoded frame's id goes back in the next request.
    Get(2, 1, out, time);
    const auto entries = server_.LastLiveEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].frameId, 17);
    EXPECT_DOUBLE_EQ(entries[0].time, 46000.5);

    // An entry for an index no request could have asked for delivers nothing.
    entry.camera = 5000;
    server_.SetLiveReply(LiveReply({entry}));
    EXPECT_EQ(Get(2, 1, out, time), ORV_E_NO_FRAME);
}

// One second of MPEG-4 video from `firstMs` on, 25 pictures, as a block with a time table.
Bytes OneSecondBlock(int64_t firstMs) {
    std::vector<int64_t> times;
    for (int i = 0; i < 25; ++i) times.push_back(firstMs + 40 * i);
    return orv_sim::BuildTableBlock(orv_sim::EncodeFrames(orv_sim::VideoCodec::Mpeg4, 1, 160, 120, 25, times));
}

// A call that hands out a decoded picture still takes in the block that came with
// it: dropped, the block would be asked for again only by a later call, by which
// time the server may have moved past it.
TEST_F(FramesScripted, ACallThatDeliversADecodedPictureStillTakesInTheNextBlock) {
    constexpr int64_t kFirstMs = 1'780'000'000'000;
    ReplyEntry first;
    first.camera = 1;
    first.frameId = 5;
    first.payload = OneSecondBlock(kFirstMs);
    ReplyEntry second = first;
    second.frameId = 6;
    second.payload = OneSecondBlock(kFirstMs + 1000);
    ASSERT_GT(first.payload.size(), 100u);
    ASSERT_GT(second.payload.size(), 100u);

    std::vector<char> buffer(160 * 120 * 3);
    double time = 0;
    int width = 0, height = 0, size = 0;
    const auto get = [&] {
        return ORV_VideoGetFrame(2, 3, buffer.data(), static_cast<unsigned>(buffer.size()), &time, &width, &height,
                                 &size);
    };
    const auto waitForPicture = [&](double atLeast) {
        for (int attempt = 0; attempt < 300; ++attempt) {
            if (get() == 0 && time >= atLeast) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    server_.SetLiveReply(LiveReply({first}));
    ASSERT_EQ(get(), ORV_E_NO_FRAME) << "a block's pictures come with later calls";
    server_.SetLiveReply(LiveReply({}));
    ASSERT_TRUE(waitForPicture(0.0)) << "the first block's first picture";
    const double firstShown = time;

    // Later pictures of the first block are due by now; the reply brings the next block.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server_.SetLiveReply(LiveReply({second}));
    ASSERT_EQ(get(), 0) << "a decoded picture of the first block";
    EXPECT_GT(time, firstShown);
    server_.SetLiveReply(LiveReply({}));
    ASSERT_NE(get(), ORV_E_CAMERA_INACTIVE);
    auto entries = server_.LastLiveEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].frameId, 6) << "the second block was taken in";
    // And its pictures follow the first block's.
    const double secondStarts = firstShown + 1000.0 / 86'400'000.0 - 1e-9;
    EXPECT_TRUE(waitForPicture(secondStarts));
}

TEST_F(FramesScripted, ReplyWithOnlyUnusableEntriesIsNoFrame) {
    ReplyEntry tiny;
    tiny.camera = 1;
    tiny.payload = Bytes{1, 2};
    ReplyEntry garbage;  // neither JPEG nor a parsable compressed block
    garbage.camera = 1;
    garbage.payload = Bytes(64, 0x7A);
    server_.SetLiveReply(LiveReply({tiny, garbage}));
    std::vector<uint8_t> out;
    double time = 0;
    EXPECT_EQ(Get(2, 6, out, time), ORV_E_NO_FRAME);
    EXPECT_EQ(Get(2, 3, out, time), ORV_E_NO_FRAME);
}

}  // namespace
