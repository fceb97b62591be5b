// JPEG encoding of decoded video pictures (Bgr24 -> Jpeg) with one TurboJPEG
// compressor per path and an output buffer sized to the worst case up front,
// so the compressor never reallocates it.
#pragma once

#include <string>

#include "platform/Bytes.h"
#include "video/TOrvFrame.h"
#include "video/TurboJpegHandle.h"

namespace processing {

constexpr int kLiveJpegQuality = 75;
constexpr int kArchiveJpegQuality = 78;

class JpegCompressor {
  public:
    TurboJpegHandle& Handle() { return handle_; }
    // Text of the last failure, kept for debugging only.
    const std::string& LastError() const { return lastError_; }
    void SetLastError(std::string text) { lastError_ = std::move(text); }

  private:
    TurboJpegHandle handle_{TurboJpegHandle::Kind::Compress};
    std::string lastError_;
};

// Encodes a Bgr24 frame as 4:2:0 JPEG at `quality` into `output`, then copies
// the file into frame.data and sets format Jpeg.  On failure the frame keeps
// its Bgr24 picture and the result is false.
bool EncodeBgrFrameToJpeg(JpegCompressor& compressor, platform::RawBuffer& output, TOrvFrame& frame, int quality);

}  // namespace processing
