// The gateway's parsing of request targets, listen addresses and servers files.
#include <gtest/gtest.h>

#include "Http.h"
#include "Options.h"

namespace gateway {
namespace {

TEST(GatewayParsing, Targets) {
    const auto t = ParseTarget("/api/cameras/3/archive.jpg?at=2026-12-08T10:00:00%2B01:00&x=&token=a%20b");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/api/cameras/3/archive.jpg");
    EXPECT_EQ(t->query.at("at"), "2026-12-08T10:00:00+01:00");
    EXPECT_EQ(t->query.at("x"), "");
    EXPECT_EQ(t->query.at("token"), "a b");
    EXPECT_EQ(ParseTarget("/a?b=+30s")->query.at("b"), "+30s") << "'+' is not a space here";
    for (const char* bad : {"/a?b=%", "/a?b=%2", "/a?b=%zz", "/%g0"}) {
        EXPECT_FALSE(ParseTarget(bad)) << bad;
    }
    EXPECT_EQ(Segments("/api//cameras/7/"), (std::vector<std::string>{"api", "cameras", "7"}));
    EXPECT_EQ(ParseCameraList("1,2,2048"), (std::vector<int>{1, 2, 2048}));
    for (const char* bad : {"", "0", "1,", "1,,2", "2049", "1;2", "-1"}) {
        EXPECT_FALSE(ParseCameraList(bad)) << bad;
    }
    EXPECT_EQ(LoggableTarget("/x?a=1&token=secret&b=2"), "/x?a=1&token=***&b=2");
    EXPECT_EQ(LoggableTarget("/x?token=secret"), "/x?token=***");
    EXPECT_TRUE(TokenMatches("abc", "abc"));
    EXPECT_FALSE(TokenMatches("abcd", "abc"));
    EXPECT_FALSE(TokenMatches("ab", "abc"));
    EXPECT_FALSE(TokenMatches("", "abc"));
}

TEST(GatewayParsing, ListenAddresses) {
    struct Case {
        const char* text;
        const char* host;
        int port;
        bool loopback;
    };
    for (const Case& c : {Case{"127.0.0.1:8080", "127.0.0.1", 8080, true}, Case{"localhost:0", "127.0.0.1", 0, true},
                          Case{"[::1]:9000", "::1", 9000, true}, Case{"0.0.0.0:80", "0.0.0.0", 80, false},
                          Case{"192.168.1.5:8080", "192.168.1.5", 8080, false}}) {
        const ListenAddress a = ParseListen(c.text);
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(IsLoopback(a.host), c.loopback) << c.text;
    }
    for (const char* bad : {"8080", "127.0.0.1:", "127.0.0.1:70000", "example.org:80", "1.2.3.4:8x"}) {
        EXPECT_THROW(ParseListen(bad), std::invalid_argument) << bad;
    }
}

TEST(GatewayParsing, ServersFiles) {
    const auto servers = ParseServersJson(
        R"({"servers": ["10.0.0.1", "10.0.0.2:6000/pw", {"host": "cam.local", "port": 5005, "password": "x"}]})");
    ASSERT_EQ(servers.size(), 3u);
    EXPECT_EQ(servers[0].Address(), "10.0.0.1:5001");
    EXPECT_EQ(servers[1].password, "pw");
    EXPECT_EQ(servers[2].Address(), "cam.local:5005");
    EXPECT_EQ(ParseServersJson(R"(["h:1"])").size(), 1u);
    for (const char* bad : {"{", R"({"servers": 5})", R"([{"port": 1}])", R"([{"host": "h", "port": 0}])",
                            R"([{"host": "h", "password": 5}])", R"(["h:x"])"}) {
        EXPECT_THROW(ParseServersJson(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace gateway
