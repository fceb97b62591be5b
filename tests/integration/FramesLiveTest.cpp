// Live frames through ORV_VideoGetFrame against the simulator: every frame type
// on JPEG cameras of each subsampling, buffer sizing, inactive and unknown
// cameras, block-updated cameras, stream selectors and compressed cameras.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "FramesCommon.h"

namespace {

using frames_test::Camera;
using frames_test::Connected;
using frames_test::Fetched;
using frames_test::Live;
using orv_sim::CameraKind;
using orv_sim::Subsampling;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Polls until a frame comes or about three seconds passed. -8 also answers a
// call that met the manager's worker holding the server lock.
Fetched LiveEventually(int camera, int type, size_t capacity = 30'000'000) {
    Fetched f;
    for (int attempt = 0; attempt < 150; ++attempt) {
        f = Live(camera, type, capacity);
        if (f.result != ORV_E_NO_FRAME) return f;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return f;
}

orv_sim::PlanarPicture Expected(int camera, const Fetched& f, Subsampling subsampling) {
    return orv_sim::RenderPicture(camera - 1, frames_test::OleToMs(f.time), kWidth, kHeight, subsampling);
}

// A delivered JPEG decoded to grey, exactly `size` bytes of it: empty when it
// does not decode as a kWidth x kHeight picture.
std::vector<uint8_t> DecodeGrey(const Fetched& f) {
    std::vector<uint8_t> grey(static_cast<size_t>(kWidth) * kHeight);
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    const bool ok = handle != nullptr && f.size > 0 && static_cast<size_t>(f.size) <= f.data.size() &&
                    tjDecompressHeader3(handle, f.data.data(), static_cast<unsigned long>(f.size), &width, &height,
                                        &subsampling, &colourspace) == 0 &&
                    width == kWidth && height == kHeight &&
                    tjDecompress2(handle, f.data.data(), static_cast<unsigned long>(f.size), grey.data(), kWidth, 0,
                                  kHeight, TJPF_GRAY, 0) == 0;
    if (handle != nullptr) tjDestroy(handle);
    return ok ? grey : std::vector<uint8_t>();
}

struct TypeCase {
    Subsampling subsampling;
    int type;
};

std::string Name(const ::testing::TestParamInfo<TypeCase>& info) {
    const char* names[] = {"S420", "S422", "S444", "Grey"};
    return std::string(names[static_cast<int>(info.param.subsampling)]) + "_type" + std::to_string(info.param.type);
}

class LiveJpegTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(LiveJpegTypes, DeliversTheRequestedFormatWithTheCamerasPicture) {
    const TypeCase c = GetParam();
    orv_sim::ServerConfig server;
    server.cameras = {Camera(CameraKind::Jpeg, kWidth, kHeight, c.subsampling)};
    Connected lib({server});
    ASSERT_TRUE(lib.Ok());
    const int camera = lib.Number(0, 0);
    const bool grey = c.subsampling == Subsampling::Grey;

    // A Bgr24 picture first: a later request must not hand out its leftovers.
    ASSERT_EQ(LiveEventually(camera, 3).result, 0);
    const Fetched f = LiveEventually(camera, c.type);
    ASSERT_EQ(f.result, 0);
    ASSERT_GT(f.size, 0);
    const bool isJpeg = f.data.size() > 3 && f.data[0] == 0xFF && f.data[1] == 0xD8 && f.data[2] == 0xFF;
    switch (c.type) {
    case 0:  // payload as received
    case 1:  // the JPEG with its size
        EXPECT_TRUE(isJpeg);
        EXPECT_EQ(f.width, c.type == 1 ? kWidth : 0);
        EXPECT_EQ(f.height, c.type == 1 ? kHeight : 0);
        // The reported size is the whole JPEG, and it shows the camera's picture.
        EXPECT_EQ(f.data[static_cast<size_t>(f.size) - 2], 0xFF);
        EXPECT_EQ(f.data[static_cast<size_t>(f.size) - 1], 0xD9);
        EXPECT_LT(frames_test::LumaDifference(DecodeGrey(f), 1, kWidth, kHeight, Expected(camera, f, c.subsampling)),
                  6.0);
        return;
    default:
        break;
    }
    ASSERT_EQ(f.width, kWidth);
    ASSERT_EQ(f.height, kHeight);
    int bytesPerPixel = 0;
    if (c.type == 3) {
        bytesPerPixel = 3;
    } else if (c.type == 5) {
        bytesPerPixel = 1;
    } else {  // 2 and 4: the native picture
        bytesPerPixel = grey ? 1 : 2;
    }
    ASSERT_EQ(f.size, kWidth * kHeight * bytesPerPixel);
    EXPECT_LT(frames_test::LumaDifference(f.data, bytesPerPixel, kWidth, kHeight, Expected(camera, f, c.subsampling)),
              6.0);
    if (c.type == 3 && !grey) {
        // Colour reaches the channels: the picture is not grey throughout.
        size_t coloured = 0;
        for (size_t i = 0; i + 2 < f.data.size(); i += 3) {
            coloured += std::abs(f.data[i] - f.data[i + 2]) > 20 ? 1 : 0;
        }
        EXPECT_GT(coloured, f.data.size() / 300);
    }
}

std::vector<TypeCase> AllTypes() {
    std::vector<TypeCase> cases;
    for (Subsampling s : {Subsampling::S420, Subsampling::S422, Subsampling::S444, Subsampling::Grey}) {
        for (int type = 0; type <= 5; ++type) cases.push_back({s, type});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Frames, LiveJpegTypes, ::testing::ValuesIn(AllTypes()), Name);

class LiveFrames : public ::testing::Test {
protected:
    static orv_sim::ServerConfig Mixed() {
        orv_sim::ServerConfig server;
        server.cameras = {Camera(CameraKind::Jpeg, kWidth, kHeight, Subsampling::S420, 1),
                          Camera(CameraKind::Jpeg, kWidth, kHeight), Camera(CameraKind::JpegBlocks, kWidth, kHeight)};
        server.cameras[1].active = false;
        server.cameras[2].gop = 50;  // full pictures every two seconds, changed blocks between
        return server;
    }
};

TEST_F(LiveFrames, SmallBufferReportsTheSizeAndARetryWithThatSizeSucceeds) {
    Connected lib({Mixed()});
    ASSERT_TRUE(lib.Ok());
    const int camera = lib.Number(0, 0);
    const Fetched tooSmall = LiveEventually(camera, 3, 100);
    ASSERT_EQ(tooSmall.result, ORV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.width, kWidth);
    EXPECT_EQ(tooSmall.height, kHeight);
    EXPECT_EQ(tooSmall.size, kWidth * kHeight * 3);
    // The JPEG is passed on as received, so the next call gets the same picture again.
    const Fetched jpegSmall = LiveEventually(camera, 1, 16);
    ASSERT_EQ(jpegSmall.result, ORV_E_BUFFER_TOO_SMALL);
    ASSERT_GT(jpegSmall.size, 16);
    const Fetched retry = LiveEventually(camera, 1, static_cast<size_t>(jpegSmall.size));
    ASSERT_EQ(retry.result, 0);
    EXPECT_EQ(retry.size, jpegSmall.size);
}

TEST_F(LiveFrames, NoNewerFrameInactiveAndUnknownCameras) {
    Connected lib({Mixed()});
    ASSERT_TRUE(lib.Ok());
    const int camera = lib.Number(0, 0);  // one frame per second
    Fetched first = LiveEventually(camera, 3);
    ASSERT_EQ(first.result, 0);
    // The decoded frame's id goes back to the server, which has nothing newer yet
    // (unless the camera's next second began in between: then that frame is newer).
    Fetched again = Live(camera, 3);
    for (int tries = 0; tries < 3 && again.result == 0; ++tries) {
        ASSERT_GT(again.time, first.time) << "the same frame delivered twice";
        first = again;
        again = Live(camera, 3);
    }
    EXPECT_EQ(again.result, ORV_E_NO_FRAME);
    EXPECT_EQ(again.size, 0);
    EXPECT_EQ(again.width, 0);
    EXPECT_EQ(Live(lib.Number(0, 1), 3).result, ORV_E_CAMERA_INACTIVE);
    EXPECT_EQ(Live(lib.Number(0, 3), 3).result, ORV_E_CAMERA_INACTIVE);  // beyond the server's range
    EXPECT_EQ(Live(0, 3).result, ORV_E_CAMERA_INACTIVE);
    EXPECT_EQ(Live(3000, 3).result, ORV_E_CAMERA_INACTIVE);
    ASSERT_EQ(ORV_ServersDisconnect(), 0);
    EXPECT_EQ(Live(camera, 3).result, ORV_E_CAMERA_INACTIVE);
}

// What a host polling faster than the camera sees (the header's comment on
// ORV_VideoGetFrame): JPEG as received comes again with result 0 and the same time;
// once a decoded picture was handed out, JPEG of that camera answers "no frame" too.
TEST_F(LiveFrames, WithoutANewerPictureJpegRepeatsAndAfterADecodedOneAnswersNoFrame) {
    Connected lib({Mixed()});
    ASSERT_TRUE(lib.Ok());
    const int camera = lib.Number(0, 0);  // one frame per second
    Fetched first = LiveEventually(camera, 1);
    ASSERT_EQ(first.result, 0);
    // A call can meet the camera's next second (a newer picture) or the worker holding
    // the server lock (-8); a few tries find the repeat.
    bool repeated = false;
    for (int tries = 0; tries < 5 && !repeated; ++tries) {
        const Fetched again = Live(camera, 1);
        repeated = again.result == 0 && again.time == first.time && again.size == first.size &&
                   std::equal(again.data.begin(), again.data.begin() + again.size, first.data.begin());
        if (again.result == 0) {
            first = again;
        }
    }
    EXPECT_TRUE(repeated) << "JPEG as received did not come again with result 0";

    Fetched decoded = LiveEventually(camera, 3);
    ASSERT_EQ(decoded.result, 0);
    Fetched jpeg = Live(camera, 1);
    for (int tries = 0; tries < 3 && jpeg.result == 0; ++tries) {
        ASSERT_GT(jpeg.time, decoded.time) << "JPEG repeated a picture already handed out decoded";
        decoded = LiveEventually(camera, 3);
        jpeg = Live(camera, 1);
    }
    EXPECT_EQ(jpeg.result, ORV_E_NO_FRAME);
}

TEST_F(LiveFrames, CameraValueWithStreamSelectorAddressesTheCamera) {
    Connected lib({Mixed()});
    ASSERT_TRUE(lib.Ok());
    const Fetched f = LiveEventually(lib.Number(0, 0) | 0x10000, 1);
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.width, kWidth);
    EXPECT_EQ(Live(lib.Number(0, 1) | 0x10000, 1).result, ORV_E_CAMERA_INACTIVE);
}

// Between full pictures the camera sends only changed blocks (an empty payload
// with the update as auxiliary data); each of them must give the current picture.
TEST_F(LiveFrames, BlockUpdatesBetweenFullPicturesGiveTheCurrentPicture) {
    Connected lib({Mixed()});
    ASSERT_TRUE(lib.Ok());
    const int camera = lib.Number(0, 2);
    int delivered = 0;
    int64_t lastMs = -1;
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const int type = i % 2 == 0 ? 3 : 4;  // Bgr24, then the native picture
        const Fetched f = Live(camera, type);
        if (f.result == ORV_E_NO_FRAME) continue;
        ASSERT_EQ(f.result, 0);
        ++delivered;
        const int64_t ms = frames_test::OleToMs(f.time);
        EXPECT_GT(ms, lastMs);
        lastMs = ms;
        const orv_sim::PlanarPicture expected = orv_sim::RenderPicture(camera - 1, ms, kWidth, kHeight,
                                                                      Subsampling::S420);
        EXPECT_LT(frames_test::LumaDifference(f.data, type == 3 ? 3 : 2, f.width, f.height, expected), 6.0)
            << "call " << i;
    }
    // Two seconds between full pictures: without the updates almost every call is empty.
    EXPECT_GE(delivered, 9);
    // Asked for as JPEG, an update alone is encoded from the updated picture.
    const Fetched jpeg = LiveEventually(camera, 1);
    ASSERT_EQ(jpeg.result, 0);
    ASSERT_GT(jpeg.size, 3);
    EXPECT_EQ(jpeg.data[0], 0xFF);
    EXPECT_EQ(jpeg.data[1], 0xD8);
    EXPECT_EQ(jpeg.width, kWidth);
    EXPECT_EQ(jpeg.height, kHeight);
}

struct CompressedCase {
    CameraKind kind;
    int selector;
};

class LiveCompressed : public ::testing::TestWithParam<CompressedCase> {};

TEST_P(LiveCompressed, FirstCallHasNoFrameALaterOneADecodedPicture) {
    orv_sim::ServerConfig server;
    server.cameras = {Camera(GetParam().kind, kWidth, kHeight)};
    server.cameras[0].gop = 10;
    Connected lib({server});
    ASSERT_TRUE(lib.Ok());
    const int camera = lib.Number(0, 0) | (GetParam().selector << 16);
    EXPECT_EQ(Live(camera, 3).result, ORV_E_NO_FRAME);
    const Fetched f = LiveEventually(camera, 3);
    ASSERT_EQ(f.result, 0);
    ASSERT_EQ(f.width, kWidth);
    ASSERT_EQ(f.height, kHeight);
    ASSERT_EQ(f.size, kWidth * kHeight * 3);
    const orv_sim::PlanarPicture expected =
        orv_sim::RenderPicture(lib.Number(0, 0) - 1, frames_test::OleToMs(f.time), kWidth, kHeight, Subsampling::S420);
    EXPECT_LT(frames_test::LumaDifference(f.data, 3, kWidth, kHeight, expected), 12.0);
    // The other conversions of a decoded picture.
    const Fetched grey = LiveEventually(camera, 5);
    ASSERT_EQ(grey.result, 0);
    EXPECT_EQ(grey.size, kWidth * kHeight);
    const Fetched jpeg = LiveEventually(camera, 1);
    ASSERT_EQ(jpeg.result, 0);
    ASSERT_GT(jpeg.size, 3);
    EXPECT_EQ(jpeg.data[0], 0xFF);
    EXPECT_EQ(jpeg.data[1], 0xD8);
    EXPECT_EQ(jpeg.width, kWidth);
}

INSTANTIATE_TEST_SUITE_P(Frames, LiveCompressed,
                         ::testing::Values(CompressedCase{CameraKind::Mpeg4, 0}, CompressedCase{CameraKind::H264, 0},
                                           CompressedCase{CameraKind::Mpeg4, 1}),
                         [](const ::testing::TestParamInfo<CompressedCase>& info) {
                             return std::string(info.param.kind == CameraKind::Mpeg4 ? "Mpeg4" : "H264") +
                                    "_selector" + std::to_string(info.param.selector);
                         });

}  // namespace
