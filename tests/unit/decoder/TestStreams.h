// Synthetic pictures encoded with libavcodec, for feeding the decoder plug-in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dectest {

// One planar 4:2:0 picture (grey streams leave u and v empty).
struct SourcePicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y, u, v;
};

// Smooth gradients and a bright square that moves with the index, so pictures
// compress well and neighbours are easy to tell apart.
SourcePicture MakePicture(int width, int height, int index);

struct EncodeSettings {
    std::string encoder = "mpeg4";  // "mpeg4" or "libx264"
    int width = 176;
    int height = 144;
    int frames = 10;
    int gop = 10;       // key-frame interval
    int bFrames = 0;
    bool grey = false;       // libx264 only: 4:0:0 stream
    bool fullRange = false;  // libx264 only: full-range samples, flagged in the stream
};

struct EncodedStream {
    std::vector<SourcePicture> pictures;       // in display order
    std::vector<std::vector<uint8_t>> packets;  // one per picture, in stream order
    std::vector<bool> keyFrames;                 // per packet
    bool ok = false;
};

EncodedStream Encode(const EncodeSettings& settings);
bool EncoderAvailable(const std::string& name);

// Where blocks begin: at every key frame when `atKeyFrames`, else every `every`
// packets. The last entry is the packet count.
std::vector<size_t> BlockStarts(const EncodedStream& stream, bool atKeyFrames, size_t every);

// Packets [first, first + count) back to back: one block.
std::vector<uint8_t> Block(const EncodedStream& stream, size_t first, size_t count);

// PSNR of a decoded picture (YUYV, or grey when grey is set) against a source,
// over luma and (for YUYV) chroma. 99 for identical pictures. The sources are
// encoded as video-range samples and the plug-in hands out full range, so the
// source is expanded to full range first.
double Psnr(const SourcePicture& source, const std::vector<uint8_t>& decoded, bool grey);

}  // namespace dectest
