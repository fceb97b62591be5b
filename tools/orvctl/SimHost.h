// Simulated recording servers started inside the orvctl process for `orvctl demo`.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace orvctl {

struct SimServerInfo {
    std::string host;  // loopback address the server listens on
    int port = 0;      // ephemeral port
    std::string password;
    std::string description;  // cameras it serves, for the demo's report
};

class SimHost {
  public:
    virtual ~SimHost() = default;
    virtual const std::vector<SimServerInfo>& Servers() const = 0;
    // True when the simulated servers produce plate messages.
    virtual bool HasPlates() const = 0;
    // Earliest and latest time (OLE date, UTC) of the simulated archive; 0 when unknown.
    virtual double ArchiveBegin() const = 0;
    virtual double ArchiveEnd() const = 0;
};

// Starts two servers on 127.0.0.1 with a mix of camera kinds. Returns null and a reason
// when the simulator is not available in this build or could not start.
std::unique_ptr<SimHost> StartSimulatedServers(std::string& error);

}  // namespace orvctl
