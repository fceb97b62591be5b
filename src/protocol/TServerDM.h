// One registered recording server: its address, connection state, the TCP
// socket, the login information and the per-channel archive cursor.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/SocketCalls.h"
#include "protocol/Wire.h"

namespace orv_stuff {

enum ServerState : int32_t {
    Idle = 0,
    Connecting = 1,
    Failed = 2,
    Connected = 3,
    Unreachable = 5,
    Refused = 6,
};

// State that a socket or resolver error leads to (no error: Connected).
ServerState StateForError(const boost::system::error_code& error);

class TServerDM : public IByteChannel {
public:
    static constexpr std::chrono::milliseconds kDefaultIoTimeout{10000};

    // ioTimeout bounds every receive, send and connect attempt that makes no progress.
    explicit TServerDM(std::chrono::milliseconds ioTimeout = kDefaultIoTimeout);
    ~TServerDM() override;
    TServerDM(const TServerDM&) = delete;
    TServerDM& operator=(const TServerDM&) = delete;

    // Connects on a thread of its own; the state follows the outcome.
    virtual void Start();
    // Waits for a running connect, closes the socket, state Idle.
    virtual void Stop();
    // Starts the clock of one exchange: its request, reply header and reply
    // blocks must all be through within the I/O time-out from now, however the
    // bytes trickle in.  Past that, reads and writes fail as timed out.
    void BeginExchange();
    // Exactly n bytes, or the error that stopped them (n <= 0 and a closed
    // socket are errors too).  Every failure leaves the state that its error
    // leads to, so a timed-out exchange makes the server Unreachable.
    IoResult Read(void* buffer, int32_t n) override;
    IoResult Write(const void* buffer, int32_t n) override;
    void MarkOutOfStep() override;

    ServerState State() const { return static_cast<ServerState>(state.load()); }
    bool IsConnected() const { return state.load() == Connected; }
    bool IsConnecting() const { return connecting.load(); }
    std::chrono::milliseconds IoTimeout() const { return ioTimeout_; }

    // Registration data and protocol state; guarded by the protocol client's lock
    // except `state` and `connecting`, which the connect thread also writes.
    double registeredAt = 0.0;
    int32_t receivedBytes = 0;
    int32_t rateLimitKiB = 0;
    int32_t port = 0;
    std::string hostName;
    std::string hostAddress;
    std::atomic<int32_t> state{Idle};
    int32_t userValue = 0;
    TServerInfo info{};
    double archivePos[kArchiveChannelCount] = {};
    uint8_t archiveFound[kArchiveChannelCount] = {};
    std::atomic<bool> connecting{false};
    int32_t changeCount = 0;
    uint32_t version = 0;
    uint32_t clientVersion = 0;

protected:
    void ApplyResult(const boost::system::error_code& error);

private:
    void ConnectProc();
    boost::system::error_code ConnectEndpoints(const boost::asio::ip::tcp::resolver::results_type& endpoints);
    boost::system::error_code ConnectOne(const boost::asio::ip::tcp::endpoint& endpoint);
    void SetSocketOptions();
    // Waits until the socket is readable (POLLIN) or writable (POLLOUT).
    boost::system::error_code WaitReady(short events);
    // Sets the socket's receive or send time-out (SO_RCVTIMEO, SO_SNDTIMEO) to
    // what is left of the exchange, at most the I/O time-out; timed_out when
    // nothing is left.
    boost::system::error_code ArmTimeout(platform::SocketTimeout which, std::chrono::milliseconds& armed);

    std::chrono::milliseconds ioTimeout_;
    // End of the running exchange; none before the first one.
    std::chrono::steady_clock::time_point exchangeDeadline_ = std::chrono::steady_clock::time_point::max();
    ExchangeStep nextRead_ = ExchangeStep::ReplyHeader;
    std::chrono::milliseconds receiveArmed_{0};
    std::chrono::milliseconds sendArmed_{0};
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::ip::tcp::resolver resolver_;
    std::thread connectThread_;
};

}  // namespace orv_stuff
