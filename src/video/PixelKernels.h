// Vector forms of the pixel loops of PixelConvert.cpp.  Each converts as many
// whole blocks as it can without reading or writing past `pixels` and returns
// how many pixels it did; the caller finishes the rest with the scalar form.
// Only called when the CPU supports AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace processing {
struct YuyvToBgrTables;
}

namespace processing::kernels {

size_t YuyvToBgrAvx2(const uint8_t* src, uint8_t* dst, size_t pixels);
size_t GreyToBgrAvx2(const uint8_t* src, uint8_t* dst, size_t pixels);
size_t BgrToYuyvAvx2(const uint8_t* src, uint8_t* dst, size_t pixels);
size_t BgrToGreyAvx2(const uint8_t* src, uint8_t* dst, size_t pixels);
// Planar to BGR without the packed intermediate: luma rows y0 and (unless null) y1
// share the chroma rows u and v, each pixel pair taking its chroma as the packing
// does (hShift 1: the shared sample; 0: the floor average of the pair's two).
// The chroma terms are computed once for both rows.  Returns a multiple of 32.
int PlanarRowsToBgrAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* dst0,
                        uint8_t* dst1, int width, int hShift);

// The vector YUYV-to-BGR path computes the table terms by multiplication;
// this checks, once, that it reproduces every table entry.
bool Avx2MatchesTables(const YuyvToBgrTables& tables);

}  // namespace processing::kernels
