// Plate records through the C interface against simulated cameras that raise
// plate events: the host switches polling on, takes records, and asks for the
// archive picture of the camera at the event as JPEG (type 1) or BGR (type 3).
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FramesCommon.h"

namespace {

using namespace std::chrono_literals;
using frames_test::Camera;
using frames_test::Connected;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kNotReady = -300;

std::vector<orv_sim::ServerConfig> PlateServer(orv_sim::CameraKind kind) {
    orv_sim::ServerConfig server;
    server.cameras.push_back(Camera(kind, kWidth, kHeight));
    server.cameras.back().plates = true;
    server.cameras.back().plateIntervalSeconds = 0.1;
    server.cameras.push_back(Camera(kind, kWidth, kHeight));  // no plates
    return {server};
}

struct Record {
    int result = kNotReady;
    std::string number;
    int server = 0;
    int camera = 0;
    double time = 0.0;
    int width = -1;
    int height = -1;
    int size = -1;
    std::vector<unsigned char> image;
};

// Polls the queue until a record arrives (bounded).
Record TakeWithin(int imageType, size_t capacity) {
    Record r;
    r.image.resize(capacity);
    char number[32] = {};
    for (int i = 0; i < 500 && r.result == kNotReady; ++i) {
        r.result = ORV_KeloGetPlateNumber(number, &r.server, &r.camera, &r.time, imageType, 0, r.image.data(),
                                          static_cast<unsigned>(r.image.size()), &r.width, &r.height, &r.size);
        if (r.result == kNotReady) std::this_thread::sleep_for(10ms);
    }
    r.number = number;
    return r;
}

// Width and height of a JPEG that decodes completely, or {0, 0}.
std::pair<int, int> DecodeJpeg(const unsigned char* data, int size) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    std::pair<int, int> out{0, 0};
    if (tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &width, &height, &subsampling,
                            &colourspace) == 0) {
        std::vector<unsigned char> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
        if (tjDecompress2(handle, data, static_cast<unsigned long>(size), pixels.data(), width, 0, height, TJPF_BGR,
                          0) == 0)
            out = {width, height};
    }
    tjDestroy(handle);
    return out;
}

class PlatesOverApi : public ::testing::TestWithParam<orv_sim::CameraKind> {};

TEST_P(PlatesOverApi, RecordsCarryArchivePictureAsJpegAndBgr) {
    Connected lib(PlateServer(GetParam()));
    ASSERT_TRUE(lib.Ok());
    ASSERT_EQ(ORV_KeloEnablePlateDetect(1), 0);
    // Let the archive hold some seconds around the first events.
    std::this_thread::sleep_for(300ms);

    const Record jpeg = TakeWithin(1, 4 << 20);
    ASSERT_EQ(jpeg.result, 0);
    EXPECT_EQ(jpeg.camera, lib.Number(0, 0));
    EXPECT_EQ(jpeg.server, 1);
    EXPECT_FALSE(jpeg.number.empty());
    ASSERT_GT(jpeg.size, 2);
    EXPECT_EQ(jpeg.image[0], 0xFF);
    EXPECT_EQ(jpeg.image[1], 0xD8);
    const auto decoded = DecodeJpeg(jpeg.image.data(), jpeg.size);
    EXPECT_EQ(decoded.first, kWidth);
    EXPECT_EQ(decoded.second, kHeight);
    EXPECT_EQ(jpeg.width, kWidth);
    EXPECT_EQ(jpeg.height, kHeight);

    const Record bgr = TakeWithin(3, 4 << 20);
    ASSERT_EQ(bgr.result, 0);
    EXPECT_EQ(bgr.camera, lib.Number(0, 0));
    EXPECT_GE(bgr.time, jpeg.time);  // records come oldest first
    EXPECT_EQ(bgr.width, kWidth);
    EXPECT_EQ(bgr.height, kHeight);
    EXPECT_EQ(bgr.size, kWidth * kHeight * 3);

    // The latest record of the camera, with a picture as well.
    char number[32] = {};
    int server = 0, width = 0, height = 0, size = 0;
    double time = 0.0;
    std::vector<unsigned char> image(4 << 20);
    ASSERT_EQ(ORV_KeloGetLatestPlateNumber(lib.Number(0, 0), number, &server, &time, 3, 0, image.data(),
                                           static_cast<unsigned>(image.size()), &width, &height, &size, 0),
              0);
    EXPECT_GE(time, bgr.time);
    EXPECT_EQ(size, width * height * 3);
    EXPECT_EQ(width, kWidth);
    EXPECT_EQ(ORV_KeloEnablePlateDetect(0), 0);
}

TEST_P(PlatesOverApi, TooSmallBufferConsumesRecordAndReportsIt) {
    Connected lib(PlateServer(GetParam()));
    ASSERT_TRUE(lib.Ok());
    ASSERT_EQ(ORV_KeloEnablePlateDetect(1), 0);
    std::this_thread::sleep_for(300ms);
    const Record small = TakeWithin(3, 16);
    EXPECT_EQ(small.result, -6);
    const Record next = TakeWithin(0, 0);
    ASSERT_EQ(next.result, 0);
    EXPECT_GT(next.time, small.time);  // the refused record is gone (events are 100 ms apart)
    EXPECT_EQ(next.size, 0);
    EXPECT_EQ(ORV_KeloEnablePlateDetect(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlatesOverApi,
                         ::testing::Values(orv_sim::CameraKind::Jpeg, orv_sim::CameraKind::H264),
                         [](const auto& info) {
                             return info.param == orv_sim::CameraKind::Jpeg ? std::string("Jpeg")
                                                                             : std::string("H264");
                         });

}  // namespace
