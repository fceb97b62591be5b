#include "manager/SubscriptionRegistry.h"
#include "manager/ResultCode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr int32_t kIdleWaitMs = 1;

// Registry whose callbacks the current thread is running, if any. An unsubscribe
// from inside a callback must not wait for dispatches to end: it would wait for
// itself, or for the other delivery thread which may be waiting for this one.
thread_local const SubscriptionRegistry* tDispatching = nullptr;

class DispatchScope {
public:
    explicit DispatchScope(const SubscriptionRegistry* registry) : previous_(tDispatching) {
        tDispatching = registry;
    }
    ~DispatchScope() { tDispatching = previous_; }
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;

private:
    const SubscriptionRegistry* previous_;
};

bool IsDeliverable(int32_t camera) { return camera >= 1 && camera <= SubscriptionRegistry::kMaxCamera; }

std::vector<int32_t> ToVector(const std::set<int32_t>& cameras) { return {cameras.begin(), cameras.end()}; }

std::chrono::milliseconds Millis(int32_t ms) { return std::chrono::milliseconds(std::max(ms, kIdleWaitMs)); }

}  // namespace

// ---------------------------------------------------------------------------
// ArchivePacer

ArchivePacer::ArchivePacer(processing::OrvTimeLine::WallClock clock) : timeLine_(std::move(clock)) {}

double ArchivePacer::TargetTime(bool forward) {
    if (!synchronised_) {
        return 0.0;
    }
    timeLine_.Update();
    return forward ? timeLine_.Upper() : timeLine_.Lower();
}

int32_t ArchivePacer::WaitBefore(double frameTime, bool forward) {
    if (!synchronised_) {
        timeLine_.Anchor(frameTime);
        synchronised_ = true;
        return 0;
    }
    timeLine_.Update();
    const double ahead = forward ? frameTime - timeLine_.Upper() : timeLine_.Lower() - frameTime;
    const double distanceMs = ahead / processing::kDayMs;
    if (distanceMs < 0.0) {
        // Behind the time line (late, or the direction changed): hand it out now.
        timeLine_.Anchor(frameTime);
        return 0;
    }
    if (distanceMs > kJumpDistanceMs) {
        timeLine_.Anchor(frameTime);
        return kJumpWaitMs;
    }
    if (distanceMs > kCapWaitMs) {
        timeLine_.Anchor(frameTime);
        return kCapWaitMs;
    }
    return static_cast<int32_t>(std::lround(distanceMs));
}

// ---------------------------------------------------------------------------
// Registry operations

SubscriptionRegistry::SubscriptionRegistry(RegistryOptions options) : options_(std::move(options)) {
    for (auto& rate : rates_) {
        rate.store(kDefaultRate, std::memory_order_relaxed);
    }
}

SubscriptionRegistry::~SubscriptionRegistry() { Stop(); }

void SubscriptionRegistry::Attach(orv_stuff::IOrvModule* module, IOrvServerManager* manager) {
    manager_.store(manager);
    module_.store(module);
}

void SubscriptionRegistry::Stop() {
    std::thread live;
    std::thread archive;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;  // no thread starts after this
        live = std::move(live_.thread);
        archive = std::move(archive_.thread);
    }
    stopping_.store(true);
    stopSignal_.Set();
    // Joined outside the registry mutex: the threads take it on every round.
    if (live.joinable()) {
        live.join();
    }
    if (archive.joinable()) {
        archive.join();
    }
    std::lock_guard lock(mutex_);
    live_.subscribers.clear();
    live_.cameras.clear();
    archive_.subscribers.clear();
    archive_.cameras.clear();
}

void SubscriptionRegistry::SetCameraRate(int32_t camera, int32_t rate) {
    if (!IsDeliverable(camera)) {
        return;
    }
    rates_[static_cast<std::size_t>(camera)].store(std::clamp(rate, kMinRate, kMaxRate));
}

int32_t SubscriptionRegistry::CameraRate(int32_t camera) const {
    return IsDeliverable(camera) ? rates_[static_cast<std::size_t>(camera)].load() : 0;
}

int32_t SubscriptionRegistry::SubscribeLive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t,
                                            SubscriberCallback callback, void* userData) {
    const int32_t result = Subscribe(live_, true, camera, buffer, bufferSize, callback, userData);
    IOrvServerManager* manager = manager_.load();
    if (result == orv_result::kOk && manager != nullptr) {
        // Outside the registry mutex: this takes the server lock.
        manager->ResetCameraFrameState(camera, true);
    }
    return result;
}

int32_t SubscriptionRegistry::SubscribeArchive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t,
                                               SubscriberCallback callback, void* userData) {
    return Subscribe(archive_, false, camera, buffer, bufferSize, callback, userData);
}

int32_t SubscriptionRegistry::Subscribe(Channel& channel, bool live, int32_t camera, uint8_t* buffer,
                                        int32_t bufferSize, SubscriberCallback callback, void* userData) {
    if (callback == nullptr) {
        return orv_result::kInvalidArgument;
    }
    std::lock_guard lock(mutex_);
    StartThreadLocked(channel, live);
    channel.subscribers.emplace(camera, Entry{Subscriber{callback, bufferSize, buffer, userData}, nextId_++});
    if (IsDeliverable(camera)) {
        channel.cameras.insert(camera);
    }
    return orv_result::kOk;
}

void SubscriptionRegistry::StartThreadLocked(Channel& channel, bool live) {
    if (stopped_ || channel.thread.joinable()) {
        return;
    }
    channel.thread = live ? std::thread([this] { LiveMain(); }) : std::thread([this] { ArchiveMain(); });
}

int32_t SubscriptionRegistry::UnsubscribeLive(int32_t camera, SubscriberCallback callback, void* userData) {
    return Unsubscribe(live_, camera, callback, userData);
}

int32_t SubscriptionRegistry::UnsubscribeArchive(int32_t camera, SubscriberCallback callback, void* userData) {
    return Unsubscribe(archive_, camera, callback, userData);
}

int32_t SubscriptionRegistry::Unsubscribe(Channel& channel, int32_t camera, SubscriberCallback callback,
                                          void* userData) {
    {
        std::lock_guard lock(mutex_);
        auto [it, end] = channel.subscribers.equal_range(camera);
        while (it != end) {
            const Subscriber& s = it->second.subscriber;
            it = (s.callback == callback && s.userData == userData) ? channel.subscribers.erase(it) : std::next(it);
        }
        channel.cameras.clear();
        for (const auto& [number, entry] : channel.subscribers) {
            if (IsDeliverable(number)) {
                channel.cameras.insert(number);
            }
        }
    }
    if (tDispatching != this) {
        // Let a dispatch that may still be calling the removed subscriber finish.
        std::lock_guard wait(channel.dispatchMutex);
    }
    return orv_result::kOk;
}

void SubscriptionRegistry::SetDeliveryPaused(int32_t paused) { paused_.store(paused); }

int32_t SubscriptionRegistry::UnsupportedOne(int32_t) { return orv_result::kNotSupported; }

int32_t SubscriptionRegistry::UnsupportedTwo(int32_t, int32_t) { return orv_result::kNotSupported; }

void SubscriptionRegistry::SetDeliveryDirection(int32_t forward) {
    std::lock_guard lock(mutex_);
    direction_ = forward != 0 ? 1 : 0;
    if (mode_ == kPlayForward || mode_ == kPlayBackward) {
        mode_ = forward != 0 ? kPlayForward : kPlayBackward;
    }
}

void SubscriptionRegistry::GetDeliveryDirection(int32_t& forward) {
    std::lock_guard lock(mutex_);
    forward = direction_;
}

void SubscriptionRegistry::SetDeliveryStopped(int32_t stopped) {
    std::lock_guard lock(mutex_);
    if ((stopped & 0xFF) != 0) {
        mode_ = kStopped;
        return;
    }
    mode_ = direction_ != 0 ? kPlayForward : kPlayBackward;
}

int32_t SubscriptionRegistry::SetDeliveryMode(int32_t mode) {
    if (mode < kPlayForward || mode > kStopped) {
        return orv_result::kInvalidArgument;
    }
    std::lock_guard lock(mutex_);
    mode_ = mode;
    return orv_result::kOk;
}

void SubscriptionRegistry::GetDeliveryMode(int32_t& mode) {
    std::lock_guard lock(mutex_);
    mode = mode_;
}

std::vector<int32_t> SubscriptionRegistry::LiveCameras() const {
    std::lock_guard lock(mutex_);
    return ToVector(live_.cameras);
}

std::vector<int32_t> SubscriptionRegistry::ArchiveCameras() const {
    std::lock_guard lock(mutex_);
    return ToVector(archive_.cameras);
}

bool SubscriptionRegistry::LiveThreadRunning() const {
    std::lock_guard lock(mutex_);
    return live_.thread.joinable();
}

bool SubscriptionRegistry::ArchiveThreadRunning() const {
    std::lock_guard lock(mutex_);
    return archive_.thread.joinable();
}

// ---------------------------------------------------------------------------
// Delivery

bool SubscriptionRegistry::IsRegistered(const Channel& channel, int32_t camera, uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto [it, end] = channel.subscribers.equal_range(camera);
    return std::any_of(it, end, [id](const auto& item) { return item.second.id == id; });
}

void SubscriptionRegistry::Dispatch(Channel& channel, const TOrvFrame& frame) {
    channel.batch.clear();
    {
        std::lock_guard lock(mutex_);
        auto [it, end] = channel.subscribers.equal_range(frame.camera);
        for (; it != end; ++it) {
            channel.batch.push_back(it->second);
        }
    }
    if (channel.batch.empty()) {
        return;
    }
    const auto size = std::min<std::size_t>(frame.data.size(), std::numeric_limits<int32_t>::max());
    const auto length = static_cast<int32_t>(size);
    std::lock_guard dispatching(channel.dispatchMutex);
    DispatchScope scope(this);
    for (const Entry& entry : channel.batch) {
        // An earlier callback of this batch, or another thread, may have removed it.
        if (!IsRegistered(channel, frame.camera, entry.id)) {
            continue;
        }
        const Subscriber& s = entry.subscriber;
        const uint8_t* data = frame.data.data();
        if (s.buffer != nullptr && s.bufferSize >= length) {
            if (length > 0) {
                std::memcpy(s.buffer, frame.data.data(), size);
            }
            data = s.buffer;
        }
        try {
            s.callback(frame.camera, frame.time, frame.width, frame.height, length, kFrameKind, data, s.userData);
        } catch (...) {
            // A throwing callback must not end the delivery thread (and the process).
        }
    }
}

void SubscriptionRegistry::LiveMain() {
    std::vector<int32_t> cameras;
    std::vector<TOrvFrame> frames;
    while (!stopping_.load()) {
        if (stopSignal_.WaitFor(options_.liveWait)) {
            return;
        }
        IOrvServerManager* manager = manager_.load();
        if (module_.load() == nullptr || manager == nullptr || paused_.load() != 0) {
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            cameras.assign(live_.cameras.begin(), live_.cameras.end());
        }
        if (cameras.empty()) {
            continue;
        }
        int32_t count = 0;
        if (manager->GetLiveFrames(count, cameras, frames, kFrameKind, false) != orv_result::kOk) {
            continue;
        }
        const auto delivered = std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), frames.size());
        for (std::size_t i = 0; i < delivered && !stopping_.load(); ++i) {
            Dispatch(live_, frames[i]);
        }
    }
}

void SubscriptionRegistry::ArchiveMain() {
    ArchivePacer pacer(options_.clock);
    std::vector<int32_t> cameras;
    TOrvFrame frame;
    bool pending = false;
    auto wait = static_cast<int32_t>(options_.archiveStartWait.count());
    while (!stopping_.load()) {
        if (stopSignal_.WaitFor(Millis(wait))) {
            return;
        }
        if (pending) {
            Dispatch(archive_, frame);
            lastArchiveTime_.store(frame.time);
            pending = false;
        }
        IOrvServerManager* manager = manager_.load();
        if (manager == nullptr) {
            wait = kIdleWaitMs;
            continue;
        }
        wait = FetchArchive(*manager, pacer, cameras, frame, pending, wait);
    }
}

int32_t SubscriptionRegistry::FetchArchive(IOrvServerManager& manager, ArchivePacer& pacer,
                                           std::vector<int32_t>& cameras, TOrvFrame& frame, bool& pending,
                                           int32_t wait) {
    int32_t mode = 0;
    int32_t direction = 0;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
        direction = direction_;
        cameras.assign(archive_.cameras.begin(), archive_.cameras.end());
    }
    if (mode == kStopped || cameras.empty()) {
        return kIdleWaitMs;
    }
    // The reading direction follows the delivery direction: a fixed backward read
    // would play a forward subscription in reverse and defeat the pacing.
    const bool forward = direction != 0;
    int32_t got = 0;
    const int32_t result = manager.GetArchiveFrame(kArchiveChannel, got, cameras, direction, forward, frame,
                                                   kFrameKind, pacer.TargetTime(forward), false);
    if (result == orv_result::kNoFrame || (result == orv_result::kOk && got == 0)) {
        return wait;
    }
    if (result != orv_result::kOk) {
        std::lock_guard lock(mutex_);
        mode_ = kStopped;  // stays stopped until the mode is set again
        return kIdleWaitMs;
    }
    pending = true;
    if (mode == kSingleStep) {
        std::lock_guard lock(mutex_);
        if (mode_ == kSingleStep) {
            mode_ = kStopped;
        }
    }
    const int32_t paced = pacer.WaitBefore(frame.time, forward);
    return cameras.size() > 1 ? kIdleWaitMs : paced;
}
