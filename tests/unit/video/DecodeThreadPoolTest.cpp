#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "video/DecodeThreadPool.h"

namespace {

using namespace std::chrono_literals;
using processing::DecodeThreadPool;

// Waits (bounded) until `done` handlers reported in.
bool WaitFor(std::atomic<int>& done, int expected) {
    for (int i = 0; i < 2000 && done.load() < expected; ++i) std::this_thread::sleep_for(1ms);
    return done.load() == expected;
}

TEST(DecodeThreadPool, OneStrandRunsItsHandlersOneAtATimeInPostingOrder) {
    DecodeThreadPool pool(4);
    auto strand = pool.MakeStrand();
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    std::atomic<int> done{0};
    std::vector<int> order;  // written only inside the strand
    constexpr int kCount = 2000;
    for (int i = 0; i < kCount; ++i) {
        pool.Post(strand, [&, i] {
            if (inside.exchange(true)) ++overlaps;
            order.push_back(i);
            inside = false;
            ++done;
        });
    }
    ASSERT_TRUE(WaitFor(done, kCount));
    pool.Stop();
    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(order.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(order[i], i);
}

TEST(DecodeThreadPool, DifferentStrandsRunInParallel) {
    DecodeThreadPool pool(2);
    auto first = pool.MakeStrand();
    auto second = pool.MakeStrand();
    std::mutex mutex;
    std::condition_variable cv;
    bool secondRan = false;
    std::atomic<int> done{0};
    std::atomic<bool> sawSecond{false};
    pool.Post(first, [&] {
        std::unique_lock lock(mutex);
        // Blocks its worker until the other strand's handler has run elsewhere.
        sawSecond = cv.wait_for(lock, 2s, [&] { return secondRan; });
        ++done;
    });
    pool.Post(second, [&] {
        std::lock_guard lock(mutex);
        secondRan = true;
        cv.notify_all();
        ++done;
    });
    ASSERT_TRUE(WaitFor(done, 2));
    EXPECT_TRUE(sawSecond.load());
}

TEST(DecodeThreadPool, StopJoinsOnceAndLaterWorkNeverRuns) {
    DecodeThreadPool pool(3);
    EXPECT_EQ(pool.ThreadCount(), 3u);
    pool.Stop();
    pool.Stop();
    EXPECT_TRUE(pool.Stopped());
    auto strand = pool.MakeStrand();
    std::atomic<int> ran{0};
    pool.Post(strand, [&] { ++ran; });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ran.load(), 0);
}

}  // namespace
