// Soak: host threads call every export of the library in random order against
// simulated servers (in a child process) with faults switched on (restarts, slow and
// silent replies, damaged pictures and streams, plate floods), then report
// calls per export, result codes, the slowest call and the resident memory.
//
//   bench_soak [--seconds 60] [--threads 8] [--warmup S] [--seed N]
//
// Exit status: 0 when every result was a documented code, 1 otherwise, 2 on
// bad arguments or when the servers cannot start. Memory growth after the
// warm-up beyond 5 % is reported as a warning line.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orv_sdk.h"
#include "protocol/Wire.h"
#include "sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Export {
    Init, Uninit, ServerAdd, ServerAddEx, ServersDelAll, ServersConnect, ServersDisconnect, ServersGetCount,
    ServerGetState, ServerGetCameras, CameraGetInfo, CameraGetName, VideoGetFrame, VideoArchiveOpen,
    VideoArchiveFindData, VideoArchiveGetInfo, VideoArchiveGetFrame, KeloEnablePlateDetect, KeloGetPlateNumber,
    KeloGetLatestPlateNumber, SetExternalEvent, SetExternalEventX, ExtPultSwitchCam, CamTele, WindowLiveShow,
    WindowLiveHide, WindowArchiveShow, WindowArchiveHide, kExportCount
};

constexpr std::array<const char*, kExportCount> kNames = {
    "ORV_Init", "ORV_Uninit", "ORV_ServerAdd", "ORV_ServerAddEx", "ORV_ServersDelAll", "ORV_ServersConnect",
    "ORV_ServersDisconnect", "ORV_ServersGetCount", "ORV_ServerGetState", "ORV_ServerGetCameras",
    "ORV_CameraGetInfo", "ORV_CameraGetName", "ORV_VideoGetFrame", "ORV_VideoArchiveOpen",
    "ORV_VideoArchiveFindData", "ORV_VideoArchiveGetInfo", "ORV_VideoArchiveGetFrame", "ORV_KeloEnablePlateDetect",
    "ORV_KeloGetPlateNumber", "ORV_KeloGetLatestPlateNumber", "ORV_SetExternalEvent", "ORV_SetExternalEvent_X",
    "ORV_ExtPultSwitchCam", "ORV_CamTele", "ORV_WindowLiveShow", "ORV_WindowLiveHide", "ORV_WindowArchiveShow",
    "ORV_WindowArchiveHide"};

// Relative call frequencies: the pictures dominate, tearing everything down is rare.
constexpr std::array<int, kExportCount> kWeights = {
    20, 1, 10, 10, 1, 10, 2, 40, 40, 40, 40, 40, 400, 20, 40, 40, 200, 10, 60, 60,
    30, 30, 30, 30, 5, 5, 5, 5};

// The documented result codes; ORV_ServersGetCount also returns counts >= 0.
constexpr int kDocumented[] = {ORV_OK,
                               ORV_E_FAILED,
                               ORV_E_INVALID_ARG,
                               ORV_E_BUFFER_TOO_SMALL,
                               ORV_E_DUPLICATE,
                               ORV_E_NO_FRAME,
                               ORV_E_CAMERA_INACTIVE,
                               ORV_E_UNKNOWN_CAMERA,
                               ORV_E_NOT_DECODABLE,
                               ORV_E_NO_PLATE,
                               ORV_E_NOT_READY,
                               ORV_E_NOT_INITIALISED,
                               ORV_E_NOT_SUPPORTED};

bool Documented(int exportIndex, int code) {
    if (exportIndex == ServersGetCount && code >= 0) return true;
    return std::find(std::begin(kDocumented), std::end(kDocumented), code) != std::end(kDocumented);
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// What the heap has handed out and not had back, in KiB. Beside the resident
// size it tells memory still held by the program from memory the allocator
// keeps (free chunks in the arenas of busy threads).
long HeapInUseKiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

double NowOle() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return orv_stuff::OleFromUnixMs(ms);
}

struct Tally {
    std::mutex mutex;
    std::array<uint64_t, kExportCount> calls{};
    std::map<int, uint64_t> codes;  // code -> count over all exports
    std::map<std::pair<int, int>, uint64_t> undocumented;  // (export, code) -> count
    double slowestMs = 0.0;
    int slowestExport = -1;
};

struct Servers {
    std::vector<uint16_t> ports;
    int cameras = 0;  // camera numbers 1..cameras
};

class Caller {
  public:
    Caller(const Servers& servers, uint32_t seed) : servers_(servers), random_(seed), frame_(4 << 20) {}

    void Run(Clock::time_point end, Tally& tally) {
        std::discrete_distribution<int> pick(kWeights.begin(), kWeights.end());
        std::array<uint64_t, kExportCount> calls{};
        std::map<int, uint64_t> codes;
        std::map<std::pair<int, int>, uint64_t> undocumented;
        double slowestMs = 0.0;
        int slowestExport = -1;
        while (Clock::now() < end) {
            const int which = pick(random_);
            const auto start = Clock::now();
            const int code = Call(which);
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            ++calls[static_cast<size_t>(which)];
            ++codes[which == ServersGetCount && code > 0 ? 0 : code];
            if (!Documented(which, code)) ++undocumented[{which, code}];
            if (ms > slowestMs) {
                slowestMs = ms;
                slowestExport = which;
            }
        }
        std::lock_guard<std::mutex> lock(tally.mutex);
        for (size_t i = 0; i < calls.size(); ++i) tally.calls[i] += calls[i];
        for (const auto& [code, n] : codes) tally.codes[code] += n;
        for (const auto& [key, n] : undocumented) tally.undocumented[key] += n;
        if (slowestMs > tally.slowestMs) {
            tally.slowestMs = slowestMs;
            tally.slowestExport = slowestExport;
        }
    }

  private:
    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }
    bool OneIn(int n) { return Uniform(1, n) == 1; }
    // Mostly real cameras, now and then one out of range.
    int AnyCamera() { return OneIn(20) ? Uniform(-1, 2100) : Uniform(1, servers_.cameras); }
    int AnyServer() { return Uniform(0, static_cast<int>(servers_.ports.size()) + 1); }
    uint16_t AnyPort() { return servers_.ports[static_cast<size_t>(Uniform(0, static_cast<int>(servers_.ports.size()) - 1))]; }
    unsigned FrameCapacity() { return OneIn(30) ? static_cast<unsigned>(Uniform(0, 4096)) : static_cast<unsigned>(frame_.size()); }
    char* Frame() { return reinterpret_cast<char*>(frame_.data()); }

    int Call(int which) {
        double time = 0.0, begin = 0.0, end = 0.0;
        int width = 0, height = 0, size = 0, state = 0, a = 0, b = 0, c = 0, server = 0, camera = 0;
        char text[256];
        switch (which) {
            case Init:
                return ORV_Init();
            case Uninit:
                return ORV_Uninit();
            case ServerAdd:
                return ORV_ServerAdd(OneIn(50) ? nullptr : "127.0.0.1", AnyPort(), 0, Uniform(0, 9), "");
            case ServerAddEx:
                return ORV_ServerAddEx("127.0.0.1", AnyPort(), 0, Uniform(0, 9), "", &server);
            case ServersDelAll:
                return ORV_ServersDelAll();
            case ServersConnect:
                return ORV_ServersConnect();
            case ServersDisconnect:
                return ORV_ServersDisconnect();
            case ServersGetCount:
                return ORV_ServersGetCount();
            case ServerGetState:
                return ORV_ServerGetState(AnyServer(), OneIn(50) ? nullptr : &state);
            case ServerGetCameras:
                return ORV_ServerGetCameras(AnyServer(), &a, &b, &c);
            case CameraGetInfo: {
                OrvCameraInfo info;
                return ORV_CameraGetInfo(AnyCamera(), OneIn(50) ? nullptr : &info);
            }
            case CameraGetName:
                return ORV_CameraGetName(AnyCamera(), text, static_cast<unsigned>(Uniform(1, sizeof text)));
            case VideoGetFrame:
                return ORV_VideoGetFrame(AnyCamera(), Uniform(0, 6), Frame(), FrameCapacity(), &time, &width,
                                         &height, &size);
            case VideoArchiveOpen:
                return ORV_VideoArchiveOpen(OneIn(4) ? 0 : 1);
            case VideoArchiveFindData:
                return ORV_VideoArchiveFindData(NowOle() - Uniform(0, 3600) / 86400.0, Uniform(0, 1));
            case VideoArchiveGetInfo:
                return ORV_VideoArchiveGetInfo(&begin, &end);
            case VideoArchiveGetFrame: {
                int cameras[4];
                const int count = Uniform(OneIn(50) ? 0 : 1, 4);
                for (int i = 0; i < count; ++i) cameras[i] = AnyCamera();
                return ORV_VideoArchiveGetFrame(cameras, static_cast<unsigned>(count), Uniform(1, 5), Uniform(0, 2),
                                                0, Frame(), FrameCapacity(), &camera, &time, &width, &height,
                                                &size);
            }
            case KeloEnablePlateDetect:
                return ORV_KeloEnablePlateDetect(OneIn(10) ? 0 : 1);
            case KeloGetPlateNumber:
                return ORV_KeloGetPlateNumber(text, &server, &camera, &time, Uniform(0, 4), Uniform(0, 500),
                                              frame_.data(), FrameCapacity(), &width, &height, &size);
            case KeloGetLatestPlateNumber:
                return ORV_KeloGetLatestPlateNumber(AnyCamera(), text, &server, &time, Uniform(0, 4), 0,
                                                    frame_.data(), FrameCapacity(), &width, &height, &size,
                                                    Uniform(0, 1) * 60'000);
            case SetExternalEvent:
                return ORV_SetExternalEvent(AnyCamera(), Uniform(0, 255), Uniform(0, 255), Uniform(-5, 5), 7);
            case SetExternalEventX:
                return ORV_SetExternalEvent_X(AnyServer(), Uniform(0, 100));
            case ExtPultSwitchCam:
                return ORV_ExtPultSwitchCam(AnyServer(), AnyCamera());
            case CamTele:
                return ORV_CamTele(AnyCamera(), Uniform(0, 40), Uniform(-10, 120), Uniform(-10, 120), Uniform(0, 300));
            case WindowLiveShow:
                return ORV_WindowLiveShow(1, 2, 3, 4, 5, 6, 7, 8);
            case WindowLiveHide:
                return ORV_WindowLiveHide(1);
            case WindowArchiveShow:
                return ORV_WindowArchiveShow(1, 2, 3, 4, 5, 6, 7, 8, 9);
            default:
                return ORV_WindowArchiveHide();
        }
    }

    const Servers& servers_;
    std::mt19937 random_;
    std::vector<unsigned char> frame_;
};

orv_sim::CameraConfig SmallCamera(orv_sim::CameraKind kind, bool plates = false) {
    orv_sim::CameraConfig c;
    c.kind = kind;
    c.width = 160;
    c.height = 120;
    c.fps = 10;
    c.gop = 10;
    c.plates = plates;
    c.plateIntervalSeconds = 2.0;
    return c;
}

// One clean server and three with faults; the last one's faults change every
// few seconds between slow replies, silence on live pictures and none.
std::vector<orv_sim::ServerConfig> SoakServers() {
    using K = orv_sim::CameraKind;
    std::vector<orv_sim::ServerConfig> servers(4);
    for (auto& s : servers) {
        s.archiveSeconds = 600;
        s.cameras = {SmallCamera(K::Jpeg, true), SmallCamera(K::JpegBlocks), SmallCamera(K::H264),
                     SmallCamera(K::Mpeg4)};
    }
    servers[1].faults.garbageEvery = 5;
    servers[1].faults.plateFloodPerSecond = 50;
    servers[2].faults.restartEveryMs = 5000;
    servers[2].faults.garbageEvery = 3;
    return servers;
}

void CycleFaults(orv_sim::SimServer& server, const std::atomic<bool>& stop) {
    std::vector<orv_sim::FaultConfig> phases(3);
    phases[0].slowChunkBytes = 512;
    phases[0].slowDelayMs = 20;
    phases[1].silent = true;
    phases[1].onlyCommand = orv_stuff::kCmdLiveFrames;
    const int tenthsOf[3] = {40, 10, 70};  // slow 4 s, silent 1 s, clean 7 s
    size_t phase = 0;
    while (!stop) {
        server.SetFaults(phases[phase]);
        for (int i = 0; i < tenthsOf[phase] && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        phase = (phase + 1) % phases.size();
    }
}

// The simulated servers run in a child process, so that the memory figures are
// the host's alone: the library and its callers, not the servers' pictures and
// buffers. The child ends when the parent closes its end of the control pipe
// (or dies).
class ServerProcess {
  public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() { Stop(); }

    // Forks before any thread exists; false when the servers could not start.
    bool Start(Servers& servers) {
        int control[2];
        int report[2];
        if (pipe(control) != 0) return false;
        if (pipe(report) != 0) {
            close(control[0]);
            close(control[1]);
            return false;
        }
        child_ = fork();
        if (child_ < 0) return false;
        if (child_ == 0) {
            close(control[1]);
            close(report[0]);
            _exit(RunServers(control[0], report[1]));
        }
        close(control[0]);
        close(report[1]);
        control_ = control[1];
        struct Entry {
            uint16_t port;
            int32_t cameras;
        } entry{};
        while (ReadAll(report[0], &entry, sizeof entry)) {
            servers.ports.push_back(entry.port);
            servers.cameras += entry.cameras;
        }
        close(report[0]);
        return !servers.ports.empty();
    }

    void Stop() {
        if (control_ >= 0) close(control_);
        control_ = -1;
        if (child_ > 0) waitpid(child_, nullptr, 0);
        child_ = -1;
    }

  private:
    static bool ReadAll(int fd, void* data, size_t size) {
        auto* out = static_cast<uint8_t*>(data);
        while (size > 0) {
            const ssize_t n = read(fd, out, size);
            if (n <= 0) return false;
            out += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    static int RunServers(int control, int report) {
        try {
            orv_sim::Simulator sim(SoakServers());
            for (size_t i = 0; i < sim.ServerCount(); ++i) {
                const struct {
                    uint16_t port;
                    int32_t cameras;
                } entry{sim.Server(i).Port(), static_cast<int32_t>(sim.Server(i).CameraCount())};
                if (write(report, &entry, sizeof entry) != static_cast<ssize_t>(sizeof entry)) return 2;
            }
            close(report);
            std::atomic<bool> stop{false};
            std::thread faults([&] { CycleFaults(sim.Server(3), stop); });
            char byte = 0;
            while (read(control, &byte, 1) > 0) {
            }
            stop = true;
            faults.join();
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "soak: cannot start the servers: %s\n", e.what());
            return 2;
        }
    }

    pid_t child_ = -1;
    int control_ = -1;
};

// Samples of one quantity over a minute.
struct Range {
    long low = std::numeric_limits<long>::max();
    long high = 0;
    long long sum = 0;
    long count = 0;
    void Add(long value) {
        low = std::min(low, value);
        high = std::max(high, value);
        sum += value;
        ++count;
    }
    long Mean() const { return count > 0 ? static_cast<long>(sum / count) : 0; }
};

struct Minute {
    Range rss;
    Range heap;
    void Add(long rssKiB, long heapKiB) {
        rss.Add(rssKiB);
        heap.Add(heapKiB);
    }
};

double Percent(long value, long reference) {
    return reference > 0 ? 100.0 * static_cast<double>(value - reference) / static_cast<double>(reference) : 0.0;
}

int Argument(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        if ((key != "--seconds" && key != "--threads" && key != "--warmup" && key != "--seed") || i + 1 >= argc) {
            std::fprintf(stderr, "usage: bench_soak [--seconds 60] [--threads 8] [--warmup S] [--seed N]\n");
            return 2;
        }
    }
    const int seconds = std::max(1, Argument(argc, argv, "--seconds", 60));
    const int threads = std::clamp(Argument(argc, argv, "--threads", 8), 1, 64);
    const int warmup = std::clamp(Argument(argc, argv, "--warmup", std::clamp(seconds / 6, 5, 120)), 0, seconds);
    const auto seed = static_cast<uint32_t>(Argument(argc, argv, "--seed", 1));

    Servers servers;
    ServerProcess serverProcess;
    if (!serverProcess.Start(servers)) {
        std::fprintf(stderr, "soak: cannot start the servers\n");
        return 2;
    }
    const long rssStart = ResidentKiB();
    ORV_Init();
    for (uint16_t port : servers.ports) ORV_ServerAdd("127.0.0.1", port, 0, 0, "");
    ORV_ServersConnect();
    ORV_KeloEnablePlateDetect(1);

    const auto begin = Clock::now();
    const auto end = begin + std::chrono::seconds(seconds);
    Tally tally;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] { Caller(servers, seed * 1000 + static_cast<uint32_t>(t)).Run(end, tally); });
    }
    // A sample every second from a minute before the warm-up ends: single samples
    // swing with the pictures in flight, minute means show whether the level moves.
    // A leak climbs steadily; a heap that settles flattens out.
    const auto warm = begin + std::chrono::seconds(warmup);
    std::vector<Minute> minutes;  // [0]: the warm-up's last minute
    for (auto next = std::max(begin, warm - std::chrono::seconds(60)); next < end; next += std::chrono::seconds(1)) {
        std::this_thread::sleep_until(next);
        const size_t index = next < warm ? 0 : 1 + static_cast<size_t>((next - warm) / std::chrono::seconds(60));
        if (minutes.size() <= index) minutes.resize(index + 1);
        minutes[index].Add(ResidentKiB(), HeapInUseKiB());
    }
    const long rssWarm = minutes.empty() ? ResidentKiB() : minutes[0].rss.Mean();
    const long heapWarm = minutes.empty() ? HeapInUseKiB() : minutes[0].heap.Mean();
    const long heapLast = HeapInUseKiB();
    for (auto& c : callers) c.join();
    const long rssEnd = ResidentKiB();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    ORV_Uninit();
    serverProcess.Stop();

    uint64_t total = 0;
    for (uint64_t n : tally.calls) total += n;
    std::printf("soak: %d threads, %.1f s, %llu calls (%.0f/s), 4 servers (1 clean, 3 with faults)\n", threads,
                elapsed, static_cast<unsigned long long>(total), total / elapsed);
    std::printf("calls per export:\n");
    for (size_t i = 0; i < kNames.size(); ++i) {
        std::printf("  %-30s %12llu\n", kNames[i], static_cast<unsigned long long>(tally.calls[i]));
    }
    std::printf("result codes (counts >= 0 of ORV_ServersGetCount as 0):\n");
    for (const auto& [code, n] : tally.codes) std::printf("  %6d %12llu\n", code, static_cast<unsigned long long>(n));
    if (tally.slowestExport >= 0) {
        std::printf("slowest call: %s %.1f ms\n", kNames[static_cast<size_t>(tally.slowestExport)], tally.slowestMs);
    }
    const double growth = Percent(rssEnd, rssWarm);
    std::printf("RSS: start %ld KiB, warm-up's last minute %ld KiB (mean), after the threads stopped %ld KiB (%+.1f %%)\n",
                rssStart, rssWarm, rssEnd, growth);
    double widest = 0.0;
    if (minutes.size() > 1) {
        std::printf("each minute after the warm-up, mean [min-max] KiB, and the mean against the warm-up's:\n");
        for (size_t m = 1; m < minutes.size(); ++m) {
            const Minute& minute = minutes[m];
            const double change = Percent(minute.rss.Mean(), rssWarm);
            widest = std::max(widest, std::fabs(change));
            std::printf("  %2zu  RSS %ld [%ld-%ld] %+.1f %%  heap %ld [%ld-%ld]\n", m, minute.rss.Mean(), minute.rss.low,
                        minute.rss.high, change, minute.heap.Mean(), minute.heap.low, minute.heap.high);
        }
    }
    std::printf("heap in use: warm-up's last minute %ld KiB (mean), before the threads stopped %ld KiB\n", heapWarm,
                heapLast);
    if (widest > 5.0) std::printf("WARNING: a minute's mean RSS differs by %.1f %% from the warm-up's\n", widest);
    for (const auto& [key, n] : tally.undocumented) {
        std::printf("FAILURE: %s returned undocumented code %d (%llu times)\n", kNames[static_cast<size_t>(key.first)],
                    key.second, static_cast<unsigned long long>(n));
    }
    const bool ok = tally.undocumented.empty();
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
