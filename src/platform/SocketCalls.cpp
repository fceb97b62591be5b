#include "platform/SocketCalls.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#endif

#include <climits>

namespace platform {

#ifdef _WIN32

int LastSocketError() { return WSAGetLastError(); }

bool IsInterrupted(int error) { return error == WSAEINTR; }

bool IsIoTimeout(int error) { return error == WSAETIMEDOUT; }

// select() rather than WSAPoll: WSAPoll does not report a refused connect
// (it waits the whole time-out), select() reports it in the exception set.
int WaitSocket(NativeSocket socket, short events, int timeoutMs) {
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if ((events & POLLIN) != 0) FD_SET(socket, &readable);
    if ((events & POLLOUT) != 0) FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    const int rc = select(0, &readable, &writable, &failed, &limit);
    return rc == SOCKET_ERROR ? -1 : rc;
}

int PendingSocketError(NativeSocket socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return WSAGetLastError();
    }
    return error;
}

bool SetSocketTimeout(NativeSocket socket, SocketTimeout which, int64_t timeoutMs) {
    const DWORD ms = timeoutMs > static_cast<int64_t>(UINT_MAX) ? UINT_MAX : static_cast<DWORD>(timeoutMs);
    const int option = which == SocketTimeout::Receive ? SO_RCVTIMEO : SO_SNDTIMEO;
    return setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

long ReceiveAll(NativeSocket socket, void* data, std::size_t size) {
    const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    return recv(socket, static_cast<char*>(data), chunk, MSG_WAITALL);
}

long SendSome(NativeSocket socket, const void* data, std::size_t size) {
    const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    return send(socket, static_cast<const char*>(data), chunk, 0);
}

#else

int LastSocketError() { return errno; }

bool IsInterrupted(int error) { return error == EINTR; }

// With SO_RCVTIMEO/SO_SNDTIMEO a call that sees no progress fails with EAGAIN.
bool IsIoTimeout(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

int WaitSocket(NativeSocket socket, short events, int timeoutMs) {
    pollfd pfd{};
    pfd.fd = socket;
    pfd.events = events;
    return ::poll(&pfd, 1, timeoutMs);
}

int PendingSocketError(NativeSocket socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

bool SetSocketTimeout(NativeSocket socket, SocketTimeout which, int64_t timeoutMs) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
    const int option = which == SocketTimeout::Receive ? SO_RCVTIMEO : SO_SNDTIMEO;
    return ::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

long ReceiveAll(NativeSocket socket, void* data, std::size_t size) {
    return static_cast<long>(::recv(socket, data, size, MSG_WAITALL));
}

long SendSome(NativeSocket socket, const void* data, std::size_t size) {
    return static_cast<long>(::send(socket, data, size, MSG_NOSIGNAL));
}

#endif

bool RaiseSocketBuffer(NativeSocket socket, SocketBuffer which, int minimum) {
    const int option = which == SocketBuffer::Receive ? SO_RCVBUF : SO_SNDBUF;
    int current = 0;
    socklen_t length = sizeof current;
    if (getsockopt(socket, SOL_SOCKET, option, reinterpret_cast<char*>(&current), &length) != 0) return false;
    if (current >= minimum) return true;
    return setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&minimum), sizeof minimum) == 0;
}

}  // namespace platform
