#include "ServerAddress.h"

#include <stdexcept>

namespace orvctl {
namespace {

int ParsePort(const std::string& text, const std::string& whole) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw std::invalid_argument("bad port in server '" + whole + "'");
    }
    const int port = std::stoi(text);
    if (port < 1 || port > 65535) {
        throw std::invalid_argument("port out of range in server '" + whole + "'");
    }
    return port;
}

}  // namespace

std::string ServerAddress::Address() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

ServerAddress ParseServerAddress(const std::string& text) {
    ServerAddress address;
    std::string hostPort = text;
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        hostPort = text.substr(0, slash);
        address.password = text.substr(slash + 1);
    }
    if (!hostPort.empty() && hostPort.front() == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            throw std::invalid_argument("unterminated '[' in server '" + text + "'");
        }
        address.host = hostPort.substr(1, close - 1);
        const std::string rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                throw std::invalid_argument("expected ':PORT' after ']' in server '" + text + "'");
            }
            address.port = ParsePort(rest.substr(1), text);
        }
    } else {
        const size_t colon = hostPort.find(':');
        address.host = hostPort.substr(0, colon);
        if (colon != std::string::npos) {
            address.port = ParsePort(hostPort.substr(colon + 1), text);
        }
    }
    if (address.host.empty()) {
        throw std::invalid_argument("missing host in server '" + text + "'");
    }
    return address;
}

}  // namespace orvctl
