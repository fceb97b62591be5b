#include "support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace orv_test {

namespace {

constexpr int kPollStepMs = 20;
constexpr size_t kMaxRequestPayload = 64u * 1024 * 1024;

}  // namespace

orv_stuff::TMsgHeader ReplyHeader(uint16_t command, uint16_t version) {
    orv_stuff::TMsgHeader header;
    header.magic = orv_stuff::MSG_MAGIC;
    header.command = command;
    header.version = version;
    header.length = static_cast<int32_t>(orv_stuff::kHeaderSize);
    return header;
}

Bytes MakeReply(const orv_stuff::TMsgHeader& header, const std::vector<Bytes>& blocks) {
    Bytes out(orv_stuff::kHeaderSize);
    orv_stuff::EncodeHeader(header, out.data());
    for (const Bytes& block : blocks) out.insert(out.end(), block.begin(), block.end());
    return out;
}

Bytes Filled(size_t n, uint8_t value) { return Bytes(n, value); }

Bytes ServerInfoBlock(int32_t first, int32_t last, int32_t count) {
    orv_stuff::TServerInfo info;
    info.firstCamera = first;
    info.lastCamera = last;
    info.cameraCount = count;
    for (int32_t i = 0; i < count && i < 128; ++i) info.activeFlags[i] = 1;
    Bytes block(orv_stuff::kServerInfoSize);
    orv_stuff::EncodeServerInfo(info, block.data());
    return block;
}

Bytes LoginReply(int32_t first, int32_t last, int32_t result, uint16_t version) {
    auto h = ReplyHeader(orv_stuff::kCmdLogin, version);
    h.field24 = static_cast<int32_t>(orv_stuff::kServerInfoSize);
    h.field28 = result;
    return MakeReply(h, {ServerInfoBlock(first, last, last - first + 1)});
}

ScriptedPeer::ScriptedPeer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 8) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("bind/listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
    Stop();
    if (listenFd_ >= 0) ::close(listenFd_);
}

ScriptedPeer& ScriptedPeer::ExpectRequest() {
    steps_.push_back({Step::Receive, {}, 0, {}});
    return *this;
}

ScriptedPeer& ScriptedPeer::Send(Bytes bytes) {
    steps_.push_back({Step::SendBytes, std::move(bytes), 0, {}});
    return *this;
}

ScriptedPeer& ScriptedPeer::Respond(Responder responder) {
    steps_.push_back({Step::RespondOnce, {}, 0, std::move(responder)});
    return *this;
}

ScriptedPeer& ScriptedPeer::RespondRepeatedly(Responder responder) {
    steps_.push_back({Step::RespondLoop, {}, 0, std::move(responder)});
    return *this;
}

ScriptedPeer& ScriptedPeer::CloseMidReply(Bytes bytes, size_t sendBytes) {
    steps_.push_back({Step::CloseAfter, std::move(bytes), sendBytes, {}});
    return *this;
}

ScriptedPeer& ScriptedPeer::Trickle(Bytes bytes, std::chrono::milliseconds interval) {
    steps_.push_back({Step::TrickleBytes, std::move(bytes), 0, {}, interval});
    return *this;
}

ScriptedPeer& ScriptedPeer::Close() {
    steps_.push_back({Step::CloseNow, {}, 0, {}});
    return *this;
}

void ScriptedPeer::Start() { thread_ = std::thread([this] { Run(); }); }

void ScriptedPeer::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    const int fd = connFd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool ScriptedPeer::WaitScriptDone(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_; });
}

std::vector<Request> ScriptedPeer::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t ScriptedPeer::RequestCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

std::string ScriptedPeer::Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

void ScriptedPeer::AddError(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_ += text + "\n";
}

bool ScriptedPeer::ReadExact(uint8_t* dst, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (stopping_.load()) return false;
        pollfd pfd{connFd_.load(), POLLIN, 0};
        const int rc = ::poll(&pfd, 1, kPollStepMs);
        if (rc < 0 && errno != EINTR) return false;
        if (rc <= 0) continue;
        const ssize_t got = ::recv(pfd.fd, dst + done, n - done, 0);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool ScriptedPeer::WriteAll(const uint8_t* src, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (stopping_.load()) return false;
        const ssize_t sent = ::send(connFd_.load(), src + done, n - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool ScriptedPeer::ReceiveRequest(Request& request) {
    request.raw.assign(orv_stuff::kHeaderSize, 0);
    if (!ReadExact(request.raw.data(), orv_stuff::kHeaderSize)) return false;
    request.header = orv_stuff::DecodeHeader(request.raw.data());
    const int64_t payloadSize = static_cast<int64_t>(request.header.length) - static_cast<int64_t>(orv_stuff::kHeaderSize);
    if (payloadSize < 0 || static_cast<size_t>(payloadSize) > kMaxRequestPayload) {
        AddError("request length out of range: " + std::to_string(request.header.length));
        return false;
    }
    request.payload.assign(static_cast<size_t>(payloadSize), 0);
    if (payloadSize > 0 && !ReadExact(request.payload.data(), request.payload.size())) return false;
    request.raw.insert(request.raw.end(), request.payload.begin(), request.payload.end());
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
    return true;
}

void ScriptedPeer::Run() {
    while (!stopping_.load()) {
        pollfd pfd{listenFd_, POLLIN, 0};
        if (::poll(&pfd, 1, kPollStepMs) > 0) {
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd >= 0) {
                connFd_.store(fd);
                accepted_.store(true);
                break;
            }
        }
    }
    bool ok = !stopping_.load();
    for (size_t i = 0; ok && i < steps_.size(); ++i) {
        Step& step = steps_[i];
        Request request;
        switch (step.kind) {
            case Step::Receive:
                ok = ReceiveRequest(request);
                if (!ok && !stopping_.load()) AddError("step " + std::to_string(i) + ": no request");
                break;
            case Step::SendBytes:
                ok = WriteAll(step.bytes.data(), step.bytes.size());
                break;
            case Step::RespondOnce: {
                ok = ReceiveRequest(request);
                if (!ok) {
                    if (!stopping_.load()) AddError("step " + std::to_string(i) + ": no request");
                    break;
                }
                const Bytes reply = step.responder(request);
                ok = WriteAll(reply.data(), reply.size());
                break;
            }
            case Step::RespondLoop:
                while (ReceiveRequest(request)) {
                    const Bytes reply = step.responder(request);
                    if (!WriteAll(reply.data(), reply.size())) break;
                }
                break;
            case Step::TrickleBytes:
                for (size_t k = 0; ok && k < step.bytes.size() && !stopping_.load(); ++k) {
                    ok = WriteAll(&step.bytes[k], 1);
                    const auto until = std::chrono::steady_clock::now() + step.interval;
                    while (!stopping_.load() && std::chrono::steady_clock::now() < until) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                }
                break;
            case Step::CloseAfter:
                WriteAll(step.bytes.data(), std::min(step.sendBytes, step.bytes.size()));
                [[fallthrough]];
            case Step::CloseNow: {
                const int fd = connFd_.exchange(-1);
                if (fd >= 0) ::close(fd);
                ok = false;
                break;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }
    // Stay connected and silent until stopped.
    while (!stopping_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
}

}  // namespace orv_test
