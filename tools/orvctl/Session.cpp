#include "Session.h"

#include <algorithm>
#include <array>
#include <thread>
#include <vector>

#include "ResultCodes.h"
#include "TextEncoding.h"
#include "orv_sdk.h"

namespace orvctl {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

bool ServerSettled(const ServerRow& row) {
    if (row.stateResult != ORV_OK) {
        return false;
    }
    if (row.state == ORV_STATE_CONNECTED) {
        return row.rangeResult == ORV_OK;
    }
    return IsSettledState(row.state);
}

// Names arrive in Windows-1251; a name that does not fit the first buffer gets one
// retry with the largest buffer we are willing to spend on a name.
int ReadCameraName(int camera, std::string& name) {
    for (unsigned size : {256u, 65536u}) {
        std::vector<char> buffer(size, '\0');
        const int code = ORV_CameraGetName(camera, buffer.data(), size);
        if (code == ORV_OK) {
            buffer.back() = '\0';
            name = Cp1251ToUtf8(buffer.data());
            return code;
        }
        if (code != ORV_E_BUFFER_TOO_SMALL) {
            return code;
        }
    }
    return ORV_E_BUFFER_TOO_SMALL;
}

}  // namespace

Session::Session() {
    ORV_Init();
}

Session::~Session() {
    ORV_Uninit();
}

int Session::AddServers(const std::vector<ServerAddress>& servers, std::ostream& err,
                        const std::string& program) {
    for (const auto& address : servers) {
        int number = 0;
        const int code =
            ORV_ServerAddEx(address.host.c_str(), address.port, 0, 0, address.password.c_str(), &number);
        if (code != ORV_OK) {
            err << program << ": cannot add server " << address.Address() << ": " << DescribeResult(code) << '\n';
            return code;
        }
        servers_.push_back(address);
    }
    return ORV_OK;
}

int Session::Connect(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int code = ORV_ServersConnect();
    if (code != ORV_OK) {
        return code;
    }
    for (;;) {
        bool settled = true;
        for (const auto& row : Servers()) {
            settled = settled && ServerSettled(row);
        }
        if (settled || std::chrono::steady_clock::now() >= deadline) {
            return ORV_OK;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool Session::AllConnected() {
    for (const auto& row : Servers()) {
        if (row.stateResult != ORV_OK || row.state != ORV_STATE_CONNECTED || row.rangeResult != ORV_OK) {
            return false;
        }
    }
    return !servers_.empty();
}

std::vector<ServerRow> Session::Servers() {
    std::vector<ServerRow> rows;
    for (size_t i = 0; i < servers_.size(); ++i) {
        ServerRow row;
        row.handle = static_cast<int>(i + 1);
        row.address = servers_[i].Address();
        row.stateResult = ORV_ServerGetState(row.handle, &row.state);
        row.rangeResult =
            ORV_ServerGetCameras(row.handle, &row.firstCamera, &row.lastCamera, &row.cameraCount);
        rows.push_back(row);
    }
    return rows;
}

std::vector<CameraRow> Session::Cameras() {
    std::vector<CameraRow> rows;
    for (const auto& server : Servers()) {
        // A server without cameras (a refused login among them) contributes no rows.
        if (server.rangeResult != ORV_OK || server.cameraCount <= 0) {
            continue;
        }
        // The range comes from the server; keep a hostile answer from making us walk
        // beyond the library's camera numbers.
        const int first = std::max(server.firstCamera, 1);
        const int last = std::min(server.lastCamera, 2048);
        for (int camera = first; camera <= last; ++camera) {
            CameraRow row;
            row.camera = camera;
            row.nameResult = ReadCameraName(camera, row.name);
            OrvCameraInfo info{};
            row.infoResult = ORV_CameraGetInfo(camera, &info);
            if (row.infoResult == ORV_OK) {
                row.serverHandle = info.serverHandle;
                row.active = info.active != 0;
            } else {
                row.serverHandle = server.handle;
            }
            rows.push_back(row);
        }
    }
    return rows;
}

}  // namespace orvctl
