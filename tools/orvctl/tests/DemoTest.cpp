// `orvctl demo` end to end: it must succeed and every picture it saved must decode.
#include <gtest/gtest.h>

#include <filesystem>

#include "LibraryUsersLock.h"
#include "PictureCheck.h"
#include "RunProcess.h"

namespace orvctl::test {
namespace {

TEST(Demo, RunsAndSavesPicturesThatDecode) {
    const LibraryUsersLock users;
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
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.out.find("snapshot of every camera  skipped"), std::string::npos) << r.out;
    EXPECT_GE(pictures, 7) << r.out;  // the seven active cameras of the two servers, at least
}

}  // namespace
}  // namespace orvctl::test
