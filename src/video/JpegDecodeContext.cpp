#include "video/JpegDecodeContext.h"

#include <turbojpeg.h>

#include <atomic>
#include <cstring>

#include "video/PixelConvert.h"

namespace processing {
namespace {

std::atomic<uint64_t> gNextSerial{1};

// Chroma planes are laid out with rows rounded up to 32 bytes so the vector
// packing loads stay aligned to row starts.
constexpr int kPlaneAlign = 32;

int AlignUp(int v) {
    return (v + kPlaneAlign - 1) / kPlaneAlign * kPlaneAlign;
}

int Log2Factor(int samplesPerMcu) {
    return samplesPerMcu >= 32 ? 2 : (samplesPerMcu >= 16 ? 1 : 0);
}

// Where the scan header of a JPEG ends, walking its marker segments from the start
// of the picture: a header read looks at these bytes and no others.  0 for
// anything but a plain run of segments up to the scan header within
// kRememberedHeaderMax bytes; such a header is then read every time.
size_t ScanHeaderEnd(const uint8_t* jpeg, size_t size) {
    if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
        return 0;
    }
    size_t pos = 2;
    while (pos + 4 <= size && pos < kRememberedHeaderMax) {
        if (jpeg[pos] != 0xFF) {
            return 0;
        }
        const uint8_t marker = jpeg[pos + 1];
        if (marker == 0xFF) {
            ++pos;  // fill byte before a marker
            continue;
        }
        // Markers without a length (and a second start of picture) end the walk.
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9)) {
            return 0;
        }
        const size_t length = (static_cast<size_t>(jpeg[pos + 2]) << 8) | jpeg[pos + 3];
        const size_t end = pos + 2 + length;
        if (length < 2 || end > size) {
            return 0;
        }
        if (marker == 0xDA) {
            return end <= kRememberedHeaderMax ? end : 0;
        }
        pos = end;
    }
    return 0;
}

}  // namespace

JpegDecodeContext::JpegDecodeContext() : serial_(gNextSerial++) {}

JpegDecodeContext::~JpegDecodeContext() = default;

bool JpegDecodeContext::ReadHeader(const uint8_t* jpeg, size_t size) {
    width_ = height_ = 0;
    subsampling_ = -1;
    if (jpeg == nullptr || size == 0) {
        return false;
    }
    // A camera sends the same header picture after picture. The read depends on
    // nothing but the bytes up to the end of the scan header (the handle is renewed
    // after every failure), so the same bytes give the same answer without
    // TurboJPEG, whose header read costs several microseconds a picture.
    const size_t headerEnd = ScanHeaderEnd(jpeg, size);
    if (headerEnd != 0 && headerEnd == rememberedHeader_.size() &&
        std::memcmp(jpeg, rememberedHeader_.data(), headerEnd) == 0) {
        width_ = rememberedWidth_;
        height_ = rememberedHeight_;
        subsampling_ = rememberedSubsampling_;
        return true;
    }
    rememberedHeader_.clear();
    int width = 0, height = 0, subsampling = -1, colourspace = -1;
    if (handle_.Checked(tjDecompressHeader3(handle_.Get(), jpeg, static_cast<unsigned long>(size), &width,
                                            &height, &subsampling, &colourspace)) != 0) {
        return false;
    }
    if (width <= 0 || height <= 0 || subsampling < 0 || subsampling >= TJ_NUMSAMP) {
        return false;
    }
    width_ = width;
    height_ = height;
    subsampling_ = subsampling;
    if (headerEnd != 0) {
        rememberedHeader_.assign(jpeg, jpeg + headerEnd);
        rememberedWidth_ = width;
        rememberedHeight_ = height;
        rememberedSubsampling_ = subsampling;
    }
    return true;
}

bool JpegDecodeContext::FitsDecodeLimits() const {
    return width_ > 0 && height_ > 0 && width_ <= kMaxPictureSide && height_ <= kMaxPictureSide &&
           static_cast<int64_t>(width_) * height_ <= kMaxPicturePixels;
}

size_t JpegDecodeContext::PackedSize() const {
    const size_t pixels = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    return IsColour() ? 2 * pixels : pixels;
}

int JpegDecodeContext::DecodePlanar(const uint8_t* jpeg, size_t size) {
    size_t offsets[3] = {0, 0, 0};
    size_t total = 0;
    for (int i = 0; i < 3; ++i) {
        strides_[i] = AlignUp(tjPlaneWidth(i, width_, subsampling_));
        offsets[i] = total;
        total +=
            static_cast<size_t>(strides_[i]) * static_cast<size_t>(tjPlaneHeight(i, height_, subsampling_));
    }
    scratch_.Reserve(total);
    for (int i = 0; i < 3; ++i) {
        planes_[i] = scratch_.Data() + offsets[i];
    }
    return handle_.Checked(tjDecompressToYUVPlanes(handle_.Get(), jpeg, static_cast<unsigned long>(size), planes_,
                                                   width_, strides_, height_, 0));
}

int JpegDecodeContext::DecodeToPacked(const uint8_t* jpeg, size_t size, uint8_t* target, size_t targetSize) {
    if (!ReadHeader(jpeg, size) || !FitsDecodeLimits()) {
        return kDecodeFailed;
    }
    // The target must hold what the packing writes: 2 bytes per pixel for colour
    // whatever the JPEG's own planar size, 1 for grey.
    if (target == nullptr || targetSize < PackedSize()) {
        return kDecodeTargetTooSmall;
    }
    if (!IsColour()) {
        // Grey goes straight into the target, rows unpadded as Grey8 requires.
        return DecodeGreyPlane(jpeg, size, target);
    }
    const int planar = DecodePackablePlanes(jpeg, size);
    if (planar != kDecodeOk) {
        return planar;
    }
    PlanarToYuyv(Planar(), target);
    return kDecodeOk;
}

int JpegDecodeContext::DecodeToBgr(const uint8_t* jpeg, size_t size, uint8_t* target, size_t targetSize) {
    if (!ReadHeader(jpeg, size) || !FitsDecodeLimits()) {
        return kDecodeFailed;
    }
    const size_t pixels = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    if (target == nullptr || targetSize < 3 * pixels) {
        return kDecodeTargetTooSmall;
    }
    if (!IsColour()) {
        // Grey: decode into the scratch (it may be smaller than the target) and expand.
        scratch_.Reserve(pixels);
        if (DecodeGreyPlane(jpeg, size, scratch_.Data()) != kDecodeOk) {
            return kDecodeFailed;
        }
        GreyToBgr(scratch_.Data(), target, width_, height_);
        return kDecodeOk;
    }
    const int planar = DecodePackablePlanes(jpeg, size);
    if (planar != kDecodeOk) {
        return planar;
    }
    PlanarToBgr(Planar(), target);
    return kDecodeOk;
}

int JpegDecodeContext::DecodeToGrey(const uint8_t* jpeg, size_t size, uint8_t* target, size_t targetSize) {
    if (!ReadHeader(jpeg, size) || !FitsDecodeLimits()) {
        return kDecodeFailed;
    }
    if (!IsColour()) {
        return DecodeToPacked(jpeg, size, target, targetSize);
    }
    const size_t pixels = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    if (target == nullptr || targetSize < pixels) {
        return kDecodeTargetTooSmall;
    }
    const int planar = DecodePackablePlanes(jpeg, size);
    if (planar != kDecodeOk) {
        return planar;
    }
    // The grey picture is the luma plane without the plane's row padding.
    for (int y = 0; y < height_; ++y) {
        std::memcpy(target + static_cast<size_t>(width_) * y, planes_[0] + static_cast<size_t>(strides_[0]) * y,
                    static_cast<size_t>(width_));
    }
    return kDecodeOk;
}

// A grey picture's one plane into `target`, rows unpadded.
int JpegDecodeContext::DecodeGreyPlane(const uint8_t* jpeg, size_t size, uint8_t* target) {
    uint8_t* planes[3] = {target, nullptr, nullptr};
    int strides[3] = {width_, 0, 0};
    return handle_.Checked(tjDecompressToYUVPlanes(handle_.Get(), jpeg, static_cast<unsigned long>(size), planes,
                                                   width_, strides, height_, 0)) == 0
               ? kDecodeOk
               : kDecodeFailed;
}

// A colour picture's planes, when they can be packed: kDecodeOk with the planes
// decoded, otherwise what CheckPackable says (a picture too small to pack is
// still decoded first, so a damaged one fails as such).
int JpegDecodeContext::DecodePackablePlanes(const uint8_t* jpeg, size_t size) {
    const int packable = CheckPackable();
    if (packable == kDecodeFailed || DecodePlanar(jpeg, size) != 0) {
        return kDecodeFailed;
    }
    return packable;
}

// kDecodeOk when the colour picture can be packed; kDecodeFailed (known before
// decoding) for 4:4:4 widths that are not a multiple of 4; kDecodePackFailed for
// 4:2:0 and 4:2:2 pictures too small to pack.
int JpegDecodeContext::CheckPackable() const {
    if (subsampling_ == kSubsamp444 && width_ % 4 != 0) {
        return kDecodeFailed;
    }
    if (subsampling_ == kSubsamp420 && (width_ < 2 || height_ < 2)) {
        return kDecodePackFailed;
    }
    if (subsampling_ == kSubsamp422 && width_ < 2) {
        return kDecodePackFailed;
    }
    return kDecodeOk;
}

// The last planar decode described for packing.  Every subsampling beyond the
// four common ones (4:4:0, 4:1:1) packs through the same general rule.
PlanarPicture JpegDecodeContext::Planar() const {
    PlanarPicture picture{};
    for (int i = 0; i < 3; ++i) {
        picture.planes[i] = planes_[i];
        picture.strides[i] = strides_[i];
    }
    picture.width = width_;
    picture.height = height_;
    picture.hShift = Log2Factor(tjMCUWidth[subsampling_]);
    picture.vShift = Log2Factor(tjMCUHeight[subsampling_]);
    return picture;
}

}  // namespace processing
