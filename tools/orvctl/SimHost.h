// Simulated recording servers started inside the orvctl process for `orvctl demo`.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace orvctl {

struct SimServerInfo {
    std::string host;  // loopback address the server listens on
    int port = 0;      // ephemeral port
    std::string password;
    std::string description;  // cameras it serves, for the demo's report
    int firstCamera = 0;      // camera numbers firstCamera .. firstCamera + cameraKinds.size() - 1
    std::vector<std::string> cameraKinds;  // "jpeg", "jpeg-blocks", "mpeg4", "h264" per camera
};

// What one simulated server received from its clients, in arrival order. Camera numbers
// are 1-based, as the library counts them.
struct ReceivedCameraEvent {
    int camera = 0;
    std::array<int, 4> values{};
};
struct ReceivedTelemetry {
    int camera = 0;
    int command = 0;
    int speed1 = 0;
    int speed2 = 0;
    int value = 0;  // the byte that was sent
};
struct ReceivedCommands {
    std::vector<ReceivedCameraEvent> cameraEvents;
    std::vector<int> serverEvents;
    std::vector<ReceivedTelemetry> telemetry;
    std::vector<int> consoleSwitches;  // camera numbers
};

class SimHost {
  public:
    virtual ~SimHost() = default;
    virtual const std::vector<SimServerInfo>& Servers() const = 0;
    // True when the simulated servers produce plate messages.
    virtual bool HasPlates() const = 0;
    // True when the simulator can encode H.264; without an encoder its H.264 cameras
    // serve MPEG-4 instead.
    virtual bool HasH264Encoder() const = 0;
    // Earliest and latest time (OLE date, UTC) of the simulated archive; 0 when unknown.
    virtual double ArchiveBegin() const = 0;
    virtual double ArchiveEnd() const = 0;
    // What server `index` (0-based, in the order of Servers()) has received so far.
    virtual ReceivedCommands Received(size_t index) const = 0;
};

// Starts two servers on 127.0.0.1 with a mix of camera kinds. Returns null and a reason
// when the simulator is not available in this build or could not start.
std::unique_ptr<SimHost> StartSimulatedServers(std::string& error);

}  // namespace orvctl
