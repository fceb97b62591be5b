#include "sim/Plates.h"

#include <time.h>

#include <cstdio>
#include <limits>

namespace orv_sim {
namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t EventHash(int cameraIndex, int64_t sequence) {
    return Mix(static_cast<uint64_t>(cameraIndex) * 1'000'003ull + static_cast<uint64_t>(sequence));
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

int64_t PlateEventTime(const PlateCamera& camera, int64_t originMs, int64_t sequence) {
    const int64_t interval = camera.intervalMs > 0 ? camera.intervalMs : 1;
    const int64_t offset = (static_cast<int64_t>(camera.cameraIndex) * 389) % interval;
    return originMs + offset + sequence * interval;
}

std::optional<PlateEvent> NextPlateEvent(const std::vector<PlateCamera>& cameras, int64_t originMs,
                                         int64_t afterMs, int afterCamera, int64_t nowMs) {
    std::optional<PlateEvent> best;
    for (const PlateCamera& camera : cameras) {
        const int64_t interval = camera.intervalMs > 0 ? camera.intervalMs : 1;
        const int64_t base = PlateEventTime(camera, originMs, 0);
        // First sequence whose time is at or after afterMs, then step past ties.
        int64_t seq = afterMs <= base ? 0 : FloorDiv(afterMs - base + interval - 1, interval);
        int64_t time = PlateEventTime(camera, originMs, seq);
        if (time == afterMs && camera.cameraIndex <= afterCamera) {
            ++seq;
            time += interval;
        }
        if (time > nowMs) continue;
        const bool better =
            !best || time < best->timeMs || (time == best->timeMs && camera.cameraIndex < best->cameraIndex);
        if (better) best = PlateEvent{camera.cameraIndex, seq, time};
    }
    return best;
}

std::string PlateNumber(int cameraIndex, int64_t sequence) {
    static constexpr char kLetters[] = "ABEKMHOPCTYX";
    uint64_t h = EventHash(cameraIndex, sequence);
    std::string number;
    number.push_back(kLetters[h % 12]);
    h /= 12;
    for (int i = 0; i < 3; ++i) {
        number.push_back(static_cast<char>('0' + h % 10));
        h /= 10;
    }
    for (int i = 0; i < 2; ++i) {
        number.push_back(kLetters[h % 12]);
        h /= 12;
    }
    number += std::to_string(10 + h % 190);  // region code
    return number;
}

std::string LocalTimeText(int64_t timeMs) {
    const time_t seconds = static_cast<time_t>(FloorDiv(timeMs, 1000));
    const int millis = static_cast<int>(timeMs - static_cast<int64_t>(seconds) * 1000);
    struct tm local {};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d.%03d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

std::string PlateMessage(const PlateEvent& event) {
    const uint64_t h = EventHash(event.cameraIndex, event.sequence) >> 40;
    return "<W>" + std::to_string(kPlateMessageKind) + "</W><C>" + std::to_string(event.cameraIndex) +
           "</C><T>" + LocalTimeText(event.timeMs) +
           "</T><S>num=" + PlateNumber(event.cameraIndex, event.sequence) + ";dir=" + std::to_string(h % 2) +
           ";conf=" + std::to_string(80 + h % 20) + "</S>";
}

}  // namespace orv_sim
