#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "BlockBuilder.h"
#include "video/ReusableStorage.h"
#include "video/Sequence.h"

namespace {

using namespace storage_test;
using processing::ParseBlock;
using processing::Sequence;

constexpr double kT0 = 46000.25;

TEST(ParseBlock, TableBlockReadsTimesRateAndDuration) {
    const auto block = TableBlock(kT0, 25, 40.0, 100);
    for (bool copy : {true, false}) {
        Sequence s;
        ASSERT_TRUE(ParseBlock(block.data(), block.size(), &s, copy)) << copy;
        ASSERT_EQ(s.times.size(), 25u);
        EXPECT_DOUBLE_EQ(s.times[24], kT0 + 24 * 40 * kMs);
        EXPECT_EQ(s.kind, processing::kKindMpeg4);
        EXPECT_EQ(s.frameRate, 25);
        EXPECT_NEAR(s.duration / kMs, 1000.0, 1e-3);  // 25 frames of 40 ms
        EXPECT_EQ(s.timed, 1);
        ASSERT_EQ(s.PayloadSize(), 100);
        EXPECT_EQ(s.PayloadData()[2], 1);
        // Without copying the sequence points into the block itself.
        EXPECT_EQ(s.PayloadData() == block.data() + 28 + 8 * 25, !copy);
    }
}

TEST(ParseBlock, SingleFrameTableBlockHasNoRateOrDuration) {
    const auto block = TableBlock(kT0, 1, 40.0);
    Sequence s;
    ASSERT_TRUE(ParseBlock(block.data(), block.size(), &s, true));
    EXPECT_EQ(s.times.size(), 1u);
    EXPECT_EQ(s.frameRate, 0);
    EXPECT_EQ(s.duration, 0.0);
}

TEST(ParseBlock, AvcStartCodeSetsKindTwo) {
    const auto block = TableBlock(kT0, 3, 40.0, 64, processing::kKindAvc);
    Sequence s;
    ASSERT_TRUE(ParseBlock(block.data(), block.size(), &s, true));
    EXPECT_EQ(s.kind, processing::kKindAvc);
}

TEST(ParseBlock, ParseResetsAReusedSequence) {
    Sequence s;
    const auto first = TableBlock(kT0, 10, 40.0, 500);
    ASSERT_TRUE(ParseBlock(first.data(), first.size(), &s, true));
    s.consumed = 7;
    s.next = 7;
    s.fed = 1;
    const auto chain = ChainBlock({{kT0, Payload(processing::kKindAvc, 10)}});
    ASSERT_TRUE(ParseBlock(chain.data(), chain.size(), &s, true));
    EXPECT_EQ(s.consumed, 0);
    EXPECT_EQ(s.next, 0);
    EXPECT_EQ(s.fed, 0);
    EXPECT_EQ(s.timed, 0);
    EXPECT_EQ(s.times.size(), 1u);
    EXPECT_EQ(s.payload.size(), 10u);
    EXPECT_GE(s.payload.capacity(), 500u);  // buffer kept for reuse
}

// Blocks that must be refused, each with the reason it is bad.
struct BadBlock {
    const char* name;
    std::vector<uint8_t> bytes;
};

std::vector<BadBlock> BadBlocks() {
    std::vector<BadBlock> cases;
    cases.push_back({"Short", std::vector<uint8_t>(23, 0)});
    auto wrongMagic = TableBlock(kT0, 2, 40.0);
    PutU32(wrongMagic, 0, 0x386454);
    cases.push_back({"UnknownMagic", wrongMagic});
    auto noStart = TableBlock({kT0}, std::vector<uint8_t>(16, 0x11));
    cases.push_back({"TablePayloadWithoutStartCode", noStart});
    auto tinyPayload = TableBlock({kT0}, std::vector<uint8_t>{0, 0, 1});
    cases.push_back({"TablePayloadBelowFourBytes", tinyPayload});
    auto tooManyTimes = TableBlock(kT0, 2, 40.0, 8);
    PutU32(tooManyTimes, 20, 3);  // the third time stamp would overlap the payload end
    tooManyTimes.resize(28 + 16 + 4);
    cases.push_back({"TableTimesPastEnd", tooManyTimes});
    auto negativeCount = TableBlock(kT0, 2, 40.0);
    PutU32(negativeCount, 20, 0xFFFFFFFFu);
    cases.push_back({"TableNegativeCount", negativeCount});
    auto zeroCount = TableBlock(std::vector<double>{}, Payload(processing::kKindMpeg4, 16));
    cases.push_back({"TableWithoutTimes", zeroCount});
    auto longPayload = TableBlock(kT0, 2, 40.0, 64);
    PutU32(longPayload, 8, 65);  // announces one byte more than the block holds
    cases.push_back({"TablePayloadPastEnd", longPayload});
    auto hugePayload = TableBlock(kT0, 2, 40.0, 64);
    PutU32(hugePayload, 8, 0x7FFFFFFF);
    cases.push_back({"TablePayloadHuge", hugePayload});
    cases.push_back({"ChainSecondRecordPastEnd",
                     ChainBlock({{kT0, Payload(processing::kKindMpeg4, 40)},
                                 {kT0 + 40 * kMs, Payload(processing::kKindMpeg4, 40), 41}})});
    cases.push_back({"ChainNegativeLength",
                     ChainBlock({{kT0, Payload(processing::kKindMpeg4, 40), 0xFFFFFFF0}})});
    auto trailing = ChainBlock({{kT0, Payload(processing::kKindMpeg4, 40)}});
    trailing.resize(trailing.size() + 10, 0);  // a header fragment behind the last record
    cases.push_back({"ChainTrailingFragment", trailing});
    cases.push_back({"ChainWithoutStartCodes", ChainBlock({{kT0, std::vector<uint8_t>(30, 7)},
                                                           {kT0, Payload(processing::kKindMpeg4, 3)}})});
    return cases;
}

class ParseBlockRefuses : public ::testing::TestWithParam<BadBlock> {};

TEST_P(ParseBlockRefuses, WithAndWithoutCopying) {
    const BadBlock& bad = GetParam();
    for (bool copy : {true, false}) {
        Sequence s;
        EXPECT_FALSE(ParseBlock(bad.bytes.data(), bad.bytes.size(), &s, copy)) << bad.name << " copy=" << copy;
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, ParseBlockRefuses, ::testing::ValuesIn(BadBlocks()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseBlock, NullArgumentsFail) {
    const auto block = TableBlock(kT0, 2, 40.0);
    Sequence s;
    EXPECT_FALSE(ParseBlock(nullptr, block.size(), &s, true));
    EXPECT_FALSE(ParseBlock(block.data(), block.size(), nullptr, true));
}

TEST(ParseBlock, ChainSkipsRecordsWithoutStartCode) {
    const auto p1 = Payload(processing::kKindMpeg4, 30, 1);
    const auto p3 = Payload(processing::kKindMpeg4, 20, 3);
    const auto block = ChainBlock({{kT0, p1}, {kT0 + 1 * kMs, std::vector<uint8_t>(12, 9)},
                                   {kT0 + 2 * kMs, p3}, {kT0 + 3 * kMs, {}}});
    Sequence copied;
    ASSERT_TRUE(ParseBlock(block.data(), block.size(), &copied, true));
    EXPECT_EQ(copied.times, (std::vector<double>{kT0, kT0 + 2 * kMs}));
    ASSERT_EQ(copied.payload.size(), 50u);
    EXPECT_EQ(copied.payload[29], 1);
    EXPECT_EQ(copied.payload[30], 0);  // second start code follows directly
    EXPECT_EQ(copied.payload[49], 3);
    EXPECT_EQ(copied.frameRate, 0);
    EXPECT_EQ(copied.timed, 0);

    Sequence pointed;
    ASSERT_TRUE(ParseBlock(block.data(), block.size(), &pointed, false));
    EXPECT_EQ(pointed.times.size(), 2u);
    EXPECT_EQ(pointed.PayloadData(), block.data() + 24);  // first contributing record only
    EXPECT_EQ(pointed.PayloadSize(), 30);
}

TEST(SequenceKeys, LayoutOfLiveAndArchiveKeys) {
    EXPECT_EQ(processing::LiveSequenceKey(3, 1, 4), 0x00310004);
    EXPECT_EQ(processing::ArchiveSequenceKey(0, 3, 1, 2047), 0x103107FF);
    EXPECT_EQ(processing::KeyHighByte(processing::LiveSequenceKey(15, 0xF, 0xFFFF)), 0u);
    EXPECT_EQ(processing::KeyHighByte(processing::LiveSequenceKey(16, 0, 0)), 1u);
    EXPECT_EQ(processing::ArchiveSequenceKey(3, 0, 0, 0), static_cast<int32_t>(0x40000000));
}

// --- pools -----------------------------------------------------------------

TEST(SequencePool, CreatesUpToCapacityThenRefuses) {
    helpers::SequenceReusableStorage pool(3);
    std::vector<std::shared_ptr<Sequence>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(pool.AcquireSized(10));
        ASSERT_TRUE(held.back());
    }
    EXPECT_FALSE(pool.AcquireSized(10));
    EXPECT_FALSE(pool.Acquire());
    pool.Release(held[1]);
    EXPECT_EQ(pool.Acquire(), held[1]);
    EXPECT_EQ(pool.Created(), 3);
}

TEST(SequencePool, ReleasingTwiceDoesNotHandOutOneSequenceTwice) {
    helpers::SequenceReusableStorage pool(4);
    auto s = pool.Acquire();
    pool.Release(s);
    pool.Release(s);
    pool.Release(nullptr);
    auto a = pool.Acquire();
    auto b = pool.Acquire();
    EXPECT_NE(a, b);
}

class BestFit : public ::testing::TestWithParam<std::pair<size_t, size_t>> {};

TEST_P(BestFit, PicksByPayloadCapacity) {
    const auto [wanted, expected] = GetParam();
    helpers::SequenceReusableStorage pool(8);
    std::vector<std::shared_ptr<Sequence>> all;
    for (size_t cap : {1000u, 300u, 5000u, 2000u}) {
        all.push_back(pool.AcquireSized(cap));
        ASSERT_EQ(all.back()->payload.capacity(), cap);
    }
    for (auto& s : all) pool.Release(s);
    auto got = pool.AcquireSized(wanted);
    ASSERT_TRUE(got);
    EXPECT_GE(got->payload.capacity(), wanted);
    // Identify the picked sequence by its place in the set we created.
    const size_t caps[] = {1000, 300, 5000, 2000};
    size_t pickedCap = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == got) pickedCap = caps[i];
    }
    EXPECT_EQ(pickedCap, expected);
    EXPECT_EQ(pool.FreeCount(), 3);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BestFit,
                         ::testing::Values(std::make_pair(size_t{2000}, size_t{2000}),  // exact
                                           std::make_pair(size_t{1500}, size_t{2000}),  // smallest above
                                           std::make_pair(size_t{100}, size_t{300}),
                                           std::make_pair(size_t{4999}, size_t{5000}),
                                           std::make_pair(size_t{9000}, size_t{5000})));  // largest below

}  // namespace

namespace {

TEST(ParseBlock, ImplausibleTimeStampsKeepTheRateInRange) {
    using namespace storage_test;
    processing::Sequence s;
    // Two frames 1e-15 days apart would mean ~1e10 frames per second, beyond
    // what an int32 holds; the rate is bounded instead of overflowing.
    const auto block = TableBlock({1.0, 1.0 + 1e-15}, Payload(processing::kKindMpeg4, 16));
    ASSERT_TRUE(processing::ParseBlock(block.data(), block.size(), &s, true));
    EXPECT_EQ(s.frameRate, 1'000'000);
    const auto backwards = TableBlock({46000.0, 45999.0}, Payload(processing::kKindMpeg4, 16));
    ASSERT_TRUE(processing::ParseBlock(backwards.data(), backwards.size(), &s, true));
    EXPECT_EQ(s.frameRate, 0);
    EXPECT_EQ(s.duration, 0.0);
}

}  // namespace
