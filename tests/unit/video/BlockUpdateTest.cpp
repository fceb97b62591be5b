#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "PictureTestSupport.h"
#include "video/BlockUpdate.h"
#include "video/JpegConvert.h"

using namespace processing;
using picture_test::MakeJpeg;

namespace {

void PutInt32(std::vector<uint8_t>& out, int32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    }
}

std::vector<uint8_t> MakeAux(const std::vector<uint8_t>& mask, int32_t bw, int32_t bh, int32_t width,
                             int32_t height, const std::vector<uint8_t>& jpeg,
                             std::optional<int32_t> maskLength = std::nullopt) {
    std::vector<uint8_t> aux = {0xF3, 0xC9};
    PutInt32(aux, maskLength.value_or(static_cast<int32_t>(mask.size())));
    PutInt32(aux, bw);
    PutInt32(aux, bh);
    PutInt32(aux, width);
    PutInt32(aux, height);
    aux.insert(aux.end(), mask.begin(), mask.end());
    aux.insert(aux.end(), jpeg.begin(), jpeg.end());
    return aux;
}

std::vector<uint8_t> MaskWith(std::initializer_list<int> blocks, size_t bytes) {
    std::vector<uint8_t> mask(bytes, 0);
    for (const int b : blocks) {
        mask[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    }
    return mask;
}

// Direct application on synthetic grey pictures: exact bytes.
class ApplyUpdate : public ::testing::Test {
  protected:
    static constexpr int kWidth = 640, kHeight = 24;  // 80 x 3 blocks
    void SetUp() override {
        full.assign(kWidth * kHeight, 0);
        source.resize(16 * 8);  // BW 2, BH 1
        for (size_t i = 0; i < source.size(); ++i) {
            source[i] = static_cast<uint8_t>(1 + i % 127 + (i % 16 >= 8 ? 128 : 0));
        }
    }
    bool Apply(const std::vector<uint8_t>& aux, int sourceWidth = 16, int sourceHeight = 8,
               int sourceBpp = 1) {
        const auto update = ParseBlockUpdate(aux, kWidth, kHeight);
        if (!update) {
            return false;
        }
        return ApplyBlockUpdate(*update, aux,
                                {source.data(), source.size(), sourceWidth, sourceHeight, sourceBpp},
                                {full.data(), full.size(), kWidth, kHeight, 1});
    }
    // True when 8x8 block (col, row) of the full picture equals block `index` of the source.
    bool BlockCopied(int col, int row, int index) const {
        for (int y = 0; y < 8; ++y) {
            if (std::memcmp(&full[(row * 8 + y) * kWidth + col * 8], &source[y * 16 + index * 8], 8) != 0) {
                return false;
            }
        }
        return true;
    }
    size_t ChangedBytes() const { return full.size() - std::count(full.begin(), full.end(), 0); }
    std::vector<uint8_t> full, source;
};

TEST_F(ApplyUpdate, MaskBitAddressesColumnModEightyAndRowDivEighty) {
    // Block 85 of a 640-wide picture is column 5 of block row 1; block 239 the last one.
    ASSERT_TRUE(Apply(MakeAux(MaskWith({85, 239}, 30), 2, 1, kWidth, kHeight, {})));
    EXPECT_TRUE(BlockCopied(5, 1, 0));
    EXPECT_TRUE(BlockCopied(79, 2, 1));
    EXPECT_EQ(ChangedBytes(), 128u);
}

TEST_F(ApplyUpdate, StopsAfterBwTimesBhBlocks) {
    ASSERT_TRUE(Apply(MakeAux(MaskWith({0, 3, 7}, 1), 2, 1, kWidth, kHeight, {})));
    EXPECT_TRUE(BlockCopied(0, 0, 0));
    EXPECT_TRUE(BlockCopied(3, 0, 1));
    EXPECT_EQ(ChangedBytes(), 128u);  // block 7 not touched
}

TEST_F(ApplyUpdate, RefusesWhatWouldReachOutsideEitherPicture) {
    // A marked block beyond the 240 blocks of the picture.
    EXPECT_FALSE(Apply(MakeAux(MaskWith({2, 240}, 31), 2, 1, kWidth, kHeight, {})));
    // Update picture narrower or lower than BW x BH blocks.
    EXPECT_FALSE(Apply(MakeAux(MaskWith({1, 2}, 1), 3, 1, kWidth, kHeight, {})));
    EXPECT_FALSE(Apply(MakeAux(MaskWith({1, 2}, 1), 2, 2, kWidth, kHeight, {})));
    // Different bytes per pixel (a colour update on a grey picture).
    EXPECT_FALSE(Apply(MakeAux(MaskWith({1}, 1), 1, 1, kWidth, kHeight, {}), 8, 8, 2));
    // Zero or negative block counts.
    EXPECT_FALSE(Apply(MakeAux(MaskWith({1}, 1), 0, 1, kWidth, kHeight, {})));
    EXPECT_FALSE(Apply(MakeAux(MaskWith({1}, 1), -2, -1, kWidth, kHeight, {})));
    EXPECT_EQ(ChangedBytes(), 0u);
}

TEST(ParseUpdate, AcceptsOnlyWellFormedMatchingHeaders) {
    const auto good = MakeAux({1}, 1, 1, 64, 32, {0xFF, 0xD8});
    EXPECT_TRUE(ParseBlockUpdate(good, 64, 32).has_value());
    EXPECT_EQ(BlockUpdateJpeg(*ParseBlockUpdate(good, 64, 32), good).size(), 2u);
    EXPECT_FALSE(ParseBlockUpdate(good, 64, 48));                               // other picture size
    EXPECT_FALSE(ParseBlockUpdate(MakeAux({}, 1, 1, 64, 32, {}), 64, 32));      // 22 bytes, mask length 0
    EXPECT_FALSE(ParseBlockUpdate(MakeAux({1}, 1, 1, 64, 32, {}, 2), 64, 32));  // mask longer than the data
    EXPECT_FALSE(ParseBlockUpdate(MakeAux({1}, 1, 1, 64, 32, {}, -1000), 64, 32));
    auto badMarker = good;
    badMarker[1] = 0xC8;
    EXPECT_FALSE(ParseBlockUpdate(badMarker, 64, 32));
    EXPECT_FALSE(ParseBlockUpdate(std::span(good).first(21), 64, 32));
}

// Through the live JPEG path.
class LiveUpdate : public ::testing::Test {
  protected:
    static constexpr int kW = 640, kH = 48;
    void SetUp() override {
        fullJpeg = MakeJpeg(kW, kH, TJSAMP_420, 3);
        updateJpeg = MakeJpeg(16, 8, TJSAMP_420, 99);
        plain = Decode(fullJpeg);
        patch = Decode(updateJpeg);
        ASSERT_TRUE(ConvertLiveJpeg(context, ws, state, 1, 1.0, fullJpeg, {}, kRequestNative, frame));
        ASSERT_EQ(frame.data, plain);
    }
    std::vector<uint8_t> Decode(const std::vector<uint8_t>& jpeg) {
        JpegDecodeContext c;
        c.ReadHeader(jpeg.data(), jpeg.size());
        std::vector<uint8_t> out(c.PackedSize());
        EXPECT_EQ(c.DecodeToPacked(jpeg.data(), jpeg.size(), out.data(), out.size()), kDecodeOk);
        return out;
    }
    bool SendUpdate(const std::vector<uint8_t>& aux, int32_t requested = kRequestNative) {
        return ConvertLiveJpeg(context, ws, state, 2, 2.0, {}, aux, requested, frame);
    }
    // Expected picture: plain with update block `index` at full-picture block `block`.
    std::vector<uint8_t> Patched(std::initializer_list<std::pair<int, int>> blockToIndex) const {
        auto out = plain;
        for (const auto& [block, index] : blockToIndex) {
            const int col = block % (kW / 8), row = block / (kW / 8);
            for (int y = 0; y < 8; ++y) {
                std::memcpy(&out[((row * 8 + y) * kW + col * 8) * 2], &patch[(y * 16 + index * 8) * 2], 16);
            }
        }
        return out;
    }
    JpegDecodeContext context;
    PictureWorkspace ws;
    CameraFrameState state;
    TOrvFrame frame;
    std::vector<uint8_t> fullJpeg, updateJpeg, plain, patch;
};

TEST_F(LiveUpdate, EmptyPayloadWithUpdatePatchesLastPictureButNotTheStoredOne) {
    ASSERT_TRUE(SendUpdate(MakeAux(MaskWith({81, 400}, 60), 2, 1, kW, kH, updateJpeg)));
    EXPECT_EQ(frame.format, Yuyv);
    EXPECT_EQ(frame.width, kW);
    EXPECT_EQ(frame.data, Patched({{81, 0}, {400, 1}}));
    EXPECT_EQ(*state.picture, plain);
    EXPECT_EQ(state.lastFrameId, 2);
}

TEST_F(LiveUpdate, RequestSevenWithUpdateDeliversNativePicture) {
    ASSERT_TRUE(SendUpdate(MakeAux(MaskWith({0, 1}, 1), 2, 1, kW, kH, updateJpeg), kRequestJpegOrNative));
    EXPECT_EQ(frame.format, Yuyv);
    EXPECT_EQ(frame.data, Patched({{0, 0}, {1, 1}}));
}

TEST_F(LiveUpdate, UnsuitableUpdatesDeliverThePlainPicture) {
    const std::vector<std::vector<uint8_t>> bad = {
        MakeAux(MaskWith({1, 2}, 1), 2, 1, kW, kH + 8, updateJpeg),                  // other full size
        MakeAux(MaskWith({1, 2}, 1), 2, 1, kW, kH, MakeJpeg(16, 8, TJSAMP_GRAY)),    // grey on colour
        MakeAux(MaskWith({1, 2}, 1), 4, 1, kW, kH, updateJpeg),                      // picture too small
        MakeAux(MaskWith({1, 480}, 61), 2, 1, kW, kH, updateJpeg),                   // block outside
        MakeAux(MaskWith({1, 2}, 1), 2, 1, kW, kH, {0xFF, 0xD8, 0xFF, 0xE0, 0, 2}),  // update does not decode
        MakeAux(MaskWith({1, 2}, 1), 2, 1, kW, kH, {}),                              // no update picture
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        frame = TOrvFrame{};
        ASSERT_TRUE(SendUpdate(bad[i])) << i;
        EXPECT_EQ(frame.data, plain) << i;
        EXPECT_EQ(frame.width, kW) << i;
    }
}

TEST_F(LiveUpdate, UpdateAppliesBeforeConversionToBgr) {
    ASSERT_TRUE(
        SendUpdate(MakeAux(MaskWith({3}, 1), 1, 1, kW, kH, MakeJpeg(8, 8, TJSAMP_420, 5)), kRequestBgr));
    EXPECT_EQ(frame.format, Bgr24);
    TOrvFrame plainBgr;
    ASSERT_TRUE(ConvertLiveJpeg(context, ws, state, 3, 3.0, {}, {}, kRequestBgr, plainBgr));
    ASSERT_EQ(plainBgr.data.size(), frame.data.size());
    EXPECT_NE(plainBgr.data, frame.data);
    // Only block 3 differs.
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            if (x / 8 == 3 && y < 8) {
                continue;
            }
            const size_t o = (static_cast<size_t>(y) * kW + x) * 3;
            ASSERT_EQ(std::memcmp(&plainBgr.data[o], &frame.data[o], 3), 0) << x << "," << y;
        }
    }
}

}  // namespace
