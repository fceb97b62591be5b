// The integration block as another process sees it: the library's block is opened
// by name with plain POSIX calls, the way a neighbouring program would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/BlockUsers.h"
#include "orv_sdk.h"

extern char** environ;

namespace {

constexpr const char* kName = "/OrvIntegrData";
constexpr size_t kSize = 120;
constexpr unsigned char kMarker[] = {'O', 'R', 'V', 0x01, 0xFE};

class Mapping {
public:
    Mapping() {
        fd_ = shm_open(kName, O_RDWR, 0);
        if (fd_ < 0) return;
        void* view = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (view != MAP_FAILED) view_ = static_cast<unsigned char*>(view);
    }
    ~Mapping() {
        if (view_ != nullptr) munmap(view_, kSize);
        if (fd_ >= 0) close(fd_);
    }
    unsigned char* view() const { return view_; }

private:
    int fd_ = -1;
    unsigned char* view_ = nullptr;
};

bool NameExists() {
    const int fd = shm_open(kName, O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Runs one test of this executable in a new process; returns its exit status.
int RunSelf(const char* filter) {
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return -1;
    std::string filterArg = std::string("--gtest_filter=") + filter;
    char* argv[] = {self, filterArg.data(), nullptr};
    setenv("ORV_BLOCK_CHILD", "1", 1);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self, nullptr, nullptr, argv, environ);
    unsetenv("ORV_BLOCK_CHILD");
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(IntegrationBlock, ExistsWhileInitialisedAndIsZeroedByItsCreator) {
    orv_test::BlockUsersLock users;
    ASSERT_EQ(ORV_Uninit(), 0);
    ASSERT_FALSE(NameExists()) << "another process holds the block; cannot test creation";
    ASSERT_EQ(ORV_Init(), 0);
    {
        Mapping block;
        ASSERT_NE(block.view(), nullptr);
        for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(block.view()[i], 0) << i;
        struct stat info {};
        const int fd = shm_open(kName, O_RDONLY, 0);
        ASSERT_GE(fd, 0);
        fstat(fd, &info);
        close(fd);
        EXPECT_EQ(info.st_size, static_cast<off_t>(kSize));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    ASSERT_EQ(ORV_Uninit(), 0);
    EXPECT_FALSE(NameExists()) << "the last holder removes the name, as a mapping's last handle would";
}

TEST(IntegrationBlock, SecondProcessSeesTheBytesUnchanged) {
    orv_test::BlockUsersLock users;  // the child runs inside our hold and takes no lock itself
    ASSERT_EQ(ORV_Init(), 0);
    {
        Mapping block;
        ASSERT_NE(block.view(), nullptr);
        std::memcpy(block.view() + 40, kMarker, sizeof kMarker);
        ASSERT_EQ(RunSelf("IntegrationBlockChild.*"), 0);
        EXPECT_EQ(std::memcmp(block.view() + 40, kMarker, sizeof kMarker), 0);
        EXPECT_EQ(block.view()[119], 0x3C);  // written by the child
    }
    EXPECT_TRUE(NameExists());  // the child's Uninit left our block alone
    ASSERT_EQ(ORV_Uninit(), 0);
}

// Runs only inside the process spawned above.
TEST(IntegrationBlockChild, InitialisesOverAnExistingBlock) {
    if (std::getenv("ORV_BLOCK_CHILD") == nullptr) {
        GTEST_SKIP() << "runs as the second process of SecondProcessSeesTheBytesUnchanged";
    }
    ASSERT_EQ(ORV_Init(), 0);
    {
        Mapping block;
        ASSERT_NE(block.view(), nullptr);
        ASSERT_EQ(std::memcmp(block.view() + 40, kMarker, sizeof kMarker), 0) << "block was zeroed or replaced";
        block.view()[119] = 0x3C;
    }
    ASSERT_EQ(ORV_Uninit(), 0);
}

}  // namespace
