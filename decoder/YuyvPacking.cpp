#include "YuyvPacking.h"

#include <cstring>

namespace vevid {
namespace {

// One row. Written as plain indexed loads and stores with restrict pointers so
// that the compiler turns it into byte interleaves (punpck / vpermb) at -O3.
void PackRow(const uint8_t* __restrict y, const uint8_t* __restrict u, const uint8_t* __restrict v,
             uint8_t* __restrict out, int width) {
    const int pairs = width / 2;
    for (int i = 0; i < pairs; ++i) {
        out[4 * i + 0] = y[2 * i + 0];
        out[4 * i + 1] = u[i];
        out[4 * i + 2] = y[2 * i + 1];
        out[4 * i + 3] = v[i];
    }
    if (width & 1) {
        out[4 * pairs + 0] = y[2 * pairs];
        out[4 * pairs + 1] = u[pairs];
    }
}

}  // namespace

void PackYuyv(const Planes& planes, int width, int height, int chromaShiftY, uint8_t* out) {
    const size_t outStride = static_cast<size_t>(width) * 2;
    for (int row = 0; row < height; ++row) {
        const int chromaRow = row >> chromaShiftY;
        PackRow(planes.y + row * planes.yStride, planes.u + chromaRow * planes.uStride,
                planes.v + chromaRow * planes.vStride, out + row * outStride, width);
    }
}

void PackGrey(const uint8_t* y, ptrdiff_t yStride, int width, int height, uint8_t* out) {
    const size_t rowBytes = static_cast<size_t>(width);
    for (int row = 0; row < height; ++row) std::memcpy(out + row * rowBytes, y + row * yStride, rowBytes);
}

}  // namespace vevid
