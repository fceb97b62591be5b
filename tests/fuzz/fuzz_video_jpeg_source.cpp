// Fuzzes the JPEG-source conversion with arbitrary payload and auxiliary bytes.
// Input: byte 0 selects the requested format and the path (live or archive),
// bytes 1-2 give the payload length (little-endian), then the payload, then the
// auxiliary data.  The live camera state persists between inputs so empty
// payloads and block updates meet earlier pictures.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/GoodInput.h"
#include "video/JpegConvert.h"

namespace {

struct Session {
    processing::JpegDecodeContext context;
    processing::PictureWorkspace workspace;
    CameraFrameState camera;
    TOrvFrame frame;
    int32_t frameId = 0;
};

constexpr int32_t kFormats[] = {0, 1, 2, 3, 4, 5, 7, 10};

void CheckRecord(const TOrvFrame& f) {
    // A decoded picture must be exactly as large as its dimensions say.
    size_t bytesPerPixel = 0;
    if (f.format == Bgr24) {
        bytesPerPixel = 3;
    } else if (f.format == Yuyv) {
        bytesPerPixel = 2;
    } else if (f.format == Grey8) {
        bytesPerPixel = 1;
    }
    if (bytesPerPixel != 0 &&
        f.data.size() != static_cast<size_t>(f.width) * static_cast<size_t>(f.height) * bytesPerPixel) {
        __builtin_trap();
    }
}

// The JPEG of a seed in this target's input layout.
std::vector<uint8_t> SeedPicture(const char* name) {
    const std::vector<uint8_t> seed = orv_fuzz::Seed(std::string("tests/fuzz/corpus/fuzz_video_jpeg_source/") + name);
    const size_t length = static_cast<size_t>(seed[1]) | (static_cast<size_t>(seed[2]) << 8);
    if (seed.size() < 3 + length) std::abort();
    return {seed.begin() + 3, seed.begin() + 3 + static_cast<std::ptrdiff_t>(length)};
}

// Whatever the input did to the decode context and the camera, a good picture
// decodes at once, on the archive path and as the camera's next live frame.
void CheckGoodPicture(Session& session) {
    static const std::vector<uint8_t> good = SeedPicture("archive_bgr_420");
    static const std::vector<uint8_t> grey = SeedPicture("archive_bgr_grey");
    for (const std::vector<uint8_t>* picture : {&good, &grey}) {
        if (!processing::ConvertArchiveJpeg(session.context, session.workspace, *picture, {}, processing::kRequestBgr, session.frame) ||
            session.frame.format != Bgr24 || session.frame.width <= 0) {
            std::abort();
        }
        CheckRecord(session.frame);
        if (!processing::ConvertLiveJpeg(session.context, session.workspace, session.camera, ++session.frameId, 1.0,
                                         *picture, {}, processing::kRequestBgr, session.frame) ||
            session.frame.format != Bgr24 || session.frame.width <= 0) {
            std::abort();
        }
        CheckRecord(session.frame);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Session session;
    if (size < 3) {
        return 0;
    }
    const int32_t requested = kFormats[data[0] & 7];
    const bool live = (data[0] & 8) != 0;
    size_t payloadLength = static_cast<size_t>(data[1]) | (static_cast<size_t>(data[2]) << 8);
    const std::span<const uint8_t> rest(data + 3, size - 3);
    if (payloadLength > rest.size()) {
        payloadLength = rest.size();
    }
    const auto payload = rest.first(payloadLength);
    const auto aux = rest.subspan(payloadLength);
    if (live) {
        processing::ConvertLiveJpeg(session.context, session.workspace, session.camera, ++session.frameId,
                                    1.0, payload, aux, requested, session.frame);
    } else {
        processing::ConvertArchiveJpeg(session.context, session.workspace, payload, aux, requested,
                                       session.frame);
    }
    CheckRecord(session.frame);
    CheckGoodPicture(session);
    return 0;
}
