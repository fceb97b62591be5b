// Built when the simulator library is not part of the build: the demo reports that it
// cannot run instead of pretending.
#include "SimHost.h"

namespace orvctl {

std::unique_ptr<SimHost> StartSimulatedServers(std::string& error) {
    error = "the simulator library (orv_sim_lib) is not part of this build";
    return nullptr;
}

}  // namespace orvctl
