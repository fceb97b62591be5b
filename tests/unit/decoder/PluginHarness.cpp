#include "PluginHarness.h"

#include <gtest/gtest.h>

namespace dectest {

DecoderApi& PluginApi() {
    static DecoderApi api(ORV_TEST_DECODER_PLUGIN);
    return api;
}

std::vector<Picture> FetchAll(processing::MPEG4Decoder& decoder, int limit) {
    std::vector<Picture> pictures;
    for (int n = 0; n < limit; ++n) {
        Picture p;
        if (decoder.GetFrameInfo(p.width, p.height, p.pixelFormat) != 0) break;
        if (p.width == 0 || p.height == 0) break;
        const size_t bytes = static_cast<size_t>(p.width) * p.height * (p.pixelFormat == 1 ? 1 : 2);
        p.data.resize(bytes);
        const int32_t status = decoder.GetFrame(p.data.data(), static_cast<int32_t>(bytes));
        EXPECT_EQ(status, 0) << "GetFrame failed after GetFrameInfo reported a picture";
        if (status != 0) break;
        pictures.push_back(std::move(p));
    }
    return pictures;
}

}  // namespace dectest
