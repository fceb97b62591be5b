// Live frames against a scripted server where the exact bytes matter: the
// request entries the library sends, and reply entries with leading, trailing
// and extra areas around the payload, foreign camera indexes and short payloads.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <cmath>

#include "orv_sdk.h"
#include "protocol/Wire.h"
#include "sim/JpegCodec.h"
#include "sim/Picture.h"
#include "sim/VideoBlocks.h"
#include "support/ScriptedPeer.h"
#include "support/BlockUsers.h"

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

    orv_test::BlockUsersLock users_;
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

// ---------------------------------------------------------------------------
// Colours and order of decoded video with B-frames: every BGR picture matches
// what libavcodec + libswscale make of the frame with its time stamp.

struct ReferencePictures {
    std::vector<std::vector<uint8_t>> bgr;  // display order
    int bFrames = 0;                        // B-pictures seen
    int profile = 0;
};

ReferencePictures DecodeWithLibavcodec(orv_sim::VideoCodec codec, const std::vector<orv_sim::EncodedFrame>& frames) {
    ReferencePictures out;
    const AVCodec* decoder = avcodec_find_decoder(codec == orv_sim::VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG4);
    AVCodecContext* context = avcodec_alloc_context3(decoder);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    SwsContext* scaler = nullptr;
    const auto receive = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            if (frame->pict_type == AV_PICTURE_TYPE_B) ++out.bFrames;
            scaler = sws_getCachedContext(scaler, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                          frame->width, frame->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                          nullptr);
            std::vector<uint8_t> bgr(static_cast<size_t>(frame->width) * frame->height * 3);
            uint8_t* planes[4] = {bgr.data(), nullptr, nullptr, nullptr};
            int strides[4] = {frame->width * 3, 0, 0, 0};
            sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
            out.bgr.push_back(std::move(bgr));
        }
    };
    context->thread_count = 1;
    if (avcodec_open2(context, decoder, nullptr) == 0) {
        for (const auto& f : frames) {
            Bytes padded = f.data;
            padded.resize(f.data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            packet->data = padded.data();
            packet->size = static_cast<int>(f.data.size());
            avcodec_send_packet(context, packet);
            receive();
        }
        avcodec_send_packet(context, nullptr);
        receive();
        out.profile = context->profile;
    }
    sws_freeContext(scaler);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return out;
}

double MeanAbsoluteError(const std::vector<char>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < b.size(); ++i) sum += std::abs(static_cast<uint8_t>(a[i]) - b[i]);
    return sum / static_cast<double>(b.size());
}

struct BFrameCase {
    const char* name;
    orv_sim::VideoCodec codec;
    int bFrames;
    int profile;  // what the stream must declare
};

void PrintTo(const BFrameCase& c, std::ostream* os) { *os << c.name; }

class LiveBFrames : public FramesScripted, public ::testing::WithParamInterface<BFrameCase> {};

TEST_P(LiveBFrames, EveryPictureHasTheColoursOfItsFrameInOrder) {
    const BFrameCase& c = GetParam();
    if (c.codec == orv_sim::VideoCodec::H264 && !orv_sim::H264EncoderAvailable()) GTEST_SKIP() << "no H.264 encoder";
    constexpr int kWidth = 320, kHeight = 240, kFrames = 25;
    constexpr int64_t kFirstMs = 1'780'000'000'000, kStepMs = 100;  // a late call still finds each picture due
    std::vector<int64_t> times;
    for (int i = 0; i < kFrames; ++i) times.push_back(kFirstMs + kStepMs * i);
    const auto frames = orv_sim::EncodeFrames(c.codec, 2, kWidth, kHeight, 25, times, c.bFrames);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    const ReferencePictures reference = DecodeWithLibavcodec(c.codec, frames);
    ASSERT_EQ(reference.bgr.size(), static_cast<size_t>(kFrames));
    ASSERT_GE(reference.bFrames, kFrames / 2) << "the stream should be mostly B-pictures";
    EXPECT_EQ(reference.profile, c.profile);

    ReplyEntry entry;
    entry.camera = 0;
    entry.payload = orv_sim::BuildTableBlock(frames);
    entry.frameId = 9;
    server_.SetLiveReply(LiveReply({entry}));
    std::vector<char> buffer(kWidth * kHeight * 3);
    double time = 0;
    int width = 0, height = 0, size = 0;
    const auto get = [&] {
        return ORV_VideoGetFrame(1, ORV_FRAME_BGR, buffer.data(), static_cast<unsigned>(buffer.size()), &time,
                                 &width, &height, &size);
    };
    get();
    server_.SetLiveReply(LiveReply({}));
    int last = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (last + 1 < kFrames && std::chrono::steady_clock::now() < deadline) {
        if (get() != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ASSERT_EQ(width, kWidth);
        ASSERT_EQ(height, kHeight);
        const int64_t ms = std::llround((time - 25569.0) * 86'400'000.0);
        const int index = static_cast<int>((ms - kFirstMs) / kStepMs);
        ASSERT_TRUE(index >= 0 && index < kFrames && ms == times[static_cast<size_t>(index)]) << "time " << ms;
        if (index == last) continue;  // the same picture again
        EXPECT_EQ(index, last + 1) << "pictures skipped or out of order";
        const double own = MeanAbsoluteError(buffer, reference.bgr[static_cast<size_t>(index)]);
        EXPECT_LE(own, 2.0) << "picture " << index;
        for (int other : {index - 1, index + 1}) {
            if (other < 0 || other >= kFrames) continue;
            EXPECT_LT(own, MeanAbsoluteError(buffer, reference.bgr[static_cast<size_t>(other)]))
                << "picture " << index << " looks more like picture " << other;
        }
        last = index;
    }
    EXPECT_EQ(last, kFrames - 1) << "not every picture was delivered";
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LiveBFrames,
    ::testing::Values(BFrameCase{"H264HighCabac3BFrames", orv_sim::VideoCodec::H264, 3, FF_PROFILE_H264_HIGH},
                      BFrameCase{"Mpeg4AdvancedSimple2BFrames", orv_sim::VideoCodec::Mpeg4, 2,
                                 FF_PROFILE_MPEG4_ADVANCED_SIMPLE}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Recovery: whatever one entry brings, the next good picture works at once, for
// the same camera and for the other one, without a reconnect.

Bytes PictureOf(int cameraIndex, int64_t ms, orv_sim::Subsampling subsampling = orv_sim::Subsampling::S420) {
    orv_sim::JpegEncoder encoder;
    return encoder.Encode(orv_sim::RenderPicture(cameraIndex, ms, 64, 48, subsampling), 80);
}

Bytes UnreadableHeader() {
    Bytes bytes(203, 0x13);
    bytes[0] = 0xFF;
    bytes[1] = 0xD8;
    bytes[2] = 0xFF;
    return bytes;
}

// Offset of the first byte after the start-of-scan segment.
size_t ScanStart(const Bytes& jpeg) {
    for (size_t i = 2; i + 3 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return i + 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3]);
    }
    return jpeg.size();
}

// A readable header whose entropy-coded data is broken in the given way.
Bytes BrokenScan(bool truncate) {
    Bytes jpeg = PictureOf(0, 1'000);
    const size_t scan = ScanStart(jpeg);
    if (truncate) {
        jpeg.resize(scan + (jpeg.size() - scan) / 3);
        return jpeg;
    }
    for (size_t i = scan; i + 2 < jpeg.size(); i += 2) {
        jpeg[i] = 0xFF;
        jpeg[i + 1] = 0x13;  // an unknown marker where coded data belongs
    }
    return jpeg;
}

// A block update of the camera's picture whose changed-blocks JPEG is unreadable,
// and one whose header announces more than it carries.
Bytes BrokenUpdate(bool badJpeg) {
    orv_sim::JpegEncoder encoder;
    const auto base = orv_sim::RenderPicture(0, 1'000, 64, 48, orv_sim::Subsampling::S420);
    const auto next = orv_sim::RenderPicture(0, 9'000, 64, 48, orv_sim::Subsampling::S420);
    Bytes update = orv_sim::BuildBlockUpdate(base, next, encoder, 80);
    if (update.size() < 40) return update;
    if (!badJpeg) {
        orv_stuff::PutI32(update.data() + 2, 1 << 20);  // mask length beyond the data
        return update;
    }
    const int32_t mask = orv_stuff::GetI32(update.data() + 2);
    update.resize(orv_sim::kBlockUpdateHeaderSize + static_cast<size_t>(mask));
    const Bytes junk = UnreadableHeader();
    update.insert(update.end(), junk.begin(), junk.end());
    return update;
}

// A well-framed block whose bitstreams are garbage behind intact start codes.
Bytes GarbageStream(orv_sim::VideoCodec codec) {
    std::vector<int64_t> times;
    for (int i = 0; i < 10; ++i) times.push_back(1'780'000'000'000 + 40 * i);
    auto frames = orv_sim::EncodeFrames(codec, 0, 160, 120, 25, times);
    uint32_t state = 7;
    for (auto& frame : frames) {
        for (size_t i = 6; i < frame.data.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            frame.data[i] = static_cast<uint8_t>(state >> 24) | 0x01;  // no new start codes
        }
    }
    if (frames.empty()) return {};
    return codec == orv_sim::VideoCodec::H264 ? orv_sim::BuildChainBlock(frames) : orv_sim::BuildTableBlock(frames);
}

struct BadEntry {
    const char* name;
    std::function<std::vector<ReplyEntry>()> make;
    bool bgrMustFail;  // the bad call itself may not report a picture
};

ReplyEntry Entry(int32_t camera, Bytes payload, Bytes aux = {}) {
    ReplyEntry e;
    e.camera = camera;
    e.payload = std::move(payload);
    e.aux = std::move(aux);
    return e;
}

void PrintTo(const BadEntry& c, std::ostream* os) { *os << c.name; }

class LiveRecovery : public FramesScripted, public ::testing::WithParamInterface<BadEntry> {
protected:
    // One call that must deliver `expected` for camera number `camera`.
    void ExpectGood(int camera, const Bytes& expected, const char* what) {
        server_.SetLiveReply(LiveReply({Entry(camera - 1, expected)}));
        std::vector<uint8_t> out;
        double time = 0;
        ASSERT_EQ(Get(camera, ORV_FRAME_JPEG, out, time), 0) << what << ": JPEG as received";
        EXPECT_EQ(out, expected) << what;
        for (int type : {ORV_FRAME_BGR, ORV_FRAME_NATIVE, ORV_FRAME_GREY}) {
            ASSERT_EQ(Get(camera, type, out, time), 0) << what << ": type " << type;
            EXPECT_EQ(out.size(), 64u * 48u * (type == ORV_FRAME_BGR ? 3u : type == ORV_FRAME_GREY ? 1u : 2u))
                << what << ": type " << type;
        }
    }
};

TEST_P(LiveRecovery, NextGoodPictureWorksAtOnce) {
    const Bytes good1 = PictureOf(0, 2'000);
    const Bytes good2 = PictureOf(1, 3'000, orv_sim::Subsampling::S422);
    ASSERT_GT(good1.size(), 100u);
    ExpectGood(1, PictureOf(0, 1'000), "before");  // the base picture block updates refer to

    const auto bad = GetParam().make();
    for (int type : {ORV_FRAME_JPEG, ORV_FRAME_BGR, ORV_FRAME_GREY}) {
        server_.SetLiveReply(LiveReply(bad));
        std::vector<char> out(100'000);
        double time = 0;
        int width = 0, height = 0, size = 0;
        const int result = ORV_VideoGetFrame(1, type, out.data(), static_cast<unsigned>(out.size()), &time, &width,
                                             &height, &size);
        if (type == ORV_FRAME_BGR && GetParam().bgrMustFail) {
            EXPECT_NE(result, 0) << "a bad picture reported as one";
        }
    }
    ExpectGood(1, good1, "same camera");
    ExpectGood(2, good2, "other camera");
    int state = 0;
    ASSERT_EQ(ORV_ServerGetState(1, &state), 0);
    EXPECT_EQ(state, ORV_STATE_CONNECTED) << "no reconnect was needed";
}

INSTANTIATE_TEST_SUITE_P(
    BadInputs, LiveRecovery,
    ::testing::Values(
        BadEntry{"UnreadableJpegHeader", [] { return std::vector{Entry(0, UnreadableHeader())}; }, true},
        BadEntry{"BrokenScanMarkers", [] { return std::vector{Entry(0, BrokenScan(false))}; }, false},
        BadEntry{"TruncatedScan", [] { return std::vector{Entry(0, BrokenScan(true))}; }, false},
        BadEntry{"UpdateWithUnreadableJpeg", [] { return std::vector{Entry(0, {}, BrokenUpdate(true))}; }, false},
        BadEntry{"UpdateBeyondItsData", [] { return std::vector{Entry(0, {}, BrokenUpdate(false))}; }, false},
        BadEntry{"GarbageCompressedBlock", [] { return std::vector{Entry(0, Bytes(64, 0x7A))}; }, true},
        BadEntry{"GarbageH264Bitstream",
                 [] { return std::vector{Entry(0, GarbageStream(orv_sim::VideoCodec::H264))}; }, true},
        BadEntry{"GarbageMpeg4Bitstream",
                 [] { return std::vector{Entry(0, GarbageStream(orv_sim::VideoCodec::Mpeg4))}; }, true},
        BadEntry{"ForeignCamera", [] { return std::vector{Entry(4000, PictureOf(0, 5'000))}; }, true},
        BadEntry{"TwoEntriesForOneRequest",
                 [] { return std::vector{Entry(0, UnreadableHeader()), Entry(0, PictureOf(0, 5'000))}; }, false},
        BadEntry{"PayloadBeyondTheFrameLimit", [] { return std::vector{Entry(0, Bytes(15'000'000, 0xFF))}; },
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

// After a bad block, the camera's next good compressed block decodes again.
class CompressedRecovery : public LiveRecovery {};

TEST_P(CompressedRecovery, NextGoodBlockDecodes) {
    const auto bad = GetParam().make();
    std::vector<char> buffer(160 * 120 * 3);
    double time = 0;
    int width = 0, height = 0, size = 0;
    const auto get = [&] {
        return ORV_VideoGetFrame(1, ORV_FRAME_BGR, buffer.data(), static_cast<unsigned>(buffer.size()), &time,
                                 &width, &height, &size);
    };
    for (int call = 0; call < 3; ++call) {
        server_.SetLiveReply(LiveReply(bad));
        get();
    }
    ReplyEntry good = Entry(0, OneSecondBlock(1'780'000'060'000));
    good.frameId = 40;
    server_.SetLiveReply(LiveReply({good}));
    get();
    server_.SetLiveReply(LiveReply({}));
    bool decoded = false;
    for (int attempt = 0; attempt < 300 && !decoded; ++attempt) {
        decoded = get() == 0;
        if (!decoded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(decoded) << "no picture from the good block";
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 120);
    EXPECT_EQ(size, 160 * 120 * 3);
}

INSTANTIATE_TEST_SUITE_P(
    BadBlocks, CompressedRecovery,
    ::testing::Values(
        BadEntry{"GarbageCompressedBlock", [] { return std::vector{Entry(0, Bytes(64, 0x7A))}; }, true},
        BadEntry{"GarbageH264Bitstream",
                 [] { return std::vector{Entry(0, GarbageStream(orv_sim::VideoCodec::H264))}; }, true},
        BadEntry{"GarbageMpeg4Bitstream",
                 [] { return std::vector{Entry(0, GarbageStream(orv_sim::VideoCodec::Mpeg4))}; }, true},
        BadEntry{"UnreadableJpegHeader", [] { return std::vector{Entry(0, UnreadableHeader())}; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
