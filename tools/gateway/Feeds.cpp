#include "Feeds.h"

#include <algorithm>

#include "orv_sdk.h"

namespace gateway {

namespace {
constexpr size_t kInitialBuffer = 1 << 20;
constexpr size_t kMaxFrameBytes = 64u << 20;
}  // namespace

class CameraFeed {
  public:
    CameraFeed(int camera, const FeedTiming& timing) : camera_(camera), timing_(timing) {}
    ~CameraFeed() { Stop(); }

    void Subscribe(const std::shared_ptr<FrameSink>& sink) {
        FramePtr latest;
        {
            std::lock_guard lock(mutex_);
            sinks_.push_back(sink);
            if (!running_) {
                if (thread_.joinable()) {
                    thread_.join();  // it has left its loop: running_ goes false as its last step
                }
                running_ = true;
                stop_ = false;
                frames_ = 0;
                latest_.reset();
                lastCode_ = ORV_OK;
                thread_ = std::thread([this] { Run(); });
            }
            latest = latest_;
        }
        wake_.notify_all();
        if (latest) {
            sink->OnFrame(latest);
        }
    }

    void Unsubscribe(const FrameSink* sink) {
        std::lock_guard lock(mutex_);
        std::erase_if(sinks_, [sink](const auto& s) { return s.get() == sink; });
        if (sinks_.empty()) {
            lastViewerLeft_ = std::chrono::steady_clock::now();
        }
    }

    FeedStatus Status() {
        std::lock_guard lock(mutex_);
        FeedStatus status;
        status.running = running_;
        status.viewers = static_cast<int>(sinks_.size());
        status.lastCode = lastCode_;
        status.latest = latest_;
        status.frames = frames_;
        if (latest_) {
            status.secondsSinceFrame =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - latestArrived_).count();
        }
        return status;
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            sinks_.clear();
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        std::lock_guard lock(mutex_);
        running_ = false;
    }

  private:
    void Run() {
        std::vector<char> buffer(kInitialBuffer);
        double lastTime = -1;
        uint64_t sequence = 0;
        double frameIntervalMs = 40;  // learnt from the pictures' times
        std::vector<std::shared_ptr<FrameSink>> sinks;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stop_ || (sinks_.empty() && std::chrono::steady_clock::now() - lastViewerLeft_ >= timing_.linger)) {
                    running_ = false;
                    return;
                }
            }
            double time = 0;
            int width = 0, height = 0, size = 0;
            int code = ORV_VideoGetFrame(camera_, ORV_FRAME_JPEG, buffer.data(), static_cast<unsigned>(buffer.size()),
                                         &time, &width, &height, &size);
            if (code == ORV_E_BUFFER_TOO_SMALL && size > 0 && static_cast<size_t>(size) <= kMaxFrameBytes) {
                buffer.resize(static_cast<size_t>(size));
                code = ORV_VideoGetFrame(camera_, ORV_FRAME_JPEG, buffer.data(), static_cast<unsigned>(buffer.size()),
                                         &time, &width, &height, &size);
            }
            const bool fresh = code == ORV_OK && size > 0 && static_cast<size_t>(size) <= buffer.size() &&
                               time != lastTime;
            FramePtr frame;
            if (fresh) {
                if (lastTime > 0 && time > lastTime) {
                    const double ms = (time - lastTime) * 86'400'000.0;
                    frameIntervalMs = std::clamp(0.8 * frameIntervalMs + 0.2 * ms, 5.0, 1000.0);
                }
                lastTime = time;
                auto made = std::make_shared<Frame>();
                made->camera = camera_;
                made->time = time;
                made->width = width;
                made->height = height;
                made->sequence = ++sequence;
                made->jpeg.assign(buffer.begin(), buffer.begin() + size);
                frame = std::move(made);
            }
            {
                std::lock_guard lock(mutex_);
                lastCode_ = code;
                if (frame) {
                    latest_ = frame;
                    latestArrived_ = std::chrono::steady_clock::now();
                    ++frames_;
                    sinks = sinks_;
                }
            }
            // Delivered outside the lock: a sink only swaps a pointer and posts a wake-up.
            for (const auto& sink : sinks) {
                sink->OnFrame(frame);
            }
            sinks.clear();

            std::chrono::milliseconds pause = timing_.idlePoll;
            if (fresh) {
                // The next picture is not due before most of a frame interval has passed.
                pause = std::max(timing_.idlePoll,
                                 std::chrono::milliseconds(static_cast<int>(frameIntervalMs * 0.6)));
            } else if (code != ORV_OK && code != ORV_E_NO_FRAME && code != ORV_E_FAILED) {
                pause = timing_.errorPoll;  // server down, camera inactive: ask again slowly
            }
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, pause, [this] { return stop_; });
        }
    }

    const int camera_;
    const FeedTiming timing_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<FrameSink>> sinks_;
    std::thread thread_;
    bool running_ = false;
    bool stop_ = false;
    int lastCode_ = ORV_OK;
    FramePtr latest_;
    uint64_t frames_ = 0;
    std::chrono::steady_clock::time_point latestArrived_{};
    std::chrono::steady_clock::time_point lastViewerLeft_{};
};

FeedHub::FeedHub(FeedTiming timing) : timing_(timing) {}

FeedHub::~FeedHub() { StopAll(); }

CameraFeed& FeedHub::Feed(int camera) {
    std::lock_guard lock(mutex_);
    auto& feed = feeds_[camera];
    if (!feed) {
        feed = std::make_unique<CameraFeed>(camera, timing_);
    }
    return *feed;
}

void FeedHub::Subscribe(int camera, const std::shared_ptr<FrameSink>& sink) { Feed(camera).Subscribe(sink); }

void FeedHub::Unsubscribe(int camera, const FrameSink* sink) { Feed(camera).Unsubscribe(sink); }

FeedStatus FeedHub::Status(int camera) { return Feed(camera).Status(); }

void FeedHub::StopAll() {
    std::lock_guard lock(mutex_);
    for (auto& [camera, feed] : feeds_) {
        feed->Stop();
    }
}

}  // namespace gateway
