// Compressed camera streams: a group of frames encoded with libavcodec (MPEG-4
// visual, ISO 14496-2, or H.264) and wrapped in the block layouts the client reads. Every
// block starts with a key frame and its parameter sets, so it decodes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv_sim {

enum class VideoCodec { Mpeg4, H264 };
enum class BlockLayout { Table, Chain };

inline constexpr int32_t kTableBlockMagic = 0x386452;
inline constexpr int32_t kChainBlockMagic = 0x386453;
inline constexpr size_t kTableBlockHeaderSize = 28;
inline constexpr size_t kChainRecordHeaderSize = 24;
inline constexpr int kMaxBFrames = 4;

// One encoded frame: its bitstream (starting with a start code) and time.
struct EncodedFrame {
    std::vector<uint8_t> data;
    int64_t timeMs = 0;
};

// True when an H.264 encoder is present in the linked libavcodec.
bool H264EncoderAvailable();

// Encodes the synthetic pictures of `cameraIndex` at the given frame times
// (4:2:0) with a fresh encoder, so the first frame is a key frame. Width and
// height must be even. H.264 frames always begin with 00 00 00 01. Returns an
// empty list when the encoder is missing or fails.
//
// bFrames > 0 switches B-frames on (at most that many between reference
// pictures, in a fixed pattern): MPEG-4 Advanced Simple, or H.264 High with
// CABAC. Frames then come in stream order while the client pairs a block's time
// stamps with pictures in the order the decoder hands them out (display order),
// so frame i carries the i-th time of the display order.
std::vector<EncodedFrame> EncodeFrames(VideoCodec codec, int cameraIndex, int width, int height, int fps,
                                       const std::vector<int64_t>& frameTimesMs, int bFrames = 0);

// Wraps frames into one block. TableBlock: 28-byte header, the frame times as
// OLE dates, then all bitstreams back to back. ChainBlock: one 24-byte record
// header (with its OLE time) per frame, each followed by that frame's bitstream.
std::vector<uint8_t> BuildTableBlock(const std::vector<EncodedFrame>& frames);
std::vector<uint8_t> BuildChainBlock(const std::vector<EncodedFrame>& frames);

}  // namespace orv_sim
