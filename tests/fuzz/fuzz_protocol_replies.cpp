// Feeds arbitrary server replies to the protocol client's reply handling.
//
// Input layout: a sequence of [operation byte][reply bytes...]. The operation
// byte picks the next client operation; that operation then reads its reply
// from the bytes that follow, exactly as it would from the socket. Whatever is
// left afterwards starts the next operation.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "protocol/OrvDllWrapperModule.h"
#include "protocol/TServerDM.h"

namespace {

using namespace orv_stuff;

struct Stream {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    size_t Left() const { return size - pos; }
};

// A connection whose peer is the fuzz input.
class MemoryServer : public TServerDM {
public:
    explicit MemoryServer(Stream& stream) : stream_(stream) {}
    void Start() override { state.exchange(Connected); }
    void Stop() override { state.exchange(Idle); }
    bool Read(void* buffer, int32_t n) override {
        if (n <= 0) return false;
        std::memset(buffer, 0, static_cast<size_t>(n));
        const size_t take = std::min(stream_.Left(), static_cast<size_t>(n));
        if (take > 0) std::memcpy(buffer, stream_.data + stream_.pos, take);
        stream_.pos += take;
        const bool ok = take == static_cast<size_t>(n);
        state.exchange(ok ? Connected : Failed);
        return ok;
    }
    bool Write(const void* buffer, int32_t n) override { return buffer != nullptr && n > 0; }

private:
    Stream& stream_;
};

void RunOperation(OrvDllWrapperModule& module, uint8_t op, uint8_t* big, size_t bigSize) {
    static TFrameEntry entries[4];
    static uint8_t mask[kMaxCameras];
    switch (op % 16) {
        case 0: {
            TServerInfo info;
            module.Login(info, "fuzzkey ", 1);
            break;
        }
        case 1: {
            int32_t changes = 0;
            module.PollCameraTables(changes);
            break;
        }
        case 2: {
            char text[512];
            module.QueryServerText(1, text);
            break;
        }
        case 3: {
            char name[128];
            int32_t length = sizeof name;
            module.QueryCameraName(1, 0, name, length);
            break;
        }
        case 4: {
            uint8_t status[1536];
            module.GetServerStatus(1, status, sizeof status);
            break;
        }
        case 5: {
            uint8_t buffer[256];
            module.ConsoleShowArchive(1, 0, 0, 1.0, 2.0, buffer, sizeof buffer, 0);
            break;
        }
        case 6: {
            int32_t count = 4;
            module.ReadLiveFrames(1, count, entries, big, static_cast<int32_t>(bigSize));
            break;
        }
        case 7: {
            int32_t count = static_cast<int32_t>(1 + op / 64);
            const uint8_t* data = nullptr;
            module.ReadLiveFramesEx(1, count, entries, data);
            break;
        }
        case 8:
            module.SeekArchive(op / 64, 10.0, static_cast<uint8_t>(op & 0x10));
            break;
        case 9:
        case 10: {
            int32_t a = 0, b = 0, payloadLength = 0, auxLength = 0;
            double time = 0;
            const int32_t half = static_cast<int32_t>(bigSize / 2);
            std::memset(mask, 1, sizeof mask);
            if (op % 16 == 9) {
                module.ReadArchiveForward(op / 64, 0, a, mask, b, time, big, half, payloadLength, big + half, half,
                                          auxLength);
            } else {
                module.ReadArchiveBackward(op / 64, 0, a, mask, b, time, big, half, payloadLength, big + half,
                                           half, auxLength);
            }
            break;
        }
        case 11: {
            double earliest = 0, latest = 0;
            module.QueryArchiveRange(op / 64, earliest, latest);
            break;
        }
        case 12:
            module.OpenArchiveChannel(op / 64);
            break;
        case 13: {
            TCameraPosition position{0, 1 + (op / 16) % 3, 1.5, -2.5, 3.0};
            module.CameraPosition(1, 0, position);
            break;
        }
        case 14:
            module.SendCameraEvent(0, 1, 2, 3, 4);
            break;
        default:
            module.SendServerEvent(1, 1);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> big(1 << 20);
    Stream stream{data, size, 0};
    OrvDllWrapperModule module([&stream] { return std::make_shared<MemoryServer>(stream); });
    module.RegisterServerEx("fuzz", "", 5001, 524288, 0, kClientVersion);
    auto server = module.ServerAt(1);
    for (int step = 0; step < 64 && stream.Left() > 0; ++step) {
        const uint8_t op = stream.data[stream.pos++];
        // Every operation starts on a connected server: the fuzzer plays the reconnect.
        server->state.exchange(Connected);
        RunOperation(module, op, big.data(), big.size());
        server->archiveFound[0] = 1;  // keep the archive reads reachable
    }
    return 0;
}
