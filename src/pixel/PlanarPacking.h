// Packing planar YCbCr pictures into YUYV and grey, the one implementation the
// library and the decoder plug-in both link (statically). Needs nothing but the
// C++ runtime.
//
// Chroma: each pixel pair (x, x + 1) of row r takes
//   U = (U[x >> hShift] + U[(x + 1) >> hShift]) >> 1 from chroma row r >> vShift,
// V likewise. For 2:1 horizontal subsampling that is the shared sample itself, for
// none it is the floor average of the pair. A lone last pixel of an odd width
// takes its own U sample and no V: it is written as Y U.
//
// Range: video streams normally carry limited ("TV") range, luma 16..235 and
// chroma 16..240. The library converts YUYV and grey with full-range formulas, so
// limited-range pictures are expanded while packing, each written byte through
// luma (Y - 16) * 255 / 219 or chroma (C - 128) * 255 / 224 + 128, rounded half away
// from zero and clamped. Full-range pictures are copied.
//
// Output rows are tightly packed: 2 * width bytes of YUYV, width bytes of grey.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pixel {

struct Planes {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
    ptrdiff_t yStride;
    ptrdiff_t uStride;
    ptrdiff_t vStride;
    int width;
    int height;
    int hShift;  // chroma subsampled by 2^hShift horizontally (0 or 1; larger shifts take the scalar loop)
    int vShift;  // and by 2^vShift vertically
};

enum class SampleRange { Full, Limited };

// The limited-to-full expansion of every sample value.
struct RangeTables {
    uint8_t luma[256];
    uint8_t chroma[256];
};
const RangeTables& LimitedToFullTables();

// Vector: the fastest loops the CPU has. Avx2: no wider than AVX2, so that tests
// cover those loops on CPUs with more. Scalar: the plain loops that define the
// result; tests use them to check that all give the same bytes.
enum class Kernels { Vector, Avx2, Scalar };

void PackYuyv(const Planes& planes, SampleRange range, uint8_t* out, Kernels kernels = Kernels::Vector);
void PackGrey(const uint8_t* y, ptrdiff_t yStride, int width, int height, SampleRange range, uint8_t* out,
              Kernels kernels = Kernels::Vector);

}  // namespace pixel
