#include "TestStreams.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace dectest {

SourcePicture MakePicture(int width, int height, int index) {
    SourcePicture p;
    p.width = width;
    p.height = height;
    p.y.resize(static_cast<size_t>(width) * height);
    p.u.resize(static_cast<size_t>(width / 2) * (height / 2));
    p.v.resize(p.u.size());
    const int squareX = 8 + 6 * index;
    const int squareY = 16 + 2 * index;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const bool inSquare = col >= squareX && col < squareX + 24 && row >= squareY && row < squareY + 24;
            p.y[row * width + col] = static_cast<uint8_t>(inSquare ? 230 : 40 + (col + row) * 120 / (width + height));
        }
    }
    for (int row = 0; row < height / 2; ++row) {
        for (int col = 0; col < width / 2; ++col) {
            p.u[row * (width / 2) + col] = static_cast<uint8_t>(90 + col * 80 / width);
            p.v[row * (width / 2) + col] = static_cast<uint8_t>(170 - row * 80 / height);
        }
    }
    return p;
}

bool EncoderAvailable(const std::string& name) { return avcodec_find_encoder_by_name(name.c_str()) != nullptr; }

namespace {

void Drain(AVCodecContext* context, AVPacket* packet, EncodedStream& out) {
    while (avcodec_receive_packet(context, packet) == 0) {
        out.packets.emplace_back(packet->data, packet->data + packet->size);
        out.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        av_packet_unref(packet);
    }
}

}  // namespace

EncodedStream Encode(const EncodeSettings& s) {
    av_log_set_level(AV_LOG_QUIET);  // encoder statistics and decoder complaints are noise here
    EncodedStream out;
    const AVCodec* codec = avcodec_find_encoder_by_name(s.encoder.c_str());
    if (codec == nullptr) return out;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    context->width = s.width;
    context->height = s.height;
    context->time_base = AVRational{1, 25};
    context->framerate = AVRational{25, 1};
    context->pix_fmt = s.grey ? AV_PIX_FMT_GRAY8 : s.fullRange ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    context->color_range = s.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    context->gop_size = s.gop;
    context->max_b_frames = s.bFrames;
    context->thread_count = 1;
    if (s.encoder == "mpeg4") {
        // Closed GOPs, so that a block starting at a key frame is self-contained.
        // (the encoder wants scene-change detection off for that).
        context->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_CLOSED_GOP;
        av_opt_set_int(context->priv_data, "sc_threshold", 1000000000, 0);
        context->global_quality = FF_QP2LAMBDA * 2;
    } else {
        av_opt_set(context->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context->priv_data, "crf", "16", 0);
        // Scene-cut key frames would make the GOP layout depend on the content.
        av_opt_set(context->priv_data, "x264-params", "scenecut=0:min-keyint=1", 0);
    }
    if (avcodec_open2(context, codec, nullptr) == 0) {
        frame->format = context->pix_fmt;
        frame->width = s.width;
        frame->height = s.height;
        av_frame_get_buffer(frame, 0);
        for (int i = 0; i < s.frames; ++i) {
            SourcePicture p = MakePicture(s.width, s.height, i);
            av_frame_make_writable(frame);
            for (int row = 0; row < s.height; ++row)
                std::copy_n(&p.y[row * s.width], s.width, frame->data[0] + row * frame->linesize[0]);
            if (!s.grey) {
                for (int row = 0; row < s.height / 2; ++row) {
                    std::copy_n(&p.u[row * (s.width / 2)], s.width / 2, frame->data[1] + row * frame->linesize[1]);
                    std::copy_n(&p.v[row * (s.width / 2)], s.width / 2, frame->data[2] + row * frame->linesize[2]);
                }
            } else {
                p.u.clear();
                p.v.clear();
            }
            frame->pts = i;
            if (avcodec_send_frame(context, frame) != 0) break;
            Drain(context, packet, out);
            out.pictures.push_back(std::move(p));
        }
        avcodec_send_frame(context, nullptr);
        Drain(context, packet, out);
        out.ok = out.packets.size() == static_cast<size_t>(s.frames);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return out;
}

std::vector<size_t> BlockStarts(const EncodedStream& stream, bool atKeyFrames, size_t every) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < stream.packets.size(); ++i)
        if (atKeyFrames ? stream.keyFrames[i] : i % every == 0) starts.push_back(i);
    starts.push_back(stream.packets.size());
    return starts;
}

std::vector<uint8_t> Block(const EncodedStream& stream, size_t first, size_t count) {
    std::vector<uint8_t> block;
    for (size_t i = first; i < first + count && i < stream.packets.size(); ++i)
        block.insert(block.end(), stream.packets[i].begin(), stream.packets[i].end());
    return block;
}

namespace {

double FullLuma(int y) { return std::clamp((y - 16) * 255.0 / 219.0, 0.0, 255.0); }
double FullChroma(int c) { return std::clamp((c - 128) * 255.0 / 224.0 + 128.0, 0.0, 255.0); }

}  // namespace

double Psnr(const SourcePicture& source, const std::vector<uint8_t>& decoded, bool grey) {
    double sum = 0;
    size_t count = 0;
    const int w = source.width;
    for (int row = 0; row < source.height; ++row) {
        for (int col = 0; col < w; ++col) {
            const size_t pixel = static_cast<size_t>(row) * w + col;
            const int y = grey ? decoded[pixel] : decoded[pixel * 2];
            const double dy = y - FullLuma(source.y[pixel]);
            sum += dy * dy;
            ++count;
            if (grey || source.u.empty()) continue;
            // Each pixel's chroma byte: U on even columns, V on odd ones.
            const size_t c = static_cast<size_t>(row / 2) * (w / 2) + col / 2;
            const double expected = FullChroma((col % 2 == 0) ? source.u[c] : source.v[c]);
            const double dc = decoded[pixel * 2 + 1] - expected;
            sum += dc * dc;
            ++count;
        }
    }
    if (count == 0) return 0;
    const double mse = sum / static_cast<double>(count);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace dectest
