// One simulated camera: its time line (frames at a fixed rate from the archive
// origin up to now) and its encoded content, produced on demand from the frame
// time and kept in a small cache so that every frame is encoded once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/JpegCodec.h"
#include "sim/SimConfig.h"

namespace orv_sim {

using Bytes = std::vector<uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;

// Frame k lies at origin + floor(k * 1000 / fps) ms. A unit is what one reply
// carries: one frame for JPEG cameras, a block of `framesPerUnit` frames
// starting with a key frame for compressed ones.
class CameraTimeline {
  public:
    CameraTimeline(int64_t originMs, int fps, int framesPerUnit);

    int64_t OriginMs() const { return originMs_; }
    int FramesPerUnit() const { return framesPerUnit_; }
    int64_t FrameTime(int64_t frame) const;
    // The newest frame at or before nowMs; -1 before the origin.
    int64_t LatestFrame(int64_t nowMs) const;
    int64_t UnitTime(int64_t unit) const { return FrameTime(unit * framesPerUnit_); }
    // The newest complete unit at nowMs; -1 when none is complete.
    int64_t LatestUnit(int64_t nowMs) const;
    // First unit whose time is >= t (not limited to the present).
    int64_t FirstUnitAtOrAfter(int64_t t) const;
    // Last unit whose time is <= t; -1 when none.
    int64_t LastUnitAtOrBefore(int64_t t) const;

  private:
    int64_t originMs_;
    int fps_;
    int framesPerUnit_;
};

class SimCamera {
  public:
    SimCamera(int cameraIndex, const CameraConfig& config, int64_t originMs);

    int Index() const { return index_; }
    const CameraConfig& Config() const { return config_; }
    const CameraTimeline& Timeline() const { return timeline_; }
    bool Active() const { return active_.load(); }
    void SetActive(bool active) { active_.store(active); }
    bool Compressed() const { return config_.kind == CameraKind::Mpeg4 || config_.kind == CameraKind::H264; }

    // The complete content of a unit: a JPEG picture, or a compressed block.
    // Null when encoding failed.
    SharedBytes Unit(int64_t unit);
    // Block-update data turning the picture of frame `baseFrame` into that of
    // `frame` (JPEG cameras only).
    SharedBytes Update(int64_t baseFrame, int64_t frame);

    // True when `garbageEvery` (FaultConfig) spoils unit k: k % every == every - 1.
    static bool GarbageUnit(int garbageEvery, int64_t unit) {
        return garbageEvery > 0 && unit >= 0 && unit % garbageEvery == garbageEvery - 1;
    }
    // The damaged stand-in for unit k. JPEG kinds alternate between two
    // damages, by the number of the damaged unit (k / every): even, an
    // unreadable header (FF D8 FF and 200 bytes of 0x13); odd, the real picture
    // with its header intact and its entropy-coded data cut after a quarter and
    // continued with an undefined marker (FF 13) and 0x13 filler. Compressed
    // kinds: a block in the camera's layout with the unit's frame times whose
    // frames are a start code (00 00 00 01 for H.264, 00 00 01 B6 for MPEG-4)
    // followed by random bytes without zeros, seeded by (camera, unit).
    SharedBytes BadUnit(int64_t unit, int every);
    // A block update that cannot be applied: its marks and geometry are right,
    // but it announces a mask far longer than the data, which ends after the header.
    SharedBytes BadUpdate(int64_t baseFrame, int64_t frame);

  private:
    struct CacheEntry {
        int64_t a = -1;
        int64_t b = -1;
        SharedBytes bytes;
    };
    static constexpr size_t kCacheSize = 8;

    SharedBytes Lookup(std::vector<CacheEntry>& cache, int64_t a, int64_t b);
    void Store(std::vector<CacheEntry>& cache, int64_t a, int64_t b, SharedBytes bytes);
    SharedBytes EncodeUnit(int64_t unit);
    const PlanarPicture& RenderedFrame(int64_t frame, PlanarPicture& slot, int64_t& slotFrame);

    const int index_;
    const CameraConfig config_;
    const CameraTimeline timeline_;
    std::atomic<bool> active_;

    std::mutex mutex_;  // guards everything below; held while encoding
    JpegEncoder encoder_;
    std::vector<CacheEntry> units_;
    std::vector<CacheEntry> updates_;
    PlanarPicture background_;  // drawn once; every frame starts as a copy
    PlanarPicture base_;
    int64_t baseFrame_ = -1;
    PlanarPicture current_;
    int64_t currentFrame_ = -1;
};

}  // namespace orv_sim
