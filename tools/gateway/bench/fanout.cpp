// Fan-out of live pictures through orv-gateway: 4 cameras at 25 pictures/s, 8 viewers
// each. Reports the gateway's CPU and the pictures per second every viewer gets, then runs
// again with one viewer reading a single picture per second, to show the others keep
// their rate.
//
//   bench_gateway_fanout [--seconds 10] [--cameras 4] [--viewers 8] [--width 640 --height 360]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HttpClient.h"
#include "sim/Simulator.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

struct Result {
    double gatewayCpu = 0;  // share of one core
    std::vector<double> fps;  // per viewer, in camera order
};

Result Run(uint16_t port, int gatewayPid, int cameras, int viewers, double seconds, bool oneSlow) {
    const int total = cameras * viewers;
    std::vector<std::atomic<int>> counts(static_cast<size_t>(total));
    std::atomic<bool> counting{false}, stop{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < total; ++i) {
        const int camera = i / viewers + 1;
        const bool slow = oneSlow && i == 0;
        threads.emplace_back([&, i, camera, slow] {
            gateway::test::StreamClient stream(port, "/api/cameras/" + std::to_string(camera) + "/stream.mjpeg",
                                               slow ? 8192 : 0);
            stream.NextPart(10s);
            ++ready;
            while (!stop) {
                if (!stream.NextPart(2s)) {
                    continue;
                }
                if (counting) {
                    ++counts[static_cast<size_t>(i)];
                }
                if (slow) {
                    std::this_thread::sleep_for(1s);
                }
            }
        });
    }
    while (ready < total) {
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(1s);  // let every loop settle
    const double cpu0 = ProcessCpuSeconds(gatewayPid);
    const auto t0 = Clock::now();
    counting = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    counting = false;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu1 = ProcessCpuSeconds(gatewayPid);
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    Result result;
    result.gatewayCpu = (cpu1 - cpu0) / wall;
    for (auto& c : counts) {
        result.fps.push_back(c / wall);
    }
    return result;
}

void Print(const char* title, const Result& r, int viewers, bool oneSlow) {
    std::printf("%s\n  gateway CPU: %.1f%% of one core\n", title, r.gatewayCpu * 100);
    std::vector<double> others;
    for (size_t i = 0; i < r.fps.size(); ++i) {
        if (i % static_cast<size_t>(viewers) == 0) {
            std::printf("  camera %zu:", i / static_cast<size_t>(viewers) + 1);
        }
        std::printf(" %5.1f", r.fps[i]);
        if (i % static_cast<size_t>(viewers) == static_cast<size_t>(viewers) - 1) {
            std::printf("\n");
        }
        if (!(oneSlow && i == 0)) {
            others.push_back(r.fps[i]);
        }
    }
    const auto [lo, hi] = std::minmax_element(others.begin(), others.end());
    const double mean = std::accumulate(others.begin(), others.end(), 0.0) / static_cast<double>(others.size());
    std::printf("  %s viewers: min %.1f  mean %.1f  max %.1f pictures/s%s\n", oneSlow ? "other" : "all", *lo, mean,
                *hi, oneSlow ? "" : "");
    if (oneSlow) {
        std::printf("  slow viewer (camera 1, reads 1 picture/s): %.1f pictures/s\n", r.fps[0]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    int cameras = 4, viewers = 8, width = 640, height = 360;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (key == "--seconds") {
            seconds = value;
        } else if (key == "--cameras") {
            cameras = static_cast<int>(value);
        } else if (key == "--viewers") {
            viewers = static_cast<int>(value);
        } else if (key == "--width") {
            width = static_cast<int>(value);
        } else if (key == "--height") {
            height = static_cast<int>(value);
        }
    }
    std::vector<orv_sim::ServerConfig> servers(1);
    for (int c = 0; c < cameras; ++c) {
        orv_sim::CameraConfig camera;
        camera.kind = orv_sim::CameraKind::Jpeg;
        camera.width = width;
        camera.height = height;
        camera.fps = 25;
        servers[0].cameras.push_back(camera);
    }
    servers[0].archiveSeconds = 60;
    orv_sim::Simulator sim(servers);
    gateway::test::GatewayProcess gateway(
        ORV_GATEWAY_PATH, {"--server", "127.0.0.1:" + std::to_string(sim.Server(0).Port()), "--listen", "127.0.0.1:0"});
    std::printf("gateway fan-out: %d JPEG cameras %dx%d at 25 pictures/s, %d viewers each, %.0f s per run\n", cameras,
                width, height, viewers, seconds);
    std::printf("machine: %u hardware threads, load average before: %s\n", std::thread::hardware_concurrency(),
                LoadAverage().c_str());
    const Result all = Run(gateway.Port(), gateway.Pid(), cameras, viewers, seconds, false);
    Print("every viewer reads as fast as it can:", all, viewers, false);
    const Result slow = Run(gateway.Port(), gateway.Pid(), cameras, viewers, seconds, true);
    Print("one viewer of camera 1 reads one picture per second:", slow, viewers, true);
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return gateway.Stop() == 0 ? 0 : 1;
}
