// A scripted decoder behind the plug-in's function table. A payload announces
// its pictures in the byte after the start code (see PicturePayload); every
// picture is a small YUYV (or grey) image whose luma is the payload's fill byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "BlockBuilder.h"
#include "video/DecoderApi.h"

namespace storage_test {

struct FakeDecoderState {
    std::atomic<int32_t> width{8};
    std::atomic<int32_t> height{4};
    std::atomic<int32_t> pixelFormat{decoder_abi::kPixelYuyv};
    std::atomic<bool> failGetDecoder{false};
    std::atomic<int32_t> failSetBytes{0};  // this many SetBytes calls fail first
    std::atomic<int32_t> getDecoderCalls{0};
    std::atomic<int32_t> releaseCalls{0};
    std::atomic<int32_t> setBytesCalls{0};
    std::atomic<int32_t> getFrameCalls{0};
    std::atomic<int32_t> nextHandle{1};

    // Per handle: pictures of the last accepted payload not yet read, and their luma.
    struct Stream {
        int32_t pending = 0;
        uint8_t luma = 0;
    };
    std::mutex mutex;
    std::map<int32_t, Stream> streams;

    void Reset() {
        width = 8;
        height = 4;
        pixelFormat = decoder_abi::kPixelYuyv;
        failGetDecoder = false;
        failSetBytes = 0;
        getDecoderCalls = releaseCalls = setBytesCalls = getFrameCalls = 0;
        std::lock_guard lock(mutex);
        streams.clear();
    }
};

inline FakeDecoderState& Fake() {
    static FakeDecoderState state;
    return state;
}

extern "C" {
inline int32_t FakeGetDecoder(int32_t) {
    ++Fake().getDecoderCalls;
    return Fake().failGetDecoder ? 0 : Fake().nextHandle++;
}
inline void FakeReleaseDecoder(int32_t) { ++Fake().releaseCalls; }
inline int32_t FakeSetParams(int32_t, int32_t, int32_t) { return 0; }
inline int32_t FakeSetBytes(int32_t handle, const uint8_t* data, int32_t length, int32_t, int32_t, int32_t) {
    ++Fake().setBytesCalls;
    if (Fake().failSetBytes > 0) {
        --Fake().failSetBytes;
        return -1;
    }
    if (data == nullptr || length < 6) return -2;
    const size_t code = data[2] == 1 ? 3 : 4;
    std::lock_guard lock(Fake().mutex);
    Fake().streams[handle] = {data[code], data[code + 1]};
    return 0;
}
inline int32_t FakePending(int32_t handle) {
    std::lock_guard lock(Fake().mutex);
    return Fake().streams[handle].pending;
}
inline int32_t FakeGetFrameInfo(int32_t handle, int32_t* width, int32_t* height, int32_t* pixelFormat) {
    if (FakePending(handle) <= 0) return -1;
    *width = Fake().width;
    *height = Fake().height;
    *pixelFormat = Fake().pixelFormat;
    return 0;
}
inline int32_t FakeGetFrame(int32_t handle, uint8_t* buffer, int32_t size) {
    ++Fake().getFrameCalls;
    const int32_t bpp = Fake().pixelFormat == decoder_abi::kPixelGrey ? 1 : 2;
    const int32_t needed = Fake().width * Fake().height * bpp;
    uint8_t luma = 0;
    {
        std::lock_guard lock(Fake().mutex);
        auto& stream = Fake().streams[handle];
        if (stream.pending <= 0 || size < needed) return -1;
        --stream.pending;
        luma = stream.luma;
    }
    for (int32_t i = 0; i < needed; ++i) {
        // YUYV: luma at even bytes, neutral chroma at odd bytes.
        buffer[i] = (bpp == 1 || i % 2 == 0) ? luma : uint8_t{128};
    }
    return 0;
}
}

inline DecoderFunctions FakeTable() {
    DecoderFunctions f;
    f.GetDecoder = &FakeGetDecoder;
    f.ReleaseDecoder = &FakeReleaseDecoder;
    f.SetParams = &FakeSetParams;
    f.SetBytes = &FakeSetBytes;
    f.GetFrameInfo = &FakeGetFrameInfo;
    f.GetFrame = &FakeGetFrame;
    return f;
}

// A payload of `kind` that makes the fake decoder produce `pictures` pictures
// with luma `luma`.
inline std::vector<uint8_t> PicturePayload(int pictures, uint8_t luma = 100, int32_t kind = processing::kKindMpeg4,
                                           size_t size = 32) {
    std::vector<uint8_t> p = Payload(kind, size);
    const size_t code = kind == processing::kKindAvc ? 4 : 3;
    p[code] = static_cast<uint8_t>(pictures);
    p[code + 1] = luma;
    return p;
}

// TableBlock of `count` frames `intervalMs` apart that the fake decodes into
// `count` pictures.
inline std::vector<uint8_t> DecodableBlock(double first, int count, double intervalMs, uint8_t luma = 100) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) times.push_back(first + i * intervalMs * kMs);
    return TableBlock(times, PicturePayload(count, luma));
}

}  // namespace storage_test
