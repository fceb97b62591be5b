// The decoder plug-in's interface: the C functions a plug-in exports and the
// values both sides share. The plug-in implements it; the library loads it
// (video/DecoderApi.h). Nothing here depends on how the plug-in is loaded.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define ORV_DECODER_CALL __stdcall
#else
#define ORV_DECODER_CALL
#endif

// Calls into the plug-in. Integers are 32 bits; 0 is success wherever a status is returned.
extern "C" {
// Codec value 400 (MPEG-4 Part 2) or 100 (AVC) -> handle, 0 on failure.
using DecoderGetDecoderFn = int32_t(ORV_DECODER_CALL*)(int32_t codec);
using DecoderReleaseDecoderFn = void(ORV_DECODER_CALL*)(int32_t handle);
using DecoderSetParamsFn = int32_t(ORV_DECODER_CALL*)(int32_t handle, int32_t param, int32_t value);
// handle, data, length, reserved (1), reset flag, end-of-block flag.
using DecoderSetBytesFn = int32_t(ORV_DECODER_CALL*)(int32_t handle, const uint8_t* data, int32_t length,
                                                     int32_t reserved, int32_t reset, int32_t endOfBlock);
// 0 with non-zero width and height: a picture is ready. Pixel format 1 = grey, else YUYV.
using DecoderGetFrameInfoFn = int32_t(ORV_DECODER_CALL*)(int32_t handle, int32_t* width, int32_t* height,
                                                         int32_t* pixelFormat);
// Writes the ready picture packed, rows top to bottom.
using DecoderGetFrameFn = int32_t(ORV_DECODER_CALL*)(int32_t handle, uint8_t* buffer, int32_t size);
using DecoderGetDecType2Fn = int32_t(ORV_DECODER_CALL*)(int32_t handle);
using DecoderSetParams2Fn = int32_t(ORV_DECODER_CALL*)(int32_t handle, int32_t param, int32_t value);
using DecoderSetParser2Fn = int32_t(ORV_DECODER_CALL*)(int32_t handle, int32_t splitPictures);
using DecoderGetFrame2Fn = int32_t(ORV_DECODER_CALL*)(int32_t handle, uint8_t* buffer, int32_t size,
                                                      int32_t* width, int32_t* height, int32_t* pixelFormat);
}

// Values shared by the library and the plug-in.
namespace decoder_abi {
inline constexpr int32_t kCodecMpeg4 = 400;
inline constexpr int32_t kCodecAvc = 100;
inline constexpr int32_t kPixelGrey = 1;
inline constexpr int32_t kPixelYuyv = 2;
inline constexpr int32_t kParamGreyOutput = 1;  // SetParams: 1 = deliver only the luma plane
}  // namespace decoder_abi

// The ten function addresses, in table order.
struct DecoderFunctions {
    DecoderGetDecoderFn GetDecoder = nullptr;
    DecoderReleaseDecoderFn ReleaseDecoder = nullptr;
    DecoderSetParamsFn SetParams = nullptr;
    DecoderSetBytesFn SetBytes = nullptr;
    DecoderGetFrameInfoFn GetFrameInfo = nullptr;
    DecoderGetFrameFn GetFrame = nullptr;
    DecoderGetDecType2Fn GetDecType2 = nullptr;
    DecoderSetParams2Fn SetParams2 = nullptr;
    DecoderSetParser2Fn SetParser2 = nullptr;
    DecoderGetFrame2Fn GetFrame2 = nullptr;
};
