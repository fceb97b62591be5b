// A live camera keeps its last JPEG instead of the decoded picture until it first
// needs the picture; what the caller sees must not depend on which one is kept.
#include <gtest/gtest.h>

#include <tuple>

#include "PictureTestSupport.h"
#include "video/JpegConvert.h"

using namespace processing;
using picture_test::MakeJpeg;

namespace {

constexpr int kWidth = 64, kHeight = 32;

void PutInt32(std::vector<uint8_t>& out, int32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    }
}

// Replaces 8x8 blocks 1 and 9 of a 64x32 picture by the two blocks of a 16x8 JPEG.
std::vector<uint8_t> BlockUpdateAux(int subsampling) {
    std::vector<uint8_t> aux = {0xF3, 0xC9};
    PutInt32(aux, 4);
    PutInt32(aux, 2);
    PutInt32(aux, 1);
    PutInt32(aux, kWidth);
    PutInt32(aux, kHeight);
    const std::vector<uint8_t> mask = {0x02, 0x02, 0x00, 0x00};
    aux.insert(aux.end(), mask.begin(), mask.end());
    const auto jpeg = MakeJpeg(16, 8, subsampling, 99);
    aux.insert(aux.end(), jpeg.begin(), jpeg.end());
    return aux;
}

struct Step {
    int jpegSeed;  // 0: empty payload
    bool withUpdate;
};

// One camera state fed through its own decode context and workspace.
struct Camera {
    bool Feed(const std::vector<uint8_t>& payload, std::span<const uint8_t> aux, int32_t requested, int32_t id) {
        return ConvertLiveJpeg(context, workspace, state, id, id * 0.25, payload, aux, requested, frame);
    }
    JpegDecodeContext context;
    PictureWorkspace workspace;
    CameraFrameState state;
    TOrvFrame frame;
};

void ExpectSameFrame(const TOrvFrame& a, const TOrvFrame& b, int step) {
    EXPECT_EQ(a.data, b.data) << "step " << step;
    EXPECT_EQ(a.width, b.width) << "step " << step;
    EXPECT_EQ(a.height, b.height) << "step " << step;
    EXPECT_EQ(a.isColour, b.isColour) << "step " << step;
    EXPECT_EQ(a.format, b.format) << "step " << step;
}

using Case = std::tuple<int, int32_t>;  // subsampling, requested format
class KeptJpeg : public ::testing::TestWithParam<Case> {};

// The same sequence through a camera that starts out keeping only its JPEG and
// one that always keeps the decoded picture gives the same frames, updates included.
TEST_P(KeptJpeg, DeliversWhatTheDecodedPictureWould) {
    const auto [subsampling, requested] = GetParam();
    const auto aux = BlockUpdateAux(subsampling);
    const std::vector<Step> steps = {{1, false}, {2, false}, {0, false}, {3, false},
                                     {0, true},  {4, false}, {0, false}, {5, true}};
    Camera lazy;
    Camera eager;
    eager.state.keepsDecodedPicture = true;
    platform::Bytes beforeUpdate;
    for (size_t i = 0; i < steps.size(); ++i) {
        const auto payload =
            steps[i].jpegSeed != 0 ? MakeJpeg(kWidth, kHeight, subsampling, static_cast<uint32_t>(steps[i].jpegSeed))
                                   : std::vector<uint8_t>{};
        const std::span<const uint8_t> stepAux =
            steps[i].withUpdate ? std::span<const uint8_t>(aux) : std::span<const uint8_t>();
        const auto id = static_cast<int32_t>(i + 1);
        ASSERT_TRUE(lazy.Feed(payload, stepAux, requested, id));
        ASSERT_TRUE(eager.Feed(payload, stepAux, requested, id));
        ASSERT_FALSE(lazy.frame.data.empty()) << "step " << i;
        ExpectSameFrame(lazy.frame, eager.frame, static_cast<int>(i));
        if (i == 3) {
            beforeUpdate = lazy.frame.data;
        }
        if (i == 4) {
            EXPECT_NE(lazy.frame.data, beforeUpdate) << "the block update was applied";
        }
        EXPECT_EQ(lazy.state.width, eager.state.width);
        EXPECT_EQ(lazy.state.isColour, eager.state.isColour);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, KeptJpeg,
                         ::testing::Combine(::testing::Values(TJSAMP_GRAY, TJSAMP_422, TJSAMP_420),
                                            ::testing::Values(kRequestNative, kRequestBgr, kRequestGrey)));

TEST(KeptJpegState, HoldsTheJpegUntilThePictureIsNeededThenTheDecodedPicture) {
    Camera camera;
    const auto first = MakeJpeg(kWidth, kHeight, TJSAMP_422, 1);
    const auto second = MakeJpeg(kWidth, kHeight, TJSAMP_422, 2);
    ASSERT_TRUE(camera.Feed(first, {}, kRequestBgr, 1));
    ASSERT_TRUE(camera.Feed(second, {}, kRequestBgr, 2));
    ASSERT_TRUE(camera.state.picture);
    EXPECT_TRUE(camera.state.pictureIsJpeg);
    EXPECT_EQ(*camera.state.picture, second);
    EXPECT_EQ(camera.state.width, kWidth);

    ASSERT_TRUE(camera.Feed({}, {}, kRequestNative, 3));
    const auto decoded = camera.frame.data;
    EXPECT_FALSE(camera.state.pictureIsJpeg);
    EXPECT_TRUE(camera.state.keepsDecodedPicture);
    EXPECT_EQ(*camera.state.picture, decoded);
    EXPECT_EQ(decoded.size(), static_cast<size_t>(kWidth) * kHeight * 2);

    // From then on new payloads are kept decoded.
    ASSERT_TRUE(camera.Feed(first, {}, kRequestBgr, 4));
    EXPECT_FALSE(camera.state.pictureIsJpeg);
    EXPECT_EQ(camera.state.picture->size(), static_cast<size_t>(kWidth) * kHeight * 2);
}

// Cameras share one workspace in the library; a kept JPEG must decode to its own
// camera's picture whatever other cameras decoded in between.
TEST(KeptJpegState, CamerasSharingAWorkspaceKeepTheirOwnPictures) {
    JpegDecodeContext context;
    PictureWorkspace workspace;
    CameraFrameState one;
    CameraFrameState two;
    TOrvFrame frame;
    const auto jpegOne = MakeJpeg(kWidth, kHeight, TJSAMP_420, 11);
    const auto jpegTwo = MakeJpeg(kWidth * 2, kHeight, TJSAMP_420, 12);
    ASSERT_TRUE(ConvertLiveJpeg(context, workspace, one, 1, 0.0, jpegOne, {}, kRequestNative, frame));
    const auto pictureOne = frame.data;
    ASSERT_TRUE(ConvertLiveJpeg(context, workspace, two, 1, 0.0, jpegTwo, {}, kRequestNative, frame));
    const auto pictureTwo = frame.data;
    ASSERT_NE(pictureOne, pictureTwo);

    ASSERT_TRUE(ConvertLiveJpeg(context, workspace, one, 2, 0.0, {}, {}, kRequestNative, frame));
    EXPECT_EQ(frame.data, pictureOne);
    EXPECT_EQ(frame.width, kWidth);
    ASSERT_TRUE(ConvertLiveJpeg(context, workspace, two, 2, 0.0, {}, {}, kRequestNative, frame));
    EXPECT_EQ(frame.data, pictureTwo);
    EXPECT_EQ(frame.width, kWidth * 2);
}

// A payload whose header cannot be read fails and keeps the previous JPEG; one
// that does not decode leaves no picture, so nothing older reappears later.
TEST(KeptJpegState, UnreadableAndUndecodablePayloads) {
    Camera camera;
    const auto good = MakeJpeg(kWidth, kHeight, TJSAMP_422, 5);
    ASSERT_TRUE(camera.Feed(good, {}, kRequestNative, 1));
    const auto picture = camera.frame.data;
    const std::vector<uint8_t> junk = {0xFF, 0xD8, 0x00, 0x01, 0x02};
    EXPECT_FALSE(camera.Feed(junk, {}, kRequestNative, 2));
    ASSERT_TRUE(camera.Feed({}, {}, kRequestNative, 3));
    EXPECT_EQ(camera.frame.data, picture);

    Camera other;
    ASSERT_TRUE(other.Feed(good, {}, kRequestNative, 1));
    // 4:4:4 of a width that is not a multiple of 4 cannot be packed.
    ASSERT_FALSE(other.Feed(MakeJpeg(66, kHeight, TJSAMP_444), {}, kRequestNative, 2));
    EXPECT_TRUE(other.frame.data.empty());
    ASSERT_FALSE(other.Feed({}, {}, kRequestNative, 3));
    EXPECT_TRUE(other.frame.data.empty());
    EXPECT_EQ(other.frame.width, 0);
}

}  // namespace
