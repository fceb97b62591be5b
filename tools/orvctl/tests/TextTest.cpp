#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <stdexcept>

#include "ResultCodes.h"
#include "ServerAddress.h"
#include "Table.h"
#include "TextEncoding.h"
#include "orv_sdk.h"

namespace orvctl {
namespace {

struct AddressCase {
    const char* text;
    const char* host;
    int port;
    const char* password;
};

class ServerAddressValid : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ServerAddressValid, Splits) {
    const AddressCase& c = GetParam();
    const ServerAddress address = ParseServerAddress(c.text);
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
    EXPECT_EQ(address.password, c.password);
}

INSTANTIATE_TEST_SUITE_P(Forms, ServerAddressValid,
                         ::testing::Values(AddressCase{"127.0.0.1", "127.0.0.1", 5001, ""},
                                           AddressCase{"localhost:6000", "localhost", 6000, ""},
                                           AddressCase{"10.1.2.3:5001/secret", "10.1.2.3", 5001, "secret"},
                                           AddressCase{"host/pa:ss/word", "host", 5001, "pa:ss/word"},
                                           AddressCase{"[::1]:7000/x", "::1", 7000, "x"},
                                           AddressCase{"[::1]", "::1", 5001, ""},
                                           AddressCase{"h:65535/", "h", 65535, ""}));

class ServerAddressInvalid : public ::testing::TestWithParam<const char*> {};

TEST_P(ServerAddressInvalid, Throws) {
    EXPECT_THROW(ParseServerAddress(GetParam()), std::invalid_argument) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Forms, ServerAddressInvalid,
                         ::testing::Values("", ":5001", "/pw", "host:", "host:0", "host:65536", "host:50a1",
                                           "host:-1", "host:123456", "[::1", "[::1]5001", "[]:5001"));

TEST(ServerAddress, AddressBracketsIpv6) {
    EXPECT_EQ(ParseServerAddress("[::1]:7000").Address(), "[::1]:7000");
    EXPECT_EQ(ParseServerAddress("a.b:1").Address(), "a.b:1");
}

TEST(ResultCodes, EveryHeaderCodeHasItsOwnName) {
    const int codes[] = {
        ORV_OK,          ORV_E_FAILED,          ORV_E_INVALID_ARG,    ORV_E_BUFFER_TOO_SMALL, ORV_E_DUPLICATE,
        ORV_E_NO_FRAME,  ORV_E_CAMERA_INACTIVE, ORV_E_UNKNOWN_CAMERA, ORV_E_NOT_DECODABLE,    ORV_E_NO_PLATE,
        ORV_E_NOT_READY, ORV_E_NOT_INITIALISED, ORV_E_NOT_SUPPORTED};
    std::set<std::string> names;
    for (int code : codes) {
        const std::string name = ResultName(code);
        EXPECT_EQ(name.rfind("ORV_", 0), 0u) << code;
        EXPECT_EQ(name.find("RESULT("), std::string::npos) << code;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), std::size(codes));
    EXPECT_EQ(ResultName(ORV_E_NO_FRAME), "ORV_E_NO_FRAME");
    EXPECT_EQ(DescribeResult(-8), "ORV_E_NO_FRAME (-8): no frame available");
    EXPECT_EQ(ResultName(-42), "ORV_RESULT(-42)");  // unknown codes still print their number
}

TEST(ResultCodes, StateNames) {
    EXPECT_EQ(StateName(ORV_STATE_CONNECTED), "Connected");
    EXPECT_EQ(StateName(ORV_STATE_REFUSED), "Refused");
    EXPECT_EQ(StateName(ORV_STATE_UNREACHABLE), "Unreachable");
    EXPECT_EQ(StateName(4), "State(4)");
    EXPECT_EQ(StateName(-1), "State(-1)");
    EXPECT_EQ(StateName(7), "State(7)");
    EXPECT_FALSE(IsSettledState(ORV_STATE_CONNECTING));
    EXPECT_FALSE(IsSettledState(ORV_STATE_IDLE));
    EXPECT_TRUE(IsSettledState(ORV_STATE_REFUSED));
}

TEST(Table, AlignsColumnsAndRightAlignsNumbers) {
    Table table({"camera", "name", "active"});
    table.AddRow({"1", "Gate", "yes"});
    table.AddRow({"12", "Пост", "no"});  // multi-byte name must align by characters, not bytes
    table.AddRow({"3"});                 // padded
    std::ostringstream out;
    table.Print(out);
    EXPECT_EQ(out.str(),
              "camera  name  active\n"
              "     1  Gate  yes\n"
              "    12  Пост  no\n"
              "     3        \n");
}

}  // namespace
}  // namespace orvctl

namespace orvctl {
namespace {

struct EncodingCase {
    const char* name;
    std::string cp1251;
    std::string utf8;
};

class Cp1251Test : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(Cp1251Test, ConvertsToUtf8) {
    EXPECT_EQ(Cp1251ToUtf8(GetParam().cp1251), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(Texts, Cp1251Test,
                         ::testing::Values(EncodingCase{"Ascii", "Gate 1", "Gate 1"},
                                           EncodingCase{"Cyrillic", "\xCF\xEE\xF1\xF2", "Пост"},
                                           EncodingCase{"YoAndNumeroSign", "\xA8\xB8\xB9", "Ёё№"},
                                           EncodingCase{"UnassignedByteIsReplaced", "A\x98Z",
                                                        "A\xEF\xBF\xBDZ"},
                                           EncodingCase{"Empty", "", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvctl
