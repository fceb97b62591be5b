#include "platform/BoundedLock.h"
#include "platform/StopSignal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Holds the mutex on another thread until released, as a busy worker would.
class Holder {
public:
    explicit Holder(std::recursive_mutex& mutex) {
        thread_ = std::thread([&mutex, this] {
            std::lock_guard lock(mutex);
            held_.set_value();
            release_.get_future().wait();
        });
        held_.get_future().wait();
    }
    ~Holder() {
        release_.set_value();
        thread_.join();
    }

private:
    std::promise<void> held_;
    std::promise<void> release_;
    std::thread thread_;
};

TEST(BoundedLock, FreeMutexIsTakenOnFirstTry) {
    std::recursive_mutex mutex;
    const auto start = Clock::now();
    {
        platform::BoundedLock lock(mutex, 175);
        EXPECT_TRUE(lock.Owns());
    }
    EXPECT_LT(Clock::now() - start, milliseconds(5));
    EXPECT_TRUE(mutex.try_lock());  // released by the guard
    mutex.unlock();
}

TEST(BoundedLock, ReentrantOnTheOwningThread) {
    std::recursive_mutex mutex;
    platform::BoundedLock outer(mutex, 1);
    platform::BoundedLock inner(mutex, 1);
    EXPECT_TRUE(outer.Owns());
    EXPECT_TRUE(inner.Owns());
}

class BoundedLockBusy : public ::testing::TestWithParam<int> {};

// What one "1 ms" sleep may really take: Linux wakes close to the millisecond; Windows
// rounds a sleep up to its timer tick, 15.6 ms unless the process asked for finer ones.
#ifdef _WIN32
constexpr int kSleepAllowanceMs = 16;
#else
constexpr int kSleepAllowanceMs = 3;
#endif

TEST_P(BoundedLockBusy, GivesUpAfterTriesWithOneMsSleeps) {
    const int tries = GetParam();
    std::recursive_mutex mutex;
    Holder holder(mutex);
    const auto start = Clock::now();
    platform::BoundedLock lock(mutex, tries);
    const auto elapsed = Clock::now() - start;
    EXPECT_FALSE(lock.Owns());
    EXPECT_GE(elapsed, milliseconds(tries));
    EXPECT_LT(elapsed, milliseconds(tries * kSleepAllowanceMs + 50));
}

INSTANTIATE_TEST_SUITE_P(Counts, BoundedLockBusy, ::testing::Values(1, 20, 50, 175));

TEST(BoundedLock, ObtainsTheLockWhenReleasedWithinTheBudget) {
    std::recursive_mutex mutex;
    std::promise<void> held;
    std::thread owner([&] {
        std::lock_guard lock(mutex);
        held.set_value();
        std::this_thread::sleep_for(milliseconds(20));
    });
    held.get_future().wait();
    platform::BoundedLock lock(mutex, 600);
    EXPECT_TRUE(lock.Owns());
    owner.join();  // the owner has released: joining cannot deadlock
}

TEST(StopSignal, WaitTimesOutWhenNotSet) {
    platform::StopSignal signal;
    const auto start = Clock::now();
    EXPECT_FALSE(signal.WaitFor(milliseconds(30)));
    EXPECT_GE(Clock::now() - start, milliseconds(30));
}

TEST(StopSignal, SetWakesAWaiterAtOnce) {
    platform::StopSignal signal;
    auto waiter = std::async(std::launch::async, [&] {
        const auto start = Clock::now();
        const bool woke = signal.WaitFor(milliseconds(10'000));
        return std::make_pair(woke, Clock::now() - start);
    });
    std::this_thread::sleep_for(milliseconds(20));
    signal.Set();
    const auto [woke, elapsed] = waiter.get();
    EXPECT_TRUE(woke);
    EXPECT_LT(elapsed, milliseconds(1000));
}

TEST(StopSignal, StaysSetUntilResetLikeAManualResetEvent) {
    platform::StopSignal signal;
    signal.Set();
    EXPECT_TRUE(signal.IsSet());
    EXPECT_TRUE(signal.WaitFor(milliseconds(0)));
    EXPECT_TRUE(signal.WaitFor(milliseconds(1000)));  // returns at once, not after 1 s
    signal.Reset();
    EXPECT_FALSE(signal.IsSet());
    EXPECT_FALSE(signal.WaitFor(milliseconds(1)));
}

TEST(StopSignal, WakesEveryWaiter) {
    platform::StopSignal signal;
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (signal.WaitFor(milliseconds(5000))) {
                ++woke;
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(10));
    const auto start = Clock::now();
    signal.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(woke.load(), 4);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
}

}  // namespace
