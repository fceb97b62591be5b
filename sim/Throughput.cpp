// Serving throughput of orv-sim for a 1080p JPEG camera, side by side with
// plain loopback TCP moving the same bytes in the same request/reply pattern.
//   orv-sim-throughput [seconds per measurement, default 2]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "protocol/Wire.h"
#include "sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = recv(fd, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

struct Result {
    double seconds = 0;
    uint64_t replies = 0;
    uint64_t bytes = 0;
};

void Print(const char* what, const Result& r) {
    std::printf("%-52s %9.0f replies/s %9.1f MB/s\n", what, static_cast<double>(r.replies) / r.seconds,
                static_cast<double>(r.bytes) / r.seconds / 1e6);
}

// Live requests for camera 1 with "no frame yet": every reply carries the newest picture.
Result MeasureSim(uint16_t port, double seconds, size_t* frameSize) {
    Result r;
    const int fd = Connect(port);
    if (fd < 0) return r;
    std::vector<uint8_t> request(orv_stuff::kHeaderSize + orv_stuff::kFrameEntryLongSize);
    orv_stuff::TMsgHeader h;
    h.magic = orv_stuff::MSG_MAGIC;
    h.command = orv_stuff::kCmdLiveFrames;
    h.version = orv_stuff::kClientVersion;
    orv_stuff::LiveFramesRequest live;
    live.entryCount = 1;
    live.entryBytes = static_cast<int32_t>(orv_stuff::kFrameEntryLongSize);
    orv_stuff::Encode(live, h);
    h.length = static_cast<int32_t>(request.size());
    orv_stuff::EncodeHeader(h, request.data());
    orv_stuff::TFrameEntry entry;
    entry.longForm = 1;
    orv_stuff::EncodeFrameEntry(entry, &request[orv_stuff::kHeaderSize], orv_stuff::kFrameEntryLongSize);
    std::vector<uint8_t> buffer(16 << 20);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (!SendAll(fd, request.data(), request.size())) break;
        if (!RecvAll(fd, buffer.data(), orv_stuff::kHeaderSize)) break;
        const orv_stuff::TMsgHeader reply = orv_stuff::DecodeHeader(buffer.data());
        const size_t rest = static_cast<size_t>(reply.length) - orv_stuff::kHeaderSize;
        if (rest > buffer.size() || !RecvAll(fd, buffer.data(), rest)) break;
        *frameSize = rest - orv_stuff::kFrameEntryLongSize;
        ++r.replies;
        r.bytes += static_cast<uint64_t>(reply.length);
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return r;
}

// A plain TCP peer answering each 152-byte request with `replySize` bytes from memory.
Result MeasureRaw(size_t replySize, double seconds) {
    Result r;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0)
        return r;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread server([listener, replySize] {
        const int fd = accept(listener, nullptr, nullptr);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<uint8_t> reply(replySize, 0x5A);
        uint8_t request[152];
        while (RecvAll(fd, request, sizeof request) && SendAll(fd, reply.data(), reply.size())) {
        }
        close(fd);
    });
    const int fd = Connect(ntohs(addr.sin_port));
    std::vector<uint8_t> request(152, 1);
    std::vector<uint8_t> buffer(replySize);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (!SendAll(fd, request.data(), request.size()) || !RecvAll(fd, buffer.data(), buffer.size())) break;
        ++r.replies;
        r.bytes += replySize;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    shutdown(fd, SHUT_RDWR);
    close(fd);
    server.join();
    close(listener);
    return r;
}

orv_sim::ServerConfig Camera1080p() {
    orv_sim::ServerConfig server;
    orv_sim::CameraConfig camera;
    camera.width = 1920;
    camera.height = 1080;
    camera.fps = 25;
    camera.quality = 80;
    server.cameras = {camera};
    return server;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    size_t frameSize = 0;

    // A frozen clock: the same (cached) frame for every request.
    std::atomic<int64_t> frozen{1'700'000'000'000};
    orv_sim::SimulatorOptions fixed;
    fixed.clockMs = [&frozen] { return frozen.load(); };
    Result cached;
    {
        orv_sim::Simulator sim({Camera1080p()}, fixed);
        cached = MeasureSim(sim.Server(0).Port(), seconds, &frameSize);
    }
    std::printf("1080p JPEG frame (4:2:0, quality 80): %zu bytes\n", frameSize);
    Print("orv-sim live 1080p, frozen clock (cached frame)", cached);

    Result live;
    {
        orv_sim::Simulator sim({Camera1080p()});
        live = MeasureSim(sim.Server(0).Port(), seconds, &frameSize);
    }
    Print("orv-sim live 1080p, real clock (new frame every 40 ms)", live);
    const size_t replySize = orv_stuff::kHeaderSize + orv_stuff::kFrameEntryLongSize + frameSize;
    Print("raw loopback TCP, same request/reply sizes", MeasureRaw(replySize, seconds));
    return 0;
}
