// orv-gateway run as a person runs it (a separate process), against simulated servers in
// this process, spoken to over HTTP on loopback.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <nlohmann/json.hpp>
#include <functional>
#include <set>
#include <memory>
#include <thread>

#include "HttpClient.h"
#include "support/BlockUsers.h"
#include "sim/Simulator.h"

namespace gateway::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

orv_sim::CameraConfig Camera(orv_sim::CameraKind kind, orv_sim::Subsampling subsampling = orv_sim::Subsampling::S420) {
    orv_sim::CameraConfig camera;
    camera.kind = kind;
    camera.width = kWidth;
    camera.height = kHeight;
    camera.subsampling = subsampling;
    camera.fps = 25;
    return camera;
}

// Width and height of a JPEG, or {0, 0} when it does not decode.
std::pair<int, int> JpegSize(const std::string& bytes) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    const int rc = tjDecompressHeader3(handle, reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<unsigned long>(bytes.size()), &width, &height, &subsampling,
                                       &colourspace);
    std::vector<unsigned char> pixels(static_cast<size_t>(std::max(width, 1)) * std::max(height, 1) * 3);
    const int decoded = rc == 0 ? tjDecompress2(handle, reinterpret_cast<const unsigned char*>(bytes.data()),
                                                static_cast<unsigned long>(bytes.size()), pixels.data(), width, 0,
                                                height, TJPF_RGB, 0)
                                : -1;
    tjDestroy(handle);
    return decoded == 0 ? std::make_pair(width, height) : std::make_pair(0, 0);
}

double SecondsBetween(const std::string& isoA, const std::string& isoB);

std::vector<orv_sim::ServerConfig> TwoServers() {
    std::vector<orv_sim::ServerConfig> servers(2);
    servers[0].archiveSeconds = 120;
    servers[0].cameras = {Camera(orv_sim::CameraKind::Jpeg), Camera(orv_sim::CameraKind::Jpeg, orv_sim::Subsampling::Grey),
                          Camera(orv_sim::CameraKind::Jpeg)};
    servers[0].cameras[0].name = "Gate";
    servers[0].cameras[0].plates = true;
    servers[0].cameras[0].plateIntervalSeconds = 0.3;
    servers[0].cameras[2].active = false;
    servers[1].archiveSeconds = 120;
    servers[1].cameras = {Camera(orv_sim::CameraKind::Mpeg4), Camera(orv_sim::CameraKind::Jpeg, orv_sim::Subsampling::S422)};
    servers[1].cameras[1].name = "Пост №5";  // travels as Windows-1251
    return servers;
}

std::vector<std::string> ServerArgs(orv_sim::Simulator& sim) {
    std::vector<std::string> args;
    for (size_t i = 0; i < sim.ServerCount(); ++i) {
        args.push_back("--server");
        args.push_back("127.0.0.1:" + std::to_string(sim.Server(i).Port()));
    }
    return args;
}

// Server 1: cameras 1-3 (JPEG "Gate" with plates, JPEG grey, inactive JPEG).
// Server 2: cameras 4-5 (MPEG-4, JPEG 4:2:2 named in Cyrillic).
class Gateway : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        lock_ = std::make_unique<orv_test::BlockUsersLock>();
        sim_ = std::make_unique<orv_sim::Simulator>(TwoServers());
        auto args = ServerArgs(*sim_);
        args.insert(args.end(), {"--listen", "127.0.0.1:0"});
        gateway_ = std::make_unique<GatewayProcess>(ORV_GATEWAY_PATH, args);
    }
    static void TearDownTestSuite() {
        // A clean stop on SIGTERM is part of the contract.
        const int status = gateway_->Stop();
        gateway_.reset();
        sim_.reset();
        lock_.reset();
        EXPECT_EQ(status, 0) << "orv-gateway did not exit cleanly on SIGTERM";
    }
    static uint16_t Port() { return gateway_->Port(); }
    static json Json(const std::string& target) {
        const HttpReply reply = Get(Port(), target);
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
        return json::parse(reply.body);
    }

    static std::unique_ptr<orv_test::BlockUsersLock> lock_;
    static std::unique_ptr<orv_sim::Simulator> sim_;
    static std::unique_ptr<GatewayProcess> gateway_;
};
std::unique_ptr<orv_test::BlockUsersLock> Gateway::lock_;
std::unique_ptr<orv_sim::Simulator> Gateway::sim_;
std::unique_ptr<GatewayProcess> Gateway::gateway_;

TEST_F(Gateway, ServersAndCamerasListStateRangesAndUtf8Names) {
    const json servers = Json("/api/servers")["servers"];
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0]["state"], "Connected");
    EXPECT_EQ(servers[0]["cameras"]["first"], 1);
    EXPECT_EQ(servers[0]["cameras"]["last"], 3);
    EXPECT_EQ(servers[1]["cameras"]["first"], 4);
    EXPECT_EQ(servers[1]["cameras"]["last"], 5);

    const json cameras = Json("/api/cameras")["cameras"];
    ASSERT_EQ(cameras.size(), 5u);
    EXPECT_EQ(cameras[0]["name"], "Gate");
    EXPECT_EQ(cameras[4]["name"], "Пост №5");
    EXPECT_EQ(cameras[4]["server"], 2);
    EXPECT_EQ(cameras[2]["active"], false);
    EXPECT_EQ(cameras[2]["status"], "inactive");
}

// Every failure answers a status and a JSON body naming what went wrong.
TEST_F(Gateway, ErrorsCarryStatusAndCodeByName) {
    struct Case {
        std::string method, target, body;
        int status;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"GET", "/api/cameras/99/snapshot.jpg", "", 404, "ORV_E_UNKNOWN_CAMERA"},
        {"GET", "/api/cameras/3/snapshot.jpg", "", 409, "ORV_E_CAMERA_INACTIVE"},
        {"GET", "/api/cameras/0/snapshot.jpg", "", 400, "bad_request"},
        {"GET", "/api/cameras/1/archive.jpg", "", 400, "bad_request"},
        {"GET", "/api/cameras/1/archive.jpg?at=yesterday-ish", "", 400, "bad_request"},
        {"GET", "/api/cameras/1/archive.jpg?at=1990-01-01T00:00:00Z", "", 404, "ORV_E_NO_FRAME"},
        {"GET", "/api/cameras/5/plate", "", 404, "ORV_E_NO_PLATE"},
        {"GET", "/api/archive.mjpeg?cameras=1&from=-10s&to=-20s", "", 400, "bad_request"},
        {"GET", "/api/stream.mjpeg?cameras=1,x", "", 400, "bad_request"},
        {"GET", "/api/cameras/1/stream.mjpeg?fps=-1", "", 400, "bad_request"},
        {"POST", "/api/cameras/1/snapshot.jpg", "", 405, "method_not_allowed"},
        {"GET", "/api/cameras/1/ptz", "", 405, "method_not_allowed"},
        {"POST", "/api/cameras/1/ptz", "not json", 400, "bad_request"},
        {"POST", "/api/cameras/1/event", R"({"values":[1,2,3]})", 400, "bad_request"},
        {"POST", "/api/servers/9/event", R"({"value":1})", 404, "not_found"},
        {"POST", "/api/servers/1/console", R"({"camera":0})", 400, "bad_request"},
        {"GET", "/api/nothing", "", 404, "not_found"},
        {"GET", "/favicon.ico", "", 404, "not_found"},
    };
    for (const auto& c : cases) {
        const HttpReply reply = Request(Port(), c.method, c.target, {}, c.body);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target << ": " << reply.body;
        EXPECT_EQ(reply.headers.at("content-type").rfind("application/json", 0), 0u) << c.target;
        const json body = json::parse(reply.body, nullptr, false);
        ASSERT_FALSE(body.is_discarded()) << c.target;
        EXPECT_EQ(body.value("error", ""), c.error) << c.target;
        if (c.error.rfind("ORV_", 0) == 0) {
            EXPECT_LT(body.value("code", 0), 0) << c.target;
        }
    }
}

// Pictures: live JPEG as received, decoded MPEG-4 encoded to JPEG, and the archive.
TEST_F(Gateway, SnapshotsAndArchivePicturesAreJpegsOfTheCamera) {
    for (const char* target : {"/api/cameras/1/snapshot.jpg", "/api/cameras/2/snapshot.jpg",
                               "/api/cameras/4/snapshot.jpg", "/api/cameras/5/snapshot.jpg",
                               "/api/cameras/2/archive.jpg?at=-30s"}) {
        const HttpReply reply = Get(Port(), target);
        ASSERT_EQ(reply.status, 200) << target << ": " << reply.body;
        EXPECT_EQ(reply.headers.at("content-type"), "image/jpeg") << target;
        EXPECT_TRUE(IsJpeg(reply.body)) << target;
        EXPECT_EQ(JpegSize(reply.body), std::make_pair(kWidth, kHeight)) << target;
        EXPECT_FALSE(reply.headers.at("x-frame-time").empty()) << target;
    }
    // The archive picture is the one nearest the time asked for.
    const HttpReply at = Get(Port(), "/api/cameras/2/archive.jpg?at=-30s");
    const HttpReply now = Get(Port(), "/api/cameras/2/snapshot.jpg");
    const double age = SecondsBetween(at.headers.at("x-frame-time"), now.headers.at("x-frame-time"));
    EXPECT_NEAR(age, 30.0, 1.5);

    const json range = Json("/api/archive/range");
    EXPECT_NEAR(SecondsBetween(range["begin"], range["end"]), 120.0, 5.0);
}

// Commands reach the camera's server with the values given.
TEST_F(Gateway, CommandsReachTheServer) {
    struct Case {
        std::string target, body;
        size_t server;
        std::function<bool(const orv_sim::Journal&)> arrived;
    };
    const std::vector<Case> cases = {
        {"/api/cameras/2/ptz", R"({"command":5,"speed1":30,"speed2":40})", 0,
         [](const auto& j) { return !j.telemetry.empty() && j.telemetry.back().camera == 1 && j.telemetry.back().command == 5; }},
        {"/api/cameras/5/event", R"({"values":[1,2,3,4]})", 1,
         [](const auto& j) {
             return !j.cameraEvents.empty() && j.cameraEvents.back().camera == 4 && j.cameraEvents.back().a == 1 &&
                    j.cameraEvents.back().d == 4;
         }},
        {"/api/servers/2/event", R"({"value":77})", 1,
         [](const auto& j) { return !j.serverEvents.empty() && j.serverEvents.back().value == 77; }},
        {"/api/servers/1/console", R"({"camera":2})", 0,
         [](const auto& j) { return !j.consoleSwitches.empty() && j.consoleSwitches.back().camera == 1; }},
    };
    for (const auto& c : cases) {
        sim_->Server(c.server).ClearJournal();
        const HttpReply reply = Request(Port(), "POST", c.target, {}, c.body);
        EXPECT_EQ(reply.status, 200) << c.target << ": " << reply.body;
        bool arrived = false;
        for (int i = 0; i < 50 && !arrived; ++i) {
            arrived = c.arrived(sim_->Server(c.server).Snapshot());
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_TRUE(arrived) << c.target;
    }
}

// multipart/x-mixed-replace: boundary, headers and a whole JPEG per part, times rising,
// at the camera's rate or the rate asked for; the grid stream carries each camera.
TEST_F(Gateway, MjpegStreamsAreFramedAndPaced) {
    struct Case {
        std::string target;
        double minFps, maxFps;
        std::set<int> cameras;
    };
    const std::vector<Case> cases = {
        {"/api/cameras/1/stream.mjpeg", 18, 30, {1}},
        {"/api/cameras/4/stream.mjpeg?fps=5", 3, 7, {4}},
        {"/api/stream.mjpeg?cameras=1,5&fps=10", 14, 24, {1, 5}},
    };
    for (const auto& c : cases) {
        StreamClient stream(Port(), c.target);
        ASSERT_EQ(stream.Status(), 200) << c.target;
        EXPECT_EQ(stream.Headers().at("content-type").rfind("multipart/x-mixed-replace; boundary=", 0), 0u);
        ASSERT_TRUE(stream.NextPart(5s)) << c.target;  // the first picture may take a moment
        std::map<int, std::string> lastTime;
        std::set<int> seen;
        int parts = 0;
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < 2s) {
            const auto part = stream.NextPart(2s);
            ASSERT_TRUE(part) << c.target;
            EXPECT_EQ(part->headers.at("content-type"), "image/jpeg");
            EXPECT_TRUE(IsJpeg(part->body)) << c.target;
            const int camera = std::stoi(part->headers.at("x-camera"));
            const std::string time = part->headers.at("x-frame-time");
            EXPECT_GT(time, lastTime[camera]) << c.target << " camera " << camera;
            lastTime[camera] = time;
            seen.insert(camera);
            ++parts;
        }
        const double fps = parts / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(fps, c.minFps) << c.target;
        EXPECT_LE(fps, c.maxFps) << c.target;
        EXPECT_EQ(seen, c.cameras) << c.target;
    }
}

// Archive playback: both cameras merged in time order inside the range, paced by speed,
// ended by the closing boundary.
TEST_F(Gateway, ArchivePlaybackMergesCamerasInTimeOrder) {
    struct Case {
        double speed;
        double minSeconds, maxSeconds;
    };
    for (const Case& c : {Case{0, 0.0, 1.5}, Case{4, 0.4, 2.0}}) {
        const auto start = std::chrono::steady_clock::now();
        StreamClient stream(Port(), "/api/archive.mjpeg?cameras=1,5&from=-40s&to=-38s&speed=" + std::to_string(c.speed));
        ASSERT_EQ(stream.Status(), 200);
        std::string last;
        std::set<int> cameras;
        int parts = 0;
        while (auto part = stream.NextPart(5s)) {
            EXPECT_TRUE(IsJpeg(part->body));
            const std::string time = part->headers.at("x-frame-time");
            EXPECT_GE(time, last);
            last = time;
            cameras.insert(std::stoi(part->headers.at("x-camera")));
            ++parts;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(stream.Closed()) << "no closing boundary";
        EXPECT_EQ(cameras, (std::set<int>{1, 5}));
        EXPECT_GE(parts, 80) << "2 s of two 25 fps cameras";
        EXPECT_LE(parts, 110);
        EXPECT_GE(seconds, c.minSeconds) << "speed " << c.speed;
        EXPECT_LE(seconds, c.maxSeconds) << "speed " << c.speed;
    }
}

// Server-sent events: one event per plate with its fields and a working picture link;
// GET /api/plates hands each kept plate out once.
TEST_F(Gateway, PlateEventsAndQueue) {
    StreamClient events(Port(), "/api/plates/events");
    ASSERT_EQ(events.Status(), 200);
    EXPECT_EQ(events.Headers().at("content-type"), "text/event-stream");
    const auto event = events.NextEvent(5s);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->at("event"), "plate");
    EXPECT_FALSE(event->at("id").empty());
    const json plate = json::parse(event->at("data"));
    EXPECT_EQ(plate["camera"], 1);
    EXPECT_EQ(plate["server"], 1);
    EXPECT_FALSE(plate["plate"].get<std::string>().empty());
    const HttpReply picture = Get(Port(), plate["archive"]);
    EXPECT_EQ(picture.status, 200) << plate["archive"] << ": " << picture.body;
    EXPECT_TRUE(IsJpeg(picture.body));

    const json first = Json("/api/plates")["plates"];
    ASSERT_FALSE(first.empty());
    const json second = Json("/api/plates")["plates"];
    for (const auto& p : second) {
        EXPECT_GT(p["id"].get<int>(), first.back()["id"].get<int>()) << "a plate handed out twice";
    }
    const json latest = Json("/api/cameras/1/plate");
    EXPECT_FALSE(latest["plate"].get<std::string>().empty());
}

// A viewer that does not read beside one that does: the fast one keeps the camera's rate,
// the slow one skips pictures, and the camera's loop ends once both have gone.
TEST_F(Gateway, SlowViewerNeverHoldsUpFastOne) {
    auto slow = std::make_unique<StreamClient>(Port(), "/api/cameras/2/stream.mjpeg", 4096);
    auto fast = std::make_unique<StreamClient>(Port(), "/api/cameras/2/stream.mjpeg");
    ASSERT_TRUE(fast->NextPart(5s));
    int parts = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 3s) {
        ASSERT_TRUE(fast->NextPart(2s));
        ++parts;
    }
    const double fps = parts / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(fps, 20.0) << "the fast viewer lost its rate beside a stalled one";

    json camera = Json("/api/cameras")["cameras"][1];
    EXPECT_EQ(camera["viewers"], 2);
    EXPECT_EQ(camera["fetching"], true);

    // The slow viewer now reads: what it gets jumps over the pictures it could not take.
    std::string previous;
    int gaps = 0;
    for (int i = 0; i < 100 && gaps == 0; ++i) {
        const auto part = slow->NextPart(2s);
        ASSERT_TRUE(part);
        const std::string time = part->headers.at("x-frame-time");
        if (!previous.empty() && SecondsBetween(previous, time) > 0.1) {
            ++gaps;
        }
        previous = time;
    }
    EXPECT_GE(gaps, 1) << "the stalled viewer was sent every picture";

    slow.reset();
    fast.reset();
    bool stopped = false;
    for (int i = 0; i < 40 && !stopped; ++i) {
        std::this_thread::sleep_for(100ms);
        camera = Json("/api/cameras")["cameras"][1];
        stopped = camera["fetching"] == false && camera["viewers"] == 0;
    }
    EXPECT_TRUE(stopped) << "a camera without viewers is still fetched: " << camera.dump();
}

TEST_F(Gateway, PageIsServedFromTheProgram) {
    const HttpReply page = Get(Port(), "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("/api/stream.mjpeg"), std::string::npos);
    EXPECT_NE(page.body.find("/api/plates/events"), std::string::npos);
    EXPECT_EQ(page.body.find("http://"), std::string::npos) << "the page must not load anything from elsewhere";
    EXPECT_EQ(page.body.find("https://"), std::string::npos);
}

// ---- the token rule, and servers that go away: gateways of their own -------------------

TEST(GatewayToken, EveryRequestNeedsTheTokenWhenOneIsSet) {
    orv_test::BlockUsersLock lock;
    orv_sim::Simulator sim(orv_sim::UniformServers(1, 2));
    auto args = ServerArgs(sim);
    args.insert(args.end(), {"--listen", "127.0.0.1:0", "--token", "s3cret"});
    GatewayProcess gateway(ORV_GATEWAY_PATH, args);
    struct Case {
        std::string target;
        std::map<std::string, std::string> headers;
        int status;
    };
    const std::vector<Case> cases = {
        {"/api/servers", {}, 401},
        {"/", {}, 401},
        {"/api/servers", {{"Authorization", "Bearer wrong"}}, 401},
        {"/api/servers?token=s3cre", {}, 401},
        {"/api/servers", {{"Authorization", "Bearer s3cret"}}, 200},
        {"/api/servers?token=s3cret", {}, 200},
        {"/?token=s3cret", {}, 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Get(gateway.Port(), c.target, c.headers).status, c.status) << c.target;
    }
    EXPECT_EQ(gateway.Stop(), 0);

    // Off loopback the token is not optional.
    EXPECT_EQ(RunToEnd(ORV_GATEWAY_PATH, {"--server", "127.0.0.1:1", "--listen", "0.0.0.0:0"}, 10s), 2);
}

TEST(GatewayServerDown, OtherCamerasKeepTheirRateAndTheDownOnesSayWhy) {
    orv_test::BlockUsersLock lock;
    orv_sim::Simulator sim(orv_sim::UniformServers(2, 1));
    auto args = ServerArgs(sim);
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    GatewayProcess gateway(ORV_GATEWAY_PATH, args);
    StreamClient healthy(gateway.Port(), "/api/cameras/1/stream.mjpeg");
    StreamClient doomed(gateway.Port(), "/api/cameras/2/stream.mjpeg");
    ASSERT_TRUE(healthy.NextPart(5s));
    ASSERT_TRUE(doomed.NextPart(5s));

    orv_sim::FaultConfig faults;
    faults.refuseConnections = true;
    sim.Server(1).SetFaults(faults);
    sim.Server(1).DropConnections();

    int parts = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 4s) {
        ASSERT_TRUE(healthy.NextPart(2s)) << "the healthy camera stalled";
        ++parts;
    }
    EXPECT_GE(parts / 4.0, 18.0) << "the healthy camera lost its rate";

    json servers;
    bool reported = false;
    for (int i = 0; i < 100 && !reported; ++i) {
        servers = json::parse(Get(gateway.Port(), "/api/servers").body)["servers"];
        reported = servers[1]["state"] != "Connected";
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(reported) << servers.dump();
    EXPECT_EQ(servers[0]["state"], "Connected");
    const json cameras = json::parse(Get(gateway.Port(), "/api/cameras").body)["cameras"];
    ASSERT_EQ(cameras.size(), 2u) << "the down server's camera must stay listed";
    EXPECT_EQ(cameras[1]["status"], "down");
    EXPECT_EQ(cameras[0]["status"], "live");

    const auto asked = std::chrono::steady_clock::now();
    const HttpReply snapshot = Get(gateway.Port(), "/api/cameras/2/snapshot.jpg");
    EXPECT_EQ(snapshot.status, 503) << snapshot.body;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << "a down camera's snapshot must answer at once";
    EXPECT_EQ(Get(gateway.Port(), "/api/cameras/1/snapshot.jpg").status, 200);
    EXPECT_EQ(gateway.Stop(), 0);
}

// ISO times as the gateway writes them ("2026-12-08T10:00:00.250Z").
double SecondsBetween(const std::string& isoA, const std::string& isoB) {
    auto seconds = [](const std::string& iso) {
        std::tm tm{};
        strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
        const double fraction = iso.size() > 19 && iso[19] == '.' ? std::stod(iso.substr(19, 4)) : 0.0;
        return static_cast<double>(timegm(&tm)) + fraction;
    };
    return seconds(isoB) - seconds(isoA);
}

}  // namespace
}  // namespace gateway::test
