// Time values as the library uses them (OLE Automation dates: days since 1899-12-30,
// frame times in UTC) and the time texts orvctl accepts on its command line.
#pragma once

#include <cstdint>
#include <string>

#include "orv_sdk.h"

namespace orvctl {

constexpr double kOleUnixEpoch = ORV_OLE_UNIX_EPOCH;
constexpr double kMsPerDay = ORV_MS_PER_DAY;

double OleFromUnixMs(int64_t unixMs);
int64_t UnixMsFromOle(double ole);  // rounded to the nearest millisecond
double NowOle();                    // current UTC time

// Parses a time given on the command line into an OLE date (UTC):
//   now | -10m | +30s | -1h30m | -2d        relative to nowOle (units s, m, h, d)
//   2026-12-08T10:00:00[.250]               local time (also with a space, or without seconds)
//   2026-12-08                              local midnight
//   2026-12-08T10:00:00Z, ...+01:00, ...-0530   explicit UTC offset
// Throws std::invalid_argument with a message for anything else.
double ParseTimeArg(const std::string& text, double nowOle);

// "2026-12-08T10:00:00.250Z"
std::string FormatOleUtc(double ole);
// "2026-12-08 10:00:00.250": the date as written, without a zone (plate times are the
// server's local time).
std::string FormatOleNaive(double ole);
// "20261208T100000.250Z": safe in file names and sorts in time order.
std::string FormatOleForFileName(double ole);

}  // namespace orvctl
