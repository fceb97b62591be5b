// Every orvctl command as a separate process against simulated servers in this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>

#include "support/BlockUsers.h"
#include "PictureCheck.h"
#include "RunProcess.h"
#include "sim/Simulator.h"

namespace orvctl::test {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

orv_sim::CameraConfig Camera(orv_sim::CameraKind kind,
                             orv_sim::Subsampling subsampling = orv_sim::Subsampling::S420) {
    orv_sim::CameraConfig camera;
    camera.kind = kind;
    camera.width = kWidth;
    camera.height = kHeight;
    camera.subsampling = subsampling;
    camera.fps = 10;
    return camera;
}

// Server 1: cameras 1-3 (JPEG colour, JPEG grey, inactive JPEG; camera 1 reads plates).
// Server 2: cameras 4-5 (MPEG-4 and JPEG 4:2:2).
class SimCommands : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<orv_sim::ServerConfig> servers(2);
        servers[0].password = "pw1";
        servers[0].archiveSeconds = 60;
        servers[0].cameras = {Camera(orv_sim::CameraKind::Jpeg),
                              Camera(orv_sim::CameraKind::Jpeg, orv_sim::Subsampling::Grey),
                              Camera(orv_sim::CameraKind::Jpeg)};
        servers[0].cameras[0].name = "Gate";
        servers[0].cameras[0].plates = true;
        servers[0].cameras[0].plateIntervalSeconds = 0.5;
        servers[0].cameras[2].active = false;
        servers[1].archiveSeconds = 60;
        servers[1].cameras = {Camera(orv_sim::CameraKind::Mpeg4),
                              Camera(orv_sim::CameraKind::Jpeg, orv_sim::Subsampling::S422)};
        servers[1].cameras[1].name = "Пост №5";  // travels as Windows-1251
        sim_ = std::make_unique<orv_sim::Simulator>(servers);
    }
    static void TearDownTestSuite() { sim_.reset(); }

    void SetUp() override {
        dir_ = MakeTempDir("orvctl-sim");
        sim_->Server(0).ClearJournal();
        sim_->Server(1).ClearJournal();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // orvctl with both servers; `args` follow the global options.
    ProcessResult Run(std::vector<std::string> args) {
        std::vector<std::string> all{"--connect-timeout",
                                     "10",
                                     "-s",
                                     "127.0.0.1:" + std::to_string(sim_->Server(0).Port()) + "/pw1",
                                     "-s",
                                     "127.0.0.1:" + std::to_string(sim_->Server(1).Port())};
        all.insert(all.end(), args.begin(), args.end());
        return RunOrvctl(all, dir_);
    }

    static void ExpectPicture(const std::string& path, int channels) {
        DecodedPicture picture;
        std::string error;
        ASSERT_TRUE(DecodePictureFile(path, picture, error)) << error;
        EXPECT_EQ(picture.width, kWidth) << path;
        EXPECT_EQ(picture.height, kHeight) << path;
        if (channels > 0) {
            EXPECT_EQ(picture.channels, channels) << path;
        }
        // A real picture, not a blank buffer: the simulator draws a background and a box.
        const auto [lo, hi] = std::minmax_element(picture.pixels.begin(), picture.pixels.end());
        EXPECT_GT(*hi - *lo, 32) << path;
    }

    static std::unique_ptr<orv_sim::Simulator> sim_;
    orv_test::BlockUsersLock users_;
    std::string dir_;
};

std::unique_ptr<orv_sim::Simulator> SimCommands::sim_;


TEST_F(SimCommands, ServersListsBothConnectedWithTheirRanges) {
    const ProcessResult r = Run({"servers"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n\s*1\s+127\.0\.0\.1:\d+\s+Connected\s+1-3 \(3\))")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n\s*2\s+127\.0\.0\.1:\d+\s+Connected\s+4-5 \(2\))")))
        << r.out;
}

TEST_F(SimCommands, CamerasShowNamesServersAndActiveFlags) {
    const ProcessResult r = Run({"cameras"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n\s*1\s+Gate\s+1\s+yes)"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n\s*3\s+.*\s1\s+no)"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n\s*5  Пост №5\s+2\s+yes)"))) << r.out;
}

struct SnapshotCase {
    int camera;
    const char* format;
    const char* file;
    int channels;  // of the decoded file; 0: any
};

class SimSnapshot : public SimCommands, public ::testing::WithParamInterface<SnapshotCase> {};

TEST_P(SimSnapshot, SavesAPictureThatDecodes) {
    const SnapshotCase& c = GetParam();
    const ProcessResult r =
        Run({"snapshot", "-c", std::to_string(c.camera), "-f", c.format, "--timeout", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ExpectPicture((std::filesystem::path(dir_) / c.file).string(), c.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SimSnapshot,
    ::testing::Values(SnapshotCase{1, "jpeg", "camera-1.jpg", 3}, SnapshotCase{1, "bgr", "camera-1.png", 3},
                      SnapshotCase{1, "yuyv", "camera-1.png", 0}, SnapshotCase{1, "grey", "camera-1.png", 1},
                      SnapshotCase{2, "jpeg", "camera-2.jpg", 0}, SnapshotCase{5, "bgr", "camera-5.png", 3},
                      SnapshotCase{4, "bgr", "camera-4.png",
                                   3}),  // compressed video: first picture arrives late
    [](const auto& info) { return "camera" + std::to_string(info.param.camera) + "_" + info.param.format; });

TEST_F(SimCommands, SnapshotHonoursTheOutputPath) {
    const ProcessResult r = Run({"snapshot", "-c", "1", "-o", "gate.jpeg", "--timeout", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    DecodedPicture picture;
    std::string error;
    EXPECT_TRUE(DecodeJpegFile((std::filesystem::path(dir_) / "gate.jpeg").string(), picture, error))
        << error;
}

TEST_F(SimCommands, SnapshotOfAnInactiveCameraFailsByName) {
    const ProcessResult r = Run({"snapshot", "-c", "3", "--timeout", "0.5"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("ORV_E_CAMERA_INACTIVE"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir_) / "camera-3.jpg"));
}

TEST_F(SimCommands, ArchiveExportsFramesInTimeOrder) {
    const ProcessResult r =
        Run({"archive", "--from", "-20s", "--to", "-15s", "-c", "1", "-c", "5", "-o", "arch"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(dir_) / "arch")) {
        files.push_back(entry.path().filename().string());
    }
    ASSERT_GE(files.size(), 10u);  // two cameras at 10 fps for 5 s
    std::set<std::string> cameras;
    const std::regex name(R"(cam(\d+)-(\d{8}T\d{6}\.\d{3}Z)-(\d+)\.jpg)");
    std::vector<std::pair<int, std::string>> bySequence;
    for (const auto& file : files) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(file, m, name)) << file;
        cameras.insert(m[1]);
        bySequence.emplace_back(std::stoi(m[3]), m[2]);
    }
    EXPECT_EQ(cameras, (std::set<std::string>{"1", "5"}));
    std::sort(bySequence.begin(), bySequence.end());
    for (size_t i = 1; i < bySequence.size(); ++i) {
        EXPECT_LE(bySequence[i - 1].second, bySequence[i].second) << "frame " << i << " goes back in time";
    }
    ExpectPicture((std::filesystem::path(dir_) / "arch" / files.front()).string(), 0);
}

TEST_F(SimCommands, ArchiveRangeOutsideTheRecordingFails) {
    const ProcessResult r = Run({"archive", "--from", "-3h", "--to", "-2h", "-c", "1", "-o", "arch"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("outside the archive"), std::string::npos) << r.err;
}

TEST_F(SimCommands, EventsReachTheServerWithTheirValues) {
    ProcessResult r = Run({"event", "-c", "2", "--values", "1", "2", "300", "4"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    r = Run({"event", "--server-handle", "2", "--value", "77"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const orv_sim::Journal first = sim_->Server(0).Snapshot();
    ASSERT_EQ(first.cameraEvents.size(), 1u);
    EXPECT_EQ(first.cameraEvents[0].camera, 1);  // camera 2 is index 1
    EXPECT_EQ(first.cameraEvents[0].c, 300);
    EXPECT_EQ(first.cameraEvents[0].d, 4);
    const orv_sim::Journal second = sim_->Server(1).Snapshot();
    ASSERT_EQ(second.serverEvents.size(), 1u);
    EXPECT_EQ(second.serverEvents[0].value, 77);
}

TEST_F(SimCommands, PtzSendsClampedSpeeds) {
    const ProcessResult r =
        Run({"ptz", "-c", "5", "--command", "3", "--speed1", "150", "--speed2", "-3", "--value", "258"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const orv_sim::Journal journal = sim_->Server(1).Snapshot();
    ASSERT_EQ(journal.telemetry.size(), 1u);
    EXPECT_EQ(journal.telemetry[0].camera, 4);
    EXPECT_EQ(journal.telemetry[0].command, 3);
    EXPECT_EQ(journal.telemetry[0].block[4], 99);
    EXPECT_EQ(journal.telemetry[0].block[5], 0);
    EXPECT_EQ(journal.telemetry[0].block[8], 2);  // low byte of 258
}

TEST_F(SimCommands, PtzOnAnInactiveCameraFailsByName) {
    const ProcessResult r = Run({"ptz", "-c", "3", "--command", "1"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("ORV_E_CAMERA_INACTIVE"), std::string::npos) << r.err;
}

TEST_F(SimCommands, ConsoleSwitchReachesTheServer) {
    const ProcessResult r = Run({"console", "--server-handle", "1", "-c", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const orv_sim::Journal journal = sim_->Server(0).Snapshot();
    ASSERT_EQ(journal.consoleSwitches.size(), 1u);
    EXPECT_EQ(journal.consoleSwitches[0].camera, 1);
}

TEST_F(SimCommands, PlatesArePrintedWithCameraAndNumber) {
    const ProcessResult r = Run({"plates", "--wait", "5"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(server 1  camera 1  \S+)"))) << r.out;
}

TEST_F(SimCommands, PlatePicturesAreSavedAndDecode) {
    const ProcessResult r = Run({"plates", "--wait", "5", "--picture", "jpeg", "-o", "pics"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::filesystem::path> pictures;
    if (std::filesystem::exists(std::filesystem::path(dir_) / "pics")) {
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(dir_) / "pics")) {
            pictures.push_back(entry.path());
        }
    }
    ASSERT_FALSE(pictures.empty()) << r.out;
    for (const auto& path : pictures) {
        ExpectPicture(path.string(), 0);
        EXPECT_NE(r.out.find(path.filename().string()), std::string::npos) << r.out;
    }
}

// A refused login leaves the server connected without a camera range. Both listings
// then print no row for it, keep the password hint and exit with status 3; the cameras
// of a server that did log in are still listed.
TEST_F(SimCommands, WrongPasswordListsNoCamerasOfThatServerAndExits3) {
    const std::string wrong = "127.0.0.1:" + std::to_string(sim_->Server(0).Port()) + "/wrong";
    const std::string good = "127.0.0.1:" + std::to_string(sim_->Server(1).Port());
    struct Case {
        std::vector<std::string> args;
        std::string mustShow;  // regex over stdout
    };
    const std::vector<Case> cases = {
        {{"-s", wrong, "servers"}, R"(\n\s*1\s+127\.0\.0\.1:\d+\s+Connected\s+none)"},
        {{"-s", wrong, "cameras"}, "^$"},
        {{"-s", wrong, "-s", good, "cameras"}, R"(\n\s*4\s+.*\s2\s+yes\n\s*5\s+.*\s2\s+yes\n$)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--connect-timeout", "3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = RunOrvctl(args, dir_);
        SCOPED_TRACE(args.back() + " with " + std::to_string(c.args.size() / 2) + " server(s)");
        EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
        EXPECT_TRUE(std::regex_search(r.out, std::regex(c.mustShow))) << r.out;
        EXPECT_EQ(r.out.find("ORV_E_"), std::string::npos) << r.out;  // no row made of error codes
        // No row of server 1's cameras 1-3.
        EXPECT_FALSE(std::regex_search(r.out, std::regex(R"(\n\s*[123]\s+.*\s1\s+(yes|no|ORV_\S+)\n)")))
            << r.out;
        EXPECT_NE(r.err.find("a connected server reports no cameras (check its password)"), std::string::npos)
            << r.err;
    }
}

}  // namespace
}  // namespace orvctl::test
