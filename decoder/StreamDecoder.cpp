#include "StreamDecoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "video/DecoderAbi.h"

namespace vevid {
namespace {

// Largest picture accepted from a stream (8K); a hostile header cannot make us
// or the caller allocate beyond this.
constexpr int64_t kMaxPixels = 7680LL * 4320LL;

bool IsPlanar8(int format, int& chromaShiftY) {
    switch (format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P:
            chromaShiftY = 1;
            return true;
        case AV_PIX_FMT_YUV422P:
        case AV_PIX_FMT_YUVJ422P:
            chromaShiftY = 0;
            return true;
        default:
            return false;
    }
}

// Formats whose first plane is 8-bit luma at full resolution.
bool HasLumaPlane8(int format) {
    int shift = 0;
    return IsPlanar8(format, shift) || format == AV_PIX_FMT_GRAY8 || format == AV_PIX_FMT_YUV444P ||
           format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUV440P || format == AV_PIX_FMT_YUV411P;
}

// Streams say so when their samples use the whole 0..255 range (yuvj formats,
// or the full-range flag of the video parameters); anything else, unspecified
// included, is video range, as H.264 and MPEG-4 define it.
pixel::SampleRange RangeOf(const AVFrame* frame) {
    switch (frame->format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return pixel::SampleRange::Full;
        default:
            return frame->color_range == AVCOL_RANGE_JPEG ? pixel::SampleRange::Full : pixel::SampleRange::Limited;
    }
}

}  // namespace

std::unique_ptr<StreamDecoder> StreamDecoder::Create(int32_t codecValue) {
    int codecId = AV_CODEC_ID_NONE;
    StreamKind kind = StreamKind::Mpeg4;
    if (codecValue == decoder_abi::kCodecMpeg4) {
        codecId = AV_CODEC_ID_MPEG4;
    } else if (codecValue == decoder_abi::kCodecAvc) {
        codecId = AV_CODEC_ID_H264;
        kind = StreamKind::Avc;
    } else {
        return nullptr;
    }
    std::unique_ptr<StreamDecoder> decoder(new StreamDecoder(codecValue, kind));
    if (!decoder->Open(codecId)) return nullptr;
    return decoder;
}

StreamDecoder::StreamDecoder(int32_t codecValue, StreamKind kind) : codecValue_(codecValue), kind_(kind) {}

StreamDecoder::~StreamDecoder() {
    sws_freeContext(scaler_);
    av_buffer_unref(&chunk_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

bool StreamDecoder::Open(int codecId) {
    codecId_ = codecId;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    return frame_ != nullptr && packet_ != nullptr && OpenContext();
}

bool StreamDecoder::OpenContext() {
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codecId_));
    if (codec == nullptr) return false;
    context_ = avcodec_alloc_context3(codec);
    if (context_ == nullptr) return false;
    // One thread per handle: the library decodes many streams in parallel on
    // its own pool, and frame threading would hold pictures back by a frame per
    // thread, which every end of block would have to drain.
    context_->thread_count = 1;
    context_->max_pixels = kMaxPixels;
    return avcodec_open2(context_, codec, nullptr) == 0;
}

bool StreamDecoder::Reopen() {
    avcodec_free_context(&context_);
    av_frame_unref(frame_);
    if (!OpenContext()) return false;
    Restart();
    return true;
}

bool StreamDecoder::RetryOnFreshContext() {
    if (!endOfBlock_ || blockPictures_ != 0 || nextPacket_ == 0 || retried_) return false;
    retried_ = true;
    if (!Reopen()) return false;
    nextPacket_ = 0;
    return true;
}

void StreamDecoder::Restart() {
    avcodec_flush_buffers(context_);
    av_frame_unref(frame_);
    pending_ = false;
    draining_ = false;
    picturesSent_ = 0;
    picturesOut_ = 0;
}

bool StreamDecoder::StoreChunk(const uint8_t* data, size_t length) {
    const size_t needed = length + AV_INPUT_BUFFER_PADDING_SIZE;
    // The decoder may still hold a reference to the previous chunk (a picture
    // it keeps for reordering points into it); only then a fresh buffer is taken.
    const bool reusable = chunk_ != nullptr && av_buffer_is_writable(chunk_) && chunk_->size >= needed;
    if (!reusable) {
        size_t capacity = needed;
        if (chunk_ != nullptr) capacity = std::max(needed, chunk_->size + chunk_->size / 2);
        av_buffer_unref(&chunk_);
        chunk_ = av_buffer_alloc(capacity);
        if (chunk_ == nullptr) return false;
        ++chunkAllocations_;
    }
    std::memcpy(chunk_->data, data, length);
    std::memset(chunk_->data + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    return true;
}

int32_t StreamDecoder::SetBytes(const uint8_t* data, int32_t length, bool reset, bool endOfBlock) {
    if (data == nullptr || length <= 0) return kBadArgument;
    av_frame_unref(frame_);
    pending_ = false;
    // A drain in progress must be finished off before new data is accepted.
    if (reset || draining_) Restart();
    blockPictures_ = 0;
    retried_ = false;
    packets_.clear();
    nextPacket_ = 0;
    endOfBlock_ = endOfBlock;

    if (!StoreChunk(data, static_cast<size_t>(length))) return kOutOfMemory;
    const size_t size = static_cast<size_t>(length);
    if (!splitPictures_) {
        packets_.push_back({0, size, true});
    } else if (SplitPictures(kind_, chunk_->data, size, packets_) == 0) {
        return kNoStartCode;
    }
    // libavcodec hands out 4:0:0 AVC as 4:2:0 with flat chroma; we deliver it as grey.
    if (kind_ == StreamKind::Avc) {
        const int chromaFormat = AvcChromaFormat(chunk_->data, size);
        if (chromaFormat >= 0) monochrome_ = chromaFormat == 0;
    }
    return kOk;
}

void StreamDecoder::SendPacket(const PacketSpan& span) {
    // The packet borrows the chunk's buffer: libavcodec takes its own reference
    // instead of copying the data.
    packet_->buf = chunk_;
    packet_->data = chunk_->data + span.offset;
    packet_->size = static_cast<int>(span.size);
    const int result = avcodec_send_packet(context_, packet_);
    packet_->buf = nullptr;
    packet_->data = nullptr;
    packet_->size = 0;
    if (result == 0 && span.picture) ++picturesSent_;
}

bool StreamDecoder::NextPicture() {
    if (pending_) return true;
    // Every turn takes a picture, feeds one packet, or ends; decode errors only
    // skip the damaged picture. The bound guards against a decoder that keeps
    // answering errors.
    const size_t maxTurns = 4 * packets_.size() + 128;  // a retry feeds the packets once more
    for (size_t turn = 0; turn < maxTurns; ++turn) {
        const int result = avcodec_receive_frame(context_, frame_);
        if (result == 0) {
            ++picturesOut_;
            ++blockPictures_;
            const int64_t pixels = static_cast<int64_t>(frame_->width) * frame_->height;
            if (frame_->width <= 0 || frame_->height <= 0 || pixels > kMaxPixels) {
                av_frame_unref(frame_);
                continue;
            }
            pending_ = true;
            return true;
        }
        if (result == AVERROR_EOF) {
            // Drained: every held picture is out; ready for an independent chunk.
            Restart();
            if (RetryOnFreshContext()) continue;
            return false;
        }
        if (result != AVERROR(EAGAIN)) continue;
        if (draining_) return false;
        if (nextPacket_ < packets_.size()) {
            SendPacket(packets_[nextPacket_++]);
            continue;
        }
        // All packets are in. At the end of a block, pictures still held for
        // reordering are pushed out; a low-delay stream has none and keeps its
        // references, so the next block may continue it.
        if (endOfBlock_ && picturesSent_ > picturesOut_) {
            avcodec_send_packet(context_, nullptr);
            draining_ = true;
            continue;
        }
        if (RetryOnFreshContext()) continue;
        return false;
    }
    return false;
}

bool StreamDecoder::GreyOutput() const {
    return greyParam_ || monochrome_ || frame_->format == AV_PIX_FMT_GRAY8;
}

size_t StreamDecoder::OutputBytes() const {
    return static_cast<size_t>(frame_->width) * static_cast<size_t>(frame_->height) * (GreyOutput() ? 1 : 2);
}

int32_t StreamDecoder::FrameInfo(int32_t& width, int32_t& height, int32_t& pixelFormat) {
    width = height = pixelFormat = 0;
    if (!NextPicture()) return kNoPicture;
    width = frame_->width;
    height = frame_->height;
    pixelFormat = GreyOutput() ? decoder_abi::kPixelGrey : decoder_abi::kPixelYuyv;
    return kOk;
}

int32_t StreamDecoder::Frame(uint8_t* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0) return kBadArgument;
    if (!NextPicture()) return kNoPicture;
    if (static_cast<size_t>(size) < OutputBytes()) return kBufferTooSmall;
    if (!Write(buffer)) return kDecoderFailure;
    av_frame_unref(frame_);
    pending_ = false;
    return kOk;
}

bool StreamDecoder::Write(uint8_t* out) {
    const int width = frame_->width;
    const int height = frame_->height;
    const int format = frame_->format;
    const bool grey = GreyOutput();
    // We hand out full-range samples whatever the stream carries: the library
    // converts YUYV and grey with one set of (full-range) formulas for every source.
    const pixel::SampleRange range = RangeOf(frame_);
    if (grey && HasLumaPlane8(format)) {
        pixel::PackGrey(frame_->data[0], frame_->linesize[0], width, height, range, out);
        return true;
    }
    int chromaShiftY = 0;
    if (!grey && IsPlanar8(format, chromaShiftY)) {
        const pixel::Planes planes{frame_->data[0],     frame_->data[1],     frame_->data[2],
                                   frame_->linesize[0], frame_->linesize[1], frame_->linesize[2],
                                   width, height, 1, chromaShiftY};
        pixel::PackYuyv(planes, range, out);
        return true;
    }
    // Anything else (high bit depth, 4:4:4 to colour, ...) goes through libswscale,
    // which expands the range on the way.
    const AVPixelFormat target = grey ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_YUYV422;
    if (!PrepareScaler(width, height, format, target, range)) return false;
    uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
    int strides[4] = {width * (grey ? 1 : 2), 0, 0, 0};
    return sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides) == height;
}

bool StreamDecoder::PrepareScaler(int width, int height, int format, int target, pixel::SampleRange range) {
    const ScalerKey key{width, height, format, target, range == pixel::SampleRange::Full};
    if (scaler_ != nullptr && key == scalerKey_) return true;
    // The ranges are options of the context, set before it is initialised: told
    // afterwards, libswscale keeps a plain repacking path that ignores them.
    sws_freeContext(scaler_);
    scaler_ = sws_alloc_context();
    if (scaler_ == nullptr) return false;
    const std::pair<const char*, int64_t> options[] = {
        {"srcw", width},      {"srch", height},       {"src_format", format},
        {"dstw", width},      {"dsth", height},       {"dst_format", target},
        {"sws_flags", SWS_POINT}, {"src_range", key.fullRange ? 1 : 0}, {"dst_range", 1}};
    for (const auto& [name, value] : options) av_opt_set_int(scaler_, name, value, 0);
    if (sws_init_context(scaler_, nullptr, nullptr) < 0) {
        sws_freeContext(scaler_);
        scaler_ = nullptr;
        return false;
    }
    scalerKey_ = key;
    return true;
}

int32_t StreamDecoder::SetParam(int32_t param, int32_t value) {
    if (param != decoder_abi::kParamGreyOutput) return kBadArgument;
    // A picture already described keeps the layout it was described with.
    if (pending_) return kBadArgument;
    greyParam_ = value != 0;
    return kOk;
}

}  // namespace vevid
