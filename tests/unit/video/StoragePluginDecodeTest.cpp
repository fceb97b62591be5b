// End to end through the real decoder plug-in: pictures encoded with libavcodec,
// wrapped into blocks, decoded by the archive path and by a paced live stream.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BlockBuilder.h"
#include "platform/DynamicLibrary.h"
#include "video/FrameStorage.h"

namespace {

using namespace storage_test;
using namespace std::chrono_literals;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr double kT0 = 46300.5;

// Flat luma per picture (distinct per index) with neutral chroma: easy to check
// after lossy coding.
uint8_t LumaOf(int index) { return static_cast<uint8_t>(40 + 15 * index); }
// The streams carry video-range luma; the plug-in hands out full range.
double DecodedLumaOf(int index) { return (LumaOf(index) - 16) * 255.0 / 219.0; }

struct Encoded {
    std::vector<uint8_t> payload;  // all pictures back to back
    int pictures = 0;
};

Encoded Encode(const char* name, int count) {
    Encoded out;
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 25};
    ctx->framerate = AVRational{25, 1};
    ctx->gop_size = count;
    ctx->max_b_frames = 0;
    ctx->bit_rate = 400000;
    if (std::string(name) == "libx264") {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    }
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    const bool opened = avcodec_open2(ctx, codec, nullptr) >= 0;
    frame->format = ctx->pix_fmt;
    frame->width = kWidth;
    frame->height = kHeight;
    if (opened && av_frame_get_buffer(frame, 0) >= 0) {
        auto drain = [&] {
            while (avcodec_receive_packet(ctx, packet) >= 0) {
                out.payload.insert(out.payload.end(), packet->data, packet->data + packet->size);
                ++out.pictures;
                av_packet_unref(packet);
            }
        };
        for (int i = 0; i < count; ++i) {
            if (av_frame_make_writable(frame) < 0) break;
            for (int y = 0; y < kHeight; ++y) std::memset(frame->data[0] + y * frame->linesize[0], LumaOf(i), kWidth);
            for (int y = 0; y < kHeight / 2; ++y) {
                std::memset(frame->data[1] + y * frame->linesize[1], 128, kWidth / 2);
                std::memset(frame->data[2] + y * frame->linesize[2], 128, kWidth / 2);
            }
            frame->pts = i;
            if (avcodec_send_frame(ctx, frame) < 0) break;
            drain();
        }
        avcodec_send_frame(ctx, nullptr);
        drain();
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

std::string PluginPath() {
    return platform::DynamicLibrary::OwnDirectory() + "../src/libVEVIDAZev2.so";
}

double MeanOfEvery(const platform::Bytes& data, size_t step) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < data.size(); i += step, ++n) sum += data[i];
    return n == 0 ? -1.0 : sum / static_cast<double>(n);
}

struct Codec {
    const char* encoder;
    int32_t kind;
};

class PluginDecode : public ::testing::TestWithParam<Codec> {
protected:
    void SetUp() override {
        ASSERT_TRUE(api_.AddUser()) << "decoder plug-in not found at " << PluginPath()
                                    << " (build target VEVIDAZev2)";
        encoded_ = Encode(GetParam().encoder, kPictures);
        if (encoded_.pictures == 0) GTEST_SKIP() << GetParam().encoder << " encoder not available";
        ASSERT_EQ(encoded_.pictures, kPictures);
        ASSERT_EQ(processing::PayloadKind(encoded_.payload.data(), encoded_.payload.size()), GetParam().kind);
        std::vector<double> times;
        for (int i = 0; i < kPictures; ++i) times.push_back(kT0 + i * 40.0 * kMs);
        block_ = TableBlock(times, encoded_.payload);

        processing::FrameStorageOptions options;
        options.threads = 2;
        options.api = &api_;
        auto clock = [this] { return wall_.load(); };
        options.clocks = {clock, clock};
        storage_ = std::make_unique<processing::MPEG4FrameStorage>(options);
    }

    void TearDown() override {
        storage_.reset();
        api_.RemoveUser();
    }

    static constexpr int kPictures = 8;
    std::atomic<double> wall_{46400.0};
    DecoderApi api_{PluginPath()};
    Encoded encoded_;
    std::vector<uint8_t> block_;
    std::unique_ptr<processing::MPEG4FrameStorage> storage_;
};

TEST_P(PluginDecode, ArchiveBlockDecodesEveryPictureWithItsTime) {
    const auto key = processing::ArchiveSequenceKey(0, 1, 0, 5);
    ASSERT_TRUE(storage_->PushArchiveBlock(key, block_.data(), block_.size()));
    TOrvFrame frame;
    int got = 0;
    while (got < kPictures + 2 && storage_->TakeArchiveFrame(key, frame)) {
        ASSERT_EQ(frame.width, kWidth);
        ASSERT_EQ(frame.height, kHeight);
        ASSERT_EQ(frame.data.size(), static_cast<size_t>(kWidth * kHeight * (frame.isColour ? 2 : 1)));
        EXPECT_NEAR((frame.time - kT0) / kMs, 40.0 * got, 1e-3);
        const size_t lumaStep = frame.isColour ? 2 : 1;
        EXPECT_NEAR(MeanOfEvery(frame.data, lumaStep), DecodedLumaOf(got), 3.0) << got;
        ++got;
    }
    EXPECT_EQ(got, kPictures);
}

TEST_P(PluginDecode, LiveStreamDeliversPacedBgrPictures) {
    const auto key = processing::LiveSequenceKey(1, 0, 5);
    ASSERT_TRUE(storage_->PushLiveBlock(key, block_.data(), block_.size(), true));
    auto processor = storage_->FindProcessor(key);
    ASSERT_TRUE(processor);
    TOrvFrame frame;
    std::vector<double> times;
    for (int attempt = 0; attempt < 200 && static_cast<int>(times.size()) < kPictures; ++attempt) {
        ASSERT_TRUE(processor->WaitIdle(2s));
        if (storage_->TakeLiveFrame(key, frame)) {
            ASSERT_EQ(frame.format, Bgr24);
            ASSERT_EQ(frame.data.size(), static_cast<size_t>(kWidth * kHeight * 3));
            const int index = static_cast<int>(times.size());
            EXPECT_NEAR(MeanOfEvery(frame.data, 1), DecodedLumaOf(index), 4.0) << index;
            times.push_back(frame.time);
        }
        wall_ = wall_.load() + 10.0 * kMs;
    }
    ASSERT_EQ(times.size(), static_cast<size_t>(kPictures));
    for (int i = 0; i < kPictures; ++i) EXPECT_NEAR((times[i] - kT0) / kMs, 40.0 * i, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Codecs, PluginDecode,
                         ::testing::Values(Codec{"mpeg4", processing::kKindMpeg4},
                                           Codec{"libx264", processing::kKindAvc}),
                         [](const auto& info) { return std::string(info.param.encoder); });

}  // namespace
