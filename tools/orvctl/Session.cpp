#include "Session.h"

#include "ResultCodes.h"

#include "orv_sdk.h"

#include <algorithm>
#include <array>
#include <thread>

namespace orvctl {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

bool ServerSettled(const ServerRow& row)
{
    if (row.stateResult != ORV_OK) {
        return false;
    }
    if (row.state == ORV_STATE_CONNECTED) {
        return row.rangeResult == ORV_OK;
    }
    return IsSettledState(row.state);
}

} // namespace

Session::Session()
{
    ORV_Init();
}

Session::~Session()
{
    ORV_Uninit();
}

int Session::AddServers(const std::vector<ServerSpec>& servers, std::ostream& err)
{
    for (const auto& spec : servers) {
        int number = 0;
        const int code = ORV_ServerAddEx(spec.host.c_str(), spec.port, 0, 0, spec.password.c_str(), &number);
        if (code != ORV_OK) {
            err << "orvctl: cannot add server " << spec.Address() << ": " << DescribeResult(code) << '\n';
            return code;
        }
        servers_.push_back(spec);
    }
    return ORV_OK;
}

int Session::Connect(std::chrono::milliseconds timeout)
{
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

bool Session::AllConnected()
{
    for (const auto& row : Servers()) {
        if (row.stateResult != ORV_OK || row.state != ORV_STATE_CONNECTED || row.rangeResult != ORV_OK) {
            return false;
        }
    }
    return !servers_.empty();
}

std::vector<ServerRow> Session::Servers()
{
    std::vector<ServerRow> rows;
    for (size_t i = 0; i < servers_.size(); ++i) {
        ServerRow row;
        row.handle = static_cast<int>(i + 1);
        row.address = servers_[i].Address();
        row.stateResult = ORV_ServerGetState(row.handle, &row.state);
        row.rangeResult = ORV_ServerGetCameras(row.handle, &row.firstCamera, &row.lastCamera, &row.cameraCount);
        rows.push_back(row);
    }
    return rows;
}

std::vector<CameraRow> Session::Cameras()
{
    std::vector<CameraRow> rows;
    for (const auto& server : Servers()) {
        if (server.rangeResult != ORV_OK) {
            continue;
        }
        // The range comes from the server; keep a hostile answer from making us walk
        // beyond the library's camera numbers.
        const int first = std::max(server.firstCamera, 1);
        const int last = std::min(server.lastCamera, 2048);
        for (int camera = first; camera <= last; ++camera) {
            CameraRow row;
            row.camera = camera;
            std::array<char, 256> name{};
            row.nameResult = ORV_CameraGetName(camera, name.data(), static_cast<unsigned>(name.size()));
            if (row.nameResult == ORV_OK) {
                row.name = name.data();
            }
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

} // namespace orvctl
