// Socket buffers: raised where the system gives less than asked, left to the
// kernel's own tuning everywhere else (setting a size locks it).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/SocketCalls.h"

namespace {

int BufferOf(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

// A connected loopback pair; the client end is `client`.
struct Connection {
    Connection() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        server = accept(listener, nullptr, nullptr);
    }
    ~Connection() {
        close(client);
        close(server);
        close(listener);
    }
    int listener = -1, client = -1, server = -1;
    bool connected = false;
};

struct BufferCase {
    const char* name;
    platform::SocketBuffer which;
    int option;
};

class SocketBufferTest : public ::testing::TestWithParam<BufferCase> {};

TEST_P(SocketBufferTest, RaisedOnlyWhereTheSystemGivesLess) {
    const BufferCase& c = GetParam();
    Connection connection;
    ASSERT_TRUE(connection.connected);
    // As the system gives it: never touched when it is already large enough.
    const int given = BufferOf(connection.client, c.option);
    ASSERT_GT(given, 0);
    ASSERT_TRUE(platform::RaiseSocketBuffer(connection.client, c.which, given));
    EXPECT_EQ(BufferOf(connection.client, c.option), given) << "a large enough buffer was set (and locked)";
    ASSERT_TRUE(platform::RaiseSocketBuffer(connection.client, c.which, given / 2));
    EXPECT_EQ(BufferOf(connection.client, c.option), given);

    // Too small: raised to at least the minimum.
    const int small = 4096;
    ASSERT_EQ(setsockopt(connection.client, SOL_SOCKET, c.option, &small, sizeof small), 0);
    ASSERT_LT(BufferOf(connection.client, c.option), 131072);
    ASSERT_TRUE(platform::RaiseSocketBuffer(connection.client, c.which, 131072));
    EXPECT_GE(BufferOf(connection.client, c.option), 131072);
}

INSTANTIATE_TEST_SUITE_P(Buffers, SocketBufferTest,
                         ::testing::Values(BufferCase{"Receive", platform::SocketBuffer::Receive, SO_RCVBUF},
                                           BufferCase{"Send", platform::SocketBuffer::Send, SO_SNDBUF}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
