// Plate messages: their text and how command 57 hands them out.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "SimTestClient.h"
#include "sim/Plates.h"
#include "sim/Simulator.h"

namespace {

using orv_sim_test::Positive;
using orv_sim_test::RawClient;
using orv_sim_test::Request;
using namespace orv_stuff;

constexpr int64_t kT0 = 1'700'000'000'000;  // 2023-11-14 22:13:20.000 UTC

// The value of element <name>...</name>, or "?" when it is missing.
std::string Element(const std::string& text, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const auto start = text.find(open);
    if (start == std::string::npos) return "?";
    const auto end = text.find(close, start + open.size());
    if (end == std::string::npos) return "?";
    return text.substr(start + open.size(), end - start - open.size());
}

bool IsPlateNumber(const std::string& n) {
    const std::string letters = "ABEKMHOPCTYX";
    auto letter = [&](size_t i) { return i < n.size() && letters.find(n[i]) != std::string::npos; };
    auto digit = [&](size_t i) { return i < n.size() && n[i] >= '0' && n[i] <= '9'; };
    return (n.size() == 8 || n.size() == 9) && letter(0) && digit(1) && digit(2) && digit(3) && letter(4) &&
           letter(5) && digit(6) && digit(7) && (n.size() == 8 || digit(8));
}

// Runs a test body in a fixed time zone three hours east of UTC.
class ZoneGuard {
  public:
    ZoneGuard() {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", "SIM-3", 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(SimPlateText, CarriesKindCameraLocalTimeAndNumber) {
    ZoneGuard zone;
    const orv_sim::PlateEvent event{4, 17, kT0 + 250};
    const std::string text = orv_sim::PlateMessage(event);
    // Exactly the four elements, in this order, nothing around them.
    const std::string w = Element(text, "W"), c = Element(text, "C"), t = Element(text, "T"),
                      p = Element(text, "S");
    EXPECT_EQ(text, "<W>" + w + "</W><C>" + c + "</C><T>" + t + "</T><S>" + p + "</S>");
    EXPECT_EQ(w, "4097");
    EXPECT_EQ(c, "4");
    // 22:13:20.250 UTC is 01:13:20.250 on the next day three hours east.
    EXPECT_EQ(t, "15.11.2023 01:13:20.250");
    const std::string number = orv_sim::PlateNumber(4, 17);
    EXPECT_EQ(p.substr(0, 4 + number.size() + 1), "num=" + number + ";");
    int dir = -1, conf = -1, used = -1;
    ASSERT_EQ(std::sscanf(p.c_str() + 4 + number.size(), ";dir=%d;conf=%d%n", &dir, &conf, &used), 2) << p;
    EXPECT_EQ(used, static_cast<int>(p.size() - 4 - number.size()));
    EXPECT_TRUE(dir == 0 || dir == 1);
    EXPECT_TRUE(IsPlateNumber(number)) << number;
    EXPECT_NE(orv_sim::PlateNumber(4, 18), orv_sim::PlateNumber(4, 17));
}

class SimPlates : public ::testing::Test {
  protected:
    void SetUp() override {
        orv_sim::ServerConfig server;
        orv_sim::CameraConfig camera;
        camera.width = 16;
        camera.height = 16;
        camera.plates = true;
        camera.plateIntervalSeconds = 1.0;  // camera index 0: events on whole seconds from the origin
        orv_sim::CameraConfig second = camera;
        second.plateIntervalSeconds = 0.5;  // camera index 1: 389 ms after the half seconds
        orv_sim::CameraConfig none = camera;
        none.plates = false;
        server.cameras = {camera, second, none};
        orv_sim::SimulatorOptions options;
        options.clockMs = [this] { return now_.load(); };
        sim_ = std::make_unique<orv_sim::Simulator>(std::vector<orv_sim::ServerConfig>{server}, options);
        client_ = std::make_unique<RawClient>(sim_->Server(0).Port());
    }

    std::pair<int32_t, std::string> Ask() {
        TMsgHeader rq = Request(kCmdServerText, 715);
        auto reply = client_->Exchange(rq, {}, [](const TMsgHeader& h) { return Positive(h.field24); });
        if (!reply) return {-99, ""};
        EXPECT_TRUE(IsAcceptedReply(reply->header, kCmdServerText));
        EXPECT_EQ(reply->header.field24, static_cast<int32_t>(reply->payload.size()));
        return {reply->header.field28, std::string(reply->payload.begin(), reply->payload.end())};
    }

    static std::string Camera(const std::string& text) { return Element(text, "C"); }

    std::atomic<int64_t> now_{kT0};
    std::unique_ptr<orv_sim::Simulator> sim_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(SimPlates, OneMessagePerRequestInTimeOrderThenEmpty) {
    // The event due at the moment of connecting counts as pending.
    std::vector<std::string> cameras{Camera(Ask().second)};
    now_ += 1'200;
    for (int i = 0; i < 3; ++i) {
        auto [result, text] = Ask();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(text.rfind("<W>4097</W><C>", 0), 0u) << text;
        EXPECT_TRUE(IsPlateNumber(Element(text, "S").substr(4, Element(text, "S").find(';') - 4))) << text;
        cameras.push_back(Camera(text));
    }
    EXPECT_EQ(cameras, (std::vector<std::string>{"0", "1", "1", "0"}));
    const auto [emptyResult, emptyText] = Ask();
    EXPECT_EQ(emptyResult, 0);
    EXPECT_TRUE(emptyText.empty());

    // Queued texts go out first, exactly as given.
    sim_->Server(0).PushServerText("<W>4096</W>");
    now_ += 200;
    EXPECT_EQ(Ask().second, "<W>4096</W>");
    const auto [result, text] = Ask();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Camera(text), "1");
    EXPECT_TRUE(Ask().second.empty());
}

TEST_F(SimPlates, AClientThatStopsPollingFacesOnlyTheLastMinute) {
    ASSERT_FALSE(Ask().second.empty());
    now_ += 10 * 60'000;
    int count = 0;
    while (!Ask().second.empty() && count < 1000) ++count;
    // One minute of events: 60 from the 1-second camera and 120 from the other.
    EXPECT_GE(count, 179);
    EXPECT_LE(count, 181);
}

TEST(SimPlateEvents, NextEventStepsPastTiesByCamera) {
    const std::vector<orv_sim::PlateCamera> cameras{{0, 1000}, {1000, 1000}};  // both on whole seconds
    const auto a = orv_sim::NextPlateEvent(cameras, 0, 5'000, -1, 10'000);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->timeMs, 5'000);
    EXPECT_EQ(a->cameraIndex, 0);
    const auto b = orv_sim::NextPlateEvent(cameras, 0, a->timeMs, a->cameraIndex, 10'000);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->timeMs, 5'000);
    EXPECT_EQ(b->cameraIndex, 1000);
    const auto c = orv_sim::NextPlateEvent(cameras, 0, b->timeMs, b->cameraIndex, 10'000);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->timeMs, 6'000);
    EXPECT_EQ(c->sequence, 6);
    EXPECT_FALSE(orv_sim::NextPlateEvent(cameras, 0, 10'000, 1000, 10'999));
}

}  // namespace
