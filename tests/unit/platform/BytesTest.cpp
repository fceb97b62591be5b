// Picture storage: mapped blocks are reused for pictures of about the same size,
// the kept blocks stay within their bound, and the whole of every block is
// usable, also while many threads take and give back blocks at once.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/Bytes.h"

namespace {

using platform::AllocateBlock;
using platform::CachedBlockBytes;
using platform::FreeBlock;
using platform::kCachedBlockLimit;
using platform::kMappedBlockMin;

TEST(Bytes, FreedPictureBlockServesTheNextPictureOfAboutTheSameSize) {
    const size_t bgr1080p = 1920 * 1080 * 3;
    void* first = AllocateBlock(bgr1080p);
    std::memset(first, 0xA5, bgr1080p);
    FreeBlock(first, bgr1080p);
    EXPECT_GE(CachedBlockBytes(), bgr1080p);

    // A slightly smaller picture maps to the same size and gets the same block;
    // one half the size does not.
    void* half = AllocateBlock(bgr1080p / 2);
    EXPECT_NE(half, first);
    void* again = AllocateBlock(bgr1080p - 4096);
    EXPECT_EQ(again, first);
    std::memset(again, 0x5A, bgr1080p - 4096);
    FreeBlock(again, bgr1080p - 4096);
    FreeBlock(half, bgr1080p / 2);

    // Blocks below the mapped size come from the heap and are never kept.
    const size_t kept = CachedBlockBytes();
    void* small = AllocateBlock(kMappedBlockMin - 1);
    FreeBlock(small, kMappedBlockMin - 1);
    EXPECT_EQ(CachedBlockBytes(), kept);
}

TEST(Bytes, KeptBlocksStayWithinTheirBound) {
    std::vector<std::pair<void*, size_t>> blocks;
    for (size_t i = 0; i < 40; ++i) {
        const size_t bytes = kMappedBlockMin * (1 + i % 13) + 1000 * i;
        blocks.emplace_back(AllocateBlock(bytes), bytes);
        std::memset(blocks.back().first, static_cast<int>(i), bytes);
    }
    for (const auto& [block, bytes] : blocks) FreeBlock(block, bytes);
    EXPECT_GT(CachedBlockBytes(), kCachedBlockLimit / 2);
    EXPECT_LE(CachedBlockBytes(), kCachedBlockLimit);

    // One larger than the whole bound is given straight back.
    const size_t before = CachedBlockBytes();
    void* huge = AllocateBlock(kCachedBlockLimit + 1);
    FreeBlock(huge, kCachedBlockLimit + 1);
    EXPECT_EQ(CachedBlockBytes(), before);
}

TEST(Bytes, ThreadsTakingAndGivingBackBlocksEachKeepTheirOwnBytes) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 300; ++i) {
                const size_t bytes = kMappedBlockMin + static_cast<size_t>((i * 7 + t) % 5) * 200'000;
                platform::Bytes picture(bytes, static_cast<uint8_t>(t + 1));
                std::this_thread::yield();
                for (size_t at = 0; at < bytes; at += 4093) failures[t] += picture[at] != t + 1;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_LE(CachedBlockBytes(), kCachedBlockLimit);
}

}  // namespace
