// The protocol client: the table of registered servers, the shared camera
// table and the request/reply exchanges with every server, all under one lock.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol/IOrvModule.h"
#include "protocol/TServerDM.h"
#include "protocol/Wire.h"

namespace orv_stuff {

class OrvDllWrapperModule : public IOrvModule {
public:
    // Creates the record of a newly registered server (tests substitute their own).
    using ServerFactory = std::function<std::shared_ptr<TServerDM>()>;

    explicit OrvDllWrapperModule(std::chrono::milliseconds ioTimeout = TServerDM::kDefaultIoTimeout);
    explicit OrvDllWrapperModule(ServerFactory factory);
    ~OrvDllWrapperModule() override;
    OrvDllWrapperModule(const OrvDllWrapperModule&) = delete;
    OrvDllWrapperModule& operator=(const OrvDllWrapperModule&) = delete;

    bool IsReady() override { return true; }
    int32_t Startup() override { return 0; }
    int32_t Cleanup() override { return 0; }
    bool SupportsExtended() override { return true; }

    int32_t RegisterServer(const std::string& hostName, const std::string& hostAddress, int32_t port,
                           int32_t rateLimitKiB, int32_t userValue) override;
    int32_t RegisterServerEx(const std::string& hostName, const std::string& hostAddress, int32_t port,
                             int32_t rateLimitKiB, int32_t userValue, int32_t clientVersion) override;
    int32_t DropAllServers() override;
    int32_t Login(TServerInfo& info, const char* loginKey, int32_t server) override;
    int32_t Reconnect(int32_t server) override;
    int32_t GetServerState(int32_t& state, int32_t server) override;
    int32_t PollCameraTables(int32_t& changeCount) override;
    int32_t GetCameraRecord(int32_t camera, TCameraRecord& record) override;
    int32_t SendCameraEvent(int32_t camera, uint8_t a, uint8_t b, int32_t c, int32_t d) override;
    int32_t SendServerEvent(int32_t server, int32_t value) override;
    bool IsCameraActive(int32_t camera) override;
    int32_t SendCameraMode(int32_t camera, uint8_t value) override;
    int32_t ReadLiveFrames(int32_t server, int32_t& count, TFrameEntry* entries, uint8_t* data,
                           int32_t dataCapacity, PayloadTarget* target = nullptr) override;
    int32_t ReadLiveFramesEx(int32_t server, int32_t& count, TFrameEntry* entries, const uint8_t*& data,
                             PayloadTarget* target = nullptr) override;
    int32_t GetServerStatus(int32_t server, uint8_t* buffer, int32_t bufferSize) override;
    int32_t QueryServerText(int32_t server, char* text) override;
    int32_t ConsoleShowArchive(int32_t server, int32_t a, int32_t b, double time1, double time2, uint8_t* buffer,
                               int32_t bufferSize, int32_t value) override;
    int32_t QueryCameraName(int32_t server, int32_t camera, char* buffer, int32_t& length) override;
    int32_t OpenArchiveChannel(int32_t channel) override;
    int32_t CloseArchiveChannel(int32_t channel) override;
    int32_t QueryArchiveRange(int32_t channel, double& earliest, double& latest) override;
    double ArchivePosition(int32_t channel) override;
    int32_t SeekArchive(int32_t channel, double time, uint8_t direction) override;
    int32_t ReadArchiveForward(int32_t channel, int32_t requestValue, int32_t& a, const uint8_t* cameraMask,
                               int32_t& b, double& time, uint8_t* payload, int32_t payloadCapacity,
                               int32_t& payloadLength, uint8_t* aux, int32_t auxCapacity,
                               int32_t& auxLength) override;
    int32_t ReadArchiveBackward(int32_t channel, int32_t requestValue, int32_t& a, const uint8_t* cameraMask,
                                int32_t& b, double& time, uint8_t* payload, int32_t payloadCapacity,
                                int32_t& payloadLength, uint8_t* aux, int32_t auxCapacity,
                                int32_t& auxLength) override;
    int32_t SendTelemetryBlock(int32_t server, int32_t camera, int32_t command, const uint8_t* params) override;
    int32_t SendCameraCommand(int32_t camera, int32_t a, int32_t b) override;
    int32_t ConsoleSwitchCamera(int32_t server, int32_t camera) override;
    int32_t CameraPosition(int32_t server, int32_t camera, TCameraPosition& position) override;

    // Inspection for tests and diagnostics.
    int32_t ServerCount() const { return serverCount_.load(); }
    std::shared_ptr<TServerDM> ServerAt(int32_t server);
    // Capacity of the extended live read's data area.
    size_t FrameDataCapacity();
    // Number of background teardowns that have not finished yet.
    size_t PendingTeardowns();

private:
    enum class Exchanged { Ok, WriteFailed, ReadFailed };
    struct ArchiveRead;

    int32_t Register(const std::string& hostName, const std::string& hostAddress, int32_t port,
                     int32_t rateLimitKiB, int32_t userValue, uint32_t clientVersion);
    // Record at a server index when it is within 1..count and occupied.
    TServerDM* Slot(int32_t server);
    // Record at a server index when it is registered and connected.
    TServerDM* ConnectedServer(int32_t server);
    // First connected server whose camera range holds the camera index.
    TServerDM* OwningServer(int32_t camera);
    // Builds the request in the shared buffers, sends it and reads the reply header.
    Exchanged Exchange(TServerDM& server, uint16_t command, const uint8_t* payload = nullptr,
                       size_t payloadSize = 0);
    // Checked replies: the command must echo the request and the magic be right. A
    // wrong magic means the stream has lost its framing: the connection is failed.
    bool Accepted(TServerDM& server, uint16_t command);
    bool RateRefuses(const TServerDM& server) const;
    // Drains blocks whose lengths are known after a refused reply; false when the
    // stream failed or had to be marked out of step.
    bool DrainBlocks(TServerDM& server, std::initializer_list<int64_t> lengths);
    int32_t ReadLiveBlocks(TServerDM& server, const int32_t* lengths, size_t lengthCount, uint8_t* dst,
                           int64_t capacity);
    int32_t ReadArchive(ArchiveRead& request);
    void ReapTeardowns();

    ServerFactory factory_;
    std::recursive_mutex lock_;
    std::atomic<int32_t> serverCount_{0};
    std::unique_ptr<TCameraRecord[]> cameraTable_;
    std::atomic<double> archivePositions_[kArchiveChannelCount] = {};
    TMsgHeader header_{};
    SendBuffer sendBuffer_;
    RawBuffer frameData_;
    RawBuffer scratch_;
    RawBuffer entryBytes_;
    std::shared_ptr<TServerDM> servers_[kMaxServers + 1];
    std::mutex teardownLock_;
    std::vector<std::future<void>> teardowns_;
};

}  // namespace orv_stuff
