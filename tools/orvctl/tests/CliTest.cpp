// orvctl as a process: help, usage errors and unreachable servers need no simulator.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/BlockUsers.h"
#include "RunProcess.h"
#include "support/Loopback.h"

namespace orvctl::test {
namespace {

class HelpTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HelpTest, EveryCommandExplainsItself) {
    const ProcessResult r = RunOrvctl({GetParam(), "--help"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(GetParam()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--help"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Commands, HelpTest,
                         ::testing::Values("servers", "cameras", "snapshot", "archive", "plates", "event",
                                           "ptz", "console", "demo"));

TEST(Cli, TopLevelHelpListsTheCommands) {
    const ProcessResult r = RunOrvctl({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* command :
         {"servers", "cameras", "snapshot", "archive", "plates", "event", "ptz", "console", "demo"}) {
        EXPECT_NE(r.out.find(command), std::string::npos) << command;
    }
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* expectedText;  // in stderr
};

class UsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, ExitsWithTwoAndSaysWhy) {
    const ProcessResult r = RunOrvctl(GetParam().args);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(GetParam().expectedText), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageError,
    ::testing::Values(
        UsageCase{"NoCommand", {}, "subcommand"}, UsageCase{"NoServer", {"servers"}, "no server given"},
        UsageCase{"PortZero", {"-s", "127.0.0.1:0", "servers"}, "port out of range"},
        UsageCase{"SnapshotWithoutCamera", {"-s", "127.0.0.1", "snapshot"}, "--camera"},
        UsageCase{"CameraZero", {"-s", "127.0.0.1", "snapshot", "-c", "0"}, "--camera"},
        UsageCase{"UnknownFormat", {"-s", "127.0.0.1", "snapshot", "-c", "1", "-f", "png"}, "--format"},
        UsageCase{
            "BadTime", {"-s", "127.0.0.1", "archive", "-c", "1", "--from", "yesterday"}, "unrecognised time"},
        UsageCase{
            "TwoEventValues", {"-s", "127.0.0.1", "event", "-c", "1", "--values", "1", "2"}, "--values"},
        UsageCase{"UnknownCommand", {"-s", "127.0.0.1", "bogus"}, "subcommand"}),
    [](const auto& info) { return std::string(info.param.name); });


TEST(Cli, RefusedServerIsReportedByStateAndFails) {
    const orv_test::BlockUsersLock users;
    const std::string server = "127.0.0.1:" + std::to_string(orv_test::ClosedLoopbackPort());
    const ProcessResult r = RunOrvctl({"--connect-timeout", "5", "-s", server, "servers"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(server), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Refused"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Connected"), std::string::npos) << r.out;
}

TEST(Cli, CommandsOnARefusedServerFailWithTheResultName) {
    const orv_test::BlockUsersLock users;
    const std::string server = "127.0.0.1:" + std::to_string(orv_test::ClosedLoopbackPort());
    const ProcessResult r =
        RunOrvctl({"--connect-timeout", "3", "-s", server, "snapshot", "-c", "1", "--timeout", "0.3"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("ORV_E_"), std::string::npos) << r.err;  // the code, by name
    EXPECT_EQ(r.out.find("->"), std::string::npos) << r.out;      // nothing claimed as saved
}

}  // namespace
}  // namespace orvctl::test
