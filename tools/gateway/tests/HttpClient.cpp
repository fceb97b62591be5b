#include "HttpClient.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace gateway::test {
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trim(const std::string& text) {
    const size_t a = text.find_first_not_of(" \t\r");
    const size_t b = text.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string{} : text.substr(a, b - a + 1);
}

// "Name: value" lines after the first line (or from the first when skipFirst is false).
std::map<std::string, std::string> ParseHeaders(const std::string& block, bool skipFirst, std::string* first) {
    std::map<std::string, std::string> headers;
    std::istringstream in(block);
    std::string line;
    bool isFirst = true;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (isFirst && skipFirst) {
            isFirst = false;
            if (first) {
                *first = line;
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
        }
    }
    return headers;
}

tcp::socket Connect(net::io_context& io, uint16_t port) {
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    return socket;
}

void SendRequest(tcp::socket& socket, const std::string& method, const std::string& target,
                 const std::map<std::string, std::string>& headers, const std::string& body) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers) {
        text += name + ": " + value + "\r\n";
    }
    if (!body.empty() || method == "POST") {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    text += "\r\n" + body;
    net::write(socket, net::buffer(text));
}

}  // namespace

HttpReply Request(uint16_t port, const std::string& method, const std::string& target,
                  const std::map<std::string, std::string>& headers, const std::string& body) {
    net::io_context io;
    tcp::socket socket = Connect(io, port);
    SendRequest(socket, method, target, headers, body);
    std::string all;
    boost::system::error_code ec;
    std::array<char, 65536> chunk{};
    for (;;) {
        const size_t n = socket.read_some(net::buffer(chunk), ec);
        all.append(chunk.data(), n);
        if (ec) {
            break;
        }
    }
    const size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) {
        throw std::runtime_error("no HTTP reply head");
    }
    HttpReply reply;
    std::string statusLine;
    reply.headers = ParseHeaders(all.substr(0, end), true, &statusLine);
    reply.status = std::stoi(statusLine.substr(9, 3));
    reply.body = all.substr(end + 4);
    if (auto it = reply.headers.find("content-length"); it != reply.headers.end()) {
        if (reply.body.size() != std::stoul(it->second)) {
            throw std::runtime_error("body size differs from Content-Length");
        }
    }
    return reply;
}

StreamClient::StreamClient(uint16_t port, const std::string& target, int receiveBuffer) : socket_(io_) {
    socket_.open(tcp::v4());
    if (receiveBuffer > 0) {
        socket_.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
    }
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    SendRequest(socket_, "GET", target, {}, {});
    std::string head;
    if (!ReadUntil("\r\n\r\n", std::chrono::seconds(10), head)) {
        throw std::runtime_error("no reply head");
    }
    std::string statusLine;
    headers_ = ParseHeaders(head, true, &statusLine);
    status_ = std::stoi(statusLine.substr(9, 3));
    const std::string type = headers_["content-type"];
    const size_t at = type.find("boundary=");
    if (at != std::string::npos) {
        boundary_ = type.substr(at + 9);
    }
}

bool StreamClient::ReadUntil(const std::string& delimiter, std::chrono::milliseconds timeout, std::string& out) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t at = buffered_.find(delimiter);
        if (at != std::string::npos) {
            out = buffered_.substr(0, at);
            buffered_.erase(0, at + delimiter.size());
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{socket_.native_handle(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::array<char, 65536> chunk{};
        boost::system::error_code ec;
        const size_t n = socket_.read_some(net::buffer(chunk), ec);
        if (ec) {
            return false;
        }
        buffered_.append(chunk.data(), n);
    }
}

bool StreamClient::ReadExactly(size_t size, std::chrono::milliseconds timeout, std::string& out) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (buffered_.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{socket_.native_handle(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::array<char, 65536> chunk{};
        boost::system::error_code ec;
        const size_t n = socket_.read_some(net::buffer(chunk), ec);
        if (ec) {
            return false;
        }
        buffered_.append(chunk.data(), n);
    }
    out = buffered_.substr(0, size);
    buffered_.erase(0, size);
    return true;
}

std::optional<Part> StreamClient::NextPart(std::chrono::milliseconds timeout) {
    if (boundary_.empty()) {
        throw std::runtime_error("not a multipart stream");
    }
    std::string line;
    if (!ReadUntil("\r\n", timeout, line)) {
        return std::nullopt;
    }
    if (line == "--" + boundary_ + "--") {
        closed_ = true;
        return std::nullopt;
    }
    if (line != "--" + boundary_) {
        throw std::runtime_error("expected a boundary line, got '" + line.substr(0, 60) + "'");
    }
    std::string head;
    if (!ReadUntil("\r\n\r\n", timeout, head)) {
        return std::nullopt;
    }
    Part part;
    part.headers = ParseHeaders(head, false, nullptr);
    const auto length = part.headers.find("content-length");
    if (length == part.headers.end()) {
        throw std::runtime_error("part without Content-Length");
    }
    std::string body;
    if (!ReadExactly(std::stoul(length->second) + 2, timeout, body)) {
        return std::nullopt;
    }
    if (body.substr(body.size() - 2) != "\r\n") {
        throw std::runtime_error("part body not followed by CRLF");
    }
    body.resize(body.size() - 2);
    part.body = std::move(body);
    return part;
}

std::optional<std::map<std::string, std::string>> StreamClient::NextEvent(std::chrono::milliseconds timeout) {
    for (;;) {
        std::string block;
        if (!ReadUntil("\n\n", timeout, block)) {
            return std::nullopt;
        }
        std::map<std::string, std::string> fields;
        std::istringstream in(block);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == ':') {
                continue;
            }
            const size_t colon = line.find(':');
            if (colon == std::string::npos) {
                throw std::runtime_error("event line without a colon: " + line);
            }
            fields[line.substr(0, colon)] = Trim(line.substr(colon + 1));
        }
        if (fields.count("data")) {
            return fields;
        }
    }
}

bool IsJpeg(const std::string& bytes) {
    return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 &&
           static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xFF &&
           static_cast<unsigned char>(bytes[bytes.size() - 1]) == 0xD9;
}

namespace {

int Spawn(const std::string& program, const std::vector<std::string>& args, int* outFd) {
    int fds[2] = {-1, -1};
    if (outFd && pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (outFd) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (outFd) {
        close(fds[1]);
        *outFd = fds[0];
    }
    return pid;
}

int WaitFor(int pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

GatewayProcess::GatewayProcess(const std::string& program, const std::vector<std::string>& args) {
    pid_ = Spawn(program, args, &out_);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{out_, POLLIN, 0};
        if (::poll(&fd, 1, 100) > 0) {
            char c[256];
            const ssize_t n = read(out_, c, sizeof c);
            if (n <= 0) {
                break;
            }
            text.append(c, static_cast<size_t>(n));
        }
    }
    const size_t colon = text.rfind(':');
    if (text.rfind("listening http://", 0) != 0 || colon == std::string::npos) {
        Stop(std::chrono::seconds(1));
        throw std::runtime_error("gateway did not start: '" + text + "'");
    }
    port_ = static_cast<uint16_t>(std::stoi(text.substr(colon + 1)));
}

GatewayProcess::~GatewayProcess() { Stop(std::chrono::seconds(5)); }

int GatewayProcess::Stop(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, SIGTERM);
    const int status = WaitFor(pid_, timeout);
    pid_ = -1;
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    return status;
}

int RunToEnd(const std::string& program, const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    return WaitFor(Spawn(program, args, nullptr), timeout);
}

}  // namespace gateway::test
