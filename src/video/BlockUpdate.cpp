#include "video/BlockUpdate.h"

#include <cstring>

namespace processing {
namespace {

constexpr uint8_t kMarker0 = 0xF3;
constexpr uint8_t kMarker1 = 0xC9;
constexpr int kBlock = 8;

int32_t ReadInt32(const uint8_t* p) {
    const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                       (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(v);
}

bool PictureHolds(const PackedPicture& p, int minWidth, int minHeight) {
    if (p.data == nullptr || p.width < minWidth || p.height < minHeight || p.bytesPerPixel <= 0) {
        return false;
    }
    return p.size >= static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * p.bytesPerPixel;
}

// Walks the set mask bits in order, at most `limit` of them, calling fn(block, index).
template <typename Fn>
void ForEachMarkedBlock(std::span<const uint8_t> mask, int64_t limit, Fn&& fn) {
    int64_t copied = 0;
    for (size_t i = 0; i < mask.size() && copied < limit; ++i) {
        const uint8_t byte = mask[i];
        for (int bit = 0; bit < 8 && copied < limit; ++bit) {
            if ((byte >> bit) & 1) {
                if (!fn(static_cast<int64_t>(i) * 8 + bit, copied)) {
                    return;
                }
                ++copied;
            }
        }
    }
}

}  // namespace

std::optional<BlockUpdate> ParseBlockUpdate(std::span<const uint8_t> aux, int width, int height) {
    if (aux.size() <= 21 || aux[0] != kMarker0 || aux[1] != kMarker1) {
        return std::nullopt;
    }
    BlockUpdate u;
    u.maskLength = ReadInt32(&aux[2]);
    u.blocksPerRow = ReadInt32(&aux[6]);
    u.blockRows = ReadInt32(&aux[10]);
    u.fullWidth = ReadInt32(&aux[14]);
    u.fullHeight = ReadInt32(&aux[18]);
    u.maskOffset = BlockUpdate::kHeaderSize;
    if (u.maskLength <= 0 || static_cast<size_t>(u.maskLength) > aux.size() - BlockUpdate::kHeaderSize) {
        return std::nullopt;
    }
    if (u.fullWidth != width || u.fullHeight != height) {
        return std::nullopt;
    }
    return u;
}

std::span<const uint8_t> BlockUpdateJpeg(const BlockUpdate& update, std::span<const uint8_t> aux) {
    const size_t start = update.maskOffset + static_cast<size_t>(update.maskLength);
    return start <= aux.size() ? aux.subspan(start) : std::span<const uint8_t>{};
}

bool ApplyBlockUpdate(const BlockUpdate& update, std::span<const uint8_t> aux, const PackedPicture& source,
                      const PackedPicture& full) {
    if (update.maskLength <= 0 || update.blocksPerRow <= 0 || update.blockRows <= 0 ||
        update.maskOffset + static_cast<size_t>(update.maskLength) > aux.size()) {
        return false;
    }
    if (source.bytesPerPixel != full.bytesPerPixel) {
        return false;
    }
    const int64_t updateWidth = int64_t{update.blocksPerRow} * kBlock;
    const int64_t updateHeight = int64_t{update.blockRows} * kBlock;
    if (updateWidth > source.width || updateHeight > source.height || !PictureHolds(source, 1, 1) ||
        !PictureHolds(full, kBlock, kBlock)) {
        return false;
    }
    const std::span<const uint8_t> mask =
        aux.subspan(update.maskOffset, static_cast<size_t>(update.maskLength));
    const int64_t limit = int64_t{update.blocksPerRow} * update.blockRows;
    const int64_t blocksPerFullRow = full.width / kBlock;
    const int64_t fullBlocks = blocksPerFullRow * (full.height / kBlock);

    // Check every block that would be copied before touching the picture.
    bool inside = true;
    ForEachMarkedBlock(mask, limit, [&](int64_t block, int64_t) {
        inside = block < fullBlocks;
        return inside;
    });
    if (!inside) {
        return false;
    }

    const size_t bpp = static_cast<size_t>(full.bytesPerPixel);
    const size_t fullStride = static_cast<size_t>(full.width) * bpp;
    const size_t sourceStride = static_cast<size_t>(source.width) * bpp;
    const size_t blockBytes = kBlock * bpp;
    ForEachMarkedBlock(mask, limit, [&](int64_t block, int64_t index) {
        const size_t dstX = static_cast<size_t>(block % blocksPerFullRow) * kBlock;
        const size_t dstY = static_cast<size_t>(block / blocksPerFullRow) * kBlock;
        const size_t srcX = static_cast<size_t>(index % update.blocksPerRow) * kBlock;
        const size_t srcY = static_cast<size_t>(index / update.blocksPerRow) * kBlock;
        for (int row = 0; row < kBlock; ++row) {
            std::memcpy(full.data + (dstY + row) * fullStride + dstX * bpp,
                        source.data + (srcY + row) * sourceStride + srcX * bpp, blockBytes);
        }
        return true;
    });
    return true;
}

}  // namespace processing
