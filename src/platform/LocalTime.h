// Local wall-clock time as an OLE Automation date (days since 1899-12-30 00:00).
// UTC times and the conversions come from platform/OleTime.h; local time is needed
// only where the servers write their own local time (plate stamps).
#pragma once

#include <ctime>

#include "platform/OleTime.h"

namespace platform {

// OLE date of local now, millisecond resolution.
double NowOleLocal();

// OLE date of a local time given as seconds since the Unix epoch plus milliseconds.
double UnixToOleLocal(std::time_t seconds, int milliseconds);

}  // namespace platform
