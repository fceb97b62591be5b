// One decoder handle of the plug-in: an elementary stream decoded with libavcodec.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "AccessUnits.h"
#include "pixel/PlanarPacking.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace vevid {

// Results of the plug-in's calls.
enum Status : int32_t {
    kOk = 0,
    kNoPicture = 1,        // nothing (more) to deliver from the data given so far
    kBadHandle = -1,
    kBadArgument = -2,
    kNoStartCode = -3,     // the chunk holds no start code of the stream
    kBufferTooSmall = -4,
    kDecoderFailure = -5,
    kOutOfMemory = -6,
};

class StreamDecoder {
public:
    // codecValue: 400 MPEG-4 Part 2, 100 AVC. Null for other values or when
    // libavcodec cannot open the decoder.
    static std::unique_ptr<StreamDecoder> Create(int32_t codecValue);
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Calls on one decoder are serialised by its owner through this mutex.
    std::mutex& Mutex() { return mutex_; }
    int32_t CodecValue() const { return codecValue_; }

    // Takes a chunk of the stream. Pictures of the previous chunk that were not
    // fetched are dropped. reset: forget every reference picture first (the chunk
    // starts an independent segment). endOfBlock: the chunk completes a block;
    // once its packets are decoded, pictures the decoder still holds back for
    // reordering are delivered too, and the next chunk starts afresh.
    int32_t SetBytes(const uint8_t* data, int32_t length, bool reset, bool endOfBlock);
    // Decodes up to the next picture and describes it; the same picture is
    // described until Frame() has written it.
    int32_t FrameInfo(int32_t& width, int32_t& height, int32_t& pixelFormat);
    int32_t Frame(uint8_t* buffer, int32_t size);

    int32_t SetParam(int32_t param, int32_t value);
    // true (default): chunks are split into pictures at start codes;
    // false: every chunk is exactly one picture.
    void SetSplitPictures(bool split) { splitPictures_ = split; }
    // How often the chunk buffer had to be allocated (it should settle after the first blocks).
    int64_t ChunkAllocations() const { return chunkAllocations_; }

private:
    StreamDecoder(int32_t codecValue, StreamKind kind);
    bool Open(int codecId);
    bool OpenContext();
    // A fresh codec context: forgets stream headers a flush would keep.
    bool Reopen();
    // At the end of a block that gave no picture at all: damaged data before it
    // may have left stream headers behind that spoil it, so it is decoded once
    // more on a fresh context.  True when that retry has begun.
    bool RetryOnFreshContext();
    bool StoreChunk(const uint8_t* data, size_t length);
    bool NextPicture();
    void SendPacket(const PacketSpan& span);
    void Restart();
    bool GreyOutput() const;
    size_t OutputBytes() const;
    bool Write(uint8_t* out);
    bool PrepareScaler(int width, int height, int format, int target, pixel::SampleRange range);

    struct ScalerKey {
        int width = 0, height = 0, format = -1, target = -1;
        bool fullRange = false;
        bool operator==(const ScalerKey&) const = default;
    };

    std::mutex mutex_;
    const int32_t codecValue_;
    const StreamKind kind_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVBufferRef* chunk_ = nullptr;  // padded copy of the current chunk, reused
    SwsContext* scaler_ = nullptr;  // only for uncommon pixel formats
    ScalerKey scalerKey_;            // what scaler_ was set up for

    std::vector<PacketSpan> packets_;
    size_t nextPacket_ = 0;
    int64_t picturesSent_ = 0;  // since the last restart
    int64_t picturesOut_ = 0;
    int64_t blockPictures_ = 0;  // pictures out since the last SetBytes
    int codecId_ = 0;
    bool retried_ = false;       // this block was decoded again on a fresh context
    int64_t chunkAllocations_ = 0;
    bool pending_ = false;      // frame_ holds a picture not yet written
    bool endOfBlock_ = false;
    bool draining_ = false;
    bool greyParam_ = false;
    bool monochrome_ = false;  // the stream itself has no chroma (AVC 4:0:0)
    bool splitPictures_ = true;
};

}  // namespace vevid
