// Splitting an elementary-stream chunk into one packet per picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vevid {

enum class StreamKind { Mpeg4, Avc };

struct PacketSpan {
    size_t offset = 0;
    size_t size = 0;
    bool picture = false;  // holds coded picture data (a VOP, or a slice)
};

// Appends to `out` the packets of `data`: each picture together with the headers
// in front of it. Bytes before the first start code are skipped. Returns the
// number of packets appended (0: no start code at all).
size_t SplitPictures(StreamKind kind, const uint8_t* data, size_t size, std::vector<PacketSpan>& out);

// Offset of the next 00 00 01 at or after `from`, or `size` when there is none.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from);

// chroma_format_idc of the first AVC sequence parameter set in `data` that comes
// before any slice (0 means a monochrome stream), or -1 when there is none.
int AvcChromaFormat(const uint8_t* data, size_t size);

}  // namespace vevid
