#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "PictureTestSupport.h"
#include "video/PixelConvert.h"

using namespace processing;
using picture_test::RandomBytes;

namespace {

int Clamp(int v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

// Plain reference forms of the conversion formulas, written independently of
// the library code (tables computed on the fly, floating point where the
// formula is given in floating point).
int Trunc(double v) {
    return static_cast<int>(std::trunc(v));
}

std::vector<uint8_t> RefYuyvToBgr(const std::vector<uint8_t>& src, int w, int h) {
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* row = &src[static_cast<size_t>(y) * w * 2];
            const int pair = x & ~1;
            const int Y = row[2 * x];
            const int U = row[2 * pair + 1];
            const int V = pair + 1 < w ? row[2 * pair + 3] : 128;
            uint8_t* o = &out[(static_cast<size_t>(y) * w + x) * 3];
            o[0] = static_cast<uint8_t>(Clamp(Y + Trunc((U - 128) * 1.772)));
            o[1] = static_cast<uint8_t>(Clamp(Y - Trunc((U - 128) * 0.34414) - Trunc((V - 128) * 0.71414)));
            o[2] = static_cast<uint8_t>(Clamp(Y + Trunc((V - 128) * 1.402)));
        }
    }
    return out;
}

std::vector<uint8_t> RefBgrToYuyv(const std::vector<uint8_t>& src, int w, int h) {
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &src[(static_cast<size_t>(y) * w + x) * 3];
            const int B = p[0], G = p[1], R = p[2];
            uint8_t* o = &out[(static_cast<size_t>(y) * w + x) * 2];
            o[0] = static_cast<uint8_t>(Clamp((802 * B + 4130 * G + 2104 * R + 0x21000) >> 13));
            o[1] = static_cast<uint8_t>(x % 2 == 0 ? Clamp((3598 * B - 2384 * G - 1214 * R + 0x101000) >> 13)
                                                   : Clamp((3598 * R - 3013 * G - 585 * B + 0x101000) >> 13));
        }
    }
    return out;
}

uint8_t RefGrey(int b, int g, int r) {
    // floor(0.3 R + 0.59 G + 0.11 B + 0.5) in exact arithmetic.
    return static_cast<uint8_t>((30 * r + 59 * g + 11 * b + 50) / 100);
}

class VectorPaths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { SetVectorPathsEnabled(GetParam()); }
    void TearDown() override { SetVectorPathsEnabled(true); }
};

using Sizes = std::tuple<bool, int, int>;
class ConversionSizes : public ::testing::TestWithParam<Sizes> {
  protected:
    void SetUp() override { SetVectorPathsEnabled(std::get<0>(GetParam())); }
    void TearDown() override { SetVectorPathsEnabled(true); }
    int W() const { return std::get<1>(GetParam()); }
    int H() const { return std::get<2>(GetParam()); }
};

TEST_P(ConversionSizes, YuyvToBgrMatchesReferenceOnEveryPixel) {
    const auto src = RandomBytes(static_cast<size_t>(W()) * H() * 2, W() * 31 + H());
    std::vector<uint8_t> out(static_cast<size_t>(W()) * H() * 3 + 16, 0xEE);
    YuyvToBgr(src.data(), out.data(), W(), H());
    const auto ref = RefYuyvToBgr(src, W(), H());
    ASSERT_TRUE(std::equal(ref.begin(), ref.end(), out.begin()));
    for (size_t i = ref.size(); i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0xEE) << "wrote past the picture";
    }
}

TEST_P(ConversionSizes, BgrToYuyvMatchesReference) {
    const auto src = RandomBytes(static_cast<size_t>(W()) * H() * 3, W() * 17 + H());
    std::vector<uint8_t> out(static_cast<size_t>(W()) * H() * 2 + 16, 0xEE);
    BgrToYuyv(src.data(), out.data(), W(), H());
    const auto ref = RefBgrToYuyv(src, W(), H());
    ASSERT_TRUE(std::equal(ref.begin(), ref.end(), out.begin()));
    EXPECT_EQ(out[ref.size()], 0xEE);
}

TEST_P(ConversionSizes, BgrToGreyMatchesReference) {
    const size_t n = static_cast<size_t>(W()) * H();
    const auto src = RandomBytes(n * 3, W() * 13 + H());
    std::vector<uint8_t> out(n + 16, 0xEE);
    BgrToGrey(src.data(), out.data(), W(), H());
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], RefGrey(src[3 * i], src[3 * i + 1], src[3 * i + 2])) << "pixel " << i;
    }
    EXPECT_EQ(out[n], 0xEE);
}

TEST_P(ConversionSizes, GreyAndYuyvToGreyPlainCopies) {
    const size_t n = static_cast<size_t>(W()) * H();
    const auto grey = RandomBytes(n, 5);
    std::vector<uint8_t> bgr(n * 3);
    GreyToBgr(grey.data(), bgr.data(), W(), H());
    for (size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(bgr[3 * i] == grey[i] && bgr[3 * i + 1] == grey[i] && bgr[3 * i + 2] == grey[i]);
    }
    const auto yuyv = RandomBytes(n * 2, 6);
    std::vector<uint8_t> y(n);
    YuyvToGrey(yuyv.data(), y.data(), W(), H());
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(y[i], yuyv[2 * i]);
    }
}

INSTANTIATE_TEST_SUITE_P(OddAndEven, ConversionSizes,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(1, 2, 3, 5, 6, 7, 16, 17, 18, 19, 33, 63, 64,
                                                              642),
                                            ::testing::Values(1, 3, 8)));

TEST_P(VectorPaths, YuyvToBgrCoversEveryUAndVValue) {
    // 256 x 256 pixel pairs: every U with every V, two different Y each.
    const int w = 512, h = 256;
    std::vector<uint8_t> src(static_cast<size_t>(w) * h * 2);
    for (int v = 0; v < 256; ++v) {
        for (int u = 0; u < 256; ++u) {
            uint8_t* p = &src[(static_cast<size_t>(v) * 256 + u) * 4];
            p[0] = static_cast<uint8_t>(u ^ v);
            p[1] = static_cast<uint8_t>(u);
            p[2] = static_cast<uint8_t>(255 - (u ^ v));
            p[3] = static_cast<uint8_t>(v);
        }
    }
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    YuyvToBgr(src.data(), out.data(), w, h);
    EXPECT_EQ(out, RefYuyvToBgr(src, w, h));
}

TEST_P(VectorPaths, BgrToGreyExactForEveryWeightedSum) {
    // Sweep R and G fully with B stepping: covers the rounding edges of the division.
    std::vector<uint8_t> src;
    for (int b = 0; b < 256; b += 5) {
        for (int g = 0; g < 256; ++g) {
            for (int r = 0; r < 256; ++r) {
                src.insert(src.end(),
                           {static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r)});
            }
        }
    }
    const int n = static_cast<int>(src.size() / 3);
    std::vector<uint8_t> out(n);
    BgrToGrey(src.data(), out.data(), n, 1);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], RefGrey(src[3 * i], src[3 * i + 1], src[3 * i + 2])) << i;
    }
}

TEST(PixelGolden, TablesTruncateTowardZero) {
    const YuyvToBgrTables& t = YuyvTables();
    EXPECT_EQ(t.blueU[0], -226);   // -128 * 1.772 = -226.8
    EXPECT_EQ(t.blueU[255], 225);  // 127 * 1.772 = 225.04
    EXPECT_EQ(t.greenU[0], -44);   // -44.05
    EXPECT_EQ(t.greenV[255], 90);  // 90.7
    EXPECT_EQ(t.redV[0], -179);    // -179.456
    EXPECT_EQ(t.redV[128], 0);
}

TEST(PixelGolden, BlackAndWhiteToYuyv) {
    const uint8_t bgr[] = {0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255};
    uint8_t out[8] = {};
    BgrToYuyv(bgr, out, 4, 1);
    EXPECT_EQ(out[0], 16);
    EXPECT_EQ(out[1], 128);
    EXPECT_EQ(out[2], 16);
    EXPECT_EQ(out[3], 128);
    EXPECT_EQ(out[4], 235);
    EXPECT_EQ(out[6], 235);
    uint8_t grey[4] = {};
    BgrToGrey(bgr, grey, 4, 1);
    EXPECT_EQ(grey[0], 0);
    EXPECT_EQ(grey[3], 255);
}

TEST(PixelGolden, NeutralYuyvGivesGreyBgr) {
    const uint8_t yuyv[] = {16, 128, 235, 128};
    uint8_t bgr[6] = {};
    YuyvToBgr(yuyv, bgr, 2, 1);
    EXPECT_EQ(std::vector<uint8_t>(bgr, bgr + 6), (std::vector<uint8_t>{16, 16, 16, 235, 235, 235}));
}

// Packing and the one-pass conversion to BGR, against the reference packing and
// the reference YUYV-to-BGR formulas: every subsampling shape, widths around the
// 16- and 32-pixel vector blocks, odd widths and heights, a lone last row.
TEST_P(VectorPaths, PlanarPackingAndBgrMatchReferenceForEverySubsamplingShape) {
    for (const auto& [hs, vs] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 0}}) {
        for (const int w : {1, 2, 5, 16, 31, 32, 33, 64, 65, 70, 97, 130}) {
            for (const int h : {1, 2, 7}) {
                picture_test::Planes p;
                p.width = w;
                p.height = h;
                p.planeWidth[0] = w;
                p.hFactor = 1 << hs;
                p.vFactor = 1 << vs;
                p.planeWidth[1] = p.planeWidth[2] = (w + (1 << hs) - 1) >> hs;
                const int ch = (h + (1 << vs) - 1) >> vs;
                const auto seed = static_cast<uint32_t>(w * 8 + h);
                p.plane[0] = RandomBytes(static_cast<size_t>(w) * h, seed);
                p.plane[1] = RandomBytes(static_cast<size_t>(p.planeWidth[1]) * ch, seed + 1);
                p.plane[2] = RandomBytes(static_cast<size_t>(p.planeWidth[1]) * ch, seed + 2);
                PlanarPicture pic{{p.plane[0].data(), p.plane[1].data(), p.plane[2].data()},
                                  {w, p.planeWidth[1], p.planeWidth[2]},
                                  w,
                                  h,
                                  hs,
                                  vs};
                SCOPED_TRACE(::testing::Message() << "shift " << hs << "," << vs << " size " << w << "x" << h);
                std::vector<uint8_t> yuyv(static_cast<size_t>(w) * h * 2);
                PlanarToYuyv(pic, yuyv.data());
                const auto reference = picture_test::ReferenceYuyv(p);
                ASSERT_EQ(yuyv, reference);

                std::vector<uint8_t> bgr(static_cast<size_t>(w) * h * 3 + 64, 0xEE);
                PlanarToBgr(pic, bgr.data());
                const auto expected = RefYuyvToBgr(reference, w, h);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), bgr.begin()));
                ASSERT_TRUE(std::all_of(bgr.begin() + static_cast<std::ptrdiff_t>(expected.size()), bgr.end(),
                                        [](uint8_t b) { return b == 0xEE; }))
                    << "wrote past the picture";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ScalarAndVector, VectorPaths, ::testing::Bool());

TEST(FrameConversions, ExchangeBuffersAndRefuseWrongInput) {
    TOrvFrame frame;
    frame.width = 4;
    frame.height = 2;
    frame.format = Bgr24;
    const std::vector<uint8_t> original = RandomBytes(24, 9);
    frame.data.assign(original.begin(), original.end());
    platform::Bytes scratch;
    ASSERT_TRUE(BgrFrameToYuyv(frame, scratch));
    EXPECT_EQ(frame.format, Yuyv);
    EXPECT_EQ(frame.data, RefBgrToYuyv(original, 4, 2));
    EXPECT_EQ(scratch, original);  // the old picture went into the scratch buffer

    EXPECT_FALSE(BgrFrameToGrey(frame, scratch));  // not Bgr24 any more
    EXPECT_EQ(frame.format, Yuyv);
    TOrvFrame empty;
    empty.format = Bgr24;
    EXPECT_FALSE(BgrFrameToYuyv(empty, scratch));
    EXPECT_FALSE(BgrFrameToGrey(empty, scratch));

    ASSERT_TRUE(NativeFrameToBgr(frame, scratch));
    EXPECT_EQ(frame.format, Bgr24);
    EXPECT_EQ(frame.data.size(), 24u);
}

}  // namespace
