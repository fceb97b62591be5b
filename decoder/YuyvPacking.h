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

// Y0 U Y1 V per pixel pair, rows top to bottom, 2 * width bytes per row.
// chromaShiftY is 1 for 4:2:0 (one chroma row per two luma rows), 0 for 4:2:2.
// An odd last pixel is written as Y U.
void PackYuyv(const Planes& planes, int width, int height, int chromaShiftY, uint8_t* out);

// Luma only, width bytes per row.
void PackGrey(const uint8_t* y, ptrdiff_t yStride, int width, int height, uint8_t* out);

}  // namespace vevid
