// Frame subscriptions: callers register callbacks per camera, and two delivery
// threads (one live, one archive) fetch frames through the server manager's own
// frame operations and push them to every subscriber of the frame's camera.
//
// Locking. The registry mutex guards the subscriber maps, the camera sets, the
// mode and the direction. It is never held across a frame retrieval (which takes
// the manager's server lock) nor across a callback. Callbacks run on a delivery
// thread while that thread holds its dispatch mutex, so a callback may call any
// registry operation, including unsubscribing itself. An unsubscribe from any
// other thread waits for a dispatch in progress to end, so once it returns the
// removed callback is not running and will not be called again; the one
// exception is an unsubscribe issued from inside a callback, which cannot wait
// for the other delivery thread without risking a deadlock between the two.
// Consequently a callback must not wait for a thread that is itself inside an
// unsubscribe, and must not destroy the registry (or the manager owning it).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "manager/IOrvServerManager.h"
#include "platform/StopSignal.h"
#include "video/OrvTimeLine.h"
#include "video/FrameRequest.h"
#include "video/TOrvFrame.h"

namespace orv_stuff {
class IOrvModule;
}

// Timings of the delivery threads; tests shorten them or hand in their own clock.
struct RegistryOptions {
    std::chrono::milliseconds liveWait{1};           // pause between live fetches
    std::chrono::milliseconds archiveStartWait{20};  // first pause of the archive thread
    processing::OrvTimeLine::WallClock clock;        // archive pacing; null: local wall clock
};

// Paces archive frames at the rate they were recorded: a time line anchored on
// the first frame says how long to wait before each following frame is handed
// out. Gaps in the recording are shortened: a frame more than 333 ms ahead waits
// 333 ms, one more than 2 s ahead goes out at once; both re-anchor the time line,
// as does a frame that lies behind it in the reading direction.
class ArchivePacer {
public:
    static constexpr int32_t kCapWaitMs = 333;
    static constexpr int32_t kJumpDistanceMs = 2000;
    static constexpr int32_t kJumpWaitMs = 1;

    explicit ArchivePacer(processing::OrvTimeLine::WallClock clock = {});

    // Stream time the next read should aim at: 0 (the next frame) until a frame
    // has anchored the time line, then the time line's current position.
    double TargetTime(bool forward);
    // Milliseconds to wait before handing out a frame of this time.
    int32_t WaitBefore(double frameTime, bool forward);
    bool Synchronised() const { return synchronised_; }

private:
    processing::OrvTimeLine timeLine_;
    bool synchronised_ = false;
};

class SubscriptionRegistry {
public:
    static constexpr int32_t kMaxCamera = 2048;
    static constexpr int32_t kDefaultRate = 25;
    static constexpr int32_t kMinRate = 1;
    static constexpr int32_t kMaxRate = 50;
    // Frames are fetched and announced as BGR (the request and the record format agree).
    static constexpr int32_t kFrameKind = processing::kRequestBgr;
    static constexpr int32_t kArchiveChannel = 0;

    enum Mode : int32_t { kPlayForward = 1, kPlayBackward = 2, kSingleStep = 3, kStopped = 4 };

    explicit SubscriptionRegistry(RegistryOptions options = {});
    ~SubscriptionRegistry();
    SubscriptionRegistry(const SubscriptionRegistry&) = delete;
    SubscriptionRegistry& operator=(const SubscriptionRegistry&) = delete;

    // Given once the protocol client is ready; until then nothing is fetched.
    void Attach(orv_stuff::IOrvModule* module, IOrvServerManager* manager);
    // Ends both delivery threads (live first) and drops every subscriber.
    // Idempotent; must not be called from a callback.
    void Stop();

    void SetCameraRate(int32_t camera, int32_t rate);
    // Stored rate of a camera (1..2048), 0 for other numbers.
    int32_t CameraRate(int32_t camera) const;

    // 0, or -5 for a null callback (it could never be called).
    int32_t SubscribeLive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t unused,
                          SubscriberCallback callback, void* userData);
    int32_t SubscribeArchive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t unused,
                             SubscriberCallback callback, void* userData);
    // Removes every subscription of the camera with this callback and user data.
    int32_t UnsubscribeLive(int32_t camera, SubscriberCallback callback, void* userData);
    int32_t UnsubscribeArchive(int32_t camera, SubscriberCallback callback, void* userData);

    void SetDeliveryPaused(int32_t paused);
    int32_t UnsupportedOne(int32_t value);
    int32_t UnsupportedTwo(int32_t value1, int32_t value2);
    void SetDeliveryDirection(int32_t forward);
    void GetDeliveryDirection(int32_t& forward);
    void SetDeliveryStopped(int32_t stopped);
    int32_t SetDeliveryMode(int32_t mode);
    void GetDeliveryMode(int32_t& mode);

    // Observation.
    double LastArchiveTime() const { return lastArchiveTime_.load(); }
    std::vector<int32_t> LiveCameras() const;
    std::vector<int32_t> ArchiveCameras() const;
    bool LiveThreadRunning() const;
    bool ArchiveThreadRunning() const;

private:
    struct Entry {
        Subscriber subscriber;
        uint64_t id = 0;
    };
    using SubscriberMap = std::multimap<int32_t, Entry>;

    // One kind of delivery: its subscribers, their cameras and its thread.
    struct Channel {
        SubscriberMap subscribers;
        std::set<int32_t> cameras;
        std::thread thread;
        std::mutex dispatchMutex;   // held by the delivery thread while callbacks run
        std::vector<Entry> batch;   // delivery thread only
    };

    int32_t Subscribe(Channel& channel, bool live, int32_t camera, uint8_t* buffer, int32_t bufferSize,
                      SubscriberCallback callback, void* userData);
    int32_t Unsubscribe(Channel& channel, int32_t camera, SubscriberCallback callback, void* userData);
    void StartThreadLocked(Channel& channel, bool live);
    bool IsRegistered(const Channel& channel, int32_t camera, uint64_t id) const;
    void Dispatch(Channel& channel, const TOrvFrame& frame);

    void LiveMain();
    void ArchiveMain();
    // One archive read; answers the wait before the next round.
    int32_t FetchArchive(IOrvServerManager& manager, ArchivePacer& pacer, std::vector<int32_t>& cameras,
                         TOrvFrame& frame, bool& pending, int32_t wait);

    RegistryOptions options_;
    std::array<std::atomic<int32_t>, kMaxCamera + 1> rates_;
    std::atomic<orv_stuff::IOrvModule*> module_{nullptr};
    std::atomic<IOrvServerManager*> manager_{nullptr};
    std::atomic<bool> stopping_{false};
    platform::StopSignal stopSignal_;
    std::atomic<int32_t> paused_{0};
    std::atomic<double> lastArchiveTime_{0.0};

    mutable std::mutex mutex_;  // the registry mutex
    int32_t mode_ = kPlayForward;
    int32_t direction_ = 1;
    uint64_t nextId_ = 1;
    bool stopped_ = false;
    Channel live_;
    Channel archive_;
};
