// Server addresses as given on the command line.
#pragma once

#include <string>

namespace orvctl {

struct ServerAddress {
    std::string host;
    int port = 5001;
    std::string password;

    std::string Address() const;  // "host:port"
};

// "HOST[:PORT][/PASSWORD]"; an IPv6 literal goes in brackets: "[::1]:5001".
// Throws std::invalid_argument.
ServerAddress ParseServerAddress(const std::string& text);

}  // namespace orvctl
