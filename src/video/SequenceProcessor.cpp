#include "video/SequenceProcessor.h"

#include <algorithm>
#include <condition_variable>
#include <utility>

#include "platform/LocalTime.h"
#include "video/PixelConvert.h"

namespace processing {
namespace {

// Copies a picture into a caller's record, reusing the record's buffers.
// Hands a decoded picture over: the caller's record takes the slot's buffers
// and the slot keeps the caller's old ones to decode into later, so a picture
// is never copied. The slot is empty afterwards (width 0), the first one the
// next decoded picture goes to.
void HandOverFrame(TOrvFrame& from, TOrvFrame& to) {
    to.camera = from.camera;
    to.time = from.time;
    to.frameTimes.swap(from.frameTimes);
    from.frameTimes.clear();
    to.width = from.width;
    to.height = from.height;
    to.isColour = from.isColour;
    to.format = from.format;
    to.ready = from.ready;
    to.data.swap(from.data);
    from.width = 0;
    from.height = 0;
}

ProcessorClocks WithDefaults(ProcessorClocks clocks) {
    if (!clocks.utc) {
        clocks.utc = &NowOleUtcDays;
    }
    if (!clocks.local) {
        clocks.local = &platform::NowOleLocal;
    }
    return clocks;
}

constexpr double kSearchBound = 999999.0;
// Largest decoded picture accepted (YUYV bytes): far above any camera resolution,
// and its BGR form still fits an int32 size.
constexpr size_t kMaxPictureBytes = 512u * 1024u * 1024u;

}  // namespace

// --- MPEG4SequenceProcessor --------------------------------------------------

MPEG4SequenceProcessor::MPEG4SequenceProcessor(SequenceKey number, ProcessorLimits limits, DecodeThreadPool& pool,
                                               std::shared_ptr<MPEG4Decoder> decoder, ProcessorClocks clocks)
    : clocks_(WithDefaults(std::move(clocks))),
      number_(number),
      limits_(limits),
      pool_(pool),
      strand_(pool.MakeStrand()),
      decoder_(std::move(decoder)) {
    // A ring without slots could never hold a picture.
    const int32_t slots = std::max(limits_.stepBehind + limits_.stepAhead, 1);
    slots_.resize(static_cast<size_t>(slots));
    queue_.reserve(kQueueReserve);
}

MPEG4SequenceProcessor::~MPEG4SequenceProcessor() = default;

double MPEG4SequenceProcessor::LastTaken() const {
    std::lock_guard lock(mutex_);
    return lastTaken_;
}

double MPEG4SequenceProcessor::LastAccess() const {
    std::lock_guard lock(mutex_);
    return lastAccess_;
}

int32_t MPEG4SequenceProcessor::Ready() const {
    std::lock_guard lock(mutex_);
    int32_t ahead = 0;
    for (const auto& slot : slots_) {
        if (slot && slot->width != 0 && slot->time > lastTaken_) {
            ++ahead;
        }
    }
    return ahead;
}

bool MPEG4SequenceProcessor::PushBlock(const uint8_t* data, size_t length, bool first, int32_t direction,
                                       double* middleTime, int32_t* singleFrame) {
    if (data == nullptr || length == 0) {
        return false;
    }
    std::shared_ptr<Sequence> sequence = sequencePool_.AcquireSized(length);
    if (!sequence) {
        return false;
    }
    if (!ParseBlock(data, length, sequence.get(), true)) {
        sequencePool_.Release(std::move(sequence));
        return false;
    }
    const bool single = sequence->times.size() == 1;
    if (middleTime != nullptr) {
        *middleTime = sequence->times[single ? 0 : sequence->times.size() / 2];
    }
    if (singleFrame != nullptr) {
        *singleFrame = single ? 1 : 0;
    }
    PostSequence(std::move(sequence), first, direction);
    return true;
}

void MPEG4SequenceProcessor::RequestRound(int32_t direction) {
    int32_t pending = -1;
    if (!pendingRound_.compare_exchange_strong(pending, direction) && pending == direction) {
        return;
    }
    pool_.Post(strand_, [self = shared_from_this(), direction] {
        int32_t mine = direction;
        self->pendingRound_.compare_exchange_strong(mine, -1);
        self->OnSequence(nullptr, false, direction);
    });
}

void MPEG4SequenceProcessor::PostSequence(std::shared_ptr<Sequence> sequence, bool reset, int32_t direction) {
    pool_.Post(strand_, [self = shared_from_this(), sequence = std::move(sequence), reset, direction] {
        self->OnSequence(sequence, reset, direction);
    });
}

int MPEG4SequenceProcessor::FindNextSlotLocked() const {
    int found = -1;
    double best = kSearchBound;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const TOrvFrame* slot = slots_[i].get();
        if (slot != nullptr && slot->width != 0 && slot->time > lastTaken_ && slot->time < best) {
            best = slot->time;
            found = static_cast<int>(i);
        }
    }
    return found;
}

bool MPEG4SequenceProcessor::TakeFrame(bool forward, TOrvFrame& frame) {
    bool taken = false;
    {
        std::lock_guard lock(mutex_);
        const int index = FindNextSlotLocked();
        if (index >= 0) {
            TOrvFrame& slot = *slots_[static_cast<size_t>(index)];
            HandOverFrame(slot, frame);
            lastTaken_ = slot.time;
            lastAccess_ = UtcNow();
            taken = true;
        }
    }
    RequestRound(forward ? 1 : 0);
    return taken;
}

bool MPEG4SequenceProcessor::SetHint(bool value) {
    pool_.Post(strand_, [self = shared_from_this(), value] { self->hint_ = value; });
    return true;
}

bool MPEG4SequenceProcessor::WaitIdle(std::chrono::milliseconds timeout) {
    struct Marker {
        std::mutex mutex;
        std::condition_variable done;
        bool reached = false;
    };
    auto marker = std::make_shared<Marker>();
    pool_.Post(strand_, [marker] {
        std::lock_guard lock(marker->mutex);
        marker->reached = true;
        marker->done.notify_all();
    });
    std::unique_lock lock(marker->mutex);
    return marker->done.wait_for(lock, timeout, [&] { return marker->reached; });
}

void MPEG4SequenceProcessor::OnSequence(const std::shared_ptr<Sequence>& sequence, bool reset, int32_t direction) {
    Sequence* current = SelectSequence(sequence, reset, direction);
    queued_.store(static_cast<int32_t>(queue_.size()));
    currentSnapshot_.store(static_cast<int32_t>(current_));
    if (current == nullptr) {
        return;
    }
    const int32_t count = FramesToDecode(*current);
    if (count > 0) {
        DecodeFrames(*current, count);
    }
}

Sequence* MPEG4SequenceProcessor::SelectSequence(const std::shared_ptr<Sequence>& incoming, bool reset,
                                                 int32_t direction) {
    if (reset) {
        for (auto& queued : queue_) {
            sequencePool_.Release(std::move(queued));
        }
        queue_.clear();
        current_ = 0;
        std::lock_guard lock(mutex_);
        for (auto& slot : slots_) {
            if (slot) {
                slot->width = 0;
                slot->height = 0;
            }
        }
    }

    std::shared_ptr<Sequence> sequence = incoming;
    if (sequence) {
        const double firstTime = sequence->times.front();
        const bool repeated = std::any_of(queue_.begin(), queue_.end(),
                                          [&](const auto& queued) { return queued->times.front() == firstTime; });
        if (repeated) {
            // The server sent the same block again; it was decoded already.
            sequencePool_.Release(std::move(sequence));
        }
    }

    if (queue_.empty()) {
        direction_ = direction;
        std::lock_guard lock(mutex_);
        lastTaken_ = 0.0;
    }

    if (sequence) {
        const double firstTime = sequence->times.front();
        const auto at = std::lower_bound(queue_.begin(), queue_.end(), firstTime,
                                         [](const auto& queued, double t) { return queued->times.front() < t; });
        const size_t index = static_cast<size_t>(at - queue_.begin());
        queue_.insert(at, std::move(sequence));
        if (index < current_) {
            ++current_;
        }
    }

    if (direction_ == 1 && queue_.size() > kTrimAbove) {
        const size_t drop = std::min(current_, kTrimStep);
        for (size_t i = 0; i < drop; ++i) {
            sequencePool_.Release(std::move(queue_[i]));
        }
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(drop));
        current_ -= drop;
    }

    for (size_t i = current_; i < queue_.size(); ++i) {
        if (!queue_[i]->Finished()) {
            current_ = i;
            return queue_[i].get();
        }
    }
    current_ = queue_.empty() ? 0 : queue_.size() - 1;
    return nullptr;
}

int32_t MPEG4SequenceProcessor::FramesToDecode(const Sequence& current) {
    int32_t ahead = 0;
    {
        std::lock_guard lock(mutex_);
        for (const auto& slot : slots_) {
            if (slot && slot->width != 0 && slot->time > lastTaken_) {
                ++ahead;
            }
        }
    }
    if (ahead > limits_.keepAhead) {
        return 0;
    }
    const int32_t room = static_cast<int32_t>(slots_.size()) - ahead;
    const int32_t left = current.FrameCount() - current.consumed;
    return std::min({room, limits_.stepAhead, left});
}

void MPEG4SequenceProcessor::DecodeFrames(Sequence& sequence, int32_t count) {
    if (!decoder_) {
        return;
    }
    if (sequence.kind != codecKind_) {
        decoder_->SetCodec(sequence.kind);
        codecKind_ = sequence.kind;
    }
    if (decoder_->Handle() == 0) {
        if (sequence.fed != 0) {
            sequence.consumed = sequence.FrameCount();
            sequence.next = sequence.FrameCount();
        }
        return;
    }
    if (sequence.fed == 0) {
        const int32_t status = decoder_->SetBytes(sequence.PayloadData(), sequence.PayloadSize(), 1,
                                                  sequence.extraFlag, sequence.timed != 0 ? 1 : 0);
        if (status != 0) {
            return;  // tried again next round
        }
        sequence.fed = 1;
    }
    for (int32_t i = 0; i < count; ++i) {
        int32_t width = 0;
        int32_t height = 0;
        int32_t pixelFormat = 0;
        if (decoder_->GetFrameInfo(width, height, pixelFormat) != 0 || width <= 0 || height <= 0) {
            // The decoder has nothing more for this block.
            sequence.consumed = sequence.FrameCount();
            sequence.next = sequence.FrameCount();
            return;
        }
        const bool grey = pixelFormat == decoder_abi::kPixelGrey;
        const size_t size = static_cast<size_t>(width) * static_cast<size_t>(height) * (grey ? 1u : 2u);
        if (size > kMaxPictureBytes) {
            // Not a size any camera sends: treat it like a decoder without pictures.
            sequence.consumed = sequence.FrameCount();
            sequence.next = sequence.FrameCount();
            return;
        }
        working_.data.resize(size);
        working_.width = width;
        working_.height = height;
        working_.isColour = grey ? 0 : 1;
        // next never passes consumed while decoding forward; the clamp only
        // guards the read.
        const int32_t stamp = std::min(sequence.next, sequence.FrameCount() - 1);
        working_.time = sequence.times[static_cast<size_t>(stamp)];
        working_.ready = direction_;
        const int32_t status = decoder_->GetFrame(working_.data.data(), static_cast<int32_t>(size));
        if (status == 0) {
            ++sequence.next;
        }
        if (direction_ == 1) {
            ++sequence.consumed;
        }
        if (status != 0) {
            return;
        }
        ConvertWorkingToBgr(pixelFormat);
        StoreDecodedFrame();
    }
}

bool MPEG4SequenceProcessor::ConvertWorkingToBgr(int32_t pixelFormat) {
    const int width = working_.width;
    const int height = working_.height;
    conversion_.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3u);
    if (pixelFormat == decoder_abi::kPixelGrey) {
        GreyToBgr(working_.data.data(), conversion_.data(), width, height);
    } else {
        YuyvToBgr(working_.data.data(), conversion_.data(), width, height);
    }
    working_.data.swap(conversion_);
    working_.format = Bgr24;
    return true;
}

void MPEG4SequenceProcessor::StoreDecodedFrame() {
    std::lock_guard lock(mutex_);
    std::shared_ptr<TOrvFrame>* target = nullptr;
    for (auto& slot : slots_) {
        if (!slot) {
            slot = std::make_shared<TOrvFrame>();
            target = &slot;
            break;
        }
        if (slot->width == 0) {
            target = &slot;
            break;
        }
    }
    if (target == nullptr) {
        target = &slots_.front();
        for (auto& slot : slots_) {
            if (slot->time < (*target)->time) {
                target = &slot;
            }
        }
    }
    std::swap(working_, **target);
}

// --- MPEG4TimedSequenceProcessor ---------------------------------------------

MPEG4TimedSequenceProcessor::MPEG4TimedSequenceProcessor(SequenceKey number, ProcessorLimits limits,
                                                         DecodeThreadPool& pool, std::shared_ptr<MPEG4Decoder> decoder,
                                                         ProcessorClocks clocks)
    : MPEG4SequenceProcessor(number, limits, pool, std::move(decoder), std::move(clocks)),
      timeLine_(clocks_.local) {}

bool MPEG4TimedSequenceProcessor::PushTimedBlock(const uint8_t* data, size_t length, bool first, int32_t direction) {
    if (first) {
        resync_ = 1;
        middleTime_ = 0.0;
    }
    return PushBlock(data, length, first, direction, &middleTime_, &singleFrame_);
}

void MPEG4TimedSequenceProcessor::Anchor(double time) {
    timeLine_.Anchor(time);
    resync_ = 0;
}

bool MPEG4TimedSequenceProcessor::TakeFrame(bool forward, TOrvFrame& frame) {
    ++takeCalls_;
    for (;;) {
        if (resync_ == 0) {
            double candidate = 0.0;
            double next = 0.0;  // the picture decoded after the candidate, 0 when none
            {
                std::lock_guard lock(mutex_);
                const int index = FindNextSlotLocked();
                if (index >= 0) {
                    candidate = slots_[static_cast<size_t>(index)]->time;
                    for (const auto& slot : slots_) {
                        if (slot && slot->width != 0 && slot->time > candidate && (next == 0.0 || slot->time < next)) {
                            next = slot->time;
                        }
                    }
                } else {
                    candidate = -1.0;
                }
            }
            if (candidate < 0.0) {
                RequestRound(forward ? 1 : 0);
                return false;
            }
            timeLine_.Update();
            const double early = (candidate - timeLine_.Upper()) / kDayMs;
            const bool late = early < 0.0;
            if (late) {
                lateCount_ = lateCount_ >= 0 ? -1 : lateCount_ - 1;
            } else {
                lateCount_ = lateCount_ <= 0 ? 1 : lateCount_ + 1;
            }
            if (early > kReanchorMs) {
                const double lead = (singleFrame_ != 0 ? kLeadSingleMs : kLeadMs) * kDayMs;
                Anchor(candidate - lead);
                lateCount_ = 0;
            } else if (lateCount_ < kLateLimit) {
                resync_ = 1;
                lateCount_ = 0;
            }
            if (early > kEarlyMs) {
                return false;  // too early: the picture stays for a later call
            }
            const bool nextIsDue = next != 0.0 && (next - timeLine_.Upper()) / kDayMs <= kEarlyMs;
            if (late && nextIsDue) {
                // Passed over so that the stream catches up: the picture after it may be
                // shown now too. All such pictures go in this same call, and the newest
                // picture that is due is shown; skipping one per call would leave a host
                // that polls at the frame rate forever one picture behind. A late picture
                // whose successor is not yet due is shown: dropping it would leave this
                // call with nothing, and a host polling in step with the pictures would
                // lose every other one to the time it takes to make the call.
                std::lock_guard lock(mutex_);
                lastTaken_ = candidate;
                continue;
            }
        }
        const bool taken = MPEG4SequenceProcessor::TakeFrame(forward, frame);
        if (taken && resync_ == 1) {
            Anchor(frame.time);
        }
        return taken;
    }
}

}  // namespace processing
