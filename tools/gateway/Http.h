// Small pieces of HTTP handling that do not depend on the gateway's state.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

struct Target {
    std::string path;
    std::map<std::string, std::string> query;
};

// "/api/x?a=1&b=%2B2" -> path "/api/x", query {a: "1", b: "+2"}. A '+' stays a '+'
// (time offsets use it). Returns nullopt for a malformed percent escape.
std::optional<Target> ParseTarget(std::string_view target);

// "3" -> 3; nullopt unless the whole text is a decimal integer in [low, high].
std::optional<int> ParseInt(std::string_view text, int low, int high);
std::optional<double> ParseNumber(std::string_view text);
// "1,2,5" -> {1, 2, 5}; nullopt when any item is not a camera number.
std::optional<std::vector<int>> ParseCameraList(std::string_view text);

// The path's segments: "/api/cameras/3/ptz" -> {"api", "cameras", "3", "ptz"}.
std::vector<std::string> Segments(std::string_view path);

// Constant-time comparison of a presented token with the expected one.
bool TokenMatches(std::string_view presented, std::string_view expected);

// The HTTP status a library result code stands for in a reply.
int StatusForCode(int code);

// The target as it may be logged: the value of a token parameter is masked.
std::string LoggableTarget(std::string_view target);

}  // namespace gateway
