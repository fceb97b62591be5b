#include "plates/PlateMessage.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <exception>
#include <limits>

#include "platform/OleTime.h"

namespace {

// The longest text a server can hand out (its 512-byte answer buffer with the
// terminating zero). Time stamps longer than that cannot come from a server and
// are not read.
constexpr std::size_t kMaxTimeStampLength = 511;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The digit run at `at`, or an empty view when there is none; `at` moves past it.
std::string_view DigitRun(std::string_view text, std::size_t& at) {
    const std::size_t start = at;
    while (at < text.size() && IsDigit(text[at])) ++at;
    return text.substr(start, at - start);
}

// The parts of "D.M.Y h:m:s[.ms]" (every part one or more digits) at `start`,
// or false when the text there does not have that shape.
bool MatchStampAt(std::string_view text, std::size_t start, std::string_view (&parts)[7]) {
    static constexpr char kSeparators[6] = {'.', '.', ' ', ':', ':', '\0'};
    std::size_t at = start;
    for (int n = 0; n < 6; ++n) {
        parts[n] = DigitRun(text, at);
        if (parts[n].empty()) return false;
        if (n == 5) break;
        if (at >= text.size() || text[at] != kSeparators[n]) return false;
        ++at;
    }
    parts[6] = {};
    if (at + 1 < text.size() && text[at] == '.' && IsDigit(text[at + 1])) {
        ++at;
        parts[6] = DigitRun(text, at);
    }
    return true;
}

// The first stamp in the text, searched from left to right. A stamp found inside
// a run of digits is also found at the run's start, so only run starts are tried.
bool FindStamp(std::string_view text, std::string_view (&parts)[7]) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!IsDigit(text[i]) || (i > 0 && IsDigit(text[i - 1]))) continue;
        if (MatchStampAt(text, i, parts)) return true;
    }
    return false;
}

bool IsAtoiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = AsciiLower(c);
    return lower;
}

bool IsValidDate(int32_t year, int32_t month, int32_t day) {
    if (year < 1400 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    const auto lastDay = boost::gregorian::gregorian_calendar::end_of_month_day(
        static_cast<unsigned short>(year), static_cast<unsigned short>(month));
    return day <= lastDay;
}

// Whole milliseconds from 1970-01-01 00:00 to the given date plus a time of day whose
// parts may exceed their usual ranges (they carry into minutes, hours and days).
int64_t MillisecondsSince1970(int32_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes,
                              int32_t seconds, int32_t milliseconds) {
    namespace bg = boost::gregorian;
    namespace bp = boost::posix_time;
    const bg::date date(static_cast<unsigned short>(year), static_cast<unsigned short>(month),
                        static_cast<unsigned short>(day));
    const bp::time_duration timeOfDay =
        bp::hours(hours) + bp::minutes(minutes) + bp::seconds(seconds) + bp::milliseconds(milliseconds);
    const bp::ptime stamp(date, timeOfDay);
    const bp::ptime epoch(bg::date(1970, 1, 1));
    return (stamp - epoch).total_milliseconds();
}

void FillFromPayload(PlateRecord& record, std::string_view payload) {
    std::size_t start = 0;
    while (start <= payload.size()) {
        std::size_t end = payload.find(';', start);
        if (end == std::string_view::npos) end = payload.size();
        const std::string_view item = payload.substr(start, end - start);
        start = end + 1;

        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) continue;
        std::string key = AsciiLower(item.substr(0, equals));
        std::string value(item.substr(equals + 1));
        if (key == "num") record.number = value;
        record.attributes[std::move(key)] = std::move(value);
    }
}

}  // namespace

std::string ExtractElement(std::string_view text, std::string_view name) {
    std::string open;
    open.append("<").append(name).append(">");
    std::string close;
    close.append("</").append(name).append(">");
    const std::size_t openAt = text.find(open);
    if (openAt == std::string_view::npos) return {};
    const std::size_t valueAt = openAt + open.size();
    const std::size_t closeAt = text.find(close, valueAt);
    if (closeAt == std::string_view::npos) return {};
    return std::string(text.substr(valueAt, closeAt - valueAt));
}

int32_t ReadDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsAtoiSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate as a negative magnitude so that INT32_MIN itself is representable.
    constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kLimit) magnitude = kLimit;  // saturate, keep consuming digits
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return magnitude >= kLimit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
}

double ParseTimeStamp(std::string_view text) {
    if (text.empty() || text.size() > kMaxTimeStampLength) return 0.0;

    std::string_view parts[7];
    if (!FindStamp(text, parts)) return 0.0;

    auto group = [&parts](int index) { return parts[index].empty() ? 0 : ReadDecimal(parts[index]); };
    const int32_t day = group(0);
    const int32_t month = group(1);
    const int32_t year = group(2);
    // A stamp that has the right shape but names no existing day (31.02., month 13)
    // is treated like an unreadable one: the event is kept, its time is unknown.
    if (!IsValidDate(year, month, day)) return 0.0;
    try {
        const int64_t ms = MillisecondsSince1970(year, month, day, group(3), group(4), group(5), group(6));
        return platform::OleFromUnixMs(ms);
    } catch (const std::exception&) {
        return 0.0;
    }
}

std::optional<PlateRecord> ParsePlateMessage(std::string_view text, int32_t server) {
    const std::string timeStamp = ExtractElement(text, "T");
    const std::string kind = ExtractElement(text, "W");
    const std::string cameraIndex = ExtractElement(text, "C");
    const std::string payload = ExtractElement(text, "S");

    if (kind.empty() || ReadDecimal(kind) != kPlateMessageKind) return std::nullopt;
    const int32_t index = ReadDecimal(cameraIndex);
    const double time = ParseTimeStamp(timeStamp);
    if (index < 0 || index > kMaxCameraIndex) return std::nullopt;

    PlateRecord record;
    record.server = server;
    record.camera = index + 1;
    record.time = time;
    record.number = payload;
    if (payload.find('=') != std::string::npos) FillFromPayload(record, payload);
    return record;
}
