// The protocol client: the table of registered servers, the shared camera
// table and the request/reply exchanges with every server. Each server has a
// link of its own: its connection lock, exchange buffers and archive read-ahead,
// so exchanges with different servers run at once (docs/concurrency.md).
#pragma once

#include <atomic>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
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
                             PayloadTarget* target = nullptr, RawBuffer* area = nullptr) override;
    int32_t GetServerStatus(int32_t server, uint8_t* buffer, int32_t bufferSize) override;
    int32_t QueryServerText(int32_t server, char* text) override;
    int32_t ConsoleShowArchive(int32_t server, int32_t a, int32_t b, double time1, double time2, uint8_t* buffer,
                               int32_t bufferSize, int32_t value) override;
    int32_t QueryCameraName(int32_t server, int32_t camera, char* buffer, int32_t& length) override;
    int32_t OpenArchiveChannel(int32_t channel, const uint8_t* cameraMask = nullptr) override;
    int32_t CloseArchiveChannel(int32_t channel) override;
    int32_t QueryArchiveRange(int32_t channel, double& earliest, double& latest,
                              const uint8_t* cameraMask = nullptr) override;
    double ArchivePosition(int32_t channel) override;
    int32_t SeekArchive(int32_t channel, double time, uint8_t direction,
                        const uint8_t* cameraMask = nullptr) override;
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
    // Capacity of a server's own data area of the extended live read.
    size_t FrameDataCapacity(int32_t server = 1);
    // Whether a frame handed out by an archive read is followed by a background
    // read of that server's next one (on by default; off gives tests a fixed
    // order of requests).
    void SetBackgroundReadAhead(bool on) { backgroundReadAhead_.store(on); }
    // Number of background teardowns that have not finished yet.
    size_t PendingTeardowns();

private:
    enum class Exchanged { Ok, WriteFailed, ReadFailed };
    struct ArchiveRead;
    static constexpr int kReadAheadThreads = 4;

    // Frames read ahead per server and channel: enough that the next read rarely
    // waits for the server, few enough that a given-back queue costs little.
    static constexpr size_t kReadAheadDepth = 4;

    // One archive frame read ahead.
    struct AheadFrame {
        bool end = false;  // the server has nothing further in this direction
        int32_t replyA = 0;
        int32_t replyB = 0;
        double time = 0.0;
        int32_t payloadLength = 0;
        int32_t auxLength = 0;
        RawBuffer payload;
        RawBuffer aux;
    };

    // One archive read as one server is asked for it.
    struct ArchiveAsk {
        bool forward = true;
        int32_t requestValue = 0;
        int32_t a = 0;
        int32_t b = 0;
        double time = 0.0;
        int32_t payloadIn = 0;
        int32_t auxIn = 0;
        int32_t payloadCapacity = 0;
        int32_t auxCapacity = 0;
        std::vector<uint8_t> mask;  // this server's slice of the camera mask
        // The same request, whatever time it carries.
        bool SameRequest(const ArchiveAsk& other) const;
    };

    // The frames read ahead on a channel, oldest first, with the request they
    // answer. Guarded by the link's `aheadLock`.
    struct ArchiveAhead {
        std::deque<AheadFrame> frames;
        std::vector<AheadFrame> spare;  // buffers of frames handed out, kept for reuse
        uint64_t epoch = 0;             // advances whenever the queued frames are dropped
        uint64_t generation = 0;        // advances whenever a frame is taken or the queue dropped
        bool fetching = false;          // a background read of this epoch is queued or running
        ArchiveAsk asked;               // the request the queued frames answer
        // Where the server stood before the queued frames were read: the time of
        // the last frame handed out (or of the seek) and the cameras handed out at
        // exactly that time. Queued frames given back are undone by seeking there
        // again and skipping those cameras' frames at that time.
        bool resumeSet = false;
        double resumeTime = 0.0;
        std::vector<int32_t> handedAtResume;
        size_t skipLeft = 0;  // frames of handedAtResume the next fetch may still meet again
        bool Ended() const { return !frames.empty() && frames.back().end; }
        // Whether the queue has a frame answering this request.
        bool Answers(const ArchiveAsk& ask) const { return !frames.empty() && asked.SameRequest(ask); }
    };

    // A registered server with everything its exchanges use. `io` is its
    // connection lock: one exchange at a time, and the only lock of the library
    // held across network I/O. All fields except `server`'s atomics are guarded by
    // it, except the read-ahead queues and the server's archive position and
    // found flags, which `aheadLock` guards (taken alone or inside `io`, never
    // held across I/O), so that a frame read ahead is handed out while the
    // server's next one is being read.
    struct Link {
        explicit Link(std::shared_ptr<TServerDM> record) : server(std::move(record)), scratch(kScratchAreaSize) {}
        std::shared_ptr<TServerDM> server;
        std::mutex io;
        std::mutex aheadLock;
        TMsgHeader header{};
        SendBuffer sendBuffer;
        RawBuffer frameData;
        RawBuffer scratch;
        RawBuffer entryBytes;
        ArchiveAhead ahead[kArchiveChannelCount];
    };

    // A link with its connection lock held; empty when there was no such link.
    class Held {
    public:
        Held() = default;
        explicit Held(std::shared_ptr<Link> link) : link_(std::move(link)) {
            if (link_) lock_ = std::unique_lock<std::mutex>(link_->io);
        }
        explicit operator bool() const { return link_ != nullptr; }
        Link& operator*() const { return *link_; }

    private:
        std::shared_ptr<Link> link_;
        std::unique_lock<std::mutex> lock_;  // released before the link
    };

    int32_t Register(const std::string& hostName, const std::string& hostAddress, int32_t port,
                     int32_t rateLimitKiB, int32_t userValue, uint32_t clientVersion);
    // The link at a server index within 1..count, or null. Table lock only.
    std::shared_ptr<Link> LinkAt(int32_t server);
    // Every registered link, in server order; given a camera mask (kMaxCameras
    // bytes), only those of servers owning a camera of it. Table lock only.
    std::vector<std::shared_ptr<Link>> Links(const uint8_t* cameraMask = nullptr);
    static Held HoldIfConnected(std::shared_ptr<Link> link);
    // The link of a registered and connected server, its connection lock held.
    Held HoldConnected(int32_t server);
    // The first connected server whose camera range holds the camera index.
    Held HoldOwner(int32_t camera);
    // Builds the request in the link's buffers, sends it and reads the reply header.
    Exchanged Exchange(Link& link, uint16_t command, const uint8_t* payload = nullptr, size_t payloadSize = 0);
    // Checked replies: the command must echo the request and the magic be right. A
    // wrong magic means the stream has lost its framing: the connection is failed.
    bool Accepted(Link& link, uint16_t command);
    bool RateRefuses(const TServerDM& server) const;
    // Drains blocks whose lengths are known after a refused reply; false when the
    // stream failed or had to be marked out of step.
    bool DrainBlocks(Link& link, std::initializer_list<int64_t> lengths);
    int32_t ReadLiveBlocks(Link& link, const int32_t* lengths, size_t lengthCount, uint8_t* dst, int64_t capacity);
    // The link of a connected server for a live read of `count` entries, or empty
    // when the read is refused before anything is sent.
    Held HoldForLiveRead(int32_t server, int32_t count, const TFrameEntry* entries);
    // Sends a live-frames request for the entries, each `wireSize` bytes on the
    // wire, and reads the reply header.
    Exchanged SendLiveRequest(Link& link, int32_t count, const TFrameEntry* entries, size_t wireSize);
    // Reads the reply's blocks into the caller's target when it takes them (one
    // entry whose only block is a payload that fits): nothing when it does not,
    // else whether the read succeeded.
    std::optional<bool> ReadIntoTarget(Link& link, PayloadTarget* target, const int32_t* lengths, size_t perEntry,
                                       int32_t entries);
    int32_t ReadArchive(ArchiveRead& request);
    // Read-ahead, under the link's connection lock unless said otherwise.
    static void DropAhead(Link& link, int32_t channel);
    void GiveBackAhead(Link& link, int32_t channel, bool forward);
    bool FetchAhead(Link& link, int32_t channel, const ArchiveAsk& ask);
    bool ReadAheadReply(Link& link, const ArchiveAsk& ask, AheadFrame& frame);
    // Without the connection lock: waits for it.
    void EnsureAhead(const std::shared_ptr<Link>& link, int32_t channel, const ArchiveAsk& ask);
    // With the read-ahead lock held: starts a background read of the queue's
    // next frames unless one runs or the queue is full or ended.
    void ReadAheadLater(const std::shared_ptr<Link>& link, int32_t channel, ArchiveAhead& ahead,
                        const ArchiveAsk& ask);
    void ReapTeardowns();

    ServerFactory factory_;
    std::mutex lock_;  // the table lock: servers_, each server's camera range, cameraTable_
    std::atomic<int32_t> serverCount_{0};
    std::unique_ptr<TCameraRecord[]> cameraTable_;
    std::atomic<double> archivePositions_[kArchiveChannelCount] = {};
    std::shared_ptr<Link> servers_[kMaxClientServers + 1];
    std::mutex teardownLock_;
    std::vector<std::future<void>> teardowns_;
    std::atomic<bool> backgroundReadAhead_{true};
    std::atomic<bool> closing_{false};
    std::unique_ptr<boost::asio::thread_pool> pool_;
};

}  // namespace orv_stuff
