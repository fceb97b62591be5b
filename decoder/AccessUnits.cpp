#include "AccessUnits.h"

#include <cstring>

namespace vevid {
namespace {

constexpr uint8_t kMpeg4Vop = 0xB6;

// True when the unit whose start code ends at `code` (the byte after 00 00 01)
// begins a new picture packet, given that the current packet already holds a picture.
bool StartsNewPacket(StreamKind kind, const uint8_t* data, size_t size, size_t code) {
    // MPEG-4 Part 2: a VOP ends the packet; whatever start code follows it
    // (the next VOP, a GOV or repeated sequence headers) opens the next one.
    if (kind == StreamKind::Mpeg4) return true;
    const uint8_t nalType = data[code] & 0x1F;
    switch (nalType) {
        case 6: case 7: case 8: case 9: case 10: case 11:
        case 14: case 15: case 16: case 17: case 18:
            return true;
        case 1: case 5:
            // first_mb_in_slice is ue(v); its first bit is 1 exactly when it is 0,
            // i.e. when this slice starts a new picture.
            return code + 1 < size && (data[code + 1] & 0x80) != 0;
        default:
            return false;
    }
}

bool IsPictureUnit(StreamKind kind, uint8_t codeByte) {
    if (kind == StreamKind::Mpeg4) return codeByte == kMpeg4Vop;
    const uint8_t nalType = codeByte & 0x1F;
    return nalType >= 1 && nalType <= 5;
}

// Exp-Golomb reading over a NAL unit, skipping emulation-prevention bytes.
class NalBits {
public:
    NalBits(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Bit(uint32_t& bit) {
        if (bitPos_ == 0) {
            if (pos_ >= size_) return false;
            if (pos_ >= 2 && data_[pos_] == 3 && data_[pos_ - 1] == 0 && data_[pos_ - 2] == 0) {
                if (++pos_ >= size_) return false;
            }
        }
        bit = (data_[pos_] >> (7 - bitPos_)) & 1;
        if (++bitPos_ == 8) bitPos_ = 0, ++pos_;
        return true;
    }

    bool Ue(uint32_t& value) {
        int zeros = 0;
        uint32_t bit = 0;
        while (Bit(bit) && bit == 0)
            if (++zeros > 31) return false;
        if (bit != 1) return false;
        uint32_t rest = 0;
        for (int i = 0; i < zeros; ++i) {
            if (!Bit(bit)) return false;
            rest = (rest << 1) | bit;
        }
        value = (1u << zeros) - 1 + rest;
        return true;
    }

    void Skip(size_t bytes) { pos_ += bytes; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    int bitPos_ = 0;
};

// Profiles whose sequence parameter sets carry chroma_format_idc.
bool HasChromaFormat(uint8_t profileIdc) {
    switch (profileIdc) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86:
        case 118: case 128: case 138: case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

}  // namespace

int AvcChromaFormat(const uint8_t* data, size_t size) {
    for (size_t start = FindStartCode(data, size, 0); start + 3 < size; start = FindStartCode(data, size, start + 3)) {
        const uint8_t nalType = data[start + 3] & 0x1F;
        if (nalType == 1 || nalType == 5) return -1;
        if (nalType != 7) continue;
        const size_t end = FindStartCode(data, size, start + 3);
        const uint8_t* sps = data + start + 3;
        const size_t spsSize = end - start - 3;
        if (spsSize < 5) return -1;
        if (!HasChromaFormat(sps[1])) return 1;  // these profiles are always 4:2:0
        NalBits bits(sps, spsSize);
        bits.Skip(4);  // NAL header, profile, constraint flags, level
        uint32_t spsId = 0, chromaFormat = 0;
        if (!bits.Ue(spsId) || !bits.Ue(chromaFormat) || chromaFormat > 3) return -1;
        return static_cast<int>(chromaFormat);
    }
    return -1;
}

size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
    if (size < 3) return size;
    size_t i = from;
    while (i + 2 < size) {
        // memchr is vectorised; jump to the next 01 and look back for the zeros.
        const void* hit = std::memchr(data + i + 2, 0x01, size - i - 2);
        if (hit == nullptr) return size;
        const size_t one = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (data[one - 1] == 0 && data[one - 2] == 0) return one - 2;
        i = one - 1;
    }
    return size;
}

size_t SplitPictures(StreamKind kind, const uint8_t* data, size_t size, std::vector<PacketSpan>& out) {
    const size_t before = out.size();
    size_t start = FindStartCode(data, size, 0);
    if (start >= size) return 0;
    // A four-byte start code keeps its leading zero with the unit it introduces.
    size_t packetBegin = start > 0 && data[start - 1] == 0 ? start - 1 : start;
    bool hasPicture = false;

    while (start < size) {
        const size_t code = start + 3;
        if (code >= size) break;  // a start code with nothing behind it
        if (hasPicture && StartsNewPacket(kind, data, size, code)) {
            const size_t unitBegin = data[start - 1] == 0 ? start - 1 : start;
            out.push_back({packetBegin, unitBegin - packetBegin, true});
            packetBegin = unitBegin;
            hasPicture = false;
        }
        hasPicture = hasPicture || IsPictureUnit(kind, data[code]);
        start = FindStartCode(data, size, code);
    }
    out.push_back({packetBegin, size - packetBegin, hasPicture});
    return out.size() - before;
}

}  // namespace vevid
