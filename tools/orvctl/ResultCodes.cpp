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

// The header's list, so a code added there is named here as well.
constexpr CodeInfo kCodes[] = {
#define ORVCTL_CODE_ROW(name, text) CodeInfo{name, #name, text},
    ORV_RESULT_CODES(ORVCTL_CODE_ROW)
#undef ORVCTL_CODE_ROW
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
