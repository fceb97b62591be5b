// The plate helper: a worker thread polls every connected server for plate
// message text, files each parsed record in a short FIFO and in a per-camera
// "latest" table, and serves both to the host with an optional archive picture.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "manager/CameraNumber.h"
#include "manager/IOrvServerManager.h"
#include "plates/PlateRecord.h"
#include "platform/StopSignal.h"

class KeloHelper {
  public:
    static constexpr std::size_t kFifoCapacity = 10;
    static constexpr int32_t kCameraCount = orv_camera::kCount;
    static constexpr int32_t kArchiveChannel = 3;  // the host's archive exports use channel 0

    // Knobs for tests; the library uses the defaults.
    struct Options {
        std::chrono::milliseconds cycle{100};  // pause at the top of every worker pass
        std::function<double()> nowLocal;      // local time as OLE date; empty = system clock
    };

    explicit KeloHelper(std::shared_ptr<IOrvServerManager> manager);
    KeloHelper(std::shared_ptr<IOrvServerManager> manager, Options options);
    ~KeloHelper();

    KeloHelper(const KeloHelper&) = delete;
    KeloHelper& operator=(const KeloHelper&) = delete;

    // Switches polling on or off. Returns false only when the worker thread could
    // not be started; polling then stays off.
    bool SetEnabled(bool on);
    bool IsEnabled() const { return enabled_.load(); }

    // Removes and returns the oldest queued record; imageType > 0 attaches an archive
    // picture near time + offsetMs (up to server count + 1 attempts).
    std::optional<PlateRecord> TakeOldest(int32_t imageType, int32_t offsetMs);

    // Copy of the camera's latest record (camera 1..2048); nothing when the slot is
    // empty or, with maxAgeMs != 0, older than maxAgeMs before local now.
    std::optional<PlateRecord> GetLatest(int32_t camera, int32_t imageType, int32_t offsetMs,
                                         int32_t maxAgeMs);

  private:
    void WorkerLoop();
    void PollServers(IOrvServerManager& manager);
    void File(const PlateRecord& record);
    void AttachArchiveImage(PlateRecord& record, int32_t imageType, int32_t attempts);
    void StopWorker();
    int32_t ArchiveAttempts();
    double NowLocal() const;

    const std::shared_ptr<IOrvServerManager> manager_;
    const Options options_;

    std::atomic<bool> enabled_{false};
    platform::StopSignal stopRequest_;  // wakes the worker's pause at once
    std::thread worker_;

    std::mutex enableMutex_;
    std::mutex fifoMutex_;
    std::mutex tableMutex_;
    // One per server: a picture lookup opens, seeks and reads archive channel 3
    // of the plate camera's server, and two lookups on one server must not
    // interleave there. Lookups on different servers run side by side, so one
    // held up by a slow server delays no lookup on another. Slot 0 takes servers
    // outside 1..31.
    std::array<std::mutex, 32> lookupMutexes_;

    std::deque<PlateRecord> fifo_;
    std::unique_ptr<std::array<PlateRecord, kCameraCount>> latest_;
};

// The bodies of the two plate get exports below the library lock: argument checks,
// record lookup, picture attachment and every output rule. number must hold 32 bytes
// (the plate text is cut to 31). Results: 0, -5 (required out pointer null, nothing
// done), -6 (picture larger than imageCapacity; other outputs written, a queued record
// is consumed all the same), -300 (no record). Never throw.
int KeloGetPlateNumber(KeloHelper& helper, char* number, int* server, int* camera, double* time,
                       int imageType, int offsetMs, unsigned char* image, unsigned imageCapacity, int* width,
                       int* height, int* imageSize) noexcept;

int KeloGetLatestPlateNumber(KeloHelper& helper, int camera, char* number, int* server, double* time,
                             int imageType, int offsetMs, unsigned char* image, unsigned imageCapacity,
                             int* width, int* height, int* imageSize, int maxAgeMs) noexcept;

// Body of the enable export: 0, or -1 when polling could not be switched on.
int KeloEnablePlateDetect(KeloHelper& helper, int enable) noexcept;
