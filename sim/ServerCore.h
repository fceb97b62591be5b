// One simulated server. ServerCore.cpp is the transport: the listening socket,
// one thread per connection, fault-injected sending, and the journal and controls
// the tests use. ServerCommands.cpp holds the command handlers behind Handle(),
// which answer a request without touching a socket.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/Wire.h"
#include "sim/SimCamera.h"
#include "sim/SimConfig.h"
#include "sim/NetCalls.h"
#include "sim/Simulator.h"

namespace orv_sim {

// Concatenation without the temporaries of operator+ chains.
std::string Join(std::initializer_list<std::string_view> parts);

// Where a channel's reader stands: at a frame (time, camera); an inclusive
// cursor hands that frame out next, an exclusive one moves past it.
struct ArchiveCursor {
    bool valid = false;
    int64_t timeMs = 0;
    int camera = 0;
    bool inclusive = false;
};

// Per-connection state.
struct Session {
    bool authenticated = false;
    ArchiveCursor cursors[orv_stuff::kArchiveChannelCount];
    std::map<int, int64_t> blockBase;  // camera index -> frame of the full picture the client holds
    int64_t plateAfterMs = 0;
    int plateAfterCamera = -1;
    int requests = 0;
};

// A reply: header plus payload segments (owned bytes or shared cached bytes).
struct Reply {
    orv_stuff::TMsgHeader header;
    struct Segment {
        SharedBytes shared;  // null: the bytes are in `own` at `offset`
        size_t offset = 0;
        size_t size = 0;
    };
    std::vector<uint8_t> own;
    std::vector<Segment> segments;

    void AddOwned(const uint8_t* data, size_t size);
    void AddShared(const SharedBytes& bytes);
    size_t PayloadSize() const;
};

class ServerCore {
  public:
    ServerCore(const ServerConfig& config, int firstCamera, const SimulatorOptions& options);
    ~ServerCore();

    void Start();  // binds (throws std::runtime_error) and starts accepting
    void Stop();

    uint16_t Port() const { return port_; }
    int FirstCamera() const { return firstCamera_; }
    int CameraCount() const { return static_cast<int>(cameras_.size()); }
    int64_t OriginMs() const { return originMs_; }

    void SetFaults(const FaultConfig& faults);
    FaultConfig Faults() const;
    void SetCameraActive(int cameraIndex, bool active);
    void PushServerText(std::string text);
    void DropConnections();
    int OpenConnections() const;
    Journal Snapshot() const;
    void ClearJournal();
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    orv_stuff::TCameraPosition Position(int cameraIndex) const;

    // Answers one request (no socket involved). Public for the unit tests.
    Reply Handle(Session& session, const orv_stuff::TMsgHeader& request, const std::vector<uint8_t>& payload);
    Session NewSession() const;

  private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        bool done = false;
    };

    int64_t NowMs() const;
    void Log(const std::string& line) const;
    SimCamera* Camera(int cameraIndex) const;
    bool Serves(const Session& session, int cameraIndex) const;

    void AcceptLoop();
    bool OpenListener();
    void CloseListener();
    bool StartConnection(int fd);
    void Serve(Connection* connection);
    void Converse(int fd);
    void ReapConnections();
    bool SendReply(int fd, Reply& reply, const FaultConfig& faults, int requestNumber);
    bool SendRange(int fd, const std::vector<std::pair<const uint8_t*, size_t>>& pieces, size_t limit,
                   size_t chunk, int delayMs);
    bool SleepUnlessStopped(int ms);
    void WakeAcceptor();

    // The journal keeps the latest entries of each list, dropping the older half when full.
    static constexpr size_t kJournalLimit = 10'000;

    template <typename Entry>
    void Record(std::vector<Entry> Journal::*list, const Entry& record) {
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            auto& entries = journal_.*list;
            if (entries.size() >= kJournalLimit)
                entries.erase(entries.begin(), entries.begin() + kJournalLimit / 2);
            entries.push_back(record);
        }
        journalCv_.notify_all();
    }

    Reply Login(Session& s, const orv_stuff::TMsgHeader& rq);
    Reply CameraTables(const Session& s, const orv_stuff::TMsgHeader& rq);
    Reply Status(const Session& s, const orv_stuff::TMsgHeader& rq);
    Reply CameraName(const Session& s, const orv_stuff::TMsgHeader& rq);
    Reply ServerText(Session& s, const orv_stuff::TMsgHeader& rq);
    Reply LiveFrames(Session& s, const orv_stuff::TMsgHeader& rq, const std::vector<uint8_t>& payload);
    void LiveEntry(Session& s, int64_t nowMs, int garbageEvery, orv_stuff::TFrameEntry& entry,
                   std::vector<SharedBytes>& blocks);
    void Restart();
    Reply Archive(Session& s, const orv_stuff::TMsgHeader& rq, const std::vector<uint8_t>& payload,
                  int channel, uint8_t function);
    Reply ArchiveRange(const Session& s, const orv_stuff::TMsgHeader& rq);
    Reply ArchiveSeek(Session& s, const orv_stuff::TMsgHeader& rq, int channel);
    Reply ArchiveRead(Session& s, const orv_stuff::TMsgHeader& rq, const std::vector<uint8_t>& payload,
                      int channel, bool forward);
    Reply Acknowledge(const orv_stuff::TMsgHeader& rq, const std::vector<uint8_t>& payload);
    Reply CameraPosition(const orv_stuff::TMsgHeader& rq);

    const ServerConfig config_;
    const int firstCamera_;
    const SimulatorOptions options_;
    int64_t originMs_ = 0;
    std::string loginKey_;  // empty: every key is accepted
    std::vector<std::unique_ptr<SimCamera>> cameras_;

    uint16_t port_ = 0;
    int listenFd_ = -1;  // touched by the acceptor thread only once started
    net::WakeChannel wake_;
    std::thread acceptor_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    mutable std::mutex stopMutex_;
    std::condition_variable stopCv_;

    mutable std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;

    mutable std::mutex faultsMutex_;
    FaultConfig faults_;

    mutable std::mutex stateMutex_;  // journal, positions, queued texts
    mutable std::condition_variable journalCv_;
    Journal journal_;
    std::map<int, orv_stuff::TCameraPosition> positions_;
    std::deque<std::string> texts_;
};

}  // namespace orv_sim
