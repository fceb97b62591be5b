#include "sim/NetCalls.h"

#ifdef _WIN32
#include <ws2tcpip.h>

#include <mutex>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstring>

namespace orv_sim::net {
namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

}  // namespace

#ifdef _WIN32

void Startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

int LastError() { return WSAGetLastError(); }
bool Interrupted(int error) { return error == WSAEINTR; }
std::string ErrorText(int error) { return "socket error " + std::to_string(error); }

int ListenLoopback(uint16_t& port) {
    Startup();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    const int fd = static_cast<int>(s);
    // Exclusive use: Windows' SO_REUSEADDR would let a second listener steal the port.
    const BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in addr = Loopback(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0) {
        const int saved = WSAGetLastError();
        closesocket(s);
        WSASetLastError(saved);
        return -1;
    }
    if (port == 0) {
        int len = sizeof addr;
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    return fd;
}

int Accept(int listener) {
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return -1;
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return static_cast<int>(s);
}

void Close(int socket) { closesocket(static_cast<SOCKET>(socket)); }
void ShutdownBoth(int socket) { shutdown(static_cast<SOCKET>(socket), SD_BOTH); }
int Poll(pollfd* fds, PollCount count, int timeoutMs) { return WSAPoll(fds, count, timeoutMs); }

long Receive(int socket, void* data, std::size_t size) {
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    return recv(static_cast<SOCKET>(socket), static_cast<char*>(data), chunk, 0);
}

long SendGathered(int socket, const std::vector<std::pair<const uint8_t*, std::size_t>>& pieces) {
    std::vector<WSABUF> buffers;
    buffers.reserve(pieces.size());
    for (const auto& [data, size] : pieces) {
        buffers.push_back(WSABUF{static_cast<ULONG>(size), reinterpret_cast<CHAR*>(const_cast<uint8_t*>(data))});
    }
    DWORD sent = 0;
    if (WSASend(static_cast<SOCKET>(socket), buffers.data(), static_cast<DWORD>(buffers.size()), &sent, 0, nullptr,
                nullptr) != 0) {
        return -1;
    }
    return static_cast<long>(sent);
}

bool WakeChannel::Open() {
    Startup();
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in addr = Loopback(0);
    int len = sizeof addr;
    u_long nonBlocking = 1;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        closesocket(s);
        return false;
    }
    read_ = write_ = static_cast<int>(s);
    return true;
}

void WakeChannel::Close() {
    if (read_ >= 0) closesocket(static_cast<SOCKET>(read_));
    read_ = write_ = -1;
}

void WakeChannel::Signal() {
    if (write_ < 0) return;
    const char byte = 1;
    send(static_cast<SOCKET>(write_), &byte, 1, 0);
}

void WakeChannel::Drain() {
    char drain[64];
    while (recv(static_cast<SOCKET>(read_), drain, sizeof drain, 0) > 0) {
    }
}

#else

void Startup() {}
int LastError() { return errno; }
bool Interrupted(int error) { return error == EINTR; }
std::string ErrorText(int error) { return std::strerror(error); }

int ListenLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (port == 0) {
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    return fd;
}

int Accept(int listener) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void Close(int socket) { close(socket); }
void ShutdownBoth(int socket) { shutdown(socket, SHUT_RDWR); }
int Poll(pollfd* fds, PollCount count, int timeoutMs) { return poll(fds, count, timeoutMs); }

long Receive(int socket, void* data, std::size_t size) { return static_cast<long>(recv(socket, data, size, 0)); }

long SendGathered(int socket, const std::vector<std::pair<const uint8_t*, std::size_t>>& pieces) {
    std::vector<iovec> window;
    window.reserve(pieces.size());
    for (const auto& [data, size] : pieces) window.push_back(iovec{const_cast<uint8_t*>(data), size});
    msghdr message{};
    message.msg_iov = window.data();
    message.msg_iovlen = window.size();
    return static_cast<long>(sendmsg(socket, &message, MSG_NOSIGNAL));
}

bool WakeChannel::Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_ = fds[0];
    write_ = fds[1];
    return true;
}

void WakeChannel::Close() {
    if (read_ >= 0) close(read_);
    if (write_ >= 0) close(write_);
    read_ = write_ = -1;
}

void WakeChannel::Signal() {
    if (write_ < 0) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(write_, &byte, 1);
}

void WakeChannel::Drain() {
    char drain[64];
    while (read(read_, drain, sizeof drain) > 0) {
    }
}

#endif

}  // namespace orv_sim::net
