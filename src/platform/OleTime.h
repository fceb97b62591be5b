// OLE Automation dates: days since 1899-12-30 00:00 as a double. Every
// conversion between such dates and milliseconds goes through this header, so
// that the epoch and the length of a day are written down once.
//
// Divisions stay divisions: x / kMsPerDay and x * kOleMillisecond differ in the
// last bit, and the times the library hands out must not change with the helper
// a caller happens to pick.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// 1970-01-01 00:00 as an OLE date.
inline constexpr double kOleUnixEpoch = 25569.0;
inline constexpr int64_t kMsPerDay = 86'400'000;
// One millisecond in days: the smallest step between two OLE times we produce.
inline constexpr double kOleMillisecond = 1.0 / static_cast<double>(kMsPerDay);

inline constexpr double kSecondsPerDay = 86'400.0;

// A span of seconds in days.
constexpr double OleDaysFromSeconds(double seconds) { return seconds / kSecondsPerDay; }

// A span of milliseconds in days, and back.
constexpr double OleDaysFromMs(double ms) { return ms / static_cast<double>(kMsPerDay); }
constexpr double MsFromOleDays(double days) { return days * static_cast<double>(kMsPerDay); }

// OLE date of a count of milliseconds since 1970-01-01 00:00 (of whichever clock
// the count comes from: UTC or local).
constexpr double OleFromUnixMs(int64_t unixMs) { return kOleUnixEpoch + OleDaysFromMs(static_cast<double>(unixMs)); }

// Milliseconds since 1970-01-01 00:00 of an OLE date, not rounded.
constexpr double UnixMsFromOle(double ole) { return MsFromOleDays(ole - kOleUnixEpoch); }

// Current UTC time as an OLE date with millisecond resolution.
inline double NowOleUtc() {
    using namespace std::chrono;
    return OleFromUnixMs(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace platform
