#include <gtest/gtest.h>

#include <boost/asio/error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ProtocolTestUtil.h"
#include "support/Loopback.h"

namespace orv_test {
namespace {

using orv_stuff::TServerDM;


struct Target {
    const char* name;
    std::string hostName;
    std::string hostAddress;
    int32_t port;  // 0: the scripted peer's port; -1: a closed port
    int32_t expected;
};

class ConnectTest : public ::testing::TestWithParam<Target> {};

TEST_P(ConnectTest, EndsInTheStateOfTheOutcome) {
    ScriptedPeer peer;
    peer.Start();
    TServerDM server(kTestIoTimeout);
    server.hostName = GetParam().hostName;
    server.hostAddress = GetParam().hostAddress;
    server.port = GetParam().port == 0 ? peer.Port() : GetParam().port == -1 ? orv_test::ClosedLoopbackPort() : GetParam().port;
    server.Start();
    EXPECT_EQ(WaitSettled(server), GetParam().expected);
    server.Stop();
    EXPECT_EQ(server.State(), orv_stuff::Idle);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ConnectTest,
    ::testing::Values(Target{"Address", "", "127.0.0.1", 0, orv_stuff::Connected},
                      Target{"Name", "localhost", "", 0, orv_stuff::Connected},
                      Target{"NameWinsOverAddress", "localhost", "192.0.2.1", 0, orv_stuff::Connected},
                      Target{"Refused", "", "127.0.0.1", -1, orv_stuff::Refused},
                      // A negative port is a service text with a minus sign: it does not resolve.
                      Target{"NegativePort", "", "127.0.0.1", -5001, orv_stuff::Unreachable}),
    [](const auto& info) { return std::string(info.param.name); });

class ConnectedServer : public ::testing::Test {
protected:
    void Connect() {
        peer.Start();
        server.hostAddress = "127.0.0.1";
        server.port = peer.Port();
        server.Start();
        ASSERT_EQ(WaitSettled(server), orv_stuff::Connected);
    }
    ScriptedPeer peer;
    TServerDM server{kTestIoTimeout};
};

TEST_F(ConnectedServer, SilentPeerTimesOutIntoUnreachable) {
    Connect();
    uint8_t header[80];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.Read(header, 80));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(server.State(), orv_stuff::Unreachable);
    RecordProperty("elapsed_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    EXPECT_GE(elapsed, kTestIoTimeout - 10ms);
    EXPECT_LT(elapsed, kTestIoTimeout + 1000ms);
}

TEST_F(ConnectedServer, PeerFallingSilentMidReplyTimesOutKeepingWhatArrived) {
    peer.Send(Filled(30, 0xAB));  // then the connection stays open and silent
    Connect();
    uint8_t header[80];
    std::memset(header, 0xCD, sizeof header);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.Read(header, 80));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(server.State(), orv_stuff::Unreachable);
    EXPECT_EQ(header[29], 0xAB) << "the bytes that arrived stay";
    EXPECT_EQ(header[30], 0x00) << "the rest is zero";
    // The receive that got part of its bytes gives up when its time-out ends, the
    // next one finds nothing within its own: two time-outs at the most.
    EXPECT_GE(elapsed, kTestIoTimeout - 10ms);
    EXPECT_LT(elapsed, 2 * kTestIoTimeout + 1000ms);
}

// A peer that sends one byte a second is never silent for a whole time-out, yet
// the exchange it answers must end when its time-out from the request is up.
TEST(ServerExchange, TricklingPeerCannotStretchAnExchangePastItsTimeOut) {
    constexpr auto kTimeout = 1500ms;
    ScriptedPeer peer;
    peer.ExpectRequest().Trickle(Filled(80, 0xAB), 1000ms);
    peer.Start();
    TServerDM server(kTimeout);
    server.hostAddress = "127.0.0.1";
    server.port = peer.Port();
    server.Start();
    ASSERT_EQ(WaitSettled(server), orv_stuff::Connected);

    const auto start = std::chrono::steady_clock::now();
    server.BeginExchange();
    const Bytes request = MakeReply(ReplyHeader(orv_stuff::kCmdServerEvent));
    const orv_stuff::IoResult sent = server.Write(request.data(), static_cast<int32_t>(request.size()));
    EXPECT_FALSE(sent.error) << sent.error.message();
    EXPECT_EQ(sent.step, orv_stuff::ExchangeStep::Request);
    EXPECT_EQ(sent.transferred, 80);
    uint8_t header[80];
    const orv_stuff::IoResult got = server.Read(header, 80);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got.error, boost::asio::error::timed_out) << got.error.message();
    EXPECT_EQ(got.step, orv_stuff::ExchangeStep::ReplyHeader);
    EXPECT_GE(got.transferred, 1);
    EXPECT_LE(got.transferred, 3);
    EXPECT_EQ(server.State(), orv_stuff::Unreachable);
    EXPECT_GE(elapsed, kTimeout - 10ms);
    EXPECT_LT(elapsed, kTimeout + 400ms);
    peer.Stop();
}

TEST_F(ConnectedServer, PeerThatStopsReadingTimesOutTheWrite) {
    Connect();
    // More than the socket buffers of both sides can hold; the peer never reads.
    Bytes big(32u * 1024 * 1024, 0x42);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.Write(big.data(), static_cast<int32_t>(big.size())));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(server.State(), orv_stuff::Unreachable);
    RecordProperty("elapsed_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    EXPECT_GE(elapsed, kTestIoTimeout - 10ms);
    EXPECT_LT(elapsed, kTestIoTimeout + 2000ms);
}

TEST_F(ConnectedServer, PeerClosingMidReplyFails) {
    peer.CloseMidReply(Filled(80, 0xAB), 30);
    Connect();
    uint8_t header[80];
    std::memset(header, 0xCD, sizeof header);
    EXPECT_FALSE(server.Read(header, 80));
    EXPECT_EQ(server.State(), orv_stuff::Failed);
    EXPECT_EQ(header[29], 0xAB) << "the bytes that arrived stay";
    EXPECT_EQ(header[30], 0x00) << "the rest is zero";
    // Writing to the closed peer fails once the reset arrives, without a signal.
    bool writeFailed = false;
    for (int i = 0; i < 20 && !writeFailed; ++i) {
        writeFailed = !server.Write(header, 80);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(writeFailed);
    EXPECT_EQ(server.State(), orv_stuff::Failed);
}

TEST_F(ConnectedServer, ReadsLargeBlocksExactlyAndRejectsEmptyReads) {
    Bytes big(300000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
    peer.Send(big);
    Connect();
    uint8_t dummy = 0;
    EXPECT_FALSE(server.Read(&dummy, 0));
    EXPECT_EQ(server.State(), orv_stuff::Connected);
    Bytes got(big.size());
    ASSERT_TRUE(server.Read(got.data(), static_cast<int32_t>(got.size())));
    EXPECT_EQ(got, big);
    ASSERT_TRUE(server.Write(big.data(), 1000));
    EXPECT_FALSE(server.Write(nullptr, 10));
}

TEST_F(ConnectedServer, StartWaitsForThePreviousConnectAndReconnects) {
    Connect();
    server.Start();  // stops (closes) and connects again
    EXPECT_EQ(WaitSettled(server), orv_stuff::Connected);
    server.Stop();
    uint8_t b[4];
    EXPECT_FALSE(server.Read(b, 4)) << "closed socket";
    EXPECT_EQ(server.State(), orv_stuff::Idle) << "a read on a closed socket leaves the state";
}

TEST(ServerStateMapping, PlatformErrorsMapOntoStates) {
    namespace err = boost::asio::error;
    EXPECT_EQ(orv_stuff::StateForError({}), orv_stuff::Connected);
    EXPECT_EQ(orv_stuff::StateForError(err::connection_refused), orv_stuff::Refused);
    EXPECT_EQ(orv_stuff::StateForError(err::timed_out), orv_stuff::Unreachable);
    EXPECT_EQ(orv_stuff::StateForError(err::host_unreachable), orv_stuff::Unreachable);
    EXPECT_EQ(orv_stuff::StateForError(err::host_not_found), orv_stuff::Unreachable);
    EXPECT_EQ(orv_stuff::StateForError(err::host_not_found_try_again), orv_stuff::Unreachable);
    EXPECT_EQ(orv_stuff::StateForError(err::connection_reset), orv_stuff::Failed);
    EXPECT_EQ(orv_stuff::StateForError(err::connection_aborted), orv_stuff::Failed);
    EXPECT_EQ(orv_stuff::StateForError(err::eof), orv_stuff::Failed);
}

}  // namespace
}  // namespace orv_test
