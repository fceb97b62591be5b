#include "Commands.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "OleTime.h"
#include "ResultCodes.h"
#include "Table.h"
#include "TextEncoding.h"
#include "orv_sdk.h"

namespace orvctl {

std::atomic<bool> gStopRequested{false};

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(40);
constexpr int kMaxBufferGrows = 4;
// The library's frame receive area is 14,000,000 bytes; nothing larger can arrive.
constexpr size_t kMaxFrameBytes = 64u * 1024 * 1024;
constexpr int kMaxArchiveEmptyReads = 25;
constexpr size_t kPlateNumberBytes = 32;
constexpr double kHalfMsDays = 0.5 / 86'400'000.0;

int Fail(const Output& io, const std::string& what, int code) {
    io.out.flush();  // keep messages in order when both streams go to one place
    io.err << "orvctl: " << what << ": " << DescribeResult(code) << '\n';
    return kExitFailed;
}

std::string Bracketed(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('<');
    out.append(text);
    out.push_back('>');
    return out;
}

std::string StateCell(const ServerRow& row) {
    return row.stateResult == ORV_OK ? StateName(row.state) : ResultName(row.stateResult);
}

std::string RangeCell(const ServerRow& row) {
    if (row.rangeResult != ORV_OK) {
        return "-";
    }
    if (row.cameraCount <= 0) {
        return "none";
    }
    return std::to_string(row.firstCamera) + "-" + std::to_string(row.lastCamera) + " (" +
           std::to_string(row.cameraCount) + ")";
}

// A server that accepted the connection but gives no camera range: the library's answer
// to a login the server refused.
bool ReportsNoCameras(const ServerRow& row) {
    return row.stateResult == ORV_OK && row.state == ORV_STATE_CONNECTED && row.rangeResult == ORV_OK &&
           row.cameraCount <= 0;
}

int NoCamerasHint(const Output& io) {
    io.err << "orvctl: a connected server reports no cameras (check its password)\n";
    return kExitNoCameras;
}

// Grows a frame buffer to the size the library reported; false when the report cannot
// be right (no growth, absurd size), so callers do not loop.
bool GrowBuffer(std::vector<uint8_t>& buffer, int reported, int& grows) {
    if (reported <= 0 || static_cast<size_t>(reported) <= buffer.size() ||
        static_cast<size_t>(reported) > kMaxFrameBytes || grows >= kMaxBufferGrows) {
        return false;
    }
    buffer.resize(static_cast<size_t>(reported));
    ++grows;
    return true;
}

// A progress line on a terminal, redrawn when the percentage moves or a moment passed,
// so a fast export does not flood a slow terminal.
class ProgressLine {
  public:
    explicit ProgressLine(const Output& io) : io_(io) {}

    void Draw(double fraction, int frames, bool force = false) {
        if (!io_.progress) {
            return;
        }
        constexpr int kWidth = 30;
        const double clamped = std::clamp(fraction, 0.0, 1.0);
        const int percent = static_cast<int>(clamped * 100);
        const auto now = std::chrono::steady_clock::now();
        if (!force && percent == lastPercent_ && now - lastDraw_ < std::chrono::milliseconds(200)) {
            return;
        }
        lastPercent_ = percent;
        lastDraw_ = now;
        const int filled = static_cast<int>(clamped * kWidth);
        io_.err << "\r[" << std::string(static_cast<size_t>(filled), '#')
                << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << percent << "%  "
                << frames << " frames" << std::flush;
    }
    void Finish() {
        if (io_.progress && lastPercent_ >= 0) {
            io_.err << '\n';
        }
    }

  private:
    const Output& io_;
    int lastPercent_ = -1;
    std::chrono::steady_clock::time_point lastDraw_{};
};

std::filesystem::path EnsureDir(const std::string& dir) {
    std::filesystem::path path(dir.empty() ? "." : dir);
    std::filesystem::create_directories(path);
    return path;
}

}  // namespace

// ---- Listing ---------------------------------------------------------------------------

int RunServers(Session& session, const Output& io) {
    Table table({"handle", "address", "state", "cameras"});
    bool allConnected = true;
    bool allHaveCameras = true;
    for (const auto& row : session.Servers()) {
        table.AddRow({std::to_string(row.handle), row.address, StateCell(row), RangeCell(row)});
        allConnected = allConnected && row.stateResult == ORV_OK && row.state == ORV_STATE_CONNECTED;
        allHaveCameras = allHaveCameras && !ReportsNoCameras(row);
    }
    table.Print(io.out);
    if (!allConnected) {
        io.err << "orvctl: not every server is connected\n";
        return kExitFailed;
    }
    return allHaveCameras ? kExitOk : NoCamerasHint(io);
}

int RunCameras(Session& session, const Output& io) {
    Table table({"camera", "name", "server", "active"});
    int failures = 0;
    for (const auto& row : session.Cameras()) {
        const std::string name = row.nameResult == ORV_OK ? row.name : Bracketed(ResultName(row.nameResult));
        std::string active =
            row.infoResult == ORV_OK ? (row.active ? "yes" : "no") : ResultName(row.infoResult);
        failures += (row.nameResult != ORV_OK || row.infoResult != ORV_OK) ? 1 : 0;
        table.AddRow({std::to_string(row.camera), name, std::to_string(row.serverHandle), active});
    }
    const auto servers = session.Servers();
    const bool someWithoutCameras = std::any_of(servers.begin(), servers.end(), ReportsNoCameras);
    if (table.RowCount() > 0) {
        table.Print(io.out);
    }
    if (failures > 0) {
        io.err << "orvctl: " << failures << " camera(s) could not be queried completely\n";
    }
    if (someWithoutCameras) {
        return NoCamerasHint(io);
    }
    if (table.RowCount() == 0) {
        io.err << "orvctl: no camera list is known (is any server connected?)\n";
        return kExitFailed;
    }
    return failures > 0 ? kExitFailed : kExitOk;
}

// ---- Live pictures ---------------------------------------------------------------------

PictureFormat ParsePictureFormat(const std::string& text) {
    if (text == "jpeg" || text == "jpg") {
        return PictureFormat::Jpeg;
    }
    if (text == "bgr") {
        return PictureFormat::Bgr;
    }
    if (text == "yuyv") {
        return PictureFormat::Yuyv;
    }
    if (text == "grey" || text == "gray") {
        return PictureFormat::Grey;
    }
    throw std::invalid_argument("unknown picture format '" + text + "' (jpeg, bgr, yuyv or grey)");
}

int FrameTypeOf(PictureFormat format, FramePath path) {
    switch (format) {
        case PictureFormat::Jpeg:
            return ORV_FRAME_JPEG;
        case PictureFormat::Bgr:
            return ORV_FRAME_BGR;
        case PictureFormat::Yuyv:
            // Plate pictures take 2 as "payload as received"; native is YUYV there.
            return path == FramePath::Plate ? ORV_FRAME_NATIVE : ORV_FRAME_YUYV;
        case PictureFormat::Grey:
            // Only live frames have a grey type; elsewhere native is asked for and a
            // colour picture is turned grey when it is saved.
            return path == FramePath::Live ? ORV_FRAME_GREY : ORV_FRAME_NATIVE;
    }
    return ORV_FRAME_JPEG;
}

Frame FetchLiveFrame(int camera, PictureFormat format, std::chrono::milliseconds timeout,
                     size_t initialBuffer) {
    Frame frame;
    frame.camera = camera;
    frame.data.resize(std::max<size_t>(initialBuffer, 1));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int dataSize = 0;
        ++frame.attempts;
        frame.code = ORV_VideoGetFrame(
            camera, FrameTypeOf(format, FramePath::Live), reinterpret_cast<char*>(frame.data.data()),
            static_cast<unsigned>(frame.data.size()), &frame.time, &frame.width, &frame.height, &dataSize);
        if (frame.code == ORV_OK) {
            if (dataSize < 0 || static_cast<size_t>(dataSize) > frame.data.size()) {
                frame.code = ORV_E_FAILED;  // a size the buffer cannot hold: do not trust the bytes
                frame.data.clear();
                return frame;
            }
            frame.data.resize(static_cast<size_t>(dataSize));
            frame.layout = DetectLayout(frame.data.data(), frame.data.size(), frame.width, frame.height);
            return frame;
        }
        if (frame.code == ORV_E_BUFFER_TOO_SMALL) {
            if (!GrowBuffer(frame.data, dataSize, frame.bufferGrows)) {
                frame.data.clear();
                return frame;
            }
            continue;
        }
        const bool transient = frame.code == ORV_E_NO_FRAME || frame.code == ORV_E_FAILED;
        if (!transient || std::chrono::steady_clock::now() + kRetryPause >= deadline || gStopRequested) {
            frame.data.clear();
            return frame;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

int RunSnapshot(const SnapshotOptions& options, const Output& io, std::string* savedPath) {
    const Frame frame = FetchLiveFrame(options.camera, options.format, options.timeout);
    if (frame.code != ORV_OK) {
        return Fail(io, "snapshot of camera " + std::to_string(options.camera), frame.code);
    }
    if (frame.data.empty()) {
        io.err << "orvctl: camera " << options.camera << " delivered an empty picture\n";
        return kExitFailed;
    }
    const std::string path = options.output.empty() ? "camera-" + std::to_string(options.camera) + "." +
                                                          FileExtension(frame.layout)
                                                    : options.output;
    try {
        SavePicture(path, frame.data.data(), frame.data.size(), frame.width, frame.height, frame.layout,
                    options.format == PictureFormat::Grey);
    } catch (const std::exception& e) {
        io.err << "orvctl: " << e.what() << '\n';
        return kExitFailed;
    }
    io.out << "camera " << options.camera << ": " << frame.width << "x" << frame.height << " "
           << LayoutName(frame.layout) << ", " << frame.data.size() << " bytes, time "
           << FormatOleUtc(frame.time) << " -> " << path << '\n';
    if (savedPath) {
        *savedPath = path;
    }
    return kExitOk;
}

// ---- Archive ---------------------------------------------------------------------------

namespace {

// The archive channel of one export: opened at the start, closed when the reading
// ends or, on an early return, when the export is left.
class ArchiveChannel {
  public:
    ArchiveChannel() = default;
    ~ArchiveChannel() { Close(); }
    ArchiveChannel(const ArchiveChannel&) = delete;
    ArchiveChannel& operator=(const ArchiveChannel&) = delete;

    int Open() {
        const int code = ORV_VideoArchiveOpen(1);
        open_ = code == ORV_OK;
        return code;
    }
    void Close() {
        if (open_) {
            ORV_VideoArchiveOpen(0);
            open_ = false;
        }
    }

  private:
    bool open_ = false;
};

// What one ORV_VideoArchiveGetFrame call answered and wrote.
struct ArchiveRead {
    int code = ORV_OK;
    int camera = 0;
    double time = 0;
    int width = 0;
    int height = 0;
    int dataSize = 0;
};

ArchiveRead ReadArchiveFrame(const ArchiveOptions& options, std::vector<uint8_t>& buffer) {
    ArchiveRead read;
    read.code = ORV_VideoArchiveGetFrame(
        options.cameras.data(), static_cast<unsigned>(options.cameras.size()),
        FrameTypeOf(options.format, FramePath::Archive), 0, 1, reinterpret_cast<char*>(buffer.data()),
        static_cast<unsigned>(buffer.size()), &read.camera, &read.time, &read.width, &read.height, &read.dataSize);
    return read;
}

// Reads the frames between `from` and `to` in time order and saves each picture.
class ArchiveReader {
  public:
    ArchiveReader(const ArchiveOptions& options, const Output& io, std::filesystem::path dir, double from,
                  double to, ArchiveResult& result)
        : options_(options), io_(io), dir_(std::move(dir)), from_(from), to_(to), result_(result), progress_(io) {}

    // Reads until --to, --max-frames, an interruption or an answer that ends the export.
    // False when a picture could not be saved (said on io.err).
    bool ReadAll() {
        // Every read moves the archive on, so reads are bounded by the frames asked for plus
        // the reads that may bring nothing (skipped, empty, too large).
        const long maxReads = static_cast<long>(options_.maxFrames) * 4 + 1000;
        for (long reads = 0; result_.frames < options_.maxFrames && !gStopRequested && reads < maxReads; ++reads) {
            const ArchiveRead read = ReadArchiveFrame(options_, buffer_);
            lastCode_ = read.code;
            switch (Next(read)) {
                case Step::Skip:
                    continue;
                case Step::Stop:
                    return true;
                case Step::Save:
                    break;
            }
            if (!Save(read)) {
                return false;
            }
        }
        return true;
    }

    // Completes the progress line; called once the archive is closed.
    void FinishProgress() {
        if (reachedEnd_) {
            progress_.Draw(1.0, result_.frames, true);
        }
        progress_.Finish();
    }

    bool ReachedEnd() const { return reachedEnd_; }
    int LastCode() const { return lastCode_; }

  private:
    enum class Step { Save, Skip, Stop };

    // What to do with the answer of one read.
    Step Next(const ArchiveRead& read) {
        switch (read.code) {
            case ORV_E_BUFFER_TOO_SMALL:
                // The read consumed the frame it could not hand over: grow, then go back to its time.
                return GrowBuffer(buffer_, read.dataSize, grows_) && ORV_VideoArchiveFindData(read.time, 0) == ORV_OK
                           ? Step::Skip
                           : Step::Stop;
            case ORV_E_NOT_DECODABLE:
                ++result_.undecodable;
                return Step::Skip;
            case ORV_E_NO_FRAME:
                return ++emptyReads_ >= kMaxArchiveEmptyReads ? Step::Stop : Step::Skip;
            case ORV_OK:
                emptyReads_ = 0;
                return InRange(read);
            default:
                return Step::Stop;
        }
    }

    Step InRange(const ArchiveRead& read) {
        if (read.time > to_) {
            lastCode_ = ORV_OK;
            reachedEnd_ = true;
            return Step::Stop;
        }
        // A seek lands each server on its frame nearest the start, which can lie before it;
        // such frames are outside the asked range.
        if (read.time < from_ - kHalfMsDays) {
            ++result_.beforeStart;
            return Step::Skip;
        }
        if (read.dataSize <= 0 || static_cast<size_t>(read.dataSize) > buffer_.size()) {
            return Step::Skip;  // an empty answer carries no picture
        }
        return Step::Save;
    }

    bool Save(const ArchiveRead& read) {
        if (read.time < lastTime_) {
            ++result_.outOfOrder;
        }
        lastTime_ = read.time;
        const auto size = static_cast<size_t>(read.dataSize);
        const PixelLayout layout = DetectLayout(buffer_.data(), size, read.width, read.height);
        const std::string name = "cam" + std::to_string(read.camera) + "-" + FormatOleForFileName(read.time) + "-" +
                                 std::to_string(result_.frames) + "." + FileExtension(layout);
        const std::string path = (dir_ / name).string();
        try {
            SavePicture(path, buffer_.data(), size, read.width, read.height, layout,
                        options_.format == PictureFormat::Grey);
        } catch (const std::exception& e) {
            progress_.Finish();
            io_.err << "orvctl: " << e.what() << '\n';
            return false;
        }
        result_.paths.push_back(path);
        result_.bytes += static_cast<uint64_t>(read.dataSize);
        ++result_.frames;
        progress_.Draw((read.time - from_) / (to_ - from_), result_.frames);
        return true;
    }

    const ArchiveOptions& options_;
    const Output& io_;
    const std::filesystem::path dir_;
    const double from_;
    const double to_;
    ArchiveResult& result_;
    ProgressLine progress_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(8 * 1024 * 1024);
    int grows_ = 0;
    int emptyReads_ = 0;
    double lastTime_ = 0;
    int lastCode_ = ORV_OK;
    bool reachedEnd_ = false;
};

// The export's output directory, created when missing; false when it cannot be (said on io.err).
bool PrepareOutputDir(const ArchiveOptions& options, const Output& io, std::filesystem::path& dir) {
    try {
        dir = EnsureDir(options.outputDir);
        return true;
    } catch (const std::exception& e) {
        io.err << "orvctl: cannot create " << options.outputDir << ": " << e.what() << '\n';
        return false;
    }
}

// Reads the archive's range into `result` and clips the asked range to it. The result
// code of a library call that failed, or ORV_OK; `inside` is false when nothing of the
// asked range is recorded (said on io.err).
int ClipToArchive(const ArchiveOptions& options, const Output& io, ArchiveResult& result, double& from,
                  double& to, bool& inside) {
    const int code = ORV_VideoArchiveGetInfo(&result.archiveBegin, &result.archiveEnd);
    if (code != ORV_OK) {
        return code;
    }
    io.out << "archive holds " << FormatOleUtc(result.archiveBegin) << " .. " << FormatOleUtc(result.archiveEnd)
           << '\n';
    from = std::max(options.from, result.archiveBegin);
    to = std::min(options.to, result.archiveEnd);
    inside = from <= to;
    if (!inside) {
        io.err << "orvctl: the requested range " << FormatOleUtc(options.from) << " .. "
               << FormatOleUtc(options.to) << " lies outside the archive\n";
    }
    return ORV_OK;
}

// The closing lines of an export that saved frames, and its exit status.
void ReportExport(const ArchiveOptions& options, const Output& io, const std::filesystem::path& dir,
                  bool reachedEnd, ArchiveResult& result) {
    io.out << result.frames << " frame(s), " << result.bytes << " bytes written to " << dir.string() << "; ended: "
           << (reachedEnd                           ? "reached --to"
               : result.frames >= options.maxFrames ? "--max-frames"
               : gStopRequested                     ? "interrupted"
                                                    : "the library answered " + ResultName(result.lastCode))
           << '\n';
    if (result.undecodable > 0) {
        io.err << "orvctl: " << result.undecodable
               << " archive picture(s) skipped: " << DescribeResult(ORV_E_NOT_DECODABLE) << '\n';
    }
    if (result.outOfOrder > 0) {
        io.err << "orvctl: " << result.outOfOrder << " frame(s) arrived out of time order\n";
        result.exitCode = kExitFailed;
    }
}

}  // namespace

ArchiveResult ExportArchive(const ArchiveOptions& options, const Output& io) {
    ArchiveResult result;
    auto fail = [&](const std::string& what, int code) {
        result.lastCode = code;
        result.exitCode = Fail(io, what, code);
        return result;
    };
    if (options.cameras.empty() || options.to <= options.from) {
        io.err << "orvctl: archive needs at least one camera and --to later than --from\n";
        result.exitCode = kExitUsage;
        return result;
    }
    std::filesystem::path dir;
    if (!PrepareOutputDir(options, io, dir)) {
        result.exitCode = kExitFailed;
        return result;
    }
    ArchiveChannel channel;
    if (const int code = channel.Open(); code != ORV_OK) {
        return fail("opening the archive", code);
    }
    double from = 0;
    double to = 0;
    bool inside = false;
    if (const int code = ClipToArchive(options, io, result, from, to, inside); code != ORV_OK) {
        return fail("reading the archive range", code);
    }
    if (!inside) {
        result.exitCode = kExitFailed;
        return result;
    }
    if (const int code = ORV_VideoArchiveFindData(from, 0); code != ORV_OK) {
        return fail("positioning the archive at " + FormatOleUtc(from), code);
    }
    ArchiveReader reader(options, io, dir, from, to, result);
    if (!reader.ReadAll()) {
        result.exitCode = kExitFailed;
        return result;
    }
    channel.Close();
    reader.FinishProgress();
    // Running past the end of the archive answers "failed" or "no frame"; that is the
    // normal end once frames were read.
    result.lastCode = reader.LastCode();
    if (result.frames == 0) {
        result.lastCode = reader.LastCode() == ORV_OK ? ORV_E_NO_FRAME : reader.LastCode();
        return fail("reading archive frames", result.lastCode);
    }
    ReportExport(options, io, dir, reader.ReachedEnd(), result);
    return result;
}

int RunArchive(const ArchiveOptions& options, const Output& io) {
    return ExportArchive(options, io).exitCode;
}

// ---- Plates ----------------------------------------------------------------------------

namespace {

struct PlateCall {
    int code = 0;
    PlateRow row;
    std::vector<uint8_t> image;
    int width = 0;
    int height = 0;
};

PlateCall ReadOnePlate(const PlateOptions& options, std::vector<uint8_t>& imageBuffer) {
    PlateCall call;
    std::array<char, kPlateNumberBytes> number{};
    const int imageType = options.picture ? FrameTypeOf(*options.picture, FramePath::Plate) : 0;
    int imageSize = 0;
    unsigned char* image = imageBuffer.empty() ? nullptr : imageBuffer.data();
    const auto capacity = static_cast<unsigned>(imageBuffer.size());
    if (options.camera) {
        call.row.camera = *options.camera;
        call.code = ORV_KeloGetLatestPlateNumber(*options.camera, number.data(), &call.row.server,
                                                 &call.row.time, imageType, options.offsetMs, image, capacity,
                                                 &call.width, &call.height, &imageSize, options.maxAgeMs);
    } else {
        call.code = ORV_KeloGetPlateNumber(number.data(), &call.row.server, &call.row.camera, &call.row.time,
                                           imageType, options.offsetMs, image, capacity, &call.width,
                                           &call.height, &imageSize);
    }
    number.back() = '\0';
    call.row.number = Cp1251ToUtf8(number.data());
    if (call.code == ORV_OK && imageSize > 0 && static_cast<size_t>(imageSize) <= imageBuffer.size()) {
        call.image.assign(imageBuffer.begin(), imageBuffer.begin() + imageSize);
    }
    if (call.code == ORV_E_BUFFER_TOO_SMALL && imageSize > 0 &&
        static_cast<size_t>(imageSize) <= kMaxFrameBytes) {
        imageBuffer.resize(static_cast<size_t>(imageSize));  // the record is gone, but the next one fits
    }
    return call;
}

void PrintPlate(const Output& io, const PlateRow& row) {
    io.out << FormatOleNaive(row.time) << "  server " << row.server << "  camera " << row.camera << "  "
           << row.number;
    if (!row.picturePath.empty()) {
        io.out << "  -> " << row.picturePath;
    }
    io.out << std::endl;
}

}  // namespace

int CollectPlates(const PlateOptions& options, const Output& io, std::vector<PlateRow>& plates) {
    int code = ORV_KeloEnablePlateDetect(1);
    if (code != ORV_OK) {
        return code;
    }
    std::filesystem::path dir;
    if (options.picture) {
        dir = EnsureDir(options.outputDir);
    }
    std::vector<uint8_t> imageBuffer(options.picture ? 4u * 1024 * 1024 : 0);
    const auto deadline = std::chrono::steady_clock::now() + options.wait;
    int lastCode = ORV_E_NO_PLATE;
    while (!gStopRequested) {
        PlateCall call = ReadOnePlate(options, imageBuffer);
        if (call.code == ORV_OK || call.code == ORV_E_BUFFER_TOO_SMALL) {
            if (call.code == ORV_E_BUFFER_TOO_SMALL) {
                io.err << "orvctl: plate " << call.row.number
                       << ": picture dropped: " << DescribeResult(call.code) << '\n';
            }
            if (!call.image.empty()) {
                const PixelLayout layout =
                    DetectLayout(call.image.data(), call.image.size(), call.width, call.height);
                const std::string name = "plate-cam" + std::to_string(call.row.camera) + "-" +
                                         FormatOleForFileName(call.row.time) + "." + FileExtension(layout);
                const std::string path = (dir / name).string();
                SavePicture(path, call.image.data(), call.image.size(), call.width, call.height, layout,
                            false);
                call.row.picturePath = path;
            }
            PrintPlate(io, call.row);
            plates.push_back(call.row);
            lastCode = ORV_OK;
            if (options.camera) {
                break;  // the latest record is not consumed: one answer is the answer
            }
            continue;  // drain what is queued before waiting
        }
        if (call.code != ORV_E_NO_PLATE) {
            lastCode = call.code;
            break;
        }
        if (!options.follow && (std::chrono::steady_clock::now() >= deadline || !plates.empty())) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ORV_KeloEnablePlateDetect(0);
    return plates.empty() ? lastCode : ORV_OK;
}

int RunPlates(const PlateOptions& options, const Output& io) {
    std::vector<PlateRow> plates;
    int code = ORV_OK;
    try {
        code = CollectPlates(options, io, plates);
    } catch (const std::exception& e) {
        io.err << "orvctl: " << e.what() << '\n';
        return kExitFailed;
    }
    if (code != ORV_OK) {
        return Fail(io,
                    plates.empty() && !options.follow
                        ? "no plate within " + std::to_string(options.wait.count()) + " ms"
                        : std::string("reading plates"),
                    code);
    }
    return kExitOk;
}

// ---- Control ---------------------------------------------------------------------------

int RunEvent(const EventOptions& options, const Output& io) {
    if (options.camera.has_value() == options.server.has_value()) {
        io.err << "orvctl: event needs exactly one of --camera or --server\n";
        return kExitUsage;
    }
    if (options.camera) {
        std::array<int, 4> v{};
        std::copy_n(options.values.begin(), std::min<size_t>(options.values.size(), v.size()), v.begin());
        const int code = ORV_SetExternalEvent(*options.camera, v[0], v[1], v[2], v[3]);
        if (code != ORV_OK) {
            return Fail(io, "event for camera " + std::to_string(*options.camera), code);
        }
        io.out << "event sent to camera " << *options.camera << '\n';
        return kExitOk;
    }
    const int code = ORV_SetExternalEvent_X(*options.server, options.value);
    if (code != ORV_OK) {
        return Fail(io, "event for server " + std::to_string(*options.server), code);
    }
    io.out << "event sent to server " << *options.server << '\n';
    return kExitOk;
}

int RunPtz(const PtzOptions& options, const Output& io) {
    const int code =
        ORV_CamTele(options.camera, options.command, options.speed1, options.speed2, options.value);
    if (code != ORV_OK) {
        return Fail(io,
                    "telemetry command " + std::to_string(options.command) + " for camera " +
                        std::to_string(options.camera),
                    code);
    }
    io.out << "telemetry command " << options.command << " sent to camera " << options.camera << '\n';
    return kExitOk;
}

int RunConsole(int serverHandle, int camera, const Output& io) {
    const int code = ORV_ExtPultSwitchCam(serverHandle, camera);
    if (code != ORV_OK) {
        return Fail(io, "console switch on server " + std::to_string(serverHandle), code);
    }
    io.out << "console of server " << serverHandle << " switched to camera " << camera << '\n';
    return kExitOk;
}

}  // namespace orvctl
