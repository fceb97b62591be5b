// The orv-sim program as integrators run it, and its configuration file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "SimTestClient.h"
#include "sim/SimConfig.h"

namespace {

using namespace orv_stuff;

#ifdef ORV_SIM_BINARY
constexpr const char* kBinary = ORV_SIM_BINARY;
#else
constexpr const char* kBinary = nullptr;
#endif

// The program running as a child process with its stdout and stderr on pipes.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv{const_cast<char*>(kBinary)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kBinary, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }

    // Next stdout line; empty on time-out or end of output.
    std::string ReadLine(int timeoutMs) { return ReadLineFrom(out_, outBuffer_, timeoutMs); }
    std::string ReadError(int timeoutMs) { return ReadLineFrom(err_, errBuffer_, timeoutMs); }

    void Signal(int signal) { kill(pid_, signal); }

    // Exit status, or -1 when the process did not end in time.
    int Wait(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

  private:
    static std::string ReadLineFrom(int fd, std::string& buffer, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto newline = buffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char chunk[256];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};

struct Listening {
    uint16_t port = 0;
    int first = 0;
    int last = 0;
};

// "listening 127.0.0.1:PORT cameras FIRST-LAST", nothing before or after.
std::optional<Listening> ParseListening(const std::string& line) {
    unsigned port = 0;
    int first = 0, last = 0, used = -1;
    if (std::sscanf(line.c_str(), "listening 127.0.0.1:%u cameras %d-%d%n", &port, &first, &last, &used) !=
            3 ||
        used != static_cast<int>(line.size()) || port == 0 || port > 65535) {
        return std::nullopt;
    }
    // The numbers must be plain digits (sscanf would also take signs and spaces).
    const auto digits = line.find_first_not_of("0123456789", line.find(':') + 1);
    if (line.compare(digits, 9, " cameras ") != 0) return std::nullopt;
    return Listening{static_cast<uint16_t>(port), first, last};
}

TServerInfo LoginInfo(uint16_t port, const std::string& loginText, int32_t* result) {
    orv_sim_test::RawClient client(port);
    TMsgHeader rq = orv_sim_test::Request(kCmdLogin);
    const std::string key = NormalizeLoginKey(loginText);
    std::memcpy(rq.field72, key.data(), 8);
    auto reply =
        client.Exchange(rq, {}, [](const TMsgHeader& h) { return orv_sim_test::Positive(h.field24); });
    if (!reply || reply->payload.size() != kServerInfoSize) return {};
    *result = reply->header.field28;
    return DecodeServerInfo(reply->payload.data());
}

class SimCli : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (kBinary == nullptr) GTEST_SKIP() << "orv-sim binary location unknown";
    }
};

TEST_P(SimCli, PrintsOneLinePerServerServesAndExitsCleanlyOnSignal) {
    SimProcess sim({"--port", "0", "--servers", "2", "--cameras", "3"});
    const auto first = ParseListening(sim.ReadLine(10'000));
    const auto second = ParseListening(sim.ReadLine(2'000));
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(first->first, 1);
    EXPECT_EQ(first->last, 3);
    EXPECT_EQ(second->first, 4);
    EXPECT_EQ(second->last, 6);
    EXPECT_NE(first->port, second->port);

    int32_t result = 0;
    const TServerInfo info = LoginInfo(second->port, "any", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(info.firstCamera, 3);
    EXPECT_EQ(info.cameraCount, 3);

    sim.Signal(GetParam());
    EXPECT_EQ(sim.Wait(5'000), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SimCli, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "SIGTERM" : "SIGINT"; });

TEST(SimCliConfig, ConfigFileSetsCamerasAndPassword) {
    if (kBinary == nullptr) GTEST_SKIP() << "orv-sim binary location unknown";
    char path[] = "/tmp/orv-sim-config-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string json =
        R"({"servers": [{"password": "pw", "cameras": [{"kind": "jpeg"}, {"active": false}]},
                                             {"cameraCount": 1}]})";
    ASSERT_EQ(write(fd, json.data(), json.size()), static_cast<ssize_t>(json.size()));
    close(fd);

    SimProcess sim({"--port", "0", "--config", path});
    const auto first = ParseListening(sim.ReadLine(10'000));
    const auto second = ParseListening(sim.ReadLine(2'000));
    unlink(path);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(first->last, 2);
    EXPECT_EQ(second->first, 3);
    EXPECT_EQ(second->last, 3);
    int32_t result = 0;
    EXPECT_EQ(LoginInfo(first->port, "wrong", &result).cameraCount, 0);
    EXPECT_EQ(result, -1);
    const TServerInfo info = LoginInfo(first->port, "PW", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(info.activeFlags[0], 1);
    EXPECT_EQ(info.activeFlags[1], 0);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(5'000), 0);
}

TEST(SimCliConfig, UnusableSettingsEndWithAnErrorInsteadOfServing) {
    if (kBinary == nullptr) GTEST_SKIP() << "orv-sim binary location unknown";
    // The port of a running simulator is taken.
    SimProcess holder({"--port", "0", "--servers", "1", "--cameras", "1"});
    const auto held = ParseListening(holder.ReadLine(10'000));
    ASSERT_TRUE(held);
    SimProcess clash({"--port", std::to_string(held->port)});
    EXPECT_EQ(clash.Wait(5'000), 1);
    EXPECT_NE(clash.ReadError(1'000).find("cannot listen"), std::string::npos);

    SimProcess tooMany({"--port", "0", "--servers", "20", "--cameras", "128"});
    EXPECT_NE(tooMany.Wait(5'000), 0);
    holder.Signal(SIGTERM);
    EXPECT_EQ(holder.Wait(5'000), 0);
}

struct BadConfig {
    const char* json;
    const char* complaint;
};

class SimConfigErrors : public ::testing::TestWithParam<BadConfig> {};

TEST_P(SimConfigErrors, AreReportedWithTheirCause) {
    try {
        orv_sim::ParseConfig(GetParam().json);
        FAIL() << "accepted " << GetParam().json;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().complaint), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, SimConfigErrors,
    ::testing::Values(BadConfig{"{", "not valid JSON"}, BadConfig{R"({"servers": []})", "non-empty"},
                      BadConfig{R"({"servers": [{"cameras": [{"kind": "mjpeg"}]}]})", "mjpeg"},
                      BadConfig{R"({"servers": [{"cameras": [{"subsampling": "411"}]}]})", "411"},
                      BadConfig{R"({"servers": [{"camera": []}]})", "\"camera\""},
                      BadConfig{R"({"servers": [{"cameras": [{"fps": "fast"}]}]})", "wrong type"},
                      BadConfig{R"({"servers": [{"cameraCount": 129}]})", "128"}));

TEST(SimConfig, DefaultsApplyToEveryCameraAndRangesFollowEachOther) {
    const auto servers = orv_sim::ParseConfig(R"({
        "cameraDefaults": {"width": 1921, "height": 1080, "fps": 500, "bFrames": 9},
        "servers": [{"cameraCount": 3, "cameras": [{"kind": "h264", "layout": "chain", "name": "Gate", "bFrames": 2}]},
                    {"cameraCount": 2, "archiveSeconds": 60, "faults": {"silent": true}}]})");
    ASSERT_EQ(servers.size(), 2u);
    ASSERT_EQ(servers[0].cameras.size(), 3u);
    EXPECT_EQ(servers[0].cameras[0].kind, orv_sim::CameraKind::H264);
    EXPECT_EQ(servers[0].cameras[0].layout, orv_sim::BlockLayout::Chain);
    EXPECT_EQ(servers[0].cameras[0].name, "Gate");
    EXPECT_EQ(servers[0].cameras[0].bFrames, 2);
    EXPECT_EQ(servers[0].cameras[1].bFrames, 4);  // clamped
    for (const auto& c : servers[0].cameras) {
        EXPECT_EQ(c.width, 1920);  // multiples of 8
        EXPECT_EQ(c.height, 1080);
        EXPECT_EQ(c.fps, 100);  // clamped
    }
    EXPECT_EQ(servers[0].cameras[1].kind, orv_sim::CameraKind::JpegBlocks);  // the default mix continues
    EXPECT_EQ(servers[1].cameras[0].kind, orv_sim::DefaultCamera(3).kind);
    EXPECT_TRUE(servers[1].faults.silent);
    EXPECT_DOUBLE_EQ(servers[1].archiveSeconds, 60.0);
}

}  // namespace
