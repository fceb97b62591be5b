#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "OleTime.h"

namespace orvctl {
namespace {

constexpr double kMs = 1.0 / 86'400'000.0;
// 2026-12-08T10:00:00Z
constexpr double kNow = 25569.0 + 1796724000.0 / 86400.0;

// Local-time forms depend on the zone; pin one with a daylight-saving rule.
class OleTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        oldTz_ = tz ? tz : "";
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool hadTz_ = false;
    std::string oldTz_;
};

TEST_F(OleTimeTest, UnixEpochAndMillisecondsRoundTrip) {
    EXPECT_DOUBLE_EQ(OleFromUnixMs(0), 25569.0);
    for (int64_t ms : {int64_t{0}, int64_t{1}, int64_t{999}, int64_t{1796724000123}, int64_t{-86400001}}) {
        EXPECT_EQ(UnixMsFromOle(OleFromUnixMs(ms)), ms) << ms;
    }
}

struct ParseCase {
    const char* text;
    double expected;  // OLE date, UTC
};

class ParseTimeValid : public OleTimeTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTimeValid, GivesTheUtcInstant) {
    const ParseCase& c = GetParam();
    EXPECT_NEAR(ParseTimeArg(c.text, kNow), c.expected, 0.5 * kMs)
        << c.text << " -> " << FormatOleUtc(ParseTimeArg(c.text, kNow));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseTimeValid,
    ::testing::Values(ParseCase{"now", kNow}, ParseCase{"-10m", kNow - 600'000 * kMs},
                      ParseCase{"+30s", kNow + 30'000 * kMs}, ParseCase{"-1h30m", kNow - 5'400'000 * kMs},
                      ParseCase{"-2d", kNow - 2.0}, ParseCase{"-1.5h", kNow - 5'400'000 * kMs},
                      ParseCase{"2026-12-08T10:00:00Z", kNow}, ParseCase{"2026-12-08 10:00:00Z", kNow},
                      ParseCase{"2026-12-08T10:00:00.250Z", kNow + 250 * kMs},
                      ParseCase{"2026-12-08T11:00:00+01:00", kNow},
                      ParseCase{"2026-12-08T04:30:00-0530", kNow},
                      // Local time: Berlin is UTC+1 in December and UTC+2 in July.
                      ParseCase{"2026-12-08T11:00:00", kNow}, ParseCase{"2026-12-08T11:00", kNow},
                      ParseCase{"2026-07-01T12:00:00", 25569.0 + 1782900000.0 / 86400.0},
                      ParseCase{"2026-12-08", kNow - 11.0 / 24.0}));

class ParseTimeInvalid : public OleTimeTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ParseTimeInvalid, IsRejectedWithAMessage) {
    EXPECT_THROW(ParseTimeArg(GetParam(), kNow), std::invalid_argument) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Forms, ParseTimeInvalid,
                         ::testing::Values("", "yesterday", "10m", "-10x", "-", "2026-13-01", "2026-02-30",
                                           "2026-12-08T25:00", "2026-12-08T10:61",
                                           "2026-12-08T10:00:00+25:00", "2026-12-08T10:00:00 Z",
                                           "12/08/2026"));

TEST_F(OleTimeTest, FormatsAreUtcAndRoundToTheMillisecond) {
    EXPECT_EQ(FormatOleUtc(kNow), "2026-12-08T10:00:00.000Z");
    EXPECT_EQ(FormatOleUtc(kNow + 250.4 * kMs), "2026-12-08T10:00:00.250Z");
    EXPECT_EQ(FormatOleUtc(kNow - 0.4 * kMs), "2026-12-08T10:00:00.000Z");  // not 09:59:59.999
    EXPECT_EQ(FormatOleNaive(kNow + 999 * kMs), "2026-12-08 10:00:00.999");
    EXPECT_EQ(FormatOleForFileName(kNow + 5 * kMs), "20261208T100000.005Z");
    EXPECT_EQ(FormatOleUtc(25569.0 - 1 * kMs), "1969-12-31T23:59:59.999Z");
}

TEST_F(OleTimeTest, ParsedTextFormatsBackToItself) {
    for (const char* text :
         {"2026-12-08T10:00:00.000Z", "2000-02-29T23:59:59.999Z", "1999-12-31T00:00:00.001Z"}) {
        EXPECT_EQ(FormatOleUtc(ParseTimeArg(text, kNow)), text);
    }
}

}  // namespace
}  // namespace orvctl
