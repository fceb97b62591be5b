// Frame retrieval through the C interface beside what the same work costs
// without the library, measured in the same run:
//   live JPEG (type 1) from a 1080p camera  vs  a plain loopback request/response
//                                              of the same byte count
//   live BGR (type 3)                       vs  that transfer plus TurboJPEG's
//                                              direct BGR decode of the same JPEG
//   archive reads merged across two servers vs  reads from one server
// The ratios (medians over the repetitions) are printed after the table; a third
// reference, the library's own request sent to the simulator from a plain socket,
// separates the simulator's share from the library's.
//
// `bench_frames --paired [rounds] [width height]` measures the live ratios in short alternating
// rounds instead (ours, then the reference, back to back), which holds up better
// when the machine's speed drifts during a run.  For BGR it also puts the call
// beside the same request to the same simulator from a plain socket followed by
// TurboJPEG's BGR decode.
//
// `bench_frames --pacing` polls an H.264 and an MPEG-4 camera at their frame rate
// and reports how many calls delivered a picture and the largest step in time.
//
// `bench_frames --rss-probe [type]` instead measures the resident memory of a process
// that fetches one live frame from each of 32 cameras of 1920x1080 JPEG (the
// simulator runs in a forked child so that its pictures do not count).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "manager/ORVLinker.h"
#include "orv_sdk.h"
#include "platform/OleTime.h"
#include "protocol/Wire.h"
#include "sim/Simulator.h"

namespace {

// The live camera's size: 1920x1080 unless `--paired` is given another.
int g_width = 1920;
int g_height = 1080;
constexpr int64_t kBaseMs = 1'780'000'000'000;
constexpr size_t kRequestBytes = 80 + 72;

std::atomic<int64_t> g_simNow{kBaseMs};
std::map<std::string, std::vector<double>> g_nsPerIteration;  // one value per repetition

void Record(const benchmark::State& state, const std::string& name, std::chrono::steady_clock::duration spent) {
    if (state.iterations() > 0) {
        g_nsPerIteration[name].push_back(
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()) /
            static_cast<double>(state.iterations()));
    }
}

orv_sim::CameraConfig Camera(int width, int height, int fps) {
    orv_sim::CameraConfig camera;
    camera.kind = orv_sim::CameraKind::Jpeg;
    camera.width = width;
    camera.height = height;
    camera.fps = fps;
    return camera;
}

// ---------------------------------------------------------------------------
// Live: one 1080p camera on an in-process simulator whose clock the benchmark
// moves, alternating between two frames the simulator keeps encoded.

struct LiveSetup {
    std::unique_ptr<orv_sim::Simulator> sim;
    int camera = 0;     // the JPEG comparisons
    int bgrCamera = 0;  // the BGR ones: a camera of its own, whose last frame the JPEG calls do not share
    std::vector<uint8_t> jpeg;  // the frame the camera sends, for the comparisons
};

bool g_liveStarted = false;

LiveSetup& Live() {
    static LiveSetup setup = [] {
        g_liveStarted = true;
        LiveSetup s;
        orv_sim::ServerConfig server;
        server.cameras = {Camera(g_width, g_height, 25), Camera(g_width, g_height, 25)};
        orv_sim::SimulatorOptions options;
        options.clockMs = [] { return g_simNow.load(); };
        s.sim = std::make_unique<orv_sim::Simulator>(std::vector<orv_sim::ServerConfig>{server}, options);
        ORV_Init();
        ORV_ServerAdd("127.0.0.1", s.sim->Server(0).Port(), 0, 0, "");
        ORV_ServersConnect();
        s.camera = s.sim->Server(0).FirstCamera() + 1;
        s.bgrCamera = s.camera + 1;
        std::vector<char> buffer(8'000'000);
        double time = 0;
        int w = 0, h = 0, size = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (ORV_VideoGetFrame(s.camera, 1, buffer.data(), static_cast<unsigned>(buffer.size()), &time, &w, &h,
                                  &size) == 0) {
                s.jpeg.assign(buffer.begin(), buffer.begin() + size);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return s;
    }();
    return setup;
}

void LiveFrames(benchmark::State& state, int type, const char* name) {
    LiveSetup& s = Live();
    std::vector<char> buffer(static_cast<size_t>(g_width) * g_height * 3);
    double time = 0;
    int w = 0, h = 0, size = 0;
    int64_t misses = 0;
    int64_t bytes = 0;
    int64_t flip = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        // Each call sees the other of two frames, so there is always one newer
        // than the frame the library reported last.
        g_simNow.store(kBaseMs + (++flip % 2) * 40);
        if (ORV_VideoGetFrame(type == 3 ? s.bgrCamera : s.camera, type, buffer.data(),
                              static_cast<unsigned>(buffer.size()), &time, &w, &h, &size) != 0) {
            ++misses;
            continue;
        }
        bytes += size;
    }
    Record(state, name, std::chrono::steady_clock::now() - start);
    state.SetBytesProcessed(bytes);
    state.counters["misses"] = static_cast<double>(misses);
    state.counters["jpeg_bytes"] = static_cast<double>(s.jpeg.size());
}

void BM_LiveJpeg(benchmark::State& state) { LiveFrames(state, 1, "live_jpeg"); }
void BM_LiveBgr(benchmark::State& state) { LiveFrames(state, 3, "live_bgr"); }

// A loopback peer answering every 152-byte request with `reply` bytes. With
// `clientBuffers` > 0 the client socket gets the library's fixed send and receive
// buffer sizes instead of the kernel's self-tuning ones.
class PlainPeer {
public:
    explicit PlainPeer(size_t reply, int clientBuffers = 0) : reply_(reply, 0x5A) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
        client_ = socket(AF_INET, SOCK_STREAM, 0);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const int one = 1;
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (clientBuffers > 0) {
            setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &clientBuffers, sizeof clientBuffers);
            setsockopt(client_, SOL_SOCKET, SO_SNDBUF, &clientBuffers, sizeof clientBuffers);
        }
    }
    ~PlainPeer() {
        shutdown(client_, SHUT_RDWR);
        close(client_);
        thread_.join();
        close(listener_);
    }
    PlainPeer(const PlainPeer&) = delete;
    PlainPeer& operator=(const PlainPeer&) = delete;

    // One exchange; the reply lands in `into`.
    bool Exchange(std::vector<uint8_t>& into) {
        uint8_t request[kRequestBytes] = {};
        if (!WriteAll(client_, request, sizeof request)) return false;
        into.resize(reply_.size());
        return ReadAll(client_, into.data(), into.size());
    }

private:
    static bool ReadAll(int fd, uint8_t* data, size_t n) {
        while (n > 0) {
            const ssize_t got = recv(fd, data, n, 0);
            if (got <= 0) return false;
            data += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    static bool WriteAll(int fd, const uint8_t* data, size_t n) {
        while (n > 0) {
            const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data += sent;
            n -= static_cast<size_t>(sent);
        }
        return true;
    }
    void Serve() {
        const int fd = accept(listener_, nullptr, nullptr);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t request[kRequestBytes];
        while (ReadAll(fd, request, sizeof request) && WriteAll(fd, reply_.data(), reply_.size())) {
        }
        close(fd);
    }

    std::vector<uint8_t> reply_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

void PlainTransfer(benchmark::State& state, int clientBuffers, const char* name) {
    const LiveSetup& s = Live();
    PlainPeer peer(80 + 72 + s.jpeg.size(), clientBuffers);
    std::vector<uint8_t> reply;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!peer.Exchange(reply)) state.SkipWithError("loopback exchange failed");
        benchmark::DoNotOptimize(reply.data());
    }
    Record(state, name, std::chrono::steady_clock::now() - start);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(reply.size()));
}

void BM_PlainTransfer(benchmark::State& state) { PlainTransfer(state, 0, "plain_transfer"); }
// The same exchange with the client socket sized as the library sizes its own
// (128 KiB each way): separates the cost of the fixed buffers from the library's.
void BM_PlainTransfer128K(benchmark::State& state) { PlainTransfer(state, 131072, "plain_transfer_128k"); }

// The library's request for the camera's newest frame sent to the simulator from
// a plain socket, the reply read whole: what the simulated server and the
// loopback cost without the library, so that the library's own share shows.
class SimulatorClient {
public:
    explicit SimulatorClient(const LiveSetup& s) : reply_(16'000'000) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(s.sim->Server(0).Port());
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        orv_stuff::TMsgHeader header;
        header.magic = orv_stuff::MSG_MAGIC;
        header.length = sizeof request_;
        header.command = orv_stuff::kCmdLiveFrames;
        header.version = orv_stuff::kLongFrameEntryVersion;
        header.field12 = 1;
        header.field24 = static_cast<int32_t>(orv_stuff::kFrameEntryLongSize);
        orv_stuff::EncodeHeader(header, request_);
        orv_stuff::TFrameEntry entry;
        entry.camera = s.camera - 1;
        entry.longForm = 1;
        orv_stuff::EncodeFrameEntry(entry, request_ + orv_stuff::kHeaderSize, orv_stuff::kFrameEntryLongSize);
    }
    ~SimulatorClient() { close(fd_); }
    SimulatorClient(const SimulatorClient&) = delete;
    SimulatorClient& operator=(const SimulatorClient&) = delete;

    // One exchange; the byte count of the reply, 0 on failure.
    size_t Exchange() {
        if (!connected_ || send(fd_, request_, sizeof request_, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request_) ||
            !ReceiveAll(reply_.data(), orv_stuff::kHeaderSize)) {
            return 0;
        }
        const orv_stuff::TMsgHeader answer = orv_stuff::DecodeHeader(reply_.data());
        if (answer.length < static_cast<int32_t>(orv_stuff::kHeaderSize)) return 0;
        const size_t rest = static_cast<size_t>(answer.length) - orv_stuff::kHeaderSize;
        if (rest > reply_.size() || !ReceiveAll(reply_.data(), rest)) return 0;
        return static_cast<size_t>(answer.length);
    }

private:
    bool ReceiveAll(uint8_t* data, size_t n) const {
        while (n > 0) {
            const ssize_t got = recv(fd_, data, n, 0);
            if (got <= 0) return false;
            data += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    uint8_t request_[orv_stuff::kHeaderSize + orv_stuff::kFrameEntryLongSize] = {};
    std::vector<uint8_t> reply_;
};

void BM_SimulatorExchange(benchmark::State& state) {
    SimulatorClient client(Live());
    int64_t flip = 0;
    int64_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        g_simNow.store(kBaseMs + (++flip % 2) * 40);
        const size_t got = client.Exchange();
        if (got == 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        bytes += static_cast<int64_t>(got);
    }
    Record(state, "simulator_exchange", std::chrono::steady_clock::now() - start);
    state.SetBytesProcessed(bytes);
}

void BM_PlainTransferAndTurboBgr(benchmark::State& state) {
    const LiveSetup& s = Live();
    PlainPeer peer(80 + 72 + s.jpeg.size());
    std::vector<uint8_t> reply;
    std::vector<uint8_t> bgr(static_cast<size_t>(g_width) * g_height * 3);
    tjhandle handle = tjInitDecompress();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!peer.Exchange(reply)) state.SkipWithError("loopback exchange failed");
        if (tjDecompress2(handle, s.jpeg.data(), s.jpeg.size(), bgr.data(), g_width, 0, g_height, TJPF_BGR, 0) != 0) {
            state.SkipWithError("decode failed");
        }
        benchmark::DoNotOptimize(bgr.data());
    }
    Record(state, "plain_transfer_turbo_bgr", std::chrono::steady_clock::now() - start);
    tjDestroy(handle);
}

// ---------------------------------------------------------------------------
// Archive: small pictures, so that the simulator's encoding stays in the noise;
// the same camera mix on one server or split over two.

void ArchiveReads(benchmark::State& state, bool twoServers, const char* name) {
    ORV_Uninit();  // the live setup's library state is not used here
    orv_sim::SimulatorOptions options;
    options.clockMs = [] { return kBaseMs; };
    std::vector<orv_sim::ServerConfig> servers(twoServers ? 2 : 1);
    for (int c = 0; c < 4; ++c) {
        servers[twoServers ? static_cast<size_t>(c % 2) : 0].cameras.push_back(Camera(160, 120, 25));
    }
    for (auto& server : servers) server.archiveSeconds = 600;
    orv_sim::Simulator sim(servers, options);
    ORV_Init();
    for (size_t i = 0; i < sim.ServerCount(); ++i) ORV_ServerAdd("127.0.0.1", sim.Server(i).Port(), 0, 0, "");
    ORV_ServersConnect();
    ORV_VideoArchiveOpen(1);
    std::vector<int> cameras;
    for (size_t i = 0; i < sim.ServerCount(); ++i) {
        for (int k = 0; k < sim.Server(i).CameraCount(); ++k) cameras.push_back(sim.Server(i).FirstCamera() + k + 1);
    }
    const double seek = platform::OleFromUnixMs(kBaseMs - 590'000);
    ORV_VideoArchiveFindData(seek, 1);
    std::vector<char> buffer(1'000'000);
    int camera = 0, w = 0, h = 0, size = 0;
    double time = 0;
    int64_t failures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (ORV_VideoArchiveGetFrame(cameras.data(), static_cast<unsigned>(cameras.size()), 0, 0, 1, buffer.data(),
                                     static_cast<unsigned>(buffer.size()), &camera, &time, &w, &h, &size) != 0) {
            ++failures;
        }
    }
    Record(state, name, std::chrono::steady_clock::now() - start);
    state.counters["reads_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
    state.counters["failures"] = static_cast<double>(failures);
    ORV_Uninit();
}

void BM_ArchiveOneServer(benchmark::State& state) { ArchiveReads(state, false, "archive_one"); }
void BM_ArchiveTwoServers(benchmark::State& state) { ArchiveReads(state, true, "archive_two"); }

BENCHMARK(BM_PlainTransfer)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PlainTransfer128K)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SimulatorExchange)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_LiveJpeg)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PlainTransferAndTurboBgr)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_LiveBgr)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ArchiveOneServer)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_ArchiveTwoServers)->MinTime(1.0)->UseRealTime();

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Median time per operation over the repetitions of a benchmark; 0 when it did not run.
double MedianNs(const std::string& name) {
    const auto it = g_nsPerIteration.find(name);
    return it == g_nsPerIteration.end() ? 0 : Median(it->second);
}

void PrintRatio(const char* what, const std::string& ours, const std::string& theirs, double goal) {
    const double a = MedianNs(ours);
    const double b = MedianNs(theirs);
    if (a <= 0 || b <= 0) return;
    if (goal <= 0) {
        std::printf("%-70s %6.2f\n", what, a / b);
        return;
    }
    std::printf("%-70s %6.2f  (goal <= %.2f)\n", what, a / b, goal);
}

// ---------------------------------------------------------------------------
// Resident memory probe.

std::string StatusLine(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return line;
    }
    return std::string(key) + " ?";
}

int RssProbe(int type) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        orv_sim::ServerConfig server;
        for (int c = 0; c < 32; ++c) server.cameras.push_back(Camera(g_width, g_height, 25));
        orv_sim::Simulator sim({server});
        const uint16_t port = sim.Server(0).Port();
        if (write(pipeFds[1], &port, sizeof port) != sizeof port) _exit(1);
        char stop = 0;
        // Serve until the parent closes the pipe.
        while (read(pipeFds[1], &stop, 1) > 0) {
        }
        pause();
        _exit(0);
    }
    close(pipeFds[1]);
    uint16_t port = 0;
    if (read(pipeFds[0], &port, sizeof port) != sizeof port) return 1;
    std::printf("start:                  %s | %s\n", StatusLine("VmRSS").c_str(), StatusLine("VmHWM").c_str());
    ORV_Init();
    ORV_ServerAdd("127.0.0.1", port, 0, 0, "");
    ORV_ServersConnect();
    std::vector<char> buffer(static_cast<size_t>(g_width) * g_height * 3);
    int delivered = 0;
    for (int c = 1; c <= 32; ++c) {
        double time = 0;
        int w = 0, h = 0, size = 0;
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (ORV_VideoGetFrame(c, type, buffer.data(), static_cast<unsigned>(buffer.size()), &time, &w, &h, &size) ==
                0) {
                ++delivered;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::printf("C API, 32 x type %d:     %s | %s  (%d frames, caller buffer %zu bytes)\n", type,
                StatusLine("VmRSS").c_str(), StatusLine("VmHWM").c_str(), delivered, buffer.size());
    ORV_Uninit();

    // One manager call for all 32 cameras: the receive area is 32 x 14,000,000 bytes.
    {
        ORVLinker linker;
        int32_t number = 0;
        linker.AddServer("127.0.0.1", 0, port, 0, "", number, false);
        linker.ConnectAll();
        std::vector<int32_t> cameras;
        for (int c = 1; c <= 32; ++c) cameras.push_back(c);
        std::vector<TOrvFrame> frames;
        int32_t count = 0;
        int32_t result = -8;
        for (int attempt = 0; attempt < 200 && (result != 0 || count == 0); ++attempt) {
            result = linker.GetLiveFrames(count, cameras, frames, type == 1 ? 1 : 3, false);
            if (result != 0 || count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::printf("manager, one 32-camera call: %s | %s  (%d frames)\n", StatusLine("VmRSS").c_str(),
                    StatusLine("VmHWM").c_str(), count);
    }
    close(pipeFds[0]);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// Paired comparison: the machine's speed drifts over a run (a shared virtual
// machine especially), so the live-frame ratios are also measured in short
// alternating rounds, ours and the reference back to back, and the median of the
// per-round ratios is reported.

template <typename Op>
double NsPerOp(Op&& op, int n) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) op();
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count()) /
           n;
}

// Pins the calling thread to one CPU; false where that is not possible.
bool PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

int Paired(int rounds) {
    // With two CPUs or more the servers (simulator, plain peer: threads started from
    // here inherit the CPU) run on CPU 1 and the client calls on CPU 0, as with a
    // server on another machine. Left to the scheduler, the figures depend on
    // whether it happens to put the client and a server's thread on the same CPU.
    const bool pinned = std::thread::hardware_concurrency() >= 2 && std::getenv("ORV_BENCH_NO_PIN") == nullptr &&
                        PinTo(1);
    LiveSetup& s = Live();
    if (s.jpeg.empty()) {
        std::fprintf(stderr, "no live frame from the simulator\n");
        return 1;
    }
    PlainPeer peer(80 + 72 + s.jpeg.size());
    SimulatorClient simulator(s);
    std::vector<uint8_t> reply;
    if (pinned) PinTo(0);
    std::vector<char> buffer(static_cast<size_t>(g_width) * g_height * 3);
    std::vector<uint8_t> bgr(static_cast<size_t>(g_width) * g_height * 3);
    tjhandle turbo = tjInitDecompress();
    int64_t flip = 0;
    int64_t failures = 0;      // calls of the library that gave no frame
    int64_t otherFailures = 0;  // reference exchanges or decodes that failed
    const auto live = [&](int type) {
        g_simNow.store(kBaseMs + (++flip % 2) * 40);
        double time = 0;
        int w = 0, h = 0, size = 0;
        if (ORV_VideoGetFrame(type == 3 ? s.bgrCamera : s.camera, type, buffer.data(),
                              static_cast<unsigned>(buffer.size()), &time, &w, &h, &size) != 0) {
            ++failures;
        }
    };
    const auto plain = [&] {
        if (!peer.Exchange(reply)) ++otherFailures;
    };
    const auto plainTurbo = [&] {
        plain();
        if (tjDecompress2(turbo, s.jpeg.data(), s.jpeg.size(), bgr.data(), g_width, 0, g_height, TJPF_BGR, 0) != 0) ++otherFailures;
    };
    int64_t simulatorBytes = 0;
    int64_t simulatorExchanges = 0;
    const auto simulatorExchange = [&] {
        g_simNow.store(kBaseMs + (++flip % 2) * 40);
        const size_t got = simulator.Exchange();
        if (got == 0) ++otherFailures;
        simulatorBytes += static_cast<int64_t>(got);
        ++simulatorExchanges;
    };
    // The same server's reply through a plain socket, then TurboJPEG's BGR decode
    // of a picture of the same camera kind: the like-for-like reference for BGR.
    const auto simulatorTurbo = [&] {
        simulatorExchange();
        if (tjDecompress2(turbo, s.jpeg.data(), s.jpeg.size(), bgr.data(), g_width, 0, g_height, TJPF_BGR, 0) != 0) ++otherFailures;
    };
    // Warm-up: for the first seconds after connecting, the library's connection moves a
    // large reply in more pieces than it does later (the kernel is still sizing the
    // connection: 72 us against 24 us a 1080p picture on one core), which would count
    // against the library. Every connection is brought to its steady state first.
    for (const auto warmUpEnd = std::chrono::steady_clock::now() + std::chrono::seconds(4);
         std::chrono::steady_clock::now() < warmUpEnd;) {
        for (int i = 0; i < 50; ++i) live(1);
        for (int i = 0; i < 50; ++i) plain();
        for (int i = 0; i < 50; ++i) simulatorExchange();
    }
    simulatorBytes = 0;
    simulatorExchanges = 0;
    std::vector<double> jpegPlain, jpegSimulator, simulatorPlain, bgrTurbo, bgrSimulatorTurbo;
    std::vector<double> tPlain, tJpeg, tSimulator, tBgr, tTurbo, tSimulatorTurbo;
    for (int r = 0; r < rounds; ++r) {
        const double a = NsPerOp(plain, 200);
        const double b = NsPerOp([&] { live(1); }, 200);
        const double c = NsPerOp(simulatorExchange, 200);
        const double d = NsPerOp(plainTurbo, 10);
        const double e = NsPerOp([&] { live(3); }, 10);
        const double f = NsPerOp(simulatorTurbo, 10);
        const double g = NsPerOp([&] { live(3); }, 10);
        jpegPlain.push_back(b / a);
        jpegSimulator.push_back(b / c);
        simulatorPlain.push_back(c / a);
        bgrTurbo.push_back(e / d);
        bgrSimulatorTurbo.push_back(g / f);
        tPlain.push_back(a);
        tJpeg.push_back(b);
        tSimulator.push_back(c);
        tTurbo.push_back(d);
        tBgr.push_back(e);
        tBgr.push_back(g);
        tSimulatorTurbo.push_back(f);
    }
    tjDestroy(turbo);
    std::printf("Paired rounds: %d at %dx%d, %s (library calls without a frame: %lld, failed reference operations: %lld)\n", rounds, g_width, g_height,
                pinned ? "client on CPU 0, servers on CPU 1" : "threads where the scheduler puts them",
                static_cast<long long>(failures), static_cast<long long>(otherFailures));
    std::printf("bytes per exchange: plain %zu, simulator %lld\n", reply.size(),
                static_cast<long long>(simulatorBytes / std::max<int64_t>(simulatorExchanges, 1)));
    std::printf("median time per operation, us: plain exchange %.1f | simulator exchange %.1f | live type 1 %.1f | "
                "plain + TurboJPEG BGR %.1f | simulator + TurboJPEG BGR %.1f | live type 3 %.1f\n",
                Median(tPlain) / 1000, Median(tSimulator) / 1000, Median(tJpeg) / 1000, Median(tTurbo) / 1000,
                Median(tSimulatorTurbo) / 1000, Median(tBgr) / 1000);
    std::printf("%-70s %6.2f  (goal <= 1.20)\n", "live type 1 (JPEG) / plain loopback exchange", Median(jpegPlain));
    std::printf("%-70s %6.2f\n", "live type 1 (JPEG) / the same request to the simulator, plain socket",
                Median(jpegSimulator));
    std::printf("%-70s %6.2f\n", "simulator exchange / plain loopback exchange", Median(simulatorPlain));
    std::printf("%-70s %6.2f  (goal <= 0.85)\n", "live type 3 (BGR) / exchange + TurboJPEG BGR decode",
                Median(bgrTurbo));
    std::printf("%-70s %6.2f  (goal <= 0.85)\n", "live type 3 (BGR) / simulator exchange + TurboJPEG BGR decode",
                Median(bgrSimulatorTurbo));
    ORV_Uninit();
    s.sim.reset();
    return 0;
}

// ---------------------------------------------------------------------------
// Live pacing: a host that asks for a compressed camera's picture every 40 ms
// (the camera's frame interval) for six seconds, as BGR. Counts the calls that
// delivered, and the largest step between the times of consecutive pictures.

int Pacing(orv_sim::CameraKind kind) {
    orv_sim::ServerConfig server;
    orv_sim::CameraConfig camera = Camera(640, 360, 25);
    camera.kind = kind;
    server.cameras = {camera};
    orv_sim::Simulator sim({server});
    ORV_Init();
    ORV_ServerAdd("127.0.0.1", sim.Server(0).Port(), 0, 0, "");
    ORV_ServersConnect();
    const int number = sim.Server(0).FirstCamera() + 1;
    std::vector<char> buffer(640 * 360 * 3);
    int calls = 0, delivered = 0, backwards = 0;
    double last = 0, largestStepMs = 0;
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(6)) {
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
        double time = 0;
        int w = 0, h = 0, size = 0;
        ++calls;
        if (ORV_VideoGetFrame(number, 3, buffer.data(), static_cast<unsigned>(buffer.size()), &time, &w, &h, &size) !=
            0) {
            continue;
        }
        ++delivered;
        if (last > 0) {
            const double stepMs = platform::MsFromOleDays(time - last);
            largestStepMs = std::max(largestStepMs, stepMs);
            backwards += stepMs <= 0 ? 1 : 0;
        }
        last = time;
    }
    ORV_Uninit();
    std::printf("%s camera, 640x360 at 25 pictures/s, one call every 40 ms for 6 s: %d of %d calls delivered a "
                "picture; largest step between picture times %.0f ms; %d out of order\n",
                kind == orv_sim::CameraKind::H264 ? "H.264" : "MPEG-4 Part 2", delivered, calls, largestStepMs,
                backwards);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // --rss-probe [frame type]: 3 (BGR) unless given.
    if (argc > 1 && std::strcmp(argv[1], "--rss-probe") == 0) return RssProbe(argc > 2 ? std::atoi(argv[2]) : 3);
    // --pacing: a host polling compressed cameras at their frame rate.
    if (argc > 1 && std::strcmp(argv[1], "--pacing") == 0) {
        return Pacing(orv_sim::CameraKind::H264) + Pacing(orv_sim::CameraKind::Mpeg4);
    }
    // --paired [rounds] [width height]: the live-frame ratios from alternating rounds; 30 rounds
    // of 1920x1080 unless given.
    if (argc > 1 && std::strcmp(argv[1], "--paired") == 0) {
        if (argc > 4) {
            g_width = std::clamp(std::atoi(argv[3]), 16, 3840);
            g_height = std::clamp(std::atoi(argv[4]), 16, 2160);
        }
        return Paired(argc > 2 ? std::max(1, std::atoi(argv[2])) : 30);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_liveStarted) {
        // Stop the library before the static simulator goes away, so that no
        // connection thread is left running at exit.
        ORV_Uninit();
        Live().sim.reset();
    }
    std::printf("\nRatios measured in this run (time per operation, ours / reference):\n");
    PrintRatio("live type 1 (JPEG) / plain loopback exchange", "live_jpeg", "plain_transfer", 1.2);
    PrintRatio("live type 1 (JPEG) / plain exchange, 128 KiB client buffers", "live_jpeg", "plain_transfer_128k",
               0.0);
    PrintRatio("live type 1 (JPEG) / the same request to the simulator, plain socket", "live_jpeg",
               "simulator_exchange", 0);
    PrintRatio("simulator exchange / plain loopback exchange", "simulator_exchange", "plain_transfer", 0);
    PrintRatio("live type 3 (BGR) / exchange + TurboJPEG BGR decode", "live_bgr", "plain_transfer_turbo_bgr", 0.85);
    if (MedianNs("archive_one") > 0 && MedianNs("archive_two") > 0) {
        std::printf("%-70s %6.2f\n", "archive reads/s, two servers merged / one server",
                    MedianNs("archive_one") / MedianNs("archive_two"));
    }
    return 0;
}
