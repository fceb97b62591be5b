// The frame record handed between the pipeline, the manager, the exports and the
// plate helper, its format codes, and the manager's per-camera frame memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Bytes.h"

enum FrameFormat : int32_t {
    Raw = 0,         // payload as received, or nothing
    Jpeg = 1,        // a complete JPEG file
    Bgr24 = 3,       // 3 bytes per pixel, B G R, rows top to bottom, row = 3 * width
    Grey8 = 4,       // 1 byte per pixel
    Yuyv = 5,        // 2 bytes per pixel, pairs Y0 U Y1 V
    Compressed = 6,  // compressed video block as received
};

// Plain value type: copying copies every member and the contents of every list.
struct TOrvFrame {
    int32_t camera = 0;               // 0-based in the pipeline, 1-based when handed out
    double time = 0.0;                // days since 1899-12-30 (UTC)
    std::vector<double> frameTimes;   // per-frame times of a compressed block (format 6 only)
    int32_t width = 0;
    int32_t height = 0;
    int32_t isColour = 0;             // 1 colour, 0 grey; for a parsed Jpeg: TurboJPEG subsampling code
    int32_t format = Raw;             // FrameFormat of data
    int32_t reserved1 = 0;
    int32_t reserved2 = 0;
    int32_t ready = 0;                // 1 when the picture is complete
    int32_t reserved3 = 0;
    platform::Bytes data;
    int32_t reserved4 = 0;
    std::vector<uint8_t> reservedData;
};

// Last frame received from a camera and its last full JPEG picture, kept so that
// block updates and empty payloads can be served. Until a camera first needs it,
// `picture` holds the JPEG itself (`pictureIsJpeg`), decoded on demand: a decoded
// 1080p picture per camera is megabytes that most cameras never use. From then
// on it holds the decoded picture (Yuyv or Grey8). width/height/isColour describe
// the picture either way.
struct CameraFrameState {
    int32_t camera = 0;
    int32_t lastFrameId = 0;
    double lastTime = 0.0;
    std::shared_ptr<platform::Bytes> picture;
    int32_t width = 0;
    int32_t height = 0;
    int32_t isColour = 0;
    bool pictureIsJpeg = false;
    bool keepsDecodedPicture = false;  // the camera has sent a block update or an empty payload
};
