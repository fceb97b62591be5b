// Calls from several host threads at once, against in-process orv-sim servers:
//
//   bench_concurrency slow [seconds]
//       p50 / p99 / max of calls about a healthy server (live JPEG and BGR, server
//       state, camera list, name, information, camera event, archive read of its
//       cameras) while another host thread keeps waiting on a server that answers
//       live requests in pieces, 2.5 s a picture.
//   bench_concurrency scaling [seconds] [rounds]
//       BGR pictures per second of 1920x1080 JPEG cameras with 1, 2 and 4 host
//       threads, each on a camera of its own (two servers), in alternating rounds.
//
// The simulator's clock steps one frame every millisecond through eight frames it
// keeps encoded, so every call finds a newer picture and the simulator's encoding
// stays out of the figures.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "orv_sdk.h"
#include "protocol/Wire.h"
#include "sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kBaseMs = 1'780'000'000'000;
constexpr double kUnixEpochOle = 25569.0;

int64_t CyclingClock() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    return kBaseMs + 40 * (ms % 8);
}

orv_sim::CameraConfig Camera(int width, int height) {
    orv_sim::CameraConfig camera;
    camera.kind = orv_sim::CameraKind::Jpeg;
    camera.width = width;
    camera.height = height;
    camera.fps = 25;
    return camera;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[at];
}

void Connect(orv_sim::Simulator& sim) {
    ORV_Init();
    for (size_t i = 0; i < sim.ServerCount(); ++i) ORV_ServerAdd("127.0.0.1", sim.Server(i).Port(), 0, 0, "");
    ORV_ServersConnect();
}

int Slow(double seconds) {
    std::vector<orv_sim::ServerConfig> configs(2);
    for (auto& config : configs) {
        config.cameras = {Camera(640, 360), Camera(640, 360)};
        config.archiveSeconds = 600;
    }
    orv_sim::SimulatorOptions options;
    options.clockMs = CyclingClock;
    orv_sim::Simulator sim(configs, options);
    Connect(sim);
    ORV_VideoArchiveOpen(1);
    ORV_VideoArchiveFindData(kUnixEpochOle + static_cast<double>(kBaseMs - 590'000) / 86400000.0, 1);
    // Server 1 answers live requests in 4 KiB pieces 300 ms apart (about 2.5 s a
    // picture, within the 10 s time-out, so it stays connected and its connection
    // is busy throughout); a host thread keeps asking it for pictures.
    orv_sim::FaultConfig slow;
    slow.slowChunkBytes = 4096;
    slow.slowDelayMs = 300;
    slow.onlyCommand = orv_stuff::kCmdLiveFrames;
    sim.Server(0).SetFaults(slow);
    const int slowCamera = sim.Server(0).FirstCamera() + 1;
    const int first = sim.Server(1).FirstCamera() + 1;
    std::atomic<bool> stop{false};
    std::atomic<int> slowCalls{0};
    std::atomic<int> slowWaits{0};  // calls that waited for the slow server
    std::thread waiting([&] {
        std::vector<char> buffer(2'000'000);
        double time = 0;
        int w = 0, h = 0, size = 0;
        while (!stop.load()) {
            const auto start = Clock::now();
            ORV_VideoGetFrame(slowCamera, ORV_FRAME_JPEG, buffer.data(), static_cast<unsigned>(buffer.size()), &time,
                              &w, &h, &size);
            ++slowCalls;
            if (Clock::now() - start > std::chrono::seconds(1)) ++slowWaits;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    std::vector<char> buffer(2'000'000);
    double time = 0;
    int w = 0, h = 0, size = 0, state = 0, a = 0, b = 0, c = 0, camera = 0;
    char name[64];
    OrvCameraInfo info{};
    const int cameras[] = {first, first + 1};
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"live JPEG 640x360",
         [&] {
             return ORV_VideoGetFrame(first, ORV_FRAME_JPEG, buffer.data(), static_cast<unsigned>(buffer.size()), &time,
                                      &w, &h, &size);
         }},
        {"live BGR 640x360",
         [&] {
             return ORV_VideoGetFrame(first + 1, ORV_FRAME_BGR, buffer.data(), static_cast<unsigned>(buffer.size()),
                                      &time, &w, &h, &size);
         }},
        {"ORV_ServerGetState", [&] { return ORV_ServerGetState(2, &state); }},
        {"ORV_ServerGetCameras", [&] { return ORV_ServerGetCameras(2, &a, &b, &c); }},
        {"ORV_CameraGetName", [&] { return ORV_CameraGetName(first, name, sizeof name); }},
        {"ORV_CameraGetInfo", [&] { return ORV_CameraGetInfo(first, &info); }},
        {"ORV_SetExternalEvent", [&] { return ORV_SetExternalEvent(first, 1, 2, 3, 4); }},
        {"archive read, healthy server's cameras",
         [&] {
             return ORV_VideoArchiveGetFrame(cameras, 2, ORV_FRAME_JPEG, 0, 1, buffer.data(),
                                             static_cast<unsigned>(buffer.size()), &camera, &time, &w, &h, &size);
         }},
    };
    std::printf("While server 1 is slow (a host thread waits on it throughout), calls about server 2:\n");
    std::printf("%-42s %8s %10s %10s %10s %8s\n", "call", "calls", "p50 us", "p99 us", "max us", "ok");
    const auto perCall = std::chrono::duration<double>(seconds / static_cast<double>(calls.size()));
    for (const auto& [what, call] : calls) {
        std::vector<double> us;
        int ok = 0;
        const auto end = Clock::now() + perCall;
        while (Clock::now() < end) {
            const auto start = Clock::now();
            ok += call() == ORV_OK ? 1 : 0;
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::printf("%-42s %8zu %10.0f %10.0f %10.0f %8d\n", what, us.size(), Percentile(us, 0.5),
                    Percentile(us, 0.99), Percentile(us, 1.0), ok);
    }
    stop.store(true);
    sim.Server(0).SetFaults({});
    std::printf("calls to the slow server meanwhile: %d, of which %d waited over 1 s\n", slowCalls.load(),
                slowWaits.load());
    waiting.join();
    ORV_Uninit();
    return 0;
}

// Pictures per second with `threads` host threads, each on its own camera.
double PicturesPerSecond(int threads, double seconds, const std::vector<int>& cameras, int64_t& misses) {
    std::atomic<int64_t> pictures{0};
    std::atomic<int64_t> missed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<char> buffer(1920 * 1080 * 3);
            double time = 0;
            int w = 0, h = 0, size = 0;
            while (!go.load()) std::this_thread::yield();
            const auto end = Clock::now() + std::chrono::duration<double>(seconds);
            while (Clock::now() < end) {
                const int r = ORV_VideoGetFrame(cameras[static_cast<size_t>(t)], ORV_FRAME_BGR, buffer.data(),
                                                static_cast<unsigned>(buffer.size()), &time, &w, &h, &size);
                (r == ORV_OK ? pictures : missed)++;
            }
        });
    }
    const auto start = Clock::now();
    go.store(true);
    for (auto& worker : workers) worker.join();
    misses += missed.load();
    return static_cast<double>(pictures.load()) / std::chrono::duration<double>(Clock::now() - start).count();
}

int Scaling(double seconds, int rounds) {
    std::vector<orv_sim::ServerConfig> configs(2);
    for (auto& config : configs) config.cameras = {Camera(1920, 1080), Camera(1920, 1080)};
    orv_sim::SimulatorOptions options;
    options.clockMs = CyclingClock;
    orv_sim::Simulator sim(configs, options);
    Connect(sim);
    // Camera t on server t % 2.
    std::vector<int> cameras;
    for (int t = 0; t < 4; ++t) cameras.push_back(sim.Server(static_cast<size_t>(t % 2)).FirstCamera() + t / 2 + 1);
    int64_t warmMisses = 0;
    PicturesPerSecond(4, 2.0, cameras, warmMisses);  // every camera's eight frames encoded once
    std::map<int, std::vector<double>> rates;
    int64_t misses = 0;
    for (int r = 0; r < rounds; ++r) {
        for (const int threads : {1, 2, 4}) rates[threads].push_back(PicturesPerSecond(threads, seconds, cameras, misses));
    }
    const double one = Percentile(rates[1], 0.5);
    std::printf("BGR pictures/s of 1920x1080 JPEG cameras, one camera per host thread (median of %d rounds of %.1f s; "
                "calls without a new picture: %lld)\n",
                rounds, seconds, static_cast<long long>(misses));
    for (const int threads : {1, 2, 4}) {
        const double rate = Percentile(rates[threads], 0.5);
        std::printf("  %d thread%s %8.1f pictures/s  %5.2fx   (rounds:", threads, threads == 1 ? " " : "s", rate,
                    one > 0 ? rate / one : 0.0);
        for (const double v : rates[threads]) std::printf(" %.0f", v);
        std::printf(")\n");
    }
    ORV_Uninit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "slow") return Slow(argc > 2 ? std::atof(argv[2]) : 16.0);
    if (mode == "scaling") return Scaling(argc > 2 ? std::atof(argv[2]) : 3.0, argc > 3 ? std::atoi(argv[3]) : 3);
    std::fprintf(stderr, "usage: bench_concurrency slow [seconds] | scaling [seconds] [rounds]\n");
    return 2;
}
