#include "sim/VideoBlocks.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

#include "protocol/Wire.h"
#include "sim/Picture.h"

namespace orv_sim {
namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

const AVCodec* FindEncoder(VideoCodec codec) {
    if (codec == VideoCodec::Mpeg4) return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    return x264 != nullptr ? x264 : avcodec_find_encoder(AV_CODEC_ID_H264);
}

CodecContextPtr OpenEncoder(VideoCodec codec, int width, int height, int fps, int gop, int bFrames) {
    // Encoder statistics on stderr would drown the simulator's own output.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)quiet;
    const AVCodec* encoder = FindEncoder(codec);
    if (encoder == nullptr) return nullptr;
    CodecContextPtr ctx(avcodec_alloc_context3(encoder));
    if (!ctx) return nullptr;
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 1000};
    ctx->framerate = AVRational{fps, 1};
    ctx->gop_size = gop;
    ctx->max_b_frames = bFrames;
    ctx->thread_count = 1;  // deterministic output and no stolen cores
    if (codec == VideoCodec::Mpeg4) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 4;
    } else if (bFrames == 0) {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "crf", "26", 0);
    } else {
        // High profile with CABAC; a fixed B-frame pattern keeps blocks alike.
        av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
        av_opt_set(ctx->priv_data, "profile", "high", 0);
        av_opt_set(ctx->priv_data, "crf", "26", 0);
        av_opt_set(ctx->priv_data, "x264-params", "cabac=1:b-adapt=0:scenecut=0", 0);
    }
    if (avcodec_open2(ctx.get(), encoder, nullptr) < 0) return nullptr;
    return ctx;
}

// Cameras send video-range YUV (luma 16..235, chroma 16..240), and decoders
// expand it back to full range; our pictures are full range, so each plane is
// narrowed on its way into the encoder.
enum class PlaneKind { Luma, Chroma };

uint8_t Narrowed(uint8_t value, PlaneKind kind) {
    if (kind == PlaneKind::Luma) return static_cast<uint8_t>(16 + (value * 219 + 127) / 255);
    const int d = value - 128;
    return static_cast<uint8_t>(128 + (d * 224 + (d >= 0 ? 127 : -127)) / 255);
}

void CopyPlane(const std::vector<uint8_t>& src, int width, int height, uint8_t* dst, int dstStride,
               PlaneKind kind) {
    for (int row = 0; row < height; ++row) {
        const uint8_t* in = &src[static_cast<size_t>(row) * width];
        uint8_t* out = dst + static_cast<ptrdiff_t>(row) * dstStride;
        for (int x = 0; x < width; ++x) out[x] = Narrowed(in[x], kind);
    }
}

// Each H.264 frame must open with the four-byte start code: the client tells
// the stream kind from the first start code of a block (and of each record).
void NormaliseStartCode(VideoCodec codec, std::vector<uint8_t>& data) {
    if (codec != VideoCodec::H264 || data.size() < 3) return;
    if (data[0] == 0 && data[1] == 0 && data[2] == 1) data.insert(data.begin(), uint8_t{0});
}

bool Drain(AVCodecContext* ctx, AVPacket* packet, VideoCodec codec, std::vector<EncodedFrame>& out) {
    for (;;) {
        const int rc = avcodec_receive_packet(ctx, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return false;
        EncodedFrame frame;
        frame.data.assign(packet->data, packet->data + packet->size);
        frame.timeMs = packet->pts;
        NormaliseStartCode(codec, frame.data);
        out.push_back(std::move(frame));
        av_packet_unref(packet);
    }
}

}  // namespace

bool H264EncoderAvailable() {
    return FindEncoder(VideoCodec::H264) != nullptr;
}

std::vector<EncodedFrame> EncodeFrames(VideoCodec codec, int cameraIndex, int width, int height, int fps,
                                       const std::vector<int64_t>& frameTimesMs, int bFrames) {
    if (frameTimesMs.empty() || width < 16 || height < 16 || width % 2 != 0 || height % 2 != 0) return {};
    if (bFrames < 0 || bFrames > kMaxBFrames) return {};
    CodecContextPtr ctx =
        OpenEncoder(codec, width, height, fps, static_cast<int>(frameTimesMs.size()) + 1, bFrames);
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!ctx || !frame || !packet) return {};
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return {};

    std::vector<EncodedFrame> out;
    PlanarPicture picture;
    ShapePicture(picture, width, height, Subsampling::S420);
    for (size_t i = 0; i < frameTimesMs.size(); ++i) {
        if (av_frame_make_writable(frame.get()) < 0) return {};
        RenderPicture(cameraIndex, frameTimesMs[i], picture);
        CopyPlane(picture.y, width, height, frame->data[0], frame->linesize[0], PlaneKind::Luma);
        CopyPlane(picture.u, picture.chromaWidth, picture.chromaHeight, frame->data[1], frame->linesize[1],
                  PlaneKind::Chroma);
        CopyPlane(picture.v, picture.chromaWidth, picture.chromaHeight, frame->data[2], frame->linesize[2],
                  PlaneKind::Chroma);
        frame->pts = frameTimesMs[i];
        frame->pict_type = i == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0) return {};
        if (!Drain(ctx.get(), packet.get(), codec, out)) return {};
    }
    if (avcodec_send_frame(ctx.get(), nullptr) < 0) return {};
    if (!Drain(ctx.get(), packet.get(), codec, out)) return {};
    if (out.size() != frameTimesMs.size()) return {};
    std::vector<int64_t> displayOrder = frameTimesMs;
    std::sort(displayOrder.begin(), displayOrder.end());
    for (size_t i = 0; i < out.size(); ++i) out[i].timeMs = displayOrder[i];
    return out;
}

std::vector<uint8_t> BuildTableBlock(const std::vector<EncodedFrame>& frames) {
    size_t payload = 0;
    for (const EncodedFrame& f : frames) payload += f.data.size();
    const size_t timesSize = 8 * frames.size();
    std::vector<uint8_t> block(kTableBlockHeaderSize + timesSize + payload, 0);
    orv_stuff::PutI32(&block[0], kTableBlockMagic);
    orv_stuff::PutI32(&block[8], static_cast<int32_t>(payload));
    orv_stuff::PutI32(&block[20], static_cast<int32_t>(frames.size()));
    size_t pos = kTableBlockHeaderSize;
    for (const EncodedFrame& f : frames) {
        orv_stuff::PutF64(&block[pos], orv_stuff::OleFromUnixMs(f.timeMs));
        pos += 8;
    }
    for (const EncodedFrame& f : frames) {
        std::memcpy(&block[pos], f.data.data(), f.data.size());
        pos += f.data.size();
    }
    return block;
}

std::vector<uint8_t> BuildChainBlock(const std::vector<EncodedFrame>& frames) {
    size_t total = 0;
    for (const EncodedFrame& f : frames) total += kChainRecordHeaderSize + f.data.size();
    std::vector<uint8_t> block(total, 0);
    size_t pos = 0;
    for (const EncodedFrame& f : frames) {
        orv_stuff::PutI32(&block[pos], kChainBlockMagic);
        orv_stuff::PutF64(&block[pos + 8], orv_stuff::OleFromUnixMs(f.timeMs));
        orv_stuff::PutI32(&block[pos + 16], static_cast<int32_t>(f.data.size()));
        std::memcpy(&block[pos + kChainRecordHeaderSize], f.data.data(), f.data.size());
        pos += kChainRecordHeaderSize + f.data.size();
    }
    return block;
}

}  // namespace orv_sim
