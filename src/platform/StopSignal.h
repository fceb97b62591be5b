// A manual-reset stop signal: once set it stays set until Reset, and every waiter,
// present or future, wakes at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class StopSignal {
public:
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to `timeout`; true when the signal is (or becomes) set.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace platform
