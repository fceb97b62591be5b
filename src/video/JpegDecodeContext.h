// One TurboJPEG decompressor with the state of its last header read and its
// last planar decode.  The manager keeps one for live and one for archive
// frames; a context is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Bytes.h"
#include "video/TurboJpegHandle.h"

namespace processing {

struct PlanarPicture;

// Result codes of JpegDecodeContext::DecodeToPacked.
constexpr int kDecodeOk = 0;
constexpr int kDecodeTargetTooSmall = -752;
constexpr int kDecodePackFailed = -762;
constexpr int kDecodeFailed = -999;

// Subsampling codes as TurboJPEG numbers them (and as a Jpeg frame's isColour carries them).
constexpr int kSubsamp444 = 0;
constexpr int kSubsamp422 = 1;
constexpr int kSubsamp420 = 2;
constexpr int kSubsampGrey = 3;

// Pictures larger than this are refused at the header: a hostile header could
// otherwise make us allocate gigabytes before the first scan line is read.
constexpr int kMaxPictureSide = 16384;
constexpr int64_t kMaxPicturePixels = 7680 * 4320;

// The longest header (start of picture to the end of the scan header) a context
// remembers to skip reading it again.
constexpr size_t kRememberedHeaderMax = 4096;

class JpegDecodeContext {
  public:
    JpegDecodeContext();
    ~JpegDecodeContext();
    JpegDecodeContext(const JpegDecodeContext&) = delete;
    JpegDecodeContext& operator=(const JpegDecodeContext&) = delete;

    // Reads the header into Width(), Height(), Subsampling(); false when the
    // data is not a readable JPEG.
    bool ReadHeader(const uint8_t* jpeg, size_t size);
    // Whether the last header read describes a picture we are willing to decode.
    bool FitsDecodeLimits() const;

    // Decodes a JPEG to packed Yuyv (colour) or Grey8 (grey) in `target`,
    // tightly packed rows.  Returns kDecodeOk; kDecodeTargetTooSmall when
    // `targetSize` is below PackedSize(); kDecodePackFailed for a 4:2:0 picture
    // narrower or lower than 2 pixels or a 4:2:2 picture narrower than 2;
    // kDecodeFailed when the header or the data does not decode, when the picture
    // is beyond the decode limits, or for a
    // 4:4:4 picture whose width is not a multiple of 4.
    int DecodeToPacked(const uint8_t* jpeg, size_t size, uint8_t* target, size_t targetSize);

    // Decodes straight to Bgr24 with exactly the bytes that DecodeToPacked
    // followed by the Yuyv (or grey) to BGR conversion would give, converted
    // in one pass from the planes without a packed picture.  Same result codes;
    // the target must hold width * height * 3 bytes.
    int DecodeToBgr(const uint8_t* jpeg, size_t size, uint8_t* target, size_t targetSize);

    // Decodes to Grey8 with exactly the bytes that DecodeToPacked followed by the
    // Yuyv to grey conversion would give (a colour picture that cannot be packed
    // fails the same way), copying the luma plane instead of packing.  Same result
    // codes; the target must hold width * height bytes.
    int DecodeToGrey(const uint8_t* jpeg, size_t size, uint8_t* target, size_t targetSize);

    // Bytes that DecodeToPacked writes for the last header read.
    size_t PackedSize() const;

    uint64_t Serial() const { return serial_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Subsampling() const { return subsampling_; }
    bool IsColour() const { return subsampling_ != kSubsampGrey; }

    // Planes of the last planar (colour) decode, for inspection.
    const uint8_t* Plane(int i) const { return planes_[i]; }
    int Stride(int i) const { return strides_[i]; }

  private:
    int DecodePlanar(const uint8_t* jpeg, size_t size);
    int CheckPackable() const;
    int DecodeGreyPlane(const uint8_t* jpeg, size_t size, uint8_t* target);
    int DecodePackablePlanes(const uint8_t* jpeg, size_t size);
    struct PlanarPicture Planar() const;

    uint64_t serial_;
    TurboJpegHandle handle_{TurboJpegHandle::Kind::Decompress};
    int width_ = 0;
    int height_ = 0;
    int subsampling_ = -1;
    uint8_t* planes_[3] = {nullptr, nullptr, nullptr};
    int strides_[3] = {0, 0, 0};
    platform::RawBuffer scratch_;
    // The header of the last picture read, up to the end of its scan header, and
    // what it gave; empty when the last read failed or the header was unusual.
    std::vector<uint8_t> rememberedHeader_;
    int rememberedWidth_ = 0;
    int rememberedHeight_ = 0;
    int rememberedSubsampling_ = -1;
};

}  // namespace processing
