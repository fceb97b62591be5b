#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "protocol/Wire.h"

namespace orv_stuff {
namespace {

TEST(WireHeader, EncodesEveryFieldAtItsOffsetLittleEndian) {
    TMsgHeader h;
    h.magic = MSG_MAGIC;
    h.length = 0x01020304;
    h.command = 0x0951;
    h.version = 715;
    h.field12 = -2;
    h.field16 = 25569.5;
    h.field24 = 24;
    h.field28 = 28;
    h.field32 = 32;
    h.field36 = 36;
    h.field40 = 40;
    h.field44 = 44;
    h.field48 = 48;
    h.field52 = 52;
    h.field56 = 1.25;
    h.field64 = -3.5;
    std::memcpy(h.field72, "abcdefgh", 8);
    uint8_t raw[kHeaderSize];
    EncodeHeader(h, raw);

    EXPECT_EQ(raw[0], 0x96);
    EXPECT_EQ(raw[1], 0x11);
    EXPECT_EQ(raw[2], 0x17);
    EXPECT_EQ(raw[3], 0x00);
    EXPECT_EQ(raw[4], 0x04);
    EXPECT_EQ(raw[7], 0x01);
    EXPECT_EQ(raw[8], 0x51);
    EXPECT_EQ(raw[9], 0x09);
    EXPECT_EQ(GetU16(raw + 10), 715);
    EXPECT_EQ(raw[12], 0xFE);
    EXPECT_EQ(raw[15], 0xFF);
    for (int offset = 24; offset <= 52; offset += 4) EXPECT_EQ(GetI32(raw + offset), offset) << offset;
    EXPECT_EQ(GetF64(raw + 16), 25569.5);
    // 1.25 = 0x3FF4000000000000: the sign/exponent byte is the last one.
    EXPECT_EQ(raw[63], 0x3F);
    EXPECT_EQ(raw[62], 0xF4);
    EXPECT_EQ(GetF64(raw + 64), -3.5);
    EXPECT_EQ(std::memcmp(raw + 72, "abcdefgh", 8), 0);

    const TMsgHeader back = DecodeHeader(raw);
    uint8_t again[kHeaderSize];
    EncodeHeader(back, again);
    EXPECT_EQ(std::memcmp(raw, again, kHeaderSize), 0);
}

TEST(WireHeader, AcceptsOnlyEchoedCommandWithMagic) {
    TMsgHeader h;
    h.command = kCmdLogin;
    EXPECT_FALSE(IsAcceptedReply(h, kCmdLogin));
    h.magic = MSG_MAGIC;
    EXPECT_TRUE(IsAcceptedReply(h, kCmdLogin));
    EXPECT_FALSE(IsAcceptedReply(h, kCmdServerText));
}

struct ChannelCase {
    int32_t channel;
    uint8_t function;
    int expected;  // -1: no code
};

class ArchiveChannelCommandTest : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(ArchiveChannelCommandTest, CombinesChannelCodeAndFunction) {
    const auto& c = GetParam();
    const auto code = ArchiveChannelCommand(c.channel, c.function);
    if (c.expected < 0) {
        EXPECT_FALSE(code.has_value());
    } else {
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, ArchiveChannelCommandTest,
                         ::testing::Values(ChannelCase{0, kArchiveOpen, 272}, ChannelCase{1, kArchiveOpen, 528},
                                           ChannelCase{2, kArchiveOpen, 784}, ChannelCase{3, kArchiveOpen, 1552},
                                           ChannelCase{0, kArchiveRange, 273}, ChannelCase{3, kArchiveSeek, 1554},
                                           ChannelCase{0, kArchiveClose, 287}, ChannelCase{3, kArchiveClose, 1567},
                                           ChannelCase{2, kArchiveReadForward, 803},
                                           ChannelCase{3, kArchiveReadForward, 1571},
                                           ChannelCase{1, kArchiveReadBackward, 548},
                                           ChannelCase{4, kArchiveOpen, -1}, ChannelCase{-1, kArchiveOpen, -1}));

TEST(WireTime, OleDatesOfWholeMilliseconds) {
    EXPECT_EQ(OleFromUnixMs(0), 25569.0);
    EXPECT_EQ(OleFromUnixMs(12 * 3600 * 1000), 25569.5);
    EXPECT_NEAR(OleFromUnixMs(1) - OleFromUnixMs(0), kOleMillisecond, 1e-11);
    EXPECT_EQ(OleFromUnixMs(-kMsPerDay), 25568.0);
    EXPECT_DOUBLE_EQ(kOleMillisecond, 1.1574074074074074e-08);
    // 2021-03-05 14:07:09.250 UTC
    EXPECT_NEAR(OleFromUnixMs(1614953229250LL), 44260.58830150463, 1e-9);
    const double now = NowOleUtc();
    EXPECT_GT(now, 45000.0);
    // Millisecond resolution: the value times 86.4e6 is (nearly) integral.
    const double ms = (now - kOleUnixEpoch) * kMsPerDay;
    EXPECT_NEAR(ms, std::round(ms), 0.05);
}

struct KeyCase {
    std::string text;
    std::string key;
};

class LoginKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(LoginKeyTest, NormalisesToEightCharacters) { EXPECT_EQ(NormalizeLoginKey(GetParam().text), GetParam().key); }

INSTANTIATE_TEST_SUITE_P(
    Keys, LoginKeyTest,
    ::testing::Values(KeyCase{"AbC", "abc     "}, KeyCase{"", "        "}, KeyCase{"Password1", "password"},
                      // Cyrillic capital and small letter on the keys F and D.
                      KeyCase{"\xC0\xE2", "fd      "},
                      // Every letter of the alphabet in upper case, then lower case.
                      KeyCase{"\xC0\xC1\xC2\xC3\xC4\xC5\xC6\xC7", "f,dult;p"},
                      KeyCase{"\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF", "bqrkvyjg"},
                      KeyCase{"\xD0\xD1\xD2\xD3\xD4\xD5\xD6\xD7", "hcnea[wx"},
                      KeyCase{"\xF8\xF9\xFA\xFB\xFC\xFD\xFE\xFF", "io]sm'.z"},
                      // Mixed Latin and Cyrillic; a non-letter byte (0xA8) stays.
                      KeyCase{"Q\xD1\xA8z", "qc\xA8z    "},
                      // Cut to eight before mapping: the ninth letter does not appear.
                      KeyCase{"\xF4\xF4\xF4\xF4\xF4\xF4\xF4\xF4\xC8", "aaaaaaaa"},
                      // The key ends at an embedded zero byte.
                      KeyCase{std::string("ab\0cd", 5), "ab"}));

TEST(WireRecords, FrameEntryLongAndShortForms) {
    TFrameEntry e;
    e.camera = 17;
    e.maxWidth = 3840;
    e.maxHeight = 2400;
    e.auxLength = 5;
    e.payloadLength = 6;
    e.time = 44000.25;
    e.frameId = 99;
    e.lead1Length = 1;
    e.lead2Length = 2;
    e.trailLength = 3;
    e.longForm = 1;
    e.extraFlag = 1;
    e.extraTime = 44000.5;
    e.extraLength = 7;
    uint8_t raw[kFrameEntryLongSize] = {};
    EncodeFrameEntry(e, raw, kFrameEntryLongSize);
    EXPECT_EQ(GetI32(raw + 36), 1);
    EXPECT_EQ(GetI32(raw + 20), 6);
    EXPECT_EQ(raw[48], 1);
    EXPECT_EQ(GetI32(raw + 64), 7);
    int32_t lengths[kFrameEntryBlockCount];
    FrameEntryBlockLengths(DecodeFrameEntry(raw, kFrameEntryLongSize), lengths);
    EXPECT_EQ(std::vector<int32_t>(lengths, lengths + 6), (std::vector<int32_t>{1, 2, 6, 5, 3, 7}));

    uint8_t shortRaw[kFrameEntryLongSize];
    std::memset(shortRaw, 0xEE, sizeof shortRaw);
    EncodeFrameEntry(e, shortRaw, kFrameEntryShortSize);
    EXPECT_EQ(shortRaw[48], 0xEE) << "short form writes 48 bytes only";
    TFrameEntry slot = e;
    slot.extraTime = 1.0;
    DecodeFrameEntryInto(shortRaw, kFrameEntryShortSize, slot);
    EXPECT_EQ(slot.extraLength, 0);
    EXPECT_EQ(slot.extraTime, 1.0);
    EXPECT_EQ(slot.frameId, 99);
}

TEST(WireRecords, RecordsRoundTripByteForByte) {
    uint8_t raw[kServerInfoSize];
    for (size_t i = 0; i < sizeof raw; ++i) raw[i] = static_cast<uint8_t>(i * 7 + 1);
    uint8_t back[kServerInfoSize];
    EncodeServerInfo(DecodeServerInfo(raw), back);
    EXPECT_EQ(std::memcmp(raw, back, sizeof raw), 0);
    EXPECT_EQ(DecodeServerInfo(raw).cameraCount, GetI32(raw + 8));

    uint8_t rec[kCameraRecordSize];
    for (size_t i = 0; i < sizeof rec; ++i) rec[i] = static_cast<uint8_t>(0xA0 + i);
    uint8_t recBack[kCameraRecordSize];
    EncodeCameraRecord(DecodeCameraRecord(rec), recBack);
    EXPECT_EQ(std::memcmp(rec, recBack, sizeof rec), 0);
    EXPECT_EQ(DecodeCameraRecord(rec).flagB, GetI16(rec + 34));

    TCameraPosition p{5, 2, 1.5, -2.5, 3.0};
    uint8_t pos[32];
    EncodeCameraPosition(p, pos);
    EXPECT_EQ(GetI32(pos + 4), 2);
    EXPECT_EQ(DecodeCameraPosition(pos).y, -2.5);
}

// One row per command view: a sample with distinct values and, written out by
// hand, where its fields must land in the 80-byte header. Encoding into a header
// whose bytes all hold a marker must write exactly those bytes and leave every
// other byte alone (the client reuses one header across commands); decoding the
// bytes and encoding again must give the same header.
struct WireField {
    size_t offset;
    std::vector<uint8_t> bytes;
};

WireField I32At(size_t offset, int32_t v) {
    std::vector<uint8_t> b(4);
    PutI32(b.data(), v);
    return {offset, b};
}
WireField F64At(size_t offset, double v) {
    std::vector<uint8_t> b(8);
    PutF64(b.data(), v);
    return {offset, b};
}

constexpr uint8_t kMarker = 0xA5;

struct ViewCase {
    std::string name;
    std::function<void(TMsgHeader&)> encodeSample;
    std::function<void(const TMsgHeader&, TMsgHeader&)> decodeAndEncode;
    std::vector<WireField> fields;
};

template <typename View>
ViewCase Row(std::string name, View sample, std::vector<WireField> fields) {
    return {std::move(name), [sample](TMsgHeader& h) { Encode(sample, h); },
            [](const TMsgHeader& from, TMsgHeader& to) { Encode(Decode<View>(from), to); }, std::move(fields)};
}

TMsgHeader MarkedHeader() {
    uint8_t raw[kHeaderSize];
    std::memset(raw, kMarker, sizeof raw);
    return DecodeHeader(raw);
}

std::vector<uint8_t> Bytes(const TMsgHeader& h) {
    std::vector<uint8_t> raw(kHeaderSize);
    EncodeHeader(h, raw.data());
    return raw;
}

TEST(WireViews, EachViewWritesItsFieldsOnlyAndRoundTrips) {
    const std::vector<uint8_t> key{'k', 'e', 'y', ' ', 'a', 'b', 'c', 'd'};
    const std::vector<ViewCase> cases{
        Row("login request", LoginRequest{44000.25, 3, {'k', 'e', 'y', ' ', 'a', 'b', 'c', 'd'}},
            {F64At(16, 44000.25), I32At(24, 3), {72, key}}),
        Row("login reply", LoginReply{152, -1, 9}, {I32At(24, 152), I32At(28, -1), I32At(32, 9)}),
        Row("camera tables reply", CameraTablesReply{128, 64}, {I32At(12, 128), I32At(52, 64)}),
        Row("camera event request", CameraEventRequest{7, 0x1FF, 2, -3, 4},
            {I32At(12, 7), I32At(24, 0x1FF), I32At(28, 2), I32At(32, -3), I32At(36, 4)}),
        Row("result reply", ResultReply{-1}, {I32At(24, -1)}),
        Row("second result reply", SecondResultReply{5}, {I32At(28, 5)}),
        Row("status request", StatusRequest{1, 2, 3}, {I32At(24, 1), I32At(28, 2), I32At(36, 3)}),
        Row("status reply", StatusReply{1536, 11}, {I32At(24, 1536), I32At(36, 11)}),
        Row("server event request", ServerEventRequest{1, 77}, {I32At(24, 1), I32At(28, 77)}),
        Row("camera name request", CameraNameRequest{12, 0.5}, {I32At(12, 12), F64At(16, 0.5)}),
        Row("block reply", BlockReply{127}, {I32At(24, 127)}),
        Row("console archive request", ConsoleArchiveRequest{1, 2, 3, 4, 44000.5, 44000.25},
            {I32At(24, 1), I32At(28, 2), I32At(32, 3), I32At(36, 4), F64At(56, 44000.5), F64At(64, 44000.25)}),
        Row("console archive reply", ConsoleArchiveReply{6, 1}, {I32At(24, 6), I32At(32, 1)}),
        Row("server text reply", ServerTextReply{300, 1}, {I32At(24, 300), I32At(28, 1)}),
        Row("camera mode request", CameraModeRequest{3, 0.75, 2}, {I32At(12, 3), F64At(16, 0.75), I32At(24, 2)}),
        Row("live frames request", LiveFramesRequest{2, 44001.0, 144, 9},
            {I32At(12, 2), F64At(16, 44001.0), I32At(24, 144), I32At(28, 9)}),
        Row("live frames reply", LiveFramesReply{2, 44001.5, 144, -1, 6},
            {I32At(12, 2), F64At(16, 44001.5), I32At(24, 144), I32At(28, -1), I32At(52, 6)}),
        Row("telemetry request", TelemetryRequest{8, TelemetryBlock::kSize, 33},
            {I32At(12, 8), I32At(24, 16), I32At(28, 33)}),
        Row("console switch request", ConsoleSwitchRequest{9, TelemetryBlock::kSize}, {I32At(12, 9), I32At(24, 16)}),
        Row("camera command request", CameraCommandRequest{10, 20, 30}, {I32At(12, 10), I32At(28, 20), I32At(32, 30)}),
        Row("position request", PositionRequest{1, 3, -4, 5, 6, 7, 44002.0},
            {I32At(12, 1), I32At(24, 3), I32At(28, -4), I32At(32, 5), I32At(36, 6), I32At(40, 7), F64At(56, 44002.0)}),
        Row("position reply", PositionReply{1, 2, 3, 4, 5},
            {I32At(24, 1), I32At(28, 2), I32At(32, 3), I32At(36, 4), I32At(40, 5)}),
        Row("archive range", ArchiveRangeView{44000.0, 44010.0}, {F64At(56, 44000.0), F64At(64, 44010.0)}),
        Row("archive seek request", ArchiveSeekRequest{44003.0, 1}, {F64At(16, 44003.0), I32At(28, 1)}),
        Row("archive seek reply", ArchiveSeekReply{44003.5, -1}, {F64At(16, 44003.5), I32At(24, -1)}),
        Row("archive read request",
            ArchiveReadRequest{44004.0, 8, 2, 3 | kArchiveFirstCameraOnlyFlag, 0x15FF, 11, 12},
            {F64At(16, 44004.0), I32At(24, 8), I32At(28, 2), I32At(32, 0x40000003), I32At(36, 0x15FF), I32At(40, 11),
             I32At(44, 12)}),
        Row("archive read reply", ArchiveReadReply{44004.5, 1, 5, kArchiveNoFrameFlag | kArchiveStreamBit, 1000, 20},
            {F64At(16, 44004.5), I32At(24, 1), I32At(32, 5), I32At(36, 0x40000100), I32At(40, 1000), I32At(44, 20)}),
    };
    for (const ViewCase& c : cases) {
        SCOPED_TRACE(c.name);
        TMsgHeader h = MarkedHeader();
        c.encodeSample(h);
        const std::vector<uint8_t> raw = Bytes(h);

        std::vector<bool> written(kHeaderSize, false);
        for (const WireField& f : c.fields) {
            for (size_t i = 0; i < f.bytes.size(); ++i) {
                EXPECT_EQ(raw[f.offset + i], f.bytes[i]) << "byte " << f.offset + i;
                written[f.offset + i] = true;
            }
        }
        for (size_t i = 0; i < kHeaderSize; ++i) {
            if (!written[i]) {
                EXPECT_EQ(raw[i], kMarker) << "byte " << i << " belongs to no field of the view";
            }
        }

        TMsgHeader again = MarkedHeader();
        c.decodeAndEncode(DecodeHeader(raw.data()), again);
        EXPECT_EQ(Bytes(again), raw);
    }
}

TEST(WireRecords, CameraStatusEntryRoundTripsByteForByte) {
    uint8_t raw[kStatusEntrySize];
    for (size_t i = 0; i < sizeof raw; ++i) raw[i] = static_cast<uint8_t>(0x31 + 3 * i);
    uint8_t back[kStatusEntrySize];
    EncodeCameraStatus(DecodeCameraStatus(raw), back);
    EXPECT_EQ(std::memcmp(raw, back, sizeof raw), 0);
    EXPECT_EQ(DecodeCameraStatus(raw).value1, GetI16(raw + 4));
    EXPECT_EQ(DecodeCameraStatus(raw).value2, GetI16(raw + 8));
    EXPECT_EQ(kStatusBlockSize, 1536u);
}

TEST(WireRecords, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(RoundToInt32(2.5), 3);
    EXPECT_EQ(RoundToInt32(-2.5), -3);
    EXPECT_EQ(RoundToInt32(2.49), 2);
    EXPECT_EQ(RoundToInt32(1e12), INT32_MAX);
    EXPECT_EQ(RoundToInt32(std::nan("")), 0);
}

TEST(WireBuffers, SendBufferGrowsKeepingContent) {
    SendBuffer buffer;
    std::vector<uint8_t> a(80, 1), b(5000, 2);
    buffer.Append(a.data(), a.size());
    buffer.Append(b.data(), b.size());
    ASSERT_EQ(buffer.Size(), 5080u);
    EXPECT_EQ(buffer.Data()[79], 1);
    EXPECT_EQ(buffer.Data()[80], 2);
    buffer.PatchI32(4, 5080);
    EXPECT_EQ(GetI32(buffer.Data() + 4), 5080);
    const size_t capacity = buffer.Capacity();
    buffer.Reset();
    buffer.Append(a.data(), a.size());
    EXPECT_EQ(buffer.Size(), 80u);
    EXPECT_EQ(buffer.Capacity(), capacity) << "reused, not shrunk";
}

// In-memory stream for the block helpers.
class MemoryChannel : public IByteChannel {
public:
    explicit MemoryChannel(std::vector<uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
    IoResult Read(void* buffer, int32_t n) override {
        IoResult result;
        if (n <= 0) {
            result.error = boost::asio::error::invalid_argument;
            return result;
        }
        std::memset(buffer, 0, static_cast<size_t>(n));
        const size_t take = std::min(bytes_.size(), static_cast<size_t>(n));
        std::copy(bytes_.begin(), bytes_.begin() + static_cast<long>(take), static_cast<uint8_t*>(buffer));
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(take));
        result.transferred = static_cast<int32_t>(take);
        if (take < static_cast<size_t>(n)) result.error = boost::asio::error::eof;
        return result;
    }
    IoResult Write(const void*, int32_t) override { return {}; }
    void MarkOutOfStep() override { outOfStep = true; }
    size_t Left() const { return bytes_.size(); }
    bool outOfStep = false;

private:
    std::deque<uint8_t> bytes_;
};

TEST(WireBlocks, OversizedBlockIsDrainedNotWritten) {
    std::vector<uint8_t> stream(100, 0x55);
    stream.push_back(0x77);
    MemoryChannel channel(stream);
    RawBuffer scratch;
    uint8_t dst[16];
    std::memset(dst, 0x11, sizeof dst);
    EXPECT_EQ(ReadPayloadBlock(channel, 100, dst, 8, scratch), BlockResult::TooLarge);
    EXPECT_EQ(dst[0], 0x11) << "destination untouched";
    EXPECT_EQ(channel.Left(), 1u) << "exactly the announced bytes drained";
    EXPECT_EQ(ReadPayloadBlock(channel, 1, dst, 8, scratch), BlockResult::Read);
    EXPECT_EQ(dst[0], 0x77);
    EXPECT_EQ(ReadPayloadBlock(channel, 0, dst, 8, scratch), BlockResult::Absent);
    EXPECT_EQ(ReadPayloadBlock(channel, 4, dst, 8, scratch), BlockResult::Failed);
}

TEST(WireBlocks, HugeDrainMarksStreamOutOfStep) {
    MemoryChannel channel({1, 2, 3});
    RawBuffer scratch;
    EXPECT_FALSE(DrainBytes(channel, kMaxDrainBytes + 1, scratch));
    EXPECT_TRUE(channel.outOfStep);
    EXPECT_EQ(channel.Left(), 3u);
}

}  // namespace
}  // namespace orv_stuff
