#include "sim/JpegCodec.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

#include "protocol/Wire.h"

namespace orv_sim {
namespace {

bool RegionDiffers(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int stride, int x, int y,
                   int w, int h) {
    for (int row = y; row < y + h; ++row) {
        const size_t offset = static_cast<size_t>(row) * stride + x;
        if (std::memcmp(&a[offset], &b[offset], static_cast<size_t>(w)) != 0) return true;
    }
    return false;
}

void CopyRegion(const std::vector<uint8_t>& src, int srcStride, int sx, int sy, std::vector<uint8_t>& dst,
                int dstStride, int dx, int dy, int w, int h) {
    for (int row = 0; row < h; ++row) {
        std::memcpy(&dst[static_cast<size_t>(dy + row) * dstStride + dx],
                    &src[static_cast<size_t>(sy + row) * srcStride + sx], static_cast<size_t>(w));
    }
}

}  // namespace

int TjSubsampling(Subsampling s) {
    switch (s) {
        case Subsampling::S420:
            return TJSAMP_420;
        case Subsampling::S422:
            return TJSAMP_422;
        case Subsampling::S444:
            return TJSAMP_444;
        case Subsampling::Grey:
            return TJSAMP_GRAY;
    }
    return TJSAMP_420;
}

std::vector<uint8_t> JpegEncoder::Encode(const PlanarPicture& picture, int quality) {
    if (handle_.Get() == nullptr || picture.width <= 0 || picture.height <= 0) return {};
    const unsigned char* planes[3] = {picture.y.data(), picture.u.data(), picture.v.data()};
    const int strides[3] = {picture.width, picture.chromaWidth, picture.chromaWidth};
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int rc = handle_.Checked(tjCompressFromYUVPlanes(handle_.Get(), planes, picture.width, strides,
                                           picture.height, TjSubsampling(picture.subsampling), &jpeg,
                                           &jpegSize, std::clamp(quality, 1, 100), TJFLAG_FASTDCT));
    std::vector<uint8_t> out;
    if (rc == 0 && jpeg != nullptr) out.assign(jpeg, jpeg + jpegSize);
    tjFree(jpeg);
    return out;
}

std::vector<int> ChangedBlocks(const PlanarPicture& base, const PlanarPicture& current) {
    std::vector<int> changed;
    const int perRow = BlocksPerRow(current.width);
    const int rows = BlockRows(current.height);
    const int fx = ChromaFactorX(current.subsampling);
    const int fy = ChromaFactorY(current.subsampling);
    for (int by = 0; by < rows; ++by) {
        for (int bx = 0; bx < perRow; ++bx) {
            bool differs = RegionDiffers(base.y, current.y, current.width, bx * 8, by * 8, 8, 8);
            if (!differs && fx != 0) {
                const int cw = 8 / fx;
                const int ch = 8 / fy;
                differs = RegionDiffers(base.u, current.u, current.chromaWidth, bx * cw, by * ch, cw, ch) ||
                          RegionDiffers(base.v, current.v, current.chromaWidth, bx * cw, by * ch, cw, ch);
            }
            if (differs) changed.push_back(by * perRow + bx);
        }
    }
    return changed;
}

std::vector<uint8_t> BuildBlockUpdate(const PlanarPicture& base, const PlanarPicture& current,
                                      JpegEncoder& encoder, int quality, int* changedCount) {
    const std::vector<int> changed = ChangedBlocks(base, current);
    if (changedCount != nullptr) *changedCount = static_cast<int>(changed.size());
    const int perRow = BlocksPerRow(current.width);
    const int totalBlocks = perRow * BlockRows(current.height);
    const int maskLength = (totalBlocks + 7) / 8;

    // Pack the changed blocks; an update without changes still carries one
    // (unused) block so that its picture is a valid JPEG.
    const int count = std::max<int>(1, static_cast<int>(changed.size()));
    const int packedPerRow = std::min(count, std::max(1, perRow));
    const int packedRows = (count + packedPerRow - 1) / packedPerRow;
    PlanarPicture packed;
    ShapePicture(packed, packedPerRow * 8, packedRows * 8, current.subsampling);
    std::fill(packed.y.begin(), packed.y.end(), uint8_t{128});
    std::fill(packed.u.begin(), packed.u.end(), uint8_t{128});
    std::fill(packed.v.begin(), packed.v.end(), uint8_t{128});
    const int fx = ChromaFactorX(current.subsampling);
    const int fy = ChromaFactorY(current.subsampling);
    std::vector<uint8_t> mask(static_cast<size_t>(maskLength), 0);
    for (size_t i = 0; i < changed.size(); ++i) {
        const int block = changed[i];
        mask[static_cast<size_t>(block / 8)] |= static_cast<uint8_t>(1u << (block % 8));
        const int sx = block % perRow;
        const int sy = block / perRow;
        const int dx = static_cast<int>(i) % packedPerRow;
        const int dy = static_cast<int>(i) / packedPerRow;
        CopyRegion(current.y, current.width, sx * 8, sy * 8, packed.y, packed.width, dx * 8, dy * 8, 8, 8);
        if (fx == 0) continue;
        const int cw = 8 / fx;
        const int ch = 8 / fy;
        CopyRegion(current.u, current.chromaWidth, sx * cw, sy * ch, packed.u, packed.chromaWidth, dx * cw,
                   dy * ch, cw, ch);
        CopyRegion(current.v, current.chromaWidth, sx * cw, sy * ch, packed.v, packed.chromaWidth, dx * cw,
                   dy * ch, cw, ch);
    }
    const std::vector<uint8_t> jpeg = encoder.Encode(packed, quality);
    if (jpeg.empty()) return {};

    std::vector<uint8_t> out(kBlockUpdateHeaderSize + mask.size() + jpeg.size());
    out[0] = kBlockUpdateMark0;
    out[1] = kBlockUpdateMark1;
    orv_stuff::PutI32(&out[2], maskLength);
    orv_stuff::PutI32(&out[6], packedPerRow);
    orv_stuff::PutI32(&out[10], packedRows);
    orv_stuff::PutI32(&out[14], current.width);
    orv_stuff::PutI32(&out[18], current.height);
    std::memcpy(&out[kBlockUpdateHeaderSize], mask.data(), mask.size());
    std::memcpy(&out[kBlockUpdateHeaderSize + mask.size()], jpeg.data(), jpeg.size());
    return out;
}

}  // namespace orv_sim
