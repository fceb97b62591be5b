// Live requests as the servers receive them: one call is split per server, each
// server's share goes out in exchanges of at most 32 entries and is capped at 128
// entries per call; the extended entries ask for extra data and the extra block of
// a reply is kept for LastExtraData. The manager runs with the library's own
// protocol client against scripted servers on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "manager/ORVLinker.h"
#include "protocol/Wire.h"
#include "sim/JpegCodec.h"
#include "sim/Picture.h"
#include "support/ScriptedPeer.h"

namespace {

using orv_test::Bytes;

constexpr int32_t kRequestJpeg = 1;  // a JPEG payload is delivered as it came

const Bytes& SmallJpeg() {
    static const Bytes jpeg = [] {
        orv_sim::JpegEncoder encoder;
        return encoder.Encode(
            orv_sim::RenderPicture(0, 1'700'000'000'000, 32, 24, orv_sim::Subsampling::S420), 80);
    }();
    return jpeg;
}

struct ReplyEntry {
    int32_t camera = 0;
    Bytes lead1, payload, aux, trail, extra;
    uint8_t extraFlag = 0;
    double extraTime = 0.0;
};

// A live reply whose entry table has the form `version` implies (long from 702 on),
// followed by each entry's blocks in wire order.
Bytes LiveReply(const std::vector<ReplyEntry>& entries, uint16_t version = orv_stuff::kClientVersion) {
    const size_t entrySize = version >= orv_stuff::kLongFrameEntryVersion ? orv_stuff::kFrameEntryLongSize
                                                                          : orv_stuff::kFrameEntryShortSize;
    auto header = orv_test::ReplyHeader(orv_stuff::kCmdLiveFrames, version);
    header.field12 = static_cast<int32_t>(entries.size());
    header.field24 = static_cast<int32_t>(entries.size() * entrySize);
    std::vector<Bytes> blocks{Bytes(entries.size() * entrySize)};
    for (size_t i = 0; i < entries.size(); ++i) {
        const ReplyEntry& e = entries[i];
        orv_stuff::TFrameEntry entry;
        entry.camera = e.camera;
        entry.time = 46000.25 + static_cast<double>(i);
        entry.frameId = 5;
        entry.lead1Length = static_cast<int32_t>(e.lead1.size());
        entry.payloadLength = static_cast<int32_t>(e.payload.size());
        entry.auxLength = static_cast<int32_t>(e.aux.size());
        entry.trailLength = static_cast<int32_t>(e.trail.size());
        entry.longForm = 1;
        entry.extraFlag = e.extraFlag;
        entry.extraTime = e.extraTime;
        entry.extraLength = static_cast<int32_t>(e.extra.size());
        orv_stuff::EncodeFrameEntry(entry, &blocks[0][i * entrySize], entrySize);
        // Lead 1, lead 2 (none), payload, auxiliary, trailing, extra.
        for (const Bytes* b : {&e.lead1, &e.payload, &e.aux, &e.trail}) blocks.push_back(*b);
        if (entrySize == orv_stuff::kFrameEntryLongSize) blocks.push_back(e.extra);
    }
    return orv_test::MakeReply(header, blocks);
}

// The entries of a live request (the long form, as a versioned client sends them).
std::vector<orv_stuff::TFrameEntry> Entries(const orv_test::Request& request) {
    std::vector<orv_stuff::TFrameEntry> entries;
    for (size_t at = 0; at + orv_stuff::kFrameEntryLongSize <= request.payload.size();
         at += orv_stuff::kFrameEntryLongSize) {
        entries.push_back(orv_stuff::DecodeFrameEntry(&request.payload[at], orv_stuff::kFrameEntryLongSize));
    }
    return entries;
}

// A connected server owning `count` cameras from 0-based index `first`. Unless a
// reply is set, every asked camera gets an entry with a small JPEG, in request order.
class LiveServer {
  public:
    LiveServer(int32_t first, int32_t count) : first_(first), count_(count) {
        peer_.RespondRepeatedly([this](const orv_test::Request& request) { return Answer(request); });
        peer_.Start();
    }
    ~LiveServer() { peer_.Stop(); }
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    uint16_t Port() const { return peer_.Port(); }
    void SetLiveReply(Bytes reply) {
        std::lock_guard lock(mutex_);
        fixedReply_ = std::move(reply);
    }
    // The live requests received so far, in order.
    std::vector<orv_test::Request> LiveRequests() {
        std::vector<orv_test::Request> live;
        for (auto& request : peer_.Requests()) {
            if (request.header.command == orv_stuff::kCmdLiveFrames) live.push_back(std::move(request));
        }
        return live;
    }

  private:
    Bytes Answer(const orv_test::Request& request) {
        const uint16_t command = request.header.command;
        if (command == orv_stuff::kCmdLogin) {
            return orv_test::LoginReply(first_, first_ + count_ - 1, 0, orv_stuff::kClientVersion);
        }
        if (command == orv_stuff::kCmdLiveFrames) {
            {
                std::lock_guard lock(mutex_);
                if (fixedReply_) return *fixedReply_;
            }
            std::vector<ReplyEntry> echo;
            for (const auto& entry : Entries(request)) {
                ReplyEntry reply;
                reply.camera = entry.camera;
                reply.payload = SmallJpeg();
                echo.push_back(reply);
            }
            return LiveReply(echo);
        }
        return orv_test::MakeReply(orv_test::ReplyHeader(command, orv_stuff::kClientVersion));
    }

    const int32_t first_;
    const int32_t count_;
    orv_test::ScriptedPeer peer_;
    std::mutex mutex_;
    std::optional<Bytes> fixedReply_;
};

// The servers are declared before the manager, which thus goes first on
// destruction, while its connections are still answered.
class LiveBatching : public ::testing::Test {
  protected:
    LiveServer& Server(int32_t first, int32_t count) {
        servers_.push_back(std::make_unique<LiveServer>(first, count));
        return *servers_.back();
    }
    // Registers and connects the servers made so far, in order.
    void Connect() {
        linker_ = std::make_unique<ORVLinker>(&ORVLinker::MakeDefaultModule, ManagerOptions{});
        for (const auto& server : servers_) {
            int32_t number = 0;
            ASSERT_EQ(linker_->AddServer("127.0.0.1", 0, server->Port(), 0, "", number, true), 0);
        }
        ASSERT_EQ(linker_->ConnectAll(), 0);
        std::vector<ServerInfo> list;
        ASSERT_EQ(linker_->GetServers(list), 0);
        ASSERT_EQ(list.size(), servers_.size());
        for (const auto& info : list) {
            ASSERT_EQ(info.state, 3) << "server " << info.handle << " not connected";
        }
    }
    // -8 also answers a call that met the worker holding the server lock; such a
    // call sends nothing.
    int32_t Live(const std::vector<int32_t>& cameras, bool wantExtra, int32_t& count) {
        int32_t result = -8;
        for (int attempt = 0; attempt < 50 && result == -8; ++attempt) {
            result = linker_->GetLiveFrames(count, cameras, frames_, kRequestJpeg, wantExtra);
        }
        return result;
    }

    std::vector<std::unique_ptr<LiveServer>> servers_;
    std::unique_ptr<ORVLinker> linker_;
    std::vector<TOrvFrame> frames_;
};

// Entry counts of the requests after the first `skip`, checked against the
// header's count and the payload size; the entries of all of them in order.
std::vector<int32_t> RequestedCameras(const std::vector<orv_test::Request>& requests, size_t skip,
                                      std::vector<int32_t>& sizes) {
    std::vector<int32_t> cameras;
    sizes.clear();
    for (size_t i = skip; i < requests.size(); ++i) {
        const auto entries = Entries(requests[i]);
        EXPECT_EQ(requests[i].header.field12, static_cast<int32_t>(entries.size())) << "request " << i;
        EXPECT_EQ(requests[i].payload.size(), entries.size() * orv_stuff::kFrameEntryLongSize)
            << "request " << i;
        sizes.push_back(requests[i].header.field12);
        for (const auto& entry : entries) cameras.push_back(entry.camera);
    }
    return cameras;
}

TEST_F(LiveBatching, OneServerGetsItsCamerasInExchangesOfAtMost32InCallOrder) {
    LiveServer& server = Server(0, 70);
    ASSERT_NO_FATAL_FAILURE(Connect());

    // 17 is prime to 70: all 70 cameras, in an order other than their numbers'.
    std::vector<int32_t> scrambled;
    for (int32_t i = 0; i < 70; ++i) scrambled.push_back((i * 17) % 70 + 1);
    struct Case {
        std::vector<int32_t> cameras;
        std::vector<int32_t> sizes;
    };
    std::vector<Case> cases;
    for (int32_t n : {1, 32, 33, 64}) {
        Case c;
        for (int32_t i = 1; i <= n; ++i) c.cameras.push_back(i);
        cases.push_back(c);
    }
    cases[0].sizes = {1};
    cases[1].sizes = {32};
    cases[2].sizes = {32, 1};
    cases[3].sizes = {32, 32};
    cases.push_back({scrambled, {32, 32, 6}});

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cameras.size() << " cameras");
        const size_t before = server.LiveRequests().size();
        int32_t count = -1;
        ASSERT_EQ(Live(c.cameras, false, count), 0);

        std::vector<int32_t> sizes;
        const auto sent = RequestedCameras(server.LiveRequests(), before, sizes);
        EXPECT_EQ(sizes, c.sizes);
        std::vector<int32_t> expected;
        for (int32_t value : c.cameras) expected.push_back(value - 1);
        EXPECT_EQ(sent, expected);

        // Each exchange's reply is matched to its own entries: every camera's
        // picture arrives once, in the order asked for.
        ASSERT_EQ(count, static_cast<int32_t>(c.cameras.size()));
        for (size_t i = 0; i < c.cameras.size(); ++i) {
            EXPECT_EQ(frames_[i].camera, c.cameras[i]) << "frame " << i;
            EXPECT_EQ(frames_[i].data, SmallJpeg()) << "frame " << i;
        }
    }
}

TEST_F(LiveBatching, AtMost128EntriesPerServerAndCallTheRestIsDropped) {
    LiveServer& full = Server(0, 128);
    LiveServer& other = Server(128, 3);
    ASSERT_NO_FATAL_FAILURE(Connect());

    // All 128 cameras of the first server, two of them asked for again, then the
    // second server's cameras: the repeats fall over the cap, the other server
    // keeps its own allowance.
    std::vector<int32_t> cameras;
    for (int32_t i = 1; i <= 128; ++i) cameras.push_back(i);
    cameras.push_back(5);
    cameras.push_back(6);
    cameras.push_back(129);
    cameras.push_back(131);
    int32_t count = -1;
    ASSERT_EQ(Live(cameras, false, count), 0);
    std::vector<int32_t> sizes;
    auto sent = RequestedCameras(full.LiveRequests(), 0, sizes);
    EXPECT_EQ(sizes, (std::vector<int32_t>{32, 32, 32, 32}));
    std::vector<int32_t> expected;
    for (int32_t i = 0; i < 128; ++i) expected.push_back(i);
    EXPECT_EQ(sent, expected);
    sent = RequestedCameras(other.LiveRequests(), 0, sizes);
    EXPECT_EQ(sizes, (std::vector<int32_t>{2}));
    EXPECT_EQ(sent, (std::vector<int32_t>{128, 130}));
    EXPECT_EQ(count, 130);

    // One camera asked for 130 times: 128 entries, and the cap starts afresh with
    // the call.
    const size_t before = full.LiveRequests().size();
    ASSERT_EQ(Live(std::vector<int32_t>(130, 3), false, count), 0);
    sent = RequestedCameras(full.LiveRequests(), before, sizes);
    EXPECT_EQ(sizes, (std::vector<int32_t>{32, 32, 32, 32}));
    EXPECT_EQ(sent, std::vector<int32_t>(128, 2));
    EXPECT_EQ(count, 128);
}

TEST_F(LiveBatching, EachServerGetsOnlyItsOwnCameras) {
    LiveServer& first = Server(0, 40);
    LiveServer& second = Server(40, 5);
    ASSERT_NO_FATAL_FAILURE(Connect());

    // The two servers' cameras interleaved, with numbers no server owns among them.
    std::vector<int32_t> cameras;
    std::vector<int32_t> firstExpected;
    std::vector<int32_t> secondExpected;
    for (int32_t i = 0; i < 40; ++i) {
        cameras.push_back(40 - i);
        firstExpected.push_back(39 - i);
        if (i % 8 == 0) {
            cameras.push_back(41 + i / 8);
            secondExpected.push_back(40 + i / 8);
        }
    }
    cameras.push_back(46);
    cameras.push_back(2000);

    int32_t count = -1;
    ASSERT_EQ(Live(cameras, false, count), 0);
    std::vector<int32_t> sizes;
    EXPECT_EQ(RequestedCameras(first.LiveRequests(), 0, sizes), firstExpected);
    EXPECT_EQ(sizes, (std::vector<int32_t>{32, 8}));
    EXPECT_EQ(RequestedCameras(second.LiveRequests(), 0, sizes), secondExpected);
    EXPECT_EQ(sizes, (std::vector<int32_t>{5}));

    // Servers are served in registration order, each in its request order.
    ASSERT_EQ(count, 45);
    for (size_t i = 0; i < 40; ++i) EXPECT_EQ(frames_[i].camera, firstExpected[i] + 1) << "frame " << i;
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(frames_[40 + i].camera, secondExpected[i] + 1) << "frame " << 40 + i;
}

// Reply entries carrying extra data, with every other area around their payloads.
std::vector<ReplyEntry> EntriesWithExtra() {
    ReplyEntry a;
    a.camera = 0;
    a.lead1 = Bytes(5, 0x11);
    a.payload = SmallJpeg();
    a.aux = Bytes(6, 0x33);
    a.trail = Bytes(7, 0x44);
    a.extra = {0xA1, 0xA2, 0xA3};
    a.extraFlag = 1;
    a.extraTime = 46001.5;
    ReplyEntry b = a;
    b.camera = 1;
    b.extra = {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9};
    b.extraTime = 46002.75;
    return {a, b};
}

TEST_F(LiveBatching, ExtraDataIsAskedForAndTheLastEntrysBlockKept) {
    LiveServer& server = Server(0, 2);
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::vector<uint8_t> extra{0xEE};
    double extraTime = -1.0;
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    EXPECT_TRUE(extra.empty());

    server.SetLiveReply(LiveReply(EntriesWithExtra()));
    int32_t count = -1;
    ASSERT_EQ(Live({1, 2}, true, count), 0);
    auto requests = server.LiveRequests();
    ASSERT_EQ(requests.size(), 1u);
    auto entries = Entries(requests[0]);
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.longForm, 1);
        EXPECT_EQ(entry.extraFlag, 1);
    }
    // The payloads are found past the other entry's extra block too.
    ASSERT_EQ(count, 2);
    EXPECT_EQ(frames_[0].data, SmallJpeg());
    EXPECT_EQ(frames_[1].data, SmallJpeg());
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    EXPECT_EQ(extra, EntriesWithExtra()[1].extra);
    EXPECT_DOUBLE_EQ(extraTime, 46002.75);

    // Only one entry has some: its block and time, whichever entry it is.
    auto onlyFirst = EntriesWithExtra();
    onlyFirst[1].extra.clear();
    onlyFirst[1].extraFlag = 0;
    server.SetLiveReply(LiveReply({onlyFirst[1], onlyFirst[0]}));
    ASSERT_EQ(Live({1, 2}, true, count), 0);
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    EXPECT_EQ(extra, onlyFirst[0].extra);
    EXPECT_DOUBLE_EQ(extraTime, 46001.5);

    // Without extra data wanted the entries still go out in the long form.
    ASSERT_EQ(Live({2}, false, count), 0);
    requests = server.LiveRequests();
    ASSERT_EQ(requests.size(), 3u);
    entries = Entries(requests[2]);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].camera, 1);
    EXPECT_EQ(entries[0].longForm, 1);
    EXPECT_EQ(entries[0].extraFlag, 0);
}

TEST_F(LiveBatching, AnEntryWithoutExtraDataClearsTheKeptBlock) {
    LiveServer& server = Server(0, 2);
    ASSERT_NO_FATAL_FAILURE(Connect());
    const auto withExtra = EntriesWithExtra();
    ReplyEntry plain = withExtra[0];
    plain.extra.clear();
    plain.extraFlag = 0;
    std::vector<uint8_t> extra;
    double extraTime = 0.0;
    int32_t count = -1;

    // A following call whose reply has none.
    server.SetLiveReply(LiveReply({withExtra[1]}));
    ASSERT_EQ(Live({2}, true, count), 0);
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    ASSERT_EQ(extra, withExtra[1].extra);
    server.SetLiveReply(LiveReply({plain}));
    ASSERT_EQ(Live({1}, true, count), 0);
    ASSERT_EQ(count, 1);
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    EXPECT_TRUE(extra.empty());

    // A later entry of the same reply without any.
    server.SetLiveReply(LiveReply({withExtra[0], plain}));
    ASSERT_EQ(Live({1, 2}, true, count), 0);
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    EXPECT_TRUE(extra.empty());

    // A call not asking for extra data, answered without any.
    server.SetLiveReply(LiveReply({withExtra[1]}));
    ASSERT_EQ(Live({2}, true, count), 0);
    server.SetLiveReply(LiveReply({plain}));
    ASSERT_EQ(Live({1}, false, count), 0);
    ASSERT_TRUE(linker_->LastExtraData(extra, extraTime));
    EXPECT_TRUE(extra.empty());
}

}  // namespace
