// Arbitrary bytes through SetBytes and every picture they yield.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/GoodInput.h"
#include "video/DecoderAbi.h"

extern "C" int32_t GetDecoder(int32_t codec);
extern "C" void ReleaseDecoder(int32_t handle);
extern "C" int32_t SetBytes(int32_t, const uint8_t*, int32_t, int32_t, int32_t, int32_t);
extern "C" int32_t GetFrameInfo(int32_t, int32_t*, int32_t*, int32_t*);
extern "C" int32_t GetFrame(int32_t, uint8_t*, int32_t);
extern "C" int32_t SetParams(int32_t, int32_t, int32_t);
extern "C" int32_t SetParser2(int32_t, int32_t);

namespace {

// The stream of a seed in this target's input layout (control, cut, chunk).
std::vector<uint8_t> SeedStream(const char* name) {
    std::vector<uint8_t> seed = orv_fuzz::Seed(std::string("decoder/corpus/") + name);
    return {seed.begin() + 2, seed.end()};
}

// Pictures a handle yields for what it holds now.
int Drain(int32_t handle, std::vector<uint8_t>& picture) {
    int pictures = 0;
    for (int n = 0; n < 64; ++n) {
        int32_t width = 0, height = 0, format = 0;
        if (GetFrameInfo(handle, &width, &height, &format) != 0) break;
        const size_t bytes = static_cast<size_t>(width) * height * (format == decoder_abi::kPixelGrey ? 1 : 2);
        picture.resize(bytes);
        if (GetFrame(handle, picture.data(), static_cast<int32_t>(bytes)) != 0) break;
        ++pictures;
    }
    return pictures;
}

// After the fuzz input, the same handle decodes a good block (key frame first,
// no reset asked for) into pictures at once.
void CheckGoodStream(int32_t handle, int32_t codec, std::vector<uint8_t>& picture) {
    static const std::vector<uint8_t> avc = SeedStream("avc_ip");
    static const std::vector<uint8_t> mpeg4 = SeedStream("mpeg4_ip");
    const std::vector<uint8_t>& good = codec == decoder_abi::kCodecAvc ? avc : mpeg4;
    SetParser2(handle, 1);
    if (SetBytes(handle, good.data(), static_cast<int32_t>(good.size()), 1, 0, 1) != 0) std::abort();
    if (Drain(handle, picture) == 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    av_log_set_level(AV_LOG_QUIET);
    // First byte: codec, flags and options; the rest is the chunk, cut in two at the second byte.
    const uint8_t control = data[0];
    const int32_t codec = (control & 1) ? decoder_abi::kCodecAvc : decoder_abi::kCodecMpeg4;
    const int32_t handle = GetDecoder(codec);
    if (handle == 0) return 0;
    if (control & 2) SetParams(handle, decoder_abi::kParamGreyOutput, 1);
    if (control & 4) SetParser2(handle, 0);

    const uint8_t* chunk = data + 2;
    const size_t length = size - 2;
    const size_t cut = length == 0 ? 0 : data[1] % (length + 1);
    static std::vector<uint8_t> picture;
    const size_t pieces[2][2] = {{0, cut}, {cut, length - cut}};
    for (const auto& piece : pieces) {
        if (SetBytes(handle, chunk + piece[0], static_cast<int32_t>(piece[1]), 1, (control >> 3) & 1,
                     (control >> 4) & 1) != 0)
            continue;
        Drain(handle, picture);
    }
    CheckGoodStream(handle, codec, picture);
    ReleaseDecoder(handle);
    return 0;
}
