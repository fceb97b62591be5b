#include "sim/Simulator.h"

#include <stdexcept>

#include "sim/ServerCore.h"

namespace orv_sim {

SimServer::SimServer(std::unique_ptr<ServerCore> core) : core_(std::move(core)) {}
SimServer::~SimServer() = default;

uint16_t SimServer::Port() const {
    return core_->Port();
}
int SimServer::FirstCamera() const {
    return core_->FirstCamera();
}
int SimServer::CameraCount() const {
    return core_->CameraCount();
}
int64_t SimServer::ArchiveOriginMs() const {
    return core_->OriginMs();
}
void SimServer::SetFaults(const FaultConfig& faults) {
    core_->SetFaults(faults);
}
FaultConfig SimServer::Faults() const {
    return core_->Faults();
}
void SimServer::SetCameraActive(int cameraIndex, bool active) {
    core_->SetCameraActive(cameraIndex, active);
}
void SimServer::PushServerText(std::string text) {
    core_->PushServerText(std::move(text));
}
void SimServer::DropConnections() {
    core_->DropConnections();
}
int SimServer::OpenConnections() const {
    return core_->OpenConnections();
}
Journal SimServer::Snapshot() const {
    return core_->Snapshot();
}
void SimServer::ClearJournal() {
    core_->ClearJournal();
}
bool SimServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return core_->WaitForRequests(count, timeout);
}
orv_stuff::TCameraPosition SimServer::Position(int cameraIndex) const {
    return core_->Position(cameraIndex);
}
void SimServer::Stop() {
    core_->Stop();
}

Simulator::Simulator(std::vector<ServerConfig> servers, SimulatorOptions options) {
    std::vector<bool> taken(orv_stuff::kMaxCameras, false);
    int next = 0;
    try {
        for (const ServerConfig& config : servers) {
            const int first = config.firstCamera >= 0 ? config.firstCamera : next;
            const int count = static_cast<int>(config.cameras.size());
            if (count > kMaxCamerasPerServer) throw std::runtime_error("a server has at most 128 cameras");
            if (first + count > orv_stuff::kMaxCameras) {
                throw std::runtime_error("camera numbers above 2048 are not possible");
            }
            for (int i = first; i < first + count; ++i) {
                if (taken[static_cast<size_t>(i)]) {
                    throw std::runtime_error("camera " + std::to_string(i + 1) + " belongs to two servers");
                }
                taken[static_cast<size_t>(i)] = true;
            }
            auto core = std::make_unique<ServerCore>(config, first, options);
            core->Start();
            servers_.push_back(std::make_unique<SimServer>(std::move(core)));
            next = first + count;
        }
    } catch (...) {
        Stop();
        throw;
    }
}

Simulator::~Simulator() {
    Stop();
}

void Simulator::Stop() {
    for (auto& server : servers_) server->Stop();
}

std::vector<ServerConfig> UniformServers(int servers, int camerasEach, uint16_t basePort,
                                         const std::string& password) {
    std::vector<ServerConfig> out;
    for (int s = 0; s < servers; ++s) {
        ServerConfig config;
        config.port = basePort == 0 ? 0 : static_cast<uint16_t>(basePort + s);
        config.firstCamera = s * camerasEach;
        config.password = password;
        for (int c = 0; c < camerasEach; ++c) config.cameras.push_back(DefaultCamera(s * camerasEach + c));
        out.push_back(std::move(config));
    }
    return out;
}

}  // namespace orv_sim
