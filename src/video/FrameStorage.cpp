#include "video/FrameStorage.h"

#include <algorithm>
#include <utility>

#include "platform/LocalTime.h"

namespace processing {
namespace {

// Shared by every storage of the process: the decode pool lives from the first
// storage to the last.
struct ProcessState {
    std::mutex mutex;
    int32_t storages = 0;
    std::unique_ptr<DecodeThreadPool> pool;
};

// Never destroyed: a manager still alive at process exit (the host never called
// ORV_Uninit) is torn down by the library's own static destructors, which may run
// after this translation unit's, and its storage must still find the pool state.
ProcessState& Process() {
    static ProcessState* const state = new ProcessState;
    return *state;
}

FrameStorageOptions WithDefaults(FrameStorageOptions options) {  // by value: fills a copy
    if (!options.clocks.utc) {
        options.clocks.utc = &NowOleUtcDays;
    }
    if (!options.clocks.local) {
        options.clocks.local = &platform::NowOleLocal;
    }
    return options;
}

}  // namespace

MPEG4FrameStorage::MPEG4FrameStorage(size_t threads) : MPEG4FrameStorage(FrameStorageOptions{threads, nullptr, {}}) {}

MPEG4FrameStorage::MPEG4FrameStorage(FrameStorageOptions options)
    : api_(options.api != nullptr ? *options.api : DecoderApi::Process()),
      clocks_(WithDefaults(options).clocks) {
    api_.AddUser();
    ProcessState& state = Process();
    std::lock_guard lock(state.mutex);
    if (state.storages++ == 0 || !state.pool) {
        state.pool = std::make_unique<DecodeThreadPool>(options.threads);
    }
    pool_ = state.pool.get();
}

MPEG4FrameStorage::~MPEG4FrameStorage() {
    ProcessState& state = Process();
    std::unique_ptr<DecodeThreadPool> retired;
    {
        std::lock_guard lock(state.mutex);
        if (--state.storages == 0) {
            retired = std::move(state.pool);
        }
    }
    if (retired) {
        // Join the workers before the processors go, so no decoding round runs
        // on a processor while it is being dismantled; work still queued is
        // destroyed with the pool and releases what it held.
        retired->Stop();
    }
    {
        std::lock_guard lock(liveMutex_);
        live_.clear();
    }
    retired.reset();
    {
        std::lock_guard lock(archiveMutex_);
        for (ArchiveStream& stream : archive_) {
            archivePool_.Release(std::move(stream.sequence));
        }
        archive_.clear();
    }
    api_.RemoveUser();
}

DecodeThreadPool* MPEG4FrameStorage::SharedPool() {
    ProcessState& state = Process();
    std::lock_guard lock(state.mutex);
    return state.pool.get();
}

bool MPEG4FrameStorage::DecoderAvailable() const { return api_.IsAvailable(); }

// --- live -------------------------------------------------------------------

bool MPEG4FrameStorage::PushLiveBlock(SequenceKey key, const uint8_t* data, size_t length, bool first) {
    if (!api_.IsAvailable()) {
        return false;
    }
    std::lock_guard lock(liveMutex_);
    auto it = std::find_if(live_.begin(), live_.end(), [key](const LiveEntry& e) { return e.key == key; });
    if (it == live_.end()) {
        // Streams of server numbers from 16 up carry a non-zero top byte and get
        // the wider ring; kept as the servers' clients have always had it.
        const ProcessorLimits limits = KeyHighByte(key) == 0 ? kLiveLimits : kWideKeyLimits;
        auto processor = std::make_shared<MPEG4TimedSequenceProcessor>(key, limits, *pool_,
                                                                       std::make_shared<MPEG4Decoder>(api_), clocks_);
        live_.push_back({key, std::move(processor)});
        it = live_.end() - 1;
    }
    return it->processor->PushTimedBlock(data, length, first, 1);
}

std::shared_ptr<MPEG4TimedSequenceProcessor> MPEG4FrameStorage::FindProcessor(SequenceKey key) const {
    std::lock_guard lock(liveMutex_);
    for (const LiveEntry& entry : live_) {
        if (entry.key == key) {
            return entry.processor;
        }
    }
    return nullptr;
}

bool MPEG4FrameStorage::TakeLiveFrame(SequenceKey key, TOrvFrame& frame, bool* found) {
    std::lock_guard lock(liveMutex_);
    for (const LiveEntry& entry : live_) {
        if (entry.key == key) {
            if (found != nullptr) {
                *found = true;
            }
            return entry.processor->TakeFrame(true, frame);
        }
    }
    if (found != nullptr) {
        *found = false;
    }
    return false;
}

void MPEG4FrameStorage::SweepIdleProcessors() {
    const double cutOff = UtcNow() - kIdleProcessor;
    std::vector<LiveEntry> removed;
    {
        std::lock_guard lock(liveMutex_);
        auto idle = [&](const LiveEntry& e) {
            const double taken = e.processor->LastTaken();
            const double access = e.processor->LastAccess();
            return taken > kDeliveredMark && access > kDeliveredMark && access < cutOff;
        };
        for (LiveEntry& entry : live_) {
            if (idle(entry)) {
                removed.push_back(std::move(entry));
            }
        }
        live_.erase(std::remove_if(live_.begin(), live_.end(), [](const LiveEntry& e) { return !e.processor; }),
                    live_.end());
    }
    // `removed` goes here, outside the mutex: a processor's last owner may be
    // this thread and dismantling it must not hold up other callers.
}

void MPEG4FrameStorage::ClearLive() {
    std::vector<LiveEntry> removed;
    {
        std::lock_guard lock(liveMutex_);
        removed.swap(live_);
    }
}

size_t MPEG4FrameStorage::LiveCount() const {
    std::lock_guard lock(liveMutex_);
    return live_.size();
}

// --- archive ----------------------------------------------------------------

MPEG4FrameStorage::ArchiveStream* MPEG4FrameStorage::FindArchive(SequenceKey key) {
    for (ArchiveStream& stream : archive_) {
        if (stream.key == key) {
            return &stream;
        }
    }
    return nullptr;
}

template <typename Predicate>
void MPEG4FrameStorage::DropArchiveLocked(Predicate drop) {
    auto keep = std::stable_partition(archive_.begin(), archive_.end(),
                                      [&](const ArchiveStream& s) { return !drop(s); });
    for (auto it = keep; it != archive_.end(); ++it) {
        archivePool_.Release(std::move(it->sequence));
    }
    archive_.erase(keep, archive_.end());
}

bool MPEG4FrameStorage::FeedArchive(ArchiveStream& stream) {
    Sequence& sequence = *stream.sequence;
    if (stream.decoder->SetCodec(sequence.kind)) {
        stream.decoder->SetBytes(sequence.PayloadData(), sequence.PayloadSize(), 1, 1, 1);
    }
    // The payload lives in the caller's buffer; do not keep pointing into it.
    sequence.payloadPointer = nullptr;
    sequence.payloadLength = 0;
    return true;
}

bool MPEG4FrameStorage::PushArchiveBlock(SequenceKey key, const uint8_t* data, size_t length) {
    std::lock_guard lock(archiveMutex_);
    const double now = UtcNow();
    if (lastArchiveSweep_ == 0.0) {
        lastArchiveSweep_ = now;
    } else if (now - lastArchiveSweep_ > kArchiveAging) {
        DropArchiveLocked([&](const ArchiveStream& s) { return now - s.lastUse > kArchiveAging; });
        lastArchiveSweep_ = now;
    }

    if (ArchiveStream* stream = FindArchive(key)) {
        if (!ParseBlock(data, length, stream->sequence.get(), false)) {
            return false;
        }
        return FeedArchive(*stream);
    }

    ArchiveStream stream;
    stream.key = key;
    stream.sequence = archivePool_.AcquireSized(0);
    if (!stream.sequence) {
        return false;
    }
    if (!ParseBlock(data, length, stream.sequence.get(), false)) {
        archivePool_.Release(std::move(stream.sequence));
        return false;
    }
    stream.decoder = std::make_shared<MPEG4Decoder>(api_);
    archive_.push_back(std::move(stream));
    return FeedArchive(archive_.back());
}

bool MPEG4FrameStorage::TakeArchiveFrame(SequenceKey key, TOrvFrame& frame) {
    std::lock_guard lock(archiveMutex_);
    frame.camera = 0;
    ArchiveStream* stream = FindArchive(key);
    if (stream == nullptr || stream->decoder->Handle() == 0) {
        return false;
    }
    Sequence& sequence = *stream->sequence;
    // A picture the block has no time stamp for cannot be placed in time: the
    // decoder produced more pictures than the block announced.
    if (sequence.next < 0 || sequence.next >= sequence.FrameCount()) {
        return false;
    }
    int32_t width = 0;
    int32_t height = 0;
    int32_t pixelFormat = 0;
    if (stream->decoder->GetFrameInfo(width, height, pixelFormat) != 0 || width <= 0 || height <= 0) {
        return false;
    }
    const bool grey = pixelFormat == decoder_abi::kPixelGrey;
    const size_t size = static_cast<size_t>(width) * static_cast<size_t>(height) * (grey ? 1u : 2u);
    if (size > static_cast<size_t>(INT32_MAX)) {
        return false;
    }
    frame.data.resize(size);
    frame.width = width;
    frame.height = height;
    frame.isColour = grey ? 0 : 1;
    frame.ready = 0;
    if (stream->decoder->GetFrame(frame.data.data(), static_cast<int32_t>(size)) != 0) {
        return false;
    }
    frame.time = sequence.times[static_cast<size_t>(sequence.next)];
    frame.ready = 1;
    ++sequence.next;
    stream->lastUse = UtcNow();
    return true;
}

void MPEG4FrameStorage::ResetArchive(int32_t channel) {
    std::lock_guard lock(archiveMutex_);
    DropArchiveLocked([channel](const ArchiveStream& s) { return ArchiveKeyChannel(s.key) == channel; });
}

void MPEG4FrameStorage::ResetArchive(int32_t channel, int32_t server) {
    std::lock_guard lock(archiveMutex_);
    const int32_t keyServer = ArchiveKeyServer(ArchiveSequenceKey(channel, server, 0, 0));
    DropArchiveLocked([channel, keyServer](const ArchiveStream& s) {
        return ArchiveKeyChannel(s.key) == channel && ArchiveKeyServer(s.key) == keyServer;
    });
}

void MPEG4FrameStorage::SweepIdleArchive() {
    std::lock_guard lock(archiveMutex_);
    const double now = UtcNow();
    DropArchiveLocked([&](const ArchiveStream& s) { return now - s.lastUse > kArchiveAging; });
}

bool MPEG4FrameStorage::RemoveArchiveStream(SequenceKey key) {
    std::lock_guard lock(archiveMutex_);
    const size_t before = archive_.size();
    DropArchiveLocked([key](const ArchiveStream& s) { return s.key == key; });
    return archive_.size() != before;
}

size_t MPEG4FrameStorage::ArchiveCount() const {
    std::lock_guard lock(archiveMutex_);
    return archive_.size();
}

}  // namespace processing
