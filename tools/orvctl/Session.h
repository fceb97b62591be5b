// One use of the library from orvctl: initialise, register the servers given on the
// command line, connect, wait (bounded) for them to settle, list servers and cameras,
// and uninitialise on the way out.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "ServerAddress.h"

namespace orvctl {

struct ServerRow {
    int handle = 0;  // position in registration order, which is also the handle the library answers to
    std::string address;
    int stateResult = 0;
    int state = -1;
    int rangeResult = 0;  // result of ORV_ServerGetCameras; 0 when the camera range is known
    int firstCamera = 0;
    int lastCamera = 0;
    int cameraCount = 0;
};

struct CameraRow {
    int camera = 0;
    int nameResult = 0;
    std::string name;
    int infoResult = 0;
    int serverHandle = 0;
    bool active = false;
};

class Session {
  public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Registers every server; stops at the first failure and returns its code. The
    // message about a failure begins with `program`.
    int AddServers(const std::vector<ServerAddress>& servers, std::ostream& err,
                   const std::string& program = "orvctl");
    // ORV_ServersConnect, then polls until every server is connected with a known camera
    // range or has settled in a failure state, or the time-out passed. Returns the
    // connect call's code; the outcome per server is in Servers().
    int Connect(std::chrono::milliseconds timeout);
    // True when every registered server is connected and its camera range is known.
    bool AllConnected();

    std::vector<ServerRow> Servers();
    std::vector<CameraRow> Cameras();

  private:
    std::vector<ServerAddress> servers_;
};

}  // namespace orvctl
