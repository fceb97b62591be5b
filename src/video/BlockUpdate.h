// Block updates of live JPEG pictures: auxiliary data that replaces changed
// 8x8 blocks of the camera's last full picture.
//
// Layout (integers little-endian int32):
//   0   0xF3 0xC9
//   2   mask length M in bytes
//   6   blocks per row of the update picture (BW)
//   10  block rows of the update picture (BH)
//   14  full picture width, 18 full picture height
//   22  M mask bytes: bit b of byte i marks block 8*i + b of the full picture
//       (least significant bit first), blocks numbered row by row, width/8 per row
//   22+M  a JPEG holding the changed blocks, BW per row, left to right, top to bottom
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace processing {

struct BlockUpdate {
    int32_t maskLength = 0;
    int32_t blocksPerRow = 0;
    int32_t blockRows = 0;
    int32_t fullWidth = 0;
    int32_t fullHeight = 0;
    size_t maskOffset = 22;

    static constexpr size_t kHeaderSize = 22;
};

// A packed picture as the update works on it: rows of width * bytesPerPixel bytes.
struct PackedPicture {
    uint8_t* data = nullptr;
    size_t size = 0;
    int width = 0;
    int height = 0;
    int bytesPerPixel = 0;
};

// Accepts the auxiliary data as a block update for a decoded picture of
// width x height: longer than 21 bytes, the two marker bytes, a mask length
// that is non-zero and lies inside the data, and the same full-picture size.
std::optional<BlockUpdate> ParseBlockUpdate(std::span<const uint8_t> aux, int width, int height);

// The JPEG that follows the mask (may be empty).
std::span<const uint8_t> BlockUpdateJpeg(const BlockUpdate& update, std::span<const uint8_t> aux);

// Copies the update picture's blocks into `full` where the mask says.  Refused
// (returns false, `full` untouched) when the two pictures differ in bytes per
// pixel, when the update picture is smaller than BW x BH blocks, or when a
// block that would be copied lies outside the full picture.
bool ApplyBlockUpdate(const BlockUpdate& update, std::span<const uint8_t> aux, const PackedPicture& source,
                      const PackedPicture& full);

}  // namespace processing
