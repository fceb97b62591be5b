#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "PictureTestSupport.h"
#include "video/JpegConvert.h"
#include "video/PixelConvert.h"

using namespace processing;
using picture_test::DecodePlanes;
using picture_test::MakeJpeg;
using picture_test::ReferenceYuyv;

namespace {

// The luma plane without TurboJPEG's padding to whole sampling units.
std::vector<uint8_t> Luma(const std::vector<uint8_t>& jpeg) {
    const picture_test::Planes p = DecodePlanes(jpeg);
    std::vector<uint8_t> y;
    for (int row = 0; row < p.height; ++row) {
        const auto start = p.plane[0].begin() + static_cast<std::ptrdiff_t>(row) * p.planeWidth[0];
        y.insert(y.end(), start, start + p.width);
    }
    return y;
}

std::vector<uint8_t> ExpectedNative(const std::vector<uint8_t>& jpeg) {
    const picture_test::Planes p = DecodePlanes(jpeg);
    return p.subsampling == TJSAMP_GRAY ? Luma(jpeg) : ReferenceYuyv(p);
}

std::vector<uint8_t> TurboBgr(const std::vector<uint8_t>& jpeg, int w, int h) {
    std::vector<uint8_t> bgr(static_cast<size_t>(w) * h * 3);
    tjhandle t = tjInitDecompress();
    tjDecompress2(t, jpeg.data(), jpeg.size(), bgr.data(), w, 0, h, TJPF_BGR, 0);
    tjDestroy(t);
    return bgr;
}

class JpegSource : public ::testing::Test {
  protected:
    bool Archive(const std::vector<uint8_t>& payload, int32_t requested, std::span<const uint8_t> aux = {}) {
        return ConvertArchiveJpeg(context, workspace, payload, aux, requested, frame);
    }
    bool Live(const std::vector<uint8_t>& payload, int32_t requested, int32_t frameId,
              std::span<const uint8_t> aux = {}) {
        return ConvertLiveJpeg(context, workspace, state, frameId, frameId * 0.5, payload, aux, requested,
                               frame);
    }
    JpegDecodeContext context;
    PictureWorkspace workspace;
    CameraFrameState state;
    TOrvFrame frame;
};

// 4:4:4 packs only whole groups of four; 4:2:2 and 4:2:0 need a pixel pair
// (and 4:2:0 a row pair) to pack at all.
bool Packable(int subsampling, int w, int h) {
    return !(subsampling == TJSAMP_444 && w % 4 != 0) &&
           !((subsampling == TJSAMP_422 || subsampling == TJSAMP_420) && w < 2) &&
           !(subsampling == TJSAMP_420 && h < 2);
}

// Every subsampling TurboJPEG writes, odd and even sizes (around the 32-pixel vector
// blocks, single rows and columns), through the whole path.
using Case = std::tuple<int, int, int>;  // subsampling, width, height
class EverySubsampling : public JpegSource, public ::testing::WithParamInterface<Case> {};

TEST_P(EverySubsampling, NativeBgrAndGreyAgreeWithPlanarDecode) {
    const auto [subsampling, w, h] = GetParam();
    const auto jpeg = MakeJpeg(w, h, subsampling, w + h);
    const bool colour = subsampling != TJSAMP_GRAY;
    const bool packable = Packable(subsampling, w, h);

    if (!packable) {
        // No picture is a failure, never an empty picture reported as one.
        EXPECT_FALSE(Archive(jpeg, kRequestNative));
        EXPECT_TRUE(frame.data.empty());
        EXPECT_EQ(frame.width, 0);
        EXPECT_EQ(frame.height, 0);
        return;
    }
    ASSERT_TRUE(Archive(jpeg, kRequestNative));
    ASSERT_EQ(frame.width, w);
    ASSERT_EQ(frame.height, h);
    EXPECT_EQ(frame.isColour, colour ? 1 : 0);
    EXPECT_EQ(frame.format, colour ? Yuyv : Grey8);
    const auto native = ExpectedNative(jpeg);
    ASSERT_EQ(frame.data, native);

    ASSERT_TRUE(Archive(jpeg, kRequestBgr));
    EXPECT_EQ(frame.format, Bgr24);
    ASSERT_EQ(frame.data.size(), static_cast<size_t>(w) * h * 3);
    std::vector<uint8_t> bgr(frame.data.size());
    if (colour) {
        YuyvToBgr(native.data(), bgr.data(), w, h);
    } else {
        GreyToBgr(native.data(), bgr.data(), w, h);
    }
    EXPECT_EQ(frame.data, bgr);
    // The chroma handling differs from TurboJPEG's own upsampling, but not by much
    // (except on tiny pictures, where every column is an edge).
    const auto turbo = TurboBgr(jpeg, w, h);
    long diff = 0;
    for (size_t i = 0; i < turbo.size(); ++i) {
        diff += std::abs(int(turbo[i]) - int(frame.data[i]));
    }
    if (w >= 16) {
        EXPECT_LT(static_cast<double>(diff) / static_cast<double>(turbo.size()), 8.0);
    }

    ASSERT_TRUE(Archive(jpeg, kRequestGrey));
    EXPECT_EQ(frame.format, Grey8);
    EXPECT_EQ(frame.data, Luma(jpeg));
}

INSTANTIATE_TEST_SUITE_P(Shapes, EverySubsampling,
                         ::testing::Combine(::testing::Values(TJSAMP_444, TJSAMP_422, TJSAMP_420, TJSAMP_GRAY,
                                                              TJSAMP_440, TJSAMP_411),
                                            ::testing::Values(64, 33, 66, 2, 97, 1),
                                            ::testing::Values(48, 17, 2, 1)));

TEST_P(EverySubsampling, LiveAndArchiveBgrAgree) {
    const auto [subsampling, w, h] = GetParam();
    const auto jpeg = MakeJpeg(w, h, subsampling, 3 * w + h);
    const bool packable = Packable(subsampling, w, h);
    ASSERT_EQ(Archive(jpeg, kRequestBgr), packable);
    const TOrvFrame archive = frame;
    ASSERT_EQ(Live(jpeg, kRequestBgr, 1), packable);
    EXPECT_EQ(frame.data, archive.data);
    EXPECT_EQ(frame.width, archive.width);
    EXPECT_EQ(frame.isColour, archive.isColour);
    EXPECT_EQ(frame.format, Bgr24);
    EXPECT_EQ(archive.format, Bgr24);
}

// A live picture decoded straight from its JPEG goes into the caller's buffer
// when it fits, with the bytes the record would have held; when it does not fit,
// into the record. Either way the camera keeps the JPEG for a later empty payload.
TEST_F(JpegSource, LivePictureGoesIntoTheCallersBufferWhenItFits) {
    const int w = 66, h = 17;
    const auto jpeg = MakeJpeg(w, h, TJSAMP_420, 5);
    int32_t id = 0;
    for (const int32_t requested : {kRequestNative, kRequestBgr, kRequestGrey}) {
        ASSERT_TRUE(Archive(jpeg, requested));
        const TOrvFrame expected = frame;
        ASSERT_FALSE(expected.data.empty());
        for (const bool fits : {true, false}) {
            std::vector<uint8_t> buffer(expected.data.size() - (fits ? 0 : 1), 0xEE);
            workspace.outside = buffer;
            ASSERT_TRUE(Live(jpeg, requested, ++id));
            workspace.outside = {};
            SCOPED_TRACE(::testing::Message() << "request " << requested << (fits ? " fits" : " too small"));
            EXPECT_EQ(frame.format, expected.format);
            EXPECT_EQ(frame.width, w);
            EXPECT_EQ(frame.height, h);
            if (fits) {
                EXPECT_EQ(workspace.inOutside, expected.data.size());
                EXPECT_TRUE(frame.data.empty());
                EXPECT_EQ(buffer, expected.data);
            } else {
                EXPECT_EQ(workspace.inOutside, 0u);
                EXPECT_EQ(frame.data, expected.data);
                EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xEE; }));
            }
            EXPECT_TRUE(state.pictureIsJpeg);
        }
    }
    ASSERT_TRUE(Live({}, kRequestBgr, ++id));  // the kept JPEG gives the picture again
    EXPECT_EQ(workspace.inOutside, 0u);
    ASSERT_TRUE(Archive(jpeg, kRequestBgr));
    const auto archiveBgr = frame.data;
    ASSERT_TRUE(Live({}, kRequestBgr, ++id));
    EXPECT_EQ(frame.data, archiveBgr);
}

TEST_F(JpegSource, GreyJpegAsBgrHasThreeEqualBytesAndAsGreyStaysGrey) {
    const auto jpeg = MakeJpeg(40, 30, TJSAMP_GRAY);
    ASSERT_TRUE(Archive(jpeg, kRequestBgr));
    ASSERT_EQ(frame.format, Bgr24);
    ASSERT_EQ(frame.data.size(), 40u * 30 * 3);
    bool anyNonZero = false;
    for (size_t i = 0; i < frame.data.size(); i += 3) {
        ASSERT_EQ(frame.data[i], frame.data[i + 1]);
        ASSERT_EQ(frame.data[i], frame.data[i + 2]);
        anyNonZero |= frame.data[i] != 0;
    }
    EXPECT_TRUE(anyNonZero);
    ASSERT_TRUE(Archive(jpeg, kRequestGrey));
    EXPECT_EQ(frame.format, Grey8);
    EXPECT_EQ(frame.isColour, 0);
    EXPECT_EQ(frame.data.size(), 40u * 30);
}

TEST_F(JpegSource, PassThroughFormats) {
    const auto jpeg = MakeJpeg(48, 32, TJSAMP_420);
    ASSERT_TRUE(Archive(jpeg, kRequestRaw));
    EXPECT_EQ(frame.format, Raw);
    EXPECT_EQ(frame.data, jpeg);
    EXPECT_EQ(frame.width, 0);

    ASSERT_TRUE(Archive(jpeg, kRequestJpeg));
    EXPECT_EQ(frame.format, Jpeg);
    EXPECT_EQ(frame.data, jpeg);
    EXPECT_EQ(frame.width, 48);
    EXPECT_EQ(frame.height, 32);
    EXPECT_EQ(frame.isColour, TJSAMP_420);  // the subsampling code, not a colour flag
    EXPECT_EQ(context.Width(), 48);

    ASSERT_TRUE(Archive(jpeg, kRequestJpegOrNative));
    EXPECT_EQ(frame.format, Jpeg);
    const uint8_t aux[] = {1, 2, 3};
    ASSERT_TRUE(Archive(jpeg, kRequestJpegOrNative, aux));
    EXPECT_EQ(frame.format, Yuyv);
    EXPECT_EQ(frame.isColour, 1);

    frame.format = Bgr24;
    frame.data = {9};
    ASSERT_TRUE(Archive(jpeg, 5));  // not a JPEG-source format: record untouched
    EXPECT_EQ(frame.format, Bgr24);
    EXPECT_EQ(frame.data, std::vector<uint8_t>{9});

    ASSERT_TRUE(Archive({}, kRequestJpeg));  // empty payload skips the header
    EXPECT_EQ(frame.format, Jpeg);
    EXPECT_TRUE(frame.data.empty());
}

TEST_F(JpegSource, UnreadableHeaderAndUndecodableDataBothFail) {
    const std::vector<uint8_t> garbage = {0xFF, 0xD8, 0xFF, 0x00, 0x11, 0x22};
    for (const int32_t requested : {kRequestJpeg, kRequestNative, kRequestBgr, kRequestGrey}) {
        EXPECT_FALSE(Archive(garbage, requested)) << requested;
        EXPECT_FALSE(Live(garbage, requested, 3)) << requested;
    }
    EXPECT_TRUE(Archive(garbage, kRequestRaw));

    auto truncated = MakeJpeg(64, 64, TJSAMP_420);
    truncated.resize(truncated.size() / 2);
    frame.data.assign(100, 7);
    EXPECT_FALSE(Archive(truncated, kRequestBgr));
    EXPECT_TRUE(frame.data.empty());
    EXPECT_EQ(frame.width, 0);
    EXPECT_EQ(frame.height, 0);
}

TEST_F(JpegSource, OversizedHeaderIsPassedOnButNotDecoded) {
    auto jpeg = MakeJpeg(16, 16, TJSAMP_420);
    // Patch the frame header's height and width to 20000 x 20000.
    for (size_t i = 0; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = 0x4E, jpeg[i + 6] = 0x20, jpeg[i + 7] = 0x4E, jpeg[i + 8] = 0x20;
            break;
        }
    }
    ASSERT_TRUE(Archive(jpeg, kRequestJpeg));
    EXPECT_EQ(frame.width, 20000);
    EXPECT_FALSE(Archive(jpeg, kRequestNative));
    EXPECT_TRUE(frame.data.empty());
    EXPECT_EQ(frame.width, 0);
}

TEST_F(JpegSource, LiveEmptyPayloadReusesLastPictureAndStateTracksFrames) {
    const auto jpeg = MakeJpeg(64, 32, TJSAMP_422);
    ASSERT_TRUE(Live(jpeg, kRequestJpeg, 4));
    EXPECT_EQ(state.lastFrameId, 0);  // passed on as received: state untouched

    ASSERT_TRUE(Live(jpeg, kRequestNative, 5));
    EXPECT_EQ(state.lastFrameId, 5);
    EXPECT_DOUBLE_EQ(state.lastTime, 2.5);
    EXPECT_EQ(state.width, 64);
    EXPECT_EQ(state.isColour, 1);
    const auto first = frame.data;
    ASSERT_EQ(first, ExpectedNative(jpeg));
    ASSERT_TRUE(state.picture);

    frame = TOrvFrame{};
    ASSERT_TRUE(Live({}, kRequestNative, 6));
    EXPECT_EQ(state.lastFrameId, 6);
    EXPECT_EQ(frame.data, first);
    EXPECT_EQ(*state.picture, first);
    EXPECT_EQ(frame.width, 64);
    EXPECT_EQ(frame.format, Yuyv);

    ASSERT_TRUE(Live({}, kRequestGrey, 7));
    EXPECT_EQ(frame.format, Grey8);
    EXPECT_EQ(frame.data.size(), 64u * 32);
    EXPECT_EQ(*state.picture, first);  // the conversion worked on the record's copy
}

TEST_F(JpegSource, UnpackablePictureNeverDeliversThePreviousOne) {
    ASSERT_TRUE(Live(MakeJpeg(64, 32, TJSAMP_420), kRequestNative, 1));
    ASSERT_FALSE(frame.data.empty());
    // 4:4:4 of a width that is not a multiple of 4 cannot be packed.
    for (const int32_t requested : {kRequestNative, kRequestBgr, kRequestGrey}) {
        ASSERT_FALSE(Live(MakeJpeg(66, 32, TJSAMP_444), requested, 2));
        EXPECT_TRUE(frame.data.empty()) << requested;
        EXPECT_EQ(frame.width, 0);
        EXPECT_EQ(frame.height, 0);
    }
    EXPECT_EQ(state.width, 0);
    ASSERT_FALSE(Live({}, kRequestNative, 3));
    EXPECT_TRUE(frame.data.empty());
}

TEST(JpegDecode, ResultCodesAndTargetSizeRule) {
    JpegDecodeContext ctx;
    const auto j444 = MakeJpeg(64, 16, TJSAMP_444);
    std::vector<uint8_t> target(64 * 16 * 2);
    // A packed 4:4:4 picture needs 2 bytes per pixel, not the planar 3.
    EXPECT_EQ(ctx.DecodeToPacked(j444.data(), j444.size(), target.data(), target.size()), kDecodeOk);
    EXPECT_EQ(ctx.DecodeToPacked(j444.data(), j444.size(), target.data(), target.size() - 1),
              kDecodeTargetTooSmall);
    const auto j444odd = MakeJpeg(62, 16, TJSAMP_444);
    EXPECT_EQ(ctx.DecodeToPacked(j444odd.data(), j444odd.size(), target.data(), target.size()),
              kDecodeFailed);
    const auto thin420 = MakeJpeg(16, 1, TJSAMP_420);
    EXPECT_EQ(ctx.DecodeToPacked(thin420.data(), thin420.size(), target.data(), target.size()),
              kDecodePackFailed);
    const auto narrow422 = MakeJpeg(1, 16, TJSAMP_422);
    EXPECT_EQ(ctx.DecodeToPacked(narrow422.data(), narrow422.size(), target.data(), target.size()),
              kDecodePackFailed);
    const auto grey = MakeJpeg(30, 10, TJSAMP_GRAY);  // width not a multiple of 4: rows stay unpadded
    EXPECT_EQ(ctx.DecodeToPacked(grey.data(), grey.size(), target.data(), 300), kDecodeOk);
    EXPECT_EQ(std::vector<uint8_t>(target.begin(), target.begin() + 300), Luma(grey));
    std::vector<uint8_t> bgr(64 * 16 * 3);
    EXPECT_EQ(ctx.DecodeToBgr(j444.data(), j444.size(), bgr.data(), bgr.size() - 1), kDecodeTargetTooSmall);
    EXPECT_EQ(ctx.DecodeToBgr(j444odd.data(), j444odd.size(), bgr.data(), bgr.size()), kDecodeFailed);
    EXPECT_EQ(ctx.DecodeToBgr(thin420.data(), thin420.size(), bgr.data(), bgr.size()), kDecodePackFailed);
    EXPECT_EQ(ctx.DecodeToGrey(j444.data(), j444.size(), target.data(), 64 * 16 - 1), kDecodeTargetTooSmall);
    EXPECT_EQ(ctx.DecodeToGrey(j444odd.data(), j444odd.size(), target.data(), target.size()), kDecodeFailed);
    EXPECT_EQ(ctx.DecodeToGrey(thin420.data(), thin420.size(), target.data(), target.size()), kDecodePackFailed);
    const uint8_t junk[] = {1, 2, 3, 4};
    EXPECT_EQ(ctx.DecodeToPacked(junk, sizeof junk, target.data(), target.size()), kDecodeFailed);

    JpegDecodeContext other;
    EXPECT_NE(ctx.Serial(), other.Serial());
}

// A context remembers the last header it read. Whatever came before, a read must
// give exactly what a fresh context gives: pictures of other sizes with headers of
// the same length, damaged headers, damage after the scan header, a picture cut
// inside its header.
TEST(JpegDecode, RememberedHeaderGivesWhatAFreshReadGives) {
    const std::vector<std::vector<uint8_t>> pictures = {
        MakeJpeg(64, 48, TJSAMP_420), MakeJpeg(48, 64, TJSAMP_420), MakeJpeg(64, 48, TJSAMP_444),
        MakeJpeg(64, 48, TJSAMP_GRAY), MakeJpeg(64, 48, TJSAMP_420, 7, 50)};
    JpegDecodeContext warm;
    uint32_t rng = 12345;
    const auto next = [&rng] { return rng = rng * 1664525u + 1013904223u; };
    int read = 0;
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> jpeg = pictures[next() % pictures.size()];
        switch (next() % 4) {
            case 0:
                break;  // as made
            case 1:     // a byte of the header part changed
                jpeg[2 + next() % 700] ^= static_cast<uint8_t>(1u << (next() % 8));
                break;
            case 2:  // a byte anywhere changed
                jpeg[next() % jpeg.size()] = static_cast<uint8_t>(next());
                break;
            default:  // cut short
                jpeg.resize(next() % 800);
                break;
        }
        JpegDecodeContext fresh;
        const bool expected = fresh.ReadHeader(jpeg.data(), jpeg.size());
        ASSERT_EQ(warm.ReadHeader(jpeg.data(), jpeg.size()), expected) << i;
        ASSERT_EQ(warm.Width(), fresh.Width()) << i;
        ASSERT_EQ(warm.Height(), fresh.Height()) << i;
        ASSERT_EQ(warm.Subsampling(), fresh.Subsampling()) << i;
        read += expected ? 1 : 0;
    }
    EXPECT_GT(read, 1000);  // the remembered path was taken, not only failures
}

}  // namespace
