// What a subscriber saw: every callback's arguments, the bytes it was handed and
// when it ran. Used as the callback's user data.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "manager/IOrvServerManager.h"

struct Delivery {
    int32_t camera = 0;
    double time = 0.0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t length = 0;
    int32_t kind = 0;
    const uint8_t* data = nullptr;
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
};

class RecordingSubscriber {
public:
    // Runs inside the callback, after the delivery is recorded.
    std::function<void(const Delivery&)> onDelivery;

    static void Callback(int32_t camera, double time, int32_t width, int32_t height, int32_t length, int32_t kind,
                         const uint8_t* data, void* userData) {
        auto* self = static_cast<RecordingSubscriber*>(userData);
        Delivery d{camera, time, width, height, length, kind, data, {}, std::chrono::steady_clock::now()};
        if (data != nullptr && length > 0) {
            d.bytes.assign(data, data + length);
        }
        {
            std::lock_guard lock(self->mutex_);
            self->deliveries_.push_back(d);
        }
        if (self->onDelivery) {
            self->onDelivery(d);
        }
    }

    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return deliveries_.size();
    }
    std::vector<Delivery> Deliveries() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
};

// Polls `done` every millisecond for at most `limit`.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs an action when the scope ends. Declared after the subscribers (and whatever
// their callbacks touch), it ends delivery before they go away, also when an
// assertion leaves the test early.
class AtScopeExit {
public:
    explicit AtScopeExit(std::function<void()> action) : action_(std::move(action)) {}
    ~AtScopeExit() { action_(); }
    AtScopeExit(const AtScopeExit&) = delete;
    AtScopeExit& operator=(const AtScopeExit&) = delete;

private:
    std::function<void()> action_;
};
