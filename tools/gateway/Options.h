// orv-gateway's command line and servers file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ServerAddress.h"

namespace gateway {

struct ListenAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 8080;
};

// "ADDR:PORT", "[v6]:PORT" or "localhost:PORT"; port 0 picks a free one.
// Throws std::invalid_argument.
ListenAddress ParseListen(const std::string& text);
bool IsLoopback(const std::string& host);

// A servers file: {"servers": [...]} or a bare array; each entry is either a text as
// --server takes it or {"host": ..., "port": ..., "password": ...}.
// Throws std::invalid_argument with a readable message.
std::vector<orvctl::ServerAddress> ParseServersJson(const std::string& text);
std::vector<orvctl::ServerAddress> LoadServersFile(const std::string& path);

}  // namespace gateway
