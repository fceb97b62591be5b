#include "Directory.h"

#include <algorithm>

namespace gateway {

Directory::Directory(orvctl::Session& session, std::chrono::milliseconds interval)
    : session_(session), interval_(interval) {
    Refresh();
    thread_ = std::thread([this] { Run(); });
}

Directory::~Directory() { Stop(); }

void Directory::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Directory::Refresh() {
    DirectorySnapshot fresh;
    fresh.servers = session_.Servers();
    fresh.cameras = session_.Cameras();
    fresh.taken = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    // A server that went away takes its camera range with it; keep listing the cameras
    // seen before so that viewers see them as down rather than gone.
    for (const auto& server : fresh.servers) {
        const bool listed = std::any_of(fresh.cameras.begin(), fresh.cameras.end(),
                                        [&](const auto& c) { return c.serverHandle == server.handle; });
        if (listed) {
            continue;
        }
        for (const auto& old : snapshot_.cameras) {
            if (old.serverHandle == server.handle) {
                fresh.cameras.push_back(old);
            }
        }
    }
    std::sort(fresh.cameras.begin(), fresh.cameras.end(),
              [](const auto& a, const auto& b) { return a.camera < b.camera; });
    snapshot_ = std::move(fresh);
}

void Directory::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (wake_.wait_for(lock, interval_, [this] { return stop_; })) {
            return;
        }
        lock.unlock();
        Refresh();
        lock.lock();
    }
}

DirectorySnapshot Directory::Snapshot() {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

std::optional<orvctl::CameraRow> Directory::Camera(int camera) {
    std::lock_guard lock(mutex_);
    for (const auto& row : snapshot_.cameras) {
        if (row.camera == camera) {
            return row;
        }
    }
    return std::nullopt;
}

std::optional<orvctl::ServerRow> Directory::ServerOf(int camera) {
    std::lock_guard lock(mutex_);
    for (const auto& row : snapshot_.cameras) {
        if (row.camera != camera) {
            continue;
        }
        for (const auto& server : snapshot_.servers) {
            if (server.handle == row.serverHandle) {
                return server;
            }
        }
    }
    return std::nullopt;
}

}  // namespace gateway
