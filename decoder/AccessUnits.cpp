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

}  // namespace

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
