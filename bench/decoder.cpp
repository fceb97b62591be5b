// 1080p decoding to BGR: through the decoder plug-in (YUYV) plus our YUYV->BGR
// conversion, against a plain libavcodec + libswscale loop over the same stream.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <libyuv.h>

#include "pixel/PlanarPacking.h"
#include "platform/Bytes.h"
#include "video/DecoderApi.h"
#include "video/PixelConvert.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 50;
constexpr int kBlock = 25;  // pictures per block, one key frame each

struct Stream {
    std::vector<std::vector<uint8_t>> packets;
    bool ok = false;
};

// Textured background with moving bars: enough detail for a realistic bit rate.
void FillPicture(AVFrame* frame, int index) {
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < kWidth; ++x) {
            const unsigned noise = (x * 2654435761u) ^ (y * 2246822519u);
            const bool bar = ((x + index * 12) / 64) % 4 == 0;
            row[x] = static_cast<uint8_t>(bar ? 220 : 40 + ((x + y) >> 4) % 100 + (noise >> 28));
        }
    }
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < kHeight / 2; ++y)
            std::memset(frame->data[p] + y * frame->linesize[p], 100 + p * 20 + (y + index) % 16, kWidth / 2);
}

Stream Encode(const char* name) {
    Stream out;
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return out;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = kWidth;
    c->height = kHeight;
    c->time_base = {1, 25};
    c->framerate = {25, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->gop_size = kBlock;
    c->max_b_frames = 0;
    c->bit_rate = 4000000;
    if (std::string(name) == "libx264") {
        av_opt_set(c->priv_data, "preset", "veryfast", 0);
        av_opt_set(c->priv_data, "x264-params", "scenecut=0", 0);
    }
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (avcodec_open2(c, codec, nullptr) == 0) {
        frame->format = c->pix_fmt;
        frame->width = kWidth;
        frame->height = kHeight;
        av_frame_get_buffer(frame, 0);
        for (int i = 0; i <= kFrames; ++i) {
            if (i < kFrames) {
                av_frame_make_writable(frame);
                FillPicture(frame, i);
                frame->pts = i;
            }
            avcodec_send_frame(c, i < kFrames ? frame : nullptr);
            while (avcodec_receive_packet(c, packet) == 0) {
                out.packets.emplace_back(packet->data, packet->data + packet->size);
                av_packet_unref(packet);
            }
        }
        out.ok = out.packets.size() == static_cast<size_t>(kFrames);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return out;
}

const Stream& StreamFor(const std::string& name) {
    static std::map<std::string, Stream> streams;
    auto it = streams.find(name);
    if (it == streams.end()) it = streams.emplace(name, Encode(name.c_str())).first;
    return it->second;
}

std::vector<std::vector<uint8_t>> Blocks(const Stream& stream) {
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t i = 0; i < stream.packets.size(); ++i) {
        if (i % kBlock == 0) blocks.emplace_back();
        blocks.back().insert(blocks.back().end(), stream.packets[i].begin(), stream.packets[i].end());
    }
    return blocks;
}

DecoderApi& Plugin() {
    static DecoderApi api(ORV_TEST_DECODER_PLUGIN);
    return api;
}

enum class Convert { None, Ours, Libyuv };

// The library's path: blocks into the plug-in, YUYV out, converted to BGR with
// the library's conversion (or libyuv's, to separate the plug-in's share).
void PluginToBgr(benchmark::State& state, const char* encoder, Convert convert) {
    av_log_set_level(AV_LOG_QUIET);
    const Stream& stream = StreamFor(encoder);
    if (!stream.ok || !Plugin().AddUser()) {
        state.SkipWithError("stream or plug-in missing");
        return;
    }
    const auto blocks = Blocks(stream);
    const int32_t kind = std::string(encoder) == "mpeg4" ? processing::MPEG4Decoder::kKindMpeg4
                                                         : processing::MPEG4Decoder::kKindAvc;
    processing::MPEG4Decoder decoder(Plugin());
    decoder.SetCodec(kind);
    // Pictures in the library's own storage (page-aligned), as the frame store hands them to the plug-in.
    platform::Bytes yuyv(kWidth * kHeight * 2), bgr(kWidth * kHeight * 3), argb(kWidth * kHeight * 4);
    int64_t pictures = 0;
    for (auto _ : state) {
        for (const auto& block : blocks) {
            decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), 1, 0, 1);
            int32_t w = 0, h = 0, f = 0;
            while (decoder.GetFrameInfo(w, h, f) == 0 && w > 0) {
                if (decoder.GetFrame(yuyv.data(), static_cast<int32_t>(yuyv.size())) != 0) break;
                if (convert == Convert::Ours) processing::YuyvToBgr(yuyv.data(), bgr.data(), w, h);
                if (convert == Convert::Libyuv) {
                    libyuv::YUY2ToARGB(yuyv.data(), w * 2, argb.data(), w * 4, w, h);
                    libyuv::ARGBToRGB24(argb.data(), w * 4, bgr.data(), w * 3, w, h);
                }
                ++pictures;
            }
        }
        benchmark::DoNotOptimize(bgr.data());
    }
    Plugin().RemoveUser();
    state.SetItemsProcessed(pictures);
    if (pictures != static_cast<int64_t>(state.iterations()) * kFrames) state.SkipWithError("pictures lost");
}

// What a user would write otherwise: libavcodec straight, libswscale to BGR.
void AvcodecSwscale(benchmark::State& state, const char* encoder, bool convert) {
    av_log_set_level(AV_LOG_QUIET);
    const Stream& stream = StreamFor(encoder);
    if (!stream.ok) {
        state.SkipWithError("stream missing");
        return;
    }
    const AVCodecID id = std::string(encoder) == "mpeg4" ? AV_CODEC_ID_MPEG4 : AV_CODEC_ID_H264;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->thread_count = 1;
    avcodec_open2(c, codec, nullptr);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    SwsContext* sws = nullptr;
    platform::Bytes bgr(kWidth * kHeight * 3);  // aligned like the plug-in side's
    // Padded copies, as a demuxer would hand them over.
    std::vector<std::vector<uint8_t>> padded;
    for (const auto& p : stream.packets) {
        padded.emplace_back(p);
        padded.back().resize(p.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    }
    int64_t pictures = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < padded.size(); ++i) {
            packet->data = padded[i].data();
            packet->size = static_cast<int>(stream.packets[i].size());
            avcodec_send_packet(c, packet);
            while (avcodec_receive_frame(c, frame) == 0) {
                ++pictures;
                if (!convert) continue;
                sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                           frame->width, frame->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr,
                                           nullptr, nullptr);
                uint8_t* dst[4] = {bgr.data(), nullptr, nullptr, nullptr};
                int dstStride[4] = {frame->width * 3, 0, 0, 0};
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
            }
        }
        benchmark::DoNotOptimize(bgr.data());
    }
    sws_freeContext(sws);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    state.SetItemsProcessed(pictures);
}

// The plug-in's 4:2:0 -> YUYV packing against libyuv's I420ToYUY2, 1080p: as a
// plain interleave (full-range streams) and with the limited-to-full expansion.
enum class Packer { PluginFull, PluginLimited, Libyuv };
void PackYuyv(benchmark::State& state, Packer packer) {
    std::vector<uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(16 + i % 220);
    for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<uint8_t>(16 + i % 225), v[i] = static_cast<uint8_t>(240 - i % 225);
    platform::Bytes out(kWidth * kHeight * 2);
    const pixel::Planes planes{y.data(), u.data(), v.data(), kWidth, kWidth / 2, kWidth / 2, kWidth, kHeight, 1, 1};
    for (auto _ : state) {
        if (packer == Packer::Libyuv) {
            libyuv::I420ToYUY2(y.data(), kWidth, u.data(), kWidth / 2, v.data(), kWidth / 2, out.data(), kWidth * 2,
                               kWidth, kHeight);
        } else {
            pixel::PackYuyv(planes,
                            packer == Packer::PluginLimited ? pixel::SampleRange::Limited : pixel::SampleRange::Full,
                            out.data());
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(PackYuyv, PluginFullRange1080p, Packer::PluginFull)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PackYuyv, PluginLimitedRange1080p, Packer::PluginLimited)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PackYuyv, Libyuv1080p, Packer::Libyuv)->Unit(benchmark::kMicrosecond);

#define ORV_DECODER_BENCH(name, ...) BENCHMARK_CAPTURE(name, __VA_ARGS__)->Unit(benchmark::kMillisecond)->MinTime(1.0)
ORV_DECODER_BENCH(PluginToBgr, Avc1080p, "libx264", Convert::Ours);
ORV_DECODER_BENCH(AvcodecSwscale, Avc1080p, "libx264", true);
ORV_DECODER_BENCH(PluginToBgr, Mpeg4_1080p, "mpeg4", Convert::Ours);
ORV_DECODER_BENCH(AvcodecSwscale, Mpeg4_1080p, "mpeg4", true);
// The parts: decoding alone, the plug-in's YUYV output, and BGR through libyuv.
ORV_DECODER_BENCH(AvcodecSwscale, Avc1080pDecodeOnly, "libx264", false);
ORV_DECODER_BENCH(PluginToBgr, Avc1080pYuyvOnly, "libx264", Convert::None);
ORV_DECODER_BENCH(PluginToBgr, Avc1080pLibyuvBgr, "libx264", Convert::Libyuv);
ORV_DECODER_BENCH(AvcodecSwscale, Mpeg4_1080pDecodeOnly, "mpeg4", false);
ORV_DECODER_BENCH(PluginToBgr, Mpeg4_1080pYuyvOnly, "mpeg4", Convert::None);
ORV_DECODER_BENCH(PluginToBgr, Mpeg4_1080pLibyuvBgr, "mpeg4", Convert::Libyuv);

}  // namespace

BENCHMARK_MAIN();
