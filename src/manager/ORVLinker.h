// The one server manager of the library: registry of servers and cameras, the
// connection logic and the worker thread that keeps states and camera lists current.
// The registry lock is never held across an exchange with a server; the lock
// order is in docs/concurrency.md.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "manager/CameraNumber.h"
#include "manager/IOrvServerManager.h"
#include "manager/ResultCode.h"
#include "platform/StopSignal.h"
#include "protocol/IOrvModule.h"
#include "protocol/Wire.h"
#include "video/FrameStorage.h"
#include "video/JpegConvert.h"
#include "video/JpegDecodeContext.h"
#include "video/JpegEncoder.h"
#include "video/Sequence.h"
#include "video/TOrvFrame.h"

class SubscriptionRegistry;

// Everything the manager knows about one registered server. Per-camera areas hold
// 128 cameras, the most one server may own.
struct ServerRecord {
    static constexpr int kCameraSlots = 128;
    static constexpr int kStatusEntrySize = static_cast<int>(orv_stuff::kStatusEntrySize);

    int32_t handle = 0;  // protocol client's number; 0 or less while unregistered
    std::string loginKey;
    std::string password;
    std::string address;
    std::string reservedText1;
    std::string reservedText2;
    int32_t rateLimit = 0;  // KiB/s
    int32_t port = 0;
    int32_t userValue = 0;
    bool camerasKnown = false;
    std::vector<std::string> cameraNames;
    int32_t state = 0;  // ServerState as last reported
    orv_stuff::TServerInfo serverInfo{};
    std::array<uint8_t, kCameraSlots * kStatusEntrySize> statusBlock{};
    std::array<orv_stuff::TCameraRecord, kCameraSlots> cameraRecords{};
    std::array<uint8_t, kCameraSlots> recordFresh{};
};

// Timings and limits, shortened by tests.
struct ManagerOptions {
    std::chrono::milliseconds workerPeriod{1000};
    int connectPollBudget = 200;  // 1 ms polls of ConnectAll, for the whole call
};

class ORVLinker final : public IOrvServerManager {
public:
    static constexpr int32_t kMaxServers = 31;  // servers it registers (see orv_stuff::kMaxClientServers)
    static constexpr int32_t kDefaultPort = 5001;
    static constexpr int32_t kDefaultRateLimit = 0x80000;
    static constexpr int kQueryTries = 175;
    static constexpr int kFrameStateTries = 50;

    using ModuleFactory = std::function<std::unique_ptr<orv_stuff::IOrvModule>()>;

    ORVLinker();
    // The factory builds the protocol client; null or a null result leaves the
    // manager without one (every network operation then answers -510).
    ORVLinker(const ModuleFactory& moduleFactory, ManagerOptions options);
    ~ORVLinker() override;
    ORVLinker(const ORVLinker&) = delete;
    ORVLinker& operator=(const ORVLinker&) = delete;

    // The protocol client of the library.
    static std::unique_ptr<orv_stuff::IOrvModule> MakeDefaultModule();

    bool IsModuleReady() override;
    int32_t AddServer(const std::string& address, int32_t rateLimit, int32_t port, int32_t userValue,
                      const std::string& password, int32_t& serverNumber, bool allowDuplicate) override;
    int32_t DeleteAllServers() override;
    int32_t ConnectAll() override;
    int32_t DisconnectAll() override;
    int32_t GetServerCount() override;
    int32_t GetServers(std::vector<ServerInfo>& servers) override;
    int32_t GetCameraRanges(std::vector<CameraRange>& ranges) override;
    int32_t IsCameraServerConnected(int32_t camera, bool& connected) override;
    int32_t IsCameraOnline(int32_t camera, bool& online) override;
    int32_t GetCameraInfo(int32_t camera, CameraInfo& info) override;
    int32_t GetAllCameraInfo(std::vector<CameraInfo>& infos) override;
    int32_t GetCameraName(int32_t camera, std::string& name) override;
    int32_t GetAllCameraNames(std::vector<std::pair<int32_t, std::string>>& names) override;
    int32_t GetCameraServer(int32_t camera, std::string& address, std::string& password, int32_t& port,
                            int32_t& rateLimit) override;

    int32_t ArchiveOpen(int32_t channel, bool open, std::span<const int32_t> cameras = {}) override;
    int32_t ArchiveFindData(int32_t channel, double time, int32_t direction,
                            std::span<const int32_t> cameras = {}) override;
    int32_t ArchiveGetInfo(int32_t channel, double& begin, double& end) override;
    int32_t ArchiveGetPosition(int32_t channel, double& position) override;

    int32_t GetLiveFrames(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                          int32_t requestedFormat, bool wantExtra) override;
    int32_t GetLiveFramesInto(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                              int32_t requestedFormat, uint8_t* target, size_t targetCapacity,
                              size_t& inTarget) override;
    int32_t GetArchiveFrame(int32_t channel, int32_t& got, const std::vector<int32_t>& cameras,
                            int32_t requestValue, bool forward, TOrvFrame& frame, int32_t requestedFormat,
                            double targetTime, bool firstCameraOnly) override;

    int32_t GetServerText(int32_t serverHandle, std::string& text) override;
    int32_t SetCameraAlarm(int32_t camera, bool on) override;
    int32_t SetCameraMode(int32_t camera, int32_t value) override;
    int32_t SetExternalEvent(int32_t camera, int32_t value1, int32_t value2, int32_t value3,
                             int32_t value4) override;
    int32_t SetExternalEventX(int32_t serverHandle, int32_t value) override;
    int32_t ExtPultSwitchCam(int32_t serverHandle, int32_t camera) override;
    int32_t ExtPultShowArchive(int32_t serverHandle, int32_t number1, int32_t number2, double time1,
                               double time2, uint8_t* buffer, int32_t bufferSize, int32_t value) override;

    int32_t CamTele(int32_t camera, int32_t command, int32_t speed1, int32_t speed2, int32_t value) override;
    int32_t CamTeleRaw(int32_t camera, int32_t command, const uint8_t* block) override;
    int32_t CamTeleStored(int32_t camera, int32_t command) override;
    int32_t SetTeleSpeed1(int32_t camera, int32_t speed) override;
    int32_t SetTeleSpeed2(int32_t camera, int32_t speed) override;
    int32_t GetTeleSpeed1(int32_t camera, int32_t& speed) override;
    int32_t GetTeleSpeed2(int32_t camera, int32_t& speed) override;
    int32_t CamPosition(int32_t camera, orv_stuff::TCameraPosition* position) override;

    void SetCameraRate(int32_t camera, int32_t rate) override;
    int32_t SubscribeLive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t unused,
                          SubscriberCallback callback, void* userData) override;
    int32_t UnsubscribeLive(int32_t camera, SubscriberCallback callback, void* userData) override;
    void SetDeliveryPaused(int32_t paused) override;
    int32_t UnsupportedOne(int32_t value) override;
    int32_t UnsupportedTwo(int32_t value1, int32_t value2) override;
    void SetDeliveryDirection(int32_t forward) override;
    void GetDeliveryDirection(int32_t& forward) override;
    int32_t SubscribeArchive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t unused,
                             SubscriberCallback callback, void* userData) override;
    int32_t UnsubscribeArchive(int32_t camera, SubscriberCallback callback, void* userData) override;
    void SetDeliveryStopped(int32_t stopped) override;
    int32_t SetDeliveryMode(int32_t mode) override;
    void GetDeliveryMode(int32_t& mode) override;

    void ResetCameraFrameState(int32_t camera, bool keep) override;
    void ResetAllFrameStates(bool keep) override;

    int32_t GetCameraServerHandle(int32_t camera, int32_t& handle) override;

    // Observation for tests and diagnostics.
    processing::MPEG4FrameStorage* FrameStorage() { return frameStorage_.get(); }
    bool IsAutoConnect() const { return autoConnect_.load() != 0; }
    int64_t WorkerPasses() const { return workerPasses_.load(); }
    // Extra data of the last extended live reply that carried some, with its time.
    // Emptied by an entry whose extra-data flag is 0 and by every basic-form call;
    // an entry that keeps the flag set without extra bytes (a set flag with length
    // 0, or a 48-byte reply entry, which leaves the flag of the request in place)
    // leaves it as it was, so a caller tells its age by the time. Copied under
    // the server lock.
    bool LastExtraData(std::vector<uint8_t>& data, double& time);

private:
    // Camera lookup: first server in registration order whose known, non-empty
    // range holds the 0-based index. Caller holds the server lock.
    ServerRecord* FindCamera(int32_t index);
    // Position of a camera index within its server's per-camera areas, or -1 when
    // the index lies beyond the 128 slots a record holds.
    static int32_t SlotOf(const ServerRecord& server, int32_t index);
    static bool IsActiveSlot(const ServerRecord& server, int32_t slot);
    static int32_t CameraCount(const ServerRecord& server);
    CameraInfo MakeCameraInfo(const ServerRecord& server, int32_t index) const;

    void OpenArchiveAfterConnect();
    void RegisterPending();
    void AwaitConnections();
    void DropServersLocked();
    void ClearHasSentVideo(int32_t firstIndex, int32_t count);

    struct FrameWork;
    class WorkLease;
    static FrameWork*& CurrentWork();
    static FrameWork& W();
    // A camera's frame state with its own lock.
    struct CameraSlot {
        std::mutex mutex;
        CameraFrameState state;
    };
    std::shared_ptr<CameraSlot> FrameSlot(int32_t index);
    friend class StateLoan;
    // Stores a freshly loaded camera list when the registry has not changed since
    // the exchanges began. Takes the registry lock.
    struct LoadedList {
        orv_stuff::TServerInfo info{};
        std::vector<std::string> names;
    };
    struct Visit;
    std::vector<Visit> SnapshotServers(uint64_t& epoch);
    // The record at a position when the registry is as it was at `epoch`. Caller
    // holds the registry lock.
    ServerRecord* RecordOf(size_t position, int32_t handle, uint64_t epoch);
    LoadedList FetchCameraList(int32_t handle, const std::string& loginKey);
    void StoreCameraList(size_t position, int32_t handle, uint64_t epoch, LoadedList list);
    void ClearHasSentVideoAll();

    void WorkerMain();
    void WorkerPass(std::array<int, kMaxServers>& failures, int64_t& passCount);
    void TrimFrameStorage();
    void RefreshCameraData();
    void PollServerStates(std::array<int, kMaxServers>& failures);

    int32_t SendToTelemetryCamera(int32_t camera,
                                  const std::function<int32_t(int32_t handle, int32_t index)>& send);
    int32_t ForwardUnderLock(int32_t success, const std::function<int32_t()>& send);

    // Frame retrieval (ORVLinkerFrames.cpp). Callers hold the server lock.
    int32_t LiveFrames(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                       int32_t requestedFormat, bool wantExtra, orv_stuff::PayloadTarget* target,
                       std::span<uint8_t> pictureTarget, size_t& inTarget);
    ServerRecord* FindActiveCamera(int32_t index);
    // Marks the active cameras among `cameras` (numbers from 1) in `mask`, indexed
    // from 0; `firstMarked` is the first index marked, or -1. With `owners`, adds
    // the ArchiveResetBit of each marked camera's server. False when the registry
    // stayed busy.
    bool MarkActiveCameras(std::span<const int32_t> cameras, std::span<uint8_t> mask, int32_t& firstMarked,
                           uint32_t* owners = nullptr);
    // The module's camera mask for an archive open or seek: null for every server,
    // else `mask` filled from `cameras`. An error code when none of them is active.
    // `owners`: the ArchiveResetBits of the servers the mask concerns (all bits
    // for every server).
    int32_t ArchiveMaskFor(std::span<const int32_t> cameras, std::vector<uint8_t>& mask, const uint8_t*& only,
                           uint32_t& owners);
    bool TakeDecodedLive(int32_t handle, int32_t index, int32_t requestedFormat, TOrvFrame& frame);
    void QueueLiveRequest(const ServerRecord& server, int32_t index, uint32_t selector, bool wantExtra);
    bool ReadLiveBatch(int32_t handle, int32_t first, int32_t size, const std::vector<int32_t>& cameras,
                       std::vector<TOrvFrame>& frames, int32_t& delivered, int32_t requestedFormat);
    bool LiveJpeg(const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> payload,
                  std::span<const uint8_t> aux, int32_t requestedFormat, TOrvFrame& frame);
    bool LiveBlockUpdateOnly(const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> aux,
                             int32_t requestedFormat, TOrvFrame& frame);
    bool LiveCompressed(int32_t handle, const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> payload,
                        const std::vector<int32_t>& cameras, int32_t requestedFormat, TOrvFrame& frame);
    static bool PassesCompressedOn(int32_t requestedFormat);
    bool NoteCompressedBlock(const orv_stuff::TFrameEntry& entry);
    void PushLiveCompressed(int32_t handle, const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> payload,
                            const std::vector<int32_t>& cameras);
    void KeepExtraData(const orv_stuff::TFrameEntry& entry, const uint8_t* extra, bool extended);
    int32_t ArchiveCompressed(int32_t channel, int32_t index, int32_t flags, std::span<const uint8_t> payload,
                              TOrvFrame& frame, int32_t requestedFormat, double targetTime, int32_t& got);
    int32_t ReadSpeed(std::map<int32_t, int32_t>& speeds, int32_t camera);

    // Fields, in the order they are built and (in reverse) torn down.
    bool moduleReady_ = false;
    bool versionedAdd_ = false;
    std::vector<ServerRecord> servers_;
    std::mutex frameStateLock_;  // the map only; each slot has its own lock
    std::map<int32_t, std::shared_ptr<CameraSlot>> frameStates_;
    std::array<std::atomic<uint8_t>, orv_camera::kCount> hasSentVideo_{};
    std::mutex archiveLock_;  // lastArchiveTime_, archiveResetServers_, archiveStreamBits_
    std::atomic<uint64_t> registryEpoch_{0};  // advanced when records are dropped or reset
    platform::StopSignal stop_;
    std::thread worker_;
    mutable std::recursive_mutex serverLock_;
    std::recursive_mutex telemetryLock_;
    std::atomic<int32_t> autoConnect_{0};
    std::atomic<int32_t> serverCount_{0};
    std::atomic<double> lastLiveRequest_{0.0};
    std::map<int32_t, int32_t> teleSpeed1_;
    std::map<int32_t, int32_t> teleSpeed2_;
    std::unique_ptr<processing::MPEG4FrameStorage> frameStorage_;
    std::unique_ptr<orv_stuff::IOrvModule> module_;
    // The subscription registry is attached here; its operations answer failure codes
    // while it is absent.
    std::unique_ptr<SubscriptionRegistry> subscriptions_;

    ManagerOptions options_;
    std::atomic<int64_t> workerPasses_{0};

    static constexpr int kRequestServers = 64;
    static constexpr int kRequestsPerServer = 128;
    static constexpr int kArchiveChannels = 4;
    std::array<std::array<uint8_t, orv_camera::kCount>, kArchiveChannels> archiveStreamBits_{};
    // Per archive channel: the time of its last frame or seek, and the servers
    // whose decoding state a seek asks to drop (bit n: server handle n; bit 0:
    // frames of no known server). A lookup on one
    // channel leaves a playback on another as it was, and a seek on one server's
    // cameras leaves the other servers' streams on the same channel decoding.
    std::array<double, kArchiveChannels> lastArchiveTime_{};
    std::array<uint32_t, kArchiveChannels> archiveResetServers_{};
    static constexpr uint32_t ArchiveResetBit(int32_t handle) {
        return handle > 0 && handle < 32 ? uint32_t{1} << handle : uint32_t{1};
    }
    // The buffers of one frame call, borrowed from a small pool for the call. The receive area is never zero-filled, so its
    // untouched pages stay uncommitted.
    struct FrameWork {
        orv_stuff::RawBuffer receiveBuffer;
        std::vector<orv_stuff::TFrameEntry> liveRequests;  // kRequestServers x kRequestsPerServer
        std::array<int32_t, kRequestServers> liveRequestCounts{};
        std::array<orv_stuff::TFrameEntry, 32> liveBatch{};
        orv_stuff::PayloadTarget* liveTarget = nullptr;  // the caller's buffer during a one-camera call
        size_t liveInTarget = 0;                         // bytes delivered there by the call
        std::span<uint8_t> livePictureTarget;  // the caller's buffer for a picture decoded in a one-camera call
        std::array<uint8_t, orv_camera::kCount> archiveCameraMask{};
        processing::JpegDecodeContext liveDecode;
        processing::JpegDecodeContext archiveDecode;
        processing::PictureWorkspace liveWorkspace;
        processing::PictureWorkspace archiveWorkspace;
        processing::JpegCompressor liveCompressor;
        processing::JpegCompressor archiveCompressor;
        platform::RawBuffer liveJpegOutput;
        platform::RawBuffer archiveJpegOutput;
        platform::Bytes conversionScratch;
        processing::Sequence parsedBlock;
        TOrvFrame archiveCandidate;
    };
    std::mutex workLock_;
    std::vector<std::unique_ptr<FrameWork>> idleWork_;
    std::mutex extraLock_;
    std::vector<uint8_t> extraData_;
    double extraDataTime_ = 0.0;
};
