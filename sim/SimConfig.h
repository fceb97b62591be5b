// Settings of simulated servers and cameras, and their JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/Picture.h"
#include "sim/VideoBlocks.h"

namespace orv_sim {

enum class CameraKind {
    Jpeg,        // a complete JPEG picture per frame
    JpegBlocks,  // JPEG with block updates: full pictures now and then, changed blocks otherwise
    Mpeg4,       // MPEG-4 visual (ISO 14496-2) blocks
    H264,        // H.264 blocks
};

struct CameraConfig {
    CameraKind kind = CameraKind::Jpeg;
    int width = 640;                              // rounded down to a multiple of 8, 16..3840
    int height = 360;                             // rounded down to a multiple of 8, 16..2160
    Subsampling subsampling = Subsampling::S420;  // JPEG kinds; compressed video is always 4:2:0
    int fps = 25;                                 // 1..100
    int quality = 80;                             // JPEG quality
    int gop = 25;  // frames per compressed block; frames between full pictures of JpegBlocks
    BlockLayout layout = BlockLayout::Table;  // compressed kinds
    int bFrames = 0;  // compressed kinds: B-frames between reference pictures, 0..4 (H.264 then High, CABAC)
    std::string name;                         // UTF-8; empty gives "Camera N"
    bool active = true;
    bool plates = false;
    double plateIntervalSeconds = 5.0;
};

struct FaultConfig {
    bool refuseConnections = false;  // the port refuses connections (nothing listens)
    bool silent = false;             // accept and read requests, never answer
    int closeAfterRequests = 0;      // > 0: close instead of answering request number N + 1
    int truncateReply = 0;    // > 0: the reply to request number N is cut in half, then the connection closes
    bool wrongMagic = false;  // replies carry a wrong magic
    bool oversizedLengths = false;  // replies announce huge payload lengths (the real payload follows)
    int slowChunkBytes = 0;         // > 0: replies are sent in chunks of this size ...
    int slowDelayMs = 0;            // ... with this pause between chunks
    int onlyCommand = 0;            // non-zero: the reply faults above apply to this command code only
    // > 0: unit k of every camera (frame k of JPEG cameras, block k of compressed
    // ones; live frame id k + 1, archive alike) is served damaged when
    // k % garbageEvery == garbageEvery - 1. See SimCamera::BadUnit for the kinds.
    int garbageEvery = 0;
    // > 0: every that many ms the server closes every connection and stops
    // listening for kRestartPauseMs, then listens again on the same port.
    int restartEveryMs = 0;
    // > 0: besides the configured plate events, every active camera yields plate
    // events so that the server as a whole has this many per second.
    int plateFloodPerSecond = 0;
};

inline constexpr int kRestartPauseMs = 200;

struct ServerConfig {
    uint16_t port = 0;     // 0 = ephemeral
    int firstCamera = -1;  // camera index of the first camera; -1 = right after the previous server
    std::vector<CameraConfig> cameras;
    std::string password;            // UTF-8; empty = any login key is accepted
    double archiveSeconds = 3600.0;  // recorded span ending now
    FaultConfig faults;
};

// Limits of one server: the login record carries 128 active flags.
inline constexpr int kMaxCamerasPerServer = 128;

// Clamps sizes, rates and counts into the supported ranges.
CameraConfig Sanitised(CameraConfig camera);

// A default camera mix: JPEG 4:2:0, JPEG with block updates, MPEG-4 in table
// blocks, H.264 in chain blocks (MPEG-4 when no H.264 encoder exists), JPEG
// grey, inactive JPEG, JPEG 4:2:2, JPEG 4:4:4; repeated for more cameras.
CameraConfig DefaultCamera(int cameraIndex);

// Parses a configuration document. Shape:
// { "servers": [ { "port": 5001, "password": "...", "archiveSeconds": 3600,
//     "faults": { "silent": true, ... },
//     "cameras": [ { "kind": "jpeg|jpeg-blocks|mpeg4|h264", "width": 640, "height": 360,
//        "subsampling": "420|422|444|grey", "fps": 25, "quality": 80, "gop": 25,
//        "layout": "table|chain", "bFrames": 0, "name": "...", "active": true, "plates": false,
//        "plateInterval": 5 } ] } ],
//   "cameraDefaults": { ... camera keys ... } }
// A server may give "cameraCount": K instead of (or besides) "cameras"; missing
// cameras take the default mix with cameraDefaults applied. Throws
// std::runtime_error with a readable message on bad input.
std::vector<ServerConfig> ParseConfig(const std::string& jsonText);
std::vector<ServerConfig> LoadConfigFile(const std::string& path);

}  // namespace orv_sim
