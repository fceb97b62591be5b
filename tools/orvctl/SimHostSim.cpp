// The demo's servers: two simulated recording servers on 127.0.0.1, ephemeral ports.
#include <algorithm>
#include <exception>

#include "OleTime.h"
#include "SimHost.h"
#include "sim/Simulator.h"
#include "sim/VideoBlocks.h"

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
            info.firstCamera = sim_.Server(i).FirstCamera() + 1;
            for (const auto& camera : configs[i].cameras) {
                info.cameraKinds.emplace_back(KindName(camera.kind));
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
    bool HasH264Encoder() const override { return orv_sim::H264EncoderAvailable(); }
    double ArchiveBegin() const override { return begin_; }
    double ArchiveEnd() const override { return end_; }

    ReceivedCommands Received(size_t index) const override {
        // The journal counts cameras from 0; the library and the demo from 1.
        const orv_sim::Journal journal = sim_.Server(index).Snapshot();
        ReceivedCommands out;
        for (const auto& e : journal.cameraEvents) {
            out.cameraEvents.push_back({e.camera + 1, {e.a, e.b, e.c, e.d}});
        }
        for (const auto& e : journal.serverEvents) {
            out.serverEvents.push_back(e.value);
        }
        // The telemetry block carries the speeds in bytes 4 and 5, the value in byte 8.
        for (const auto& t : journal.telemetry) {
            out.telemetry.push_back({t.camera + 1, t.command, t.block[4], t.block[5], t.block[8]});
        }
        for (const auto& c : journal.consoleSwitches) {
            out.consoleSwitches.push_back(c.camera + 1);
        }
        return out;
    }

  private:
    mutable orv_sim::Simulator sim_;  // Server() is non-const; its members are thread-safe
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
