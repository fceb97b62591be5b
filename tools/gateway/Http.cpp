#include "Http.h"

#include <charconv>
#include <cstdlib>

#include "orv_sdk.h"

namespace gateway {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> Decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

}  // namespace

std::optional<Target> ParseTarget(std::string_view target) {
    Target out;
    const size_t question = target.find('?');
    auto path = Decode(target.substr(0, question));
    if (!path) {
        return std::nullopt;
    }
    out.path = *path;
    if (question == std::string_view::npos) {
        return out;
    }
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const size_t eq = pair.find('=');
        auto key = Decode(pair.substr(0, eq));
        auto value = Decode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1));
        if (!key || !value) {
            return std::nullopt;
        }
        out.query[*key] = *value;
    }
    return out;
}

std::optional<int> ParseInt(std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseNumber(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !(value == value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<int>> ParseCameraList(std::string_view text) {
    std::vector<int> cameras;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const auto camera = ParseInt(text.substr(0, comma), 1, 2048);
        if (!camera) {
            return std::nullopt;
        }
        cameras.push_back(*camera);
        if (comma == std::string_view::npos) {
            break;
        }
        text = text.substr(comma + 1);
        if (text.empty()) {
            return std::nullopt;  // a trailing comma
        }
    }
    if (cameras.empty()) {
        return std::nullopt;
    }
    return cameras;
}

std::vector<std::string> Segments(std::string_view path) {
    std::vector<std::string> out;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        if (slash != 0) {
            out.emplace_back(path.substr(0, slash));
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path = path.substr(slash + 1);
    }
    return out;
}

bool TokenMatches(std::string_view presented, std::string_view expected) {
    unsigned char diff = presented.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        const char p = i < presented.size() ? presented[i] : '\0';
        diff |= static_cast<unsigned char>(p ^ expected[i]);
    }
    return diff == 0;
}

int StatusForCode(int code) {
    switch (code) {
        case ORV_OK:
            return 200;
        case ORV_E_INVALID_ARG:
            return 400;
        case ORV_E_UNKNOWN_CAMERA:
        case ORV_E_NO_PLATE:
        case ORV_E_NO_FRAME:
            return 404;
        case ORV_E_CAMERA_INACTIVE:
        case ORV_E_DUPLICATE:
            return 409;
        case ORV_E_NOT_READY:
            return 503;
        case ORV_E_NOT_SUPPORTED:
            return 501;
        case ORV_E_FAILED:
        case ORV_E_NOT_DECODABLE:
            return 502;
        default:
            return 500;
    }
}

std::string LoggableTarget(std::string_view target) {
    std::string out(target);
    const size_t question = out.find('?');
    if (question == std::string::npos) {
        return out;
    }
    size_t at = question + 1;
    while (at < out.size()) {
        size_t amp = out.find('&', at);
        if (amp == std::string::npos) {
            amp = out.size();
        }
        if (out.compare(at, 6, "token=") == 0) {
            out.replace(at + 6, amp - at - 6, "***");
            amp = at + 9;
        }
        at = amp + 1;
    }
    return out;
}

}  // namespace gateway
