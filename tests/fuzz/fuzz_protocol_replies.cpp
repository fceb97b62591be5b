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

// A connection whose peer is the fuzz input (or a known-good reply).
class MemoryServer : public TServerDM {
public:
    void Feed(const uint8_t* data, size_t size) { stream_ = Stream{data, size, 0}; }
    Stream& Input() { return stream_; }
    void Start() override { state.exchange(Connected); }
    void Stop() override { state.exchange(Idle); }
    IoResult Read(void* buffer, int32_t n) override {
        IoResult result;
        result.step = ExchangeStep::ReplyBlock;
        if (n <= 0) {
            result.error = boost::asio::error::invalid_argument;
            state.exchange(Failed);
            return result;
        }
        std::memset(buffer, 0, static_cast<size_t>(n));
        const size_t take = std::min(stream_.Left(), static_cast<size_t>(n));
        if (take > 0) std::memcpy(buffer, stream_.data + stream_.pos, take);
        stream_.pos += take;
        result.transferred = static_cast<int32_t>(take);
        if (take < static_cast<size_t>(n)) result.error = boost::asio::error::eof;
        state.exchange(result ? Connected : Failed);
        return result;
    }
    IoResult Write(const void* buffer, int32_t n) override {
        IoResult result;
        result.step = ExchangeStep::Request;
        if (buffer == nullptr || n <= 0) result.error = boost::asio::error::invalid_argument;
        else result.transferred = n;
        return result;
    }

private:
    Stream stream_;
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

// Known-good replies: a login accepting two cameras, then a live read with one
// entry and its 100-byte payload.
std::vector<uint8_t> GoodReplies() {
    std::vector<uint8_t> out;
    auto header = [&out](TMsgHeader h, size_t payload) {
        h.magic = MSG_MAGIC;
        h.length = static_cast<int32_t>(kHeaderSize + payload);
        uint8_t raw[kHeaderSize];
        EncodeHeader(h, raw);
        out.insert(out.end(), raw, raw + kHeaderSize);
    };
    TMsgHeader login;
    login.command = kCmdLogin;
    login.field24 = static_cast<int32_t>(kServerInfoSize);
    login.field28 = 1;
    header(login, kServerInfoSize);
    TServerInfo info;
    info.lastCamera = 1;
    info.cameraCount = 2;
    info.activeFlags[0] = info.activeFlags[1] = 1;
    uint8_t rawInfo[kServerInfoSize];
    EncodeServerInfo(info, rawInfo);
    out.insert(out.end(), rawInfo, rawInfo + kServerInfoSize);

    TMsgHeader live;
    live.command = kCmdLiveFrames;
    live.field12 = 1;
    live.field24 = static_cast<int32_t>(kFrameEntryShortSize);
    header(live, kFrameEntryShortSize + 100);
    TFrameEntry entry;
    entry.camera = 1;
    entry.frameId = 7;
    entry.payloadLength = 100;
    uint8_t rawEntry[kFrameEntryShortSize];
    EncodeFrameEntry(entry, rawEntry, kFrameEntryShortSize);
    out.insert(out.end(), rawEntry, rawEntry + kFrameEntryShortSize);
    for (int i = 0; i < 100; ++i) out.push_back(static_cast<uint8_t>(i));
    return out;
}

// Whatever the fuzz input left behind, the same module must take good replies at once.
void CheckGoodReplies(OrvDllWrapperModule& module, MemoryServer& server, uint8_t* big, size_t bigSize) {
    static const std::vector<uint8_t> good = GoodReplies();
    server.Feed(good.data(), good.size());
    server.state.exchange(Connected);
    TServerInfo info;
    if (module.Login(info, "fuzzkey ", 1) != 1 || info.cameraCount != 2) std::abort();
    TFrameEntry entries[4]{};
    entries[0].camera = 1;
    int32_t count = 1;
    if (module.ReadLiveFrames(1, count, entries, big, static_cast<int32_t>(bigSize)) != 1 || count != 1 ||
        entries[0].frameId != 7 || entries[0].payloadLength != 100 || big[99] != 99) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One module and one server record for the whole run: their buffers (the
    // frame areas are megabytes) are allocated once, and whatever state an
    // input leaves is what the good replies that follow it must cope with.
    static std::vector<uint8_t> big(1 << 20);
    static std::shared_ptr<MemoryServer> memory = std::make_shared<MemoryServer>();
    static OrvDllWrapperModule module([] { return memory; });
    static const bool registered = module.RegisterServerEx("fuzz", "", 5001, 524288, 0, kClientVersion) == 1;
    if (!registered) std::abort();
    MemoryServer& server = *memory;
    server.Feed(data, size);
    Stream& stream = server.Input();
    for (int step = 0; step < 64 && stream.Left() > 0; ++step) {
        const uint8_t op = stream.data[stream.pos++];
        // Every operation starts on a connected server: the fuzzer plays the reconnect.
        server.state.exchange(Connected);
        RunOperation(module, op, big.data(), big.size());
        server.archiveFound[0] = 1;  // keep the archive reads reachable
    }
    CheckGoodReplies(module, server, big.data(), big.size());
    return 0;
}
