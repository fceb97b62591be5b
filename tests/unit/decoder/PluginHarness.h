// Shared helpers for tests that drive the plug-in through DecoderApi.
#pragma once

#include <cstdint>
#include <vector>

#include "video/DecoderApi.h"

namespace dectest {

// The freshly built plug-in, loaded by path for the whole test program.
DecoderApi& PluginApi();

struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t pixelFormat = 0;
    std::vector<uint8_t> data;
};

// Fetches pictures until the decoder has none (bounded by `limit`); a GetFrame
// failure after a successful GetFrameInfo is recorded as a test failure.
std::vector<Picture> FetchAll(processing::MPEG4Decoder& decoder, int limit = 500);

}  // namespace dectest
