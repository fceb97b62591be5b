#include "Options.h"

#include <boost/asio/ip/address.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace gateway {

ListenAddress ParseListen(const std::string& text) {
    ListenAddress out;
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        throw std::invalid_argument("--listen takes ADDR:PORT, got '" + text + "'");
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    if (ec) {
        throw std::invalid_argument("--listen needs a numeric address, got '" + host + "'");
    }
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 || std::stoi(port) > 65535) {
        throw std::invalid_argument("bad port in --listen '" + text + "'");
    }
    out.host = host;
    out.port = static_cast<uint16_t>(std::stoi(port));
    return out;
}

bool IsLoopback(const std::string& host) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(host, ec);
    return !ec && address.is_loopback();
}

std::vector<orvctl::ServerAddress> ParseServersJson(const std::string& text) {
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        throw std::invalid_argument("servers file is not valid JSON");
    }
    const auto& list = doc.is_object() && doc.contains("servers") ? doc["servers"] : doc;
    if (!list.is_array()) {
        throw std::invalid_argument("servers file: expected {\"servers\": [...]} or an array");
    }
    std::vector<orvctl::ServerAddress> servers;
    for (const auto& entry : list) {
        if (entry.is_string()) {
            servers.push_back(orvctl::ParseServerAddress(entry.get<std::string>()));
            continue;
        }
        if (!entry.is_object() || !entry.contains("host") || !entry["host"].is_string()) {
            throw std::invalid_argument("servers file: every server needs \"host\" (or is a HOST[:PORT][/PASSWORD] text)");
        }
        orvctl::ServerAddress address;
        address.host = entry["host"].get<std::string>();
        if (entry.contains("port")) {
            if (!entry["port"].is_number_integer() || entry["port"].get<int>() < 1 || entry["port"].get<int>() > 65535) {
                throw std::invalid_argument("servers file: \"port\" must be 1..65535");
            }
            address.port = entry["port"].get<int>();
        }
        if (entry.contains("password")) {
            if (!entry["password"].is_string()) {
                throw std::invalid_argument("servers file: \"password\" must be a text");
            }
            address.password = entry["password"].get<std::string>();
        }
        if (address.host.empty()) {
            throw std::invalid_argument("servers file: empty \"host\"");
        }
        servers.push_back(address);
    }
    return servers;
}

std::vector<orvctl::ServerAddress> LoadServersFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::invalid_argument("cannot read servers file " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseServersJson(text.str());
}

}  // namespace gateway
