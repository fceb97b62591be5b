// A bare protocol client for the simulator tests: raw loopback socket plus the
// wire records, with time-outs on every read so that a test never hangs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/Wire.h"

namespace orv_sim_test {

struct RawReply {
    orv_stuff::TMsgHeader header;
    std::vector<uint8_t> payload;  // the blocks the caller asked to read, back to back
};

class RawClient {
  public:
    explicit RawClient(uint16_t port, int timeoutMs = 3000) : timeoutMs_(timeoutMs) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        connectErrno_ = connected_ ? 0 : errno;
    }
    ~RawClient() {
        if (fd_ >= 0) close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return connected_; }
    int ConnectErrno() const { return connectErrno_; }

    bool Send(orv_stuff::TMsgHeader header, const std::vector<uint8_t>& payload = {}) {
        header.magic = orv_stuff::MSG_MAGIC;
        header.length = static_cast<int32_t>(orv_stuff::kHeaderSize + payload.size());
        std::vector<uint8_t> bytes(orv_stuff::kHeaderSize);
        orv_stuff::EncodeHeader(header, bytes.data());
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return SendRaw(bytes);
    }

    bool SendRaw(const std::vector<uint8_t>& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads exactly n bytes; empty when the time-out passes or the peer closes first.
    std::optional<std::vector<uint8_t>> Read(size_t n, int timeoutMs = -1) {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(timeoutMs < 0 ? timeoutMs_ : timeoutMs);
        while (got < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            const ssize_t r = recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0) return std::nullopt;
            got += static_cast<size_t>(r);
        }
        return out;
    }

    std::optional<orv_stuff::TMsgHeader> ReadHeader(int timeoutMs = -1) {
        auto bytes = Read(orv_stuff::kHeaderSize, timeoutMs);
        if (!bytes) return std::nullopt;
        return orv_stuff::DecodeHeader(bytes->data());
    }

    // True when the peer closed the connection (or reset it) within the time.
    bool PeerClosed(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        uint8_t byte = 0;
        return recv(fd_, &byte, 1, MSG_PEEK) <= 0;
    }

    // Sends a request, reads the reply header and `blockBytes(header)` more bytes.
    template <typename BlockBytes>
    std::optional<RawReply> Exchange(const orv_stuff::TMsgHeader& request,
                                     const std::vector<uint8_t>& payload, BlockBytes blockBytes) {
        if (!Send(request, payload)) return std::nullopt;
        auto header = ReadHeader();
        if (!header) return std::nullopt;
        RawReply reply{*header, {}};
        const size_t more = blockBytes(*header);
        if (more > 0) {
            auto body = Read(more);
            if (!body) return std::nullopt;
            reply.payload = std::move(*body);
        }
        return reply;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    int connectErrno_ = 0;
    int timeoutMs_;
};

inline orv_stuff::TMsgHeader Request(uint16_t command, uint16_t version = 0) {
    orv_stuff::TMsgHeader h;
    h.command = command;
    h.version = version;
    return h;
}

inline size_t Positive(int32_t v) {
    return v > 0 ? static_cast<size_t>(v) : 0;
}

}  // namespace orv_sim_test
