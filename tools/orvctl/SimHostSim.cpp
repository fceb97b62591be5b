// The demo's servers: two simulated recording servers on 127.0.0.1, ephemeral ports.
#include <algorithm>
#include <exception>

#include "OleTime.h"
#include "SimHost.h"
#include "sim/Simulator.h"

namespace orvctl {
namespace {

constexpr int kServers = 2;
constexpr int kCamerasEach = 4;
constexpr double kPlateIntervalSeconds = 1.0;

const char* KindName(orv_sim::CameraKind kind) {
    switch (kind) {
        case orv_sim::CameraKind::Jpeg:
            return "jpeg";
        case orv_sim::CameraKind::JpegBlocks:
            return "jpeg-blocks";
        case orv_sim::CameraKind::Mpeg4:
            return "mpeg4";
        case orv_sim::CameraKind::H264:
            return "h264";
    }
    return "?";
}

class InProcessSim final : public SimHost {
  public:
    explicit InProcessSim(std::vector<orv_sim::ServerConfig> configs) : sim_(configs) {
        for (size_t i = 0; i < sim_.ServerCount(); ++i) {
            SimServerInfo info;
            info.host = "127.0.0.1";
            info.port = sim_.Server(i).Port();
            info.password = configs[i].password;
            for (const auto& camera : configs[i].cameras) {
                info.description +=
                    (info.description.empty() ? "" : ",") + std::string(KindName(camera.kind));
                if (!camera.active) {
                    info.description += "(inactive)";
                }
                hasPlates_ = hasPlates_ || camera.plates;
            }
            const double origin = OleFromUnixMs(sim_.Server(i).ArchiveOriginMs());
            begin_ = begin_ == 0 ? origin : std::min(begin_, origin);
            servers_.push_back(info);
        }
        end_ = NowOle();
    }
    ~InProcessSim() override { sim_.Stop(); }

    const std::vector<SimServerInfo>& Servers() const override { return servers_; }
    bool HasPlates() const override { return hasPlates_; }
    double ArchiveBegin() const override { return begin_; }
    double ArchiveEnd() const override { return end_; }

  private:
    orv_sim::Simulator sim_;
    std::vector<SimServerInfo> servers_;
    bool hasPlates_ = false;
    double begin_ = 0;
    double end_ = 0;
};

}  // namespace

std::unique_ptr<SimHost> StartSimulatedServers(std::string& error) {
    try {
        std::vector<orv_sim::ServerConfig> configs =
            orv_sim::UniformServers(kServers, kCamerasEach, 0, "demo");
        // One camera reads plates, often enough for the demo to see a few.
        configs[0].cameras[0].plates = true;
        configs[0].cameras[0].plateIntervalSeconds = kPlateIntervalSeconds;
        return std::make_unique<InProcessSim>(std::move(configs));
    } catch (const std::exception& e) {
        error = std::string("cannot start the simulated servers: ") + e.what();
        return nullptr;
    }
}

}  // namespace orvctl
