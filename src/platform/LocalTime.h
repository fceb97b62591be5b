// Local wall-clock time as an OLE Automation date (days since 1899-12-30 00:00).
// UTC times come from protocol/Wire.h (NowOleUtc); local time is needed only where
// the servers write their own local time (plate stamps).
#pragma once

#include <ctime>

namespace platform {

inline constexpr double kOleUnixEpoch = 25569.0;  // 1970-01-01 00:00
inline constexpr double kMsPerDay = 86'400'000.0;

// OLE date of local now, millisecond resolution.
double NowOleLocal();

// OLE date of a local time given as seconds since the Unix epoch plus milliseconds.
double UnixToOleLocal(std::time_t seconds, int milliseconds);

}  // namespace platform
