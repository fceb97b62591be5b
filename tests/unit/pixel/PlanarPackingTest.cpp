// The shared planar packing against a per-pixel reference written from its
// definition: every subsampling shape, both sample ranges, every kernel set, YUYV and grey.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "pixel/PlanarPacking.h"

namespace {

using pixel::Kernels;
using pixel::SampleRange;

uint8_t Expand(int s, bool chroma) {
    const double v = chroma ? (s - 128) * 255.0 / 224.0 : (s - 16) * 255.0 / 219.0;
    const double rounded = static_cast<double>(std::lround(v)) + (chroma ? 128.0 : 0.0);
    return static_cast<uint8_t>(std::clamp(rounded, 0.0, 255.0));
}

std::vector<uint8_t> Bytes(size_t n, unsigned seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((i * 37 + seed * 101 + (i >> 3)) & 0xFF);
    return out;
}

class PlanarPacking : public ::testing::TestWithParam<std::tuple<SampleRange, Kernels>> {};

TEST_P(PlanarPacking, MatchesTheDefinitionForEveryShape) {
    const auto [range, kernels] = GetParam();
    const bool limited = range == SampleRange::Limited;
    for (const auto& [hs, vs] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 0}}) {
        for (const int w : {1, 2, 15, 16, 17, 33, 64, 97, 129, 200}) {
            for (const int h : {1, 3, 4}) {
                SCOPED_TRACE(::testing::Message() << "shift " << hs << "," << vs << " size " << w << "x" << h);
                const int cw = (w + (1 << hs) - 1) >> hs;
                const int ch = (h + (1 << vs) - 1) >> vs;
                const ptrdiff_t yStride = w + 5, cStride = cw + 3;  // padded rows
                const auto y = Bytes(static_cast<size_t>(yStride) * h, 1);
                const auto u = Bytes(static_cast<size_t>(cStride) * ch, 2);
                const auto v = Bytes(static_cast<size_t>(cStride) * ch, 3);
                std::vector<uint8_t> out(static_cast<size_t>(w) * h * 2 + 16, 0xEE);
                pixel::PackYuyv({y.data(), u.data(), v.data(), yStride, cStride, cStride, w, h, hs, vs}, range,
                                out.data(), kernels);
                for (int row = 0; row < h; ++row) {
                    const uint8_t* cu = &u[static_cast<size_t>((row >> vs) * cStride)];
                    const uint8_t* cv = &v[static_cast<size_t>((row >> vs) * cStride)];
                    for (int x = 0; x < w; ++x) {
                        const int pair = x & ~1;
                        int c = 0;
                        if (pair + 1 < w) {
                            const int c0 = pair >> hs, c1 = (pair + 1) >> hs;
                            c = x == pair ? (cu[c0] + cu[c1]) >> 1 : (cv[c0] + cv[c1]) >> 1;
                        } else {
                            c = cu[x >> hs];  // lone last pixel: Y U
                        }
                        const int luma = y[static_cast<size_t>(row * yStride + x)];
                        const uint8_t* px = &out[static_cast<size_t>(row * w + x) * 2];
                        ASSERT_EQ(px[0], limited ? Expand(luma, false) : luma) << row << "," << x;
                        ASSERT_EQ(px[1], limited ? Expand(c, true) : c) << row << "," << x;
                    }
                }
                ASSERT_TRUE(std::all_of(out.end() - 16, out.end(), [](uint8_t b) { return b == 0xEE; }))
                    << "wrote past the picture";
                std::vector<uint8_t> grey(static_cast<size_t>(w) * h + 16, 0xEE);
                pixel::PackGrey(y.data(), yStride, w, h, range, grey.data(), kernels);
                for (int row = 0; row < h; ++row) {
                    for (int x = 0; x < w; ++x) {
                        const int luma = y[static_cast<size_t>(row * yStride + x)];
                        ASSERT_EQ(grey[static_cast<size_t>(row * w + x)], limited ? Expand(luma, false) : luma)
                            << "grey " << row << "," << x;
                    }
                }
                ASSERT_TRUE(std::all_of(grey.end() - 16, grey.end(), [](uint8_t b) { return b == 0xEE; }));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RangesAndKernels, PlanarPacking,
                         ::testing::Combine(::testing::Values(SampleRange::Full, SampleRange::Limited),
                                            ::testing::Values(Kernels::Vector, Kernels::Avx2, Kernels::Scalar)),
                         [](const auto& info) {
                             const Kernels k = std::get<1>(info.param);
                             return std::string(std::get<0>(info.param) == SampleRange::Full ? "Full" : "Limited") +
                                    (k == Kernels::Vector ? "Vector" : k == Kernels::Avx2 ? "Avx2" : "Scalar");
                         });

}  // namespace
