// What the gateway knows about servers and cameras, refreshed by one background thread so
// that answering /api/servers and /api/cameras never waits on a slow server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Session.h"

namespace gateway {

struct DirectorySnapshot {
    std::vector<orvctl::ServerRow> servers;
    std::vector<orvctl::CameraRow> cameras;
    std::chrono::steady_clock::time_point taken{};
};

class Directory {
  public:
    Directory(orvctl::Session& session, std::chrono::milliseconds interval);
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    DirectorySnapshot Snapshot();
    std::optional<orvctl::CameraRow> Camera(int camera);
    // The row of the server a listed camera belongs to.
    std::optional<orvctl::ServerRow> ServerOf(int camera);
    void Stop();

  private:
    void Run();
    void Refresh();

    orvctl::Session& session_;
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    DirectorySnapshot snapshot_;
    std::thread thread_;
};

}  // namespace gateway
