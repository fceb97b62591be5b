// JPEG encoding of synthetic pictures (TurboJPEG) and the block-update
// auxiliary data that carries only the changed 8x8 blocks of a picture.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Picture.h"
#include "video/TurboJpegHandle.h"

namespace orv_sim {

// TurboJPEG's code for a picture's subsampling.
int TjSubsampling(Subsampling s);

class JpegEncoder {
  public:
    // Compresses the planes with the picture's own subsampling. Empty on failure.
    std::vector<uint8_t> Encode(const PlanarPicture& picture, int quality);

  private:
    processing::TurboJpegHandle handle_{processing::TurboJpegHandle::Kind::Compress};
};

// Leading bytes of the block-update data and the size of its fixed header.
inline constexpr uint8_t kBlockUpdateMark0 = 0xF3;
inline constexpr uint8_t kBlockUpdateMark1 = 0xC9;
inline constexpr size_t kBlockUpdateHeaderSize = 22;

// Number of 8x8 blocks per row and per column of a picture.
inline int BlocksPerRow(int width) {
    return width / 8;
}
inline int BlockRows(int height) {
    return height / 8;
}

// Indexes (row by row, width/8 per row) of the 8x8 luma blocks whose luma or
// chroma samples differ between two pictures of the same geometry.
std::vector<int> ChangedBlocks(const PlanarPicture& base, const PlanarPicture& current);

// Builds the block-update data that turns `base` into `current`: header, change
// mask (bit b of byte i = block 8i+b) and a JPEG of the changed blocks packed
// left to right, top to bottom. `changedCount` receives the number of blocks.
std::vector<uint8_t> BuildBlockUpdate(const PlanarPicture& base, const PlanarPicture& current,
                                      JpegEncoder& encoder, int quality, int* changedCount = nullptr);

}  // namespace orv_sim
