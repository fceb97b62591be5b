// Archive control, events, console switch, telemetry and frame-state resets.
#include <algorithm>
#include <cstring>

#include "manager/ORVLinker.h"
#include "platform/BoundedLock.h"
#include "manager/ResultCode.h"

namespace {

constexpr int32_t kDefaultTeleSpeed = 20;
constexpr int32_t kMaxTeleSpeed = 99;
using orv_stuff::TelemetryBlock;
constexpr int kServerTextSize = 512;

bool IsArchiveChannel(int32_t channel) { return channel >= 0 && channel < orv_stuff::kArchiveChannelCount; }

int32_t ClampSpeed(int32_t speed) { return std::clamp(speed, 0, kMaxTeleSpeed); }

}  // namespace

// ---------------------------------------------------------------------------
// Archive

int32_t ORVLinker::ArchiveMaskFor(std::span<const int32_t> cameras, std::vector<uint8_t>& mask,
                                  const uint8_t*& only, uint32_t& owners) {
    only = nullptr;
    owners = ~uint32_t{0};
    if (cameras.empty()) {
        return 0;
    }
    mask.assign(orv_camera::kCount, 0);
    owners = 0;
    int32_t firstMarked = -1;
    if (!MarkActiveCameras(cameras, mask, firstMarked, &owners)) {
        return orv_result::kFailed;
    }
    if (firstMarked < 0) {
        return orv_result::kCameraInactive;
    }
    only = mask.data();
    return 0;
}

int32_t ORVLinker::ArchiveOpen(int32_t channel, bool open, std::span<const int32_t> cameras) {
    if (!IsArchiveChannel(channel)) {
        return orv_result::kInvalidArgument;
    }
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    if (!open) {
        return module_->CloseArchiveChannel(channel) >= 1 ? 0 : -1;
    }
    std::vector<uint8_t> mask;
    const uint8_t* only = nullptr;
    uint32_t owners = 0;
    if (const int32_t error = ArchiveMaskFor(cameras, mask, only, owners); error != 0) {
        return error;
    }
    if (module_->OpenArchiveChannel(channel, only) < 0) {
        return orv_result::kFailed;
    }
    double begin = 0.0;
    double end = 0.0;
    const int32_t result = module_->QueryArchiveRange(channel, begin, end, only);
    return result >= 1 && end > begin ? 0 : -1;
}

int32_t ORVLinker::ArchiveFindData(int32_t channel, double time, int32_t direction,
                                   std::span<const int32_t> cameras) {
    if (!IsArchiveChannel(channel)) {
        return orv_result::kInvalidArgument;
    }
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    std::vector<uint8_t> mask;
    const uint8_t* only = nullptr;
    uint32_t owners = 0;
    if (const int32_t error = ArchiveMaskFor(cameras, mask, only, owners); error != 0) {
        return error;
    }
    if (module_->SeekArchive(channel, time, static_cast<uint8_t>(direction), only) < 1) {
        return orv_result::kFailed;
    }
    std::lock_guard archive(archiveLock_);
    lastArchiveTime_[static_cast<size_t>(channel)] = time;
    archiveResetServers_[static_cast<size_t>(channel)] |= owners;
    return 0;
}

int32_t ORVLinker::ArchiveGetInfo(int32_t channel, double& begin, double& end) {
    if (!IsArchiveChannel(channel)) {
        return orv_result::kInvalidArgument;
    }
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    double earliest = 0.0;
    double latest = 0.0;
    if (module_->QueryArchiveRange(channel, earliest, latest) < 1) {
        return orv_result::kFailed;
    }
    begin = earliest;
    end = latest;
    return 0;
}

int32_t ORVLinker::ArchiveGetPosition(int32_t channel, double& position) {
    if (!IsArchiveChannel(channel)) {
        return orv_result::kInvalidArgument;
    }
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    position = module_->ArchivePosition(channel);
    return 0;
}

// ---------------------------------------------------------------------------
// Server text, events and console

int32_t ORVLinker::GetServerText(int32_t serverHandle, std::string& text) {
    text.clear();
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    char buffer[kServerTextSize] = {};
    const int32_t result = module_->QueryServerText(serverHandle, buffer);
    text.assign(buffer, strnlen(buffer, sizeof buffer));
    return result >= 1 ? 0 : -1;
}

// Common path of the event, mode and console operations: the readiness check,
// then `send`, which holds only the connection lock of the server it talks to.
// 0 when it answers at least `success`, -1 otherwise.
int32_t ORVLinker::ForwardUnderLock(int32_t success, const std::function<int32_t()>& send) {
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    return send() >= success ? 0 : -1;
}

int32_t ORVLinker::SetCameraAlarm(int32_t camera, bool on) {
    return ForwardUnderLock(1, [&] { return module_->SendCameraEvent(camera - 1, 0, 1, on ? 86400 : 0, on ? 10 : 0); });
}

int32_t ORVLinker::SetCameraMode(int32_t camera, int32_t value) {
    return ForwardUnderLock(1, [&] { return module_->SendCameraMode(camera - 1, static_cast<uint8_t>(value)); });
}

int32_t ORVLinker::SetExternalEvent(int32_t camera, int32_t value1, int32_t value2, int32_t value3,
                                    int32_t value4) {
    return ForwardUnderLock(0, [&] {
        return module_->SendCameraEvent(camera - 1, static_cast<uint8_t>(value1), static_cast<uint8_t>(value2),
                                        value3, value4);
    });
}

int32_t ORVLinker::SetExternalEventX(int32_t serverHandle, int32_t value) {
    return ForwardUnderLock(0, [&] { return module_->SendServerEvent(serverHandle, value); });
}

int32_t ORVLinker::ExtPultSwitchCam(int32_t serverHandle, int32_t camera) {
    return ForwardUnderLock(0, [&] { return module_->ConsoleSwitchCamera(serverHandle, camera - 1); });
}

int32_t ORVLinker::ExtPultShowArchive(int32_t serverHandle, int32_t number1, int32_t number2, double time1,
                                      double time2, uint8_t* buffer, int32_t bufferSize, int32_t value) {
    // Without a buffer nothing the server sends back may be stored.
    const int32_t size = buffer != nullptr ? std::max(bufferSize, 0) : 0;
    return ForwardUnderLock(0, [&] {
        return module_->ConsoleShowArchive(serverHandle, number1 - 1, number2 - 1, time1, time2, buffer, size, value);
    });
}

// ---------------------------------------------------------------------------
// Telemetry

// Common path of telemetry and camera position: argument and readiness checks,
// then the camera's server must be registered and the camera active (looked up
// under the bounded registry lock). `send` runs after the look-up, without the
// registry lock; a positive answer is success.
int32_t ORVLinker::SendToTelemetryCamera(int32_t camera,
                                         const std::function<int32_t(int32_t handle, int32_t index)>& send) {
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    const int32_t index = orv_camera::IndexOf(camera);
    if (!orv_camera::ValidIndex(index)) {
        return orv_result::kInvalidArgument;
    }
    int32_t handle = 0;
    {
        platform::BoundedLock lock(serverLock_, kQueryTries);
        if (!lock) {
            return orv_result::kFailed;
        }
        const ServerRecord* server = FindCamera(index);
        if (server == nullptr || server->handle <= 0) {
            return orv_result::kInvalidArgument;
        }
        if (!IsActiveSlot(*server, SlotOf(*server, index))) {
            return orv_result::kCameraInactive;
        }
        handle = server->handle;
    }
    return send(handle, index) > 0 ? 0 : -1;
}

int32_t ORVLinker::CamTele(int32_t camera, int32_t command, int32_t speed1, int32_t speed2, int32_t value) {
    uint8_t block[TelemetryBlock::kSize] = {};
    block[TelemetryBlock::kSpeed1] = static_cast<uint8_t>(ClampSpeed(speed1));
    block[TelemetryBlock::kSpeed2] = static_cast<uint8_t>(ClampSpeed(speed2));
    block[TelemetryBlock::kValue] = static_cast<uint8_t>(value & 0xFF);
    return CamTeleRaw(camera, command, block);
}

int32_t ORVLinker::CamTeleRaw(int32_t camera, int32_t command, const uint8_t* block) {
    if (block == nullptr) {
        return orv_result::kInvalidArgument;
    }
    return SendToTelemetryCamera(camera, [&](int32_t handle, int32_t index) {
        return module_->SendTelemetryBlock(handle, index, command, block);
    });
}

int32_t ORVLinker::CamTeleStored(int32_t camera, int32_t command) {
    return SendToTelemetryCamera(camera, [&](int32_t handle, int32_t index) {
        uint8_t block[TelemetryBlock::kSize] = {};
        {
            std::lock_guard tele(telemetryLock_);
            const auto stored = [&](const std::map<int32_t, int32_t>& speeds) {
                const auto it = speeds.find(index);
                return it == speeds.end() || it->second == 0 ? kDefaultTeleSpeed : it->second;
            };
            block[TelemetryBlock::kSpeed1] = static_cast<uint8_t>(stored(teleSpeed1_));
            block[TelemetryBlock::kSpeed2] = static_cast<uint8_t>(stored(teleSpeed2_));
        }
        return module_->SendTelemetryBlock(handle, index, command, block);
    });
}

int32_t ORVLinker::SetTeleSpeed1(int32_t camera, int32_t speed) {
    std::lock_guard tele(telemetryLock_);
    teleSpeed1_[camera - 1] = ClampSpeed(speed);
    return 0;
}

int32_t ORVLinker::SetTeleSpeed2(int32_t camera, int32_t speed) {
    std::lock_guard tele(telemetryLock_);
    teleSpeed2_[camera - 1] = ClampSpeed(speed);
    return 0;
}

int32_t ORVLinker::ReadSpeed(std::map<int32_t, int32_t>& speeds, int32_t camera) {
    std::lock_guard tele(telemetryLock_);
    int32_t& speed = speeds[camera - 1];
    if (speed == 0) {
        speed = kDefaultTeleSpeed;
    }
    return speed;
}

int32_t ORVLinker::GetTeleSpeed1(int32_t camera, int32_t& speed) {
    speed = ReadSpeed(teleSpeed1_, camera);
    return 0;
}

int32_t ORVLinker::GetTeleSpeed2(int32_t camera, int32_t& speed) {
    speed = ReadSpeed(teleSpeed2_, camera);
    return 0;
}

int32_t ORVLinker::CamPosition(int32_t camera, orv_stuff::TCameraPosition* position) {
    if (position == nullptr) {
        return orv_result::kInvalidArgument;
    }
    return SendToTelemetryCamera(camera, [&](int32_t handle, int32_t index) {
        return module_->CameraPosition(handle, index, *position);
    });
}

// ---------------------------------------------------------------------------
// Frame states

void ORVLinker::ResetCameraFrameState(int32_t camera, bool keep) {
    std::shared_ptr<CameraSlot> slot;
    {
        std::lock_guard lock(frameStateLock_);
        const auto it = frameStates_.find(camera - 1);
        if (it == frameStates_.end() || !it->second) {
            return;
        }
        slot = it->second;
    }
    std::lock_guard lock(slot->mutex);
    CameraFrameState& state = slot->state;
    state.lastFrameId = 0;
    state.lastTime = 0.0;
    if (!keep) {
        state.picture.reset();
        state.width = 0;
        state.height = 0;
        state.isColour = 0;
    }
}

void ORVLinker::ResetAllFrameStates(bool keep) {
    std::vector<std::shared_ptr<CameraSlot>> slots;
    {
        std::lock_guard lock(frameStateLock_);
        if (!keep) {
            frameStates_.clear();  // a conversion holding a slot finishes on its own copy
            return;
        }
        for (auto& [index, slot] : frameStates_) {
            if (slot) {
                slots.push_back(slot);
            }
        }
    }
    for (auto& slot : slots) {
        std::lock_guard lock(slot->mutex);
        slot->state.lastFrameId = 0;
        slot->state.lastTime = 0.0;
    }
}
