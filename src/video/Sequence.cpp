#include "video/Sequence.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/OleTime.h"

namespace processing {
namespace {

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int32_t ReadI32(const uint8_t* p) { return static_cast<int32_t>(ReadU32(p)); }

double ReadF64(const uint8_t* p) {
    const uint64_t bits = static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
    double value = 0.0;
    static_assert(sizeof(value) == sizeof(bits));
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

// Offsets inside a TableBlock.
constexpr size_t kTablePayloadLength = 8;
constexpr size_t kTableTimeCount = 20;
// Offsets inside a chain record.
constexpr size_t kChainTime = 8;
constexpr size_t kChainPayloadLength = 16;

constexpr double kMaxFrameRate = 1'000'000.0;

bool ParseTableBlock(const uint8_t* data, size_t length, Sequence& s, bool copy) {
    if (length < kTableTimesOffset) {
        return false;
    }
    const int32_t count = ReadI32(data + kTableTimeCount);
    const int32_t payloadLength = ReadI32(data + kTablePayloadLength);
    if (count < 0 || payloadLength < 4) {
        return false;
    }
    const size_t timesEnd = kTableTimesOffset + 8 * static_cast<size_t>(count);
    // Both lengths come from the server: neither the time table nor the payload
    // may reach past the bytes we actually hold.
    if (length < timesEnd || length - timesEnd < static_cast<size_t>(payloadLength)) {
        return false;
    }
    const uint8_t* payload = data + timesEnd;
    s.kind = PayloadKind(payload, static_cast<size_t>(payloadLength));
    if (s.kind == kKindNone) {
        return false;
    }
    s.times.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        s.times[static_cast<size_t>(i)] = ReadF64(data + kTableTimesOffset + 8 * static_cast<size_t>(i));
    }
    if (count > 1) {
        const double span = s.times.back() - s.times.front();
        if (span > 0.0) {
            // Time stamps are the server's: a near-zero span must not overflow the rate.
            const double rate = std::min((count - 1) / (span * platform::kSecondsPerDay), kMaxFrameRate);
            s.frameRate = static_cast<int32_t>(std::lround(rate));
            s.duration = span / (count - 1) * count;
        }
    }
    s.timed = 1;
    if (copy) {
        s.payload.assign(payload, payload + payloadLength);
    } else {
        s.payloadPointer = payload;
        s.payloadLength = payloadLength;
    }
    return true;
}

bool ParseChainBlock(const uint8_t* data, size_t length, Sequence& s, bool copy) {
    size_t offset = 0;
    while (offset < length) {
        const size_t remaining = length - offset;
        if (remaining < kBlockHeaderSize) {
            return false;
        }
        const uint8_t* record = data + offset;
        const uint32_t payloadLength = ReadU32(record + kChainPayloadLength);
        if (remaining - kBlockHeaderSize < payloadLength) {
            return false;
        }
        const uint8_t* payload = record + kBlockHeaderSize;
        const int32_t kind = PayloadKind(payload, payloadLength);
        if (kind != kKindNone) {
            s.kind = kind;
            s.times.push_back(ReadF64(record + kChainTime));
            if (copy) {
                s.payload.insert(s.payload.end(), payload, payload + payloadLength);
            } else if (s.payloadPointer == nullptr) {
                s.payloadPointer = payload;
                s.payloadLength = static_cast<int32_t>(payloadLength);
            }
        }
        offset += kBlockHeaderSize + payloadLength;
    }
    s.frameRate = 0;
    s.duration = 0.0;
    s.timed = 0;
    return true;
}

}  // namespace

void Sequence::Reset() {
    consumed = 0;
    next = 0;
    kind = kKindNone;
    frameRate = 0;
    duration = 0.0;
    spare = 0;
    timed = 1;
    extraFlag = 0;
    fed = 0;
    reserved1 = 0;
    reserved2 = 0;
    times.clear();
    payload.clear();
    entries.clear();
    payloadPointer = nullptr;
    payloadLength = 0;
}

int32_t PayloadKind(const uint8_t* data, size_t length) {
    if (data == nullptr || length < 4) {
        return kKindNone;
    }
    if (data[0] == 0 && data[1] == 0 && data[2] == 1) {
        return kKindMpeg4;
    }
    if (data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
        return kKindAvc;
    }
    return kKindNone;
}

bool ParseBlock(const uint8_t* data, size_t length, Sequence* sequence, bool copy) {
    if (sequence == nullptr) {
        return false;
    }
    Sequence& s = *sequence;
    s.Reset();
    if (data == nullptr || length < kBlockHeaderSize) {
        return false;
    }
    bool parsed = false;
    switch (ReadI32(data)) {
        case kTableBlockMagic:
            parsed = ParseTableBlock(data, length, s, copy);
            break;
        case kChainBlockMagic:
            parsed = ParseChainBlock(data, length, s, copy);
            break;
        default:
            return false;
    }
    if (!parsed || s.times.empty()) {
        return false;
    }
    return !copy || !s.payload.empty();
}

}  // namespace processing
