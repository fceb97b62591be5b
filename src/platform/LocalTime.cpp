#include "platform/LocalTime.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>

namespace platform {

#ifdef _WIN32

double UnixToOleLocal(std::time_t seconds, int milliseconds) {
    // FILETIME counts 100 ns since 1601-01-01; the conversion applies the zone's
    // bias and the daylight-saving rule in force at that instant.
    constexpr long long kUnixEpochAs100ns = 116444736000000000LL;
    const long long ticks = kUnixEpochAs100ns + static_cast<long long>(seconds) * 10'000'000LL;
    FILETIME utcFile{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    FILETIME localFile{};
    if (!FileTimeToSystemTime(&utcFile, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &localFile)) {
        return 0.0;
    }
    const long long localTicks =
        (static_cast<long long>(localFile.dwHighDateTime) << 32) | static_cast<long long>(localFile.dwLowDateTime);
    const double localSeconds = static_cast<double>((localTicks - kUnixEpochAs100ns) / 10'000'000LL);
    return kOleUnixEpoch + OleDaysFromMs(localSeconds * 1000.0 + milliseconds);
}

#else

double UnixToOleLocal(std::time_t seconds, int milliseconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return 0.0;
    }
    // tm_gmtoff carries the zone offset including daylight saving for this instant.
    const double localSeconds = static_cast<double>(seconds) + static_cast<double>(local.tm_gmtoff);
    return kOleUnixEpoch + OleDaysFromMs(localSeconds * 1000.0 + milliseconds);
}

#endif

double NowOleLocal() {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    const auto seconds = static_cast<std::time_t>(sinceEpoch.count() / 1000);
    const int ms = static_cast<int>(sinceEpoch.count() % 1000);
    return UnixToOleLocal(seconds, ms);
}

}  // namespace platform
