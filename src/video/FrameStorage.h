// The registry of decoding streams: one paced sequence processor per live
// stream, and one decoder with its sequence per archive stream (archive pictures
// are decoded synchronously on the caller's thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "video/DecodeThreadPool.h"
#include "video/DecoderApi.h"
#include "video/ReusableStorage.h"
#include "video/Sequence.h"
#include "video/SequenceProcessor.h"
#include "video/TOrvFrame.h"

namespace processing {

struct FrameStorageOptions {
    // Workers of the process-wide decode pool; used only by the storage that
    // creates the pool.
    size_t threads = DecodeThreadPool::DefaultThreadCount();
    DecoderApi* api = nullptr;  // nullptr: the process-wide plug-in table
    ProcessorClocks clocks;     // utc: archive aging and idle checks; local: time lines
};

class MPEG4FrameStorage {
public:
    static constexpr double kArchiveAging = 0.0013888888888888887;     // 2 minutes, in days
    static constexpr double kIdleProcessor = 5.787037037037037e-05;    // 5 seconds
    static constexpr double kDeliveredMark = 1.0683760683760684e-05;   // times above this are real
    static constexpr int32_t kArchivePoolCapacity = helpers::SequenceReusableStorage::kStorageCapacity;

    struct ArchiveStream {
        SequenceKey key = 0;
        double lastUse = 0.0;
        std::shared_ptr<MPEG4Decoder> decoder;
        std::shared_ptr<Sequence> sequence;
    };

    explicit MPEG4FrameStorage(size_t threads = DecodeThreadPool::DefaultThreadCount());
    explicit MPEG4FrameStorage(FrameStorageOptions options);
    virtual ~MPEG4FrameStorage();
    MPEG4FrameStorage(const MPEG4FrameStorage&) = delete;
    MPEG4FrameStorage& operator=(const MPEG4FrameStorage&) = delete;

    // Live: hands a block to the stream's processor, creating it on first use.
    // False when no decoder is available or the block is refused.
    bool PushLiveBlock(SequenceKey key, const uint8_t* data, size_t length, bool first);
    // Next paced picture of a live stream (Bgr24). `found` tells whether the
    // stream has a processor at all, so a caller can fall back to another key.
    // Lookup and take happen under the live list's mutex, which is held while a
    // processor is created, pushed to or asked for a frame.
    bool TakeLiveFrame(SequenceKey key, TOrvFrame& frame, bool* found = nullptr);
    std::shared_ptr<MPEG4TimedSequenceProcessor> FindProcessor(SequenceKey key) const;
    // Drops processors that delivered before but were not asked for 5 seconds.
    void SweepIdleProcessors();
    // Drops every live stream (no live request for a while).
    void ClearLive();

    // Archive: decodes on the caller's thread. `data` is read during the call only.
    bool PushArchiveBlock(SequenceKey key, const uint8_t* data, size_t length);
    bool TakeArchiveFrame(SequenceKey key, TOrvFrame& frame);
    // Drops the streams of one archive channel (a seek or a fresh start on it),
    // or only those of one server on it.
    void ResetArchive(int32_t channel);
    void ResetArchive(int32_t channel, int32_t server);
    void SweepIdleArchive();
    bool RemoveArchiveStream(SequenceKey key);

    bool DecoderAvailable() const;
    size_t LiveCount() const;
    size_t ArchiveCount() const;
    const helpers::SequenceReusableStorage& ArchivePool() const { return archivePool_; }

    // The process-wide decode pool while any storage exists.
    static DecodeThreadPool* SharedPool();

private:
    struct LiveEntry {
        SequenceKey key;
        std::shared_ptr<MPEG4TimedSequenceProcessor> processor;
    };

    double UtcNow() const { return clocks_.utc(); }
    ArchiveStream* FindArchive(SequenceKey key);
    // Releases the sequence of every stream `drop` selects, keeping the others' order.
    template <typename Predicate>
    void DropArchiveLocked(Predicate drop);
    bool FeedArchive(ArchiveStream& stream);

    DecoderApi& api_;
    ProcessorClocks clocks_;
    DecodeThreadPool* pool_ = nullptr;

    mutable std::mutex liveMutex_;
    std::vector<LiveEntry> live_;

    mutable std::mutex archiveMutex_;
    std::vector<ArchiveStream> archive_;
    helpers::SequenceReusableStorage archivePool_{kArchivePoolCapacity};
    double lastArchiveSweep_ = 0.0;
};

}  // namespace processing
