// The orvctl commands, each on the public C interface only. Every command returns the
// process exit status: 0 success, 1 the library answered an error (printed by name),
// 2 bad usage, 3 a connected server reports no cameras (what a refused login looks like).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Picture.h"
#include "Session.h"

namespace orvctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoCameras = 3;

struct Output {
    std::ostream& out;
    std::ostream& err;
    bool progress = false;  // draw progress bars (only on a terminal)
};

// Set by SIGINT/SIGTERM so long-running commands (plates --follow, archive) stop cleanly.
extern std::atomic<bool> gStopRequested;

// ---- Listing ---------------------------------------------------------------------------
int RunServers(Session& session, const Output& io);
int RunCameras(Session& session, const Output& io);

// ---- Live pictures ---------------------------------------------------------------------
enum class PictureFormat { Jpeg, Bgr, Yuyv, Grey };
PictureFormat ParsePictureFormat(const std::string& text);  // throws std::invalid_argument
// Where a picture is asked for: the three calls map frame types differently.
enum class FramePath { Live, Archive, Plate };
int FrameTypeOf(PictureFormat format, FramePath path);      // ORV_FRAME_*

struct Frame {
    int code = 0;  // last result code
    std::vector<uint8_t> data;
    int camera = 0;
    double time = 0;
    int width = 0;
    int height = 0;
    PixelLayout layout = PixelLayout::Unknown;
    int attempts = 0;     // calls made
    int bufferGrows = 0;  // times the buffer was too small and grown
};

// Newest live picture of a camera. Retries "no frame" and "busy" answers until the
// time-out (compressed cameras deliver their first decoded picture one call late) and
// grows the buffer when the library answers that it is too small.
Frame FetchLiveFrame(int camera, PictureFormat format, std::chrono::milliseconds timeout,
                     size_t initialBuffer = 512 * 1024);

struct SnapshotOptions {
    int camera = 0;
    PictureFormat format = PictureFormat::Jpeg;
    std::string output;  // empty: camera-N.<ext> in the current directory
    std::chrono::milliseconds timeout{5000};
};
// Saves the picture; on success writes the path into savedPath (when given).
int RunSnapshot(const SnapshotOptions& options, const Output& io, std::string* savedPath = nullptr);

// ---- Archive ---------------------------------------------------------------------------
struct ArchiveOptions {
    double from = 0;
    double to = 0;
    std::vector<int> cameras;
    std::string outputDir = ".";
    PictureFormat format = PictureFormat::Jpeg;
    int maxFrames = 100000;
};

struct ArchiveResult {
    int exitCode = kExitOk;
    int lastCode = 0;  // last result of the frame reads (why the export ended)
    double archiveBegin = 0;
    double archiveEnd = 0;
    int frames = 0;
    uint64_t bytes = 0;
    int undecodable = 0;
    int outOfOrder = 0;
    int beforeStart = 0;  // frames older than --from that the seek brought, not exported
    std::vector<std::string> paths;
};
ArchiveResult ExportArchive(const ArchiveOptions& options, const Output& io);
int RunArchive(const ArchiveOptions& options, const Output& io);

// ---- Plates ----------------------------------------------------------------------------
struct PlateOptions {
    bool follow = false;
    std::chrono::milliseconds wait{3000};
    std::optional<int> camera;  // latest plate of one camera instead of the queue
    int maxAgeMs = 0;
    std::optional<PictureFormat> picture;  // attach an archive picture
    int offsetMs = 0;
    std::string outputDir = ".";
};

struct PlateRow {
    std::string number;
    int server = 0;
    int camera = 0;
    double time = 0;
    std::string picturePath;
};

// Enables plate detection and collects plates; returns the last result code of the
// plate calls (ORV_OK when at least one plate was read).
int CollectPlates(const PlateOptions& options, const Output& io, std::vector<PlateRow>& plates);
int RunPlates(const PlateOptions& options, const Output& io);

// ---- Control ---------------------------------------------------------------------------
struct EventOptions {
    std::optional<int> camera;
    std::vector<int> values;  // four values for a camera event
    std::optional<int> server;
    int value = 0;  // server-wide event value
};
int RunEvent(const EventOptions& options, const Output& io);

struct PtzOptions {
    int camera = 0;
    int command = 0;
    int speed1 = 20;
    int speed2 = 20;
    int value = 0;
};
int RunPtz(const PtzOptions& options, const Output& io);

int RunConsole(int serverHandle, int camera, const Output& io);

}  // namespace orvctl
