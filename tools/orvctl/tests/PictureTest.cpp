#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "Picture.h"
#include "PictureCheck.h"
#include "TempDir.h"

namespace orvctl {
namespace {

struct LayoutCase {
    std::vector<uint8_t> bytes;
    int width;
    int height;
    PixelLayout expected;
};

class DetectLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(DetectLayoutTest, DecidesByContentAndSize) {
    const LayoutCase& c = GetParam();
    EXPECT_EQ(DetectLayout(c.bytes.data(), c.bytes.size(), c.width, c.height), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectLayoutTest,
    ::testing::Values(LayoutCase{{0xFF, 0xD8, 0xFF, 0xE0}, 0, 0, PixelLayout::Jpeg},  // sizes not needed
                      LayoutCase{std::vector<uint8_t>(4 * 2 * 3), 4, 2, PixelLayout::Bgr},
                      LayoutCase{std::vector<uint8_t>(4 * 2 * 2), 4, 2, PixelLayout::Yuyv},
                      LayoutCase{std::vector<uint8_t>(4 * 2), 4, 2, PixelLayout::Grey},
                      LayoutCase{std::vector<uint8_t>(4 * 2 * 3 - 1), 4, 2, PixelLayout::Unknown},
                      LayoutCase{std::vector<uint8_t>(24), 0, 2, PixelLayout::Unknown},
                      LayoutCase{std::vector<uint8_t>(24), -4, -2, PixelLayout::Unknown},
                      LayoutCase{{0xFF, 0xD8}, 1, 2, PixelLayout::Grey},  // too short for a JPEG marker
                      LayoutCase{{}, 0, 0, PixelLayout::Unknown}));

TEST(PictureConvert, YuyvToRgbUsesFullRangeYcbcr) {
    // Pixel pair 1: grey (U=V=128). Pixel pair 2: pure red in JPEG YCbCr (76, 85, 255).
    const std::vector<uint8_t> yuyv{100, 128, 200, 128, 76, 85, 76, 255};
    const std::vector<uint8_t> rgb = YuyvToRgb(yuyv.data(), 4, 1);
    ASSERT_EQ(rgb.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 6),
              (std::vector<uint8_t>{100, 100, 100, 200, 200, 200}));
    EXPECT_GE(rgb[6], 250);  // red
    EXPECT_LE(rgb[7], 2);
    EXPECT_LE(rgb[8], 2);
    EXPECT_EQ(rgb[6], rgb[9]);  // both pixels of a pair share the chroma
}

TEST(PictureConvert, YuyvOddWidthStaysInsideEachRow) {
    // 3x2: the last pixel of each row has U but no V of its own; rows must not bleed.
    const std::vector<uint8_t> yuyv{10, 128, 20, 128, 30, 128, 40, 128, 50, 128, 60, 128};
    const std::vector<uint8_t> rgb = YuyvToRgb(yuyv.data(), 3, 2);
    ASSERT_EQ(rgb.size(), 18u);
    EXPECT_EQ(rgb[6], 30);
    EXPECT_EQ(rgb[9], 40);  // first pixel of row 2 is Y=40, not the neighbour row's bytes
    EXPECT_EQ(rgb[15], 60);
}

TEST(PictureConvert, BgrAndGreyConversions) {
    const std::vector<uint8_t> bgr{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(BgrToRgb(bgr.data(), 2, 1), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
    const std::vector<uint8_t> yuyv{11, 0, 22, 0, 33, 0, 44, 0};
    EXPECT_EQ(YuyvToGrey(yuyv.data(), 2, 2), (std::vector<uint8_t>{11, 22, 33, 44}));
}

class SavePictureTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::MakeTempDir("orvctl-picture"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (std::filesystem::path(dir_) / name).string(); }

    std::string dir_;
};

TEST_F(SavePictureTest, BgrBecomesAnRgbPngWithTheSamePixels) {
    const int w = 5;  // odd width: rows are not padded
    const int h = 3;
    std::vector<uint8_t> bgr(static_cast<size_t>(w * h * 3));
    for (size_t i = 0; i < bgr.size(); ++i) {
        bgr[i] = static_cast<uint8_t>(i * 7);
    }
    SavePicture(Path("a.png"), bgr.data(), bgr.size(), w, h, PixelLayout::Bgr, false);
    test::DecodedPicture png;
    std::string error;
    ASSERT_TRUE(test::DecodePngFile(Path("a.png"), png, error)) << error;
    ASSERT_EQ(png.channels, 3);
    ASSERT_EQ(png.width, w);
    ASSERT_EQ(png.height, h);
    for (size_t p = 0; p < static_cast<size_t>(w * h); ++p) {
        ASSERT_EQ(png.pixels[p * 3], bgr[p * 3 + 2]) << p;
        ASSERT_EQ(png.pixels[p * 3 + 2], bgr[p * 3]) << p;
    }
}

TEST_F(SavePictureTest, GreyStaysGreyAndYuyvCanBeSavedAsGrey) {
    const std::vector<uint8_t> grey{0, 64, 128, 255};
    SavePicture(Path("g.png"), grey.data(), grey.size(), 2, 2, PixelLayout::Grey, false);
    const std::vector<uint8_t> yuyv{9, 128, 8, 128, 7, 128, 6, 128};
    SavePicture(Path("y.png"), yuyv.data(), yuyv.size(), 2, 2, PixelLayout::Yuyv, true);
    test::DecodedPicture png;
    std::string error;
    ASSERT_TRUE(test::DecodePngFile(Path("g.png"), png, error)) << error;
    EXPECT_EQ(png.channels, 1);
    EXPECT_EQ(png.pixels, grey);
    ASSERT_TRUE(test::DecodePngFile(Path("y.png"), png, error)) << error;
    EXPECT_EQ(png.channels, 1);
    EXPECT_EQ(png.pixels, (std::vector<uint8_t>{9, 8, 7, 6}));
}

TEST_F(SavePictureTest, JpegIsWrittenUnchanged) {
    const std::vector<uint8_t> bytes{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
    SavePicture(Path("p.jpg"), bytes.data(), bytes.size(), 0, 0, PixelLayout::Jpeg, false);
    EXPECT_EQ(std::filesystem::file_size(Path("p.jpg")), bytes.size());
}

TEST_F(SavePictureTest, RefusesWhatIsNotAPictureAndUnwritablePaths) {
    const std::vector<uint8_t> bytes(10);
    EXPECT_THROW(SavePicture(Path("x.png"), bytes.data(), bytes.size(), 3, 3, PixelLayout::Unknown, false),
                 std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(Path("x.png")));
    EXPECT_THROW(SavePicture(Path("missing/dir/x.png"), bytes.data(), 9, 3, 3, PixelLayout::Grey, false),
                 std::runtime_error);
    EXPECT_THROW(WritePng(Path("z.png"), bytes.data(), 0, 3, 1), std::runtime_error);
}

}  // namespace
}  // namespace orvctl
