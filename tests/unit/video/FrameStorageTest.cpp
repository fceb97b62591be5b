#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "FakeDecoder.h"
#include "video/FrameStorage.h"

namespace {

using namespace storage_test;
using namespace std::chrono_literals;
using processing::ArchiveSequenceKey;
using processing::LiveSequenceKey;
using processing::MPEG4FrameStorage;

constexpr double kT0 = 46100.5;
constexpr double kMinute = 60'000.0;  // ms

class FrameStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        Fake().Reset();
        Make();
    }

    void Make(DecoderApi* api = nullptr) {
        storage_.reset();
        processing::FrameStorageOptions options;
        options.threads = 2;
        options.api = api != nullptr ? api : &api_;
        auto clock = [this] { return wall_.load(); };
        options.clocks = {clock, clock};
        storage_ = std::make_unique<MPEG4FrameStorage>(options);
    }

    void Advance(double ms) { wall_ = wall_.load() + ms * kMs; }

    bool PushLive(processing::SequenceKey key, const std::vector<uint8_t>& block, bool first) {
        const bool ok = storage_->PushLiveBlock(key, block.data(), block.size(), first);
        if (auto p = storage_->FindProcessor(key)) {
            EXPECT_TRUE(p->WaitIdle(2s));
        }
        return ok;
    }

    bool TakeLive(processing::SequenceKey key, TOrvFrame& frame) {
        const bool got = storage_->TakeLiveFrame(key, frame);
        if (auto p = storage_->FindProcessor(key)) {
            EXPECT_TRUE(p->WaitIdle(2s));
        }
        return got;
    }

    bool PushArchive(processing::SequenceKey key, const std::vector<uint8_t>& block) {
        return storage_->PushArchiveBlock(key, block.data(), block.size());
    }

    std::atomic<double> wall_{46200.25};
    DecoderApi api_{FakeTable()};
    std::unique_ptr<MPEG4FrameStorage> storage_;
};

// --- live -------------------------------------------------------------------

TEST_F(FrameStorageTest, LiveBlocksAreDecodedAndPacedPerStream) {
    const auto a = LiveSequenceKey(1, 0, 4);
    const auto b = LiveSequenceKey(1, 1, 4);
    ASSERT_TRUE(PushLive(a, DecodableBlock(kT0, 5, 40.0, 11), true));
    ASSERT_TRUE(PushLive(b, DecodableBlock(kT0, 5, 40.0, 22), true));
    EXPECT_EQ(storage_->LiveCount(), 2u);
    TOrvFrame frame;
    ASSERT_TRUE(TakeLive(a, frame));
    EXPECT_EQ(frame.data[0], 11);
    ASSERT_TRUE(TakeLive(b, frame));
    EXPECT_EQ(frame.data[0], 22);
    EXPECT_FALSE(TakeLive(a, frame));  // the next one is 40 ms away
    Advance(40.0);
    EXPECT_TRUE(TakeLive(a, frame));
    bool found = true;
    EXPECT_FALSE(storage_->TakeLiveFrame(LiveSequenceKey(2, 0, 4), frame, &found));
    EXPECT_FALSE(found);
}

TEST_F(FrameStorageTest, ProcessorLimitsFollowTheKeysTopByte) {
    const auto block = DecodableBlock(kT0, 2, 40.0);
    ASSERT_TRUE(PushLive(LiveSequenceKey(15, 0, 1), block, true));
    ASSERT_TRUE(PushLive(LiveSequenceKey(16, 0, 1), block, true));
    const auto low = storage_->FindProcessor(LiveSequenceKey(15, 0, 1))->Limits();
    const auto high = storage_->FindProcessor(LiveSequenceKey(16, 0, 1))->Limits();
    EXPECT_EQ(std::vector<int32_t>({low.keepBehind, low.stepBehind, low.keepAhead, low.stepAhead}),
              std::vector<int32_t>({0, 0, 3, 6}));
    EXPECT_EQ(std::vector<int32_t>({high.keepBehind, high.stepBehind, high.keepAhead, high.stepAhead}),
              std::vector<int32_t>({2, 8, 2, 2}));
}

TEST_F(FrameStorageTest, WithoutDecoderLiveBlocksAreRefused) {
    DecoderApi missing{std::string("/nonexistent/libVEVIDAZev2.so")};
    Make(&missing);
    EXPECT_FALSE(storage_->DecoderAvailable());
    const auto block = DecodableBlock(kT0, 2, 40.0);
    EXPECT_FALSE(PushLive(LiveSequenceKey(1, 0, 0), block, true));
    EXPECT_EQ(storage_->LiveCount(), 0u);
    // The archive path parses but yields no picture.
    EXPECT_TRUE(PushArchive(ArchiveSequenceKey(0, 1, 0, 0), block));
    TOrvFrame frame;
    EXPECT_FALSE(storage_->TakeArchiveFrame(ArchiveSequenceKey(0, 1, 0, 0), frame));
    storage_.reset();
}

TEST_F(FrameStorageTest, IdleSweepDropsOnlyProcessorsThatDeliveredAndWentQuiet) {
    const auto served = LiveSequenceKey(1, 0, 1);
    const auto waiting = LiveSequenceKey(1, 0, 2);
    ASSERT_TRUE(PushLive(served, DecodableBlock(kT0, 2, 40.0), true));
    ASSERT_TRUE(PushLive(waiting, DecodableBlock(kT0, 2, 40.0), true));
    TOrvFrame frame;
    ASSERT_TRUE(TakeLive(served, frame));
    Advance(4'900.0);
    storage_->SweepIdleProcessors();
    EXPECT_EQ(storage_->LiveCount(), 2u);
    Advance(200.0);
    storage_->SweepIdleProcessors();
    EXPECT_EQ(storage_->LiveCount(), 1u);
    EXPECT_FALSE(storage_->FindProcessor(served));
    EXPECT_TRUE(storage_->FindProcessor(waiting));  // never delivered: stays
    storage_->ClearLive();
    EXPECT_EQ(storage_->LiveCount(), 0u);
}

TEST_F(FrameStorageTest, DecodePoolIsSharedAndLivesWithTheLastStorage) {
    auto* pool = MPEG4FrameStorage::SharedPool();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->ThreadCount(), 2u);
    {
        MPEG4FrameStorage second(processing::FrameStorageOptions{5, &api_, {}});
        EXPECT_EQ(MPEG4FrameStorage::SharedPool(), pool);
    }
    EXPECT_EQ(MPEG4FrameStorage::SharedPool(), pool);
    // Work still queued when the last storage goes is dropped without running.
    ASSERT_TRUE(PushLive(LiveSequenceKey(1, 0, 1), DecodableBlock(kT0, 2, 40.0), true));
    const auto block = DecodableBlock(kT0 + 1.0, 2, 40.0);
    storage_->PushLiveBlock(LiveSequenceKey(1, 0, 1), block.data(), block.size(), false);
    storage_.reset();
    EXPECT_EQ(MPEG4FrameStorage::SharedPool(), nullptr);
    EXPECT_EQ(api_.Users(), 0);
}

// --- archive ----------------------------------------------------------------

TEST_F(FrameStorageTest, ArchivePicturesCarryTheBlocksTimeStampsInOrder) {
    const auto key = ArchiveSequenceKey(0, 1, 0, 3);
    ASSERT_TRUE(PushArchive(key, DecodableBlock(kT0, 3, 40.0, 50)));
    TOrvFrame frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(storage_->TakeArchiveFrame(key, frame)) << i;
        EXPECT_NEAR((frame.time - kT0) / kMs, 40.0 * i, 1e-3);
        EXPECT_EQ(frame.ready, 1);
        EXPECT_EQ(frame.camera, 0);
        EXPECT_EQ(frame.isColour, 1);
        ASSERT_EQ(frame.data.size(), 8u * 4u * 2u);  // native YUYV
        EXPECT_EQ(frame.data[0], 50);
    }
    EXPECT_FALSE(storage_->TakeArchiveFrame(key, frame));
    // The next block of the stream goes to a fresh decoder handle.
    const int32_t handles = Fake().getDecoderCalls;
    ASSERT_TRUE(PushArchive(key, DecodableBlock(kT0 + 120 * kMs, 1, 40.0, 60)));
    EXPECT_EQ(Fake().getDecoderCalls, handles + 1);
    EXPECT_EQ(Fake().releaseCalls, handles);
    ASSERT_TRUE(storage_->TakeArchiveFrame(key, frame));
    EXPECT_NEAR((frame.time - kT0) / kMs, 120.0, 1e-3);
    EXPECT_EQ(storage_->ArchiveCount(), 1u);
}

TEST_F(FrameStorageTest, ArchivePictureBeyondTheLastTimeStampIsRefused) {
    const auto key = ArchiveSequenceKey(1, 2, 1, 3);
    // Two time stamps, but the payload decodes into three pictures.
    const auto block = TableBlock({kT0, kT0 + 40 * kMs}, PicturePayload(3));
    ASSERT_TRUE(PushArchive(key, block));
    TOrvFrame frame;
    ASSERT_TRUE(storage_->TakeArchiveFrame(key, frame));
    ASSERT_TRUE(storage_->TakeArchiveFrame(key, frame));
    frame.ready = 7;
    EXPECT_FALSE(storage_->TakeArchiveFrame(key, frame));
    EXPECT_EQ(frame.ready, 7);  // the record was left alone
}

TEST_F(FrameStorageTest, SixtyFifthArchiveStreamIsRefusedUntilOneGoes) {
    const auto block = DecodableBlock(kT0, 1, 40.0);
    for (int camera = 0; camera < 64; ++camera) {
        ASSERT_TRUE(PushArchive(ArchiveSequenceKey(0, 1, 0, camera), block)) << camera;
    }
    const auto extra = ArchiveSequenceKey(0, 1, 0, 64);
    EXPECT_FALSE(PushArchive(extra, block));
    EXPECT_EQ(storage_->ArchiveCount(), 64u);
    // Existing streams still take blocks.
    EXPECT_TRUE(PushArchive(ArchiveSequenceKey(0, 1, 0, 10), block));
    EXPECT_TRUE(storage_->RemoveArchiveStream(ArchiveSequenceKey(0, 1, 0, 10)));
    EXPECT_FALSE(storage_->RemoveArchiveStream(ArchiveSequenceKey(0, 1, 0, 10)));
    EXPECT_TRUE(PushArchive(extra, block));
    EXPECT_EQ(storage_->ArchivePool().Created(), 64);
    // A reset of one channel leaves the other channels' streams decoding.
    ASSERT_TRUE(storage_->RemoveArchiveStream(ArchiveSequenceKey(0, 1, 0, 20)));
    const auto other = ArchiveSequenceKey(3, 1, 0, 20);
    ASSERT_TRUE(PushArchive(other, block));
    storage_->ResetArchive(0);
    EXPECT_EQ(storage_->ArchiveCount(), 1u);
    EXPECT_EQ(storage_->ArchivePool().FreeCount(), 63);
    EXPECT_TRUE(PushArchive(other, DecodableBlock(kT0 + 1.0 / 86400, 1, 40.0)));
    // A reset of one server's streams on a channel leaves the other servers' there.
    const auto otherServer = ArchiveSequenceKey(3, 2, 0, 21);
    ASSERT_TRUE(PushArchive(otherServer, block));
    storage_->ResetArchive(3, 1);
    EXPECT_EQ(storage_->ArchiveCount(), 1u);
    EXPECT_TRUE(PushArchive(otherServer, DecodableBlock(kT0 + 1.0 / 86400, 1, 40.0)));
    storage_->ResetArchive(3);
    EXPECT_EQ(storage_->ArchiveCount(), 0u);
    EXPECT_EQ(storage_->ArchivePool().FreeCount(), 64);
}

TEST_F(FrameStorageTest, UnparsableFirstBlockGivesItsSequenceBack) {
    const std::vector<uint8_t> junk(100, 0x42);
    EXPECT_FALSE(PushArchive(ArchiveSequenceKey(0, 1, 0, 1), junk));
    EXPECT_EQ(storage_->ArchiveCount(), 0u);
    EXPECT_EQ(storage_->ArchivePool().FreeCount(), storage_->ArchivePool().Created());
    // A later bad block of an existing stream fails but the stream stays.
    ASSERT_TRUE(PushArchive(ArchiveSequenceKey(0, 1, 0, 1), DecodableBlock(kT0, 1, 40.0)));
    EXPECT_FALSE(PushArchive(ArchiveSequenceKey(0, 1, 0, 1), junk));
    EXPECT_EQ(storage_->ArchiveCount(), 1u);
}

TEST_F(FrameStorageTest, ArchiveStreamIdleForTwoMinutesGoesAtTheNextPush) {
    const auto idle = ArchiveSequenceKey(0, 1, 0, 1);
    const auto busy = ArchiveSequenceKey(0, 1, 0, 2);
    const auto block = DecodableBlock(kT0, 1, 40.0);
    TOrvFrame frame;
    ASSERT_TRUE(PushArchive(idle, block));  // first push starts the sweep clock
    ASSERT_TRUE(storage_->TakeArchiveFrame(idle, frame));
    Advance(kMinute);
    ASSERT_TRUE(PushArchive(busy, block));
    ASSERT_TRUE(storage_->TakeArchiveFrame(busy, frame));
    Advance(kMinute + 1.0);  // idle: 2 min + 1 ms unused; busy: 1 min
    ASSERT_TRUE(PushArchive(busy, block));
    EXPECT_EQ(storage_->ArchiveCount(), 1u);
    EXPECT_EQ(storage_->ArchivePool().FreeCount(), 1);
    ASSERT_TRUE(storage_->TakeArchiveFrame(busy, frame));  // the survivor still works
    EXPECT_FALSE(storage_->TakeArchiveFrame(idle, frame));
}

TEST_F(FrameStorageTest, StreamNeverTakenFromGoesAtTheFirstSweep) {
    const auto block = DecodableBlock(kT0, 1, 40.0);
    ASSERT_TRUE(PushArchive(ArchiveSequenceKey(0, 1, 0, 1), block));
    Advance(1.0);
    storage_->SweepIdleArchive();
    EXPECT_EQ(storage_->ArchiveCount(), 0u);
}

}  // namespace
