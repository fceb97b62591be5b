#include "protocol/OrvDllWrapperModule.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

namespace orv_stuff {

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr int32_t kLoginFailIndex = -1;
constexpr int32_t kLoginFailEmpty = -2;
constexpr int32_t kLoginFailNotConnected = -3;
constexpr int32_t kLoginFailWrite = -4;
constexpr int32_t kLoginFailHeader = -5;
constexpr int32_t kLoginFailReply = -6;
constexpr int32_t kMaxLiveEntries = kMaxCameras;

bool ValidCamera(int32_t camera) { return camera >= 0 && camera < kMaxCameras; }
bool ValidServerIndex(int32_t server) { return server >= 1 && server <= kMaxClientServers; }

int64_t SumPositive(const int32_t* lengths, size_t count) {
    int64_t total = 0;
    for (size_t i = 0; i < count; ++i) total += std::max<int32_t>(lengths[i], 0);
    return total;
}

// The part of a camera mask (kMaxCameras bytes) that covers the server's own
// cameras; none when the server's camera range lies outside the mask.
std::optional<std::span<const uint8_t>> OwnPart(const TServerDM& server, const uint8_t* mask) {
    const int32_t first = server.info.firstCamera;
    const int32_t cameras = server.info.cameraCount;
    if (first < 0 || cameras < 0 || first > kMaxCameras || cameras > kMaxCameras - first) return std::nullopt;
    return std::span<const uint8_t>(mask + first, static_cast<size_t>(cameras));
}

bool AnySet(std::span<const uint8_t> part) {
    return std::any_of(part.begin(), part.end(), [](uint8_t v) { return v != 0; });
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and the server table

OrvDllWrapperModule::OrvDllWrapperModule(std::chrono::milliseconds ioTimeout)
    : OrvDllWrapperModule([ioTimeout] { return std::make_shared<TServerDM>(ioTimeout); }) {}

OrvDllWrapperModule::OrvDllWrapperModule(ServerFactory factory)
    : factory_(std::move(factory)),
      cameraTable_(new TCameraRecord[kMaxCameras]()),
      pool_(std::make_unique<boost::asio::thread_pool>(kReadAheadThreads)) {}

OrvDllWrapperModule::~OrvDllWrapperModule() {
    // Background reads first: they use this object.
    closing_.store(true);
    pool_->join();
    DropAllServers();
    std::vector<std::future<void>> pending;
    {
        std::lock_guard<std::mutex> guard(teardownLock_);
        pending.swap(teardowns_);
    }
    for (auto& task : pending) task.wait();
}

int32_t OrvDllWrapperModule::RegisterServer(const std::string& hostName, const std::string& hostAddress,
                                            int32_t port, int32_t rateLimitKiB, int32_t userValue) {
    return Register(hostName, hostAddress, port, rateLimitKiB, userValue, 0);
}

int32_t OrvDllWrapperModule::RegisterServerEx(const std::string& hostName, const std::string& hostAddress,
                                              int32_t port, int32_t rateLimitKiB, int32_t userValue,
                                              int32_t clientVersion) {
    return Register(hostName, hostAddress, port, rateLimitKiB, userValue,
                    static_cast<uint32_t>(clientVersion) & 0xFFFFu);
}

int32_t OrvDllWrapperModule::Register(const std::string& hostName, const std::string& hostAddress, int32_t port,
                                      int32_t rateLimitKiB, int32_t userValue, uint32_t clientVersion) {
    if (serverCount_.load() >= kMaxClientServers) return -1;
    Lock lock(lock_);
    if (serverCount_.load() >= kMaxClientServers) return -1;
    const int32_t index = serverCount_.load() + 1;
    auto record = factory_();
    if (!record) return -1;
    auto link = std::make_shared<Link>(std::move(record));
    TServerDM& server = *link->server;
    server.hostName = hostName;
    server.hostAddress = hostAddress;
    server.port = port;
    server.registeredAt = NowOleUtc();
    server.rateLimitKiB = rateLimitKiB;
    server.userValue = userValue;
    server.receivedBytes = 0;
    server.state.exchange(Idle);
    server.changeCount = 0;
    server.version = 0;
    server.clientVersion = clientVersion;
    servers_[index] = link;
    serverCount_.store(index);
    try {
        // Nobody else can hold this link yet: the connect starts without its lock.
        server.Start();
    } catch (...) {
        // No thread for the connect: the record stays registered and fails, so the
        // manager's reconnect tries again later.
        server.state.exchange(Failed);
    }
    return index;
}

int32_t OrvDllWrapperModule::DropAllServers() {
    std::vector<std::shared_ptr<Link>> dropped;
    {
        Lock lock(lock_);
        for (int32_t i = serverCount_.load(); i >= 1; --i) {
            if (servers_[i]) dropped.push_back(std::move(servers_[i]));
            servers_[i].reset();
            serverCount_.store(i - 1);
        }
        serverCount_.store(0);
    }
    if (dropped.empty()) return 0;
    ReapTeardowns();
    // A link still in use by an exchange is kept alive by that caller and closed
    // when it lets go; the rest are closed here, off the caller's thread.
    auto release = [list = std::move(dropped)]() mutable { list.clear(); };
    try {
        auto task = std::async(std::launch::async, std::move(release));
        std::lock_guard<std::mutex> guard(teardownLock_);
        teardowns_.push_back(std::move(task));
    } catch (...) {
        // No thread for the teardown: the records are released right here instead
        // (the lambda still owns them when std::async throws before running it).
    }
    return 0;
}

void OrvDllWrapperModule::ReapTeardowns() {
    std::lock_guard<std::mutex> guard(teardownLock_);
    std::erase_if(teardowns_, [](std::future<void>& task) {
        return task.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
}

size_t OrvDllWrapperModule::PendingTeardowns() {
    ReapTeardowns();
    std::lock_guard<std::mutex> guard(teardownLock_);
    return teardowns_.size();
}

std::shared_ptr<TServerDM> OrvDllWrapperModule::ServerAt(int32_t server) {
    auto link = LinkAt(server);
    return link ? link->server : nullptr;
}

size_t OrvDllWrapperModule::FrameDataCapacity(int32_t server) {
    auto link = LinkAt(server);
    if (!link) return 0;
    std::lock_guard io(link->io);
    return link->frameData.Capacity();
}

std::shared_ptr<OrvDllWrapperModule::Link> OrvDllWrapperModule::LinkAt(int32_t server) {
    if (!ValidServerIndex(server)) return nullptr;
    Lock lock(lock_);
    if (server > serverCount_.load()) return nullptr;
    return servers_[server];
}

std::vector<std::shared_ptr<OrvDllWrapperModule::Link>> OrvDllWrapperModule::Links(const uint8_t* cameraMask) {
    std::vector<std::shared_ptr<Link>> links;
    Lock lock(lock_);
    const int32_t count = serverCount_.load();
    links.reserve(static_cast<size_t>(count));
    for (int32_t i = 1; i <= count; ++i) {
        if (!servers_[i]) continue;
        if (cameraMask != nullptr) {
            const auto part = OwnPart(*servers_[i]->server, cameraMask);
            if (!part || !AnySet(*part)) continue;
        }
        links.push_back(servers_[i]);
    }
    return links;
}

// The state is checked again once the connection lock is held: a reconnect may
// have closed the socket in between.
OrvDllWrapperModule::Held OrvDllWrapperModule::HoldIfConnected(std::shared_ptr<Link> link) {
    if (!link || !link->server->IsConnected()) return Held{};
    Held held(std::move(link));
    if (!(*held).server->IsConnected()) return Held{};
    return held;
}

OrvDllWrapperModule::Held OrvDllWrapperModule::HoldConnected(int32_t server) {
    return HoldIfConnected(LinkAt(server));
}

OrvDllWrapperModule::Held OrvDllWrapperModule::HoldOwner(int32_t camera) {
    std::shared_ptr<Link> owner;
    {
        Lock lock(lock_);
        const int32_t count = serverCount_.load();
        for (int32_t i = 1; i <= count && !owner; ++i) {
            const auto& link = servers_[i];
            if (!link || !link->server->IsConnected()) continue;
            const TServerInfo& info = link->server->info;
            if (info.firstCamera <= camera && camera <= info.lastCamera) owner = link;
        }
    }
    return HoldIfConnected(std::move(owner));
}

// ---------------------------------------------------------------------------
// The common exchange

OrvDllWrapperModule::Exchanged OrvDllWrapperModule::Exchange(Link& link, uint16_t command, const uint8_t* payload,
                                                             size_t payloadSize) {
    TServerDM& server = *link.server;
    link.header.magic = MSG_MAGIC;
    link.header.command = command;
    link.header.version = static_cast<uint16_t>(server.version);
    link.header.length = static_cast<int32_t>(kHeaderSize + payloadSize);
    uint8_t raw[kHeaderSize];
    EncodeHeader(link.header, raw);
    link.sendBuffer.Reset();
    link.sendBuffer.Append(raw, kHeaderSize);
    if (payloadSize > 0) link.sendBuffer.Append(payload, payloadSize);
    link.sendBuffer.PatchI32(4, static_cast<int32_t>(link.sendBuffer.Size()));
    server.BeginExchange();
    if (!server.Write(link.sendBuffer.Data(), static_cast<int32_t>(link.sendBuffer.Size()))) {
        return Exchanged::WriteFailed;
    }
    // Read() clears what did not arrive, which clears every field that the
    // reply step reads.
    const bool ok = static_cast<bool>(server.Read(raw, static_cast<int32_t>(kHeaderSize)));
    link.header = DecodeHeader(raw);
    return ok ? Exchanged::Ok : Exchanged::ReadFailed;
}

bool OrvDllWrapperModule::Accepted(Link& link, uint16_t command) {
    if (link.header.magic != MSG_MAGIC) {
        link.server->MarkOutOfStep();
        return false;
    }
    return link.header.command == command;
}

bool OrvDllWrapperModule::DrainBlocks(Link& link, std::initializer_list<int64_t> lengths) {
    int64_t total = 0;
    for (int64_t length : lengths) total += std::max<int64_t>(length, 0);
    return DrainBytes(*link.server, total, link.scratch);
}

bool OrvDllWrapperModule::RateRefuses(const TServerDM& server) const {
    const double elapsedMs = (NowOleUtc() - server.registeredAt) * 24.0 * 3600.0 * 1000.0;
    if (!(elapsedMs > 0.0)) return false;
    const double rate = static_cast<double>(server.receivedBytes) * 1000.0 / elapsedMs;
    return rate > static_cast<double>(server.rateLimitKiB) * 1024.0;
}

// ---------------------------------------------------------------------------
// Server operations

int32_t OrvDllWrapperModule::Login(TServerInfo& info, const char* loginKey, int32_t server) {
    if (server > serverCount_.load()) return kLoginFailIndex;
    auto slot = LinkAt(server);
    if (!slot) return kLoginFailEmpty;
    Held held = HoldIfConnected(std::move(slot));
    if (!held) return kLoginFailNotConnected;
    Link& link = *held;
    TServerDM& record = *link.server;

    LoginRequest request;
    request.clientTime = NowOleUtc();
    request.blockLength = 0;
    if (loginKey != nullptr) {
        std::memcpy(request.key, loginKey, sizeof request.key);
    } else {
        std::memset(request.key, ' ', sizeof request.key);
    }
    Encode(request, link.header);
    const Exchanged sent = Exchange(link, kCmdLogin);
    if (sent == Exchanged::WriteFailed) return kLoginFailWrite;
    if (sent == Exchanged::ReadFailed) return kLoginFailHeader;

    info.cameraCount = 0;
    if (!Accepted(link, kCmdLogin)) return kLoginFailReply;
    const LoginReply reply = Decode<LoginReply>(link.header);
    const int32_t infoLength = reply.infoLength;
    const int32_t extraLength = reply.extraLength;
    const bool extraPresent = extraLength >= 1 && extraLength <= kLoginExtraBlockMax;
    if (infoLength > static_cast<int32_t>(kServerInfoSize)) {
        DrainBlocks(link, {infoLength, extraPresent ? extraLength : 0});
        return kLoginFailReply;
    }
    if (infoLength > 0) {
        uint8_t raw[kServerInfoSize];
        EncodeServerInfo(record.info, raw);
        if (!record.Read(raw, infoLength)) return kLoginFailReply;
        {
            // Camera lookups read the range under the table lock.
            Lock lock(lock_);
            record.info = DecodeServerInfo(raw);
        }
        info = record.info;
    }
    if (extraPresent && !DrainBytes(record, extraLength, link.scratch)) return kLoginFailReply;
    record.version = record.clientVersion;
    return reply.result;
}

int32_t OrvDllWrapperModule::Reconnect(int32_t server) {
    auto link = LinkAt(server);
    if (!link) return 1;
    Held held(std::move(link));
    TServerDM* record = (*held).server.get();
    if (record->IsConnected() || record->IsConnecting()) return 1;
    record->Stop();
    try {
        record->Start();
    } catch (...) {
        record->state.exchange(Failed);
    }
    return 1;
}

int32_t OrvDllWrapperModule::GetServerState(int32_t& state, int32_t server) {
    const auto link = LinkAt(server);
    state = link ? link->server->state.load() : Idle;
    return server;
}

// One server at a time, each under its own connection lock.
int32_t OrvDllWrapperModule::PollCameraTables(int32_t& changeCount) {
    changeCount = 0;
    int32_t result = 0;
    for (auto& slot : Links()) {
        Held held = HoldIfConnected(std::move(slot));
        if (!held) continue;
        Link& link = *held;
        TServerDM* record = link.server.get();
        if (Exchange(link, kCmdPollCameraTables) != Exchanged::Ok) {
            --result;
            continue;
        }
        const CameraTablesReply reply = Decode<CameraTablesReply>(link.header);
        if (Accepted(link, kCmdPollCameraTables) && reply.recordCount > 0) {
            const int64_t first = reply.firstCamera;
            const int64_t records = reply.recordCount;
            const int64_t bytes = records * static_cast<int64_t>(kCameraRecordSize);
            if (first < 0 || first + records > kMaxCameras) {
                // The table has 2048 entries: refuse, but keep the stream in step.
                DrainBytes(*record, bytes, link.scratch);
                --result;
                continue;
            }
            if (!record->Read(link.scratch.Data(), static_cast<int32_t>(bytes))) {
                --result;
                continue;
            }
            Lock lock(lock_);
            for (int64_t r = 0; r < records; ++r) {
                cameraTable_[first + r] = DecodeCameraRecord(link.scratch.Data() + r * kCameraRecordSize);
            }
        }
        changeCount += record->changeCount;
        record->changeCount = 0;
    }
    return result;
}

int32_t OrvDllWrapperModule::GetCameraRecord(int32_t camera, TCameraRecord& record) {
    if (!ValidCamera(camera)) return -1;
    Lock lock(lock_);
    record = cameraTable_[camera];
    return 1;
}

bool OrvDllWrapperModule::IsCameraActive(int32_t camera) {
    if (!ValidCamera(camera)) return false;
    Lock lock(lock_);
    return cameraTable_[camera].active != 0;
}

int32_t OrvDllWrapperModule::SendCameraEvent(int32_t camera, uint8_t a, uint8_t b, int32_t c, int32_t d) {
    if (!ValidCamera(camera)) return -1;
    Held held = HoldOwner(camera);
    if (!held) return -1;
    Link& link = *held;
    Encode(CameraEventRequest{camera, a, b, c, d}, link.header);
    if (Exchange(link, kCmdCameraEvent) != Exchanged::Ok) return -1;
    return Accepted(link, kCmdCameraEvent) ? Decode<ResultReply>(link.header).result : -1;
}

int32_t OrvDllWrapperModule::SendCameraMode(int32_t camera, uint8_t value) {
    if (!ValidCamera(camera)) return -1;
    Held held = HoldOwner(camera);
    if (!held) return -1;
    Link& link = *held;
    Encode(CameraModeRequest{camera, 0.0, value}, link.header);
    return Exchange(link, kCmdCameraMode) == Exchanged::Ok ? 1 : -1;
}

int32_t OrvDllWrapperModule::SendCameraCommand(int32_t camera, int32_t a, int32_t b) {
    if (!ValidCamera(camera)) return -1;
    Held held = HoldOwner(camera);
    if (!held) return -1;
    Link& link = *held;
    Encode(CameraCommandRequest{camera, a, b}, link.header);
    return Exchange(link, kCmdCameraCommand) == Exchanged::Ok ? Decode<ResultReply>(link.header).result : -1;
}

int32_t OrvDllWrapperModule::SendServerEvent(int32_t server, int32_t value) {
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    Encode(ServerEventRequest{1, value}, link.header);
    if (Exchange(link, kCmdServerEvent) != Exchanged::Ok) return -1;
    return Accepted(link, kCmdServerEvent) ? 1 : -1;
}

int32_t OrvDllWrapperModule::GetServerStatus(int32_t server, uint8_t* buffer, int32_t bufferSize) {
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    TServerDM* record = link.server.get();
    Encode(StatusRequest{0, 0, 0}, link.header);
    if (Exchange(link, kCmdServerStatus) != Exchanged::Ok) return -1;
    if (!Accepted(link, kCmdServerStatus)) return link.header.magic == MSG_MAGIC ? 1 : -1;
    const StatusReply reply = Decode<StatusReply>(link.header);
    const int32_t statusLength = reply.statusLength;
    const int32_t extraLength = reply.extraLength;
    const size_t capacity = buffer != nullptr ? static_cast<size_t>(std::max(bufferSize, 0)) : 0;
    if ((statusLength > 0 && static_cast<size_t>(statusLength) > capacity) || extraLength > kScratchAreaSize) {
        DrainBlocks(link, {statusLength, extraLength});
        return -1;
    }
    if (statusLength > 0 && !record->Read(buffer, statusLength)) return -1;
    if (extraLength > 0 && !record->Read(link.scratch.Data(), extraLength)) return -1;
    return 1;
}

int32_t OrvDllWrapperModule::QueryServerText(int32_t server, char* text) {
    if (text == nullptr) return -1;
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    TServerDM* record = link.server.get();
    Encode(BlockReply{0}, link.header);  // the request has the same layout, without a text
    if (Exchange(link, kCmdServerText) != Exchanged::Ok) return -1;
    if (!Accepted(link, kCmdServerText)) return -1;
    const ServerTextReply reply = Decode<ServerTextReply>(link.header);
    const int32_t announced = reply.textLength;
    const int32_t n = std::min(announced, kServerTextMax);
    if (n <= 0 || !record->Read(text, n)) return -1;
    text[n] = '\0';
    // The rest of a long text would otherwise be read as the next reply header.
    if (announced > n && !DrainBytes(*record, announced - n, link.scratch)) return -1;
    return reply.hasText;
}

int32_t OrvDllWrapperModule::ConsoleShowArchive(int32_t server, int32_t a, int32_t b, double time1, double time2,
                                                uint8_t* buffer, int32_t bufferSize, int32_t value) {
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    TServerDM* record = link.server.get();
    Encode(ConsoleArchiveRequest{0, value, a, b, time2, time1}, link.header);
    if (Exchange(link, kCmdConsoleShowArchive) != Exchanged::Ok) return -1;
    if (!Accepted(link, kCmdConsoleShowArchive)) return -1;
    const ConsoleArchiveReply reply = Decode<ConsoleArchiveReply>(link.header);
    const size_t capacity = buffer != nullptr ? static_cast<size_t>(std::max(bufferSize, 0)) : 0;
    const BlockResult block = ReadPayloadBlock(*record, reply.blockLength, buffer, capacity, link.scratch);
    if (block == BlockResult::Failed || block == BlockResult::TooLarge) return -1;
    return reply.result;
}

int32_t OrvDllWrapperModule::QueryCameraName(int32_t server, int32_t camera, char* buffer, int32_t& length) {
    const int32_t capacity = buffer != nullptr ? std::max(length, 0) : 0;
    if (!ValidCamera(camera)) return -1;
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    TServerDM* record = link.server.get();
    length = 0;
    Encode(CameraNameRequest{camera, 0.0}, link.header);
    if (Exchange(link, kCmdCameraName) != Exchanged::Ok) return -1;
    if (!Accepted(link, kCmdCameraName)) return link.header.magic == MSG_MAGIC ? 1 : -1;
    const int32_t nameLength = Decode<BlockReply>(link.header).blockLength;
    const BlockResult block =
        ReadPayloadBlock(*record, nameLength, reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(capacity),
                         link.scratch);
    if (block == BlockResult::Failed || block == BlockResult::TooLarge) return -1;
    if (block == BlockResult::Read) length = nameLength;
    return 1;
}

int32_t OrvDllWrapperModule::SendTelemetryBlock(int32_t server, int32_t camera, int32_t command,
                                                const uint8_t* params) {
    if (params == nullptr || !ValidCamera(camera)) return 0;
    Held held = HoldConnected(server);
    if (!held) return 0;
    Link& link = *held;
    Encode(TelemetryRequest{camera, TelemetryBlock::kSize, command}, link.header);
    if (Exchange(link, kCmdTelemetryBlock, params, TelemetryBlock::kSize) != Exchanged::Ok) return 0;
    return Decode<SecondResultReply>(link.header).result;
}

int32_t OrvDllWrapperModule::ConsoleSwitchCamera(int32_t server, int32_t camera) {
    if (!ValidCamera(camera)) return -1;
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    Encode(ConsoleSwitchRequest{camera, TelemetryBlock::kSize}, link.header);
    return Exchange(link, kCmdConsoleSwitchCamera) == Exchanged::Ok ? Decode<SecondResultReply>(link.header).result
                                                                     : -1;
}

int32_t OrvDllWrapperModule::CameraPosition(int32_t server, int32_t camera, TCameraPosition& position) {
    if (!ValidCamera(camera)) return -1;
    Held held = HoldConnected(server);
    if (!held) return -1;
    Link& link = *held;
    // Starts from the header as it stands: a kind that does not use a field
    // sends what the previous exchange left there.
    PositionRequest request = Decode<PositionRequest>(link.header);
    request.camera = camera;
    request.kind = position.kind;
    if (position.kind == 2) {
        request.x = RoundToInt32(position.x);
        request.y = RoundToInt32(position.y);
        request.z = RoundToInt32(position.z);
        request.value = position.value;
    } else if (position.kind == 3) {
        request.x = RoundToInt32(position.x);
        request.y = RoundToInt32(position.y);
        request.zTime = position.z;
    }
    Encode(request, link.header);
    if (Exchange(link, kCmdCameraPosition) != Exchanged::Ok) return -1;
    const PositionReply reply = Decode<PositionReply>(link.header);
    if (position.kind != 1) return reply.result;
    position.x = reply.x;
    position.y = reply.y;
    position.z = reply.z;
    position.value = reply.value;
    return 1;
}

// ---------------------------------------------------------------------------
// Live frames

// Reads the blocks of the returned entries back to back into dst; a total that
// does not fit is drained and refused.
int32_t OrvDllWrapperModule::ReadLiveBlocks(Link& link, const int32_t* lengths, size_t lengthCount,
                                            uint8_t* dst, int64_t capacity) {
    const int64_t total = SumPositive(lengths, lengthCount);
    if (total > capacity || (total > 0 && dst == nullptr)) {
        DrainBytes(*link.server, total, link.scratch);
        return -1;
    }
    TServerDM& server = *link.server;
    int64_t offset = 0;
    for (size_t i = 0; i < lengthCount; ++i) {
        if (lengths[i] <= 0) continue;
        if (!server.Read(dst + offset, lengths[i])) return -1;
        offset += lengths[i];
    }
    return 1;
}

namespace {

// True when a reply of `entries` entries with these block lengths (`perEntry`
// per entry: lead 1, lead 2, payload, ...) can be received into the target: one
// entry whose only block is a payload that fits.
bool TargetTakes(PayloadTarget* target, const int32_t* lengths, size_t perEntry, int32_t entries) {
    if (target == nullptr || target->data == nullptr || entries != 1) return false;
    for (size_t b = 0; b < perEntry; ++b) {
        if (b != 2 && lengths[b] > 0) return false;
    }
    return lengths[2] > 0 && lengths[2] <= target->capacity;
}

}  // namespace

OrvDllWrapperModule::Held OrvDllWrapperModule::HoldForLiveRead(int32_t server, int32_t count,
                                                                 const TFrameEntry* entries) {
    if (count < 0 || count > kMaxLiveEntries || (count > 0 && entries == nullptr)) return Held();
    Held held = HoldConnected(server);
    if (!held || RateRefuses(*(*held).server)) return Held();
    return held;
}

OrvDllWrapperModule::Exchanged OrvDllWrapperModule::SendLiveRequest(Link& link, int32_t count,
                                                                    const TFrameEntry* entries, size_t wireSize) {
    Encode(LiveFramesRequest{count, NowOleUtc(), count * static_cast<int32_t>(wireSize), link.server->userValue},
           link.header);
    const size_t requestBytes = static_cast<size_t>(count) * wireSize;
    link.entryBytes.Reserve(std::max<size_t>(requestBytes, 1));
    for (int32_t i = 0; i < count; ++i) EncodeFrameEntry(entries[i], link.entryBytes.Data() + i * wireSize, wireSize);
    return Exchange(link, kCmdLiveFrames, link.entryBytes.Data(), requestBytes);
}

std::optional<bool> OrvDllWrapperModule::ReadIntoTarget(Link& link, PayloadTarget* target, const int32_t* lengths,
                                                        size_t perEntry, int32_t entries) {
    if (!TargetTakes(target, lengths, perEntry, entries)) return std::nullopt;
    target->used = true;
    return ReadLiveBlocks(link, lengths, perEntry * static_cast<size_t>(entries), target->data, target->capacity) == 1;
}

int32_t OrvDllWrapperModule::ReadLiveFrames(int32_t server, int32_t& count, TFrameEntry* entries, uint8_t* data,
                                            int32_t dataCapacity, PayloadTarget* target) {
    const int32_t n = count;
    Held held = HoldForLiveRead(server, n, entries);
    if (!held) return -1;
    Link& link = *held;
    TServerDM* record = link.server.get();
    link.header = TMsgHeader{};
    count = 0;
    if (SendLiveRequest(link, n, entries, kFrameEntryShortSize) != Exchanged::Ok) return -1;
    if (!Accepted(link, kCmdLiveFrames)) return -1;

    const LiveFramesReply reply = Decode<LiveFramesReply>(link.header);
    const int32_t blockLength = reply.entryBytes;
    const bool noPayload = reply.nothingSent == -1;
    if (blockLength > 0) {
        // The entry block must fit the caller's array; its count must be covered
        // by the block, otherwise the lengths of the following blocks are unknown.
        const int64_t inBlock = blockLength / static_cast<int32_t>(kFrameEntryShortSize);
        const int32_t m = reply.entryCount;
        if (blockLength > kMaxLiveEntries * static_cast<int32_t>(kFrameEntryLongSize) || m < 0 || m > inBlock ||
            m > kMaxLiveEntries) {
            record->MarkOutOfStep();
            return -1;
        }
        link.entryBytes.Reserve(static_cast<size_t>(blockLength));
        if (!record->Read(link.entryBytes.Data(), blockLength)) return -1;
        int32_t lengths[kMaxLiveEntries * 5];
        size_t lengthCount = 0;
        for (int32_t i = 0; i < m; ++i) {
            const TFrameEntry e = DecodeFrameEntry(link.entryBytes.Data() + i * kFrameEntryShortSize, kFrameEntryShortSize);
            for (int32_t len : {e.lead1Length, e.lead2Length, e.payloadLength, e.auxLength, e.trailLength}) {
                lengths[lengthCount++] = len;
            }
        }
        if (m > n) {
            DrainBlocks(link, {SumPositive(lengths, lengthCount)});
            return -1;
        }
        const int64_t decodable = std::min<int64_t>(inBlock, n);
        for (int64_t i = 0; i < decodable; ++i) {
            DecodeFrameEntryInto(link.entryBytes.Data() + i * kFrameEntryShortSize, kFrameEntryShortSize, entries[i]);
        }
        count = m;
        if (const auto intoTarget = ReadIntoTarget(link, target, lengths, 5, m)) {
            if (!*intoTarget) return -1;
        } else if (ReadLiveBlocks(link, lengths, lengthCount, data, std::max(dataCapacity, 0)) != 1) {
            return -1;
        }
    }
    if (noPayload && n > 0) entries[0].payloadLength = 0;
    if (blockLength > 0 || noPayload) return 1;
    return -1;
}

int32_t OrvDllWrapperModule::ReadLiveFramesEx(int32_t server, int32_t& count, TFrameEntry* entries,
                                              const uint8_t*& data, PayloadTarget* target, RawBuffer* area) {
    const int32_t n = count;
    Held held = HoldForLiveRead(server, n, entries);
    if (!held) return -1;
    Link& link = *held;
    TServerDM* record = link.server.get();
    const size_t wireSize = record->version < kLongFrameEntryVersion ? kFrameEntryShortSize : kFrameEntryLongSize;
    if (SendLiveRequest(link, n, entries, wireSize) != Exchanged::Ok) return -1;
    const LiveFramesReply reply = Decode<LiveFramesReply>(link.header);
    if (!Accepted(link, kCmdLiveFrames) || reply.entryBytes <= 0) return -1;

    const bool longReply = link.header.version >= kLongFrameEntryVersion;
    const size_t replySize = longReply ? kFrameEntryLongSize : kFrameEntryShortSize;
    const int32_t blockLength = reply.entryBytes;
    const int32_t m = reply.entryCount;
    const int64_t inBlock = blockLength / static_cast<int64_t>(replySize);
    if (blockLength > kMaxLiveEntries * static_cast<int32_t>(kFrameEntryLongSize) || m < 0 || m > inBlock) {
        count = 0;
        record->MarkOutOfStep();
        return -1;
    }
    link.entryBytes.Reserve(static_cast<size_t>(blockLength));
    if (m > n) {
        // More entries than the caller's array holds: read them to learn the block
        // lengths, drop everything and refuse.
        count = 0;
        if (!record->Read(link.entryBytes.Data(), blockLength)) return -1;
        int64_t total = 0;
        for (int32_t i = 0; i < m; ++i) {
            int32_t lengths[kFrameEntryBlockCount];
            FrameEntryBlockLengths(DecodeFrameEntry(link.entryBytes.Data() + i * replySize, replySize), lengths);
            total += SumPositive(lengths, kFrameEntryBlockCount);
        }
        DrainBytes(*record, total, link.scratch);
        return -1;
    }
    count = m;
    if (!record->Read(link.entryBytes.Data(), blockLength)) return -1;
    const int64_t decodable = std::min<int64_t>(inBlock, n);
    for (int64_t i = 0; i < decodable; ++i) DecodeFrameEntryInto(link.entryBytes.Data() + i * replySize, replySize, entries[i]);

    int32_t lengths[kMaxLiveEntries * kFrameEntryBlockCount];
    for (int32_t i = 0; i < m; ++i) {
        int32_t* slot = lengths + i * kFrameEntryBlockCount;
        int32_t entryLengths[kFrameEntryBlockCount];
        FrameEntryBlockLengths(entries[i], entryLengths);
        std::copy(entryLengths, entryLengths + kFrameEntryBlockCount, slot);
    }
    const size_t lengthCount = static_cast<size_t>(m) * kFrameEntryBlockCount;
    const int64_t total = SumPositive(lengths, lengthCount);
    // Each camera's frame is bounded by the manager's per-camera receive area.
    const int64_t limit = std::min<int64_t>(static_cast<int64_t>(std::max(n, 1)) * kFrameBufferSize,
                                            std::numeric_limits<int32_t>::max());
    if (total > limit) {
        DrainBytes(*record, total, link.scratch);
        return -1;
    }
    if (const auto intoTarget = ReadIntoTarget(link, target, lengths, kFrameEntryBlockCount, m)) {
        if (!*intoTarget) return -1;
        data = target->data;
    } else {
        // The caller's own area when it gives one: the bytes then stay valid after
        // the connection lock is released, while other threads use this server.
        RawBuffer& into = area != nullptr ? *area : link.frameData;
        into.Reserve(static_cast<size_t>(total));
        if (ReadLiveBlocks(link, lengths, lengthCount, into.Data(), total) != 1) return -1;
        data = into.Data();
    }
    // The server's value comes from the wire: saturate rather than overflow.
    return longReply ? static_cast<int32_t>(std::min<int64_t>(int64_t{reply.extendedResult} + 1, INT32_MAX)) : 1;
}

// ---------------------------------------------------------------------------
// Archive channels

int32_t OrvDllWrapperModule::OpenArchiveChannel(int32_t channel, const uint8_t* cameraMask) {
    const auto command = ArchiveChannelCommand(channel, kArchiveOpen);
    if (!command) return 0;
    int32_t result = 0;
    for (auto& slot : Links(cameraMask)) {
        Held held = HoldIfConnected(std::move(slot));
        if (!held) continue;
        Link& link = *held;
        if (Exchange(link, *command) != Exchanged::Ok) continue;
        if (Accepted(link, *command) && Decode<ResultReply>(link.header).result != 0) result = 1;
    }
    return result;
}

int32_t OrvDllWrapperModule::CloseArchiveChannel(int32_t channel) {
    const auto command = ArchiveChannelCommand(channel, kArchiveClose);
    if (!command) return 0;
    int32_t result = 0;
    for (auto& slot : Links()) {
        Held held(std::move(slot));
        Link& link = *held;
        DropAhead(link, channel);
        if (link.server->IsConnected() && Exchange(link, *command) == Exchanged::Ok) result = 1;
    }
    return result;
}

int32_t OrvDllWrapperModule::QueryArchiveRange(int32_t channel, double& earliest, double& latest,
                                               const uint8_t* cameraMask) {
    earliest = kArchiveLatestSentinel;
    latest = kArchiveEarliestSentinel;
    const auto command = ArchiveChannelCommand(channel, kArchiveRange);
    if (!command) return 0;
    int32_t result = 0;
    for (auto& slot : Links(cameraMask)) {
        Held held = HoldIfConnected(std::move(slot));
        if (!held) continue;
        Link& link = *held;
        Encode(ArchiveRangeView{earliest, latest}, link.header);
        if (Exchange(link, *command) != Exchanged::Ok || !Accepted(link, *command)) continue;
        result = 1;
        const ArchiveRangeView range = Decode<ArchiveRangeView>(link.header);
        if (earliest > range.earliest) earliest = range.earliest;
        if (range.latest > latest) latest = range.latest;
    }
    return result;
}

double OrvDllWrapperModule::ArchivePosition(int32_t channel) {
    if (channel < 0 || channel >= kArchiveChannelCount) return 0.0;
    return archivePositions_[channel].load();
}

int32_t OrvDllWrapperModule::SeekArchive(int32_t channel, double time, uint8_t direction,
                                         const uint8_t* cameraMask) {
    const auto command = ArchiveChannelCommand(channel, kArchiveSeek);
    if (!command) return -1;
    int32_t result = -1;
    const double sentinel = direction != 0 ? kArchiveLatestSentinel : kArchiveEarliestSentinel;
    double best = sentinel;
    for (auto& slot : Links(cameraMask)) {
        Held held(std::move(slot));
        Link& link = *held;
        TServerDM* record = link.server.get();
        DropAhead(link, channel);
        if (!record->IsConnected()) continue;
        {
            Lock ahead(link.aheadLock);
            record->archivePos[channel] = sentinel;
            record->archiveFound[channel] = 0;
        }
        Encode(ArchiveSeekRequest{time, direction}, link.header);
        if (Exchange(link, *command) != Exchanged::Ok || !Accepted(link, *command)) continue;
        const ArchiveSeekReply reply = Decode<ArchiveSeekReply>(link.header);
        if (reply.result < 0) continue;
        {
            Lock guard(link.aheadLock);
            record->archiveFound[channel] = 1;
            record->archivePos[channel] = reply.time;
            ArchiveAhead& ahead = link.ahead[channel];
            ahead.resumeSet = true;
            ahead.resumeTime = reply.time;
            ahead.handedAtResume.clear();
        }
        // Strictly nearer only: on equal distance the earlier server keeps it.
        if (std::fabs(time - best) > std::fabs(time - reply.time)) best = reply.time;
        result = std::max(result, reply.result);
    }
    archivePositions_[channel].store(best);
    return result;
}

struct OrvDllWrapperModule::ArchiveRead {
    bool forward;
    int32_t channel;
    int32_t requestValue;
    int32_t& a;
    const uint8_t* cameraMask;
    int32_t& b;
    double& time;
    uint8_t* payload;
    int32_t payloadCapacity;
    int32_t& payloadLength;
    uint8_t* aux;
    int32_t auxCapacity;
    int32_t& auxLength;
};

int32_t OrvDllWrapperModule::ReadArchiveForward(int32_t channel, int32_t requestValue, int32_t& a,
                                                const uint8_t* cameraMask, int32_t& b, double& time,
                                                uint8_t* payload, int32_t payloadCapacity, int32_t& payloadLength,
                                                uint8_t* aux, int32_t auxCapacity, int32_t& auxLength) {
    ArchiveRead request{true,    channel,         requestValue,  a,   cameraMask,  b,        time,
                        payload, payloadCapacity, payloadLength, aux, auxCapacity, auxLength};
    return ReadArchive(request);
}

int32_t OrvDllWrapperModule::ReadArchiveBackward(int32_t channel, int32_t requestValue, int32_t& a,
                                                 const uint8_t* cameraMask, int32_t& b, double& time,
                                                 uint8_t* payload, int32_t payloadCapacity, int32_t& payloadLength,
                                                 uint8_t* aux, int32_t auxCapacity, int32_t& auxLength) {
    ArchiveRead request{false,   channel,         requestValue,  a,   cameraMask,  b,        time,
                        payload, payloadCapacity, payloadLength, aux, auxCapacity, auxLength};
    return ReadArchive(request);
}

bool OrvDllWrapperModule::ArchiveAsk::SameRequest(const ArchiveAsk& other) const {
    return forward == other.forward && requestValue == other.requestValue && a == other.a && b == other.b &&
           payloadIn == other.payloadIn && auxIn == other.auxIn && payloadCapacity == other.payloadCapacity &&
           auxCapacity == other.auxCapacity && mask == other.mask;
}

void OrvDllWrapperModule::DropAhead(Link& link, int32_t channel) {
    Lock guard(link.aheadLock);
    ArchiveAhead& ahead = link.ahead[channel];
    for (auto& frame : ahead.frames) {
        if (ahead.spare.size() < kReadAheadDepth) ahead.spare.push_back(std::move(frame));
    }
    ahead.frames.clear();
    ahead.fetching = false;
    ++ahead.epoch;
    ++ahead.generation;
}

// Frames read ahead for another camera set, request or direction are given back:
// the server is positioned where it stood before they were read (the last frame
// handed out, or the seek), so the next read of any camera set or direction goes
// on from there, losing and repeating nothing.
void OrvDllWrapperModule::GiveBackAhead(Link& link, int32_t channel, bool forward) {
    bool reposition = false;
    double time = 0.0;
    {
        Lock guard(link.aheadLock);
        const ArchiveAhead& ahead = link.ahead[channel];
        // A queue holding only the run-out never moved the server.
        reposition = !ahead.frames.empty() && !ahead.frames.front().end;
        time = ahead.resumeSet ? ahead.resumeTime : (reposition ? ahead.frames.front().time : 0.0);
    }
    DropAhead(link, channel);
    const auto command = ArchiveChannelCommand(channel, kArchiveSeek);
    if (!reposition || !command || !link.server->IsConnected()) return;
    Encode(ArchiveSeekRequest{time, forward ? 1 : 0}, link.header);
    if (Exchange(link, *command) != Exchanged::Ok || !Accepted(link, *command)) return;
    Lock guard(link.aheadLock);
    ArchiveAhead& ahead = link.ahead[channel];
    ahead.skipLeft = ahead.resumeSet ? ahead.handedAtResume.size() : 0;
}

// One read of the server's archive stream onto the end of its read-ahead queue.
// After a give-back the frames handed out at the resume time come again first
// and are read past.
bool OrvDllWrapperModule::FetchAhead(Link& link, int32_t channel, const ArchiveAsk& ask) {
    const auto command =
        ArchiveChannelCommand(channel, ask.forward ? kArchiveReadForward : kArchiveReadBackward);
    if (!command) return false;
    ArchiveAhead& ahead = link.ahead[channel];
    AheadFrame frame;
    {
        Lock guard(link.aheadLock);
        if (!ahead.spare.empty()) {
            frame = std::move(ahead.spare.back());
            ahead.spare.pop_back();
        }
    }
    for (;;) {
        Encode(ArchiveReadRequest{ask.time, static_cast<int32_t>(ask.mask.size()), ask.requestValue, ask.a, ask.b,
                                  ask.payloadIn, ask.auxIn},
               link.header);
        if (Exchange(link, *command, ask.mask.data(), ask.mask.size()) != Exchanged::Ok) return false;
        if (!Accepted(link, *command)) return false;
        if (!ReadAheadReply(link, ask, frame)) return false;
        Lock guard(link.aheadLock);
        const bool repeat = ahead.skipLeft > 0 && !frame.end && frame.time == ahead.resumeTime &&
                            std::find(ahead.handedAtResume.begin(), ahead.handedAtResume.end(), frame.replyA) !=
                                ahead.handedAtResume.end();
        if (repeat) {
            --ahead.skipLeft;  // at most once per camera handed out at that time
            continue;
        }
        ahead.skipLeft = 0;
        if (ahead.frames.empty()) ahead.asked = ask;
        ahead.frames.push_back(std::move(frame));
        return true;
    }
}

// The reply of one archive read (header already in) into a frame.
bool OrvDllWrapperModule::ReadAheadReply(Link& link, const ArchiveAsk& ask, AheadFrame& frame) {
    const ArchiveReadReply reply = Decode<ArchiveReadReply>(link.header);
    const int32_t auxBytes = reply.auxLength;
    const int32_t payloadBytes = reply.payloadLength;
    const bool auxFits = auxBytes <= 0 || auxBytes <= ask.auxCapacity;
    const bool payloadFits = payloadBytes <= 0 || payloadBytes <= ask.payloadCapacity;
    if (!auxFits || !payloadFits) {
        DrainBlocks(link, {auxBytes, payloadBytes});
        return false;
    }
    if (auxBytes > 0) {
        frame.aux.Reserve(static_cast<size_t>(auxBytes));
        if (!link.server->Read(frame.aux.Data(), auxBytes)) return false;
    }
    if (payloadBytes > 0) {
        frame.payload.Reserve(static_cast<size_t>(payloadBytes));
        if (!link.server->Read(frame.payload.Data(), payloadBytes)) return false;
    }
    frame.end = reply.found == 0;
    frame.replyA = reply.camera;
    frame.replyB = reply.flags;
    frame.time = reply.time;
    frame.auxLength = frame.end ? 0 : std::max(auxBytes, 0);
    frame.payloadLength = frame.end ? 0 : std::max(payloadBytes, 0);
    return true;
}

// Makes the queue's first frame answer this request unless it already does
// (another thread or the background may have read it meanwhile).
void OrvDllWrapperModule::EnsureAhead(const std::shared_ptr<Link>& slot, int32_t channel, const ArchiveAsk& ask) {
    Held held = HoldIfConnected(slot);
    if (!held) return;
    Link& link = *held;
    bool stale = false;
    {
        Lock guard(link.aheadLock);
        const ArchiveAhead& ahead = link.ahead[channel];
        if (link.server->archiveFound[channel] == 0 || ahead.Answers(ask)) return;
        stale = !ahead.frames.empty();
    }
    // Read for another request: given back first. Either way a new epoch starts,
    // so a background read still queued for the old request never runs.
    if (stale) {
        GiveBackAhead(link, channel, ask.forward);
    } else {
        DropAhead(link, channel);
    }
    FetchAhead(link, channel, ask);
}

// Reads the server's next frames in the background while the caller works on
// the one it was handed. Each frame is read under the connection lock alone, so
// frames already queued are handed out meanwhile; a seek, close or give-back
// (a new epoch) ends it.
void OrvDllWrapperModule::ReadAheadLater(const std::shared_ptr<Link>& slot, int32_t channel, ArchiveAhead& ahead,
                                         const ArchiveAsk& ask) {
    if (!backgroundReadAhead_.load() || ahead.fetching || ahead.Ended() ||
        ahead.frames.size() >= kReadAheadDepth || slot->server->archiveFound[channel] == 0) {
        return;
    }
    ahead.fetching = true;
    const uint64_t epoch = ahead.epoch;
    auto job = [this, slot, channel, ask, epoch] {
        for (;;) {
            Held held = HoldIfConnected(slot);
            Link& link = *slot;
            ArchiveAhead& queue = link.ahead[channel];
            {
                Lock guard(link.aheadLock);
                if (queue.epoch != epoch) return;  // a newer epoch owns `fetching`
                if (closing_.load() || !held || queue.Ended() || queue.frames.size() >= kReadAheadDepth ||
                    link.server->archiveFound[channel] == 0) {
                    queue.fetching = false;
                    return;
                }
            }
            if (!FetchAhead(link, channel, ask)) {
                Lock guard(link.aheadLock);
                if (queue.epoch == epoch) queue.fetching = false;
                return;
            }
        }
    };
    try {
        boost::asio::post(*pool_, std::move(job));
    } catch (...) {
        ahead.fetching = false;  // the next read fetches the frame itself
    }
}

int32_t OrvDllWrapperModule::ReadArchive(ArchiveRead& r) {
    const auto command = ArchiveChannelCommand(r.channel, r.forward ? kArchiveReadForward : kArchiveReadBackward);
    if (!command || r.cameraMask == nullptr) return -1;
    const int32_t channel = r.channel;

    // The servers that take part: connected and owning at least one camera asked
    // for. A server without any of them is never waited for.
    struct Participant {
        std::shared_ptr<Link> link;
        ArchiveAsk ask;
    };
    // An empty camera set asks every server, as the reply then tells.
    std::vector<Participant> participants;
    {
        Lock lock(lock_);
        const int32_t count = serverCount_.load();
        const bool anyCamera = AnySet(std::span<const uint8_t>(r.cameraMask, kMaxCameras));
        for (int32_t i = 1; i <= count; ++i) {
            const auto& link = servers_[i];
            if (!link || !link->server->IsConnected()) continue;
            const auto slice = OwnPart(*link->server, r.cameraMask);
            if (!slice || (anyCamera && !AnySet(*slice))) continue;
            ArchiveAsk ask;
            ask.forward = r.forward;
            ask.requestValue = r.requestValue;
            ask.a = r.a;
            ask.b = r.b;
            ask.time = r.time;
            ask.payloadIn = r.payloadLength;
            ask.auxIn = r.auxLength;
            ask.payloadCapacity = r.payload != nullptr ? std::max(r.payloadCapacity, 0) : 0;
            ask.auxCapacity = r.aux != nullptr ? std::max(r.auxCapacity, 0) : 0;
            ask.mask.assign(slice->begin(), slice->end());
            participants.push_back({link, std::move(ask)});
        }
    }

    constexpr int kTakeAttempts = 8;
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        // 1. Every participant still reading gets a first frame answering this
        // request; the missing ones are read at once, one per server.
        std::vector<size_t> missing;
        for (size_t i = 0; i < participants.size(); ++i) {
            Link& link = *participants[i].link;
            Lock guard(link.aheadLock);
            if (link.server->archiveFound[channel] == 0) continue;
            if (link.ahead[channel].Answers(participants[i].ask)) continue;
            missing.push_back(i);
        }
        std::vector<std::future<void>> fetches;
        for (size_t k = 1; k < missing.size(); ++k) {
            const Participant& p = participants[missing[k]];
            try {
                fetches.push_back(std::async(std::launch::async, [this, &p, channel] {
                    EnsureAhead(p.link, channel, p.ask);
                }));
            } catch (...) {
                EnsureAhead(p.link, channel, p.ask);
            }
        }
        if (!missing.empty()) EnsureAhead(participants[missing[0]].link, channel, participants[missing[0]].ask);
        for (auto& fetch : fetches) fetch.wait();

        // 2. The earliest first frame going forward, the latest going backward; on
        // equal times the lower server number. A server that ran out says so once,
        // in its place in time: at the time of the last frame it handed out (or of
        // the seek), so its run-out comes between the other servers' frames.
        size_t chosen = participants.size();
        uint64_t chosenGeneration = 0;
        double extreme = 0.0;
        for (size_t i = 0; i < participants.size(); ++i) {
            Link& link = *participants[i].link;
            Lock guard(link.aheadLock);
            const ArchiveAhead& ahead = link.ahead[channel];
            if (link.server->archiveFound[channel] == 0 || !ahead.Answers(participants[i].ask)) continue;
            const AheadFrame& head = ahead.frames.front();
            const double key = head.end ? link.server->archivePos[channel] : head.time;
            const bool better = chosen == participants.size() || (r.forward ? key < extreme : key > extreme);
            if (better) {
                chosen = i;
                chosenGeneration = ahead.generation;
                extreme = key;
            }
        }
        if (chosen == participants.size()) return -1;

        // 3. Hand it out, unless another thread took it meanwhile; its buffers
        // go back to the queue's spares once copied.
        Participant& p = participants[chosen];
        Link& link = *p.link;
        ArchiveAhead& ahead = link.ahead[channel];
        AheadFrame frame;
        {
            Lock guard(link.aheadLock);
            if (ahead.generation != chosenGeneration || !ahead.Answers(p.ask)) continue;
            frame = std::move(ahead.frames.front());
            ahead.frames.pop_front();
            ++ahead.generation;
            TServerDM& record = *link.server;
            archivePositions_[channel].store(record.archivePos[channel]);
            record.archivePos[channel] = frame.time;
            if (frame.end) {
                record.archiveFound[channel] = 0;
            } else {
                if (!ahead.resumeSet || ahead.resumeTime != frame.time) ahead.handedAtResume.clear();
                ahead.resumeSet = true;
                ahead.resumeTime = frame.time;
                ahead.handedAtResume.push_back(frame.replyA);
                ReadAheadLater(p.link, channel, ahead, p.ask);
            }
        }
        r.a = frame.replyA;
        r.b = frame.replyB;
        if (frame.end) {
            r.auxLength = 0;
            r.payloadLength = 0;
            return 1;
        }
        if (frame.auxLength > 0) std::memcpy(r.aux, frame.aux.Data(), static_cast<size_t>(frame.auxLength));
        if (frame.payloadLength > 0) {
            std::memcpy(r.payload, frame.payload.Data(), static_cast<size_t>(frame.payloadLength));
        }
        r.auxLength = frame.auxLength;
        r.payloadLength = frame.payloadLength;
        r.time = frame.time;
        const double position = archivePositions_[channel].load();
        if (r.forward && position <= kArchiveEarliestSentinel) {
            archivePositions_[channel].store(frame.time - kOleMillisecond);
        } else if (!r.forward && position >= kArchiveLatestSentinel) {
            archivePositions_[channel].store(frame.time + kOleMillisecond);
        }
        Lock guard(link.aheadLock);
        if (ahead.spare.size() < kReadAheadDepth) ahead.spare.push_back(std::move(frame));
        return 1;
    }
    return -1;
}

}  // namespace orv_stuff
