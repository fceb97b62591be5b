// Packing planar decoder output into the plug-in's output layouts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vevid {

struct Planes {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
    ptrdiff_t yStride;
    ptrdiff_t uStride;
    ptrdiff_t vStride;
};

// How the decoder's sample values relate to what we hand out. Video streams
// normally carry limited ("TV") range: luma 16..235, chroma 16..240. The
// library converts YUYV and grey with full-range formulas, so limited-range
// pictures are expanded while packing; full-range ones are copied.
enum class SampleRange { Full, Limited };

// The expansion of one limited-range sample to full range, rounded half away
// from zero and clamped: luma (Y - 16) * 255 / 219, chroma (C - 128) * 255 / 224 + 128.
struct RangeTables {
    uint8_t luma[256];
    uint8_t chroma[256];
};
const RangeTables& LimitedToFullTables();

// Y0 U Y1 V per pixel pair, rows top to bottom, 2 * width bytes per row.
// chromaShiftY is 1 for 4:2:0 (one chroma row per two luma rows), 0 for 4:2:2.
// An odd last pixel is written as Y U.
void PackYuyv(const Planes& planes, int width, int height, int chromaShiftY, SampleRange range, uint8_t* out);

// Luma only, width bytes per row.
void PackGrey(const uint8_t* y, ptrdiff_t yStride, int width, int height, SampleRange range, uint8_t* out);

}  // namespace vevid
