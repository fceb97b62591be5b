// The server manager as the exports and the plate helper see it. The order of the
// virtual operations is part of the interface: keep new ones at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "video/TOrvFrame.h"

namespace orv_stuff {
struct TCameraPosition;  // wire record of the camera position exchange (protocol/Wire.h)
}

// One registered server as handed out by GetServers. The camera fields are 0
// unless the camera list is known, the server is connected and has cameras.
struct ServerInfo {
    int32_t handle = 0;  // protocol client's number; 0 or less while unregistered
    std::string address;
    std::string password;
    int32_t port = 0;
    int32_t state = 0;        // ServerState as last reported
    int32_t firstCamera = 0;  // 1-based
    int32_t lastCamera = 0;   // 1-based, inclusive
    int32_t cameraCount = 0;
};

// Camera range of a server whose camera list is known (16 bytes).
struct CameraRange {
    int32_t serverHandle = 0;
    int32_t firstCamera = 0;  // 1-based
    int32_t lastCamera = 0;   // 1-based, inclusive
    int32_t cameraCount = 0;
};
static_assert(sizeof(CameraRange) == 16);

// Status entry of one camera, byte for byte as the server's status block holds it.
struct CameraStatusEntry {
    std::array<uint8_t, 4> bytes{};
    int16_t value1 = 0;
    std::array<uint8_t, 2> bytes2{};
    int16_t value2 = 0;
    std::array<uint8_t, 2> bytes3{};
};
static_assert(sizeof(CameraStatusEntry) == 12);

// Everything known about one camera, gathered from the server information block,
// the status block and the camera record.
struct CameraInfo {
    int32_t camera = 0;        // 1-based number asked for
    int32_t serverHandle = 0;
    bool active = false;
    CameraStatusEntry status;
    uint8_t recordByte = 0;            // record byte 0
    int16_t recordValue1 = 0;          // record int16 at offset 2
    int16_t recordValue2 = 0;          // record int16 at offset 4
    int32_t recordValue3 = 0;          // record int32 at offset 16
    std::array<uint8_t, 8> recordTime{};    // record bytes 8..15
    std::array<uint8_t, 8> recordValue4{};  // record bytes 24..31
    bool flagA = false;  // record int16 at offset 32 is non-zero
    bool flagB = false;  // record int16 at offset 34 is zero
};

// Callback of a frame subscription: camera number, frame time, width, height,
// data length, the constant 3, data, user data.
using SubscriberCallback = void (*)(int32_t camera, double time, int32_t width, int32_t height,
                                    int32_t length, int32_t kind, const uint8_t* data,
                                    void* userData);

struct Subscriber {
    SubscriberCallback callback = nullptr;
    int32_t bufferSize = 0;
    uint8_t* buffer = nullptr;  // may be null: the frame's own data is passed then
    void* userData = nullptr;
};

class IOrvServerManager {
public:
    virtual ~IOrvServerManager() = default;

    // Servers and cameras.
    virtual bool IsModuleReady() = 0;
    virtual int32_t AddServer(const std::string& address, int32_t rateLimit, int32_t port,
                              int32_t userValue, const std::string& password,
                              int32_t& serverNumber, bool allowDuplicate) = 0;
    virtual int32_t DeleteAllServers() = 0;
    virtual int32_t ConnectAll() = 0;
    virtual int32_t DisconnectAll() = 0;
    virtual int32_t GetServerCount() = 0;
    virtual int32_t GetServers(std::vector<ServerInfo>& servers) = 0;
    virtual int32_t GetCameraRanges(std::vector<CameraRange>& ranges) = 0;
    virtual int32_t IsCameraServerConnected(int32_t camera, bool& connected) = 0;
    virtual int32_t IsCameraOnline(int32_t camera, bool& online) = 0;
    virtual int32_t GetCameraInfo(int32_t camera, CameraInfo& info) = 0;
    virtual int32_t GetAllCameraInfo(std::vector<CameraInfo>& infos) = 0;
    virtual int32_t GetCameraName(int32_t camera, std::string& name) = 0;
    virtual int32_t GetAllCameraNames(std::vector<std::pair<int32_t, std::string>>& names) = 0;
    virtual int32_t GetCameraServer(int32_t camera, std::string& address, std::string& password,
                                    int32_t& port, int32_t& rateLimit) = 0;

    // Archive control (channel 0..3). Given cameras, opening and seeking concern
    // only the servers that own one of them; without, every server.
    virtual int32_t ArchiveOpen(int32_t channel, bool open, std::span<const int32_t> cameras = {}) = 0;
    virtual int32_t ArchiveFindData(int32_t channel, double time, int32_t direction,
                                    std::span<const int32_t> cameras = {}) = 0;
    virtual int32_t ArchiveGetInfo(int32_t channel, double& begin, double& end) = 0;
    virtual int32_t ArchiveGetPosition(int32_t channel, double& position) = 0;

    // Frame retrieval. Camera values carry the stream selector in their high 16 bits.
    virtual int32_t GetLiveFrames(int32_t& count, const std::vector<int32_t>& cameras,
                                  std::vector<TOrvFrame>& frames, int32_t requestedFormat,
                                  bool wantExtra) = 0;
    // GetLiveFrames for a caller that delivers into a buffer of its own: asked for
    // one camera, a payload passed on unchanged may be received straight into
    // `target` (`targetCapacity` bytes), and a picture decoded from a JPEG may be
    // decoded straight into it. Those bytes are then not in frames[0].data and
    // `inTarget` gives their count; otherwise `inTarget` is 0 and the frame is as
    // GetLiveFrames gives it. Without such a path this is GetLiveFrames.
    virtual int32_t GetLiveFramesInto(int32_t& count, const std::vector<int32_t>& cameras,
                                      std::vector<TOrvFrame>& frames, int32_t requestedFormat, uint8_t* target,
                                      size_t targetCapacity, size_t& inTarget) {
        (void)target;
        (void)targetCapacity;
        inTarget = 0;
        return GetLiveFrames(count, cameras, frames, requestedFormat, false);
    }
    virtual int32_t GetArchiveFrame(int32_t channel, int32_t& got,
                                    const std::vector<int32_t>& cameras, int32_t requestValue,
                                    bool forward, TOrvFrame& frame, int32_t requestedFormat,
                                    double targetTime, bool firstCameraOnly) = 0;

    // Server text, events, console.
    virtual int32_t GetServerText(int32_t serverHandle, std::string& text) = 0;
    virtual int32_t SetCameraAlarm(int32_t camera, bool on) = 0;
    virtual int32_t SetCameraMode(int32_t camera, int32_t value) = 0;
    virtual int32_t SetExternalEvent(int32_t camera, int32_t value1, int32_t value2,
                                     int32_t value3, int32_t value4) = 0;
    virtual int32_t SetExternalEventX(int32_t serverHandle, int32_t value) = 0;
    virtual int32_t ExtPultSwitchCam(int32_t serverHandle, int32_t camera) = 0;
    virtual int32_t ExtPultShowArchive(int32_t serverHandle, int32_t number1, int32_t number2,
                                       double time1, double time2, uint8_t* buffer,
                                       int32_t bufferSize, int32_t value) = 0;

    // Telemetry.
    virtual int32_t CamTele(int32_t camera, int32_t command, int32_t speed1, int32_t speed2,
                            int32_t value) = 0;
    virtual int32_t CamTeleRaw(int32_t camera, int32_t command, const uint8_t* block) = 0;
    virtual int32_t CamTeleStored(int32_t camera, int32_t command) = 0;
    virtual int32_t SetTeleSpeed1(int32_t camera, int32_t speed) = 0;
    virtual int32_t SetTeleSpeed2(int32_t camera, int32_t speed) = 0;
    virtual int32_t GetTeleSpeed1(int32_t camera, int32_t& speed) = 0;
    virtual int32_t GetTeleSpeed2(int32_t camera, int32_t& speed) = 0;
    virtual int32_t CamPosition(int32_t camera, orv_stuff::TCameraPosition* position) = 0;

    // Subscriptions.
    virtual void SetCameraRate(int32_t camera, int32_t rate) = 0;
    virtual int32_t SubscribeLive(int32_t camera, uint8_t* buffer, int32_t bufferSize,
                                  int32_t unused, SubscriberCallback callback,
                                  void* userData) = 0;
    virtual int32_t UnsubscribeLive(int32_t camera, SubscriberCallback callback,
                                    void* userData) = 0;
    virtual void SetDeliveryPaused(int32_t paused) = 0;
    virtual int32_t UnsupportedOne(int32_t value) = 0;
    virtual int32_t UnsupportedTwo(int32_t value1, int32_t value2) = 0;
    virtual void SetDeliveryDirection(int32_t forward) = 0;
    virtual void GetDeliveryDirection(int32_t& forward) = 0;
    virtual int32_t SubscribeArchive(int32_t camera, uint8_t* buffer, int32_t bufferSize,
                                     int32_t unused, SubscriberCallback callback,
                                     void* userData) = 0;
    virtual int32_t UnsubscribeArchive(int32_t camera, SubscriberCallback callback,
                                       void* userData) = 0;
    virtual void SetDeliveryStopped(int32_t stopped) = 0;
    virtual int32_t SetDeliveryMode(int32_t mode) = 0;
    virtual void GetDeliveryMode(int32_t& mode) = 0;

    // Frame states.
    virtual void ResetCameraFrameState(int32_t camera, bool keep) = 0;
    virtual void ResetAllFrameStates(bool keep) = 0;

    virtual int32_t GetCameraServerHandle(int32_t camera, int32_t& handle) = 0;
};
