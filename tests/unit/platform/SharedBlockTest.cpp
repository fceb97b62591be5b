#include "platform/SharedBlock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A name of our own per test, so a library in use on this machine is never disturbed.
std::string TestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "/OrvTest_" + std::to_string(getpid()) + "_" + info->name();
}

bool NameExists(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

constexpr uint8_t kMarker[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x42};

TEST(SharedBlock, CreatorGetsAZeroedBlockOfTheRequestedSize) {
    const auto name = TestName();
    // A stale object full of garbage, as a crashed process would leave it.
    {
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 120), 0);
        void* view = mmap(nullptr, 120, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(view, MAP_FAILED);
        std::memset(view, 0xAB, 120);
        munmap(view, 120);
        close(fd);
    }
    platform::SharedBlock block(name);
    ASSERT_TRUE(block.IsMapped());
    EXPECT_TRUE(block.Created());
    EXPECT_EQ(block.Size(), 120u);
    for (size_t i = 0; i < block.Size(); ++i) {
        ASSERT_EQ(block.Data()[i], 0) << "byte " << i;
    }
    struct stat info {};
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &info), 0);
    close(fd);
    EXPECT_EQ(info.st_size, 120);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(SharedBlock, SecondHolderSeesTheSameBytesAndDoesNotZeroThem) {
    const auto name = TestName();
    platform::SharedBlock first(name);
    ASSERT_TRUE(first.IsMapped());
    std::memcpy(first.Data() + 7, kMarker, sizeof kMarker);

    platform::SharedBlock second(name);
    ASSERT_TRUE(second.IsMapped());
    EXPECT_FALSE(second.Created());
    EXPECT_EQ(std::memcmp(second.Data() + 7, kMarker, sizeof kMarker), 0);
    second.Data()[100] = 0x77;
    EXPECT_EQ(first.Data()[100], 0x77);
}

TEST(SharedBlock, OtherProcessSeesTheCreatorsBytesUnchanged) {
    const auto name = TestName();
    platform::SharedBlock creator(name);
    ASSERT_TRUE(creator.IsMapped());
    ASSERT_TRUE(creator.Created());
    std::memcpy(creator.Data(), kMarker, sizeof kMarker);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child opens its own holder: it must not be the creator nor zero anything.
        platform::SharedBlock other(name);
        int status = 0;
        if (!other.IsMapped()) status |= 1;
        if (other.Created()) status |= 2;
        if (other.IsMapped() && std::memcmp(other.Data(), kMarker, sizeof kMarker) != 0) status |= 4;
        if (other.IsMapped()) other.Data()[119] = 0x5A;  // seen by the parent
        other.Release();
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 unmapped, 2 claimed creation, 4 marker lost";
    EXPECT_EQ(creator.Data()[119], 0x5A);
    EXPECT_EQ(std::memcmp(creator.Data(), kMarker, sizeof kMarker), 0);
    // The child's release must not remove the name while we still hold it.
    EXPECT_TRUE(NameExists(name));
}

TEST(SharedBlock, NameDisappearsWithTheLastHolderOnly) {
    const auto name = TestName();
    auto first = std::make_unique<platform::SharedBlock>(name);
    auto second = std::make_unique<platform::SharedBlock>(name);
    ASSERT_TRUE(first->IsMapped());
    ASSERT_TRUE(second->IsMapped());
    first->Release();
    EXPECT_TRUE(NameExists(name));
    EXPECT_FALSE(first->IsMapped());
    first->Release();  // idempotent
    second.reset();
    EXPECT_FALSE(NameExists(name));
}

TEST(SharedBlock, ReopenAfterLastReleaseStartsFromZero) {
    const auto name = TestName();
    {
        platform::SharedBlock block(name);
        ASSERT_TRUE(block.IsMapped());
        std::memset(block.Data(), 0xFF, block.Size());
    }
    platform::SharedBlock again(name);
    ASSERT_TRUE(again.IsMapped());
    EXPECT_TRUE(again.Created());
    EXPECT_EQ(again.Data()[0], 0);
    EXPECT_EQ(again.Data()[119], 0);
}

TEST(SharedBlock, TooSmallForeignObjectIsNotMapped) {
    const auto name = TestName();
    platform::SharedBlock small(name, 16);
    ASSERT_TRUE(small.IsMapped());
    // A later holder wanting 120 bytes must not map past the 16-byte object's end.
    platform::SharedBlock big(name, 120);
    EXPECT_FALSE(big.Created());
    EXPECT_FALSE(big.IsMapped());
}

}  // namespace
