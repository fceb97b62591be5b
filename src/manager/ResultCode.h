#pragma once

#include <cstdint>

// The results the library hands its callers. The manager, the plate helper and the
// exports all return these; the public header spells the same values as ORV_OK and
// ORV_E_*, and the exports check at compile time that the two lists agree.
// (The protocol client below has conventions of its own, stated where each operation
// is declared in protocol/IOrvModule.h.)
namespace orv_result {

enum Code : int32_t {
    kOk = 0,
    kFailed = -1,            // failure, not found, server refused
    kInvalidArgument = -5,   // null pointer, zero count, camera out of range
    kBufferTooSmall = -6,    // the caller's buffer is too small; the needed size is reported
    kDuplicate = -7,         // a server with this address and port is registered
    kNoFrame = -8,           // no frame available
    kCameraInactive = -9,    // server connected, camera not active
    kUnknownCamera = -12,    // unknown camera (camera information)
    kNotDecodable = -21,     // an archive picture could not be decoded
    kNoPlate = -300,         // no plate record available
    kNotReady = -510,        // the protocol client is not ready
    kNotInitialised = -513,  // the library is not initialised
    kNotSupported = -600,    // not supported (window functions)
};

}  // namespace orv_result
