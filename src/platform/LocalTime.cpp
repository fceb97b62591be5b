#include "platform/LocalTime.h"

#include <chrono>

namespace platform {

double UnixToOleLocal(std::time_t seconds, int milliseconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return 0.0;
    }
    // tm_gmtoff carries the zone offset including daylight saving for this instant.
    const double localSeconds = static_cast<double>(seconds) + static_cast<double>(local.tm_gmtoff);
    return kOleUnixEpoch + (localSeconds * 1000.0 + milliseconds) / kMsPerDay;
}

double NowOleLocal() {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    const auto seconds = static_cast<std::time_t>(sinceEpoch.count() / 1000);
    const int ms = static_cast<int>(sinceEpoch.count() % 1000);
    return UnixToOleLocal(seconds, ms);
}

}  // namespace platform
