// A protocol client double for the manager's tests: servers are scripted by
// handle (state, camera range, names), and every call the manager makes is counted.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/IOrvModule.h"

struct FakeServer {
    std::string hostName;
    std::string hostAddress;
    int32_t port = 0;
    int32_t rateLimit = 0;
    int32_t userValue = 0;
    int32_t clientVersion = -1;  // -1: registered without a version
    int32_t state = 0;
    orv_stuff::TServerInfo info{};
    std::vector<std::string> names;  // empty entry: the name request fails
    std::string loginKey;
    int32_t logins = 0;
    int32_t reconnects = 0;
};

struct FakeScript {
    bool ready = true;
    bool extended = true;
    int32_t loginResult = 1;
    std::chrono::milliseconds loginDelay{0};
    std::chrono::milliseconds recordDelay{0};
};

class FakeModule : public orv_stuff::IOrvModule {
public:
    using Script = FakeScript;

    explicit FakeModule(Script script = {}) : script_(script) {}

    // Script access (the manager's worker reads concurrently: take the mutex).
    std::mutex mutex;
    std::vector<FakeServer> servers;  // index = handle - 1
    std::atomic<int> dropAllCalls{0};
    std::atomic<int> pollTablesCalls{0};
    std::atomic<int> archiveOpens{0};
    std::atomic<int> statusCalls{0};
    std::atomic<int> recordCalls{0};
    std::vector<uint8_t> lastTelemetry;
    int32_t lastTelemetryHandle = 0;
    int32_t lastTelemetryCamera = -1;
    std::array<uint8_t, 1536> statusBlock{};
    orv_stuff::TCameraRecord record{};

    FakeServer& Server(int32_t handle) { return servers.at(static_cast<size_t>(handle - 1)); }
    void SetState(int32_t handle, int32_t state) {
        std::lock_guard lock(mutex);
        Server(handle).state = state;
    }

    bool IsReady() override { return script_.ready; }
    int32_t Startup() override { return 0; }
    int32_t Cleanup() override { return 0; }
    bool SupportsExtended() override { return script_.extended; }

    int32_t RegisterServer(const std::string& hostName, const std::string& hostAddress, int32_t port,
                           int32_t rateLimitKiB, int32_t userValue) override {
        return Register(hostName, hostAddress, port, rateLimitKiB, userValue, -1);
    }
    int32_t RegisterServerEx(const std::string& hostName, const std::string& hostAddress, int32_t port,
                             int32_t rateLimitKiB, int32_t userValue, int32_t clientVersion) override {
        return Register(hostName, hostAddress, port, rateLimitKiB, userValue, clientVersion);
    }
    int32_t DropAllServers() override {
        std::lock_guard lock(mutex);
        ++dropAllCalls;
        servers.clear();
        return 0;
    }
    int32_t Login(orv_stuff::TServerInfo& info, const char* loginKey, int32_t server) override {
        std::this_thread::sleep_for(script_.loginDelay);
        std::lock_guard lock(mutex);
        auto& s = Server(server);
        ++s.logins;
        s.loginKey.assign(loginKey, 8);
        if (script_.loginResult < 0) return script_.loginResult;
        info = s.info;
        return script_.loginResult;
    }
    int32_t Reconnect(int32_t server) override {
        std::lock_guard lock(mutex);
        ++Server(server).reconnects;
        return 1;
    }
    int32_t GetServerState(int32_t& state, int32_t server) override {
        std::lock_guard lock(mutex);
        state = server >= 1 && static_cast<size_t>(server) <= servers.size() ? Server(server).state : 0;
        return server;
    }
    int32_t PollCameraTables(int32_t& changeCount) override {
        ++pollTablesCalls;
        changeCount = 0;
        return 0;
    }
    int32_t GetCameraRecord(int32_t camera, orv_stuff::TCameraRecord& out) override {
        std::this_thread::sleep_for(script_.recordDelay);
        ++recordCalls;
        if (camera < 0 || camera >= 2048) return -1;
        out = record;
        return 1;
    }
    int32_t SendCameraEvent(int32_t, uint8_t, uint8_t, int32_t, int32_t) override { return 1; }
    int32_t SendServerEvent(int32_t, int32_t) override { return 1; }
    bool IsCameraActive(int32_t) override { return true; }
    int32_t SendCameraMode(int32_t, uint8_t) override { return 1; }
    int32_t ReadLiveFrames(int32_t, int32_t& count, orv_stuff::TFrameEntry*, uint8_t*, int32_t,
                           orv_stuff::PayloadTarget*) override {
        count = 0;
        return 0;
    }
    int32_t ReadLiveFramesEx(int32_t, int32_t& count, orv_stuff::TFrameEntry*, const uint8_t*& data,
                             orv_stuff::PayloadTarget*, orv_stuff::RawBuffer*) override {
        count = 0;
        data = nullptr;
        return 0;
    }
    int32_t GetServerStatus(int32_t, uint8_t* buffer, int32_t bufferSize) override {
        ++statusCalls;
        std::memcpy(buffer, statusBlock.data(), std::min<size_t>(statusBlock.size(), static_cast<size_t>(bufferSize)));
        return 1;
    }
    int32_t QueryServerText(int32_t, char* text) override {
        text[0] = 0;
        return 0;
    }
    int32_t ConsoleShowArchive(int32_t, int32_t, int32_t, double, double, uint8_t*, int32_t, int32_t) override {
        return 0;
    }
    int32_t QueryCameraName(int32_t server, int32_t camera, char* buffer, int32_t& length) override {
        std::lock_guard lock(mutex);
        auto& s = Server(server);
        const int32_t slot = camera - s.info.firstCamera;
        if (slot < 0 || static_cast<size_t>(slot) >= s.names.size() || s.names[static_cast<size_t>(slot)].empty()) {
            length = 0;
            return -1;
        }
        const auto& name = s.names[static_cast<size_t>(slot)];
        const auto n = std::min<size_t>(name.size(), static_cast<size_t>(length));
        std::memcpy(buffer, name.data(), n);
        length = static_cast<int32_t>(n);
        return 1;
    }
    int32_t OpenArchiveChannel(int32_t, const uint8_t* = nullptr) override {
        ++archiveOpens;
        return 1;
    }
    int32_t CloseArchiveChannel(int32_t) override { return 1; }
    int32_t QueryArchiveRange(int32_t, double& earliest, double& latest, const uint8_t* = nullptr) override {
        earliest = 45000.0;
        latest = 45001.0;
        return 1;
    }
    double ArchivePosition(int32_t) override { return 0.0; }
    int32_t SeekArchive(int32_t, double, uint8_t, const uint8_t* = nullptr) override { return 1; }
    int32_t ReadArchiveForward(int32_t, int32_t, int32_t&, const uint8_t*, int32_t&, double&, uint8_t*, int32_t,
                               int32_t&, uint8_t*, int32_t, int32_t&) override {
        return -1;
    }
    int32_t ReadArchiveBackward(int32_t, int32_t, int32_t&, const uint8_t*, int32_t&, double&, uint8_t*, int32_t,
                                int32_t&, uint8_t*, int32_t, int32_t&) override {
        return -1;
    }
    int32_t SendTelemetryBlock(int32_t server, int32_t camera, int32_t, const uint8_t* params) override {
        lastTelemetry.assign(params, params + 16);
        lastTelemetryHandle = server;
        lastTelemetryCamera = camera;
        return 1;
    }
    int32_t SendCameraCommand(int32_t, int32_t, int32_t) override { return 1; }
    int32_t ConsoleSwitchCamera(int32_t, int32_t) override { return 1; }
    int32_t CameraPosition(int32_t, int32_t, orv_stuff::TCameraPosition&) override { return 1; }

    // Scripted servers by registration order: the n-th registered server gets plan[n].
    std::vector<FakeServer> plan;

private:
    int32_t Register(const std::string& hostName, const std::string& hostAddress, int32_t port, int32_t rateLimit,
                     int32_t userValue, int32_t version) {
        std::lock_guard lock(mutex);
        FakeServer s = servers.size() < plan.size() ? plan[servers.size()] : FakeServer{};
        s.hostName = hostName;
        s.hostAddress = hostAddress;
        s.port = port;
        s.rateLimit = rateLimit;
        s.userValue = userValue;
        s.clientVersion = version;
        servers.push_back(s);
        return static_cast<int32_t>(servers.size());
    }

    Script script_;
};

// Text plus a number (appending sidesteps a false -Wrestrict of GCC 12 on operator+).
inline std::string Numbered(const std::string& prefix, int number) {
    std::string text(prefix);
    text.append(std::to_string(number));
    return text;
}

// A connected server with `count` cameras from 0-based index `first`, all active.
inline FakeServer ConnectedServer(int32_t first, int32_t count, const std::string& prefix = "Cam") {
    FakeServer s;
    s.state = 3;
    s.info.firstCamera = first;
    s.info.lastCamera = first + count - 1;
    s.info.cameraCount = count;
    for (int32_t i = 0; i < count && i < 128; ++i) {
        s.info.activeFlags[i] = 1;
        s.names.push_back(Numbered(prefix, first + i + 1));
    }
    return s;
}
