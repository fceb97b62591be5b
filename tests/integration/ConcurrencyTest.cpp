// Calls from several host threads at once: a slow server holds up only the calls
// that need it; threads on different cameras get their own cameras' pictures; the
// archive merge is strictly ordered; calls racing ORV_Uninit and ORV_ServersDelAll
// end with a documented code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FramesCommon.h"
#include "orv_sdk.h"
#include "protocol/Wire.h"
#include "sim/SimCamera.h"
#include "sim/Simulator.h"
#include "support/ScriptedPeer.h"
#include "support/BlockUsers.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace frames_test;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A server with cameras 1 and 2 that answers every request with an empty reply,
// after holding it back while it is told to be slow (at most `kSlowFor`).
class SlowServer {
public:
    static constexpr milliseconds kSlowFor{5000};

    SlowServer() {
        peer_.RespondRepeatedly([this](const orv_test::Request& request) { return Answer(request); });
        peer_.Start();
    }
    ~SlowServer() { Stop(); }
    uint16_t Port() const { return peer_.Port(); }
    void SetSlow(bool slow) {
        {
            std::lock_guard lock(mutex_);
            slow_ = slow;
        }
        changed_.notify_all();
    }
    // True once a request is being held back.
    bool WaitHolding(milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return holding_ > 0; });
    }
    void Stop() {
        SetSlow(false);
        peer_.Stop();
    }

private:
    orv_test::Bytes Answer(const orv_test::Request& request) {
        const uint16_t command = request.header.command;
        if (command == orv_stuff::kCmdLogin) return orv_test::LoginReply(0, 1, 0, orv_stuff::kClientVersion);
        {
            std::unique_lock lock(mutex_);
            if (slow_) {
                ++holding_;
                changed_.notify_all();
                changed_.wait_for(lock, kSlowFor, [this] { return !slow_; });
                --holding_;
            }
        }
        return orv_test::MakeReply(orv_test::ReplyHeader(command, orv_stuff::kClientVersion));
    }

    orv_test::ScriptedPeer peer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool slow_ = false;
    int holding_ = 0;
};

// Server 1 (handle 1): the scripted slow server, cameras 1-2. Server 2 (handle 2):
// orv-sim with two JPEG cameras 3-4 and an archive.
class SlowServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        orv_sim::ServerConfig config;
        config.firstCamera = 2;
        config.cameras = {Camera(orv_sim::CameraKind::Jpeg, kWidth, kHeight),
                          Camera(orv_sim::CameraKind::Jpeg, kWidth, kHeight)};
        config.archiveSeconds = 60;
        config.cameras[0].plates = true;
        config.cameras[0].plateIntervalSeconds = 0.2;
        sim_ = std::make_unique<orv_sim::Simulator>(std::vector<orv_sim::ServerConfig>{config});
        ASSERT_EQ(ORV_Init(), 0);
        ASSERT_EQ(ORV_ServerAdd("127.0.0.1", slow_.Port(), 0, 0, ""), 0);
        ASSERT_EQ(ORV_ServerAdd("127.0.0.1", sim_->Server(0).Port(), 0, 0, ""), 0);
        ASSERT_EQ(ORV_ServersConnect(), 0);
        // A plate record of camera 3, taken while every server answers.
        ASSERT_EQ(ORV_KeloEnablePlateDetect(1), 0);
        bool plate = false;
        for (int i = 0; i < 250 && !plate; ++i) {
            std::this_thread::sleep_for(milliseconds(20));
            plate = LatestPlate(0, out_) == ORV_OK;
        }
        ASSERT_TRUE(plate) << "no plate record of camera 3";
        ASSERT_EQ(ORV_KeloEnablePlateDetect(0), 0);
        ASSERT_EQ(ORV_VideoArchiveOpen(1), 0);
        // Positioned while every server answers; the reads below need server 2 only.
        ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(sim_->Server(0).ArchiveOriginMs() + 10'000), 1), 0);
        sim_->Server(0).ClearJournal();
    }
    void TearDown() override {
        slow_.SetSlow(false);
        ORV_Uninit();
        slow_.Stop();
        sim_.reset();
    }

    // The latest plate record of camera 3 with its picture of `imageType`: the
    // picture's size, or a result code other than ORV_OK; 100 when the record is
    // not server 2's.
    static int LatestPlate(int imageType, std::vector<uint8_t>& image) {
        image.assign(1'000'000, 0);
        char number[32] = {};
        int server = 0, width = 0, height = 0, size = 0;
        double time = 0;
        const int r = ORV_KeloGetLatestPlateNumber(3, number, &server, &time, imageType, 0, image.data(),
                                                   static_cast<unsigned>(image.size()), &width, &height, &size, 0);
        image.resize(r == ORV_OK ? static_cast<size_t>(size) : 0);
        return r == ORV_OK && server != 2 ? 100 : r;
    }

    orv_test::BlockUsersLock users_;
    std::vector<uint8_t> out_;
    SlowServer slow_;
    std::unique_ptr<orv_sim::Simulator> sim_;
};

struct FastCall {
    const char* what;
    std::function<int()> call;
    int expected;
    // What the healthy server or the output shows afterwards; empty when nothing.
    std::function<void(orv_sim::SimServer&)> check;
};

int LiveSize(int camera, int type, std::vector<uint8_t>& out) {
    out.assign(1'000'000, 0);
    double time = 0;
    int width = 0, height = 0, size = 0;
    const int result = ORV_VideoGetFrame(camera, type, reinterpret_cast<char*>(out.data()),
                                         static_cast<unsigned>(out.size()), &time, &width, &height, &size);
    out.resize(result == 0 ? static_cast<size_t>(size) : 0);
    return result;
}

// While a host thread waits for a live frame of the slow server (it answers after
// 5 s), every kind of call about the healthy server answers at once.
TEST_F(SlowServerTest, CallsAboutAHealthyServerDoNotWaitForASlowOne) {
    std::vector<uint8_t> out;
    const std::vector<FastCall> calls = {
        {"live JPEG", [&] { return LiveSize(3, ORV_FRAME_JPEG, out); }, ORV_OK,
         [&](orv_sim::SimServer&) {
             ASSERT_GT(out.size(), 3u);
             EXPECT_EQ(out[0], 0xFF);
             EXPECT_EQ(out[1], 0xD8);
         }},
        {"live BGR", [&] { return LiveSize(4, ORV_FRAME_BGR, out); }, ORV_OK,
         [&](orv_sim::SimServer&) { EXPECT_EQ(out.size(), static_cast<size_t>(kWidth * kHeight * 3)); }},
        {"server state",
         [] {
             int state = -1;
             const int r = ORV_ServerGetState(2, &state);
             return r == ORV_OK && state != ORV_STATE_CONNECTED ? 100 + state : r;
         },
         ORV_OK, {}},
        {"camera list",
         [] {
             int first = 0, last = 0, count = 0;
             const int r = ORV_ServerGetCameras(2, &first, &last, &count);
             return r == ORV_OK && (first != 3 || last != 4 || count != 2) ? 100 : r;
         },
         ORV_OK, {}},
        {"camera name",
         [] {
             char name[64] = {};
             const int r = ORV_CameraGetName(4, name, sizeof name);
             return r == ORV_OK && std::strlen(name) == 0 ? 100 : r;
         },
         ORV_OK, {}},
        {"camera information",
         [] {
             OrvCameraInfo info{};
             return ORV_CameraGetInfo(3, &info);
         },
         ORV_OK, {}},
        {"camera event", [] { return ORV_SetExternalEvent(3, 1, 2, 3, 4); }, ORV_OK,
         [](orv_sim::SimServer& server) {
             const auto journal = server.Snapshot();
             ASSERT_EQ(journal.cameraEvents.size(), 1u);
             EXPECT_EQ(journal.cameraEvents[0].c, 3);
         }},
        {"server event", [] { return ORV_SetExternalEvent_X(2, 4242); }, ORV_OK,
         [](orv_sim::SimServer& server) {
             const auto journal = server.Snapshot();
             ASSERT_EQ(journal.serverEvents.size(), 1u);
             EXPECT_EQ(journal.serverEvents[0].value, 4242);
         }},
        {"telemetry", [] { return ORV_CamTele(4, 17, 20, 30, 5); }, ORV_OK,
         [](orv_sim::SimServer& server) { EXPECT_EQ(server.Snapshot().telemetry.size(), 1u); }},
        {"console", [] { return ORV_ExtPultSwitchCam(2, 4); }, ORV_OK,
         [](orv_sim::SimServer& server) {
             const auto journal = server.Snapshot();
             ASSERT_EQ(journal.consoleSwitches.size(), 1u);
             EXPECT_EQ(journal.consoleSwitches[0].camera, 3);
         }},
        {"archive read without the slow server",
         [&] {
             const int cameras[] = {3, 4};
             out.assign(1'000'000, 0);
             int camera = 0, width = 0, height = 0, size = 0;
             double time = 0;
             const int r = ORV_VideoArchiveGetFrame(cameras, 2, ORV_FRAME_BGR, 0, 0, reinterpret_cast<char*>(out.data()),
                                                    static_cast<unsigned>(out.size()), &camera, &time, &width, &height,
                                                    &size);
             return r == ORV_OK && (camera < 3 || camera > 4 || size != kWidth * kHeight * 3) ? 100 : r;
         },
         ORV_OK, {}},
        {"plate picture", [&] { return LatestPlate(3, out); }, ORV_OK,
         [&](orv_sim::SimServer&) { EXPECT_EQ(out.size(), static_cast<size_t>(kWidth * kHeight * 3)); }},
    };
    for (const FastCall& row : calls) {
        SCOPED_TRACE(row.what);
        sim_->Server(0).ClearJournal();
        slow_.SetSlow(true);
        auto held = std::async(std::launch::async, [] {
            std::vector<uint8_t> buffer;
            return LiveSize(1, ORV_FRAME_JPEG, buffer);
        });
        ASSERT_TRUE(slow_.WaitHolding(milliseconds(3000))) << "the slow server was never asked";
        std::this_thread::sleep_for(milliseconds(300));
        const auto start = Clock::now();
        const int result = row.call();
        const auto took = Clock::now() - start;
        EXPECT_EQ(result, row.expected);
        // Generous: the slow server holds its reply for 5 s.
        EXPECT_LT(took, milliseconds(1000)) << "the call waited for the slow server";
        if (row.check) row.check(sim_->Server(0));
        EXPECT_EQ(held.wait_for(milliseconds(0)), std::future_status::timeout) << "the slow call did not wait";
        slow_.SetSlow(false);
        const int slowResult = held.get();
        EXPECT_TRUE(slowResult == ORV_E_NO_FRAME || slowResult == ORV_E_FAILED) << slowResult;
    }
}

// Eight host threads, each on a camera of its own over two servers, each get
// their own camera's pictures: JPEG byte for byte as the server encoded it,
// BGR of the right size and content.
TEST(ConcurrentCameras, EachThreadGetsItsOwnCamerasPictures) {
    orv_test::BlockUsersLock users;
    std::vector<orv_sim::ServerConfig> configs(2);
    for (auto& config : configs) {
        for (int k = 0; k < 4; ++k) {
            config.cameras.push_back(Camera(orv_sim::CameraKind::Jpeg, kWidth, kHeight, orv_sim::Subsampling::S420, 25));
        }
    }
    orv_sim::Simulator sim(configs);
    ASSERT_EQ(ORV_Init(), 0);
    for (size_t s = 0; s < sim.ServerCount(); ++s) {
        ASSERT_EQ(ORV_ServerAdd("127.0.0.1", sim.Server(s).Port(), 0, 0, ""), 0);
    }
    ASSERT_EQ(ORV_ServersConnect(), 0);

    struct Outcome {
        int jpegs = 0;
        int pictures = 0;
        std::string problem;
    };
    constexpr int kCalls = 40;
    std::vector<Outcome> outcomes(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < outcomes.size(); ++t) {
        threads.emplace_back([&, t] {
            const size_t s = t % 2;
            const int k = static_cast<int>(t / 2);
            const int index = sim.Server(s).FirstCamera() + k;
            const bool bgr = k == 3;  // one camera per server decoded
            orv_sim::SimCamera own(index, configs[s].cameras[static_cast<size_t>(k)], sim.Server(s).ArchiveOriginMs());
            Outcome& outcome = outcomes[t];
            std::vector<uint8_t> data(1'000'000);
            for (int i = 0; i < kCalls && outcome.problem.empty(); ++i) {
                double time = 0;
                int width = 0, height = 0, size = 0;
                const int result = ORV_VideoGetFrame(index + 1, bgr ? ORV_FRAME_BGR : ORV_FRAME_JPEG,
                                                     reinterpret_cast<char*>(data.data()),
                                                     static_cast<unsigned>(data.size()), &time, &width, &height, &size);
                std::this_thread::sleep_for(milliseconds(15));
                if (result == ORV_E_NO_FRAME) continue;
                if (result != ORV_OK) {
                    outcome.problem = "result " + std::to_string(result);
                    break;
                }
                const int64_t ms = OleToMs(time);
                const int64_t unit = own.Timeline().FirstUnitAtOrAfter(ms);
                if (own.Timeline().UnitTime(unit) != ms) {
                    outcome.problem = "a time no frame of this camera has";
                    break;
                }
                if (bgr) {
                    const std::vector<uint8_t> picture(data.begin(), data.begin() + size);
                    const double difference =
                        LumaDifference(picture, 3, width, height,
                                       orv_sim::RenderPicture(index, ms, kWidth, kHeight, orv_sim::Subsampling::S420));
                    if (size != kWidth * kHeight * 3 || difference > 12.0) {
                        outcome.problem = "picture of another camera or time, luma difference " + std::to_string(difference);
                    }
                    ++outcome.pictures;
                    continue;
                }
                const auto expected = own.Unit(unit);
                if (!expected || expected->size() != static_cast<size_t>(size) ||
                    !std::equal(expected->begin(), expected->end(), data.begin())) {
                    outcome.problem = "JPEG differs from the camera's own at " + std::to_string(ms);
                }
                ++outcome.jpegs;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (size_t t = 0; t < outcomes.size(); ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(outcomes[t].problem, "");
        EXPECT_GT(outcomes[t].jpegs + outcomes[t].pictures, kCalls / 4);
    }
    ORV_Uninit();
}

// Two servers' cameras merged: strictly ordered in both directions, and every
// recorded frame of the interval comes once.
TEST(ConcurrentArchive, MergeOverTwoServersIsStrictlyOrderedBothWays) {
    orv_test::BlockUsersLock users;
    constexpr int64_t kNowMs = 1'780'000'000'000;
    orv_sim::SimulatorOptions options;
    options.clockMs = [] { return kNowMs; };
    std::vector<orv_sim::ServerConfig> configs(2);
    const int rates[2][2] = {{5, 3}, {4, 7}};  // frames per second, unlike so times interleave
    for (size_t s = 0; s < 2; ++s) {
        configs[s].archiveSeconds = 60;
        for (int k = 0; k < 2; ++k) {
            configs[s].cameras.push_back(Camera(orv_sim::CameraKind::Jpeg, 64, 48, orv_sim::Subsampling::S420, rates[s][k]));
        }
    }
    orv_sim::Simulator sim(configs, options);
    ASSERT_EQ(ORV_Init(), 0);
    for (size_t s = 0; s < 2; ++s) ASSERT_EQ(ORV_ServerAdd("127.0.0.1", sim.Server(s).Port(), 0, 0, ""), 0);
    ASSERT_EQ(ORV_ServersConnect(), 0);
    ASSERT_EQ(ORV_VideoArchiveOpen(1), 0);
    // Frames of [from, to] over the four cameras, as the timelines say.
    const int64_t from = kNowMs - 20'000, to = kNowMs - 15'000;
    size_t expectedCount = 0;
    for (size_t s = 0; s < 2; ++s) {
        for (int k = 0; k < 2; ++k) {
            orv_sim::CameraTimeline line(sim.Server(s).ArchiveOriginMs(), rates[s][k], 1);
            for (int64_t u = line.FirstUnitAtOrAfter(from); line.UnitTime(u) <= to; ++u) ++expectedCount;
        }
    }
    ASSERT_GT(expectedCount, 80u);
    // Reads up to `limit` frames of the cameras, stopping past the interval.
    const auto read = [&](const std::vector<int>& set, int direction, int limit) {
        std::vector<std::pair<int64_t, int>> got;
        std::vector<uint8_t> data(1'000'000);
        for (int i = 0; i < limit; ++i) {
            int camera = 0, width = 0, height = 0, size = 0;
            double time = 0;
            const int r = ORV_VideoArchiveGetFrame(set.data(), static_cast<unsigned>(set.size()), ORV_FRAME_JPEG, 0,
                                                   direction, reinterpret_cast<char*>(data.data()),
                                                   static_cast<unsigned>(data.size()), &camera, &time, &width,
                                                   &height, &size);
            EXPECT_EQ(r, ORV_OK) << "read " << i;
            if (r != ORV_OK) break;
            const int64_t ms = OleToMs(time);
            if (direction == 1 ? ms > to : ms < from) break;
            got.emplace_back(ms, camera);
        }
        return got;
    };
    const auto expectOrdered = [](const std::vector<std::pair<int64_t, int>>& got, int direction) {
        for (size_t i = 1; i < got.size(); ++i) {
            if (direction == 1) {
                ASSERT_GE(got[i].first, got[i - 1].first) << "read " << i;
            } else {
                ASSERT_LE(got[i].first, got[i - 1].first) << "read " << i;
            }
        }
    };
    for (const int direction : {1, 0}) {
        SCOPED_TRACE(direction == 1 ? "forward" : "backward");
        ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(direction == 1 ? from : to), direction), 0);
        const auto got = read({1, 2, 3, 4}, direction, 400);
        ASSERT_EQ(got.size(), expectedCount);
        expectOrdered(got, direction);
        const std::set<std::pair<int64_t, int>> unique(got.begin(), got.end());
        EXPECT_EQ(unique.size(), got.size()) << "a frame came twice";
    }
    // The camera set changes while frames are read ahead: what was read ahead for
    // the old set is given back, and the new set goes on from the last frame
    // handed out, losing and repeating nothing.
    ASSERT_EQ(ORV_VideoArchiveFindData(MsToOle(from), 1), 0);
    const auto before = read({1, 2, 3, 4}, 1, 30);
    ASSERT_EQ(before.size(), 30u);
    const auto after = read({1, 3}, 1, 400);
    ASSERT_FALSE(after.empty());
    expectOrdered(after, 1);
    EXPECT_GE(after.front().first, before.back().first);
    std::set<std::pair<int64_t, int>> seen;
    for (const auto& frame : before) {
        if (frame.second == 1 || frame.second == 3) seen.insert(frame);
    }
    for (const auto& frame : after) EXPECT_TRUE(seen.insert(frame).second) << "frame at " << frame.first << " came twice";
    std::set<std::pair<int64_t, int>> expected;
    for (const size_t s : {size_t{0}, size_t{1}}) {
        orv_sim::CameraTimeline line(sim.Server(s).ArchiveOriginMs(), rates[s][0], 1);
        for (int64_t u = line.FirstUnitAtOrAfter(from); line.UnitTime(u) <= to; ++u) {
            expected.insert({line.UnitTime(u), s == 0 ? 1 : 3});
        }
    }
    EXPECT_EQ(seen, expected);
    ORV_Uninit();
}

// Host threads keep calling while the main thread removes every server, adds
// them again, and ends and restarts the library. Every answer is one the export
// documents for that situation; nothing crashes (run under the sanitizers).
TEST(ConcurrentLifetime, CallsRacingUninitAndServersDelAllEndWithDocumentedCodes) {
    orv_test::BlockUsersLock users;
    orv_sim::Simulator sim(orv_sim::UniformServers(2, 2));
    const auto addAll = [&] {
        for (size_t s = 0; s < sim.ServerCount(); ++s) ORV_ServerAdd("127.0.0.1", sim.Server(s).Port(), 0, 0, "");
        ORV_ServersConnect();
    };
    ASSERT_EQ(ORV_Init(), 0);
    addAll();
    ORV_VideoArchiveOpen(1);

    std::atomic<bool> stop{false};
    std::mutex problemsLock;
    std::vector<std::string> problems;
    const auto check = [&](const char* what, int code, std::initializer_list<int> documented) {
        if (std::find(documented.begin(), documented.end(), code) != documented.end()) return;
        std::lock_guard lock(problemsLock);
        problems.push_back(std::string(what) + " gave " + std::to_string(code));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> data(2'000'000);
            int camera = 1 + t, width = 0, height = 0, size = 0, state = 0;
            double time = 0;
            char name[64];
            OrvCameraInfo info{};
            while (!stop.load()) {
                check("ORV_VideoGetFrame",
                      ORV_VideoGetFrame(camera, t % 2 == 0 ? ORV_FRAME_JPEG : ORV_FRAME_BGR,
                                        reinterpret_cast<char*>(data.data()), static_cast<unsigned>(data.size()),
                                        &time, &width, &height, &size),
                      {ORV_OK, ORV_E_FAILED, ORV_E_NO_FRAME, ORV_E_CAMERA_INACTIVE, ORV_E_NOT_INITIALISED});
                check("ORV_ServerGetState", ORV_ServerGetState(1 + t % 2, &state),
                      {ORV_OK, ORV_E_FAILED, ORV_E_NOT_INITIALISED});
                check("ORV_CameraGetName", ORV_CameraGetName(camera, name, sizeof name),
                      {ORV_OK, ORV_E_FAILED, ORV_E_NOT_INITIALISED});
                check("ORV_CameraGetInfo", ORV_CameraGetInfo(camera, &info),
                      {ORV_OK, ORV_E_FAILED, ORV_E_UNKNOWN_CAMERA, ORV_E_NOT_INITIALISED});
                const int cameras[] = {1, 3};
                int got = 0;
                check("ORV_VideoArchiveGetFrame",
                      ORV_VideoArchiveGetFrame(cameras, 2, ORV_FRAME_JPEG, 0, 1, reinterpret_cast<char*>(data.data()),
                                               static_cast<unsigned>(data.size()), &got, &time, &width, &height,
                                               &size),
                      {ORV_OK, ORV_E_FAILED, ORV_E_NO_FRAME, ORV_E_CAMERA_INACTIVE, ORV_E_NOT_DECODABLE,
                       ORV_E_NOT_INITIALISED});
                check("ORV_SetExternalEvent", ORV_SetExternalEvent(camera, 1, 2, 3, 4),
                      {ORV_OK, ORV_E_FAILED, ORV_E_NOT_INITIALISED});
            }
        });
    }
    // At least four rounds, more while time allows.
    const auto deadline = Clock::now() + milliseconds(3000);
    for (int rounds = 0; rounds < 4 || Clock::now() < deadline; ++rounds) {
        EXPECT_EQ(ORV_ServersDelAll(), ORV_OK);
        std::this_thread::sleep_for(milliseconds(30));
        addAll();
        std::this_thread::sleep_for(milliseconds(60));
        const auto uninitStart = Clock::now();
        EXPECT_EQ(ORV_Uninit(), ORV_OK);
        // Calls in flight finish against healthy servers in milliseconds; callers
        // that keep calling must not keep ORV_Uninit out.
        EXPECT_LT(Clock::now() - uninitStart, milliseconds(5000));
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(ORV_Init(), ORV_OK);
        addAll();
        ORV_VideoArchiveOpen(1);
        std::this_thread::sleep_for(milliseconds(60));
    }
    stop.store(true);
    for (auto& thread : threads) thread.join();
    ORV_Uninit();
    std::sort(problems.begin(), problems.end());
    problems.erase(std::unique(problems.begin(), problems.end()), problems.end());
    EXPECT_TRUE(problems.empty()) << problems.front() << " (and " << problems.size() - 1 << " more)";
}

}  // namespace
