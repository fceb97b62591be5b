// The plug-in's picture splitting and pixel packing, tested directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "AccessUnits.h"
#include "StreamDecoder.h"
#include "TestStreams.h"
#include "pixel/PlanarPacking.h"
#include "video/DecoderApi.h"

namespace {

using vevid::PacketSpan;
using vevid::StreamKind;

struct SplitCase {
    const char* name;
    StreamKind kind;
    std::vector<uint8_t> data;
    // Expected packets as (offset, size, picture).
    std::vector<PacketSpan> packets;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitPictures : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPictures, PacketsMatch) {
    std::vector<PacketSpan> out;
    const auto& c = GetParam();
    EXPECT_EQ(vevid::SplitPictures(c.kind, c.data.data(), c.data.size(), out), c.packets.size());
    ASSERT_EQ(out.size(), c.packets.size());
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].offset, c.packets[i].offset) << i;
        EXPECT_EQ(out[i].size, c.packets[i].size) << i;
        EXPECT_EQ(out[i].picture, c.packets[i].picture) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SplitPictures,
    ::testing::Values(
        // VOS, VOL, VOP | VOP | GOV, VOP
        SplitCase{"Mpeg4HeadersStayWithTheirVop", StreamKind::Mpeg4,
                  {0, 0, 1, 0xB0, 1, 0, 0, 1, 0x20, 8, 0, 0, 1, 0xB6, 9, 9, 0, 0, 1, 0xB6, 7, 0, 0, 1, 0xB3, 0, 0, 1,
                   0xB6, 5},
                  {{0, 16, true}, {16, 5, true}, {21, 9, true}}},
        SplitCase{"LeadingBytesSkipped", StreamKind::Mpeg4, {9, 9, 9, 0, 0, 1, 0xB6, 1}, {{3, 5, true}}},
        SplitCase{"HeadersOnly", StreamKind::Mpeg4, {0, 0, 1, 0xB0, 1, 0, 0, 1, 0x20}, {{0, 9, false}}},
        SplitCase{"NoStartCode", StreamKind::Avc, {0, 0, 2, 0, 0, 0, 5, 1, 1}, {}},
        SplitCase{"TooShort", StreamKind::Avc, {0, 0}, {}},
        // SPS PPS IDR(first_mb 0) | slice(first_mb 0, 3-byte code) | slice(first_mb 0) slice(first_mb != 0)
        SplitCase{"AvcPictureBoundaries", StreamKind::Avc,
                  {0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41, 0x9A, 0, 0, 0, 1,
                   0x41, 0x80, 0, 0, 1, 0x41, 0x40},
                  {{0, 18, true}, {18, 5, true}, {23, 11, true}}},
        // AUD and SEI open the next picture; a data partition continues it.
        SplitCase{"AvcAudSeiAndPartitions", StreamKind::Avc,
                  {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x65, 0x80, 0, 0, 1, 0x02, 0x80, 0, 0, 0, 1, 0x06, 5, 0, 0, 1,
                   0x41, 0x80},
                  {{0, 16, true}, {16, 11, true}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindStartCode, FindsEveryCodeOnce) {
    std::vector<uint8_t> data(1000, 0x7F);
    const std::vector<size_t> at = {0, 3, 200, 998 - 1};
    for (size_t p : at) data[p] = data[p + 1] = 0, data[p + 2] = 1;
    data[500] = 0;  // lone zeros and a 00 01 do not count
    data[600] = 0, data[601] = 1;
    std::vector<size_t> found;
    for (size_t p = vevid::FindStartCode(data.data(), data.size(), 0); p < data.size();
         p = vevid::FindStartCode(data.data(), data.size(), p + 3))
        found.push_back(p);
    EXPECT_EQ(found, at);
}

// The expansion as written down: luma (Y - 16) * 255 / 219, chroma
// (C - 128) * 255 / 224 + 128, rounded half away from zero and clamped.
uint8_t Expected(uint8_t s, bool chroma, pixel::SampleRange range) {
    if (range == pixel::SampleRange::Full) return s;
    const double v = chroma ? (s - 128) * 255.0 / 224.0 + 128.0 : (s - 16) * 255.0 / 219.0;
    const double rounded = chroma ? 128.0 + static_cast<double>(std::lround(v - 128.0)) : static_cast<double>(std::lround(v));
    return static_cast<uint8_t>(std::clamp(rounded, 0.0, 255.0));
}

struct PackCase {
    int width;
    int height;
    int chromaShiftY;
    pixel::SampleRange range;
};

void PrintTo(const PackCase& c, std::ostream* os) {
    *os << c.width << "x" << c.height << "/" << c.chromaShiftY << (c.range == pixel::SampleRange::Full ? "/full" : "/limited");
}

class PackYuyv : public ::testing::TestWithParam<PackCase> {};

// Against a per-pixel reference, with padded strides and odd sizes; the sample
// values run through all 256 codes.
TEST_P(PackYuyv, MatchesReference) {
    const auto [width, height, shift, range] = GetParam();
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = shift ? (height + 1) / 2 : height;
    const ptrdiff_t yStride = width + 13, cStride = chromaWidth + 7;
    std::vector<uint8_t> y(yStride * height), u(cStride * chromaHeight), v(cStride * chromaHeight);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(i * 7 + 3);
    for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<uint8_t>(i * 11 + 1), v[i] = static_cast<uint8_t>(i * 5 + 9);
    const size_t rowBytes = static_cast<size_t>(width) * 2;
    std::vector<uint8_t> out(rowBytes * height + 16, 0xEE);
    pixel::PackYuyv({y.data(), u.data(), v.data(), yStride, cStride, cStride, width, height, 1, shift}, range, out.data());
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const uint8_t* px = &out[row * rowBytes + col * 2];
            ASSERT_EQ(px[0], Expected(y[row * yStride + col], false, range)) << row << "," << col;
            const ptrdiff_t c = (row >> shift) * cStride + col / 2;
            ASSERT_EQ(px[1], Expected(col % 2 == 0 ? u[c] : v[c], true, range)) << row << "," << col;
        }
    }
    for (size_t i = rowBytes * height; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << "wrote past the picture";

    // Grey: the luma plane alone, expanded the same way.
    std::vector<uint8_t> grey(static_cast<size_t>(width) * height + 16, 0xEE);
    pixel::PackGrey(y.data(), yStride, width, height, range, grey.data());
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col)
            ASSERT_EQ(grey[row * width + col], Expected(y[row * yStride + col], false, range)) << row << "," << col;
    for (size_t i = static_cast<size_t>(width) * height; i < grey.size(); ++i) ASSERT_EQ(grey[i], 0xEE);
}

constexpr auto kFull = pixel::SampleRange::Full;
constexpr auto kLimited = pixel::SampleRange::Limited;
INSTANTIATE_TEST_SUITE_P(Sizes, PackYuyv,
                         ::testing::Values(PackCase{1920, 4, 1, kFull}, PackCase{176, 144, 1, kFull},
                                           PackCase{33, 7, 1, kFull}, PackCase{1, 1, 1, kFull},
                                           PackCase{64, 9, 0, kFull}, PackCase{35, 3, 0, kFull},
                                           PackCase{1920, 4, 1, kLimited}, PackCase{33, 7, 1, kLimited},
                                           PackCase{1, 1, 1, kLimited}, PackCase{35, 3, 0, kLimited}));

// Steady state: the chunk buffer is reused block after block, for streams with
// and without pictures held back for reordering.
TEST(StreamDecoder, ChunkBufferIsReusedAcrossBlocks) {
    for (int variant = 0; variant < 4; ++variant) {
        const bool avc = variant >= 2;
        const int bFrames = (variant % 2) * 2;
        if (avc && !dectest::EncoderAvailable("libx264")) continue;
        dectest::EncodeSettings s;
        s.encoder = avc ? "libx264" : "mpeg4";
        s.frames = 40;
        s.gop = 4;
        s.bFrames = bFrames;
        const auto stream = dectest::Encode(s);
        ASSERT_TRUE(stream.ok);
        auto decoder = vevid::StreamDecoder::Create(avc ? decoder_abi::kCodecAvc : decoder_abi::kCodecMpeg4);
        ASSERT_TRUE(decoder);
        const auto starts = dectest::BlockStarts(stream, true, 0);
        std::vector<uint8_t> picture(s.width * s.height * 2);
        int pictures = 0;
        for (int round = 0; round < 3; ++round) {
            for (size_t b = 0; b + 1 < starts.size(); ++b) {
                const auto block = dectest::Block(stream, starts[b], starts[b + 1] - starts[b]);
                ASSERT_EQ(decoder->SetBytes(block.data(), static_cast<int32_t>(block.size()), false, true), 0);
                int32_t w = 0, h = 0, f = 0;
                while (decoder->FrameInfo(w, h, f) == 0 && decoder->Frame(picture.data(), picture.size()) == 0)
                    ++pictures;
            }
        }
        EXPECT_EQ(pictures, 3 * 40) << s.encoder << ", B-frames " << bFrames;
        EXPECT_LE(decoder->ChunkAllocations(), 3) << s.encoder << ", B-frames " << bFrames;
    }
}

}  // namespace
