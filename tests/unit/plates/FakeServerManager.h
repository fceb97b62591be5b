// A scripted server manager for the plate helper's tests: servers with states,
// per-server queues of plate texts, and an archive that answers frames by script.
// Operations the helper does not use answer "not supported".
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "manager/IOrvServerManager.h"

class FakeServerManager : public IOrvServerManager {
  public:
    struct ArchiveCall {
        int32_t channel = 0;
        std::vector<int32_t> cameras;
        int32_t requestValue = 0;
        bool forward = true;
        int32_t requestedFormat = -1;
        double targetTime = 0.0;
        bool firstCameraOnly = true;
    };
    // Answer of one GetArchiveFrame call: result, got flag and the frame.
    struct ArchiveAnswer {
        int32_t result = 0;
        int32_t got = 1;
        TOrvFrame frame;
    };

    // ---- scripting (thread-safe) ----
    void AddServer(int32_t handle, int32_t state) {
        std::lock_guard lock(mutex_);
        servers_.push_back(ServerInfo{handle, "127.0.0.1", "", 5001, state, 0, 0, 0});
    }
    void PushText(int32_t handle, std::string text) {
        std::lock_guard lock(mutex_);
        texts_[handle].push_back(std::move(text));
    }
    // Every GetServerText of this server answers the text, forever.
    void SetEndlessText(int32_t handle, std::string text) {
        std::lock_guard lock(mutex_);
        endless_[handle] = std::move(text);
    }
    void SetServersResult(int32_t result) {
        std::lock_guard lock(mutex_);
        serversResult_ = result;
    }
    void PushArchiveAnswer(ArchiveAnswer answer) {
        std::lock_guard lock(mutex_);
        archiveAnswers_.push_back(std::move(answer));
    }
    std::size_t PendingTexts() {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& [handle, queue] : texts_) n += queue.size();
        return n;
    }
    std::vector<ArchiveCall> ArchiveCalls() {
        std::lock_guard lock(mutex_);
        return archiveCalls_;
    }
    std::vector<std::pair<int32_t, double>> Seeks() {
        std::lock_guard lock(mutex_);
        return seeks_;
    }
    std::vector<int32_t> OpenedChannels() {
        std::lock_guard lock(mutex_);
        return opened_;
    }
    // The cameras each archive open and seek was limited to (empty: every server).
    std::vector<std::vector<int32_t>> ArchiveScopes() {
        std::lock_guard lock(mutex_);
        return archiveScopes_;
    }
    std::vector<int32_t> TextQueries() {
        std::lock_guard lock(mutex_);
        return textQueries_;
    }
    int32_t serverCount = 0;

    // ---- operations the helper uses ----
    int32_t GetServerCount() override { return serverCount; }
    int32_t GetServers(std::vector<ServerInfo>& servers) override {
        std::lock_guard lock(mutex_);
        servers = servers_;
        return serversResult_;
    }
    int32_t GetServerText(int32_t handle, std::string& text) override {
        std::lock_guard lock(mutex_);
        textQueries_.push_back(handle);
        if (auto it = endless_.find(handle); it != endless_.end()) {
            text = it->second;
            return 0;
        }
        auto& queue = texts_[handle];
        if (queue.empty()) return -1;
        text = std::move(queue.front());
        queue.pop_front();
        return 0;
    }
    int32_t ArchiveOpen(int32_t channel, bool open, std::span<const int32_t> cameras = {}) override {
        std::lock_guard lock(mutex_);
        if (open) opened_.push_back(channel);
        archiveScopes_.emplace_back(cameras.begin(), cameras.end());
        return -1;  // the helper must not depend on it
    }
    int32_t ArchiveFindData(int32_t channel, double time, int32_t,
                            std::span<const int32_t> cameras = {}) override {
        std::lock_guard lock(mutex_);
        seeks_.emplace_back(channel, time);
        archiveScopes_.emplace_back(cameras.begin(), cameras.end());
        return -1;
    }
    int32_t GetArchiveFrame(int32_t channel, int32_t& got, const std::vector<int32_t>& cameras,
                            int32_t requestValue, bool forward, TOrvFrame& frame, int32_t requestedFormat,
                            double targetTime, bool firstCameraOnly) override {
        std::lock_guard lock(mutex_);
        archiveCalls_.push_back(ArchiveCall{channel, cameras, requestValue, forward, requestedFormat,
                                            targetTime, firstCameraOnly});
        if (archiveAnswers_.empty()) {
            got = 0;
            return -8;
        }
        ArchiveAnswer answer = std::move(archiveAnswers_.front());
        archiveAnswers_.pop_front();
        got = answer.got;
        frame = std::move(answer.frame);
        return answer.result;
    }

    // ---- everything else ----
    bool IsModuleReady() override { return true; }
    int32_t AddServer(const std::string&, int32_t, int32_t, int32_t, const std::string&, int32_t&,
                      bool) override {
        return kNo;
    }
    int32_t DeleteAllServers() override { return kNo; }
    int32_t ConnectAll() override { return kNo; }
    int32_t DisconnectAll() override { return kNo; }
    int32_t GetCameraRanges(std::vector<CameraRange>&) override { return kNo; }
    int32_t IsCameraServerConnected(int32_t, bool&) override { return kNo; }
    int32_t IsCameraOnline(int32_t, bool&) override { return kNo; }
    int32_t GetCameraInfo(int32_t, CameraInfo&) override { return kNo; }
    int32_t GetAllCameraInfo(std::vector<CameraInfo>&) override { return kNo; }
    int32_t GetCameraName(int32_t, std::string&) override { return kNo; }
    int32_t GetAllCameraNames(std::vector<std::pair<int32_t, std::string>>&) override { return kNo; }
    int32_t GetCameraServer(int32_t, std::string&, std::string&, int32_t&, int32_t&) override { return kNo; }
    int32_t ArchiveGetInfo(int32_t, double&, double&) override { return kNo; }
    int32_t ArchiveGetPosition(int32_t, double&) override { return kNo; }
    int32_t GetLiveFrames(int32_t&, const std::vector<int32_t>&, std::vector<TOrvFrame>&, int32_t,
                          bool) override {
        return kNo;
    }
    int32_t SetCameraAlarm(int32_t, bool) override { return kNo; }
    int32_t SetCameraMode(int32_t, int32_t) override { return kNo; }
    int32_t SetExternalEvent(int32_t, int32_t, int32_t, int32_t, int32_t) override { return kNo; }
    int32_t SetExternalEventX(int32_t, int32_t) override { return kNo; }
    int32_t ExtPultSwitchCam(int32_t, int32_t) override { return kNo; }
    int32_t ExtPultShowArchive(int32_t, int32_t, int32_t, double, double, uint8_t*, int32_t,
                               int32_t) override {
        return kNo;
    }
    int32_t CamTele(int32_t, int32_t, int32_t, int32_t, int32_t) override { return kNo; }
    int32_t CamTeleRaw(int32_t, int32_t, const uint8_t*) override { return kNo; }
    int32_t CamTeleStored(int32_t, int32_t) override { return kNo; }
    int32_t SetTeleSpeed1(int32_t, int32_t) override { return kNo; }
    int32_t SetTeleSpeed2(int32_t, int32_t) override { return kNo; }
    int32_t GetTeleSpeed1(int32_t, int32_t&) override { return kNo; }
    int32_t GetTeleSpeed2(int32_t, int32_t&) override { return kNo; }
    int32_t CamPosition(int32_t, orv_stuff::TCameraPosition*) override { return kNo; }
    void SetCameraRate(int32_t, int32_t) override {}
    int32_t SubscribeLive(int32_t, uint8_t*, int32_t, int32_t, SubscriberCallback, void*) override {
        return kNo;
    }
    int32_t UnsubscribeLive(int32_t, SubscriberCallback, void*) override { return kNo; }
    void SetDeliveryPaused(int32_t) override {}
    int32_t UnsupportedOne(int32_t) override { return kNo; }
    int32_t UnsupportedTwo(int32_t, int32_t) override { return kNo; }
    void SetDeliveryDirection(int32_t) override {}
    void GetDeliveryDirection(int32_t&) override {}
    int32_t SubscribeArchive(int32_t, uint8_t*, int32_t, int32_t, SubscriberCallback, void*) override {
        return kNo;
    }
    int32_t UnsubscribeArchive(int32_t, SubscriberCallback, void*) override { return kNo; }
    void SetDeliveryStopped(int32_t) override {}
    int32_t SetDeliveryMode(int32_t) override { return kNo; }
    void GetDeliveryMode(int32_t&) override {}
    void ResetCameraFrameState(int32_t, bool) override {}
    void ResetAllFrameStates(bool) override {}
    int32_t GetCameraServerHandle(int32_t, int32_t&) override { return kNo; }

  private:
    static constexpr int32_t kNo = -600;
    std::mutex mutex_;
    std::vector<ServerInfo> servers_;
    int32_t serversResult_ = 0;
    std::map<int32_t, std::deque<std::string>> texts_;
    std::map<int32_t, std::string> endless_;
    std::deque<ArchiveAnswer> archiveAnswers_;
    std::vector<ArchiveCall> archiveCalls_;
    std::vector<std::pair<int32_t, double>> seeks_;
    std::vector<int32_t> opened_;
    std::vector<std::vector<int32_t>> archiveScopes_;
    std::vector<int32_t> textQueries_;
};
