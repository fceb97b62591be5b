// A server manager that serves frames by script: live frames for every camera
// asked for, archive frames from a queue or a generator. It records the frame
// calls and frame-state resets; every other operation answers "not supported".
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "manager/IOrvServerManager.h"

class FakeFrameManager : public IOrvServerManager {
public:
    struct ArchiveCall {
        int32_t channel = 0;
        std::vector<int32_t> cameras;
        int32_t requestValue = 0;
        bool forward = true;
        int32_t requestedFormat = 0;
        double targetTime = 0.0;
    };
    struct ArchiveAnswer {
        int32_t result = 0;
        int32_t got = 1;
        TOrvFrame frame;
    };
    using ArchiveScript = std::function<ArchiveAnswer(const ArchiveCall&)>;

    static TOrvFrame MakeFrame(int32_t camera, double time, std::size_t size, uint8_t fill) {
        TOrvFrame frame;
        frame.camera = camera;
        frame.time = time;
        frame.width = 4;
        frame.height = 2;
        frame.format = Bgr24;
        frame.data.assign(size, fill);
        return frame;
    }

    // ---- scripting ----
    void SetLiveFrameSize(std::size_t size) { liveFrameSize_.store(size); }
    void SetLiveResult(int32_t result) { liveResult_.store(result); }
    void PushArchive(ArchiveAnswer answer) {
        std::lock_guard lock(mutex_);
        archiveQueue_.push_back(std::move(answer));
    }
    // Used once the queue is empty; without one the archive answers -8.
    void SetArchiveScript(ArchiveScript script) {
        std::lock_guard lock(mutex_);
        archiveScript_ = std::move(script);
    }

    // ---- observation ----
    int64_t LiveCalls() const { return liveCalls_.load(); }
    int64_t ArchiveCallCount() const { return archiveCallCount_.load(); }
    std::vector<int32_t> LastLiveCameras() {
        std::lock_guard lock(mutex_);
        return lastLiveCameras_;
    }
    std::vector<ArchiveCall> ArchiveCalls() {
        std::lock_guard lock(mutex_);
        return archiveCalls_;
    }
    std::vector<std::pair<int32_t, bool>> Resets() {
        std::lock_guard lock(mutex_);
        return resets_;
    }

    // ---- frames ----
    int32_t GetLiveFrames(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                          int32_t requestedFormat, bool) override {
        const int64_t call = ++liveCalls_;
        {
            std::lock_guard lock(mutex_);
            lastLiveCameras_ = cameras;
            lastLiveFormat_ = requestedFormat;
        }
        count = 0;
        const int32_t result = liveResult_.load();
        if (result != 0) {
            return result;
        }
        frames.resize(cameras.size());
        for (const int32_t camera : cameras) {
            frames[static_cast<std::size_t>(count++)] =
                MakeFrame(camera, 46000.0 + static_cast<double>(call), liveFrameSize_.load(),
                          static_cast<uint8_t>(camera + call));
        }
        return 0;
    }

    int32_t GetArchiveFrame(int32_t channel, int32_t& got, const std::vector<int32_t>& cameras, int32_t requestValue,
                            bool forward, TOrvFrame& frame, int32_t requestedFormat, double targetTime,
                            bool) override {
        ArchiveCall call{channel, cameras, requestValue, forward, requestedFormat, targetTime};
        ArchiveAnswer answer{-8, 0, {}};
        {
            std::lock_guard lock(mutex_);
            archiveCalls_.push_back(call);
            if (!archiveQueue_.empty()) {
                answer = std::move(archiveQueue_.front());
                archiveQueue_.pop_front();
            } else if (archiveScript_) {
                answer = archiveScript_(call);
            }
        }
        ++archiveCallCount_;
        got = answer.got;
        if (answer.result == 0 || answer.result == -8) {
            frame = std::move(answer.frame);
        }
        return answer.result;
    }

    void ResetCameraFrameState(int32_t camera, bool keep) override {
        std::lock_guard lock(mutex_);
        resets_.emplace_back(camera, keep);
    }

    // ---- not used by the registry ----
    bool IsModuleReady() override { return true; }
    int32_t AddServer(const std::string&, int32_t, int32_t, int32_t, const std::string&, int32_t&, bool) override {
        return -600;
    }
    int32_t DeleteAllServers() override { return -600; }
    int32_t ConnectAll() override { return -600; }
    int32_t DisconnectAll() override { return -600; }
    int32_t GetServerCount() override { return 0; }
    int32_t GetServers(std::vector<ServerInfo>&) override { return -600; }
    int32_t GetCameraRanges(std::vector<CameraRange>&) override { return -600; }
    int32_t IsCameraServerConnected(int32_t, bool&) override { return -600; }
    int32_t IsCameraOnline(int32_t, bool&) override { return -600; }
    int32_t GetCameraInfo(int32_t, CameraInfo&) override { return -600; }
    int32_t GetAllCameraInfo(std::vector<CameraInfo>&) override { return -600; }
    int32_t GetCameraName(int32_t, std::string&) override { return -600; }
    int32_t GetAllCameraNames(std::vector<std::pair<int32_t, std::string>>&) override { return -600; }
    int32_t GetCameraServer(int32_t, std::string&, std::string&, int32_t&, int32_t&) override { return -600; }
    int32_t ArchiveOpen(int32_t, bool, std::span<const int32_t> = {}) override { return -600; }
    int32_t ArchiveFindData(int32_t, double, int32_t, std::span<const int32_t> = {}) override { return -600; }
    int32_t ArchiveGetInfo(int32_t, double&, double&) override { return -600; }
    int32_t ArchiveGetPosition(int32_t, double&) override { return -600; }
    int32_t GetServerText(int32_t, std::string&) override { return -600; }
    int32_t SetCameraAlarm(int32_t, bool) override { return -600; }
    int32_t SetCameraMode(int32_t, int32_t) override { return -600; }
    int32_t SetExternalEvent(int32_t, int32_t, int32_t, int32_t, int32_t) override { return -600; }
    int32_t SetExternalEventX(int32_t, int32_t) override { return -600; }
    int32_t ExtPultSwitchCam(int32_t, int32_t) override { return -600; }
    int32_t ExtPultShowArchive(int32_t, int32_t, int32_t, double, double, uint8_t*, int32_t, int32_t) override {
        return -600;
    }
    int32_t CamTele(int32_t, int32_t, int32_t, int32_t, int32_t) override { return -600; }
    int32_t CamTeleRaw(int32_t, int32_t, const uint8_t*) override { return -600; }
    int32_t CamTeleStored(int32_t, int32_t) override { return -600; }
    int32_t SetTeleSpeed1(int32_t, int32_t) override { return -600; }
    int32_t SetTeleSpeed2(int32_t, int32_t) override { return -600; }
    int32_t GetTeleSpeed1(int32_t, int32_t&) override { return -600; }
    int32_t GetTeleSpeed2(int32_t, int32_t&) override { return -600; }
    int32_t CamPosition(int32_t, orv_stuff::TCameraPosition*) override { return -600; }
    void SetCameraRate(int32_t, int32_t) override {}
    int32_t SubscribeLive(int32_t, uint8_t*, int32_t, int32_t, SubscriberCallback, void*) override { return -600; }
    int32_t UnsubscribeLive(int32_t, SubscriberCallback, void*) override { return -600; }
    void SetDeliveryPaused(int32_t) override {}
    int32_t UnsupportedOne(int32_t) override { return -600; }
    int32_t UnsupportedTwo(int32_t, int32_t) override { return -600; }
    void SetDeliveryDirection(int32_t) override {}
    void GetDeliveryDirection(int32_t&) override {}
    int32_t SubscribeArchive(int32_t, uint8_t*, int32_t, int32_t, SubscriberCallback, void*) override {
        return -600;
    }
    int32_t UnsubscribeArchive(int32_t, SubscriberCallback, void*) override { return -600; }
    void SetDeliveryStopped(int32_t) override {}
    int32_t SetDeliveryMode(int32_t) override { return -600; }
    void GetDeliveryMode(int32_t&) override {}
    void ResetAllFrameStates(bool) override {}
    int32_t GetCameraServerHandle(int32_t, int32_t&) override { return -600; }

private:
    std::mutex mutex_;
    std::atomic<std::size_t> liveFrameSize_{24};
    std::atomic<int32_t> liveResult_{0};
    std::atomic<int64_t> liveCalls_{0};
    std::atomic<int64_t> archiveCallCount_{0};
    std::vector<int32_t> lastLiveCameras_;
    int32_t lastLiveFormat_ = -1;
    std::deque<ArchiveAnswer> archiveQueue_;
    ArchiveScript archiveScript_;
    std::vector<ArchiveCall> archiveCalls_;
    std::vector<std::pair<int32_t, bool>> resets_;
};
