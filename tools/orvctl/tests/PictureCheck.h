// Reading back the pictures orvctl writes, with the libraries a viewer would use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvctl::test {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    int channels = 0;  // 1 grey, 3 RGB
    std::vector<uint8_t> pixels;
};

// Fully decodes a JPEG file with TurboJPEG (to RGB); false with a reason on failure.
bool DecodeJpegFile(const std::string& path, DecodedPicture& picture, std::string& error);
// Reads an 8-bit grey or RGB PNG with libpng; false with a reason on failure.
bool DecodePngFile(const std::string& path, DecodedPicture& picture, std::string& error);
// Either of the above by file extension.
bool DecodePictureFile(const std::string& path, DecodedPicture& picture, std::string& error);

}  // namespace orvctl::test
