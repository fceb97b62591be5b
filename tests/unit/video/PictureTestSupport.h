// Test pictures: deterministic BGR content and JPEG files made with TurboJPEG.
#pragma once

#include <turbojpeg.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

namespace picture_test {

// Smooth gradients plus a little noise: realistic for JPEG, varied chroma.
inline std::vector<uint8_t> MakeBgr(int width, int height, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &bgr[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>((x * 255) / (width > 1 ? width - 1 : 1));
            p[1] = static_cast<uint8_t>((y * 255) / (height > 1 ? height - 1 : 1));
            p[2] = static_cast<uint8_t>(((x + y) * 7 + rng() % 16) & 0xFF);
        }
    }
    return bgr;
}

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

inline std::vector<uint8_t> MakeJpeg(int width, int height, int subsampling, uint32_t seed = 1,
                                     int quality = 90) {
    const std::vector<uint8_t> bgr = MakeBgr(width, height, seed);
    tjhandle h = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int rc =
        tjCompress2(h, bgr.data(), width, 0, height, TJPF_BGR, &out, &size, subsampling, quality, 0);
    tjDestroy(h);
    if (rc != 0) {
        tjFree(out);
        throw std::runtime_error("test JPEG could not be made");
    }
    std::vector<uint8_t> jpeg(out, out + size);
    tjFree(out);
    return jpeg;
}

// Planar decode of a JPEG by TurboJPEG directly, unpadded rows.
struct Planes {
    int width = 0, height = 0, subsampling = -1;
    std::vector<uint8_t> plane[3];
    int planeWidth[3] = {0, 0, 0};
    int hFactor = 1, vFactor = 1;  // chroma subsampling factors
};

inline Planes DecodePlanes(const std::vector<uint8_t>& jpeg) {
    Planes p;
    tjhandle h = tjInitDecompress();
    int cs = 0;
    tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &p.width, &p.height, &p.subsampling, &cs);
    unsigned char* ptr[3] = {nullptr, nullptr, nullptr};
    int strides[3] = {0, 0, 0};
    const int planes = p.subsampling == TJSAMP_GRAY ? 1 : 3;
    p.hFactor = tjMCUWidth[p.subsampling] / 8;
    p.vFactor = tjMCUHeight[p.subsampling] / 8;
    for (int i = 0; i < planes; ++i) {
        p.planeWidth[i] = tjPlaneWidth(i, p.width, p.subsampling);
        strides[i] = p.planeWidth[i];
        p.plane[i].resize(static_cast<size_t>(p.planeWidth[i]) * tjPlaneHeight(i, p.height, p.subsampling));
        ptr[i] = p.plane[i].data();
    }
    tjDecompressToYUVPlanes(h, jpeg.data(), jpeg.size(), ptr, p.width, strides, p.height, 0);
    tjDestroy(h);
    return p;
}

// Plain reference packing of planes to Yuyv (chroma averaged over each pixel pair).
inline std::vector<uint8_t> ReferenceYuyv(const Planes& p) {
    const int hf = p.hFactor, vf = p.vFactor;
    std::vector<uint8_t> out(static_cast<size_t>(p.width) * p.height * 2);
    for (int y = 0; y < p.height; ++y) {
        const uint8_t* u = &p.plane[1][static_cast<size_t>(y / vf) * p.planeWidth[1]];
        const uint8_t* v = &p.plane[2][static_cast<size_t>(y / vf) * p.planeWidth[2]];
        for (int x = 0; x < p.width; ++x) {
            const size_t o = (static_cast<size_t>(y) * p.width + x) * 2;
            out[o] = p.plane[0][static_cast<size_t>(y) * p.planeWidth[0] + x];
            const int pair = x & ~1;
            if (pair + 1 >= p.width) {
                out[o + 1] = u[pair / hf];  // lone last pixel of an odd row
                continue;
            }
            const uint8_t* c = (x % 2 == 0) ? u : v;
            out[o + 1] = static_cast<uint8_t>((c[pair / hf] + c[(pair + 1) / hf]) >> 1);
        }
    }
    return out;
}

}  // namespace picture_test
