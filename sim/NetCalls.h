// The socket calls orv-sim makes, over BSD sockets on Linux and Windows Sockets on
// Windows. Socket handles are kept in an int on both (Windows hands out small
// handle values); -1 is "no socket".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace orv_sim::net {

#ifdef _WIN32
using PollCount = unsigned long;
#else
using PollCount = nfds_t;
#endif

// Makes sure the socket library is initialised (once per process on Windows).
void Startup();
int LastError();
bool Interrupted(int error);
std::string ErrorText(int error);

// A TCP socket listening on 127.0.0.1:port (0: an ephemeral port, written back). -1 on failure.
int ListenLoopback(uint16_t& port);
// An accepted connection with TCP_NODELAY set, -1 on failure.
int Accept(int listener);
void Close(int socket);
void ShutdownBoth(int socket);
int Poll(pollfd* fds, PollCount count, int timeoutMs);
long Receive(int socket, void* data, std::size_t size);
// Sends the pieces in one call (gathered); the bytes sent, or -1.
long SendGathered(int socket, const std::vector<std::pair<const uint8_t*, std::size_t>>& pieces);

// Wakes a thread blocked in Poll: a pipe on Linux, a loopback datagram socket
// talking to itself on Windows (Windows cannot poll a pipe).
class WakeChannel {
public:
    bool Open();
    void Close();
    void Signal();
    void Drain();
    int ReadHandle() const { return read_; }
    bool IsOpen() const { return read_ >= 0; }

private:
    int read_ = -1;
    int write_ = -1;
};

}  // namespace orv_sim::net
