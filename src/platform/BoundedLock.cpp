#include "platform/BoundedLock.h"

#include <chrono>
#include <thread>

namespace platform {

bool TryLockBounded(std::recursive_mutex& mutex, int tries) {
    for (int i = 0; i < tries; ++i) {
        if (mutex.try_lock()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

BoundedLock::BoundedLock(std::recursive_mutex& mutex, int tries)
    : mutex_(mutex), owns_(TryLockBounded(mutex, tries)) {}

BoundedLock::~BoundedLock() {
    if (owns_) {
        mutex_.unlock();
    }
}

}  // namespace platform
