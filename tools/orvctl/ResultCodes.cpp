#include "ResultCodes.h"

#include <array>

#include "orv_sdk.h"

namespace orvctl {
namespace {

struct CodeInfo {
    int code;
    const char* name;
    const char* text;
};

constexpr std::array kCodes{
    CodeInfo{ORV_OK, "ORV_OK", "success"},
    CodeInfo{ORV_E_FAILED, "ORV_E_FAILED", "failed, not found, or the library was busy"},
    CodeInfo{ORV_E_INVALID_ARG, "ORV_E_INVALID_ARG", "invalid argument or unknown camera"},
    CodeInfo{ORV_E_BUFFER_TOO_SMALL, "ORV_E_BUFFER_TOO_SMALL", "buffer too small"},
    CodeInfo{ORV_E_DUPLICATE, "ORV_E_DUPLICATE", "a server with this address and port is already registered"},
    CodeInfo{ORV_E_NO_FRAME, "ORV_E_NO_FRAME", "no frame available"},
    CodeInfo{ORV_E_CAMERA_INACTIVE, "ORV_E_CAMERA_INACTIVE", "camera not active on a connected server"},
    CodeInfo{ORV_E_UNKNOWN_CAMERA, "ORV_E_UNKNOWN_CAMERA", "unknown camera"},
    CodeInfo{ORV_E_NOT_DECODABLE, "ORV_E_NOT_DECODABLE", "archive picture could not be decoded"},
    CodeInfo{ORV_E_NO_PLATE, "ORV_E_NO_PLATE", "no plate record available"},
    CodeInfo{ORV_E_NOT_READY, "ORV_E_NOT_READY", "protocol client not ready"},
    CodeInfo{ORV_E_NOT_INITIALISED, "ORV_E_NOT_INITIALISED", "library not initialised"},
    CodeInfo{ORV_E_NOT_SUPPORTED, "ORV_E_NOT_SUPPORTED", "not supported"},
};

constexpr std::array<const char*, 7> kStates{"Idle",  "Connecting",  "Failed", "Connected",
                                             nullptr, "Unreachable", "Refused"};

const CodeInfo* Find(int code) {
    for (const auto& info : kCodes) {
        if (info.code == code) {
            return &info;
        }
    }
    return nullptr;
}

}  // namespace

std::string ResultName(int code) {
    const CodeInfo* info = Find(code);
    return info ? info->name : "ORV_RESULT(" + std::to_string(code) + ")";
}

std::string ResultText(int code) {
    const CodeInfo* info = Find(code);
    return info ? info->text : "result code not defined by the library header";
}

std::string DescribeResult(int code) {
    return ResultName(code) + " (" + std::to_string(code) + "): " + ResultText(code);
}

std::string StateName(int state) {
    if (state >= 0 && state < static_cast<int>(kStates.size()) && kStates[static_cast<size_t>(state)]) {
        return kStates[static_cast<size_t>(state)];
    }
    return "State(" + std::to_string(state) + ")";
}

bool IsSettledState(int state) {
    return state == ORV_STATE_CONNECTED || state == ORV_STATE_FAILED || state == ORV_STATE_UNREACHABLE ||
           state == ORV_STATE_REFUSED;
}

}  // namespace orvctl
