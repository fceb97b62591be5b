#include "plates/KeloHelper.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <system_error>
#include <vector>

#include "manager/CameraNumber.h"
#include "manager/ResultCode.h"
#include "plates/PlateMessage.h"
#include "platform/LocalTime.h"
#include "platform/OleTime.h"
#include "video/FrameRequest.h"

namespace {

constexpr int32_t kStateConnected = 3;
constexpr double kArchiveMatchWindowDays = platform::OleDaysFromSeconds(10.0);  // picture must lie within 10 s
constexpr std::size_t kMaxNumberBytes = 31;                 // host buffer holds 32 with the NUL
// Attempts for a queued record are server count + 1; the manager admits at most 31
// servers, so this only guards against a nonsensical count.
constexpr int32_t kMaxArchiveAttempts = 64;


// The request a plate picture's frame type makes (index: the host's type; 2 and 5
// ask for the picture as stored, like 0 and unknown types).
constexpr std::array<processing::FrameRequest, 6> kPlateRequest = {
    processing::kRequestRaw, processing::kRequestJpeg, processing::kRequestRaw,
    processing::kRequestBgr, processing::kRequestNative, processing::kRequestRaw};

int32_t RequestedFormat(int32_t imageType) {
    return imageType > 0 && imageType < static_cast<int32_t>(kPlateRequest.size())
               ? kPlateRequest[static_cast<size_t>(imageType)]
               : processing::kRequestRaw;
}

// Writes a delivered record to the host's outputs; cameraOut may be null.
int WriteOutputs(const PlateRecord& record, char* number, int* server, int* cameraOut, double* time,
                 unsigned char* image, unsigned imageCapacity, int* width, int* height, int* imageSize) {
    number[0] = '\0';
    if (!record.number.empty()) {
        const std::size_t length = std::min(record.number.size(), kMaxNumberBytes);
        std::memcpy(number, record.number.data(), length);
        number[length] = '\0';
    }
    *server = record.server;
    if (cameraOut != nullptr) *cameraOut = record.camera;

    auto setSizes = [&](int w, int h, int bytes) {
        if (width != nullptr) *width = w;
        if (height != nullptr) *height = h;
        if (imageSize != nullptr) *imageSize = bytes;
    };
    if (!record.frame) {
        *time = record.time;
        setSizes(0, 0, 0);
        return orv_result::kOk;
    }
    const TOrvFrame& frame = *record.frame;
    *time = frame.time;
    setSizes(frame.width, frame.height, static_cast<int>(frame.data.size()));
    if (image == nullptr || imageCapacity == 0 || frame.data.empty()) return orv_result::kOk;
    if (frame.data.size() > imageCapacity) return orv_result::kBufferTooSmall;
    std::memcpy(image, frame.data.data(), frame.data.size());
    return orv_result::kOk;
}

}  // namespace

KeloHelper::KeloHelper(std::shared_ptr<IOrvServerManager> manager)
    : KeloHelper(std::move(manager), Options{}) {}

KeloHelper::KeloHelper(std::shared_ptr<IOrvServerManager> manager, Options options)
    : manager_(std::move(manager)),
      options_(std::move(options)),
      latest_(std::make_unique<std::array<PlateRecord, kCameraCount>>()) {}

KeloHelper::~KeloHelper() {
    std::lock_guard lock(enableMutex_);
    if (enabled_.load()) {
        StopWorker();
        enabled_.store(false);
    }
}

bool KeloHelper::SetEnabled(bool on) {
    std::lock_guard lock(enableMutex_);
    if (on && !enabled_.load()) {
        stopRequest_.Reset();
        try {
            worker_ = std::thread([this] { WorkerLoop(); });
        } catch (const std::system_error&) {
            return false;  // stays disabled: the flag follows a successful start only
        }
        enabled_.store(true);
        return true;
    }
    if (!on && enabled_.load()) {
        StopWorker();
        enabled_.store(false);
        return true;
    }
    enabled_.store(on);
    return true;
}

void KeloHelper::StopWorker() {
    stopRequest_.Set();
    if (worker_.joinable()) worker_.join();
}

void KeloHelper::WorkerLoop() {
    while (!stopRequest_.IsSet()) {
        // The pause ends early on a stop request, so disabling does not wait it out.
        if (stopRequest_.WaitFor(options_.cycle)) break;
        if (!manager_) continue;
        try {
            PollServers(*manager_);
        } catch (...) {
            // A failed pass (out of memory, a throwing manager) must not end polling;
            // the next pass starts from a fresh server list.
        }
    }
}

void KeloHelper::PollServers(IOrvServerManager& manager) {
    std::vector<ServerInfo> servers;
    if (manager.GetServers(servers) != 0) return;
    std::string text;
    for (const ServerInfo& server : servers) {
        if (server.state != kStateConnected) continue;
        // Drain the server. A stop request also ends the drain: a server that never runs
        // out of text would otherwise keep a disabling host waiting forever.
        while (enabled_.load() && !stopRequest_.IsSet()) {
            text.clear();
            if (manager.GetServerText(server.handle, text) != 0 || text.empty()) break;
            if (auto record = ParsePlateMessage(text, server.handle)) File(*record);
        }
        if (!enabled_.load() || stopRequest_.IsSet()) return;
    }
}

void KeloHelper::File(const PlateRecord& record) {
    {
        std::lock_guard lock(fifoMutex_);
        if (fifo_.size() >= kFifoCapacity) fifo_.pop_front();
        fifo_.push_back(record);
    }
    std::lock_guard lock(tableMutex_);
    (*latest_)[static_cast<std::size_t>(orv_camera::IndexOf(record.camera))] = record;
}

std::optional<PlateRecord> KeloHelper::TakeOldest(int32_t imageType, int32_t offsetMs) {
    std::optional<PlateRecord> record;
    {
        std::lock_guard lock(fifoMutex_);
        if (fifo_.empty()) return std::nullopt;
        record.emplace(std::move(fifo_.front()));
        fifo_.pop_front();
    }
    record->requestTime = record->time + platform::OleDaysFromMs(offsetMs);
    if (imageType > 0) AttachArchiveImage(*record, imageType, ArchiveAttempts());
    return record;
}

std::optional<PlateRecord> KeloHelper::GetLatest(int32_t camera, int32_t imageType, int32_t offsetMs,
                                                 int32_t maxAgeMs) {
    if (!orv_camera::ValidNumber(camera)) return std::nullopt;
    PlateRecord record;
    {
        std::lock_guard lock(tableMutex_);
        record = (*latest_)[static_cast<std::size_t>(orv_camera::IndexOf(camera))];
    }
    if (record.time < 1.0) return std::nullopt;  // never filled, or time stamp unreadable
    if (maxAgeMs != 0 && NowLocal() - platform::OleDaysFromMs(maxAgeMs) > record.time) return std::nullopt;
    record.requestTime = record.time + platform::OleDaysFromMs(offsetMs);
    if (imageType > 0) AttachArchiveImage(record, imageType, 1);
    return record;
}

int32_t KeloHelper::ArchiveAttempts() {
    if (!manager_) return 1;
    return std::clamp(manager_->GetServerCount() + 1, 1, kMaxArchiveAttempts);
}

void KeloHelper::AttachArchiveImage(PlateRecord& record, int32_t imageType, int32_t attempts) {
    if (!manager_) return;
    int32_t owner = 0;
    const int32_t server = manager_->GetCameraServerHandle(record.camera, owner) == 0 ? owner : record.server;
    const bool numbered = server > 0 && server < static_cast<int32_t>(lookupMutexes_.size());
    std::lock_guard lock(lookupMutexes_[numbered ? static_cast<size_t>(server) : 0]);
    // Only the server of the plate's camera is asked: another, slow or silent,
    // never holds the lookup up. Results deliberately unchecked: a failed open or
    // seek shows as no frame below.
    const std::vector<int32_t> cameras{record.camera};
    manager_->ArchiveOpen(kArchiveChannel, true, cameras);
    manager_->ArchiveFindData(kArchiveChannel, record.requestTime, 0, cameras);

    const int32_t format = RequestedFormat(imageType);
    TOrvFrame frame;
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        int32_t got = 0;
        const int32_t result = manager_->GetArchiveFrame(kArchiveChannel, got, cameras, 0, false, frame,
                                                         format, record.requestTime, false);
        if (result == 0 && got != 0 && !frame.data.empty() && frame.camera == record.camera &&
            std::fabs(frame.time - record.requestTime) < kArchiveMatchWindowDays) {
            record.frame = std::move(frame);
            return;
        }
        frame.data.clear();
        frame.width = 0;
        frame.height = 0;
        frame.time = 0.0;
    }
}

double KeloHelper::NowLocal() const {
    return options_.nowLocal ? options_.nowLocal() : platform::NowOleLocal();
}

int KeloGetPlateNumber(KeloHelper& helper, char* number, int* server, int* camera, double* time,
                       int imageType, int offsetMs, unsigned char* image, unsigned imageCapacity, int* width,
                       int* height, int* imageSize) noexcept {
    if (number == nullptr || server == nullptr || camera == nullptr || time == nullptr)
        return orv_result::kInvalidArgument;
    try {
        const auto record = helper.TakeOldest(imageType, offsetMs);
        if (!record) return orv_result::kNoPlate;
        return WriteOutputs(*record, number, server, camera, time, image, imageCapacity, width, height,
                            imageSize);
    } catch (...) {
        return orv_result::kFailed;
    }
}

int KeloGetLatestPlateNumber(KeloHelper& helper, int camera, char* number, int* server, double* time,
                             int imageType, int offsetMs, unsigned char* image, unsigned imageCapacity,
                             int* width, int* height, int* imageSize, int maxAgeMs) noexcept {
    if (number == nullptr || server == nullptr || time == nullptr) return orv_result::kInvalidArgument;
    try {
        const auto record = helper.GetLatest(camera, imageType, offsetMs, maxAgeMs);
        if (!record) return orv_result::kNoPlate;
        return WriteOutputs(*record, number, server, nullptr, time, image, imageCapacity, width, height,
                            imageSize);
    } catch (...) {
        return orv_result::kFailed;
    }
}

int KeloEnablePlateDetect(KeloHelper& helper, int enable) noexcept {
    try {
        return helper.SetEnabled(enable != 0) ? orv_result::kOk : orv_result::kFailed;
    } catch (...) {
        return orv_result::kFailed;
    }
}
