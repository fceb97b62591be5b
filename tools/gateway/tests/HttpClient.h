// A plain HTTP/1.1 client for the gateway's tests and benchmark: single requests, and
// readers of multipart picture streams and event streams that check the framing as they go.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gateway::test {

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One request on a fresh connection. Throws on a network failure.
HttpReply Request(uint16_t port, const std::string& method, const std::string& target,
                  const std::map<std::string, std::string>& headers = {}, const std::string& body = {});
inline HttpReply Get(uint16_t port, const std::string& target, const std::map<std::string, std::string>& headers = {}) {
    return Request(port, "GET", target, headers);
}

struct Part {
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// Reads a long-lived reply part by part. Framing faults throw std::runtime_error.
class StreamClient {
  public:
    // receiveBuffer > 0 shrinks the socket's receive buffer (a slow reader backs up sooner).
    StreamClient(uint16_t port, const std::string& target, int receiveBuffer = 0);
    int Status() const { return status_; }
    const std::map<std::string, std::string>& Headers() const { return headers_; }
    // The next multipart part; nullopt when the stream ended with its closing boundary
    // (sets Closed()) or on time-out / disconnect.
    std::optional<Part> NextPart(std::chrono::milliseconds timeout);
    // The next server-sent event (its "field: value" lines); comments are skipped.
    std::optional<std::map<std::string, std::string>> NextEvent(std::chrono::milliseconds timeout);
    bool Closed() const { return closed_; }

  private:
    bool ReadUntil(const std::string& delimiter, std::chrono::milliseconds timeout, std::string& out);
    bool ReadExactly(size_t size, std::chrono::milliseconds timeout, std::string& out);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    std::string buffered_;
    std::string boundary_;
    int status_ = 0;
    bool closed_ = false;
    std::map<std::string, std::string> headers_;
};

bool IsJpeg(const std::string& bytes);

// orv-gateway as a child process on an ephemeral loopback port; stopped with SIGTERM.
class GatewayProcess {
  public:
    // Starts the program with the arguments and reads its "listening" line (port 0 asks
    // for a free port). Throws when the program ends first.
    GatewayProcess(const std::string& program, const std::vector<std::string>& args);
    ~GatewayProcess();
    uint16_t Port() const { return port_; }
    int Pid() const { return pid_; }
    // SIGTERM, then waits; the exit status, or -1 when it did not exit on its own in time.
    int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(15));

  private:
    int pid_ = -1;
    int out_ = -1;
    uint16_t port_ = 0;
};

// Runs a program to its end; its exit status (-1 when killed after the time-out).
int RunToEnd(const std::string& program, const std::vector<std::string>& args, std::chrono::milliseconds timeout);

}  // namespace gateway::test
