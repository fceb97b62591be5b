#include "manager/ORVLinker.h"

#include "platform/OleTime.h"
#include "platform/SocketCalls.h"  // inet_addr

#include <algorithm>
#include <cctype>
#include <cstring>

#include "manager/SubscriptionRegistry.h"
#include "platform/BoundedLock.h"
#include "protocol/OrvDllWrapperModule.h"

namespace {

constexpr int32_t kStateIdle = 0;
constexpr int32_t kStateConnecting = 1;
constexpr int32_t kStateConnected = 3;
constexpr int32_t kArchiveChannelZero = 0;
constexpr int kNameBufferSize = 128;
constexpr int kStatusBlockSize = ServerRecord::kCameraSlots * ServerRecord::kStatusEntrySize;

bool IsConnecting(int32_t state) { return state == kStateIdle || state == kStateConnecting; }

std::string Lower(const std::string& text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The server chooses between a name lookup and a literal address the same way
// the system's address parser does (inet_addr accepts the classic dotted forms).
bool IsDottedIpv4(const std::string& address) {
    return !address.empty() && inet_addr(address.c_str()) != INADDR_NONE;
}


}  // namespace

ORVLinker::ORVLinker() : ORVLinker(&ORVLinker::MakeDefaultModule, ManagerOptions{}) {}

ORVLinker::ORVLinker(const ModuleFactory& moduleFactory, ManagerOptions options) : options_(options) {
    subscriptions_ = std::make_unique<SubscriptionRegistry>();  // mode 1, direction 1, rate 25
    frameStorage_ =
        std::make_unique<processing::MPEG4FrameStorage>(processing::DecodeThreadPool::DefaultThreadCount());
    if (moduleFactory) {
        module_ = moduleFactory();
    }
    if (module_) {
        module_->Startup();
        moduleReady_ = module_->IsReady();
        if (moduleReady_) {
            subscriptions_->Attach(module_.get(), this);
            versionedAdd_ = module_->SupportsExtended();
        }
    }
    stop_.Reset();
    worker_ = std::thread([this] { WorkerMain(); });
    ClearHasSentVideoAll();
}

ORVLinker::~ORVLinker() {
    // First: its delivery threads call back into this object.
    if (subscriptions_) {
        subscriptions_->Stop();
    }
    subscriptions_.reset();
    stop_.Set();
    if (worker_.joinable()) {
        // The worker checks the signal after every camera and server, so a pass ends
        // within one protocol exchange (bounded by the 10 s socket time-outs). It is
        // joined, never abandoned: a detached worker would outlive this object.
        worker_.join();
    }
    autoConnect_.store(0);
    {
        std::lock_guard lock(serverLock_);
        DropServersLocked();
        servers_.clear();
        serverCount_.store(0);
    }
    frameStorage_.reset();
    module_.reset();
    frameStates_.clear();
}

std::unique_ptr<orv_stuff::IOrvModule> ORVLinker::MakeDefaultModule() {
    return std::make_unique<orv_stuff::OrvDllWrapperModule>();
}

// ---------------------------------------------------------------------------
// Registry

bool ORVLinker::IsModuleReady() { return moduleReady_; }

int32_t ORVLinker::AddServer(const std::string& address, int32_t rateLimit, int32_t port, int32_t userValue,
                             const std::string& password, int32_t& serverNumber, bool allowDuplicate) {
    std::lock_guard lock(serverLock_);
    if (!allowDuplicate) {
        const std::string wanted = Lower(address);
        // The stored port has its default applied while the new one is compared as
        // given, so two adds with port 0 are not duplicates of each other.
        for (const auto& server : servers_) {
            if (server.port == port && Lower(server.address) == wanted) {
                return orv_result::kDuplicate;
            }
        }
    }
    if (static_cast<int32_t>(servers_.size()) >= kMaxServers) {
        return orv_result::kFailed;
    }
    ServerRecord record;
    record.password = password;
    record.address = address;
    record.port = port >= 1 ? port : kDefaultPort;
    record.rateLimit = rateLimit >= 1 ? rateLimit : kDefaultRateLimit;
    record.userValue = userValue;
    servers_.push_back(std::move(record));
    serverNumber = static_cast<int32_t>(servers_.size());
    serverCount_.store(serverNumber);
    return 0;
}

void ORVLinker::DropServersLocked() {
    registryEpoch_.fetch_add(1);
    if (moduleReady_ && module_ && !servers_.empty()) {
        module_->DropAllServers();
    }
}

int32_t ORVLinker::DeleteAllServers() {
    autoConnect_.store(0);
    std::lock_guard lock(serverLock_);
    DropServersLocked();
    servers_.clear();
    serverCount_.store(0);
    return 0;
}

int32_t ORVLinker::DisconnectAll() {
    autoConnect_.store(0);
    std::lock_guard lock(serverLock_);
    DropServersLocked();
    for (auto& server : servers_) {
        server.handle = 0;
        server.camerasKnown = false;
        server.state = kStateIdle;
    }
    ClearHasSentVideoAll();
    return 0;
}

int32_t ORVLinker::ConnectAll() {
    {
        std::lock_guard lock(serverLock_);
        for (auto& server : servers_) {
            if (server.handle < 1 && server.state == kStateIdle) {
                server.state = kStateConnecting;
            }
        }
        RegisterPending();  // starts connects on threads of their own; no exchange
    }
    AwaitConnections();
    autoConnect_.store(1);
    return 0;
}

void ORVLinker::RegisterPending() {
    if (!moduleReady_ || !module_) {
        return;
    }
    for (auto& server : servers_) {
        if (server.handle >= 1) {
            continue;
        }
        const bool literal = IsDottedIpv4(server.address);
        const std::string hostName = literal ? std::string() : server.address;
        const std::string hostAddress = literal ? server.address : std::string();
        const int32_t handle =
            versionedAdd_ ? module_->RegisterServerEx(hostName, hostAddress, server.port, server.rateLimit,
                                                      server.userValue, orv_stuff::kClientVersion)
                          : module_->RegisterServer(hostName, hostAddress, server.port, server.rateLimit,
                                                    server.userValue);
        if (handle > 0) {
            server.loginKey = orv_stuff::NormalizeLoginKey(server.password);
            server.handle = handle;
        }
    }
}

// What the manager needs to visit one server without holding the registry lock.
struct ORVLinker::Visit {
    size_t position = 0;
    int32_t handle = 0;
    bool camerasKnown = false;
    std::string loginKey;
};

std::vector<ORVLinker::Visit> ORVLinker::SnapshotServers(uint64_t& epoch) {
    std::vector<Visit> visits;
    std::lock_guard lock(serverLock_);
    epoch = registryEpoch_.load();
    for (size_t i = 0; i < servers_.size(); ++i) {
        visits.push_back({i, servers_[i].handle, servers_[i].camerasKnown, servers_[i].loginKey});
    }
    return visits;
}

ServerRecord* ORVLinker::RecordOf(size_t position, int32_t handle, uint64_t epoch) {
    if (registryEpoch_.load() != epoch || position >= servers_.size() || servers_[position].handle != handle) {
        return nullptr;
    }
    return &servers_[position];
}

// One poll budget for the whole call, so unreachable servers cannot hold the
// caller much longer than the budget in total. The registry lock is taken only
// to store what was learned.
void ORVLinker::AwaitConnections() {
    if (!moduleReady_ || !module_) {
        return;
    }
    int budget = options_.connectPollBudget;
    uint64_t epoch = 0;
    for (const Visit& visit : SnapshotServers(epoch)) {
        if (visit.handle <= 0) {
            continue;
        }
        for (;;) {
            int32_t state = kStateIdle;
            module_->GetServerState(state, visit.handle);
            if (state == kStateConnected) {
                LoadedList list = FetchCameraList(visit.handle, visit.loginKey);
                OpenArchiveAfterConnect();
                StoreCameraList(visit.position, visit.handle, epoch, std::move(list));
                break;
            }
            {
                std::lock_guard lock(serverLock_);
                if (ServerRecord* server = RecordOf(visit.position, visit.handle, epoch)) {
                    server->state = state;
                }
            }
            if (!IsConnecting(state) || budget <= 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            --budget;
        }
    }
}

void ORVLinker::OpenArchiveAfterConnect() {
    module_->OpenArchiveChannel(kArchiveChannelZero);
    double begin = 0.0;
    double end = 0.0;
    module_->QueryArchiveRange(kArchiveChannelZero, begin, end);
}

// The login and the camera names: exchanges with one server, no manager lock held.
ORVLinker::LoadedList ORVLinker::FetchCameraList(int32_t handle, const std::string& loginKey) {
    LoadedList list;
    char key[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    std::memcpy(key, loginKey.data(), std::min<size_t>(loginKey.size(), sizeof key));
    if (module_->Login(list.info, key, handle) < 0) {
        list.info = orv_stuff::TServerInfo{};  // a failed login shows no cameras until the next load
    }
    const int32_t count = std::clamp(list.info.cameraCount, 0, ServerRecord::kCameraSlots);
    for (int32_t c = 0; c < count; ++c) {
        char buffer[kNameBufferSize] = {};
        int32_t length = kNameBufferSize;
        const int32_t result = module_->QueryCameraName(handle, list.info.firstCamera + c, buffer, length);
        if (result < 1 || length < 1) {
            list.names.emplace_back(" ");
            continue;
        }
        const size_t limit = std::min<size_t>(static_cast<size_t>(length), sizeof buffer);
        list.names.emplace_back(buffer, strnlen(buffer, limit));
    }
    return list;
}

void ORVLinker::StoreCameraList(size_t position, int32_t handle, uint64_t epoch, LoadedList list) {
    std::lock_guard lock(serverLock_);
    ServerRecord* server = RecordOf(position, handle, epoch);
    if (server == nullptr) {
        return;  // dropped or reset meanwhile
    }
    server->serverInfo = list.info;
    server->camerasKnown = true;
    server->cameraNames = std::move(list.names);
    server->state = kStateConnected;
    ClearHasSentVideo(list.info.firstCamera, CameraCount(*server));
}

void ORVLinker::ClearHasSentVideo(int32_t firstIndex, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const int64_t index = static_cast<int64_t>(firstIndex) + i;
        if (orv_camera::ValidIndex(index)) {
            hasSentVideo_[static_cast<size_t>(index)].store(0, std::memory_order_relaxed);
        }
    }
}

void ORVLinker::ClearHasSentVideoAll() { ClearHasSentVideo(0, orv_camera::kCount); }

// A server may claim more cameras than a record holds; only the first 128 of its
// range are served, so a hostile count can neither overrun the per-camera areas nor
// make the manager ask for billions of names.
int32_t ORVLinker::CameraCount(const ServerRecord& server) {
    return std::clamp(server.serverInfo.cameraCount, 0, ServerRecord::kCameraSlots);
}

int32_t ORVLinker::SlotOf(const ServerRecord& server, int32_t index) {
    const int64_t slot = static_cast<int64_t>(index) - server.serverInfo.firstCamera;
    if (slot < 0 || slot >= ServerRecord::kCameraSlots) {
        return -1;
    }
    return static_cast<int32_t>(slot);
}

bool ORVLinker::IsActiveSlot(const ServerRecord& server, int32_t slot) {
    return slot >= 0 && server.serverInfo.activeFlags[slot] != 0;
}

ServerRecord* ORVLinker::FindCamera(int32_t index) {
    for (auto& server : servers_) {
        const auto& info = server.serverInfo;
        if (!server.camerasKnown || info.cameraCount <= 0) {
            continue;
        }
        if (info.firstCamera <= index && index <= info.lastCamera && SlotOf(server, index) >= 0) {
            return &server;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Readers

int32_t ORVLinker::GetServerCount() { return serverCount_.load(); }

int32_t ORVLinker::GetServers(std::vector<ServerInfo>& servers) {
    servers.clear();
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    for (const auto& server : servers_) {
        ServerInfo entry;
        entry.handle = server.handle;
        entry.address = server.address;
        entry.password = server.password;
        entry.port = server.port;
        entry.state = server.state;
        const auto& info = server.serverInfo;
        if (server.camerasKnown && server.state == kStateConnected && info.cameraCount > 0) {
            entry.firstCamera = info.firstCamera + 1;
            entry.lastCamera = info.lastCamera + 1;
            entry.cameraCount = info.cameraCount;
        }
        servers.push_back(std::move(entry));
    }
    return 0;
}

int32_t ORVLinker::GetCameraRanges(std::vector<CameraRange>& ranges) {
    ranges.clear();
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    for (const auto& server : servers_) {
        if (!server.camerasKnown) {
            continue;
        }
        const auto& info = server.serverInfo;
        ranges.push_back({server.handle, info.firstCamera + 1, info.lastCamera + 1, info.cameraCount});
    }
    return 0;
}

int32_t ORVLinker::IsCameraServerConnected(int32_t camera, bool& connected) {
    connected = false;
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    const int32_t index = orv_camera::IndexOf(camera);
    if (!orv_camera::ValidIndex(index)) {
        return 0;
    }
    const ServerRecord* server = FindCamera(index);
    connected = server != nullptr && server->handle > 0;
    return 0;
}

int32_t ORVLinker::IsCameraOnline(int32_t camera, bool& online) {
    online = false;
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    if (!orv_camera::ValidNumber(camera)) {
        return 0;
    }
    const int32_t index = orv_camera::IndexOf(camera);
    const ServerRecord* server = FindCamera(index);
    if (server != nullptr && server->handle > 0) {
        online = IsActiveSlot(*server, SlotOf(*server, index));
    }
    return 0;
}

CameraInfo ORVLinker::MakeCameraInfo(const ServerRecord& server, int32_t index) const {
    CameraInfo info;
    info.camera = index + 1;
    info.serverHandle = server.handle;
    const int32_t slot = SlotOf(server, index);
    if (slot < 0) {
        return info;
    }
    info.active = IsActiveSlot(server, slot);
    const uint8_t* entry = server.statusBlock.data() + slot * ServerRecord::kStatusEntrySize;
    const orv_stuff::TCameraStatus status = orv_stuff::DecodeCameraStatus(entry);
    std::memcpy(info.status.bytes.data(), status.bytes, sizeof status.bytes);
    info.status.value1 = status.value1;
    std::memcpy(info.status.bytes2.data(), status.reserved6, sizeof status.reserved6);
    info.status.value2 = status.value2;
    std::memcpy(info.status.bytes3.data(), status.reserved10, sizeof status.reserved10);
    const auto& record = server.cameraRecords[static_cast<size_t>(slot)];
    info.recordByte = record.active;
    info.recordValue1 = record.value1;
    info.recordValue2 = record.value2;
    info.recordValue3 = record.value3;
    std::memcpy(info.recordTime.data(), record.time, sizeof record.time);
    std::memcpy(info.recordValue4.data(), record.value4, sizeof record.value4);
    info.flagA = record.flagA != 0;
    info.flagB = record.flagB == 0;
    return info;
}

int32_t ORVLinker::GetCameraInfo(int32_t camera, CameraInfo& info) {
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    const ServerRecord* server = FindCamera(camera - 1);
    if (server == nullptr) {
        return orv_result::kUnknownCamera;
    }
    info = MakeCameraInfo(*server, camera - 1);
    return 0;
}

int32_t ORVLinker::GetAllCameraInfo(std::vector<CameraInfo>& infos) {
    infos.clear();
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    for (const auto& server : servers_) {
        if (!server.camerasKnown) {
            continue;
        }
        const int32_t count = CameraCount(server);
        for (int32_t k = 0; k < count; ++k) {
            infos.push_back(MakeCameraInfo(server, server.serverInfo.firstCamera + k));
        }
    }
    return 0;
}

int32_t ORVLinker::GetCameraName(int32_t camera, std::string& name) {
    name.clear();
    if (!orv_camera::ValidNumber(camera)) {
        return orv_result::kInvalidArgument;
    }
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    const int32_t index = orv_camera::IndexOf(camera);
    for (const auto& server : servers_) {
        const auto& info = server.serverInfo;
        if (!server.camerasKnown || info.cameraCount <= 0 || index < info.firstCamera || index > info.lastCamera) {
            continue;
        }
        const int32_t slot = SlotOf(server, index);
        if (slot >= 0 && static_cast<size_t>(slot) < server.cameraNames.size()) {
            name = server.cameraNames[static_cast<size_t>(slot)];
            return 0;
        }
    }
    return orv_result::kFailed;
}

int32_t ORVLinker::GetAllCameraNames(std::vector<std::pair<int32_t, std::string>>& names) {
    names.clear();
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    for (const auto& server : servers_) {
        if (!server.camerasKnown ||
            static_cast<int64_t>(server.cameraNames.size()) != server.serverInfo.cameraCount) {
            continue;
        }
        for (size_t k = 0; k < server.cameraNames.size(); ++k) {
            names.emplace_back(server.serverInfo.firstCamera + static_cast<int32_t>(k) + 1, server.cameraNames[k]);
        }
    }
    return 0;
}

int32_t ORVLinker::GetCameraServer(int32_t camera, std::string& address, std::string& password, int32_t& port,
                                   int32_t& rateLimit) {
    std::lock_guard lock(serverLock_);
    const ServerRecord* server = FindCamera(camera - 1);
    if (server == nullptr) {
        return orv_result::kFailed;
    }
    address = server->address;
    password = server->password;
    port = server->port;
    rateLimit = server->rateLimit;
    return 0;
}

int32_t ORVLinker::GetCameraServerHandle(int32_t camera, int32_t& handle) {
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kFailed;
    }
    const int32_t index = orv_camera::IndexOf(camera);
    if (!orv_camera::ValidIndex(index)) {
        return orv_result::kFailed;
    }
    const ServerRecord* server = FindCamera(index);
    if (server == nullptr || server->handle <= 0) {
        return orv_result::kFailed;
    }
    handle = server->handle;
    return 0;
}

// ---------------------------------------------------------------------------
// Worker thread

void ORVLinker::WorkerMain() {
    std::array<int, kMaxServers> failures{};  // consecutive failing passes per server position
    int64_t passCount = 0;
    while (!stop_.WaitFor(options_.workerPeriod)) {
        WorkerPass(failures, passCount);
    }
}

void ORVLinker::WorkerPass(std::array<int, kMaxServers>& failures, int64_t& passCount) {
    if (!module_ || !moduleReady_ || autoConnect_.load() != 1) {
        return;
    }
    TrimFrameStorage();
    ++passCount;
    if (passCount % 2 == 0) {
        return;  // the tables are refreshed every second pass
    }
    int32_t changes = 0;
    module_->PollCameraTables(changes);
    if (stop_.IsSet()) {
        return;
    }
    RefreshCameraData();
    if (stop_.IsSet()) {
        return;
    }
    PollServerStates(failures);
    workerPasses_.fetch_add(1);
}

// Live decoders nobody asks for any more are dropped; when no live request came for
// a second the whole live list goes, so an abandoned stream stops decoding.
void ORVLinker::TrimFrameStorage() {
    if (!frameStorage_) {
        return;
    }
    frameStorage_->SweepIdleProcessors();
    constexpr double kOneSecond = platform::OleDaysFromSeconds(1.0);
    if (orv_stuff::NowOleUtc() - lastLiveRequest_.load() > kOneSecond) {
        frameStorage_->ClearLive();
    }
}

// Status blocks and camera records: one server at a time, the exchange under that
// server's connection lock only, the result stored under the registry lock.
void ORVLinker::RefreshCameraData() {
    uint64_t epoch = 0;
    for (const Visit& visit : SnapshotServers(epoch)) {
        if (!visit.camerasKnown) {
            continue;
        }
        std::array<uint8_t, kStatusBlockSize> block{};
        if (module_->GetServerStatus(visit.handle, block.data(), kStatusBlockSize) < 1) {
            continue;
        }
        int32_t first = 0;
        int32_t count = 0;
        {
            std::lock_guard lock(serverLock_);
            ServerRecord* server = RecordOf(visit.position, visit.handle, epoch);
            if (server == nullptr || !server->camerasKnown) {
                continue;
            }
            server->statusBlock = block;
            first = server->serverInfo.firstCamera;
            count = server->serverInfo.cameraCount;
        }
        if (count < 0 || count > ServerRecord::kCameraSlots || first < 0 || first >= orv_camera::kCount) {
            continue;
        }
        std::vector<std::pair<int32_t, orv_stuff::TCameraRecord>> records;
        for (int32_t i = 0; i < count; ++i) {
            orv_stuff::TCameraRecord record{};
            if (module_->GetCameraRecord(first + i, record) >= 1) {
                records.emplace_back(i, record);
            }
            if (stop_.IsSet()) {
                return;
            }
        }
        std::lock_guard lock(serverLock_);
        ServerRecord* server = RecordOf(visit.position, visit.handle, epoch);
        if (server == nullptr || server->serverInfo.firstCamera != first) {
            continue;
        }
        for (const auto& [i, record] : records) {
            server->recordFresh[static_cast<size_t>(i)] = 0;
            server->cameraRecords[static_cast<size_t>(i)] = record;
        }
    }
}

void ORVLinker::PollServerStates(std::array<int, kMaxServers>& failures) {
    uint64_t epoch = 0;
    for (const Visit& visit : SnapshotServers(epoch)) {
        const size_t i = visit.position;
        if (i >= failures.size()) {
            break;
        }
        if (visit.handle == 0) {
            continue;
        }
        int32_t state = kStateIdle;
        module_->GetServerState(state, visit.handle);
        if (state == kStateConnected) {
            failures[i] = 0;
            if (!visit.camerasKnown) {
                LoadedList list = FetchCameraList(visit.handle, visit.loginKey);
                OpenArchiveAfterConnect();
                StoreCameraList(i, visit.handle, epoch, std::move(list));
            } else {
                std::lock_guard lock(serverLock_);
                if (ServerRecord* server = RecordOf(i, visit.handle, epoch)) {
                    server->state = state;
                }
            }
        } else {
            {
                std::lock_guard lock(serverLock_);
                if (ServerRecord* server = RecordOf(i, visit.handle, epoch)) {
                    server->state = state;
                    server->camerasKnown = false;
                }
            }
            if (!IsConnecting(state) && ++failures[i] >= 2) {
                module_->Reconnect(visit.handle);
                failures[i] = 0;
            }
        }
        if (stop_.IsSet()) {
            return;
        }
    }
}
