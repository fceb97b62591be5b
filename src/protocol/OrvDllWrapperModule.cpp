#include "protocol/OrvDllWrapperModule.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace orv_stuff {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr int32_t kLoginFailIndex = -1;
constexpr int32_t kLoginFailEmpty = -2;
constexpr int32_t kLoginFailNotConnected = -3;
constexpr int32_t kLoginFailWrite = -4;
constexpr int32_t kLoginFailHeader = -5;
constexpr int32_t kLoginFailReply = -6;
constexpr int32_t kTelemetryBlockSize = 16;
constexpr int32_t kMaxLiveEntries = kMaxCameras;

bool ValidCamera(int32_t camera) { return camera >= 0 && camera < kMaxCameras; }
bool ValidServerIndex(int32_t server) { return server >= 1 && server <= kMaxServers; }

int64_t SumPositive(const int32_t* lengths, size_t count) {
    int64_t total = 0;
    for (size_t i = 0; i < count; ++i) total += std::max<int32_t>(lengths[i], 0);
    return total;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and the server table

OrvDllWrapperModule::OrvDllWrapperModule(std::chrono::milliseconds ioTimeout)
    : OrvDllWrapperModule([ioTimeout] { return std::make_shared<TServerDM>(ioTimeout); }) {}

OrvDllWrapperModule::OrvDllWrapperModule(ServerFactory factory)
    : factory_(std::move(factory)), cameraTable_(new TCameraRecord[kMaxCameras]()), scratch_(kScratchAreaSize) {}

OrvDllWrapperModule::~OrvDllWrapperModule() {
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
    if (serverCount_.load() >= kMaxServers) return -1;
    Lock lock(lock_);
    if (serverCount_.load() >= kMaxServers) return -1;
    const int32_t index = serverCount_.load() + 1;
    auto& slot = servers_[index];
    if (!slot) slot = factory_();
    if (!slot) return -1;
    serverCount_.store(index);
    TServerDM& server = *slot;
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
    try {
        server.Start();
    } catch (...) {
        // No thread for the connect: the record stays registered and fails, so the
        // manager's reconnect tries again later.
        server.state.exchange(Failed);
    }
    return index;
}

int32_t OrvDllWrapperModule::DropAllServers() {
    std::vector<std::shared_ptr<TServerDM>> dropped;
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
    Lock lock(lock_);
    return ValidServerIndex(server) ? servers_[server] : nullptr;
}

size_t OrvDllWrapperModule::FrameDataCapacity() {
    Lock lock(lock_);
    return frameData_.Capacity();
}

TServerDM* OrvDllWrapperModule::Slot(int32_t server) {
    if (!ValidServerIndex(server) || server > serverCount_.load()) return nullptr;
    return servers_[server].get();
}

TServerDM* OrvDllWrapperModule::ConnectedServer(int32_t server) {
    TServerDM* record = Slot(server);
    return record != nullptr && record->IsConnected() ? record : nullptr;
}

TServerDM* OrvDllWrapperModule::OwningServer(int32_t camera) {
    const int32_t count = serverCount_.load();
    for (int32_t i = 1; i <= count; ++i) {
        TServerDM* record = servers_[i].get();
        if (record == nullptr || !record->IsConnected()) continue;
        if (record->info.firstCamera <= camera && camera <= record->info.lastCamera) return record;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The common exchange

OrvDllWrapperModule::Exchanged OrvDllWrapperModule::Exchange(TServerDM& server, uint16_t command,
                                                             const uint8_t* payload, size_t payloadSize) {
    header_.magic = MSG_MAGIC;
    header_.command = command;
    header_.version = static_cast<uint16_t>(server.version);
    header_.length = static_cast<int32_t>(kHeaderSize + payloadSize);
    uint8_t raw[kHeaderSize];
    EncodeHeader(header_, raw);
    sendBuffer_.Reset();
    sendBuffer_.Append(raw, kHeaderSize);
    if (payloadSize > 0) sendBuffer_.Append(payload, payloadSize);
    sendBuffer_.PatchI32(4, static_cast<int32_t>(sendBuffer_.Size()));
    server.BeginExchange();
    if (!server.Write(sendBuffer_.Data(), static_cast<int32_t>(sendBuffer_.Size()))) return Exchanged::WriteFailed;
    // Read() clears what did not arrive, which clears every field that the
    // reply step reads.
    const bool ok = static_cast<bool>(server.Read(raw, static_cast<int32_t>(kHeaderSize)));
    header_ = DecodeHeader(raw);
    return ok ? Exchanged::Ok : Exchanged::ReadFailed;
}

bool OrvDllWrapperModule::Accepted(TServerDM& server, uint16_t command) {
    if (header_.magic != MSG_MAGIC) {
        server.MarkOutOfStep();
        return false;
    }
    return header_.command == command;
}

bool OrvDllWrapperModule::DrainBlocks(TServerDM& server, std::initializer_list<int64_t> lengths) {
    int64_t total = 0;
    for (int64_t length : lengths) total += std::max<int64_t>(length, 0);
    return DrainBytes(server, total, scratch_);
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
    Lock lock(lock_);
    if (server > serverCount_.load()) return kLoginFailIndex;
    if (!ValidServerIndex(server) || !servers_[server]) return kLoginFailEmpty;
    TServerDM& record = *servers_[server];
    if (!record.IsConnected()) return kLoginFailNotConnected;

    header_.field16 = NowOleUtc();
    header_.field24 = 0;
    if (loginKey != nullptr) {
        std::memcpy(header_.field72, loginKey, sizeof header_.field72);
    } else {
        std::memset(header_.field72, ' ', sizeof header_.field72);
    }
    const Exchanged sent = Exchange(record, kCmdLogin);
    if (sent == Exchanged::WriteFailed) return kLoginFailWrite;
    if (sent == Exchanged::ReadFailed) return kLoginFailHeader;

    info.cameraCount = 0;
    if (!Accepted(record, kCmdLogin)) return kLoginFailReply;
    const int32_t infoLength = header_.field24;
    const int32_t extraLength = header_.field32;
    const bool extraPresent = extraLength >= 1 && extraLength <= kLoginExtraBlockMax;
    if (infoLength > static_cast<int32_t>(kServerInfoSize)) {
        DrainBlocks(record, {infoLength, extraPresent ? extraLength : 0});
        return kLoginFailReply;
    }
    if (infoLength > 0) {
        uint8_t raw[kServerInfoSize];
        EncodeServerInfo(record.info, raw);
        if (!record.Read(raw, infoLength)) return kLoginFailReply;
        record.info = DecodeServerInfo(raw);
        info = record.info;
    }
    if (extraPresent && !DrainBytes(record, extraLength, scratch_)) return kLoginFailReply;
    record.version = record.clientVersion;
    return header_.field28;
}

int32_t OrvDllWrapperModule::Reconnect(int32_t server) {
    Lock lock(lock_);
    TServerDM* record = Slot(server);
    if (record == nullptr || record->IsConnected() || record->IsConnecting()) return 1;
    record->Stop();
    try {
        record->Start();
    } catch (...) {
        record->state.exchange(Failed);
    }
    return 1;
}

int32_t OrvDllWrapperModule::GetServerState(int32_t& state, int32_t server) {
    Lock lock(lock_);
    const TServerDM* record = Slot(server);
    state = record != nullptr ? record->state.load() : Idle;
    return server;
}

int32_t OrvDllWrapperModule::PollCameraTables(int32_t& changeCount) {
    changeCount = 0;
    int32_t result = 0;
    Lock lock(lock_);
    const int32_t count = serverCount_.load();
    for (int32_t i = 1; i <= count; ++i) {
        TServerDM* record = ConnectedServer(i);
        if (record == nullptr) continue;
        if (Exchange(*record, kCmdPollCameraTables) != Exchanged::Ok) {
            --result;
            continue;
        }
        if (Accepted(*record, kCmdPollCameraTables) && header_.field52 > 0) {
            const int64_t first = header_.field12;
            const int64_t records = header_.field52;
            const int64_t bytes = records * static_cast<int64_t>(kCameraRecordSize);
            if (first < 0 || first + records > kMaxCameras) {
                // The table has 2048 entries: refuse, but keep the stream in step.
                DrainBytes(*record, bytes, scratch_);
                --result;
                continue;
            }
            if (!record->Read(scratch_.Data(), static_cast<int32_t>(bytes))) {
                --result;
                continue;
            }
            for (int64_t r = 0; r < records; ++r) {
                cameraTable_[first + r] = DecodeCameraRecord(scratch_.Data() + r * kCameraRecordSize);
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
    Lock lock(lock_);
    TServerDM* record = OwningServer(camera);
    if (record == nullptr) return -1;
    header_.field12 = camera;
    header_.field24 = a;
    header_.field28 = b;
    header_.field32 = c;
    header_.field36 = d;
    if (Exchange(*record, kCmdCameraEvent) != Exchanged::Ok) return -1;
    return Accepted(*record, kCmdCameraEvent) ? header_.field24 : -1;
}

int32_t OrvDllWrapperModule::SendCameraMode(int32_t camera, uint8_t value) {
    if (!ValidCamera(camera)) return -1;
    Lock lock(lock_);
    TServerDM* record = OwningServer(camera);
    if (record == nullptr) return -1;
    header_.field12 = camera;
    header_.field16 = 0.0;
    header_.field24 = value;
    return Exchange(*record, kCmdCameraMode) == Exchanged::Ok ? 1 : -1;
}

int32_t OrvDllWrapperModule::SendCameraCommand(int32_t camera, int32_t a, int32_t b) {
    if (!ValidCamera(camera)) return -1;
    Lock lock(lock_);
    TServerDM* record = OwningServer(camera);
    if (record == nullptr) return -1;
    header_.field12 = camera;
    header_.field28 = a;
    header_.field32 = b;
    return Exchange(*record, kCmdCameraCommand) == Exchanged::Ok ? header_.field24 : -1;
}

int32_t OrvDllWrapperModule::SendServerEvent(int32_t server, int32_t value) {
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    header_.field24 = 1;
    header_.field28 = value;
    if (Exchange(*record, kCmdServerEvent) != Exchanged::Ok) return -1;
    return Accepted(*record, kCmdServerEvent) ? 1 : -1;
}

int32_t OrvDllWrapperModule::GetServerStatus(int32_t server, uint8_t* buffer, int32_t bufferSize) {
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    header_.field24 = 0;
    header_.field28 = 0;
    header_.field36 = 0;
    if (Exchange(*record, kCmdServerStatus) != Exchanged::Ok) return -1;
    if (!Accepted(*record, kCmdServerStatus)) return header_.magic == MSG_MAGIC ? 1 : -1;
    const int32_t statusLength = header_.field24;
    const int32_t extraLength = header_.field36;
    const size_t capacity = buffer != nullptr ? static_cast<size_t>(std::max(bufferSize, 0)) : 0;
    if ((statusLength > 0 && static_cast<size_t>(statusLength) > capacity) || extraLength > kScratchAreaSize) {
        DrainBlocks(*record, {statusLength, extraLength});
        return -1;
    }
    if (statusLength > 0 && !record->Read(buffer, statusLength)) return -1;
    if (extraLength > 0 && !record->Read(scratch_.Data(), extraLength)) return -1;
    return 1;
}

int32_t OrvDllWrapperModule::QueryServerText(int32_t server, char* text) {
    if (text == nullptr) return -1;
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    header_.field24 = 0;
    if (Exchange(*record, kCmdServerText) != Exchanged::Ok) return -1;
    if (!Accepted(*record, kCmdServerText)) return -1;
    const int32_t announced = header_.field24;
    const int32_t n = std::min(announced, kServerTextMax);
    if (n <= 0 || !record->Read(text, n)) return -1;
    text[n] = '\0';
    // The rest of a long text would otherwise be read as the next reply header.
    if (announced > n && !DrainBytes(*record, announced - n, scratch_)) return -1;
    return header_.field28;
}

int32_t OrvDllWrapperModule::ConsoleShowArchive(int32_t server, int32_t a, int32_t b, double time1, double time2,
                                                uint8_t* buffer, int32_t bufferSize, int32_t value) {
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    header_.field24 = 0;
    header_.field28 = value;
    header_.field32 = a;
    header_.field36 = b;
    header_.field56 = time2;
    header_.field64 = time1;
    if (Exchange(*record, kCmdConsoleShowArchive) != Exchanged::Ok) return -1;
    if (!Accepted(*record, kCmdConsoleShowArchive)) return -1;
    const size_t capacity = buffer != nullptr ? static_cast<size_t>(std::max(bufferSize, 0)) : 0;
    const BlockResult block = ReadPayloadBlock(*record, header_.field24, buffer, capacity, scratch_);
    if (block == BlockResult::Failed || block == BlockResult::TooLarge) return -1;
    return header_.field32;
}

int32_t OrvDllWrapperModule::QueryCameraName(int32_t server, int32_t camera, char* buffer, int32_t& length) {
    const int32_t capacity = buffer != nullptr ? std::max(length, 0) : 0;
    if (!ValidCamera(camera)) return -1;
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    length = 0;
    header_.field12 = camera;
    header_.field16 = 0.0;
    if (Exchange(*record, kCmdCameraName) != Exchanged::Ok) return -1;
    if (!Accepted(*record, kCmdCameraName)) return header_.magic == MSG_MAGIC ? 1 : -1;
    const int32_t nameLength = header_.field24;
    const BlockResult block =
        ReadPayloadBlock(*record, nameLength, reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(capacity),
                         scratch_);
    if (block == BlockResult::Failed || block == BlockResult::TooLarge) return -1;
    if (block == BlockResult::Read) length = nameLength;
    return 1;
}

int32_t OrvDllWrapperModule::SendTelemetryBlock(int32_t server, int32_t camera, int32_t command,
                                                const uint8_t* params) {
    if (params == nullptr || !ValidCamera(camera)) return 0;
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return 0;
    header_.field12 = camera;
    header_.field24 = kTelemetryBlockSize;
    header_.field28 = command;
    if (Exchange(*record, kCmdTelemetryBlock, params, kTelemetryBlockSize) != Exchanged::Ok) return 0;
    return header_.field28;
}

int32_t OrvDllWrapperModule::ConsoleSwitchCamera(int32_t server, int32_t camera) {
    if (!ValidCamera(camera)) return -1;
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    header_.field12 = camera;
    header_.field24 = kTelemetryBlockSize;
    return Exchange(*record, kCmdConsoleSwitchCamera) == Exchanged::Ok ? header_.field28 : -1;
}

int32_t OrvDllWrapperModule::CameraPosition(int32_t server, int32_t camera, TCameraPosition& position) {
    if (!ValidCamera(camera)) return -1;
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    if (record == nullptr) return -1;
    header_.field12 = camera;
    header_.field24 = position.kind;
    if (position.kind == 2) {
        header_.field28 = RoundToInt32(position.x);
        header_.field32 = RoundToInt32(position.y);
        header_.field36 = RoundToInt32(position.z);
        header_.field40 = position.value;
    } else if (position.kind == 3) {
        header_.field28 = RoundToInt32(position.x);
        header_.field32 = RoundToInt32(position.y);
        header_.field56 = position.z;
    }
    if (Exchange(*record, kCmdCameraPosition) != Exchanged::Ok) return -1;
    if (position.kind != 1) return header_.field24;
    position.x = header_.field28;
    position.y = header_.field32;
    position.z = header_.field36;
    position.value = header_.field40;
    return 1;
}

// ---------------------------------------------------------------------------
// Live frames

// Reads the blocks of the returned entries back to back into dst; a total that
// does not fit is drained and refused.
int32_t OrvDllWrapperModule::ReadLiveBlocks(TServerDM& server, const int32_t* lengths, size_t lengthCount,
                                            uint8_t* dst, int64_t capacity) {
    const int64_t total = SumPositive(lengths, lengthCount);
    if (total > capacity || (total > 0 && dst == nullptr)) {
        DrainBytes(server, total, scratch_);
        return -1;
    }
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

int32_t OrvDllWrapperModule::ReadLiveFrames(int32_t server, int32_t& count, TFrameEntry* entries, uint8_t* data,
                                            int32_t dataCapacity, PayloadTarget* target) {
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    const int32_t n = count;
    if (record == nullptr || n < 0 || n > kMaxLiveEntries || (n > 0 && entries == nullptr)) return -1;
    if (RateRefuses(*record)) return -1;

    header_ = TMsgHeader{};
    header_.field16 = NowOleUtc();
    header_.field12 = n;
    header_.field24 = n * static_cast<int32_t>(kFrameEntryShortSize);
    header_.field28 = record->userValue;
    const size_t requestBytes = static_cast<size_t>(n) * kFrameEntryShortSize;
    entryBytes_.Reserve(std::max<size_t>(requestBytes, 1));
    for (int32_t i = 0; i < n; ++i) {
        EncodeFrameEntry(entries[i], entryBytes_.Data() + i * kFrameEntryShortSize, kFrameEntryShortSize);
    }
    count = 0;
    if (Exchange(*record, kCmdLiveFrames, entryBytes_.Data(), requestBytes) != Exchanged::Ok) return -1;
    if (!Accepted(*record, kCmdLiveFrames)) return -1;

    const int32_t blockLength = header_.field24;
    const bool noPayload = header_.field28 == -1;
    if (blockLength > 0) {
        // The entry block must fit the caller's array; its count must be covered
        // by the block, otherwise the lengths of the following blocks are unknown.
        const int64_t inBlock = blockLength / static_cast<int32_t>(kFrameEntryShortSize);
        const int32_t m = header_.field12;
        if (blockLength > kMaxLiveEntries * static_cast<int32_t>(kFrameEntryLongSize) || m < 0 || m > inBlock ||
            m > kMaxLiveEntries) {
            record->MarkOutOfStep();
            return -1;
        }
        entryBytes_.Reserve(static_cast<size_t>(blockLength));
        if (!record->Read(entryBytes_.Data(), blockLength)) return -1;
        int32_t lengths[kMaxLiveEntries * 5];
        size_t lengthCount = 0;
        for (int32_t i = 0; i < m; ++i) {
            const TFrameEntry e = DecodeFrameEntry(entryBytes_.Data() + i * kFrameEntryShortSize, kFrameEntryShortSize);
            for (int32_t len : {e.lead1Length, e.lead2Length, e.payloadLength, e.auxLength, e.trailLength}) {
                lengths[lengthCount++] = len;
            }
        }
        if (m > n) {
            DrainBlocks(*record, {SumPositive(lengths, lengthCount)});
            return -1;
        }
        const int64_t decodable = std::min<int64_t>(inBlock, n);
        for (int64_t i = 0; i < decodable; ++i) {
            DecodeFrameEntryInto(entryBytes_.Data() + i * kFrameEntryShortSize, kFrameEntryShortSize, entries[i]);
        }
        count = m;
        if (TargetTakes(target, lengths, 5, m)) {
            target->used = true;
            if (ReadLiveBlocks(*record, lengths, lengthCount, target->data, target->capacity) != 1) return -1;
        } else if (ReadLiveBlocks(*record, lengths, lengthCount, data, std::max(dataCapacity, 0)) != 1) {
            return -1;
        }
    }
    if (noPayload && n > 0) entries[0].payloadLength = 0;
    if (blockLength > 0 || noPayload) return 1;
    return -1;
}

int32_t OrvDllWrapperModule::ReadLiveFramesEx(int32_t server, int32_t& count, TFrameEntry* entries,
                                              const uint8_t*& data, PayloadTarget* target) {
    Lock lock(lock_);
    TServerDM* record = ConnectedServer(server);
    const int32_t n = count;
    if (record == nullptr || n < 0 || n > kMaxLiveEntries || (n > 0 && entries == nullptr)) return -1;
    if (RateRefuses(*record)) return -1;

    const size_t wireSize = record->version < kLongFrameEntryVersion ? kFrameEntryShortSize : kFrameEntryLongSize;
    header_.field16 = NowOleUtc();
    header_.field12 = n;
    header_.field24 = n * static_cast<int32_t>(wireSize);
    header_.field28 = record->userValue;
    const size_t requestBytes = static_cast<size_t>(n) * wireSize;
    entryBytes_.Reserve(std::max<size_t>(requestBytes, 1));
    for (int32_t i = 0; i < n; ++i) EncodeFrameEntry(entries[i], entryBytes_.Data() + i * wireSize, wireSize);
    if (Exchange(*record, kCmdLiveFrames, entryBytes_.Data(), requestBytes) != Exchanged::Ok) return -1;
    if (!Accepted(*record, kCmdLiveFrames) || header_.field24 <= 0) return -1;

    const bool longReply = header_.version >= kLongFrameEntryVersion;
    const size_t replySize = longReply ? kFrameEntryLongSize : kFrameEntryShortSize;
    const int32_t blockLength = header_.field24;
    const int32_t m = header_.field12;
    const int64_t inBlock = blockLength / static_cast<int64_t>(replySize);
    if (blockLength > kMaxLiveEntries * static_cast<int32_t>(kFrameEntryLongSize) || m < 0 || m > inBlock) {
        count = 0;
        record->MarkOutOfStep();
        return -1;
    }
    entryBytes_.Reserve(static_cast<size_t>(blockLength));
    if (m > n) {
        // More entries than the caller's array holds: read them to learn the block
        // lengths, drop everything and refuse.
        count = 0;
        if (!record->Read(entryBytes_.Data(), blockLength)) return -1;
        int64_t total = 0;
        for (int32_t i = 0; i < m; ++i) {
            int32_t lengths[kFrameEntryBlockCount];
            FrameEntryBlockLengths(DecodeFrameEntry(entryBytes_.Data() + i * replySize, replySize), lengths);
            total += SumPositive(lengths, kFrameEntryBlockCount);
        }
        DrainBytes(*record, total, scratch_);
        return -1;
    }
    count = m;
    if (!record->Read(entryBytes_.Data(), blockLength)) return -1;
    const int64_t decodable = std::min<int64_t>(inBlock, n);
    for (int64_t i = 0; i < decodable; ++i) DecodeFrameEntryInto(entryBytes_.Data() + i * replySize, replySize, entries[i]);

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
        DrainBytes(*record, total, scratch_);
        return -1;
    }
    if (TargetTakes(target, lengths, kFrameEntryBlockCount, m)) {
        target->used = true;
        if (ReadLiveBlocks(*record, lengths, lengthCount, target->data, target->capacity) != 1) return -1;
        data = target->data;
    } else {
        frameData_.Reserve(static_cast<size_t>(total));
        if (ReadLiveBlocks(*record, lengths, lengthCount, frameData_.Data(), total) != 1) return -1;
        data = frameData_.Data();
    }
    // The server's value comes from the wire: saturate rather than overflow.
    return longReply ? static_cast<int32_t>(std::min<int64_t>(int64_t{header_.field52} + 1, INT32_MAX)) : 1;
}

// ---------------------------------------------------------------------------
// Archive channels

int32_t OrvDllWrapperModule::OpenArchiveChannel(int32_t channel) {
    const auto command = ArchiveChannelCommand(channel, kArchiveOpen);
    if (!command) return 0;
    Lock lock(lock_);
    int32_t result = 0;
    for (int32_t i = 1; i <= serverCount_.load(); ++i) {
        TServerDM* record = ConnectedServer(i);
        if (record == nullptr || Exchange(*record, *command) != Exchanged::Ok) continue;
        if (Accepted(*record, *command) && header_.field24 != 0) result = 1;
    }
    return result;
}

int32_t OrvDllWrapperModule::CloseArchiveChannel(int32_t channel) {
    const auto command = ArchiveChannelCommand(channel, kArchiveClose);
    if (!command) return 0;
    Lock lock(lock_);
    int32_t result = 0;
    for (int32_t i = 1; i <= serverCount_.load(); ++i) {
        TServerDM* record = ConnectedServer(i);
        if (record != nullptr && Exchange(*record, *command) == Exchanged::Ok) result = 1;
    }
    return result;
}

int32_t OrvDllWrapperModule::QueryArchiveRange(int32_t channel, double& earliest, double& latest) {
    earliest = kArchiveLatestSentinel;
    latest = kArchiveEarliestSentinel;
    const auto command = ArchiveChannelCommand(channel, kArchiveRange);
    if (!command) return 0;
    Lock lock(lock_);
    int32_t result = 0;
    for (int32_t i = 1; i <= serverCount_.load(); ++i) {
        TServerDM* record = ConnectedServer(i);
        if (record == nullptr) continue;
        header_.field56 = earliest;
        header_.field64 = latest;
        if (Exchange(*record, *command) != Exchanged::Ok || !Accepted(*record, *command)) continue;
        result = 1;
        if (earliest > header_.field56) earliest = header_.field56;
        if (header_.field64 > latest) latest = header_.field64;
    }
    return result;
}

double OrvDllWrapperModule::ArchivePosition(int32_t channel) {
    if (channel < 0 || channel >= kArchiveChannelCount) return 0.0;
    return archivePositions_[channel].load();
}

int32_t OrvDllWrapperModule::SeekArchive(int32_t channel, double time, uint8_t direction) {
    const auto command = ArchiveChannelCommand(channel, kArchiveSeek);
    if (!command) return -1;
    Lock lock(lock_);
    int32_t result = -1;
    const double sentinel = direction != 0 ? kArchiveLatestSentinel : kArchiveEarliestSentinel;
    double best = sentinel;
    for (int32_t i = 1; i <= serverCount_.load(); ++i) {
        TServerDM* record = ConnectedServer(i);
        if (record == nullptr) continue;
        record->archivePos[channel] = sentinel;
        record->archiveFound[channel] = 0;
        header_.field16 = time;
        header_.field28 = direction;
        if (Exchange(*record, *command) != Exchanged::Ok || !Accepted(*record, *command)) continue;
        if (header_.field24 < 0) continue;
        record->archiveFound[channel] = 1;
        record->archivePos[channel] = header_.field16;
        // Strictly nearer only: on equal distance the earlier server keeps it.
        if (std::fabs(time - best) > std::fabs(time - header_.field16)) best = header_.field16;
        result = std::max(result, header_.field24);
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

int32_t OrvDllWrapperModule::ReadArchive(ArchiveRead& r) {
    const auto command = ArchiveChannelCommand(r.channel, r.forward ? kArchiveReadForward : kArchiveReadBackward);
    if (!command || r.cameraMask == nullptr) return -1;
    Lock lock(lock_);
    const int32_t channel = r.channel;

    // The server whose stream is next in time: earliest going forward, latest
    // going backward; on equal positions the lower index wins.
    TServerDM* chosen = nullptr;
    double extreme = r.forward ? kArchiveLatestSentinel : kArchiveEarliestSentinel;
    for (int32_t i = 1; i <= serverCount_.load(); ++i) {
        TServerDM* record = ConnectedServer(i);
        if (record == nullptr || record->archiveFound[channel] == 0) continue;
        const double pos = record->archivePos[channel];
        if (r.forward ? pos < extreme : pos > extreme) {
            extreme = pos;
            chosen = record;
        }
    }
    if (chosen == nullptr) return -1;
    archivePositions_[channel].store(extreme);

    const int32_t first = chosen->info.firstCamera;
    const int32_t cameras = chosen->info.cameraCount;
    if (first < 0 || cameras < 0 || first > kMaxCameras || cameras > kMaxCameras - first) return -1;
    header_.field16 = r.time;
    header_.field24 = cameras;
    header_.field28 = r.requestValue;
    header_.field32 = r.a;
    header_.field36 = r.b;
    header_.field40 = r.payloadLength;
    header_.field44 = r.auxLength;
    if (Exchange(*chosen, *command, r.cameraMask + first, static_cast<size_t>(cameras)) != Exchanged::Ok) return -1;
    if (!Accepted(*chosen, *command)) return -1;

    const int32_t auxBytes = header_.field44;
    const int32_t payloadBytes = header_.field40;
    const bool auxFits = auxBytes <= 0 || (r.aux != nullptr && auxBytes <= r.auxCapacity);
    const bool payloadFits = payloadBytes <= 0 || (r.payload != nullptr && payloadBytes <= r.payloadCapacity);
    if (!auxFits || !payloadFits) {
        DrainBlocks(*chosen, {auxBytes, payloadBytes});
        return -1;
    }
    if (auxBytes > 0 && !chosen->Read(r.aux, auxBytes)) return -1;
    if (payloadBytes > 0 && !chosen->Read(r.payload, payloadBytes)) return -1;

    chosen->archivePos[channel] = header_.field16;
    r.a = header_.field32;
    r.b = header_.field36;
    if (header_.field24 == 0) {
        r.auxLength = 0;
        r.payloadLength = 0;
        chosen->archiveFound[channel] = 0;
        return 1;
    }
    r.auxLength = auxBytes;
    r.payloadLength = payloadBytes;
    r.time = header_.field16;
    const double position = archivePositions_[channel].load();
    if (r.forward && position <= kArchiveEarliestSentinel) {
        archivePositions_[channel].store(header_.field16 - kOleMillisecond);
    } else if (!r.forward && position >= kArchiveLatestSentinel) {
        archivePositions_[channel].store(header_.field16 + kOleMillisecond);
    }
    return 1;
}

}  // namespace orv_stuff
