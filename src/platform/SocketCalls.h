// The few socket calls the protocol client makes below Asio (see TServerDM.cpp
// for why), over BSD sockets on Linux and Windows Sockets on Windows. Including
// it also declares the system's inet_addr.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <poll.h>
#endif

namespace platform {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

// The error of the last failed socket call on this thread (errno or WSAGetLastError).
int LastSocketError();
// The call was interrupted by a signal and may simply be repeated.
bool IsInterrupted(int error);
// The send or receive time-out of the socket expired.
bool IsIoTimeout(int error);

// Waits until the socket is ready for `events` (POLLIN or POLLOUT); for POLLOUT a
// failed connect also counts as ready. >0 ready, 0 time-out, <0 error.
int WaitSocket(NativeSocket socket, short events, int timeoutMs);
// The pending error of a (connecting) socket, SO_ERROR.
int PendingSocketError(NativeSocket socket);
// The receive or send time-out of a blocking socket (SO_RCVTIMEO, SO_SNDTIMEO);
// false when the system refused it.
enum class SocketTimeout { Receive, Send };
bool SetSocketTimeout(NativeSocket socket, SocketTimeout which, int64_t timeoutMs);
// Makes the socket's receive or send buffer at least `minimum` bytes, leaving it
// alone where the system already gives that much: setting a size switches the
// kernel's own tuning off. The size compared is the one the system reports (on
// Linux that includes the kernel's bookkeeping share). False when a call failed.
enum class SocketBuffer { Receive, Send };
bool RaiseSocketBuffer(NativeSocket socket, SocketBuffer which, int minimum);
// recv waiting for all `size` bytes (until the receive time-out). >0 bytes, 0 end of stream, <0 error.
long ReceiveAll(NativeSocket socket, void* data, std::size_t size);
// One send call, never raising SIGPIPE. >=0 bytes sent, <0 error.
long SendSome(NativeSocket socket, const void* data, std::size_t size);

}  // namespace platform
