// Helpers shared by the frame retrieval tests: a simulator with the library
// connected to it, and checks of delivered pictures against the simulator's
// known content.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "orv_sdk.h"
#include "sim/Picture.h"
#include "sim/Simulator.h"
#include "support/BlockUsers.h"

namespace frames_test {

constexpr double kUnixEpochOle = 25569.0;
constexpr double kMsPerDay = 86400000.0;

inline int64_t OleToMs(double ole) { return std::llround((ole - kUnixEpochOle) * kMsPerDay); }
inline double MsToOle(int64_t ms) { return kUnixEpochOle + static_cast<double>(ms) / kMsPerDay; }

inline orv_sim::CameraConfig Camera(orv_sim::CameraKind kind, int width, int height,
                                    orv_sim::Subsampling subsampling = orv_sim::Subsampling::S420, int fps = 25) {
    orv_sim::CameraConfig camera;
    camera.kind = kind;
    camera.width = width;
    camera.height = height;
    camera.subsampling = subsampling;
    camera.fps = fps;
    return camera;
}

// Owns the simulator and the initialised library; holds the machine-wide lock
// every library-using test takes.
class Connected {
public:
    explicit Connected(std::vector<orv_sim::ServerConfig> servers, orv_sim::SimulatorOptions options = {}) {
        sim_ = std::make_unique<orv_sim::Simulator>(std::move(servers), std::move(options));
        ok_ = ORV_Init() == 0;
        for (size_t i = 0; ok_ && i < sim_->ServerCount(); ++i) {
            ok_ = ORV_ServerAdd("127.0.0.1", sim_->Server(i).Port(), 0, 0, "") == 0;
        }
        ok_ = ok_ && ORV_ServersConnect() == 0;
    }
    ~Connected() {
        ORV_Uninit();
        sim_.reset();
    }
    Connected(const Connected&) = delete;
    Connected& operator=(const Connected&) = delete;

    bool Ok() const { return ok_; }
    orv_sim::Simulator& Sim() { return *sim_; }
    // Camera number of camera k of server s.
    int Number(size_t s, int k) { return sim_->Server(s).FirstCamera() + k + 1; }

private:
    orv_test::BlockUsersLock users_;
    std::unique_ptr<orv_sim::Simulator> sim_;
    bool ok_ = false;
};

struct Fetched {
    int result = 0;
    double time = 0.0;
    int width = 0;
    int height = 0;
    int size = 0;
    std::vector<uint8_t> data;
};

inline Fetched Live(int camera, int type, size_t capacity = 30'000'000) {
    Fetched f;
    f.data.resize(capacity);
    f.result = ORV_VideoGetFrame(camera, type, reinterpret_cast<char*>(f.data.data()),
                                 static_cast<unsigned>(capacity), &f.time, &f.width, &f.height, &f.size);
    f.data.resize(f.result == 0 ? static_cast<size_t>(f.size) : 0);
    return f;
}

// Mean absolute difference between the luma the delivered picture carries and
// the simulator's picture of that camera at that time.
inline double LumaDifference(const std::vector<uint8_t>& data, int bytesPerPixel, int width, int height,
                             const orv_sim::PlanarPicture& expected) {
    if (expected.width != width || expected.height != height || width <= 0 || height <= 0) return 1e9;
    double sum = 0.0;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (data.size() < pixels * static_cast<size_t>(bytesPerPixel)) return 1e9;
    for (size_t i = 0; i < pixels; ++i) {
        double luma = 0.0;
        if (bytesPerPixel == 3) {  // B G R
            luma = 0.114 * data[3 * i] + 0.587 * data[3 * i + 1] + 0.299 * data[3 * i + 2];
        } else if (bytesPerPixel == 2) {  // Y U Y V
            luma = data[2 * i];
        } else {
            luma = data[i];
        }
        sum += std::fabs(luma - expected.y[i]);
    }
    return sum / static_cast<double>(pixels);
}

}  // namespace frames_test
