// Archive frames through ORV_VideoArchiveGetFrame against two simulated servers
// with interleaved recordings: merged time order in both directions, one server
// running out first, seeking, frame types, request values and compressed video.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "FramesCommon.h"

namespace {

using frames_test::Camera;
using frames_test::Connected;
using frames_test::MsToOle;
using frames_test::OleToMs;
using orv_sim::CameraKind;
using orv_sim::Subsampling;

constexpr int kWidth = 160;
constexpr int kHeight = 120;
// A frozen clock keeps the recordings' ends where the test expects them.
constexpr int64_t kNowMs = 1'780'000'000'000;

orv_sim::SimulatorOptions FrozenClock() {
    orv_sim::SimulatorOptions options;
    options.clockMs = [] { return kNowMs; };
    return options;
}

struct ArchiveFrame : frames_test::Fetched {
    int camera = 0;
};

ArchiveFrame Read(const std::vector<int>& cameras, int type, int p1, int p2, size_t capacity = 4'000'000) {
    ArchiveFrame f;
    f.data.resize(capacity);
    f.result = ORV_VideoArchiveGetFrame(cameras.data(), static_cast<unsigned>(cameras.size()), type, p1, p2,
                                        reinterpret_cast<char*>(f.data.data()), static_cast<unsigned>(capacity),
                                        &f.camera, &f.time, &f.width, &f.height, &f.size);
    f.data.resize(f.result == 0 ? static_cast<size_t>(f.size) : 0);
    return f;
}

// A server holding none of the listed cameras answers "no frame" once and then
// leaves the merge until the next seek; a reader of a camera subset reads on.
ArchiveFrame ReadSubset(const std::vector<int>& cameras, int type, int p1, int p2, size_t capacity = 4'000'000) {
    ArchiveFrame f;
    for (int attempt = 0; attempt < 3; ++attempt) {
        f = Read(cameras, type, p1, p2, capacity);
        if (f.result != ORV_E_NO_FRAME) break;
    }
    return f;
}

// The merge hands out frames of all servers in strict time order (never earlier
// than the one before going forward, never later going backward), and each
// camera's own frames strictly in order.
class OrderCheck {
public:
    explicit OrderCheck(bool forward) : forward_(forward) {}
    void Add(int camera, int64_t ms) {
        const int64_t sign = forward_ ? 1 : -1;
        if (seen_) {
            EXPECT_GE(sign * ms, sign * extreme_) << "camera " << camera;
        }
        const auto last = lastByCamera_.find(camera);
        if (last != lastByCamera_.end()) {
            EXPECT_GT(sign * ms, sign * last->second) << "camera " << camera;
        }
        lastByCamera_[camera] = ms;
        extreme_ = !seen_ ? ms : (forward_ ? std::max(extreme_, ms) : std::min(extreme_, ms));
        seen_ = true;
    }

private:
    bool forward_;
    bool seen_ = false;
    int64_t extreme_ = 0;
    std::map<int, int64_t> lastByCamera_;
};

// Server 0: cameras at 5 and 3 frames per second, 20 s recorded. Server 1: one
// camera at 4 frames per second, 60 s recorded.
std::vector<orv_sim::ServerConfig> TwoServers() {
    orv_sim::ServerConfig a;
    a.cameras = {Camera(CameraKind::Jpeg, kWidth, kHeight, Subsampling::S420, 5),
                 Camera(CameraKind::Jpeg, kWidth, kHeight, Subsampling::S422, 3)};
    a.archiveSeconds = 20;
    orv_sim::ServerConfig b;
    b.cameras = {Camera(CameraKind::Jpeg, kWidth, kHeight, Subsampling::S444, 4)};
    b.archiveSeconds = 60;
    return {a, b};
}

class ArchiveFrames : public ::testing::Test {
protected:
    void SetUp() override {
        lib_ = std::make_unique<Connected>(TwoServers(), FrozenClock());
        ASSERT_TRUE(lib_->Ok());
        ASSERT_EQ(ORV_VideoArchiveOpen(1), 0);
        cameras_ = {lib_->Number(0, 0), lib_->Number(0, 1), lib_->Number(1, 0)};
    }
    void TearDown() override { lib_.reset(); }
    bool OnFirstServer(int camera) const { return camera == cameras_[0] || camera == cameras_[1]; }
    int64_t FirstServerOrigin() { return lib_->Sim().Server(0).ArchiveOriginMs(); }

    std::unique_ptr<Connected> lib_;
    std::vector<int> cameras_;
};

TEST_F(ArchiveFrames, ForwardReadsMergeBothServersInTimeOrderFromTheSeekTime) {
    const int64_t seekMs = kNowMs - 12'000;
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(seekMs), 1), 0);
    std::set<int> seen;
    OrderCheck order(true);
    int64_t last = seekMs;
    for (int i = 0; i < 90; ++i) {
        const ArchiveFrame f = Read(cameras_, 0, 0, 1);
        ASSERT_EQ(f.result, 0) << "read " << i;
        const int64_t ms = OleToMs(f.time);
        ASSERT_GE(ms, seekMs) << "read " << i;
        order.Add(f.camera, ms);
        last = std::max(last, ms);
        seen.insert(f.camera);
        ASSERT_GT(f.size, 3);
        EXPECT_EQ(f.data[0], 0xFF);
        EXPECT_EQ(f.data[1], 0xD8);
    }
    EXPECT_EQ(seen, std::set<int>(cameras_.begin(), cameras_.end()));
    // 12 frames per second over the 7.5 s read: the reads did not skip ahead.
    EXPECT_LT(last, seekMs + 8'500);
}

TEST_F(ArchiveFrames, BackwardReadsContinueOnTheServerThatHasOlderRecordings) {
    const int64_t seekMs = kNowMs - 8'000;
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(seekMs), 0), 0);
    const int64_t firstOrigin = FirstServerOrigin();
    int64_t last = seekMs;
    bool beforeFirstOrigin = false;
    int fromFirst = 0;
    OrderCheck order(false);
    int runOut = 0;
    for (int i = 0; i < 400 && last > firstOrigin - 3'000; ++i) {
        const ArchiveFrame f = Read(cameras_, 0, 0, 0);
        if (f.result == ORV_E_NO_FRAME) {
            // The first server has nothing older: it says so once and leaves the merge.
            ++runOut;
            EXPECT_EQ(f.size, 0);
            continue;
        }
        ASSERT_EQ(f.result, 0) << "read " << i;
        const int64_t ms = OleToMs(f.time);
        ASSERT_LE(ms, seekMs) << "read " << i;
        order.Add(f.camera, ms);
        last = std::min(last, ms);
        if (OnFirstServer(f.camera)) {
            ++fromFirst;
            EXPECT_GE(ms, firstOrigin);
        }
        beforeFirstOrigin = beforeFirstOrigin || ms < firstOrigin;
    }
    EXPECT_GT(fromFirst, 40);
    EXPECT_EQ(runOut, 1);
    EXPECT_TRUE(beforeFirstOrigin) << "the reads stopped when the first server ran out";
}

TEST_F(ArchiveFrames, SeekPositionsBothDirectionsAndTheNextReadContinuesFromThere) {
    const int64_t seekMs = kNowMs - 5'100;
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(seekMs), 1), 0);
    const ArchiveFrame forward = Read(cameras_, 0, 0, 1);
    ASSERT_EQ(forward.result, 0);
    // The first frame at or after the seek time over all cameras: 5 fps gives -5000.
    EXPECT_EQ(OleToMs(forward.time), kNowMs - 5'000);
    const ArchiveFrame next = Read(cameras_, 0, 0, 1);
    ASSERT_EQ(next.result, 0);
    EXPECT_GE(OleToMs(next.time), OleToMs(forward.time));
    EXPECT_LT(OleToMs(next.time), kNowMs - 4'600);

    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(seekMs), 0), 0);
    const ArchiveFrame backward = Read(cameras_, 0, 0, 0);
    ASSERT_EQ(backward.result, 0);
    EXPECT_LE(OleToMs(backward.time), seekMs);
    EXPECT_GE(OleToMs(backward.time), seekMs - 340);  // 3 fps: a frame within 334 ms
    // A seek into the first server's gap finds only the second server's camera.
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(kNowMs - 40'000), 1), 0);
    const ArchiveFrame old = Read(cameras_, 0, 0, 1);
    ASSERT_EQ(old.result, 0);
    EXPECT_EQ(old.camera, cameras_[2]);
}

TEST_F(ArchiveFrames, FrameTypesGiveTheirFormatsAndSmallBuffersTheNeededSize) {
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(kNowMs - 3'000), 1), 0);
    const std::vector<int> one{cameras_[0]};
    for (const int type : {3, 2, 1, 4, 5, 0}) {
        const ArchiveFrame f = ReadSubset(one, type, 0, 1);
        ASSERT_EQ(f.result, 0) << "type " << type;
        EXPECT_EQ(f.camera, cameras_[0]);
        const orv_sim::PlanarPicture expected =
            orv_sim::RenderPicture(cameras_[0] - 1, OleToMs(f.time), kWidth, kHeight, Subsampling::S420);
        switch (type) {
        case 3:
            ASSERT_EQ(f.size, kWidth * kHeight * 3);
            EXPECT_LT(frames_test::LumaDifference(f.data, 3, kWidth, kHeight, expected), 6.0);
            break;
        case 2:  // the native picture, not what an earlier request left behind
        case 4:
            ASSERT_EQ(f.size, kWidth * kHeight * 2);
            EXPECT_LT(frames_test::LumaDifference(f.data, 2, kWidth, kHeight, expected), 6.0);
            break;
        case 1:
            EXPECT_EQ(f.width, kWidth);
            EXPECT_EQ(f.height, kHeight);
            [[fallthrough]];
        default:  // 5 and 0: as received
            ASSERT_GT(f.size, 3);
            EXPECT_EQ(f.data[0], 0xFF);
            EXPECT_EQ(f.data[1], 0xD8);
            break;
        }
    }
    const ArchiveFrame small = ReadSubset(one, 3, 0, 1, 64);
    EXPECT_EQ(small.result, ORV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.size, kWidth * kHeight * 3);
    EXPECT_EQ(small.camera, cameras_[0]);
}

TEST_F(ArchiveFrames, RequestValueIsClampedAndInactiveListsRefused) {
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(kNowMs - 3'000), 1), 0);
    auto lastReadValue = [&](size_t server) {
        const auto journal = lib_->Sim().Server(server).Snapshot();
        for (auto it = journal.requests.rbegin(); it != journal.requests.rend(); ++it) {
            if ((it->command & 0xFF) == 0x23) return it->field28;
        }
        return -12345;
    };
    const std::vector<int> second{cameras_[2]};
    ASSERT_EQ(ReadSubset(second, 0, -7, 1).result, 0);
    EXPECT_EQ(lastReadValue(1), 0);
    ASSERT_EQ(ReadSubset(second, 0, 0x123456, 1).result, 0);
    EXPECT_EQ(lastReadValue(1), 0xFFFFF);
    ASSERT_EQ(ReadSubset(second, 0, 77, 1).result, 0);
    EXPECT_EQ(lastReadValue(1), 77);
    EXPECT_EQ(Read({5000}, 0, 0, 1).result, ORV_E_CAMERA_INACTIVE);
    EXPECT_EQ(Read({0}, 0, 0, 1).result, ORV_E_CAMERA_INACTIVE);
}

TEST_F(ArchiveFrames, NoFrameAfterTheEndOfEveryRecording) {
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(kNowMs - 250), 1), 0);
    int got = 0;
    ArchiveFrame f;
    for (int i = 0; i < 20; ++i) {
        f = Read(cameras_, 0, 0, 1);
        if (f.result != 0) break;
        ++got;
    }
    EXPECT_GE(got, 1);
    EXPECT_LT(got, 10);
    EXPECT_TRUE(f.result == ORV_E_NO_FRAME || f.result == ORV_E_FAILED) << f.result;
    EXPECT_EQ(f.size, 0);
}

class ArchiveCompressed : public ::testing::TestWithParam<CameraKind> {};

TEST_P(ArchiveCompressed, PicturesAreDecodedInTimeOrder) {
    orv_sim::ServerConfig server;
    server.cameras = {Camera(GetParam(), kWidth, kHeight, Subsampling::S420, 10)};
    server.cameras[0].gop = 10;
    server.archiveSeconds = 30;
    Connected lib({server}, FrozenClock());
    ASSERT_TRUE(lib.Ok());
    ASSERT_EQ(ORV_VideoArchiveOpen(1), 0);
    const std::vector<int> cameras{lib.Number(0, 0)};
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(kNowMs - 20'000), 1), 0);
    int64_t last = 0;
    for (int i = 0; i < 6; ++i) {
        const ArchiveFrame f = Read(cameras, i % 2 == 0 ? 3 : 4, 0, 1);
        ASSERT_EQ(f.result, 0) << "read " << i;
        EXPECT_EQ(f.camera, cameras[0]);
        ASSERT_EQ(f.width, kWidth);
        ASSERT_EQ(f.height, kHeight);
        ASSERT_EQ(f.size, kWidth * kHeight * (i % 2 == 0 ? 3 : 2));
        const int64_t ms = OleToMs(f.time);
        EXPECT_GT(ms, last) << "read " << i;
        last = ms;
        const orv_sim::PlanarPicture expected =
            orv_sim::RenderPicture(cameras[0] - 1, ms, kWidth, kHeight, Subsampling::S420);
        EXPECT_LT(frames_test::LumaDifference(f.data, i % 2 == 0 ? 3 : 2, kWidth, kHeight, expected), 12.0)
            << "read " << i;
    }
    // Asked for as JPEG, the decoded picture is encoded.
    const ArchiveFrame jpeg = Read(cameras, 1, 0, 1);
    ASSERT_EQ(jpeg.result, 0);
    ASSERT_GT(jpeg.size, 3);
    EXPECT_EQ(jpeg.data[0], 0xFF);
    EXPECT_EQ(jpeg.width, kWidth);
}

INSTANTIATE_TEST_SUITE_P(Frames, ArchiveCompressed, ::testing::Values(CameraKind::Mpeg4, CameraKind::H264),
                         [](const ::testing::TestParamInfo<CameraKind>& info) {
                             return std::string(info.param == CameraKind::Mpeg4 ? "Mpeg4" : "H264");
                         });

// Every third recorded picture (every third block of compressed video) is
// damaged: each damaged one costs itself only, the next good one decodes at once.
// A damaged JPEG reads as "not decodable"; a damaged block yields no picture.
class ArchiveRecovery : public ::testing::TestWithParam<CameraKind> {};

TEST_P(ArchiveRecovery, DamagedPicturesCostThemselvesOnly) {
    const bool compressed = GetParam() != CameraKind::Jpeg;
    orv_sim::ServerConfig server;
    server.cameras = {Camera(GetParam(), kWidth, kHeight, Subsampling::S420, 5),
                      Camera(CameraKind::Jpeg, kWidth, kHeight, Subsampling::S422, 4)};
    server.archiveSeconds = 60;
    server.faults.garbageEvery = 3;
    Connected lib({server}, FrozenClock());
    ASSERT_TRUE(lib.Ok());
    ASSERT_EQ(ORV_VideoArchiveOpen(1), 0);
    const int camera = lib.Number(0, 0);
    const int other = lib.Number(0, 1);
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(kNowMs - 58'000), 1), 0);
    const int damagedCode = compressed ? ORV_E_NO_FRAME : ORV_E_NOT_DECODABLE;
    std::vector<int> results;
    int otherGood = 0;
    for (int i = 0; i < 60; ++i) {
        // The other camera reads in between through the same decode context.
        if (i % 10 == 9) otherGood += Read({other}, 3, 0, 1).result == 0 ? 1 : 0;
        const ArchiveFrame f = Read({camera}, 3, 0, 1);
        if (f.result == -1) break;  // past the end of the recording
        ASSERT_TRUE(f.result == 0 || f.result == damagedCode) << "read " << i << ": " << f.result;
        results.push_back(f.result);
        if (f.result != 0) continue;
        ASSERT_EQ(f.size, kWidth * kHeight * 3) << "read " << i;
        const orv_sim::PlanarPicture expected =
            orv_sim::RenderPicture(camera - 1, OleToMs(f.time), kWidth, kHeight, Subsampling::S420);
        EXPECT_LT(frames_test::LumaDifference(f.data, 3, kWidth, kHeight, expected), 12.0) << "read " << i;
    }
    while (!results.empty() && results.back() != 0) results.pop_back();  // the recording's end
    int run = 0, longest = 0, damaged = 0, goodAfterDamage = 0;
    for (const int result : results) {
        run = result != 0 ? run + 1 : 0;
        longest = std::max(longest, run);
        damaged += result != 0 ? 1 : 0;
        goodAfterDamage += result == 0 && damaged > 0 ? 1 : 0;
    }
    EXPECT_GT(damaged, 1) << "the fault never struck";
    EXPECT_GT(goodAfterDamage, compressed ? 3 : 20);
    EXPECT_EQ(longest, 1) << "a damaged picture cost more than itself";
    EXPECT_GE(otherGood, compressed ? 1 : 3);  // its own every third is damaged too
}

INSTANTIATE_TEST_SUITE_P(Kinds, ArchiveRecovery,
                         ::testing::Values(CameraKind::Jpeg, CameraKind::Mpeg4, CameraKind::H264),
                         [](const ::testing::TestParamInfo<CameraKind>& info) {
                             return std::string(info.param == CameraKind::Jpeg    ? "Jpeg"
                                                : info.param == CameraKind::Mpeg4 ? "Mpeg4"
                                                                                  : "H264");
                         });

}  // namespace
