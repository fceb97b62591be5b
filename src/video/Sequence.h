// Compressed video blocks from the recording servers and the key of a decoding
// stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Bytes.h"

namespace processing {

// Identifies a decoding stream:
//   bits 28..31  0 for live, archive channel + 1 for archive
//   bits 16..27  (server number << 4) | (stream selector or stream bit)
//   bits  0..15  camera index
using SequenceKey = int32_t;

constexpr SequenceKey LiveSequenceKey(int32_t server, int32_t selector, int32_t cameraIndex) {
    const uint32_t stream = ((static_cast<uint32_t>(server) << 4) | (static_cast<uint32_t>(selector) & 0xFu));
    return static_cast<SequenceKey>((stream << 16) | (static_cast<uint32_t>(cameraIndex) & 0xFFFFu));
}

constexpr SequenceKey ArchiveSequenceKey(int32_t channel, int32_t server, int32_t streamBit, int32_t cameraIndex) {
    const uint32_t stream = ((static_cast<uint32_t>(server) << 4) | (static_cast<uint32_t>(streamBit) & 0xFu)) & 0xFFFu;
    return static_cast<SequenceKey>((static_cast<uint32_t>(channel + 1) << 28) | (stream << 16) |
                                    (static_cast<uint32_t>(cameraIndex) & 0xFFFFu));
}

// The archive channel of an archive key.
constexpr int32_t ArchiveKeyChannel(SequenceKey key) { return static_cast<int32_t>(static_cast<uint32_t>(key) >> 28) - 1; }

// The server number of an archive key (as far as the key keeps it: the low 8 bits).
constexpr int32_t ArchiveKeyServer(SequenceKey key) {
    return static_cast<int32_t>((static_cast<uint32_t>(key) >> 20) & 0xFFu);
}

// Most significant byte of a key; non-zero for archive keys and for live keys of
// server numbers 16 and above.
constexpr uint32_t KeyHighByte(SequenceKey key) { return static_cast<uint32_t>(key) >> 24; }

// Block layouts.
inline constexpr int32_t kTableBlockMagic = 0x386452;
inline constexpr int32_t kChainBlockMagic = 0x386453;
inline constexpr size_t kBlockHeaderSize = 24;   // every block and every chain record header
inline constexpr size_t kTableTimesOffset = 28;  // first time stamp of a TableBlock

// Stream kinds, told apart by the first start code of a payload.
inline constexpr int32_t kKindNone = 0;
inline constexpr int32_t kKindMpeg4 = 1;  // 00 00 01
inline constexpr int32_t kKindAvc = 2;    // 00 00 00 01

// One compressed block, parsed. Pooled and reused: every parse resets it but keeps
// its buffers, so a reused sequence does not allocate for blocks that fit.
struct Sequence {
    int32_t consumed = 0;   // frames handed on when decoding forward
    int32_t next = 0;       // index of the time stamp the next decoded picture gets
    int32_t kind = kKindNone;
    int32_t frameRate = 0;  // frames per second of a TableBlock, rounded
    double duration = 0.0;  // span of a TableBlock in days, extended by one frame interval
    uint8_t spare = 0;
    uint8_t timed = 1;      // 1 for a TableBlock
    uint8_t extraFlag = 0;  // handed to the decoder with the payload
    uint8_t fed = 0;        // the payload was given to the decoder
    int32_t reserved1 = 0;
    std::vector<double> times;     // one per frame, in block order
    platform::Bytes payload;  // stream data, when parsed with copying
    std::vector<std::array<uint8_t, 12>> entries;
    int32_t reserved2 = 0;
    const uint8_t* payloadPointer = nullptr;  // stream data inside the caller's buffer
    int32_t payloadLength = 0;                //   when parsed without copying

    int32_t FrameCount() const { return static_cast<int32_t>(times.size()); }
    bool Finished() const { return consumed >= FrameCount(); }
    // The stream data, wherever the parse left it.
    const uint8_t* PayloadData() const { return payload.empty() ? payloadPointer : payload.data(); }
    int32_t PayloadSize() const { return payload.empty() ? payloadLength : static_cast<int32_t>(payload.size()); }

    void Reset();
};

// Kind of a payload from its first bytes: kKindMpeg4, kKindAvc or kKindNone.
int32_t PayloadKind(const uint8_t* data, size_t length);

// Parses a TableBlock or ChainBlock into `sequence`. With `copy` the stream data
// is copied into the sequence; without, the sequence points into `data`, which
// must then outlive its use. Every length inside the block is checked against the
// block's size; a block that claims more than it holds is refused.
bool ParseBlock(const uint8_t* data, size_t length, Sequence* sequence, bool copy);

}  // namespace processing
