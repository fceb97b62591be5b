#include "sim/ServerCore.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "sim/Cp1251.h"
#include "sim/Plates.h"

namespace orv_sim {

using orv_stuff::TMsgHeader;

namespace {

constexpr size_t kJournalLimit = 10'000;
constexpr int32_t kMaxRequestLength = 1 << 20;  // far above any request the client builds
constexpr int32_t kNoFrameFlag = 0x40000000;
constexpr int32_t kFirstCameraOnlyFlag = 0x40000000;
constexpr int32_t kOversizedLength = 0x40000000;  // 1 GiB: beyond every bound a client may accept
constexpr size_t kStatusEntrySize = 12;
constexpr size_t kStatusBlockSize = 128 * kStatusEntrySize;
constexpr int64_t kPlateBacklogMs = 60'000;
constexpr size_t kMaxConnections = 256;

int64_t OleToMs(double ole) {
    if (!std::isfinite(ole)) return 0;
    const double ms = (ole - orv_stuff::kOleUnixEpoch) * static_cast<double>(orv_stuff::kMsPerDay);
    return static_cast<int64_t>(std::llround(std::clamp(ms, -9.0e15, 9.0e15)));
}

double MsToOle(int64_t ms) {
    return orv_stuff::OleFromUnixMs(ms);
}

// Concatenation without the temporaries of operator+ chains.
std::string Join(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts) out.append(part);
    return out;
}

TMsgHeader ReplyHeader(const TMsgHeader& request) {
    TMsgHeader h;
    h.magic = orv_stuff::MSG_MAGIC;
    h.command = request.command;
    h.version = request.version;
    return h;
}

int ChannelOfCode(uint8_t code) {
    for (int c = 0; c < orv_stuff::kArchiveChannelCount; ++c) {
        if (orv_stuff::kArchiveChannelCodes[c] == code) return c;
    }
    return -1;
}

int KindCode(CameraKind kind) {
    return static_cast<int>(kind);
}

bool KeyBefore(int64_t t1, int c1, int64_t t2, int c2) {
    return t1 < t2 || (t1 == t2 && c1 < c2);
}

// Sets the length fields a client reads for a command to a size no sane
// client should accept.
void Oversize(TMsgHeader& h) {
    const uint16_t function = h.command & 0xFF;
    const bool archiveRead = h.command >= 0x100 && (function == orv_stuff::kArchiveReadForward ||
                                                    function == orv_stuff::kArchiveReadBackward);
    if (archiveRead) {
        h.field40 = kOversizedLength;
        h.field44 = kOversizedLength;
        return;
    }
    switch (h.command) {
        case orv_stuff::kCmdPollCameraTables:
            h.field52 = kOversizedLength / 40;
            break;
        case orv_stuff::kCmdServerStatus:
            h.field36 = kOversizedLength;
            h.field24 = kOversizedLength;
            break;
        case orv_stuff::kCmdLogin:
            h.field32 = kOversizedLength;
            h.field24 = kOversizedLength;
            break;
        default:
            h.field24 = kOversizedLength;
            break;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Reply

void Reply::AddOwned(const uint8_t* data, size_t size) {
    if (size == 0) return;
    segments.push_back(Segment{nullptr, own.size(), size});
    own.insert(own.end(), data, data + size);
}

void Reply::AddShared(const SharedBytes& bytes) {
    if (!bytes || bytes->empty()) return;
    segments.push_back(Segment{bytes, 0, bytes->size()});
}

size_t Reply::PayloadSize() const {
    size_t total = 0;
    for (const Segment& s : segments) total += s.size;
    return total;
}

// ---------------------------------------------------------------------------
// Life cycle

ServerCore::ServerCore(const ServerConfig& config, int firstCamera, const SimulatorOptions& options)
    : config_(config), firstCamera_(firstCamera), options_(options), faults_(config.faults) {
    const int64_t now = NowMs();
    const auto spanMs = static_cast<int64_t>(std::max(1.0, config.archiveSeconds) * 1000.0);
    originMs_ = (now - spanMs) / 1000 * 1000;  // whole seconds keep frame times readable
    if (!config.password.empty()) loginKey_ = orv_stuff::NormalizeLoginKey(Utf8ToCp1251(config.password));
    loginKey_.resize(loginKey_.empty() ? 0 : 8, ' ');
    for (size_t i = 0; i < config.cameras.size(); ++i) {
        cameras_.push_back(std::make_unique<SimCamera>(firstCamera + static_cast<int>(i),
                                                       Sanitised(config.cameras[i]), originMs_));
    }
}

ServerCore::~ServerCore() {
    Stop();
}

void ServerCore::Start() {
    if (!wake_.Open()) throw std::runtime_error("cannot create a wake-up channel");
    port_ = config_.port;
    if (!OpenListener()) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(config_.port) + ": " +
                                 net::ErrorText(net::LastError()));
    }
    started_ = true;
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void ServerCore::Stop() {
    if (!started_.exchange(false)) return;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    WakeAcceptor();
    if (acceptor_.joinable()) acceptor_.join();
    CloseListener();
    DropConnections();
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections.swap(connections_);
    }
    for (auto& c : connections) {
        if (c->thread.joinable()) c->thread.join();
    }
    wake_.Close();
}

int64_t ServerCore::NowMs() const {
    if (options_.clockMs) return options_.clockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void ServerCore::Log(const std::string& line) const {
    if (options_.log) options_.log(Join({"[", std::to_string(port_), "] ", line}));
}

SimCamera* ServerCore::Camera(int cameraIndex) const {
    const int offset = cameraIndex - firstCamera_;
    if (offset < 0 || offset >= CameraCount()) return nullptr;
    return cameras_[static_cast<size_t>(offset)].get();
}

bool ServerCore::Serves(const Session& session, int cameraIndex) const {
    const SimCamera* camera = Camera(cameraIndex);
    return session.authenticated && camera != nullptr && camera->Active();
}

Session ServerCore::NewSession() const {
    Session s;
    s.authenticated = loginKey_.empty();
    s.plateAfterMs = NowMs();
    return s;
}

// ---------------------------------------------------------------------------
// Sockets

bool ServerCore::OpenListener() {
    // The port is learnt once, before the acceptor runs; reopening binds the same one.
    const int fd = net::ListenLoopback(port_);
    if (fd < 0) return false;
    listenFd_ = fd;
    return true;
}

void ServerCore::CloseListener() {
    if (listenFd_ >= 0) net::Close(listenFd_);
    listenFd_ = -1;
}

void ServerCore::WakeAcceptor() { wake_.Signal(); }

void ServerCore::Restart() {
    Log("fault: restarting");
    CloseListener();
    DropConnections();
    SleepUnlessStopped(kRestartPauseMs);
}

void ServerCore::AcceptLoop() {
    using Clock = std::chrono::steady_clock;
    auto nextRestart = Clock::time_point::max();
    int restartEvery = 0;
    while (!stop_) {
        const FaultConfig faults = Faults();
        const bool refuse = faults.refuseConnections;
        if (faults.restartEveryMs != restartEvery) {
            restartEvery = faults.restartEveryMs;
            nextRestart = restartEvery > 0 ? Clock::now() + std::chrono::milliseconds(restartEvery)
                                           : Clock::time_point::max();
        }
        if (restartEvery > 0 && Clock::now() >= nextRestart) {
            Restart();
            nextRestart = Clock::now() + std::chrono::milliseconds(restartEvery);
            if (stop_) break;
        }
        if (refuse && listenFd_ >= 0) {
            CloseListener();
            Log("fault: refusing connections");
        }
        bool retry = false;
        if (!refuse && listenFd_ < 0) {
            retry = !OpenListener();
            if (!retry) Log("listening again");
        }
        pollfd fds[2]{};
        fds[0].fd = wake_.ReadHandle();
        fds[0].events = POLLIN;
        fds[1].fd = listenFd_;
        fds[1].events = POLLIN;
        const net::PollCount count = listenFd_ >= 0 ? 2 : 1;
        int timeoutMs = retry ? 100 : -1;
        if (restartEvery > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextRestart - Clock::now()).count();
            const int wait = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
            timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
        }
        if (net::Poll(fds, count, timeoutMs) < 0 && !net::Interrupted(net::LastError())) break;
        if ((fds[0].revents & POLLIN) != 0) wake_.Drain();
        ReapConnections();
        if (count < 2 || (fds[1].revents & POLLIN) == 0 || stop_) continue;
        const int fd = net::Accept(listenFd_);
        if (fd < 0) continue;
        if (!StartConnection(fd)) {
            net::Close(fd);
            Log("connection refused: too many connections or no thread");
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            ++journal_.connectionsAccepted;
        }
        Log("connection accepted");
    }
}

bool ServerCore::StartConnection(int fd) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    if (connections_.size() >= kMaxConnections) return false;
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    Connection* raw = connection.get();
    try {
        raw->thread = std::thread([this, raw] { Serve(raw); });
    } catch (const std::system_error&) {
        return false;
    }
    connections_.push_back(std::move(connection));
    return true;
}

void ServerCore::ReapConnections() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) {
        if (c->thread.joinable()) c->thread.join();
    }
}

void ServerCore::DropConnections() {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& c : connections_) {
        if (c->fd >= 0) net::ShutdownBoth(c->fd);
    }
}

int ServerCore::OpenConnections() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return static_cast<int>(
        std::count_if(connections_.begin(), connections_.end(), [](const auto& c) { return !c->done; }));
}

namespace {

bool RecvExact(int fd, uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        const long n = net::Receive(fd, data + got, size - got);
        if (n < 0 && net::Interrupted(net::LastError())) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void ServerCore::Serve(Connection* connection) {
    try {
        Converse(connection->fd);
    } catch (const std::exception& e) {
        Log(std::string("connection ended by an error: ") + e.what());
    }
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    net::Close(connection->fd);
    connection->fd = -1;
    connection->done = true;
    WakeAcceptor();  // lets the acceptor join this thread
}

void ServerCore::Converse(int fd) {
    Session session = NewSession();
    std::vector<uint8_t> payload;
    uint8_t headerBytes[orv_stuff::kHeaderSize];
    while (!stop_) {
        if (!RecvExact(fd, headerBytes, sizeof headerBytes)) return;
        const TMsgHeader request = orv_stuff::DecodeHeader(headerBytes);
        if (request.magic != orv_stuff::MSG_MAGIC) {
            Log("request without magic; closing");
            return;
        }
        if (request.length < static_cast<int32_t>(orv_stuff::kHeaderSize) ||
            request.length > kMaxRequestLength) {
            Log("request length " + std::to_string(request.length) + " out of range; closing");
            return;
        }
        payload.resize(static_cast<size_t>(request.length) - orv_stuff::kHeaderSize);
        if (!payload.empty() && !RecvExact(fd, payload.data(), payload.size())) return;
        ++session.requests;
        Record(&Journal::requests, request);

        const FaultConfig faults = Faults();
        if (faults.closeAfterRequests > 0 && session.requests > faults.closeAfterRequests) {
            Log("fault: closing after " + std::to_string(faults.closeAfterRequests) + " requests");
            return;
        }
        Reply reply = Handle(session, request, payload);
        if (!SendReply(fd, reply, faults, session.requests)) return;
    }
}

bool ServerCore::SleepUnlessStopped(int ms) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

bool ServerCore::SendRange(int fd, const std::vector<std::pair<const uint8_t*, size_t>>& pieces, size_t limit,
                           size_t chunk, int delayMs) {
    size_t sent = 0;
    std::vector<std::pair<const uint8_t*, size_t>> window;
    while (sent < limit) {
        const size_t want = chunk > 0 ? std::min(chunk, limit - sent) : limit - sent;
        window.clear();
        size_t skip = sent;
        size_t left = want;
        for (const auto& [data, size] : pieces) {
            if (left == 0) break;
            if (skip >= size) {
                skip -= size;
                continue;
            }
            const size_t take = std::min(size - skip, left);
            window.emplace_back(data + skip, take);
            left -= take;
            skip = 0;
        }
        const long n = net::SendGathered(fd, window);
        if (n < 0 && net::Interrupted(net::LastError())) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
        if (chunk > 0 && delayMs > 0 && sent < limit && !SleepUnlessStopped(delayMs)) return false;
    }
    return true;
}

bool ServerCore::SendReply(int fd, Reply& reply, const FaultConfig& faults, int requestNumber) {
    const bool applies = faults.onlyCommand == 0 || faults.onlyCommand == reply.header.command;
    if (applies && faults.silent) return true;
    if (applies && faults.wrongMagic) reply.header.magic = orv_stuff::MSG_MAGIC ^ 0x00FF0000u;
    if (applies && faults.oversizedLengths) Oversize(reply.header);
    const size_t payloadSize = reply.PayloadSize();
    reply.header.length = static_cast<int32_t>(orv_stuff::kHeaderSize + payloadSize);
    uint8_t headerBytes[orv_stuff::kHeaderSize];
    orv_stuff::EncodeHeader(reply.header, headerBytes);

    std::vector<std::pair<const uint8_t*, size_t>> pieces;
    pieces.emplace_back(headerBytes, sizeof headerBytes);
    for (const Reply::Segment& s : reply.segments) {
        pieces.emplace_back(s.shared ? s.shared->data() : reply.own.data() + s.offset, s.size);
    }
    const size_t total = orv_stuff::kHeaderSize + payloadSize;
    const bool truncate = applies && faults.truncateReply > 0 && faults.truncateReply == requestNumber;
    const size_t limit = truncate ? total / 2 : total;
    const size_t chunk =
        applies && faults.slowChunkBytes > 0 ? static_cast<size_t>(faults.slowChunkBytes) : 0;
    const bool ok = SendRange(fd, pieces, limit, chunk, applies ? faults.slowDelayMs : 0);
    if (truncate) {
        Log("fault: reply to request " + std::to_string(requestNumber) + " cut after " +
            std::to_string(limit) + " of " + std::to_string(total) + " bytes");
        return false;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Inspection and control

void ServerCore::SetFaults(const FaultConfig& faults) {
    {
        std::lock_guard<std::mutex> lock(faultsMutex_);
        faults_ = faults;
    }
    WakeAcceptor();
}

FaultConfig ServerCore::Faults() const {
    std::lock_guard<std::mutex> lock(faultsMutex_);
    return faults_;
}

void ServerCore::SetCameraActive(int cameraIndex, bool active) {
    if (SimCamera* camera = Camera(cameraIndex)) camera->SetActive(active);
}

void ServerCore::PushServerText(std::string text) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    texts_.push_back(std::move(text));
}

template <typename Entry>
void ServerCore::Record(std::vector<Entry> Journal::*list, const Entry& record) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        auto& entries = journal_.*list;
        if (entries.size() >= kJournalLimit)
            entries.erase(entries.begin(), entries.begin() + kJournalLimit / 2);
        entries.push_back(record);
    }
    journalCv_.notify_all();
}

Journal ServerCore::Snapshot() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return journal_;
}

void ServerCore::ClearJournal() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    journal_ = Journal{};
}

bool ServerCore::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex_);
    return journalCv_.wait_for(lock, timeout, [&] { return journal_.requests.size() >= count; });
}

orv_stuff::TCameraPosition ServerCore::Position(int cameraIndex) const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const auto it = positions_.find(cameraIndex);
    return it == positions_.end() ? orv_stuff::TCameraPosition{} : it->second;
}

// ---------------------------------------------------------------------------
// Commands

Reply ServerCore::Handle(Session& session, const TMsgHeader& rq, const std::vector<uint8_t>& payload) {
    switch (rq.command) {
        case orv_stuff::kCmdLogin:
            return Login(session, rq);
        case orv_stuff::kCmdPollCameraTables:
            return CameraTables(session, rq);
        case orv_stuff::kCmdServerStatus:
            return Status(session, rq);
        case orv_stuff::kCmdCameraName:
            return CameraName(session, rq);
        case orv_stuff::kCmdServerText:
            return ServerText(session, rq);
        case orv_stuff::kCmdLiveFrames:
            return LiveFrames(session, rq, payload);
        case orv_stuff::kCmdCameraPosition:
            return CameraPosition(rq);
        case orv_stuff::kCmdCameraEvent:
        case orv_stuff::kCmdServerEvent:
        case orv_stuff::kCmdConsoleShowArchive:
        case orv_stuff::kCmdCameraMode:
        case orv_stuff::kCmdTelemetryBlock:
        case orv_stuff::kCmdConsoleSwitchCamera:
        case orv_stuff::kCmdCameraCommand:
            return Acknowledge(rq, payload);
        default:
            break;
    }
    const int channel = ChannelOfCode(static_cast<uint8_t>(rq.command >> 8));
    if (channel >= 0) return Archive(session, rq, payload, channel, static_cast<uint8_t>(rq.command & 0xFF));
    Log("unknown command " + std::to_string(rq.command));
    Reply reply{ReplyHeader(rq), {}, {}};
    reply.header.field24 = -1;
    return reply;
}

Reply ServerCore::Login(Session& s, const TMsgHeader& rq) {
    std::array<uint8_t, 8> key{};
    std::copy(std::begin(rq.field72), std::end(rq.field72), key.begin());
    Record(&Journal::loginKeys, key);
    const bool accepted = loginKey_.empty() || std::equal(key.begin(), key.end(), loginKey_.begin());
    s.authenticated = accepted;

    orv_stuff::TServerInfo info;
    if (accepted) {
        info.firstCamera = firstCamera_;
        info.lastCamera = firstCamera_ + CameraCount() - 1;
        info.cameraCount = CameraCount();
        for (int i = 0; i < CameraCount() && i < kMaxCamerasPerServer; ++i) {
            info.activeFlags[i] = cameras_[static_cast<size_t>(i)]->Active() ? 1 : 0;
        }
    } else {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++journal_.failedLogins;
    }
    Log(accepted ? "login accepted" : "login refused: wrong key");
    Reply reply{ReplyHeader(rq), {}, {}};
    uint8_t bytes[orv_stuff::kServerInfoSize];
    orv_stuff::EncodeServerInfo(info, bytes);
    reply.AddOwned(bytes, sizeof bytes);
    reply.header.field24 = static_cast<int32_t>(sizeof bytes);
    reply.header.field28 = accepted ? 1 : -1;
    reply.header.field32 = 0;
    return reply;
}

Reply ServerCore::CameraTables(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    reply.header.field12 = firstCamera_;
    if (!s.authenticated) return reply;
    const double now = MsToOle(NowMs());
    for (const auto& camera : cameras_) {
        const CameraConfig& c = camera->Config();
        orv_stuff::TCameraRecord record;
        record.active = camera->Active() ? 1 : 0;
        record.value1 = static_cast<int16_t>(c.fps);
        record.value2 = static_cast<int16_t>(KindCode(c.kind));
        orv_stuff::PutF64(record.time, now);
        record.value3 = c.width;
        orv_stuff::PutI32(record.value4, c.height);
        record.flagA = c.plates ? 1 : 0;
        uint8_t bytes[orv_stuff::kCameraRecordSize];
        orv_stuff::EncodeCameraRecord(record, bytes);
        reply.AddOwned(bytes, sizeof bytes);
    }
    reply.header.field52 = CameraCount();
    return reply;
}

Reply ServerCore::Status(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    std::vector<uint8_t> block(kStatusBlockSize, 0);
    for (int i = 0; s.authenticated && i < CameraCount() && i < kMaxCamerasPerServer; ++i) {
        const SimCamera& camera = *cameras_[static_cast<size_t>(i)];
        uint8_t* e = &block[static_cast<size_t>(i) * kStatusEntrySize];
        e[0] = camera.Active() ? 1 : 0;
        e[1] = static_cast<uint8_t>(KindCode(camera.Config().kind));
        e[2] = static_cast<uint8_t>(camera.Config().fps);
        e[3] = camera.Config().plates ? 1 : 0;
        orv_stuff::PutI16(e + 4, static_cast<int16_t>(camera.Config().width));
        orv_stuff::PutI16(e + 8, static_cast<int16_t>(camera.Config().height));
    }
    reply.AddOwned(block.data(), block.size());
    reply.header.field24 = static_cast<int32_t>(block.size());
    reply.header.field36 = 0;
    return reply;
}

Reply ServerCore::CameraName(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const SimCamera* camera = Camera(rq.field12);
    if (!s.authenticated || camera == nullptr) return reply;
    std::string name = camera->Config().name.empty() ? "Camera " + std::to_string(camera->Index() + 1)
                                                     : Utf8ToCp1251(camera->Config().name);
    if (name.size() > 127) name.resize(127);
    reply.AddOwned(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    reply.header.field24 = static_cast<int32_t>(name.size());
    return reply;
}

Reply ServerCore::ServerText(Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    std::string text;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!texts_.empty()) {
            text = std::move(texts_.front());
            texts_.pop_front();
        }
    }
    const int64_t now = NowMs();
    if (text.empty() && s.authenticated) {
        std::vector<PlateCamera> plateCameras;
        for (const auto& camera : cameras_) {
            if (!camera->Config().plates || !camera->Active()) continue;
            plateCameras.push_back(PlateCamera{
                camera->Index(),
                static_cast<int64_t>(std::llround(camera->Config().plateIntervalSeconds * 1000))});
        }
        // A client that stops polling does not face an endless backlog.
        if (s.plateAfterMs < now - kPlateBacklogMs) {
            s.plateAfterMs = now - kPlateBacklogMs;
            s.plateAfterCamera = -1;
        }
        if (const int flood = Faults().plateFloodPerSecond; flood > 0) {
            int active = 0;
            for (const auto& camera : cameras_) active += camera->Active() ? 1 : 0;
            const int64_t interval = std::max<int64_t>(1, 1000LL * active / flood);
            for (const auto& camera : cameras_) {
                if (camera->Active()) plateCameras.push_back(PlateCamera{camera->Index(), interval});
            }
        }
        if (auto event = NextPlateEvent(plateCameras, originMs_, s.plateAfterMs, s.plateAfterCamera, now)) {
            s.plateAfterMs = event->timeMs;
            s.plateAfterCamera = event->cameraIndex;
            text = PlateMessage(*event);
        }
    }
    reply.AddOwned(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    reply.header.field24 = static_cast<int32_t>(text.size());
    reply.header.field28 = text.empty() ? 0 : 1;
    return reply;
}

// ---------------------------------------------------------------------------
// Live frames

void ServerCore::LiveEntry(Session& s, int64_t nowMs, int garbageEvery, orv_stuff::TFrameEntry& entry,
                           std::vector<SharedBytes>& blocks) {
    const int32_t lastId = entry.frameId;
    const int cameraIndex = entry.camera;
    entry = orv_stuff::TFrameEntry{};
    entry.camera = cameraIndex;
    if (!Serves(s, cameraIndex)) return;
    SimCamera& camera = *Camera(cameraIndex);
    const int64_t unit = camera.Timeline().LatestUnit(nowMs);
    if (unit < 0 || unit + 1 > INT32_MAX) return;
    const auto id = static_cast<int32_t>(unit + 1);
    if (lastId == id) return;  // nothing newer than what the client holds
    // An id from the future comes from another run of the server: the client
    // holds nothing of ours.
    const int32_t heldId = lastId > id ? 0 : lastId;

    SharedBytes payload;
    SharedBytes aux;
    const bool garbage = SimCamera::GarbageUnit(garbageEvery, unit);
    if (camera.Config().kind == CameraKind::JpegBlocks) {
        // Changed blocks only while the client still holds our last full
        // picture (it reported a frame sent since then) and it is recent.
        auto base = s.blockBase.find(cameraIndex);
        const bool holdsBase = base != s.blockBase.end() && heldId >= base->second + 1 &&
                               unit - base->second < camera.Config().gop && base->second < unit;
        if (holdsBase) {
            aux = garbage ? camera.BadUpdate(base->second, unit) : camera.Update(base->second, unit);
        } else if (garbage) {
            // A damaged full picture is no base: the next frame is a full one again.
            payload = camera.BadUnit(unit, garbageEvery);
            s.blockBase.erase(cameraIndex);
        } else {
            payload = camera.Unit(unit);
            s.blockBase[cameraIndex] = unit;
        }
        if (!payload && !aux) return;
    } else {
        payload = garbage ? camera.BadUnit(unit, garbageEvery) : camera.Unit(unit);
        if (!payload) return;
    }
    entry.frameId = id;
    entry.time = MsToOle(camera.Timeline().UnitTime(unit));
    entry.payloadLength = payload ? static_cast<int32_t>(payload->size()) : 0;
    entry.auxLength = aux ? static_cast<int32_t>(aux->size()) : 0;
    // Blocks of an entry go out as: payload, then auxiliary data.
    if (payload) blocks.push_back(payload);
    if (aux) blocks.push_back(aux);
}

Reply ServerCore::LiveFrames(Session& s, const TMsgHeader& rq, const std::vector<uint8_t>& payload) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const size_t replyEntrySize = rq.version >= orv_stuff::kLongFrameEntryVersion
                                      ? orv_stuff::kFrameEntryLongSize
                                      : orv_stuff::kFrameEntryShortSize;
    int32_t count = std::clamp(rq.field12, 0, orv_stuff::kMaxCameras);
    size_t requestEntrySize = replyEntrySize;
    if (count > 0) {
        const size_t perEntry = payload.size() / static_cast<size_t>(count);
        if (perEntry == orv_stuff::kFrameEntryLongSize || perEntry == orv_stuff::kFrameEntryShortSize) {
            requestEntrySize = perEntry;
        }
        count = std::min<int32_t>(count, static_cast<int32_t>(payload.size() / requestEntrySize));
    }
    if (count == 0) {
        reply.header.field28 = -1;  // nothing asked, nothing sent
        return reply;
    }
    const int64_t now = NowMs();
    const int garbageEvery = Faults().garbageEvery;
    std::vector<orv_stuff::TFrameEntry> entries(static_cast<size_t>(count));
    std::vector<SharedBytes> blocks;
    for (int32_t i = 0; i < count; ++i) {
        auto& entry = entries[static_cast<size_t>(i)];
        entry = orv_stuff::DecodeFrameEntry(&payload[static_cast<size_t>(i) * requestEntrySize],
                                            requestEntrySize);
        LiveEntry(s, now, garbageEvery, entry, blocks);
    }
    std::vector<uint8_t> entryBytes(entries.size() * replyEntrySize, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        orv_stuff::EncodeFrameEntry(entries[i], &entryBytes[i * replyEntrySize], replyEntrySize);
    }
    reply.AddOwned(entryBytes.data(), entryBytes.size());
    for (const SharedBytes& block : blocks) reply.AddShared(block);
    reply.header.field12 = count;
    reply.header.field16 = MsToOle(now);
    reply.header.field24 = static_cast<int32_t>(entryBytes.size());
    reply.header.field28 = 0;
    reply.header.field52 = 0;  // the extended form's result is field 52 + 1
    return reply;
}

// ---------------------------------------------------------------------------
// Archive

Reply ServerCore::Archive(Session& s, const TMsgHeader& rq, const std::vector<uint8_t>& payload, int channel,
                          uint8_t function) {
    Reply reply{ReplyHeader(rq), {}, {}};
    switch (function) {
        case orv_stuff::kArchiveOpen:
            reply.header.field24 = 1;
            return reply;
        case orv_stuff::kArchiveClose:
            s.cursors[channel] = ArchiveCursor{};
            reply.header.field24 = 1;
            return reply;
        case orv_stuff::kArchiveRange:
            return ArchiveRange(s, rq);
        case orv_stuff::kArchiveSeek:
            return ArchiveSeek(s, rq, channel);
        case orv_stuff::kArchiveReadForward:
            return ArchiveRead(s, rq, payload, channel, true);
        case orv_stuff::kArchiveReadBackward:
            return ArchiveRead(s, rq, payload, channel, false);
        default:
            break;
    }
    Log("unknown archive function " + std::to_string(function));
    reply.header.field24 = -1;
    return reply;
}

Reply ServerCore::ArchiveRange(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    // Without recordings the reply repeats the client's values: no contribution.
    reply.header.field56 = rq.field56;
    reply.header.field64 = rq.field64;
    const int64_t now = NowMs();
    bool any = false;
    int64_t earliest = 0;
    int64_t latest = 0;
    for (const auto& camera : cameras_) {
        if (!Serves(s, camera->Index())) continue;
        const int64_t last = camera->Timeline().LatestUnit(now);
        if (last < 0) continue;
        const int64_t first = camera->Timeline().UnitTime(0);
        const int64_t end = camera->Timeline().UnitTime(last);
        earliest = any ? std::min(earliest, first) : first;
        latest = any ? std::max(latest, end) : end;
        any = true;
    }
    if (any) {
        reply.header.field56 = MsToOle(earliest);
        reply.header.field64 = MsToOle(latest);
    }
    return reply;
}

Reply ServerCore::ArchiveSeek(Session& s, const TMsgHeader& rq, int channel) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const bool forward = (rq.field28 & 0xFF) != 0;
    const int64_t target = OleToMs(rq.field16);
    const int64_t now = NowMs();
    bool found = false;
    int64_t bestTime = 0;
    int bestCamera = 0;
    for (const auto& camera : cameras_) {
        if (!Serves(s, camera->Index())) continue;
        const CameraTimeline& line = camera->Timeline();
        const int64_t latest = line.LatestUnit(now);
        if (latest < 0) continue;
        const int64_t unit =
            forward ? line.FirstUnitAtOrAfter(target) : std::min(line.LastUnitAtOrBefore(target), latest);
        if (unit < 0 || unit > latest) continue;
        const int64_t time = line.UnitTime(unit);
        const bool better = !found || (forward ? KeyBefore(time, camera->Index(), bestTime, bestCamera)
                                               : KeyBefore(bestTime, bestCamera, time, camera->Index()));
        if (better) {
            found = true;
            bestTime = time;
            bestCamera = camera->Index();
        }
    }
    if (!found) {
        s.cursors[channel] = ArchiveCursor{};
        reply.header.field16 = rq.field16;
        reply.header.field24 = -1;
        return reply;
    }
    s.cursors[channel] = ArchiveCursor{true, bestTime, bestCamera, true};
    reply.header.field16 = MsToOle(bestTime);
    reply.header.field24 = 1;
    return reply;
}

Reply ServerCore::ArchiveRead(Session& s, const TMsgHeader& rq, const std::vector<uint8_t>& payload,
                              int channel, bool forward) {
    Reply reply{ReplyHeader(rq), {}, {}};
    // The mask holds one byte per camera of this server, in camera order.
    const size_t maskLength = std::min(payload.size(), static_cast<size_t>(std::max(0, rq.field24)));
    std::vector<int> wanted;
    for (size_t i = 0; i < maskLength && i < cameras_.size(); ++i) {
        if (payload[i] != 0 && Serves(s, cameras_[i]->Index())) wanted.push_back(cameras_[i]->Index());
    }
    if (((rq.field32 | rq.field36) & kFirstCameraOnlyFlag) != 0 && wanted.size() > 1) {
        wanted.erase(wanted.begin() + 1, wanted.end());
    }

    ArchiveCursor cursor = s.cursors[channel];
    if (!cursor.valid) {
        // Never positioned: start from the time the client sent.
        cursor = ArchiveCursor{true, OleToMs(rq.field16), forward ? -1 : INT_MAX, true};
    }
    const int64_t now = NowMs();
    bool found = false;
    int64_t bestTime = 0;
    int bestCamera = 0;
    int64_t bestUnit = 0;
    for (int index : wanted) {
        const CameraTimeline& line = Camera(index)->Timeline();
        const int64_t latest = line.LatestUnit(now);
        if (latest < 0) continue;
        int64_t unit = 0;
        if (forward) {
            unit = line.FirstUnitAtOrAfter(cursor.timeMs);
            const bool passed = line.UnitTime(unit) == cursor.timeMs &&
                                (cursor.inclusive ? index < cursor.camera : index <= cursor.camera);
            if (passed) ++unit;
            if (unit > latest) continue;
        } else {
            unit = std::min(line.LastUnitAtOrBefore(cursor.timeMs), latest);
            const bool passed = unit >= 0 && line.UnitTime(unit) == cursor.timeMs &&
                                (cursor.inclusive ? index > cursor.camera : index >= cursor.camera);
            if (passed) --unit;
            if (unit < 0) continue;
        }
        const int64_t time = line.UnitTime(unit);
        const bool better = !found || (forward ? KeyBefore(time, index, bestTime, bestCamera)
                                               : KeyBefore(bestTime, bestCamera, time, index));
        if (better) {
            found = true;
            bestTime = time;
            bestCamera = index;
            bestUnit = unit;
        }
    }
    const int garbageEvery = Faults().garbageEvery;
    SharedBytes frame;
    if (found) {
        SimCamera& camera = *Camera(bestCamera);
        frame = SimCamera::GarbageUnit(garbageEvery, bestUnit) ? camera.BadUnit(bestUnit, garbageEvery)
                                                                : camera.Unit(bestUnit);
    }
    if (!frame) {
        // Nothing further in this direction; the cursor stays where it is.
        reply.header.field16 = rq.field16;
        reply.header.field24 = 0;
        reply.header.field32 = wanted.empty() ? 0 : wanted.front();
        reply.header.field36 = kNoFrameFlag;
        return reply;
    }
    s.cursors[channel] = ArchiveCursor{true, bestTime, bestCamera, false};
    reply.AddShared(frame);
    reply.header.field16 = MsToOle(bestTime);
    reply.header.field24 = 1;
    reply.header.field32 = bestCamera;
    reply.header.field36 = 0;  // main stream
    reply.header.field40 = static_cast<int32_t>(frame->size());
    reply.header.field44 = 0;
    return reply;
}

// ---------------------------------------------------------------------------
// Events, console, telemetry, positions

Reply ServerCore::Acknowledge(const TMsgHeader& rq, const std::vector<uint8_t>& payload) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const std::string camera = "camera " + std::to_string(rq.field12 + 1);
    switch (rq.command) {
        case orv_stuff::kCmdCameraEvent: {
            Record(&Journal::cameraEvents, CameraEventRecord{rq.field12, rq.field24 & 0xFF, rq.field28 & 0xFF,
                                                             rq.field32, rq.field36});
            Log("event " + camera + " " + std::to_string(rq.field24 & 0xFF) + " " +
                std::to_string(rq.field28 & 0xFF) + " " + std::to_string(rq.field32) + " " +
                std::to_string(rq.field36));
            reply.header.field24 = Camera(rq.field12) != nullptr ? 1 : -1;
            break;
        }
        case orv_stuff::kCmdServerEvent:
            Record(&Journal::serverEvents, ServerEventRecord{rq.field28});
            Log("server event " + std::to_string(rq.field28));
            reply.header.field24 = 1;
            break;
        case orv_stuff::kCmdCameraMode:
            Record(&Journal::cameraModes, CameraModeRecord{rq.field12, rq.field24 & 0xFF});
            Log("mode " + camera + " " + std::to_string(rq.field24 & 0xFF));
            reply.header.field24 = 1;
            break;
        case orv_stuff::kCmdCameraCommand:
            Record(&Journal::cameraCommands, CameraCommandRecord{rq.field12, rq.field28, rq.field32});
            Log("command " + camera + " " + std::to_string(rq.field28) + " " + std::to_string(rq.field32));
            reply.header.field24 = 1;
            break;
        case orv_stuff::kCmdConsoleSwitchCamera:
            Record(&Journal::consoleSwitches, ConsoleSwitchRecord{rq.field12});
            Log("console switch to " + camera);
            reply.header.field28 = 1;
            break;
        case orv_stuff::kCmdConsoleShowArchive:
            Record(&Journal::consoleArchives,
                   ConsoleArchiveRecord{rq.field28, rq.field32, rq.field36, rq.field64, rq.field56});
            Log("console archive " + std::to_string(rq.field32 + 1) + ".." + std::to_string(rq.field36 + 1));
            reply.header.field24 = 0;  // no block: the client does not say how large its buffer is
            reply.header.field32 = 1;
            break;
        case orv_stuff::kCmdTelemetryBlock: {
            TelemetryRecord record{rq.field12, rq.field28, {}};
            std::copy_n(payload.begin(), std::min(payload.size(), record.block.size()), record.block.begin());
            Record(&Journal::telemetry, record);
            Log("telemetry " + camera + " command " + std::to_string(rq.field28) + " speeds " +
                std::to_string(record.block[4]) + "/" + std::to_string(record.block[5]));
            reply.header.field28 = 1;
            break;
        }
        default:
            break;
    }
    return reply;
}

Reply ServerCore::CameraPosition(const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const int kind = rq.field24;
    const int cameraIndex = rq.field12;
    PositionRecord record{cameraIndex, kind, 0, 0, 0, 0, 0.0};
    std::lock_guard<std::mutex> lock(stateMutex_);
    orv_stuff::TCameraPosition& position = positions_[cameraIndex];
    switch (kind) {
        case 1:
            reply.header.field28 = orv_stuff::RoundToInt32(position.x);
            reply.header.field32 = orv_stuff::RoundToInt32(position.y);
            reply.header.field36 = orv_stuff::RoundToInt32(position.z);
            reply.header.field40 = position.value;
            reply.header.field24 = 1;
            break;
        case 2:
            position =
                orv_stuff::TCameraPosition{rq.field40, 2, static_cast<double>(rq.field28),
                                           static_cast<double>(rq.field32), static_cast<double>(rq.field36)};
            record.x = rq.field28;
            record.y = rq.field32;
            record.z = rq.field36;
            record.value = rq.field40;
            reply.header.field24 = 1;
            break;
        case 3:
            position.kind = 3;
            position.x = rq.field28;
            position.y = rq.field32;
            position.z = rq.field56;
            record.x = rq.field28;
            record.y = rq.field32;
            record.zTime = rq.field56;
            reply.header.field24 = 1;
            break;
        default:
            reply.header.field24 = -1;
            break;
    }
    if (journal_.positions.size() >= kJournalLimit) journal_.positions.erase(journal_.positions.begin());
    journal_.positions.push_back(record);
    if (options_.log) {
        options_.log(Join({"[", std::to_string(port_), "] position camera ", std::to_string(cameraIndex + 1),
                           " kind ", std::to_string(kind), " ", std::to_string(record.x), ",",
                           std::to_string(record.y), ",", std::to_string(record.z)}));
    }
    return reply;
}

}  // namespace orv_sim
