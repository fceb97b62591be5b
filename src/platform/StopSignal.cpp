#include "platform/StopSignal.h"

namespace platform {

void StopSignal::Set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

void StopSignal::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool StopSignal::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

bool StopSignal::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return set_; });
}

}  // namespace platform
