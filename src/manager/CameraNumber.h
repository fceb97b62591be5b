// Cameras as the host numbers them and as the layers below index them.
//
// The host numbers cameras 1..2048 across all servers; everything below the exports
// works with the 0-based index (number - 1), and the protocol client sends the
// index on the wire. A live request may carry a stream selector in the high 16
// bits of (number - 1): the low 16 bits are the index, the rest picks the stream.
#pragma once

#include <cstdint>

namespace orv_camera {

inline constexpr int32_t kCount = 2048;  // numbers 1..kCount, indexes 0..kCount-1

constexpr bool ValidIndex(int32_t index) { return index >= 0 && index < kCount; }
constexpr bool ValidNumber(int32_t number) { return number >= 1 && number <= kCount; }
constexpr int32_t IndexOf(int32_t number) { return number - 1; }
constexpr int32_t NumberOf(int32_t index) { return index + 1; }

// A live request's camera value: the camera's index and the stream it asks for.
struct LiveSelection {
    int32_t index = 0;
    uint32_t selector = 0;
};

constexpr LiveSelection SplitLiveValue(int32_t value) {
    const uint32_t raw = static_cast<uint32_t>(value) - 1u;
    return {static_cast<int32_t>(raw & 0xFFFFu), raw >> 16};
}

}  // namespace orv_camera
