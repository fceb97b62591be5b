// Licence plate messages of cameras configured for plate recognition. Events
// fall at fixed intervals per camera; numbers are derived from (camera, event).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv_sim {

inline constexpr int kPlateMessageKind = 4097;

struct PlateCamera {
    int cameraIndex = 0;
    int64_t intervalMs = 5000;
};

struct PlateEvent {
    int cameraIndex = 0;
    int64_t sequence = 0;  // event number of the camera since the origin
    int64_t timeMs = 0;    // UTC milliseconds since 1970
};

// Time of event `sequence` of a camera: origin + per-camera offset + sequence * interval.
int64_t PlateEventTime(const PlateCamera& camera, int64_t originMs, int64_t sequence);

// The earliest event ordered by (time, camera) strictly after (afterMs,
// afterCamera) and not later than nowMs, over all cameras.
std::optional<PlateEvent> NextPlateEvent(const std::vector<PlateCamera>& cameras, int64_t originMs,
                                         int64_t afterMs, int afterCamera, int64_t nowMs);

// Plate number of an event, e.g. "A123BC77" (Latin letters that look the same
// in Cyrillic plates).
std::string PlateNumber(int cameraIndex, int64_t sequence);

// The message text: W (kind 4097), C (camera index), T (local time
// "dd.mm.yyyy HH:MM:SS.mmm") and S ("num=...;dir=...;conf=...").
std::string PlateMessage(const PlateEvent& event);

// "dd.mm.yyyy HH:MM:SS.mmm" of a UTC instant in the local time zone.
std::string LocalTimeText(int64_t timeMs);

}  // namespace orv_sim
