#include "video/PixelConvert.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "pixel/PlanarPacking.h"
#include "video/PixelKernels.h"

namespace processing {
namespace {

// Evaluated by the compiler, so the tables exist before any other static
// initialiser of the library could ask for them.
constexpr YuyvToBgrTables BuildTables() {
    YuyvToBgrTables t{};
    for (int c = 0; c < 256; ++c) {
        const double d = c - 128;
        // Conversion to int truncates toward zero.
        t.blueU[c] = static_cast<int16_t>(d * 1.772);
        t.greenU[c] = static_cast<int16_t>(d * 0.34414);
        t.greenV[c] = static_cast<int16_t>(d * 0.71414);
        t.redV[c] = static_cast<int16_t>(d * 1.402);
    }
    return t;
}

constexpr YuyvToBgrTables kTables = BuildTables();

bool DetectVectorSupport() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();  // may run before the runtime's own constructors
    return __builtin_cpu_supports("avx2") && kernels::Avx2MatchesTables(kTables);
#else
    return false;
#endif
}

std::atomic<bool> gVectorPaths{DetectVectorSupport()};

inline uint8_t Clamp(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Scalar forms: the definition of every result.
void YuyvToBgrScalar(const uint8_t* __restrict src, uint8_t* __restrict dst, size_t pixels) {
    const YuyvToBgrTables& t = kTables;
    size_t x = 0;
    for (; x + 1 < pixels; x += 2) {
        const int y0 = src[0], u = src[1], y1 = src[2], v = src[3];
        const int b = t.blueU[u], g = t.greenU[u] + t.greenV[v], r = t.redV[v];
        dst[0] = Clamp(y0 + b);
        dst[1] = Clamp(y0 - g);
        dst[2] = Clamp(y0 + r);
        dst[3] = Clamp(y1 + b);
        dst[4] = Clamp(y1 - g);
        dst[5] = Clamp(y1 + r);
        src += 4;
        dst += 6;
    }
    if (x < pixels) {  // lone pixel of an odd row: no V sample, use the neutral one
        const int y0 = src[0], u = src[1];
        dst[0] = Clamp(y0 + t.blueU[u]);
        dst[1] = Clamp(y0 - t.greenU[u] - t.greenV[128]);
        dst[2] = Clamp(y0 + t.redV[128]);
    }
}

void BgrToYuyvScalar(const uint8_t* __restrict src, uint8_t* __restrict dst, size_t pixels) {
    for (size_t x = 0; x < pixels; ++x) {
        const int b = src[0], g = src[1], r = src[2];
        dst[0] = Clamp((802 * b + 4130 * g + 2104 * r + 0x21000) >> 13);
        if ((x & 1) == 0) {
            dst[1] = Clamp((3598 * b - 2384 * g - 1214 * r + 0x101000) >> 13);
        } else {
            dst[1] = Clamp((3598 * r - 3013 * g - 585 * b + 0x101000) >> 13);
        }
        src += 3;
        dst += 2;
    }
}

void BgrToGreyScalar(const uint8_t* __restrict src, uint8_t* __restrict dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        const int b = src[3 * i], g = src[3 * i + 1], r = src[3 * i + 2];
        dst[i] = static_cast<uint8_t>((30 * r + 59 * g + 11 * b + 50) / 100);
    }
}

// The pixels that packing a planar row and converting the packed row give.
void PlanarRowToBgrScalar(const uint8_t* __restrict y, const uint8_t* __restrict u, const uint8_t* __restrict v,
                          uint8_t* __restrict dst, int from, int width, int hShift) {
    const YuyvToBgrTables& t = kTables;
    int x = from;
    for (; x + 1 < width; x += 2) {
        const int c0 = x >> hShift, c1 = (x + 1) >> hShift;
        const int cu = (u[c0] + u[c1]) >> 1, cv = (v[c0] + v[c1]) >> 1;
        const int b = t.blueU[cu], g = t.greenU[cu] + t.greenV[cv], r = t.redV[cv];
        uint8_t* d = dst + 3 * static_cast<size_t>(x);
        d[0] = Clamp(y[x] + b);
        d[1] = Clamp(y[x] - g);
        d[2] = Clamp(y[x] + r);
        d[3] = Clamp(y[x + 1] + b);
        d[4] = Clamp(y[x + 1] - g);
        d[5] = Clamp(y[x + 1] + r);
    }
    if (x < width) {  // lone last pixel: its own U sample and the neutral V
        const int cu = u[x >> hShift];
        uint8_t* d = dst + 3 * static_cast<size_t>(x);
        d[0] = Clamp(y[x] + t.blueU[cu]);
        d[1] = Clamp(y[x] - t.greenU[cu] - t.greenV[128]);
        d[2] = Clamp(y[x] + t.redV[128]);
    }
}

inline size_t Pixels(int width, int height) {
    return static_cast<size_t>(width) * static_cast<size_t>(height);
}

}  // namespace

const YuyvToBgrTables& YuyvTables() {
    return kTables;
}

void SetVectorPathsEnabled(bool enabled) {
    gVectorPaths = enabled && DetectVectorSupport();
}
bool VectorPathsEnabled() {
    return gVectorPaths;
}

namespace {

// Converts between the pixel-pair layout (YUYV) and a whole-pixel one row by row;
// with an even width no pixel pair straddles two rows, so the picture is one long
// row. The vector kernel converts what it can, in whole pairs so that the U/V
// parity carries on, and the scalar code the rest.
template <size_t kSrcBytes, size_t kDstBytes, class Vector, class Scalar>
void ConvertPairRows(const uint8_t* src, uint8_t* dst, int width, int height, Vector vector, Scalar scalar) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const bool useVector = gVectorPaths;
    const int rows = (width % 2 == 0) ? 1 : height;
    const size_t rowPixels = (width % 2 == 0) ? Pixels(width, height) : static_cast<size_t>(width);
    for (int row = 0; row < rows; ++row) {
        const uint8_t* s = src + kSrcBytes * rowPixels * row;
        uint8_t* d = dst + kDstBytes * rowPixels * row;
        const size_t done = useVector ? vector(s, d, rowPixels) : 0;
        scalar(s + kSrcBytes * done, d + kDstBytes * done, rowPixels - done);
    }
}

}  // namespace

void YuyvToBgr(const uint8_t* src, uint8_t* dst, int width, int height) {
    ConvertPairRows<2, 3>(src, dst, width, height, kernels::YuyvToBgrAvx2, YuyvToBgrScalar);
}

void GreyToBgr(const uint8_t* __restrict src, uint8_t* __restrict dst, int width, int height) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const size_t n = Pixels(width, height);
    size_t i = gVectorPaths ? kernels::GreyToBgrAvx2(src, dst, n) : 0;
    for (; i < n; ++i) {
        dst[3 * i] = dst[3 * i + 1] = dst[3 * i + 2] = src[i];
    }
}

void YuyvToGrey(const uint8_t* __restrict src, uint8_t* __restrict dst, int width, int height) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const size_t n = Pixels(width, height);
    for (size_t i = 0; i < n; ++i) {
        dst[i] = src[2 * i];
    }
}

void BgrToYuyv(const uint8_t* src, uint8_t* dst, int width, int height) {
    ConvertPairRows<3, 2>(src, dst, width, height, kernels::BgrToYuyvAvx2, BgrToYuyvScalar);
}

void BgrToGrey(const uint8_t* src, uint8_t* dst, int width, int height) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const size_t n = Pixels(width, height);
    size_t done = gVectorPaths ? kernels::BgrToGreyAvx2(src, dst, n) : 0;
    BgrToGreyScalar(src + 3 * done, dst + done, n - done);
}

void PlanarToYuyv(const PlanarPicture& p, uint8_t* dst) {
    const pixel::Planes planes{p.planes[0], p.planes[1], p.planes[2], p.strides[0], p.strides[1],
                               p.strides[2], p.width, p.height, p.hShift, p.vShift};
    pixel::PackYuyv(planes, pixel::SampleRange::Full, dst,
                    gVectorPaths ? pixel::Kernels::Vector : pixel::Kernels::Scalar);
}

void PlanarToBgr(const PlanarPicture& p, uint8_t* dst) {
    const bool vector = gVectorPaths && (p.hShift == 0 || p.hShift == 1);
    const size_t bgrStride = 3 * static_cast<size_t>(p.width);
    // With vertical subsampling by 2 two luma rows share each chroma row: their
    // chroma terms are computed once.
    const int rowsPerStep = p.vShift == 1 ? 2 : 1;
    for (int row = 0; row < p.height; row += rowsPerStep) {
        const int rows = std::min(rowsPerStep, p.height - row);
        const uint8_t* y0 = p.planes[0] + static_cast<size_t>(p.strides[0]) * row;
        const uint8_t* y1 = rows == 2 ? y0 + p.strides[0] : nullptr;
        const uint8_t* u = p.planes[1] + static_cast<size_t>(p.strides[1]) * (row >> p.vShift);
        const uint8_t* v = p.planes[2] + static_cast<size_t>(p.strides[2]) * (row >> p.vShift);
        uint8_t* d0 = dst + bgrStride * row;
        const int done = vector ? kernels::PlanarRowsToBgrAvx2(y0, y1, u, v, d0, d0 + bgrStride, p.width, p.hShift)
                                : 0;
        PlanarRowToBgrScalar(y0, u, v, d0, done, p.width, p.hShift);
        if (y1 != nullptr) {
            PlanarRowToBgrScalar(y1, u, v, d0 + bgrStride, done, p.width, p.hShift);
        }
    }
}

namespace {

bool IsBgrPicture(const TOrvFrame& frame) {
    return frame.format == Bgr24 && !frame.data.empty() && frame.width > 0 && frame.height > 0 &&
           frame.data.size() >= 3 * Pixels(frame.width, frame.height);
}

}  // namespace

bool BgrFrameToYuyv(TOrvFrame& frame, platform::Bytes& scratch) {
    if (!IsBgrPicture(frame)) {
        return false;
    }
    scratch.resize(2 * Pixels(frame.width, frame.height));
    BgrToYuyv(frame.data.data(), scratch.data(), frame.width, frame.height);
    frame.data.swap(scratch);
    frame.format = Yuyv;
    return true;
}

bool BgrFrameToGrey(TOrvFrame& frame, platform::Bytes& scratch) {
    if (!IsBgrPicture(frame)) {
        return false;
    }
    scratch.resize(Pixels(frame.width, frame.height));
    BgrToGrey(frame.data.data(), scratch.data(), frame.width, frame.height);
    frame.data.swap(scratch);
    frame.format = Grey8;
    return true;
}

bool NativeFrameToBgr(TOrvFrame& frame, platform::Bytes& scratch) {
    const size_t pixels = frame.width > 0 && frame.height > 0 ? Pixels(frame.width, frame.height) : 0;
    const size_t need = frame.format == Yuyv ? 2 * pixels : pixels;
    if (frame.format != Yuyv && frame.format != Grey8) {
        return false;
    }
    if (pixels == 0 || frame.data.size() < need) {
        frame.data.clear();
        frame.width = frame.height = 0;
        frame.format = Bgr24;
        return true;
    }
    scratch.resize(3 * pixels);
    if (frame.format == Yuyv) {
        YuyvToBgr(frame.data.data(), scratch.data(), frame.width, frame.height);
    } else {
        GreyToBgr(frame.data.data(), scratch.data(), frame.width, frame.height);
    }
    frame.data.swap(scratch);
    frame.format = Bgr24;
    return true;
}

bool NativeFrameToGrey(TOrvFrame& frame, platform::Bytes& scratch) {
    if (frame.format == Grey8) {
        return true;
    }
    if (frame.format != Yuyv) {
        return false;
    }
    const size_t pixels = frame.width > 0 && frame.height > 0 ? Pixels(frame.width, frame.height) : 0;
    if (pixels == 0 || frame.data.size() < 2 * pixels) {
        frame.data.clear();
        frame.width = frame.height = 0;
        frame.format = Grey8;
        return true;
    }
    scratch.resize(pixels);
    YuyvToGrey(frame.data.data(), scratch.data(), frame.width, frame.height);
    frame.data.swap(scratch);
    frame.format = Grey8;
    return true;
}

}  // namespace processing
