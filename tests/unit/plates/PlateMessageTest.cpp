#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "plates/PlateMessage.h"

namespace {

std::string Message(const std::string& w, const std::string& c, const std::string& t, const std::string& s) {
    return "<W>" + w + "</W><C>" + c + "</C><T>" + t + "</T><S>" + s + "</S>";
}

// OLE date of a moment given in whole milliseconds since 1970, as the parser computes it.
double Ole(int64_t msSince1970) {
    return static_cast<double>(msSince1970) / 86400000.0 + 25569.0;
}

TEST(PlateMessage, WorkedExampleIsExact) {
    const auto record =
        ParsePlateMessage(Message("4097", "4", "05.03.2021 14:07:09.250", "num=A123BC77;Dir=1"), 2);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->server, 2);
    EXPECT_EQ(record->camera, 5);
    EXPECT_EQ(record->time, 44260.58830150463);
    EXPECT_EQ(record->number, "A123BC77");
    const std::map<std::string, std::string> expected{{"dir", "1"}, {"num", "A123BC77"}};
    EXPECT_EQ(record->attributes, expected);
    EXPECT_FALSE(record->frame.has_value());
    EXPECT_EQ(record->requestTime, 0.0);
}

TEST(PlateMessage, SingleFractionDigitIsMilliseconds) {
    const auto record =
        ParsePlateMessage(Message("4097", "4", "05.03.2021 14:07:09.5", "num=A123BC77;Dir=1"), 2);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->time, 44260.58829866898);
}

TEST(PlateMessage, ElementOrderAndSurroundingTextDoNotMatter) {
    const auto record =
        ParsePlateMessage("junk<S>num=X</S> <X>1</X><C>7</C>between<T>1.1.1970 0:0:0</T><W>4097</W>tail", 9);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->server, 9);
    EXPECT_EQ(record->camera, 8);
    EXPECT_EQ(record->number, "X");
    EXPECT_EQ(record->time, 25569.0);
}

// ---- Rejects and camera range -------------------------------------------------

struct KindCase {
    std::string text;
    bool accepted;
    int32_t camera;
};

class PlateMessageAcceptance : public ::testing::TestWithParam<KindCase> {};

TEST_P(PlateMessageAcceptance, AcceptsOnlyPlateKindAndValidCamera) {
    const auto record = ParsePlateMessage(GetParam().text, 1);
    ASSERT_EQ(record.has_value(), GetParam().accepted);
    if (record) {
        EXPECT_EQ(record->camera, GetParam().camera);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlateMessageAcceptance,
    ::testing::Values(KindCase{Message("4096", "0", "", "x"), false, 0},
                      KindCase{Message("0x1001", "0", "", "x"), false, 0},
                      KindCase{"<C>0</C><S>x</S>", false, 0},         // no W
                      KindCase{Message("", "0", "", "x"), false, 0},  // empty W
                      KindCase{Message("99999999999999999999", "0", "", "x"), false,
                               0},                                            // overflow saturates
                      KindCase{Message(" +4097abc", "3", "", "x"), true, 4},  // atoi-style read
                      KindCase{Message("4097", "2047", "", "x"), true, 2048},
                      KindCase{Message("4097", "2048", "", "x"), false, 0},
                      KindCase{Message("4097", "-1", "", "x"), false, 0},
                      KindCase{Message("4097", "4294967297", "", "x"), false, 0},  // no wrap to 1
                      KindCase{Message("4097", "abc", "", "x"), true, 1},          // non-numeric C reads 0
                      KindCase{"<W>4097</W><S>x</S>", true, 1},                    // missing C reads 0
                      KindCase{"<W>4097<W>", false, 0}));                          // unclosed W

// ---- Payload ------------------------------------------------------------------

struct PayloadCase {
    std::string payload;
    std::string number;
    std::map<std::string, std::string> attributes;
};

class PlateMessagePayload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PlateMessagePayload, NumberAndAttributes) {
    const auto record = ParsePlateMessage(Message("4097", "0", "", GetParam().payload), 1);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->number, GetParam().number);
    EXPECT_EQ(record->attributes, GetParam().attributes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlateMessagePayload,
    ::testing::Values(PayloadCase{"AB123", "AB123", {}},
                      PayloadCase{"plate=AB123", "plate=AB123", {{"plate", "AB123"}}},
                      PayloadCase{"NUM=X1;num=X2", "X2", {{"num", "X2"}}},
                      PayloadCase{"num=;a=b=c;;x", "", {{"a", "b=c"}, {"num", ""}}}, PayloadCase{"", "", {}},
                      PayloadCase{"Num=Q1;", "Q1", {{"num", "Q1"}}},
                      // Only ASCII letters are lowered; other bytes pass unchanged.
                      PayloadCase{
                          "K\xC3\x84Y=1;nUm =2", "K\xC3\x84Y=1;nUm =2", {{"k\xC3\x84y", "1"}, {"num ", "2"}}},
                      PayloadCase{" num=1", " num=1", {{" num", "1"}}}));  // keys are not trimmed

// ---- Element extraction -------------------------------------------------------

TEST(ExtractElement, FirstOpeningTagThenNextClosingTag) {
    EXPECT_EQ(ExtractElement("<T>a</T><T>b</T>", "T"), "a");
    EXPECT_EQ(ExtractElement("</T>x<T> v </T>", "T"), " v ");  // closing tag before opening is ignored
    EXPECT_EQ(ExtractElement("<T>a<S>b</S></T>", "T"), "a<S>b</S>");
    EXPECT_EQ(ExtractElement("<T></T>", "T"), "");
    EXPECT_EQ(ExtractElement("<T>open only", "T"), "");
    EXPECT_EQ(ExtractElement("<t>lower</t>", "T"), "");  // names are case-sensitive
    EXPECT_EQ(ExtractElement("<T>", "T"), "");
}

TEST(PlateMessage, UnclosedTimeStampGivesTimeZeroButKeepsRecord) {
    const auto record = ParsePlateMessage("<W>4097</W><T>05.03.2021 14:07:09<S>n</S>", 1);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->time, 0.0);
}

// ---- Time stamps --------------------------------------------------------------

struct StampCase {
    std::string text;
    double expected;
};

class TimeStamp : public ::testing::TestWithParam<StampCase> {};

TEST_P(TimeStamp, ReadsAsOleDate) {
    EXPECT_EQ(ParseTimeStamp(GetParam().text), GetParam().expected);
}

constexpr int64_t kDay = 86400000;
constexpr int64_t k20200201 = 18293 * kDay;  // 2020-02-01 00:00 since 1970
constexpr int64_t k030405 = (3 * 3600 + 4 * 60 + 5) * 1000;

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeStamp,
    ::testing::Values(
        StampCase{"", 0.0}, StampCase{"recorded 1.2.2020 3:04:05 local", Ole(k20200201 + k030405)},
        StampCase{"01.02.2020 03:04:05", Ole(k20200201 + k030405)},
        StampCase{"9.1.2.2020 3:04:05", Ole(k20200201 + k030405)},  // the first place it fits
        StampCase{"2020-02-01 03:04:05", 0.0},                                   // other layout
        StampCase{"01.02.2020  03:04:05", 0.0},                                  // two spaces
        StampCase{"01.02.2020\t03:04:05", 0.0},                                  // a tab is not a space
        StampCase{"01.02.2020 03:04:05.1234", Ole(k20200201 + k030405 + 1234)},  // fraction is milliseconds
        StampCase{"01.02.2020 03:04:05.", Ole(k20200201 + k030405)},             // dot without digits
        StampCase{"01.02.2020 25:00:00", Ole(k20200201 + kDay + 3600000)},       // hours carry into next day
        StampCase{"01.02.2020 00:00:61", Ole(k20200201 + 61000)},
        StampCase{"31.12.2019 23:59:59.1000", Ole(k20200201 - 31 * kDay)},  // ms carry across a year
        StampCase{"29.02.2020 00:00:00", Ole(k20200201 + 28 * kDay)},       // leap day exists
        StampCase{"30.12.1899 00:00:00", 0.0},                              // the OLE epoch itself
        StampCase{"1.1.1400 0:0:0", Ole(-208188 * kDay)}, StampCase{"31.12.9999 0:0:0", Ole(2932896 * kDay)},
        // Shaped like a time stamp but no such day: kept as unreadable.
        StampCase{"29.02.2021 00:00:00", 0.0}, StampCase{"31.04.2021 00:00:00", 0.0},
        StampCase{"31.02.2021 00:00:00", 0.0}, StampCase{"1.13.2021 0:0:0", 0.0},
        StampCase{"0.1.2021 0:0:0", 0.0}, StampCase{"32.1.2021 0:0:0", 0.0}, StampCase{"1.1.1399 0:0:0", 0.0},
        StampCase{"1.1.10000 0:0:0", 0.0},
        StampCase{"1.1.4294968696 0:0:0", 0.0},  // would wrap to a valid year through 32 bits
        StampCase{"1.1.2000 99999999999:99999999999:99999999999.99999999999",
                  Ole(10957 * kDay + int64_t{2147483647} * (3600000 + 60000 + 1000 + 1))}));

TEST(TimeStamp, ImpossibleDateKeepsTheRecord) {
    const auto record = ParsePlateMessage(Message("4097", "0", "31.02.2021 10:00:00", "num=Z"), 1);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->time, 0.0);
    EXPECT_EQ(record->number, "Z");
}

TEST(ReadDecimal, BehavesLikeAtoiWithoutOverflow) {
    EXPECT_EQ(ReadDecimal(""), 0);
    EXPECT_EQ(ReadDecimal("  \t\n-12x3"), -12);
    EXPECT_EQ(ReadDecimal("+7"), 7);
    EXPECT_EQ(ReadDecimal("- 7"), 0);
    EXPECT_EQ(ReadDecimal("2147483647"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(ReadDecimal("2147483648"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(ReadDecimal("-2147483648"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(ReadDecimal("-99999999999999999999999"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(ReadDecimal("0x10"), 0);
}

}  // namespace

namespace {

// Servers hand out at most 511 characters; the pattern search recurses per character,
// so an oversized stamp must be refused rather than overflow the stack.
TEST(TimeStamp, LongestServerTextStillParsesOversizedIsRefused) {
    const std::string stamp = "01.02.2020 03:04:05";
    const std::string fits = std::string(511 - stamp.size(), '1') + " " + stamp;
    EXPECT_GT(ParseTimeStamp(fits.substr(1)), 43000.0);
    const std::string huge = std::string(200000, '1') + ".1.2000 0:0:0";
    EXPECT_EQ(ParseTimeStamp(huge), 0.0);
}

}  // namespace
