// In-process recording-server simulator: any number of servers on loopback
// ports, each with its cameras, archive, plate messages and fault switches,
// and a journal of everything the clients sent.
//
//   orv_sim::Simulator sim(orv_sim::UniformServers(2, 4));   // 2 servers, 4 cameras each
//   uint16_t port = sim.Server(0).Port();
//   ... run a client against 127.0.0.1:port ...
//   auto journal = sim.Server(0).Snapshot();
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Wire.h"
#include "sim/SimConfig.h"

namespace orv_sim {

// What a server received, in arrival order (each list keeps its newest 10,000).
struct CameraEventRecord {  // command 4
    int camera = 0;         // camera index
    int a = 0, b = 0, c = 0, d = 0;
};
struct ServerEventRecord {  // command 7
    int value = 0;
};
struct CameraModeRecord {  // command 64
    int camera = 0;
    int value = 0;
};
struct CameraCommandRecord {  // command 0x431
    int camera = 0;
    int a = 0, b = 0;
};
struct ConsoleSwitchRecord {  // command 0x421
    int camera = 0;
};
struct ConsoleArchiveRecord {  // command 54
    int value = 0, a = 0, b = 0;
    double time1 = 0.0, time2 = 0.0;
};
struct TelemetryRecord {  // command 0x411
    int camera = 0;
    int command = 0;
    std::array<uint8_t, 16> block{};
};
struct PositionRecord {  // command 0x951
    int camera = 0;
    int kind = 0;
    int x = 0, y = 0, z = 0;  // kind 2: x, y, z; kind 3: x, y
    int value = 0;            // kind 2
    double zTime = 0.0;       // kind 3
};

struct Journal {
    std::vector<orv_stuff::TMsgHeader> requests;  // every request header
    std::vector<std::array<uint8_t, 8>> loginKeys;
    std::vector<CameraEventRecord> cameraEvents;
    std::vector<ServerEventRecord> serverEvents;
    std::vector<CameraModeRecord> cameraModes;
    std::vector<CameraCommandRecord> cameraCommands;
    std::vector<ConsoleSwitchRecord> consoleSwitches;
    std::vector<ConsoleArchiveRecord> consoleArchives;
    std::vector<TelemetryRecord> telemetry;
    std::vector<PositionRecord> positions;
    int connectionsAccepted = 0;
    int failedLogins = 0;
};

struct SimulatorOptions {
    // Current UTC time in milliseconds since 1970; the system clock when empty.
    std::function<int64_t()> clockMs;
    // One line per notable event (connections, events, console, telemetry,
    // positions, faults); nothing is logged when empty.
    std::function<void(const std::string&)> log;
};

class ServerCore;

// One simulated server. Obtained from Simulator; all members are thread-safe.
class SimServer {
  public:
    explicit SimServer(std::unique_ptr<ServerCore> core);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    uint16_t Port() const;
    int FirstCamera() const;  // camera index of the first camera
    int CameraCount() const;
    int64_t ArchiveOriginMs() const;  // time of the first recorded frame

    void SetFaults(const FaultConfig& faults);
    FaultConfig Faults() const;
    void SetCameraActive(int cameraIndex, bool active);
    // Queues a text that command 57 hands out before any generated plate message.
    void PushServerText(std::string text);
    // Closes every open connection (the listening socket stays).
    void DropConnections();
    int OpenConnections() const;

    Journal Snapshot() const;
    void ClearJournal();
    // Waits until the journal holds at least `count` request headers.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // Position last set for a camera (kind 2 or 3), as kind 1 reads it back.
    orv_stuff::TCameraPosition Position(int cameraIndex) const;

    void Stop();
    ServerCore& Core() { return *core_; }

  private:
    std::unique_ptr<ServerCore> core_;
};

class Simulator {
  public:
    // Starts every server at once. Throws std::runtime_error when a port
    // cannot be bound or the camera ranges overlap or exceed 2048 cameras.
    explicit Simulator(std::vector<ServerConfig> servers, SimulatorOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    size_t ServerCount() const { return servers_.size(); }
    SimServer& Server(size_t i) { return *servers_.at(i); }
    // Stops all servers: listening ends, connections close, threads are joined.
    void Stop();

  private:
    std::vector<std::unique_ptr<SimServer>> servers_;
};

// N servers with K cameras each (the default camera mix), consecutive ports
// from basePort (0 = ephemeral ports), contiguous camera ranges.
std::vector<ServerConfig> UniformServers(int servers, int camerasEach, uint16_t basePort = 0,
                                         const std::string& password = {});

}  // namespace orv_sim
