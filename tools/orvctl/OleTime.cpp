#include "OleTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <regex>
#include <stdexcept>

namespace orvctl {
namespace {

constexpr int64_t kMsPerSecond = 1000;

int64_t UnitMs(char unit) {
    switch (unit) {
        case 's':
            return kMsPerSecond;
        case 'm':
            return 60 * kMsPerSecond;
        case 'h':
            return 3600 * kMsPerSecond;
        case 'd':
            return 86400 * kMsPerSecond;
        default:
            return 0;
    }
}

// "-1h30m" -> -5'400'000; false when the text is not a relative time.
bool ParseRelativeMs(const std::string& text, int64_t& offsetMs) {
    static const std::regex kWhole(R"(^([+-])((?:\d+(?:\.\d+)?[smhd])+)$)");
    static const std::regex kPart(R"((\d+(?:\.\d+)?)([smhd]))");
    std::smatch match;
    if (!std::regex_match(text, match, kWhole)) {
        return false;
    }
    const std::string parts = match[2];
    double totalMs = 0;
    for (auto it = std::sregex_iterator(parts.begin(), parts.end(), kPart); it != std::sregex_iterator();
         ++it) {
        totalMs += std::stod((*it)[1]) * static_cast<double>(UnitMs((*it)[2].str()[0]));
    }
    offsetMs = std::llround(match[1] == "-" ? -totalMs : totalMs);
    return true;
}

std::tm CivilFromUnixMs(int64_t unixMs, int& millis) {
    int64_t seconds = unixMs / kMsPerSecond;
    int64_t rest = unixMs % kMsPerSecond;
    if (rest < 0) {
        rest += kMsPerSecond;
        --seconds;
    }
    millis = static_cast<int>(rest);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    return tm;
}

}  // namespace

double OleFromUnixMs(int64_t unixMs) {
    return kOleUnixEpoch + static_cast<double>(unixMs) / kMsPerDay;
}

int64_t UnixMsFromOle(double ole) {
    return std::llround((ole - kOleUnixEpoch) * kMsPerDay);
}

double NowOle() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return OleFromUnixMs(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

double ParseTimeArg(const std::string& text, double nowOle) {
    if (text == "now") {
        return nowOle;
    }
    int64_t offsetMs = 0;
    if (ParseRelativeMs(text, offsetMs)) {
        return nowOle + static_cast<double>(offsetMs) / kMsPerDay;
    }

    static const std::regex kIso(
        R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)?(Z|[+-]\d{2}(?::?\d{2})?)?$)");
    std::smatch m;
    if (!std::regex_match(text, m, kIso)) {
        throw std::invalid_argument(
            "unrecognised time '" + text +
            "' (use ISO 8601 like 2026-12-08T10:00:00[Z], 'now' or a relative time like -10m)");
    }
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = m[4].matched ? std::stoi(m[4]) : 0;
    tm.tm_min = m[5].matched ? std::stoi(m[5]) : 0;
    tm.tm_sec = m[6].matched ? std::stoi(m[6]) : 0;
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60) {
        throw std::invalid_argument("time out of range: '" + text + "'");
    }
    double fractionMs = 0;
    if (m[7].matched) {
        fractionMs = std::stod("0." + m[7].str()) * 1000.0;
    }
    const int mday = tm.tm_mday;

    std::time_t seconds = 0;
    if (m[8].matched) {
#ifdef _WIN32
        seconds = _mkgmtime(&tm);
#else
        seconds = timegm(&tm);
#endif
        const std::string zone = m[8];
        if (zone != "Z") {
            const int sign = zone[0] == '-' ? -1 : 1;
            const int hours = std::stoi(zone.substr(1, 2));
            const std::string minutesText = zone.size() > 3 ? zone.substr(zone.size() - 2) : "0";
            const int minutes = std::stoi(minutesText);
            if (hours > 23 || minutes > 59) {
                throw std::invalid_argument("bad UTC offset in '" + text + "'");
            }
            seconds -= sign * (hours * 3600 + minutes * 60);
        }
    } else {
        tm.tm_isdst = -1;
        seconds = std::mktime(&tm);
    }
    if (tm.tm_mday != mday) {  // normalisation moved the day: 2026-02-30 and the like
        throw std::invalid_argument("no such date: '" + text + "'");
    }
    return OleFromUnixMs(static_cast<int64_t>(seconds) * kMsPerSecond + std::llround(fractionMs));
}

namespace {

// The OLE date's civil time (UTC) written with `pattern`, which takes year,
// month, day, hour, minute, second and millisecond in that order.
std::string FormatOle(double ole, const char* pattern) {
    int millis = 0;
    const std::tm tm = CivilFromUnixMs(UnixMsFromOle(ole), millis);
    char text[96];
    std::snprintf(text, sizeof text, pattern, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, millis);
    return text;
}

}  // namespace

std::string FormatOleUtc(double ole) { return FormatOle(ole, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ"); }

std::string FormatOleNaive(double ole) { return FormatOle(ole, "%04d-%02d-%02d %02d:%02d:%02d.%03d"); }

std::string FormatOleForFileName(double ole) { return FormatOle(ole, "%04d%02d%02dT%02d%02d%02d.%03dZ"); }

}  // namespace orvctl
