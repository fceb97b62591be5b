#include "sim/ServerCore.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "sim/Cp1251.h"

namespace orv_sim {

using orv_stuff::TMsgHeader;

namespace {

constexpr int32_t kMaxRequestLength = 1 << 20;  // far above any request the client builds
constexpr int32_t kOversizedLength = 0x40000000;  // 1 GiB: beyond every bound a client may accept
constexpr size_t kMaxConnections = 256;

// Sets the length fields a client reads for a command to a size no sane
// client should accept.
void Oversize(TMsgHeader& h) {
    const uint16_t function = h.command & 0xFF;
    const bool archiveRead =
        h.command >= 0x100 && (function == orv_stuff::kArchiveReadForward || function == orv_stuff::kArchiveReadBackward);
    if (archiveRead) {
        auto read = orv_stuff::Decode<orv_stuff::ArchiveReadReply>(h);
        read.payloadLength = kOversizedLength;
        read.auxLength = kOversizedLength;
        orv_stuff::Encode(read, h);
        return;
    }
    switch (h.command) {
        case orv_stuff::kCmdPollCameraTables: {
            auto tables = orv_stuff::Decode<orv_stuff::CameraTablesReply>(h);
            tables.recordCount = kOversizedLength / static_cast<int32_t>(orv_stuff::kCameraRecordSize);
            orv_stuff::Encode(tables, h);
            break;
        }
        case orv_stuff::kCmdServerStatus:
            orv_stuff::Encode(orv_stuff::StatusReply{kOversizedLength, kOversizedLength}, h);
            break;
        case orv_stuff::kCmdLogin: {
            auto login = orv_stuff::Decode<orv_stuff::LoginReply>(h);
            login.infoLength = kOversizedLength;
            login.extraLength = kOversizedLength;
            orv_stuff::Encode(login, h);
            break;
        }
        default:
            orv_stuff::Encode(orv_stuff::BlockReply{kOversizedLength}, h);
            break;
    }
}

}  // namespace

std::string Join(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts) out.append(part);
    return out;
}

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

}  // namespace orv_sim
