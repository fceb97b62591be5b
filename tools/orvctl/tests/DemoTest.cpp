// `orvctl demo` end to end: it must succeed and every picture it saved must decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "support/BlockUsers.h"
#include "PictureCheck.h"
#include "RunProcess.h"
#include "sim/VideoBlocks.h"

namespace orvctl::test {
namespace {

TEST(Demo, RunsAndSavesPicturesThatDecode) {
    const orv_test::BlockUsersLock users;
    const std::string dir = MakeTempDir("orvctl-demo");
    const ProcessResult r = RunOrvctl({"demo"}, dir, 120);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Summary"), std::string::npos) << r.out;

    int pictures = 0;
    const std::filesystem::path root = std::filesystem::path(dir) / "orv-demo";
    ASSERT_TRUE(std::filesystem::is_directory(root)) << r.out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        DecodedPicture picture;
        std::string error;
        EXPECT_TRUE(DecodePictureFile(entry.path().string(), picture, error)) << error;
        EXPECT_GT(picture.width, 0);
        // Every saved file is named in the output, so a person can find it.
        if (entry.path().parent_path() == root) {
            EXPECT_NE(r.out.find(entry.path().filename().string()), std::string::npos) << entry.path();
        }
        ++pictures;
    }
    EXPECT_EQ(r.out.find("snapshot of every camera  skipped"), std::string::npos) << r.out;
    EXPECT_GE(pictures, 7) << r.out;  // the seven active cameras of the two servers, at least

    // Each command step reports in its summary row what the simulated server received.
    // Camera 4 is the H.264 camera of the first server when an H.264 encoder exists.
    const bool h264 = orv_sim::H264EncoderAvailable();
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"H.264 camera decoded to BGR",
         h264 ? R"(ok\s+[\d.]+\s+camera 4 \(h264, server 1\) decoded to 640x360 BGR, saved \S*camera-4-bgr\.png)"
              : R"(skipped\s+[\d.]+\s+.*no H\.264 encoder)"},
        {"camera event", R"(ok\s+[\d.]+\s+server 2 received camera event 8 \(1,2,3,4\))"},
        {"server event", R"(ok\s+[\d.]+\s+server 1 received server event 7)"},
        {"PTZ command",
         R"(ok\s+[\d.]+\s+server 1 received telemetry command 3 for camera 1 \(speeds 30/60, value 5\))"},
        {"console switch", R"(ok\s+[\d.]+\s+server 2 received console switch to camera 5)"},
    };
    for (const auto& [step, row] : rows) {
        EXPECT_TRUE(std::regex_search(r.out, std::regex("\n" + step + "\\s+" + row))) << step << "\n" << r.out;
    }
    if (h264) {
        DecodedPicture picture;
        std::string error;
        ASSERT_TRUE(DecodePictureFile((root / "camera-4-bgr.png").string(), picture, error)) << error;
        EXPECT_EQ(picture.channels, 3);
        const auto [lo, hi] = std::minmax_element(picture.pixels.begin(), picture.pixels.end());
        EXPECT_GT(*hi - *lo, 32);  // a decoded picture, not a blank one
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orvctl::test
