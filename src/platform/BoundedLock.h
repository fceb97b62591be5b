// Bounded waiting on a re-entrant lock: readers that could stall behind a network
// exchange try the lock a fixed number of times instead of blocking.
#pragma once

#include <mutex>

namespace platform {

// Tries `tries` times, sleeping 1 ms after each failed try. True when locked.
bool TryLockBounded(std::recursive_mutex& mutex, int tries);

// Scoped holder of a bounded try; check Owns() before touching guarded state.
class BoundedLock {
public:
    BoundedLock(std::recursive_mutex& mutex, int tries);
    ~BoundedLock();
    BoundedLock(const BoundedLock&) = delete;
    BoundedLock& operator=(const BoundedLock&) = delete;

    bool Owns() const { return owns_; }
    explicit operator bool() const { return owns_; }

private:
    std::recursive_mutex& mutex_;
    bool owns_;
};

}  // namespace platform
