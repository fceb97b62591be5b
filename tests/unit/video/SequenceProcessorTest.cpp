#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "AllocationCounter.h"
#include "FakeDecoder.h"
#include "video/SequenceProcessor.h"

namespace {

using namespace storage_test;
using namespace std::chrono_literals;
using processing::MPEG4Decoder;
using processing::MPEG4SequenceProcessor;
using processing::MPEG4TimedSequenceProcessor;

constexpr double kT0 = 46100.5;

// A decoder pool, the scripted decoder and a wall clock the test moves.
class ProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { Fake().Reset(); }

    processing::ProcessorClocks Clocks() {
        auto clock = [this] { return wall_.load(); };
        return {clock, clock};
    }

    std::shared_ptr<MPEG4TimedSequenceProcessor> MakeTimed(processing::ProcessorLimits limits = processing::kLiveLimits) {
        return std::make_shared<MPEG4TimedSequenceProcessor>(7, limits, pool_, std::make_shared<MPEG4Decoder>(api_),
                                                             Clocks());
    }

    void Advance(double ms) { wall_ = wall_.load() + ms * kMs; }

    template <typename Processor>
    void Settle(Processor& p) {
        ASSERT_TRUE(p.WaitIdle(2s));
    }

    // Pushes and waits until the block's decoding round has run.
    void Push(MPEG4TimedSequenceProcessor& p, const std::vector<uint8_t>& block, bool first = false) {
        ASSERT_TRUE(p.PushTimedBlock(block.data(), block.size(), first, 1));
        Settle(p);
    }

    // Takes once and lets the round that the take started finish.
    bool Take(MPEG4SequenceProcessor& p, TOrvFrame& frame) {
        const bool got = p.TakeFrame(true, frame);
        EXPECT_TRUE(p.WaitIdle(2s));
        return got;
    }

public:
    // For helpers outside the fixture.
    bool TakeOnce(MPEG4SequenceProcessor& p, TOrvFrame& frame) { return Take(p, frame); }
    void Move(double ms) { Advance(ms); }

protected:
    std::atomic<double> wall_{46200.25};
    DecoderApi api_{FakeTable()};
    processing::DecodeThreadPool pool_{2};
};

TEST_F(ProcessorTest, FirstPictureComesAtOnceAsBgrAndAnchorsTheTimeLine) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 25, 40.0, 77), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    EXPECT_EQ(frame.time, kT0);
    EXPECT_EQ(frame.width, 8);
    EXPECT_EQ(frame.height, 4);
    EXPECT_EQ(frame.format, Bgr24);
    ASSERT_EQ(frame.data.size(), 8u * 4u * 3u);
    for (uint8_t byte : frame.data) ASSERT_EQ(byte, 77);  // neutral chroma: B = G = R = Y
    EXPECT_EQ(p->Resync(), 0);
    EXPECT_EQ(p->TimeLine().Base(), kT0);
    EXPECT_EQ(p->TimeLine().Start(), wall_.load());
    EXPECT_EQ(p->LastTaken(), kT0);
    EXPECT_EQ(p->LastAccess(), wall_.load());
}

TEST_F(ProcessorTest, GreyPicturesAreWidenedToBgr) {
    Fake().pixelFormat = decoder_abi::kPixelGrey;
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 2, 40.0, 33), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    EXPECT_EQ(frame.isColour, 0);
    ASSERT_EQ(frame.data.size(), 8u * 4u * 3u);
    for (uint8_t byte : frame.data) ASSERT_EQ(byte, 33);
}

TEST_F(ProcessorTest, NoPictureLeavesMoreThan36MsEarly) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 25, 40.0), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    for (int n = 1; n < 10; ++n) {
        // 36.5 ms before the picture is due: refused, and the picture stays.
        Advance(40.0 - 36.5);
        EXPECT_FALSE(Take(*p, frame)) << n;
        Advance(1.0);  // 35.5 ms early
        ASSERT_TRUE(Take(*p, frame)) << n;
        EXPECT_NEAR((frame.time - kT0) / kMs, 40.0 * n, 1e-3);
        Advance(35.5);
    }
    EXPECT_EQ(p->LateCount(), 9 * 2);  // every candidate was on time or early
}

// (frames in the last pushed block, lead in ms before the far picture)
class Reanchor : public ProcessorTest, public ::testing::WithParamInterface<std::tuple<int, double>> {};

TEST_P(Reanchor, PictureFarAheadMovesTheTimeLine) {
    const auto [frames, leadMs] = GetParam();
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 1, 40.0), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    const double far = kT0 + 1500.0 * kMs;
    Push(*p, DecodableBlock(far, frames, 40.0));
    Advance(10.0);
    EXPECT_FALSE(Take(*p, frame));  // 1490 ms ahead
    EXPECT_NEAR((far - p->TimeLine().Base()) / kMs, leadMs, 1e-3);
    EXPECT_EQ(p->TimeLine().Start(), wall_.load());
    EXPECT_EQ(p->LateCount(), 0);
    Advance(leadMs - 37.0);
    EXPECT_FALSE(Take(*p, frame));
    Advance(1.0);
    ASSERT_TRUE(Take(*p, frame));
    EXPECT_EQ(frame.time, far);
}

INSTANTIATE_TEST_SUITE_P(Leads, Reanchor, ::testing::Values(std::make_tuple(1, 200.0), std::make_tuple(5, 900.0)));

TEST_F(ProcessorTest, AheadUpTo1000MsDoesNotReanchor) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 1, 40.0), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    Push(*p, DecodableBlock(kT0 + 999.0 * kMs, 1, 40.0));
    EXPECT_FALSE(Take(*p, frame));
    EXPECT_EQ(p->TimeLine().Base(), kT0);
    Advance(999.0 - 30.0);
    ASSERT_TRUE(Take(*p, frame));
}

TEST_F(ProcessorTest, ResynchronisesAfter100LatePictures) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 130, 40.0), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    const double anchoredAt = wall_.load();
    Advance(60'000.0);  // a minute behind: every queued picture is late
    // Each call passes over the late pictures that have a newer decoded one behind them
    // and shows the newest decoded; the hundredth late candidate starts the
    // resynchronisation, and the picture after it anchors the time line anew.
    double last = frame.time;
    int calls = 0;
    while (p->TimeLine().Start() == anchoredAt && calls < 130) {
        ASSERT_TRUE(Take(*p, frame)) << calls;
        EXPECT_GT(frame.time, last) << calls;
        last = frame.time;
        ++calls;
    }
    ASSERT_LT(calls, 130) << "the time line was never anchored again";
    EXPECT_GT((frame.time - kT0) / kMs, 40.0 * 100 - 1e-3);
    EXPECT_EQ(p->Resync(), 0);
    EXPECT_EQ(p->TimeLine().Base(), frame.time);
    EXPECT_EQ(p->TimeLine().Start(), wall_.load());
    // Back on the line: the next picture comes 40 ms later, not before.
    EXPECT_FALSE(Take(*p, frame));
    Advance(4.0);
    ASSERT_TRUE(Take(*p, frame));
    EXPECT_NEAR((frame.time - last) / kMs, 40.0, 1e-3);
}

TEST_F(ProcessorTest, AnOnTimePictureBreaksTheLateRun) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 130, 40.0), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    Advance(40.0 * 60);  // pictures 1..59 late, 60 due
    for (int calls = 0; calls < 60 && (frame.time - kT0) / kMs < 40.0 * 60 - 1e-3; ++calls) {
        ASSERT_TRUE(Take(*p, frame)) << calls;  // late, but the newest decoded: shown
    }
    EXPECT_NEAR((frame.time - kT0) / kMs, 40.0 * 60, 1e-3);
    EXPECT_EQ(p->LateCount(), 1);
    EXPECT_EQ(p->Resync(), 0);
}

// Pictures 40 ms apart decoded ahead; after the first, the host calls `calls`
// times, the clock moving by `step(n)` ms before call n. The times shown.
template <typename Step>
std::vector<double> PollTimes(ProcessorTest& test, MPEG4TimedSequenceProcessor& p, int calls, Step step) {
    std::vector<double> shown;
    TOrvFrame frame;
    if (!test.TakeOnce(p, frame)) return shown;
    shown.push_back(frame.time);
    for (int n = 1; n <= calls; ++n) {
        test.Move(step(n));
        if (test.TakeOnce(p, frame)) shown.push_back(frame.time);
    }
    return shown;
}

TEST_F(ProcessorTest, HostPollingAtTheFrameRateIsNotStarved) {
    // Every call comes 45 ms after the last while pictures are 40 ms apart and decoded
    // ahead: each call must still show a picture, the newest one that is due.
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 60, 40.0), true);
    const std::vector<double> shown = PollTimes(*this, *p, 30, [](int) { return 45.0; });
    ASSERT_FALSE(shown.empty());
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(std::adjacent_find(shown.begin(), shown.end()), shown.end()) << "a picture shown twice";
    // Skipping one late picture per call would show none of them; a call may still find
    // nothing when the pictures decoded ahead have all been passed over.
    EXPECT_GE(shown.size(), 26u);
    // 30 calls 45 ms apart cover 1350 ms of stream time: the shown picture keeps up.
    EXPECT_NEAR((shown.back() - kT0) / kMs, 1350.0, 80.0);
    EXPECT_EQ(p->Resync(), 0);
}

TEST_F(ProcessorTest, HostPollingInStepWithThePicturesGetsEveryOne) {
    // Every call comes just after a picture became due (the time a call takes), with
    // the next picture decoded and 40 ms ahead: the due picture is the one to show.
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 60, 40.0), true);
    const std::vector<double> shown = PollTimes(*this, *p, 30, [](int n) { return n == 1 ? 40.01 : 40.0; });
    ASSERT_EQ(shown.size(), 31u) << "pictures were passed over or refused";
    for (size_t i = 1; i < shown.size(); ++i) EXPECT_NEAR((shown[i] - shown[i - 1]) / kMs, 40.0, 1e-3) << i;
}

TEST_F(ProcessorTest, LatePictureIsDeliveredWhenNothingNewerIsDecoded) {
    // A host polling a little slower than the frame rate: each picture is some ms late
    // when it is asked for, but it is the newest there is, so it must still be shown.
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 1, 40.0), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    for (int n = 1; n <= 5; ++n) {
        Push(*p, DecodableBlock(kT0 + 40.0 * n * kMs, 1, 40.0));
        Advance(45.0);  // 5 ms more late with every call
        ASSERT_TRUE(Take(*p, frame)) << n;
        EXPECT_NEAR((frame.time - kT0) / kMs, 40.0 * n, 1e-3) << n;
    }
    EXPECT_EQ(p->LateCount(), -5);  // they were late, and are counted as such
}

TEST_F(ProcessorTest, FirstBlockFlagRestartsTheStream) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0 + 10'000.0 * kMs, 5, 40.0, 10), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    // A new stream whose times lie before everything seen so far: with the
    // first-block flag its first picture is delivered at once all the same.
    Push(*p, DecodableBlock(kT0, 5, 40.0, 20), true);
    ASSERT_TRUE(Take(*p, frame));
    EXPECT_EQ(frame.time, kT0);
    EXPECT_EQ(frame.data[0], 20);
    EXPECT_EQ(p->Queued(), 1);
}

TEST_F(ProcessorTest, RepeatedBlockIsNotDecodedTwice) {
    auto p = MakeTimed();
    const auto block = DecodableBlock(kT0, 5, 40.0);
    Push(*p, block, true);
    Push(*p, block);
    Push(*p, DecodableBlock(kT0, 3, 40.0, 99));  // same first time stamp, other content
    EXPECT_EQ(p->Queued(), 1);
    std::vector<double> times;
    TOrvFrame frame;
    for (int i = 0; i < 20; ++i) {
        if (Take(*p, frame)) times.push_back(frame.time);
        Advance(40.0);
    }
    EXPECT_EQ(times.size(), 5u);
    EXPECT_EQ(Fake().setBytesCalls.load(), 1);
    EXPECT_EQ(Fake().getFrameCalls.load(), 5);
    // Both repeats went back to the pool: only the queued block holds a sequence.
    EXPECT_EQ(p->SequencePool().FreeCount(), p->SequencePool().Created() - 1);
}

TEST_F(ProcessorTest, BlocksAreDecodedInTimeOrderWhateverOrderTheyArrive) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 1, 40.0, 1), true);
    TOrvFrame frame;
    ASSERT_TRUE(Take(*p, frame));
    for (int i : {3, 2, 4}) Push(*p, DecodableBlock(kT0 + i * 40.0 * kMs, 1, 40.0, static_cast<uint8_t>(i)));
    std::vector<int> order;
    for (int i = 0; i < 6; ++i) {
        Advance(40.0);
        if (Take(*p, frame)) order.push_back(frame.data[0]);
    }
    // Block 2 arrived after block 3 had been decoded; it is still shown, in place.
    EXPECT_EQ(order, (std::vector<int>{2, 3, 4}));
}

TEST_F(ProcessorTest, DecodesAheadOnlyUpToTheLimits) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 50, 40.0), true);
    EXPECT_EQ(p->Ready(), 6);  // one round: stepAhead pictures
    TOrvFrame frame;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(p->TakeFrame(true, frame) || i > 0);
        Settle(*p);
        EXPECT_LE(p->Ready(), 6);
        Advance(40.0);
    }
    // Takes 1 and 2 left 5 and 4 ahead: no decoding. Take 3 left 3 ahead, so
    // that round refilled the ring (3 more); takes 4 and 5 again found it full.
    EXPECT_EQ(Fake().getFrameCalls.load(), 6 + 3);
}

TEST_F(ProcessorTest, SetBytesFailureIsRetriedOnTheNextRound) {
    Fake().failSetBytes = 1;
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 3, 40.0), true);
    EXPECT_EQ(p->Ready(), 0);
    TOrvFrame frame;
    EXPECT_FALSE(Take(*p, frame));  // starts the next round
    ASSERT_TRUE(Take(*p, frame));
    EXPECT_EQ(frame.time, kT0);
    EXPECT_EQ(Fake().setBytesCalls.load(), 2);
}

TEST_F(ProcessorTest, WithoutDecoderHandleNoPictureAppears) {
    Fake().failGetDecoder = true;
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 3, 40.0), true);
    TOrvFrame frame;
    EXPECT_FALSE(Take(*p, frame));
    EXPECT_EQ(Fake().setBytesCalls.load(), 0);
}

TEST_F(ProcessorTest, RefusesEmptyAndUnparsableBlocksAndReturnsTheirSequences) {
    auto p = MakeTimed();
    const std::vector<uint8_t> junk(64, 0xEE);
    EXPECT_FALSE(p->PushTimedBlock(nullptr, 10, true, 1));
    EXPECT_FALSE(p->PushTimedBlock(junk.data(), 0, true, 1));
    EXPECT_FALSE(p->PushTimedBlock(junk.data(), junk.size(), true, 1));
    EXPECT_EQ(p->SequencePool().FreeCount(), p->SequencePool().Created());
}

TEST_F(ProcessorTest, PoolOf160SequencesBoundsTheQueue) {
    Fake().failGetDecoder = true;  // nothing is ever decoded, so nothing is passed
    auto p = MakeTimed();
    int accepted = 0;
    for (int i = 0; i < 170; ++i) {
        const auto block = DecodableBlock(kT0 + i * 40.0 * kMs, 1, 40.0);
        if (p->PushTimedBlock(block.data(), block.size(), i == 0, 1)) ++accepted;
    }
    Settle(*p);
    EXPECT_EQ(accepted, 160);
    EXPECT_EQ(p->Queued(), 160);
}

// The plain processor hands pictures out as fast as they are asked for.
TEST_F(ProcessorTest, TrimsPassedBlocksWhenMoreThan81AreQueued) {
    auto p = std::make_shared<MPEG4SequenceProcessor>(9, processing::kLiveLimits, pool_,
                                                      std::make_shared<MPEG4Decoder>(api_), Clocks());
    TOrvFrame frame;
    auto push = [&](int i) {
        const auto block = DecodableBlock(kT0 + i * 40.0 * kMs, 1, 40.0);
        ASSERT_TRUE(p->PushBlock(block.data(), block.size(), i == 0, 1, nullptr, nullptr));
        Settle(*p);
    };
    for (int i = 0; i < 40; ++i) {
        push(i);
        ASSERT_TRUE(Take(*p, frame)) << i;
    }
    ASSERT_EQ(p->Queued(), 40);
    ASSERT_EQ(p->CurrentIndex(), 39);
    for (int i = 40; i < 81; ++i) push(i);
    EXPECT_EQ(p->Queued(), 81);  // at the bound nothing is dropped
    const int32_t currentBefore = p->CurrentIndex();
    push(81);
    EXPECT_EQ(p->Queued(), 82 - 27);
    EXPECT_EQ(p->CurrentIndex(), currentBefore - 27);
    // The pictures still waiting were not touched by the trim.
    int delivered = 0;
    while (Take(*p, frame)) ++delivered;
    EXPECT_GE(delivered, 1);
    EXPECT_EQ(frame.time, kT0 + (40 + delivered - 1) * 40.0 * kMs);
}

TEST_F(ProcessorTest, TrimDropsOnlyPassedBlocks) {
    Fake().failGetDecoder = true;  // current stays at the front
    auto p = std::make_shared<MPEG4SequenceProcessor>(9, processing::kLiveLimits, pool_,
                                                      std::make_shared<MPEG4Decoder>(api_), Clocks());
    for (int i = 0; i < 90; ++i) {
        const auto block = DecodableBlock(kT0 + i * 40.0 * kMs, 1, 40.0);
        ASSERT_TRUE(p->PushBlock(block.data(), block.size(), i == 0, 1, nullptr, nullptr));
    }
    Settle(*p);
    EXPECT_EQ(p->Queued(), 90);
    EXPECT_EQ(p->CurrentIndex(), 0);
}

TEST_F(ProcessorTest, SteadyStateReusesEveryBuffer) {
    auto p = MakeTimed();
    TOrvFrame frame;
    Push(*p, DecodableBlock(kT0, 10, 40.0), true);
    ASSERT_TRUE(Take(*p, frame));
    // Warm up: passed blocks stay queued until the queue trims itself at 82,
    // and every buffer in the ring reaches its final size.
    for (int i = 1; i < 120; ++i) {
        Push(*p, DecodableBlock(kT0 + i * 400.0 * kMs, 10, 40.0));
        for (int k = 0; k < 10; ++k) {
            Advance(40.0);
            Take(*p, frame);
        }
    }
    const int32_t created = p->SequencePool().Created();
    std::vector<std::vector<uint8_t>> blocks;
    for (int i = 120; i < 200; ++i) blocks.push_back(DecodableBlock(kT0 + i * 400.0 * kMs, 10, 40.0));
    int delivered = 0;
    std::set<const uint8_t*> buffers;  // the picture buffers the caller was handed
    StartCountingWorkerAllocations();
    for (const auto& block : blocks) {
        Push(*p, block);
        for (int k = 0; k < 10; ++k) {
            Advance(40.0);
            delivered += Take(*p, frame) ? 1 : 0;
            buffers.insert(frame.data.data());
        }
    }
    const int64_t workerAllocations = StopCountingWorkerAllocations();
    EXPECT_EQ(delivered, 800);
    if (CountingAvailable()) {
        EXPECT_EQ(workerAllocations, 0) << "decoding, converting and storing 800 pictures";
    }
    EXPECT_EQ(p->SequencePool().Created(), created);
    // Pictures are handed over, not copied: the caller's buffer goes back into the
    // ring, so the same few buffers circulate (slots, the two working buffers and
    // the caller's record).
    const size_t ring = static_cast<size_t>(processing::kLiveLimits.stepBehind + processing::kLiveLimits.stepAhead) + 3;
    EXPECT_LE(buffers.size(), ring);
}

TEST_F(ProcessorTest, APictureTakenIsNotOverwrittenByLaterDecoding) {
    auto p = MakeTimed();
    Push(*p, DecodableBlock(kT0, 3, 40.0, 10), true);
    TOrvFrame held;
    ASSERT_TRUE(Take(*p, held));
    // Many more pictures of another brightness go through every slot.
    TOrvFrame other;
    for (int i = 1; i <= 6; ++i) {
        Push(*p, DecodableBlock(kT0 + i * 120.0 * kMs, 3, 40.0, 200));
        for (int k = 0; k < 3; ++k) {
            Advance(40.0);
            Take(*p, other);
        }
    }
    ASSERT_EQ(held.data.size(), 8u * 4u * 3u);
    for (uint8_t byte : held.data) ASSERT_EQ(byte, 10);
    EXPECT_EQ(held.time, kT0);
    ASSERT_FALSE(other.data.empty());
    EXPECT_EQ(other.data[0], 200);
    EXPECT_NE(other.data.data(), held.data.data());
}

TEST(AllocationCounter, SeesAllocationsOfOtherThreads) {
    if (!CountingAvailable()) GTEST_SKIP() << "sanitizer build";
    StartCountingWorkerAllocations();
    std::thread([] { auto p = std::make_unique<std::vector<int>>(100); }).join();
    EXPECT_GE(StopCountingWorkerAllocations(), 1);
}

}  // namespace
