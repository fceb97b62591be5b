#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "FakeServerManager.h"
#include "plates/KeloHelper.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr double kMsPerDay = 86400000.0;
constexpr double kNoon = 44260.5;  // 05.03.2021 12:00:00, exact in binary

std::string PlateText(int cameraIndex, const std::string& number,
                      const std::string& stamp = "05.03.2021 12:00:00") {
    std::string text = "<W>4097</W><C>";
    text.append(std::to_string(cameraIndex)).append("</C><T>").append(stamp);
    text.append("</T><S>num=").append(number).append("</S>");
    return text;
}

TOrvFrame Picture(int32_t camera, double time, std::size_t bytes, int32_t format = Jpeg) {
    TOrvFrame frame;
    frame.camera = camera;
    frame.time = time;
    frame.width = 64;
    frame.height = 48;
    frame.format = format;
    frame.data.resize(bytes);
    for (std::size_t i = 0; i < bytes; ++i) frame.data[i] = static_cast<uint8_t>(i * 7 + 1);
    return frame;
}

class KeloHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        manager = std::make_shared<FakeServerManager>();
        manager->AddServer(1, 3);
        KeloHelper::Options options;
        options.cycle = 1ms;
        options.nowLocal = [this] { return now; };
        helper = std::make_unique<KeloHelper>(manager, options);
    }

    // Runs the worker until every scripted text has been fetched, then stops it.
    void Drain() {
        ASSERT_TRUE(helper->SetEnabled(true));
        for (int i = 0; i < 2000 && manager->PendingTexts() != 0; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(helper->SetEnabled(false));
        ASSERT_EQ(manager->PendingTexts(), 0u);
    }

    struct Out {
        std::array<char, 40> number;
        int server = -77;
        int camera = -77;
        double time = -77.0;
        std::array<unsigned char, 64> image;
        int width = -77;
        int height = -77;
        int size = -77;
        Out() {
            number.fill('#');
            image.fill(0xEE);
        }
    };

    int Take(Out& out, int imageType = 0, int offsetMs = 0, unsigned capacity = 64, bool withImage = true) {
        return KeloGetPlateNumber(*helper, out.number.data(), &out.server, &out.camera, &out.time, imageType,
                                  offsetMs, withImage ? out.image.data() : nullptr, capacity, &out.width,
                                  &out.height, &out.size);
    }
    int Latest(Out& out, int camera, int maxAgeMs = 0, int imageType = 0, int offsetMs = 0) {
        return KeloGetLatestPlateNumber(*helper, camera, out.number.data(), &out.server, &out.time, imageType,
                                        offsetMs, out.image.data(), 64, &out.width, &out.height, &out.size,
                                        maxAgeMs);
    }

    std::shared_ptr<FakeServerManager> manager;
    std::unique_ptr<KeloHelper> helper;
    double now = kNoon;
};

// ---- Queue and table -------------------------------------------------------------

TEST_F(KeloHelperTest, ElevenEventsKeepTheNewestTenInOrder) {
    for (int i = 1; i <= 11; ++i)
        manager->PushText(1, PlateText(i, std::string("P").append(std::to_string(i))));
    Drain();
    for (int i = 2; i <= 11; ++i) {
        Out out;
        ASSERT_EQ(Take(out), 0) << i;
        EXPECT_EQ(std::string(out.number.data()), std::string("P").append(std::to_string(i)));
        EXPECT_EQ(out.camera, i + 1);
        EXPECT_EQ(out.server, 1);
        EXPECT_EQ(out.time, kNoon);
        EXPECT_EQ(out.width, 0);
        EXPECT_EQ(out.height, 0);
        EXPECT_EQ(out.size, 0);
    }
    Out empty;
    EXPECT_EQ(Take(empty), -300);
    EXPECT_EQ(empty.number[0], '#');  // nothing written
    EXPECT_EQ(empty.server, -77);
    EXPECT_EQ(empty.time, -77.0);
}

TEST_F(KeloHelperTest, LatestTablePerCameraIsNotConsumed) {
    manager->PushText(1, PlateText(4, "OLD"));
    manager->PushText(1, PlateText(4, "NEW", "01.01.2000 00:00:00"));  // older stamp still replaces
    manager->PushText(1, PlateText(2047, "LAST"));
    Drain();
    for (int round = 0; round < 2; ++round) {
        Out out;
        ASSERT_EQ(Latest(out, 5), 0);
        EXPECT_STREQ(out.number.data(), "NEW");
        EXPECT_EQ(out.server, 1);
        EXPECT_EQ(out.camera, -77);  // the latest export has no camera output
    }
    Out last;
    EXPECT_EQ(Latest(last, 2048), 0);
    EXPECT_STREQ(last.number.data(), "LAST");
    Out none;
    EXPECT_EQ(Latest(none, 0), -300);
    EXPECT_EQ(Latest(none, 2049), -300);
    EXPECT_EQ(Latest(none, 6), -300);
    EXPECT_EQ(none.number[0], '#');
}

// A malformed text costs that text only: the good plate right behind it is
// delivered from the queue and the latest table as usual.
struct MalformedText {
    const char* name;
    std::string text;
};

void PrintTo(const MalformedText& c, std::ostream* os) { *os << c.name; }

class KeloHelperMalformed : public KeloHelperTest, public ::testing::WithParamInterface<MalformedText> {};

TEST_P(KeloHelperMalformed, NextGoodPlateIsDelivered) {
    manager->PushText(1, GetParam().text);
    manager->PushText(1, PlateText(6, "GOOD1"));
    Drain();
    // A text that still reads as a plate (with time 0, or cut) may come first.
    Out out;
    int taken = 0;
    while (Take(out) == 0 && std::strcmp(out.number.data(), "GOOD1") != 0) ASSERT_LT(++taken, 2);
    EXPECT_STREQ(out.number.data(), "GOOD1");
    EXPECT_EQ(out.camera, 7);
    EXPECT_DOUBLE_EQ(out.time, kNoon);
    Out latest;
    ASSERT_EQ(Latest(latest, 7), 0);
    EXPECT_STREQ(latest.number.data(), "GOOD1");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, KeloHelperMalformed,
    ::testing::Values(MalformedText{"Empty", ""},
                      MalformedText{"UnclosedTags", "<W>4097<C>4<T>05.03.2021 12:00:00<S>num=X"},
                      MalformedText{"CameraBeyondRange", PlateText(99999, "BAD")},
                      MalformedText{"NegativeCamera", PlateText(-3, "BAD")},
                      MalformedText{"OtherKind", "<W>4096</W><C>1</C><S>num=BAD</S>"},
                      MalformedText{"ImpossibleDate", PlateText(6, "BAD", "31.02.2021 25:61:61")},
                      MalformedText{"EmbeddedNulsAndHighBytes",
                                    "<W>4097</W>\0<C>\xFF\xFE</C><S>num=\x01\x02</S>"s},
                      MalformedText{"HugeNumber", PlateText(6, std::string(100000, 'Z'))},
                      MalformedText{"DigitsOverflowingInt", "<W>99999999999999999999</W><C>99999999999999</C>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeloHelperTest, UnreadableTimeIsQueuedButNeverLatest) {
    manager->PushText(1, PlateText(0, "NOTIME", "31.02.2021 10:00:00"));
    Drain();
    Out out;
    EXPECT_EQ(Latest(out, 1), -300);
    ASSERT_EQ(Take(out), 0);
    EXPECT_STREQ(out.number.data(), "NOTIME");
    EXPECT_EQ(out.time, 0.0);
}

struct AgeCase {
    double now;
    int maxAgeMs;
    bool delivered;
};

class KeloHelperAge : public KeloHelperTest, public ::testing::WithParamInterface<AgeCase> {};

TEST_P(KeloHelperAge, AgeLimitIsInclusive) {
    manager->PushText(1, PlateText(0, "AGE"));
    Drain();
    now = GetParam().now;
    Out out;
    EXPECT_EQ(Latest(out, 1, GetParam().maxAgeMs), GetParam().delivered ? 0 : -300);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeloHelperAge,
                         ::testing::Values(AgeCase{kNoon + 0.25, 21600000, true},   // exactly at the limit
                                           AgeCase{kNoon + 0.25, 21599999, false},  // one ms too old
                                           AgeCase{kNoon + 1000.0, 0, true},        // 0 accepts any age
                                           AgeCase{kNoon - 1.0, 1, true}));         // record from the future

TEST_F(KeloHelperTest, NumberIsCutToThirtyOneBytes) {
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    manager->PushText(1, PlateText(0, forty));
    Drain();
    Out out;
    ASSERT_EQ(Take(out), 0);
    EXPECT_EQ(std::string(out.number.data()), forty.substr(0, 31));
    EXPECT_EQ(out.number[32], '#');  // nothing beyond the 32-byte buffer
}

TEST_F(KeloHelperTest, EmptyNumberGivesEmptyString) {
    manager->PushText(1, "<W>4097</W><C>0</C><S></S>");
    Drain();
    Out out;
    ASSERT_EQ(Take(out), 0);
    EXPECT_EQ(out.number[0], '\0');
    EXPECT_EQ(out.number[1], '#');
}

// ---- Required outputs --------------------------------------------------------------

class KeloHelperNullOutput : public KeloHelperTest, public ::testing::WithParamInterface<int> {};

TEST_P(KeloHelperNullOutput, MissingRequiredOutputIsRejectedWithoutConsuming) {
    manager->PushText(1, PlateText(0, "KEEP"));
    Drain();
    Out out;
    const int missing = GetParam();
    EXPECT_EQ(KeloGetPlateNumber(*helper, missing == 1 ? nullptr : out.number.data(),
                                 missing == 2 ? nullptr : &out.server, missing == 3 ? nullptr : &out.camera,
                                 missing == 4 ? nullptr : &out.time, 1, 0, out.image.data(), 64, &out.width,
                                 &out.height, &out.size),
              -5);
    if (missing != 3) {  // the latest export has no camera output
        EXPECT_EQ(
            KeloGetLatestPlateNumber(*helper, 1, missing == 1 ? nullptr : out.number.data(),
                                     missing == 2 ? nullptr : &out.server, missing == 4 ? nullptr : &out.time,
                                     1, 0, out.image.data(), 64, &out.width, &out.height, &out.size, 0),
            -5);
    }
    EXPECT_TRUE(manager->ArchiveCalls().empty());
    EXPECT_EQ(out.width, -77);
    ASSERT_EQ(Take(out), 0);
    EXPECT_STREQ(out.number.data(), "KEEP");
}

INSTANTIATE_TEST_SUITE_P(Arguments, KeloHelperNullOutput, ::testing::Values(1, 2, 3, 4));

TEST_F(KeloHelperTest, OptionalOutputsMayBeNull) {
    manager->PushText(1, PlateText(0, "OPT"));
    manager->PushText(1, PlateText(0, "OPT2"));
    Drain();
    manager->PushArchiveAnswer({0, 1, Picture(1, kNoon, 10)});
    char number[32];
    int server = 0, camera = 0;
    double time = 0;
    EXPECT_EQ(KeloGetPlateNumber(*helper, number, &server, &camera, &time, 1, 0, nullptr, 0, nullptr, nullptr,
                                 nullptr),
              0);
    EXPECT_EQ(KeloGetLatestPlateNumber(*helper, 1, number, &server, &time, 0, 0, nullptr, 0, nullptr, nullptr,
                                       nullptr, 0),
              0);
}

// ---- Archive pictures ----------------------------------------------------------------

struct FormatCase {
    int imageType;
    int32_t requestedFormat;  // -1: no archive call at all
};

class KeloHelperFormat : public KeloHelperTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(KeloHelperFormat, ImageTypeSelectsRequestedFormat) {
    manager->PushText(1, PlateText(6, "FMT"));
    Drain();
    Out out;
    ASSERT_EQ(Take(out, GetParam().imageType, 1500), 0);
    const auto calls = manager->ArchiveCalls();
    if (GetParam().requestedFormat < 0) {
        EXPECT_TRUE(calls.empty());
        EXPECT_TRUE(manager->Seeks().empty());
        return;
    }
    ASSERT_FALSE(calls.empty());
    const double requestTime = kNoon + 1500 / kMsPerDay;
    for (const auto& call : calls) {
        EXPECT_EQ(call.channel, 3);
        EXPECT_EQ(call.cameras, std::vector<int32_t>{7});
        EXPECT_EQ(call.requestValue, 0);
        EXPECT_FALSE(call.forward);
        EXPECT_FALSE(call.firstCameraOnly);
        EXPECT_EQ(call.requestedFormat, GetParam().requestedFormat);
        EXPECT_EQ(call.targetTime, requestTime);
    }
    EXPECT_EQ(manager->OpenedChannels(), std::vector<int32_t>{3});
    const auto seeks = manager->Seeks();
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].first, 3);
    EXPECT_EQ(seeks[0].second, requestTime);
    // Open and seek concern the camera's own server only.
    const std::vector<std::vector<int32_t>> scopes(2, std::vector<int32_t>{7});
    EXPECT_EQ(manager->ArchiveScopes(), scopes);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeloHelperFormat,
                         ::testing::Values(FormatCase{1, 1}, FormatCase{2, 0}, FormatCase{3, 3},
                                           FormatCase{4, 2}, FormatCase{5, 0}, FormatCase{0, -1},
                                           FormatCase{-1, -1}));

TEST_F(KeloHelperTest, JpegPictureIsCopiedWithItsTimeAndSize) {
    manager->PushText(1, PlateText(0, "JPG"));
    Drain();
    const double frameTime = kNoon + 2000 / kMsPerDay;
    const TOrvFrame picture = Picture(1, frameTime, 50);
    manager->PushArchiveAnswer({0, 1, picture});
    Out out;
    ASSERT_EQ(Take(out, 1, 0, 50), 0);
    EXPECT_EQ(out.time, frameTime);
    EXPECT_EQ(out.width, 64);
    EXPECT_EQ(out.height, 48);
    EXPECT_EQ(out.size, 50);
    EXPECT_EQ(0, std::memcmp(out.image.data(), picture.data.data(), 50));
    EXPECT_EQ(out.image[50], 0xEE);
}

TEST_F(KeloHelperTest, BgrPictureFromLatestTable) {
    manager->PushText(1, PlateText(0, "BGR"));
    Drain();
    const TOrvFrame picture = Picture(1, kNoon, 3 * 4 * 2, Bgr24);
    manager->PushArchiveAnswer({0, 1, picture});
    Out out;
    ASSERT_EQ(Latest(out, 1, 0, 3), 0);
    EXPECT_EQ(out.size, 24);
    EXPECT_EQ(0, std::memcmp(out.image.data(), picture.data.data(), 24));
    EXPECT_EQ(manager->ArchiveCalls().at(0).requestedFormat, 3);
}

TEST_F(KeloHelperTest, TooSmallBufferGivesMinusSixAndConsumesTheRecord) {
    manager->PushText(1, PlateText(0, "BIG"));
    Drain();
    manager->PushArchiveAnswer({0, 1, Picture(1, kNoon, 40)});
    Out out;
    EXPECT_EQ(Take(out, 1, 0, 39), -6);
    EXPECT_STREQ(out.number.data(), "BIG");
    EXPECT_EQ(out.size, 40);
    EXPECT_EQ(out.width, 64);
    EXPECT_EQ(out.image[0], 0xEE);  // nothing copied
    Out next;
    EXPECT_EQ(Take(next), -300);
}

TEST_F(KeloHelperTest, NullImageStillReportsSize) {
    manager->PushText(1, PlateText(0, "NULLIMG"));
    Drain();
    manager->PushArchiveAnswer({0, 1, Picture(1, kNoon, 40)});
    Out out;
    EXPECT_EQ(Take(out, 1, 0, 64, false), 0);
    EXPECT_EQ(out.size, 40);
    EXPECT_EQ(out.width, 64);
    EXPECT_EQ(out.height, 48);
}

// Each answer is one unusable frame; the helper must try again and finally succeed.
TEST_F(KeloHelperTest, QueuedRecordTriesServerCountPlusOneFrames) {
    manager->serverCount = 5;
    manager->PushText(1, PlateText(0, "TRY"));
    Drain();
    const double tenSeconds = 10.0 / 86400.0;
    manager->PushArchiveAnswer({-8, 1, Picture(1, kNoon, 10)});                     // failed call
    manager->PushArchiveAnswer({0, 0, Picture(1, kNoon, 10)});                      // got nothing
    manager->PushArchiveAnswer({0, 1, Picture(1, kNoon, 0)});                       // no bytes
    manager->PushArchiveAnswer({0, 1, Picture(2, kNoon, 10)});                      // another camera
    manager->PushArchiveAnswer({0, 1, Picture(1, kNoon + tenSeconds * 1.01, 10)});  // 10.1 s away
    manager->PushArchiveAnswer({0, 1, Picture(1, kNoon - tenSeconds * 0.99, 12)});
    Out out;
    ASSERT_EQ(Take(out, 1), 0);
    EXPECT_EQ(manager->ArchiveCalls().size(), 6u);
    EXPECT_EQ(out.size, 12);
    EXPECT_EQ(out.time, kNoon - tenSeconds * 0.99);
}

TEST_F(KeloHelperTest, NoMatchingPictureDeliversRecordWithoutPicture) {
    manager->serverCount = 1;
    manager->PushText(1, PlateText(0, "MISS"));
    Drain();
    for (int i = 0; i < 3; ++i) manager->PushArchiveAnswer({0, 1, Picture(2, kNoon, 10)});
    Out out;
    ASSERT_EQ(Take(out, 1), 0);
    EXPECT_EQ(manager->ArchiveCalls().size(), 2u);
    EXPECT_EQ(out.time, kNoon);
    EXPECT_EQ(out.width, 0);
    EXPECT_EQ(out.height, 0);
    EXPECT_EQ(out.size, 0);
    EXPECT_EQ(out.image[0], 0xEE);

    manager->serverCount = 9;  // the latest lookup makes exactly one attempt
    Out latest;
    ASSERT_EQ(Latest(latest, 1, 0, 1), 0);
    EXPECT_EQ(manager->ArchiveCalls().size(), 3u);
    EXPECT_EQ(latest.size, 0);
}

// ---- Worker and lifecycle -------------------------------------------------------------

TEST_F(KeloHelperTest, PollsOnlyConnectedServersAndDrainsEach) {
    manager->AddServer(2, 1);  // connecting
    manager->AddServer(3, 3);
    manager->AddServer(4, 6);  // refused
    manager->PushText(1, PlateText(0, "S1A"));
    manager->PushText(1, "<W>4096</W><C>0</C><S>num=DROPPED</S>");
    manager->PushText(1, PlateText(1, "S1B"));
    manager->PushText(3, PlateText(2, "S3"));
    manager->PushText(2, PlateText(3, "NEVER"));
    ASSERT_TRUE(helper->SetEnabled(true));
    for (int i = 0; i < 2000 && manager->PendingTexts() > 1; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(helper->SetEnabled(false));
    EXPECT_EQ(manager->PendingTexts(), 1u);  // the connecting server's text stays
    for (int32_t handle : manager->TextQueries()) EXPECT_TRUE(handle == 1 || handle == 3) << handle;

    const std::array<std::pair<const char*, int>, 3> expected{{{"S1A", 1}, {"S1B", 1}, {"S3", 3}}};
    for (const auto& [number, server] : expected) {
        Out out;
        ASSERT_EQ(Take(out), 0);
        EXPECT_STREQ(out.number.data(), number);
        EXPECT_EQ(out.server, server);
    }
    Out none;
    EXPECT_EQ(Take(none), -300);
}

TEST_F(KeloHelperTest, FailedServerListSkipsThePass) {
    manager->SetServersResult(-1);
    manager->PushText(1, PlateText(0, "X"));
    ASSERT_TRUE(helper->SetEnabled(true));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(helper->SetEnabled(false));
    EXPECT_TRUE(manager->TextQueries().empty());
    Out out;
    EXPECT_EQ(Take(out), -300);
}

TEST_F(KeloHelperTest, DisableAndEnableKeepRecords) {
    manager->PushText(1, PlateText(0, "A"));
    Drain();
    manager->PushText(1, PlateText(1, "B"));
    Drain();
    EXPECT_TRUE(helper->SetEnabled(true));
    EXPECT_TRUE(helper->SetEnabled(true));  // second switch-on is harmless
    EXPECT_TRUE(helper->IsEnabled());
    EXPECT_TRUE(helper->SetEnabled(false));
    EXPECT_TRUE(helper->SetEnabled(false));
    EXPECT_FALSE(helper->IsEnabled());
    Out out;
    ASSERT_EQ(Latest(out, 1), 0);
    EXPECT_STREQ(out.number.data(), "A");
    ASSERT_EQ(Take(out), 0);
    EXPECT_STREQ(out.number.data(), "A");
    ASSERT_EQ(Take(out), 0);
    EXPECT_STREQ(out.number.data(), "B");
}

// A server that never runs out of text must not keep the host waiting when it disables.
TEST_F(KeloHelperTest, DisableReturnsPromptlyWhileAServerFloodsText) {
    manager->SetEndlessText(1, PlateText(0, "FLOOD"));
    ASSERT_TRUE(helper->SetEnabled(true));
    for (int i = 0; i < 2000 && manager->TextQueries().size() < 20; ++i) std::this_thread::sleep_for(1ms);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(helper->SetEnabled(false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    Out out;
    ASSERT_EQ(Take(out), 0);
    EXPECT_STREQ(out.number.data(), "FLOOD");
}

TEST(KeloHelperLifecycle, DestroyWhileEnabledAndWithoutManager) {
    auto manager = std::make_shared<FakeServerManager>();
    manager->AddServer(1, 3);
    manager->SetEndlessText(1, PlateText(0, "X"));
    {
        KeloHelper helper(manager, KeloHelper::Options{1ms, {}});
        ASSERT_TRUE(helper.SetEnabled(true));
        std::this_thread::sleep_for(10ms);
    }  // joins the worker
    EXPECT_EQ(manager.use_count(), 1);

    KeloHelper orphan(nullptr, KeloHelper::Options{1ms, {}});
    EXPECT_EQ(KeloEnablePlateDetect(orphan, 1), 0);
    std::this_thread::sleep_for(5ms);
    char number[32];
    int server = 0, camera = 0, width = 0, height = 0, size = 0;
    double time = 0;
    unsigned char image[4];
    EXPECT_EQ(
        KeloGetPlateNumber(orphan, number, &server, &camera, &time, 1, 0, image, 4, &width, &height, &size),
        -300);
    EXPECT_EQ(KeloEnablePlateDetect(orphan, 0), 0);
}

}  // namespace
