#include "video/JpegEncoder.h"

#include <turbojpeg.h>

namespace processing {

bool EncodeBgrFrameToJpeg(JpegCompressor& compressor, platform::RawBuffer& output, TOrvFrame& frame, int quality) {
    if (compressor.Handle().Get() == nullptr || frame.format != Bgr24 || frame.width <= 0 || frame.height <= 0 ||
        frame.data.size() < static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3) {
        return false;
    }
    const unsigned long worst = tjBufSize(frame.width, frame.height, TJSAMP_420);
    if (worst == static_cast<unsigned long>(-1)) {
        return false;
    }
    output.Reserve(worst);
    unsigned char* out = output.Data();
    unsigned long size = worst;
    TurboJpegHandle& handle = compressor.Handle();
    const int result = tjCompress2(handle.Get(), frame.data.data(), frame.width, 0, frame.height, TJPF_BGR, &out,
                                   &size, TJSAMP_420, quality, TJFLAG_NOREALLOC);
    if (result != 0) {
        compressor.SetLastError(tjGetErrorStr2(handle.Get()));
        handle.Checked(result);
        return false;
    }
    frame.data.assign(out, out + size);
    frame.format = Jpeg;
    return true;
}

}  // namespace processing
