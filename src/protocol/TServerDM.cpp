#include "protocol/TServerDM.h"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <cstring>

#include "platform/SocketCalls.h"

namespace orv_stuff {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

constexpr int32_t kMaxReceiveCall = 1 << 20;
constexpr int kSocketBufferSize = 131072;

bool IsResolutionError(const error_code& error) {
    return error.category() == asio::error::get_netdb_category() ||
           error.category() == asio::error::get_addrinfo_category();
}

bool WouldBlock(const error_code& error) {
    return error == asio::error::would_block || error == asio::error::try_again ||
           error == asio::error::in_progress;
}

// Once connected the socket blocks, bounded by its receive and send time-outs: a
// call that sees no progress within the time-out fails with EAGAIN, which is
// the time-out error here.
error_code IoError(int code) {
    if (platform::IsIoTimeout(code)) return asio::error::timed_out;
    return error_code(code, asio::error::get_system_category());
}

}  // namespace

ServerState StateForError(const error_code& error) {
    if (!error) return Connected;
    if (IsResolutionError(error)) return Unreachable;
    if (error == asio::error::timed_out || error == asio::error::host_unreachable ||
        error == asio::error::network_unreachable || error == asio::error::try_again) {
        return Unreachable;
    }
    if (error == asio::error::connection_refused) return Refused;
    return Failed;
}

TServerDM::TServerDM(std::chrono::milliseconds ioTimeout)
    : ioTimeout_(ioTimeout), socket_(io_), resolver_(io_) {}

TServerDM::~TServerDM() { TServerDM::Stop(); }

void TServerDM::Start() {
    Stop();
    if (connecting.exchange(true)) return;
    state.exchange(Connecting);
    try {
        connectThread_ = std::thread([this] { ConnectProc(); });
    } catch (...) {
        connecting.store(false);
        state.exchange(Failed);
        throw;
    }
}

void TServerDM::Stop() {
    if (connectThread_.joinable()) connectThread_.join();
    if (socket_.is_open()) {
        error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }
    state.exchange(Idle);
}

void TServerDM::ApplyResult(const error_code& error) { state.exchange(StateForError(error)); }

void TServerDM::MarkOutOfStep() { state.exchange(Failed); }

void TServerDM::ConnectProc() {
    const std::string service = std::to_string(port);
    const std::string& host = hostName.empty() ? hostAddress : hostName;
    error_code error;
    auto endpoints = resolver_.resolve(host, service, asio::ip::tcp::resolver::address_configured, error);
    if (error) {
        error = asio::error::host_not_found;
    } else {
        error = ConnectEndpoints(endpoints);
    }
    if (socket_.is_open()) SetSocketOptions();
    if (!error) {
        // Reads and writes block from here on, limited by the socket time-outs;
        // one call per transfer instead of a readiness wait before each.
        error_code ignored;
        socket_.non_blocking(false, ignored);
    }
    ApplyResult(error);
    connecting.store(false);
}

error_code TServerDM::ConnectEndpoints(const asio::ip::tcp::resolver::results_type& endpoints) {
    error_code error = asio::error::host_not_found;
    for (const auto& entry : endpoints) {
        error = ConnectOne(entry.endpoint());
        if (!error) return error;
    }
    if (error) {
        error_code ignored;
        socket_.close(ignored);
    }
    return error;
}

// A connect that does not complete within the I/O time-out counts as timed out,
// so that stopping a record never waits for the kernel's much longer retry cycle.
error_code TServerDM::ConnectOne(const asio::ip::tcp::endpoint& endpoint) {
    error_code error;
    socket_.close(error);
    socket_.open(endpoint.protocol(), error);
    if (error) return error;
    socket_.non_blocking(true, error);
    if (error) return error;
    socket_.connect(endpoint, error);
    if (!WouldBlock(error)) return error;
    error = WaitReady(POLLOUT);
    if (error) return error;
    const int soError = platform::PendingSocketError(socket_.native_handle());
    return soError == 0 ? error_code{} : error_code(soError, asio::error::get_system_category());
}

void TServerDM::SetSocketOptions() {
    error_code ignored;
    receiveArmed_ = sendArmed_ = std::chrono::milliseconds{0};
    ArmTimeout(platform::SocketTimeout::Receive, receiveArmed_);
    ArmTimeout(platform::SocketTimeout::Send, sendArmed_);
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    // Buffers at least this large, but only set where the system gives less:
    // setting a size switches the kernel's own tuning off, which then caps the
    // transfer rate of large frames. (Asio's own option reads half the size Linux
    // reports, which made every connection look too small and lock its buffer.)
    platform::RaiseSocketBuffer(socket_.native_handle(), platform::SocketBuffer::Receive, kSocketBufferSize);
    platform::RaiseSocketBuffer(socket_.native_handle(), platform::SocketBuffer::Send, kSocketBufferSize);
    socket_.set_option(asio::socket_base::linger(true, 1), ignored);
}

void TServerDM::BeginExchange() {
    exchangeDeadline_ = std::chrono::steady_clock::now() + ioTimeout_;
}

// The limit of every blocking read and write once connected: what is left of the
// exchange, at most the I/O time-out, at least a millisecond (zero would mean no
// limit at all).  A receive that waits for a whole chunk gives up at this limit
// with what arrived, so a peer trickling bytes cannot stretch an exchange.
error_code TServerDM::ArmTimeout(platform::SocketTimeout which, std::chrono::milliseconds& armed) {
    using std::chrono::milliseconds;
    milliseconds limit = std::max(ioTimeout_, milliseconds{1});
    if (exchangeDeadline_ != std::chrono::steady_clock::time_point::max()) {
        const auto left = exchangeDeadline_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return asio::error::timed_out;
        limit = std::min(limit, std::max(std::chrono::ceil<milliseconds>(left), milliseconds{1}));
    }
    if (limit == armed) return {};
    if (!platform::SetSocketTimeout(socket_.native_handle(), which, limit.count())) {
        return error_code(platform::LastSocketError(), asio::error::get_system_category());
    }
    armed = limit;
    return {};
}

// Blocking Asio calls retry EAGAIN without limit, so the connect waits with a
// poll() bounded by the I/O time-out, and reads and writes call the socket
// directly.
error_code TServerDM::WaitReady(short events) {
    const auto deadline = std::chrono::steady_clock::now() + ioTimeout_;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        const int waitMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
        const int rc = platform::WaitSocket(socket_.native_handle(), events, waitMs);
        if (rc > 0) return {};
        if (rc == 0) return asio::error::timed_out;
        const int failure = platform::LastSocketError();
        if (!platform::IsInterrupted(failure)) return error_code(failure, asio::error::get_system_category());
    }
}

IoResult TServerDM::Read(void* buffer, int32_t n) {
    IoResult result;
    result.step = nextRead_;
    nextRead_ = ExchangeStep::ReplyBlock;
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (n <= 0 || buffer == nullptr) {
        result.error = asio::error::invalid_argument;
        return result;
    }
    if (!socket_.is_open()) {
        std::memset(bytes, 0, static_cast<size_t>(n));
        result.error = asio::error::not_connected;
        return result;
    }
    const auto fd = socket_.native_handle();
    int32_t& done = result.transferred;
    error_code& error = result.error;
    while (done < n && !error) {
        error = ArmTimeout(platform::SocketTimeout::Receive, receiveArmed_);
        if (error) break;
        const int32_t chunk = std::min(n - done, kMaxReceiveCall);
        // One call waits for the whole chunk; when the receive time-out ends first it
        // returns what arrived (the loop goes on) or, with nothing at all, the time-out.
        const long got = platform::ReceiveAll(fd, bytes + done, static_cast<size_t>(chunk));
        if (got > 0) {
            done += static_cast<int32_t>(got);
        } else if (got == 0) {
            error = asio::error::eof;
        } else if (const int failure = platform::LastSocketError(); !platform::IsInterrupted(failure)) {
            error = IoError(failure);
        }
    }
    // Only the bytes that never arrived are cleared: a complete read overwrites
    // everything, and clearing multi-megabyte payload areas up front cost as
    // much as receiving them.
    if (done < n) std::memset(bytes + done, 0, static_cast<size_t>(n - done));
    ApplyResult(error);
    return result;
}

IoResult TServerDM::Write(const void* buffer, int32_t n) {
    IoResult result;
    result.step = ExchangeStep::Request;
    nextRead_ = ExchangeStep::ReplyHeader;
    if (n <= 0 || buffer == nullptr) {
        result.error = asio::error::invalid_argument;
        return result;
    }
    if (!socket_.is_open()) {
        result.error = asio::error::not_connected;
        return result;
    }
    const auto fd = socket_.native_handle();
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int32_t& done = result.transferred;
    error_code& error = result.error;
    while (done < n && !error) {
        error = ArmTimeout(platform::SocketTimeout::Send, sendArmed_);
        if (error) break;
        const long sent = platform::SendSome(fd, bytes + done, static_cast<size_t>(n - done));
        if (sent > 0) {
            done += static_cast<int32_t>(sent);
        } else if (sent < 0 && !platform::IsInterrupted(platform::LastSocketError())) {
            error = IoError(platform::LastSocketError());
        } else if (sent == 0) {
            error = asio::error::connection_aborted;
        }
    }
    ApplyResult(error);
    return result;
}

}  // namespace orv_stuff
