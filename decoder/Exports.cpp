// The plug-in's C entry points. Handles are small integers from a table, so a
// stale or made-up handle is answered with an error instead of a crash.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>

#include "QuietLog.h"
#include "StreamDecoder.h"
#include "video/DecoderAbi.h"

#ifdef _WIN32
#define VEVID_EXPORT extern "C"  // the export list is VEVIDAZev2.def
#else
#define VEVID_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vevid {
namespace {

class HandleTable {
public:
    static constexpr int kSlotBits = 13;
    static constexpr uint32_t kSlots = 1u << kSlotBits;
    // Generations use the remaining bits below the sign bit, so handles stay positive.
    static constexpr uint32_t kGenerationMask = (1u << (31 - kSlotBits)) - 1;

    int32_t Add(std::shared_ptr<StreamDecoder> decoder) {
        std::lock_guard lock(mutex_);
        for (uint32_t n = 0; n < kSlots; ++n) {
            const uint32_t index = (hint_ + n) % kSlots;
            Slot& slot = slots_[index];
            if (slot.decoder) continue;
            slot.generation = (slot.generation + 1) & kGenerationMask;
            if (slot.generation == 0) slot.generation = 1;
            slot.decoder = std::move(decoder);
            hint_ = index + 1;
            return static_cast<int32_t>((slot.generation << kSlotBits) | index);
        }
        return 0;
    }

    std::shared_ptr<StreamDecoder> Find(int32_t handle) {
        std::lock_guard lock(mutex_);
        Slot* slot = Locate(handle);
        return slot != nullptr ? slot->decoder : nullptr;
    }

    std::shared_ptr<StreamDecoder> Remove(int32_t handle) {
        std::lock_guard lock(mutex_);
        Slot* slot = Locate(handle);
        if (slot == nullptr) return nullptr;
        return std::move(slot->decoder);
    }

private:
    struct Slot {
        std::shared_ptr<StreamDecoder> decoder;
        uint32_t generation = 0;
    };

    Slot* Locate(int32_t handle) {
        if (handle <= 0) return nullptr;
        const auto value = static_cast<uint32_t>(handle);
        Slot& slot = slots_[value & (kSlots - 1)];
        if (!slot.decoder || slot.generation != (value >> kSlotBits)) return nullptr;
        return &slot;
    }

    std::mutex mutex_;
    std::array<Slot, kSlots> slots_{};
    uint32_t hint_ = 0;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

// libavcodec's messages about damaged input never reach the host's stderr.
[[maybe_unused]] const bool gQuietLogInstalled = (InstallQuietLog(), true);

// Runs `call` on the handle's decoder under its lock; no exception leaves.
template <typename Call>
int32_t WithDecoder(int32_t handle, Call&& call) {
    QuietScope quiet;
    try {
        const std::shared_ptr<StreamDecoder> decoder = Table().Find(handle);
        if (!decoder) return kBadHandle;
        std::lock_guard lock(decoder->Mutex());
        return call(*decoder);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kDecoderFailure;
    }
}

}  // namespace
}  // namespace vevid

using vevid::StreamDecoder;

VEVID_EXPORT int32_t ORV_DECODER_CALL GetDecoder(int32_t codec) {
    vevid::QuietScope quiet;
    try {
        std::shared_ptr<StreamDecoder> decoder = StreamDecoder::Create(codec);
        if (!decoder) return 0;
        return vevid::Table().Add(std::move(decoder));
    } catch (...) {
        return 0;
    }
}

VEVID_EXPORT void ORV_DECODER_CALL ReleaseDecoder(int32_t handle) {
    vevid::QuietScope quiet;
    try {
        std::shared_ptr<StreamDecoder> decoder = vevid::Table().Remove(handle);
        if (!decoder) return;
        // Wait for a call still running on another thread before freeing.
        std::lock_guard lock(decoder->Mutex());
    } catch (...) {
    }
}

VEVID_EXPORT int32_t ORV_DECODER_CALL SetParams(int32_t handle, int32_t param, int32_t value) {
    return vevid::WithDecoder(handle, [&](StreamDecoder& d) { return d.SetParam(param, value); });
}

VEVID_EXPORT int32_t ORV_DECODER_CALL SetBytes(int32_t handle, const uint8_t* data, int32_t length,
                                               int32_t /*reserved*/, int32_t reset, int32_t endOfBlock) {
    return vevid::WithDecoder(
        handle, [&](StreamDecoder& d) { return d.SetBytes(data, length, reset != 0, endOfBlock != 0); });
}

VEVID_EXPORT int32_t ORV_DECODER_CALL GetFrameInfo(int32_t handle, int32_t* width, int32_t* height,
                                                   int32_t* pixelFormat) {
    if (width == nullptr || height == nullptr || pixelFormat == nullptr) return vevid::kBadArgument;
    *width = *height = *pixelFormat = 0;
    return vevid::WithDecoder(handle,
                              [&](StreamDecoder& d) { return d.FrameInfo(*width, *height, *pixelFormat); });
}

VEVID_EXPORT int32_t ORV_DECODER_CALL GetFrame(int32_t handle, uint8_t* buffer, int32_t size) {
    return vevid::WithDecoder(handle, [&](StreamDecoder& d) { return d.Frame(buffer, size); });
}

VEVID_EXPORT int32_t ORV_DECODER_CALL GetDecType2(int32_t handle) {
    return vevid::WithDecoder(handle, [](StreamDecoder& d) { return d.CodecValue(); });
}

VEVID_EXPORT int32_t ORV_DECODER_CALL SetParams2(int32_t handle, int32_t param, int32_t value) {
    return SetParams(handle, param, value);
}

VEVID_EXPORT int32_t ORV_DECODER_CALL SetParser2(int32_t handle, int32_t splitPictures) {
    return vevid::WithDecoder(handle, [&](StreamDecoder& d) {
        d.SetSplitPictures(splitPictures != 0);
        return static_cast<int32_t>(vevid::kOk);
    });
}

VEVID_EXPORT int32_t ORV_DECODER_CALL GetFrame2(int32_t handle, uint8_t* buffer, int32_t size, int32_t* width,
                                                int32_t* height, int32_t* pixelFormat) {
    if (width == nullptr || height == nullptr || pixelFormat == nullptr) return vevid::kBadArgument;
    *width = *height = *pixelFormat = 0;
    return vevid::WithDecoder(handle, [&](StreamDecoder& d) {
        // The size is reported even when the buffer is too small, so the caller can grow it.
        const int32_t info = d.FrameInfo(*width, *height, *pixelFormat);
        if (info != vevid::kOk) return info;
        return d.Frame(buffer, size);
    });
}

// The table the library loads must match these definitions exactly.
static_assert(std::is_same_v<decltype(&GetDecoder), DecoderGetDecoderFn>);
static_assert(std::is_same_v<decltype(&ReleaseDecoder), DecoderReleaseDecoderFn>);
static_assert(std::is_same_v<decltype(&SetParams), DecoderSetParamsFn>);
static_assert(std::is_same_v<decltype(&SetBytes), DecoderSetBytesFn>);
static_assert(std::is_same_v<decltype(&GetFrameInfo), DecoderGetFrameInfoFn>);
static_assert(std::is_same_v<decltype(&GetFrame), DecoderGetFrameFn>);
static_assert(std::is_same_v<decltype(&GetDecType2), DecoderGetDecType2Fn>);
static_assert(std::is_same_v<decltype(&SetParams2), DecoderSetParams2Fn>);
static_assert(std::is_same_v<decltype(&SetParser2), DecoderSetParser2Fn>);
static_assert(std::is_same_v<decltype(&GetFrame2), DecoderGetFrame2Fn>);
