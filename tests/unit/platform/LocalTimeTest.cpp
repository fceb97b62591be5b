#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <ctime>
#include <string>

namespace {

// Runs a check with TZ set, restoring the zone afterwards.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
            hadOld_ = true;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedZone() {
        if (hadOld_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string old_;
    bool hadOld_ = false;
};

struct ZoneCase {
    const char* zone;
    std::time_t unixSeconds;
    double expectedOle;
};

void PrintTo(const ZoneCase& c, std::ostream* out) { *out << c.zone << " @" << c.unixSeconds; }

class LocalTimeZones : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(LocalTimeZones, ConvertsWithTheZoneOffsetOfThatInstant) {
    const auto& c = GetParam();
    ScopedZone zone(c.zone);
    EXPECT_NEAR(platform::UnixToOleLocal(c.unixSeconds, 0), c.expectedOle, 1e-9);
}

// 2024-01-15 12:00 UTC = 45306.5; 2024-07-15 12:00 UTC = 45488.5.
INSTANTIATE_TEST_SUITE_P(
    Zones, LocalTimeZones,
    ::testing::Values(ZoneCase{"UTC0", 0, 25569.0},
                      ZoneCase{"UTC0", 1705320000, 45306.5},
                      ZoneCase{"EST5EDT,M3.2.0,M11.1.0", 1705320000, 45306.5 - 5.0 / 24},
                      ZoneCase{"EST5EDT,M3.2.0,M11.1.0", 1721044800, 45488.5 - 4.0 / 24},
                      ZoneCase{"CET-1CEST,M3.5.0,M10.5.0/3", 1721044800, 45488.5 + 2.0 / 24}));

TEST(LocalTime, MillisecondsAreKept) {
    ScopedZone zone("UTC0");
    EXPECT_NEAR(platform::UnixToOleLocal(0, 500), 25569.0 + 500.0 / 86'400'000.0, 1e-12);
}

TEST(LocalTime, NowFollowsTheWallClock) {
    ScopedZone zone("UTC0");
    const double expected = 25569.0 + static_cast<double>(std::time(nullptr)) / 86400.0;
    EXPECT_NEAR(platform::NowOleLocal(), expected, 2.0 / 86400.0);
}

}  // namespace
