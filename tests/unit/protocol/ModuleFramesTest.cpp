#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "ProtocolTestUtil.h"

namespace orv_test {
namespace {

using orv_stuff::OrvDllWrapperModule;
using orv_stuff::TFrameEntry;
using orv_stuff::TMsgHeader;
namespace w = orv_stuff;

using FramesTest = ModuleFixture;

Bytes EncodeEntries(const std::vector<TFrameEntry>& entries, size_t size) {
    Bytes out(entries.size() * size);
    for (size_t i = 0; i < entries.size(); ++i) w::EncodeFrameEntry(entries[i], out.data() + i * size, size);
    return out;
}

TFrameEntry ReplyEntry(int32_t camera, int32_t lead1, int32_t payload, int32_t aux, int32_t extra) {
    TFrameEntry e;
    e.camera = camera;
    e.lead1Length = lead1;
    e.payloadLength = payload;
    e.auxLength = aux;
    e.extraLength = extra;
    e.time = 44000.0 + camera;
    return e;
}

std::vector<TFrameEntry> RequestEntries(int n) {
    std::vector<TFrameEntry> entries(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        entries[static_cast<size_t>(i)].camera = i;
        entries[static_cast<size_t>(i)].maxWidth = 3840;
        entries[static_cast<size_t>(i)].maxHeight = 2400;
        entries[static_cast<size_t>(i)].longForm = 1;
    }
    return entries;
}

TEST_F(FramesTest, ExtendedLiveReadOnVersion715UsesLongEntries) {
    auto& peer = AddPeer();
    std::vector<TFrameEntry> reply = {ReplyEntry(0, 2, 5, 3, 4), ReplyEntry(1, 0, 6, -7, 0)};
    auto h = ReplyHeader(w::kCmdLiveFrames, 715);
    h.field12 = 2;
    h.field24 = 2 * 72;
    h.field52 = 4;
    // Blocks per entry: lead 1, lead 2, payload, auxiliary, trailing, extra.
    Bytes blocks = {'L', 'L', 'P', 'P', 'P', 'P', 'P', 'A', 'A', 'A', 'X', 'X', 'X', 'X',
                    'q', 'q', 'q', 'q', 'q', 'q'};
    peer.Reply(LoginReply(0, 31)).Reply(MakeReply(h, {EncodeEntries(reply, 72), blocks}));
    const int32_t index = RegisterAndLogin(peer);

    auto entries = RequestEntries(32);
    int32_t count = 32;
    const uint8_t* data = nullptr;
    EXPECT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data), 5);
    EXPECT_EQ(count, 2);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(data, blocks.data(), blocks.size()), 0);
    EXPECT_EQ(module.FrameDataCapacity(), blocks.size()) << "sized exactly";
    EXPECT_EQ(entries[0].payloadLength, 5);
    EXPECT_EQ(entries[0].extraLength, 4);
    EXPECT_EQ(entries[1].auxLength, -7);

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const Request& r = requests[1];
    EXPECT_EQ(r.header.length, 80 + 32 * 72);
    EXPECT_EQ(r.raw.size(), 2384u);
    EXPECT_EQ(r.header.field12, 32);
    EXPECT_EQ(r.header.field24, 32 * 72);
    EXPECT_EQ(r.header.field28, 77) << "the user value";
    EXPECT_EQ(r.header.version, 715);
    const TFrameEntry sent = w::DecodeFrameEntry(r.payload.data() + 5 * 72, 72);
    EXPECT_EQ(sent.camera, 5);
    EXPECT_EQ(sent.maxWidth, 3840);
    EXPECT_EQ(sent.longForm, 1);
}

TEST_F(FramesTest, ExtendedLiveReadOnVersionZeroUsesShortEntries) {
    auto& peer = AddPeer();
    std::vector<TFrameEntry> reply = {ReplyEntry(3, 0, 4, 0, 0)};
    auto h = ReplyHeader(w::kCmdLiveFrames, 0);
    h.field12 = 1;
    h.field24 = 48;
    h.field52 = 9;
    peer.Reply(MakeReply(h, {EncodeEntries(reply, 48), Bytes{1, 2, 3, 4}}));
    const int32_t index = Register(peer, 0);

    auto entries = RequestEntries(32);
    entries[0].extraLength = 1234;
    entries[0].extraTime = 5.0;
    int32_t count = 32;
    const uint8_t* data = nullptr;
    EXPECT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data), 1) << "short replies: result 1";
    EXPECT_EQ(count, 1);
    EXPECT_EQ(entries[0].camera, 3);
    EXPECT_EQ(entries[0].extraLength, 0) << "slot offset 64 cleared";
    EXPECT_EQ(entries[0].extraTime, 5.0) << "the rest of the slot stays";
    EXPECT_EQ(data[3], 4);
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header.length, 80 + 32 * 48);
    EXPECT_EQ(requests[0].header.version, 0);
}

TEST_F(FramesTest, ExtendedLiveFrameAreaIsReusedAndGrowsExactly) {
    auto& peer = AddPeer();
    auto reply = [](int32_t payload) {
        auto h = ReplyHeader(w::kCmdLiveFrames, 715);
        h.field12 = 1;
        h.field24 = 72;
        return MakeReply(h, {EncodeEntries({ReplyEntry(0, 0, payload, 0, 0)}, 72), Filled(payload, 0x5A)});
    };
    peer.Reply(reply(1000)).Reply(reply(10)).Reply(reply(5000));
    const int32_t index = Register(peer);
    auto entries = RequestEntries(1);
    const uint8_t* first = nullptr;
    const uint8_t* second = nullptr;
    const uint8_t* third = nullptr;
    int32_t count = 1;
    ASSERT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), first), 1);
    count = 1;
    ASSERT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), second), 1);
    EXPECT_EQ(first, second) << "no reallocation for a smaller frame";
    EXPECT_EQ(module.FrameDataCapacity(), 1000u);
    count = 1;
    ASSERT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), third), 1);
    EXPECT_EQ(module.FrameDataCapacity(), 5000u);
    EXPECT_EQ(third[4999], 0x5A);
}

TEST_F(FramesTest, ExtendedLiveReplyWithMoreEntriesThanAskedIsRefusedAndDrained) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLiveFrames, 715);
    h.field12 = 2;
    h.field24 = 144;
    peer.Reply(MakeReply(h, {EncodeEntries({ReplyEntry(0, 0, 3, 0, 0), ReplyEntry(1, 0, 4, 0, 0)}, 72),
                             Filled(7, 1)}))
        .Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
    const int32_t index = Register(peer);
    auto entries = RequestEntries(1);
    int32_t count = 1;
    const uint8_t* data = nullptr;
    EXPECT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(entries[0].payloadLength, 0) << "the caller's array is not written";
    EXPECT_EQ(module.SendServerEvent(index, 1), 1) << "stream in step";
}

TEST_F(FramesTest, ExtendedLiveReplyCountBeyondItsEntryBlockFailsTheConnection) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLiveFrames, 715);
    h.field12 = 3;
    h.field24 = 72;
    peer.Reply(MakeReply(h, {EncodeEntries({ReplyEntry(0, 0, 3, 0, 0)}, 72)}));
    const int32_t index = Register(peer);
    auto entries = RequestEntries(4);
    int32_t count = 4;
    const uint8_t* data = nullptr;
    EXPECT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data), -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module.ServerAt(index)->State(), w::Failed);
}

TEST_F(FramesTest, BasicLiveReadWritesIntoTheCallersBuffer) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLiveFrames);
    h.field12 = 2;
    h.field24 = 96;
    std::vector<TFrameEntry> reply = {ReplyEntry(0, 1, 2, 0, 0), ReplyEntry(1, 0, 3, 1, 0)};
    Bytes blocks = {'l', 'p', 'p', 'P', 'P', 'P', 'a'};
    auto tooBig = h;
    tooBig.field12 = 1;
    tooBig.field24 = 48;
    peer.Reply(MakeReply(h, {EncodeEntries(reply, 48), blocks}))
        .Reply(MakeReply(tooBig, {EncodeEntries({ReplyEntry(0, 0, 100, 0, 0)}, 48), Filled(100, 1)}))
        .Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
    const int32_t index = Register(peer);
    auto entries = RequestEntries(2);
    entries[0].extraLength = 55;
    int32_t count = 2;
    uint8_t data[64] = {};
    EXPECT_EQ(module.ReadLiveFrames(index, count, entries.data(), data, sizeof data), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::memcmp(data, blocks.data(), blocks.size()), 0);
    EXPECT_EQ(entries[1].auxLength, 1);
    count = 2;
    EXPECT_EQ(module.ReadLiveFrames(index, count, entries.data(), data, 50), -1) << "100 bytes into 50";
    EXPECT_EQ(data[7], 0) << "nothing written past the reported data";
    EXPECT_EQ(module.SendServerEvent(index, 1), 1) << "stream in step";

    const auto requests = peer.Requests();
    ASSERT_GE(requests.size(), 1u);
    const TMsgHeader& r = requests[0].header;
    EXPECT_EQ(r.length, 80 + 2 * 48);
    EXPECT_EQ(r.field24, 96);
    EXPECT_EQ(r.field28, 77);
    EXPECT_EQ(r.field32, 0) << "the basic form clears the whole header";
    EXPECT_EQ(r.version, 0) << "not logged in";
}

TEST_F(FramesTest, BasicLiveReplyWithoutPayloadMarker) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLiveFrames);
    h.field24 = 0;
    h.field28 = -1;
    auto empty = ReplyHeader(w::kCmdLiveFrames);
    peer.Reply(MakeReply(h)).Reply(MakeReply(empty));
    const int32_t index = Register(peer);
    auto entries = RequestEntries(1);
    entries[0].payloadLength = 99;
    int32_t count = 1;
    uint8_t data[8];
    EXPECT_EQ(module.ReadLiveFrames(index, count, entries.data(), data, sizeof data), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(entries[0].payloadLength, 0);
    count = 1;
    EXPECT_EQ(module.ReadLiveFrames(index, count, entries.data(), data, sizeof data), -1);
}

// A one-entry reply whose only block is its payload is received into the
// caller's target when it fits; anything else goes where it always goes.
TEST_F(FramesTest, PayloadTargetTakesOnlyALonePayloadThatFits) {
    auto& peer = AddPeer();
    auto one = ReplyHeader(w::kCmdLiveFrames, 715);
    one.field12 = 1;
    one.field24 = 72;
    auto two = one;
    two.field12 = 2;
    two.field24 = 144;
    const Bytes payload = Filled(40, 7);
    peer.Reply(LoginReply(0, 31))
        .Reply(MakeReply(one, {EncodeEntries({ReplyEntry(0, 0, 40, 0, 0)}, 72), payload}))           // taken
        .Reply(MakeReply(one, {EncodeEntries({ReplyEntry(0, 0, 40, 2, 0)}, 72), payload, Bytes{1, 2}}))  // aux
        .Reply(MakeReply(one, {EncodeEntries({ReplyEntry(0, 0, 65, 0, 0)}, 72), Filled(65, 3)}))      // too big
        .Reply(MakeReply(two, {EncodeEntries({ReplyEntry(0, 0, 4, 0, 0), ReplyEntry(1, 0, 4, 0, 0)}, 72),
                               Filled(8, 9)}))                                                           // two
        .Reply(MakeReply(ReplyHeader(w::kCmdServerEvent, 715)));
    const int32_t index = RegisterAndLogin(peer);

    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    w::PayloadTarget target;
    target.data = buffer;
    target.capacity = sizeof buffer;
    auto entries = RequestEntries(2);
    int32_t count = 1;
    const uint8_t* data = nullptr;
    ASSERT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data, &target), 1);
    EXPECT_TRUE(target.used);
    EXPECT_EQ(data, buffer);
    EXPECT_EQ(std::memcmp(buffer, payload.data(), payload.size()), 0);
    EXPECT_EQ(buffer[40], 0xEE) << "nothing past the payload";

    for (const char* why : {"auxiliary data", "larger than the target"}) {
        target.used = false;
        count = 1;
        ASSERT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data, &target), 1) << why;
        EXPECT_FALSE(target.used) << why;
        EXPECT_NE(data, buffer) << why;
        EXPECT_EQ(buffer[40], 0xEE) << why;
    }
    EXPECT_EQ(data[64], 3) << "the large payload arrived in the module's own area";
    target.used = false;
    count = 2;
    ASSERT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data, &target), 1);
    EXPECT_EQ(count, 2);
    EXPECT_FALSE(target.used) << "two entries";
    EXPECT_EQ(data[7], 9);
    EXPECT_EQ(module.SendServerEvent(index, 1), 1) << "stream in step";
}

TEST_F(FramesTest, BasicLiveReadReceivesALonePayloadIntoTheTarget) {
    auto& peer = AddPeer();
    auto h = ReplyHeader(w::kCmdLiveFrames);
    h.field12 = 1;
    h.field24 = 48;
    peer.Reply(MakeReply(h, {EncodeEntries({ReplyEntry(0, 0, 5, 0, 0)}, 48), Bytes{'J', 'P', 'E', 'G', '!'}}))
        .Reply(MakeReply(h, {EncodeEntries({ReplyEntry(0, 1, 5, 0, 0)}, 48), Bytes{'l', 'J', 'P', 'E', 'G', '!'}}));
    const int32_t index = Register(peer);
    uint8_t area[16] = {};
    uint8_t buffer[5] = {};
    w::PayloadTarget target;
    target.data = buffer;
    target.capacity = sizeof buffer;
    auto entries = RequestEntries(1);
    int32_t count = 1;
    ASSERT_EQ(module.ReadLiveFrames(index, count, entries.data(), area, sizeof area, &target), 1);
    EXPECT_TRUE(target.used);
    EXPECT_EQ(std::memcmp(buffer, "JPEG!", 5), 0);
    EXPECT_EQ(area[0], 0) << "the usual area is not touched";
    target.used = false;
    count = 1;
    ASSERT_EQ(module.ReadLiveFrames(index, count, entries.data(), area, sizeof area, &target), 1);
    EXPECT_FALSE(target.used) << "a lead block comes first";
    EXPECT_EQ(std::memcmp(area, "lJPEG!", 6), 0);
}

TEST_F(FramesTest, RateCheckRefusesWithoutSending) {
    auto& peer = AddPeer();
    const int32_t index = Register(peer);
    auto server = module.ServerAt(index);
    server->registeredAt = w::NowOleUtc() - 1.0 / 86400.0;  // one second ago
    server->receivedBytes = 2 * 1024 + 100;
    server->rateLimitKiB = 2;
    auto entries = RequestEntries(1);
    int32_t count = 1;
    const uint8_t* data = nullptr;
    EXPECT_EQ(module.ReadLiveFramesEx(index, count, entries.data(), data), -1);
    uint8_t buffer[8];
    EXPECT_EQ(module.ReadLiveFrames(index, count, entries.data(), buffer, 8), -1);
    EXPECT_EQ(peer.RequestCount(), 0u);
}

// A small archive server: frames at fixed times, a cursor set by seek and moved
// by reads, field 24 = 0 once it has nothing more.
struct FakeArchive {
    std::vector<double> frames;
    size_t cursor = 0;
    std::vector<std::pair<uint16_t, double>> log;  // (command, field 16 sent)

    Bytes operator()(const Request& r) {
        log.emplace_back(r.header.command, r.header.field16);
        auto h = ReplyHeader(r.header.command);
        const uint8_t function = r.header.command & 0xFF;
        if (function == w::kArchiveSeek) {
            cursor = 0;
            while (cursor < frames.size() && frames[cursor] < r.header.field16) ++cursor;
            h.field24 = cursor < frames.size() ? 0 : -1;
            h.field16 = cursor < frames.size() ? frames[cursor] : 0.0;
            return MakeReply(h);
        }
        if (function == w::kArchiveReadForward) {
            if (cursor >= frames.size()) {
                h.field24 = 0;
                h.field16 = r.header.field16;
                h.field32 = r.header.field32;
                h.field36 = 0x40000000;
                return MakeReply(h);
            }
            h.field24 = 1;
            h.field16 = frames[cursor++];
            h.field32 = 7;
            h.field36 = 1;
            h.field44 = 2;
            h.field40 = 3;
            return MakeReply(h, {Bytes{'a', 'a'}, Bytes{'p', 'p', 'p'}});
        }
        return MakeReply(h);
    }
};

class ArchiveTest : public FramesTest {
protected:
    // Scripted peers answer a fixed sequence: no background reads between the calls.
    ArchiveTest() { module.SetBackgroundReadAhead(false); }
    struct ReadResult {
        int32_t result;
        int32_t a;
        double time;
        int32_t payloadLength;
    };
    ReadResult ReadForward() {
        int32_t a = 0x15FF;
        int32_t b = 0;
        int32_t payloadLength = 0;
        int32_t auxLength = 0;
        double time = lastTime;
        const int32_t result = module.ReadArchiveForward(0, 5, a, mask, b, time, payload, sizeof payload,
                                                         payloadLength, aux, sizeof aux, auxLength);
        if (result == 1 && payloadLength > 0) lastTime = time;
        return {result, a, time, payloadLength};
    }
    uint8_t mask[2048] = {};
    uint8_t payload[64] = {};
    uint8_t aux[64] = {};
    double lastTime = 0.0;
};

TEST_F(ArchiveTest, MergesTwoServersAndDropsTheOneThatRunsOut) {
    auto first = std::make_shared<FakeArchive>();
    auto second = std::make_shared<FakeArchive>();
    first->frames = {10.0, 10.2, 10.4};
    second->frames = {10.1, 10.3};
    auto& p1 = AddPeer();
    auto& p2 = AddPeer();
    p1.Reply(LoginReply(0, 3)).RespondRepeatedly([first](const Request& r) { return (*first)(r); });
    p2.Reply(LoginReply(4, 7)).RespondRepeatedly([second](const Request& r) { return (*second)(r); });
    RegisterAndLogin(p1);
    RegisterAndLogin(p2);
    mask[1] = 1;
    mask[5] = 1;

    EXPECT_EQ(module.SeekArchive(0, 10.0, 0), 0);
    EXPECT_EQ(module.ArchivePosition(0), 10.0);

    // Strict time order over both servers (each read ahead by one frame); a
    // server that runs out says so once, in its place in time: after the last
    // frame it handed out.
    std::vector<double> got;
    for (int i = 0; i < 8; ++i) {
        const ReadResult r = ReadForward();
        if (r.result != 1) break;
        got.push_back(r.payloadLength > 0 ? r.time : -1.0);
    }
    const std::vector<double> expected = {10.0, 10.1, 10.2, 10.3, -1.0, 10.4, -1.0};
    EXPECT_EQ(got, expected);
    // Nobody has a position any more: no traffic.
    const size_t requests = p1.RequestCount() + p2.RequestCount();
    EXPECT_EQ(ReadForward().result, -1);
    EXPECT_EQ(p1.RequestCount() + p2.RequestCount(), requests);

    // Each server received only its own slice of the camera mask.
    const auto r1 = p1.Requests();
    const auto read1 = std::find_if(r1.begin(), r1.end(), [](const Request& r) { return r.header.command == 0x123; });
    ASSERT_NE(read1, r1.end());
    EXPECT_EQ(read1->header.field24, 4);
    EXPECT_EQ(read1->payload, (Bytes{0, 1, 0, 0}));
    EXPECT_EQ(read1->header.field28, 5);
    EXPECT_EQ(read1->header.field32, 0x15FF);
    EXPECT_EQ(read1->header.field40, 0);
    const auto r2 = p2.Requests();
    const auto read2 = std::find_if(r2.begin(), r2.end(), [](const Request& r) { return r.header.command == 0x123; });
    ASSERT_NE(read2, r2.end());
    EXPECT_EQ(read2->payload, (Bytes{0, 1, 0, 0}));
}

TEST_F(ArchiveTest, ForwardReadNudgesASentinelPositionAndReportsFields) {
    auto archive = std::make_shared<FakeArchive>();
    archive->frames = {0.0, 20.0};
    auto& peer = AddPeer();
    peer.Reply(LoginReply(0, 3)).RespondRepeatedly([archive](const Request& r) { return (*archive)(r); });
    RegisterAndLogin(peer);
    mask[0] = 1;
    EXPECT_EQ(module.SeekArchive(0, 0.0, 0), 0);
    EXPECT_EQ(module.ArchivePosition(0), 0.0);
    const ReadResult r = ReadForward();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.a, 7);
    EXPECT_EQ(r.payloadLength, 3);
    EXPECT_EQ(std::memcmp(payload, "ppp", 3), 0);
    EXPECT_EQ(std::memcmp(aux, "aa", 2), 0);
    EXPECT_DOUBLE_EQ(module.ArchivePosition(0), 0.0 - w::kOleMillisecond);
}

struct SeekCase {
    double secondAnswer;
    double expected;
};

class SeekNearestTest : public ArchiveTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(SeekNearestTest, PositionIsTheNearestAnswerAndTheEarlierServerKeepsATie) {
    auto answer = [](double position, int32_t result) {
        return [position, result](const Request& r) {
            auto h = ReplyHeader(r.header.command);
            h.field16 = position;
            h.field24 = result;
            return MakeReply(h);
        };
    };
    auto& p1 = AddPeer();
    auto& p2 = AddPeer();
    p1.Respond(answer(10.25, 2));
    p2.Respond(answer(GetParam().secondAnswer, 5));
    Register(p1);
    Register(p2);
    EXPECT_EQ(module.SeekArchive(1, 10.5, 0), 5);
    EXPECT_EQ(module.ArchivePosition(1), GetParam().expected);
    EXPECT_EQ(module.ServerAt(2)->archivePos[1], GetParam().secondAnswer);
    EXPECT_EQ(module.ServerAt(1)->archiveFound[1], 1);
    const auto request = p1.Requests().at(0).header;
    EXPECT_EQ(request.command, 0x212);
    EXPECT_EQ(request.field16, 10.5);
    EXPECT_EQ(request.field28, 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, SeekNearestTest,
                         ::testing::Values(SeekCase{10.75, 10.25}, SeekCase{10.6, 10.6}, SeekCase{10.3, 10.3}));

TEST_F(ArchiveTest, RangeOpenAndChannelLimits) {
    double earliest = 0;
    double latest = 0;
    EXPECT_EQ(module.QueryArchiveRange(0, earliest, latest), 0);
    EXPECT_EQ(earliest, 99999.0);
    EXPECT_EQ(latest, 0.0);

    auto range = [](double from, double to) {
        return [from, to](const Request& r) {
            auto h = ReplyHeader(r.header.command);
            h.field56 = from;
            h.field64 = to;
            h.field24 = 1;
            return MakeReply(h);
        };
    };
    auto& p1 = AddPeer();
    auto& p2 = AddPeer();
    p1.Respond(range(100.0, 200.0)).Respond(range(0, 0));
    p2.Respond(range(50.0, 150.0)).Respond(range(0, 0));
    Register(p1);
    Register(p2);
    EXPECT_EQ(module.QueryArchiveRange(3, earliest, latest), 1);
    EXPECT_EQ(earliest, 50.0);
    EXPECT_EQ(latest, 200.0);
    const auto second = p2.Requests().at(0).header;
    EXPECT_EQ(second.command, 0x611);
    EXPECT_EQ(second.field56, 100.0) << "each request carries the range so far";
    EXPECT_EQ(second.field64, 200.0);
    EXPECT_EQ(module.OpenArchiveChannel(3), 1);

    for (int32_t channel : {-1, 4, 7}) {
        EXPECT_EQ(module.OpenArchiveChannel(channel), 0);
        EXPECT_EQ(module.CloseArchiveChannel(channel), 0);
        EXPECT_EQ(module.QueryArchiveRange(channel, earliest, latest), 0);
        EXPECT_EQ(module.SeekArchive(channel, 1.0, 1), -1);
        EXPECT_EQ(module.ArchivePosition(channel), 0.0);
        int32_t a = 0, b = 0, pl = 0, al = 0;
        double t = 0;
        EXPECT_EQ(module.ReadArchiveForward(channel, 0, a, mask, b, t, payload, 64, pl, aux, 64, al), -1);
        EXPECT_EQ(module.ReadArchiveBackward(channel, 0, a, mask, b, t, payload, 64, pl, aux, 64, al), -1);
    }
    EXPECT_EQ(p1.RequestCount(), 2u);
    EXPECT_EQ(p2.RequestCount(), 2u);
}

TEST_F(ArchiveTest, ArchiveReplyLargerThanTheBufferIsRefusedAndDrained) {
    auto& peer = AddPeer();
    auto seek = [](const Request& r) {
        auto h = ReplyHeader(r.header.command);
        h.field16 = 50.0;
        return MakeReply(h);
    };
    auto big = [](const Request& r) {
        auto h = ReplyHeader(r.header.command);
        h.field24 = 1;
        h.field16 = 49.0;
        h.field44 = 10;
        h.field40 = 65;
        return MakeReply(h, {Filled(10, 1), Filled(65, 2)});
    };
    peer.Reply(LoginReply(0, 3)).Respond(seek).Respond(big).Reply(MakeReply(ReplyHeader(w::kCmdServerEvent)));
    const int32_t index = RegisterAndLogin(peer);
    EXPECT_EQ(module.SeekArchive(0, 50.0, 1), 0);
    EXPECT_EQ(module.ArchivePosition(0), 50.0);
    int32_t a = 0, b = 0, payloadLength = 0, auxLength = 0;
    double time = 0;
    EXPECT_EQ(module.ReadArchiveBackward(0, 0, a, mask, b, time, payload, 64, payloadLength, aux, 64, auxLength),
              -1);
    EXPECT_EQ(payload[0], 0);
    EXPECT_EQ(module.SendServerEvent(index, 1), 1) << "stream in step";
    EXPECT_EQ(peer.Requests().at(2).header.command, 0x124);
}

TEST_F(ArchiveTest, BackwardReadNudgesFromTheLateSentinel) {
    auto& peer = AddPeer();
    auto seek = [](const Request& r) {
        auto h = ReplyHeader(r.header.command);
        h.field16 = 99999.0;
        return MakeReply(h);
    };
    auto frame = [](const Request& r) {
        auto h = ReplyHeader(r.header.command);
        h.field24 = 1;
        h.field16 = 30.0;
        return MakeReply(h);
    };
    peer.Reply(LoginReply(0, 3)).Respond(seek).Respond(frame);
    RegisterAndLogin(peer);
    EXPECT_EQ(module.SeekArchive(2, 99999.0, 1), 0);
    int32_t a = 0, b = 0, payloadLength = 9, auxLength = 9;
    double time = 0;
    EXPECT_EQ(module.ReadArchiveBackward(2, 0, a, mask, b, time, payload, 64, payloadLength, aux, 64, auxLength), 1);
    EXPECT_EQ(time, 30.0);
    EXPECT_EQ(payloadLength, 0);
    EXPECT_DOUBLE_EQ(module.ArchivePosition(2), 30.0 + w::kOleMillisecond);
}

}  // namespace
}  // namespace orv_test
