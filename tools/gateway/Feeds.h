// Live pictures fanned out to any number of viewers: one fetch loop per camera that has
// viewers, started by the first and ended a moment after the last one leaves. The loop
// hands every new picture to each viewer's sink, which only swaps a pointer; a viewer that
// cannot keep up therefore skips pictures and never holds up the loop or the others.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace gateway {

// One live picture as the library handed it out: a JPEG (as received from a JPEG camera,
// encoded once by the library from decoded video otherwise). Shared read-only by viewers.
struct Frame {
    int camera = 0;
    double time = 0;  // OLE date, UTC
    int width = 0;
    int height = 0;
    uint64_t sequence = 0;  // 1, 2, ... per camera loop
    std::vector<uint8_t> jpeg;
};
using FramePtr = std::shared_ptr<const Frame>;

// Where a feed delivers. Called on the feed's thread; must return at once.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual void OnFrame(const FramePtr& frame) = 0;
};

struct FeedStatus {
    bool running = false;
    int viewers = 0;
    int lastCode = 0;           // result of the newest library call
    FramePtr latest;            // newest picture, if any came since the loop started
    double secondsSinceFrame = -1;  // -1 when none came
    uint64_t frames = 0;        // new pictures since the loop started
};

struct FeedTiming {
    std::chrono::milliseconds linger{1000};      // loop keeps running this long without viewers
    std::chrono::milliseconds idlePoll{8};       // after a repeat or "no frame yet"
    std::chrono::milliseconds errorPoll{250};    // after any other failure (server down, inactive)
};

class CameraFeed;

class FeedHub {
  public:
    explicit FeedHub(FeedTiming timing = {});
    ~FeedHub();  // stops every loop
    FeedHub(const FeedHub&) = delete;
    FeedHub& operator=(const FeedHub&) = delete;

    // Adds a viewer of a camera; the camera's loop starts if it is not running. The newest
    // picture, if the loop has one, is delivered to the sink before this returns.
    void Subscribe(int camera, const std::shared_ptr<FrameSink>& sink);
    void Unsubscribe(int camera, const FrameSink* sink);

    FeedStatus Status(int camera);
    void StopAll();

  private:
    CameraFeed& Feed(int camera);

    FeedTiming timing_;
    std::mutex mutex_;
    std::map<int, std::unique_ptr<CameraFeed>> feeds_;
};

}  // namespace gateway
