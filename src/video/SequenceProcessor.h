// Sequence processors: queue the compressed blocks of one live stream in time
// order, decode a few pictures ahead on the decode pool and keep them, as BGR,
// in a small ring of frame slots from which callers take them. The timed variant
// hands pictures out at the pace at which they were recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "video/DecodeThreadPool.h"
#include "video/DecoderApi.h"
#include "video/OrvTimeLine.h"
#include "video/ReusableStorage.h"
#include "video/Sequence.h"
#include "video/TOrvFrame.h"

namespace processing {

struct ProcessorLimits {
    int32_t keepBehind = 0;
    int32_t stepBehind = 0;
    int32_t keepAhead = 3;  // stop decoding while more pictures than this wait
    int32_t stepAhead = 6;  // at most this many pictures per decoding round
};

inline constexpr ProcessorLimits kLiveLimits{0, 0, 3, 6};
inline constexpr ProcessorLimits kWideKeyLimits{2, 8, 2, 2};

// Clocks in days since 1899-12-30: `utc` stamps the last access, `local` drives
// the time line. Empty members select the system clocks.
struct ProcessorClocks {
    OrvTimeLine::WallClock utc;
    OrvTimeLine::WallClock local;
};

class MPEG4SequenceProcessor : public std::enable_shared_from_this<MPEG4SequenceProcessor> {
public:
    static constexpr size_t kQueueReserve = 91;
    static constexpr size_t kTrimAbove = 81;  // more queued blocks than this trigger trimming
    static constexpr size_t kTrimStep = 27;   // at most this many passed blocks go per trim

    // Must be owned by a std::shared_ptr: posted work keeps the processor alive.
    // The pool must outlive the processor.
    MPEG4SequenceProcessor(SequenceKey number, ProcessorLimits limits, DecodeThreadPool& pool,
                           std::shared_ptr<MPEG4Decoder> decoder, ProcessorClocks clocks = {});
    virtual ~MPEG4SequenceProcessor();
    MPEG4SequenceProcessor(const MPEG4SequenceProcessor&) = delete;
    MPEG4SequenceProcessor& operator=(const MPEG4SequenceProcessor&) = delete;

    // Parses a block (copying it) and queues it for decoding. `first` drops
    // everything queued and decoded before. Outputs: the block's middle time
    // stamp and whether it holds a single frame.
    virtual bool PushBlock(const uint8_t* data, size_t length, bool first, int32_t direction, double* middleTime,
                           int32_t* singleFrame);
    // Hands the earliest decoded picture after the last one taken over to
    // `frame` (buffers are exchanged, not copied: `frame`'s old buffers go back to
    // the processor). Found or not, the next decoding round is started.
    virtual bool TakeFrame(bool forward, TOrvFrame& frame);
    virtual bool SetHint(bool value);

    SequenceKey Number() const { return number_; }
    const ProcessorLimits& Limits() const { return limits_; }
    double LastTaken() const;
    double LastAccess() const;

    // Observers for diagnostics and tests. Queued() and CurrentIndex() are
    // snapshots taken after each decoding round.
    int32_t Queued() const { return queued_.load(); }
    int32_t CurrentIndex() const { return currentSnapshot_.load(); }
    int32_t Ready() const;  // decoded pictures after the last one taken
    const helpers::SequenceReusableStorage& SequencePool() const { return sequencePool_; }
    // Waits until the work posted before this call has run. False on time-out.
    bool WaitIdle(std::chrono::milliseconds timeout);

protected:
    // Index of the slot with the earliest picture after lastTaken_, or -1.
    // Caller holds mutex_.
    int FindNextSlotLocked() const;
    void PostSequence(std::shared_ptr<Sequence> sequence, bool reset, int32_t direction);
    // Starts a decoding round after a take. A round queued by an earlier take that
    // has not begun yet sees this take too, so no second one is queued for the
    // same direction: a host polling often does not flood the workers.
    void RequestRound(int32_t direction);
    double UtcNow() const { return clocks_.utc(); }

    mutable std::mutex mutex_;  // slots_, lastTaken_, lastAccess_
    std::vector<std::shared_ptr<TOrvFrame>> slots_;
    double lastTaken_ = 0.0;
    double lastAccess_ = 0.0;
    ProcessorClocks clocks_;

private:
    // Decoding round, on the strand.
    void OnSequence(const std::shared_ptr<Sequence>& sequence, bool reset, int32_t direction);
    Sequence* SelectSequence(const std::shared_ptr<Sequence>& sequence, bool reset, int32_t direction);
    int32_t FramesToDecode(const Sequence& current);
    void DecodeFrames(Sequence& sequence, int32_t count);
    bool ConvertWorkingToBgr(int32_t pixelFormat);
    void StoreDecodedFrame();

    SequenceKey number_;
    ProcessorLimits limits_;
    DecodeThreadPool& pool_;
    DecodeThreadPool::Strand strand_;
    std::shared_ptr<MPEG4Decoder> decoder_;
    helpers::SequenceReusableStorage sequencePool_{helpers::SequenceReusableStorage::kProcessorCapacity};

    // Strand-only state.
    std::vector<std::shared_ptr<Sequence>> queue_;
    size_t current_ = 0;
    int32_t codecKind_ = 0;
    int32_t direction_ = 1;
    bool hint_ = false;
    TOrvFrame working_;
    platform::Bytes conversion_;

    std::atomic<int32_t> queued_{0};
    std::atomic<int32_t> currentSnapshot_{0};
    // Direction of the take-started round that is queued and has not begun, or -1.
    std::atomic<int32_t> pendingRound_{-1};
};

// Paces delivery against a time line: the first picture after a (re)start comes
// at once and anchors the line; later pictures only when the line has reached
// them, late ones are dropped, and the line is re-anchored when a picture is far
// ahead or when too many in a row were late.
class MPEG4TimedSequenceProcessor : public MPEG4SequenceProcessor {
public:
    static constexpr double kEarlyMs = 36.0;       // a picture may leave this much before its time
    static constexpr double kReanchorMs = 1000.0;  // beyond this the line jumps to the picture
    static constexpr double kLeadMs = 900.0;       // re-anchored this far before the picture
    static constexpr double kLeadSingleMs = 200.0;  //   ... for single-frame blocks
    static constexpr int32_t kLateLimit = -99;      // below this many late pictures: resynchronise

    MPEG4TimedSequenceProcessor(SequenceKey number, ProcessorLimits limits, DecodeThreadPool& pool,
                                std::shared_ptr<MPEG4Decoder> decoder, ProcessorClocks clocks = {});

    bool TakeFrame(bool forward, TOrvFrame& frame) override;
    // `first` also restarts pacing: the next picture comes at once.
    virtual bool PushTimedBlock(const uint8_t* data, size_t length, bool first, int32_t direction);

    const OrvTimeLine& TimeLine() const { return timeLine_; }
    int32_t Resync() const { return resync_; }
    int32_t LateCount() const { return lateCount_; }
    int64_t TakeCalls() const { return takeCalls_; }

private:
    void Anchor(double time);

    // Used by the caller's thread only (the frame storage serialises callers).
    OrvTimeLine timeLine_;
    int32_t resync_ = 1;
    int32_t lateCount_ = 0;
    double middleTime_ = 0.0;
    int32_t singleFrame_ = 0;
    int64_t takeCalls_ = 0;
};

}  // namespace processing
