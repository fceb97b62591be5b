// Turning the bytes the library hands out into files a person can open: JPEG as
// received, decoded pictures (BGR, YUYV, grey) as PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvctl {

enum class PixelLayout { Jpeg, Bgr, Yuyv, Grey, Unknown };

// Which layout a frame's bytes have. The library reports only width, height and size,
// and the layout it delivers can differ from the one asked for (a grey camera answers a
// colour request with grey pixels), so the bytes decide.
PixelLayout DetectLayout(const uint8_t* data, size_t size, int width, int height);
const char* LayoutName(PixelLayout layout);
// "jpg" for JPEG, "png" for every decoded layout.
const char* FileExtension(PixelLayout layout);

// Packed YUYV (Y0 U Y1 V per pixel pair, full-range YCbCr as in JPEG) to RGB.
std::vector<uint8_t> YuyvToRgb(const uint8_t* yuyv, int width, int height);
std::vector<uint8_t> BgrToRgb(const uint8_t* bgr, int width, int height);
std::vector<uint8_t> YuyvToGrey(const uint8_t* yuyv, int width, int height);

// Writes an 8-bit PNG with 1 (grey) or 3 (RGB) channels. Throws std::runtime_error.
void WritePng(const std::string& path, const uint8_t* pixels, int width, int height, int channels);
// Writes bytes to a file unchanged. Throws std::runtime_error.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

// Saves a frame: JPEG unchanged, decoded layouts as PNG (grey stays grey, YUYV becomes
// RGB, or grey when asGrey is set). Throws std::runtime_error for an unknown layout or
// a write failure.
void SavePicture(const std::string& path, const uint8_t* data, size_t size, int width, int height,
                 PixelLayout layout, bool asGrey);

}  // namespace orvctl
