#include "sim/SimCamera.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "protocol/Wire.h"

namespace orv_sim {

CameraTimeline::CameraTimeline(int64_t originMs, int fps, int framesPerUnit)
    : originMs_(originMs), fps_(std::max(1, fps)), framesPerUnit_(std::max(1, framesPerUnit)) {}

int64_t CameraTimeline::FrameTime(int64_t frame) const {
    return originMs_ + frame * 1000 / fps_;
}

int64_t CameraTimeline::LatestFrame(int64_t nowMs) const {
    if (nowMs < originMs_) return -1;
    int64_t frame = (nowMs - originMs_) * fps_ / 1000;
    while (frame > 0 && FrameTime(frame) > nowMs) --frame;
    while (FrameTime(frame + 1) <= nowMs) ++frame;
    return frame;
}

int64_t CameraTimeline::LatestUnit(int64_t nowMs) const {
    const int64_t frame = LatestFrame(nowMs);
    if (frame < 0) return -1;
    return (frame + 1) / framesPerUnit_ - 1;
}

int64_t CameraTimeline::FirstUnitAtOrAfter(int64_t t) const {
    if (t <= originMs_) return 0;
    const int64_t firstFrame = LatestFrame(t - 1) + 1;
    return (firstFrame + framesPerUnit_ - 1) / framesPerUnit_;
}

int64_t CameraTimeline::LastUnitAtOrBefore(int64_t t) const {
    const int64_t frame = LatestFrame(t);
    if (frame < 0) return -1;
    return frame / framesPerUnit_;
}

SimCamera::SimCamera(int cameraIndex, const CameraConfig& config, int64_t originMs)
    : index_(cameraIndex),
      config_(config),
      timeline_(originMs, config.fps,
                config.kind == CameraKind::Mpeg4 || config.kind == CameraKind::H264 ? config.gop : 1),
      active_(config.active) {}

SharedBytes SimCamera::Lookup(std::vector<CacheEntry>& cache, int64_t a, int64_t b) {
    for (size_t i = 0; i < cache.size(); ++i) {
        if (cache[i].a != a || cache[i].b != b) continue;
        // Move to the front: the cache keeps the most recently used entries.
        std::rotate(cache.begin(), cache.begin() + static_cast<ptrdiff_t>(i),
                    cache.begin() + static_cast<ptrdiff_t>(i) + 1);
        return cache.front().bytes;
    }
    return nullptr;
}

void SimCamera::Store(std::vector<CacheEntry>& cache, int64_t a, int64_t b, SharedBytes bytes) {
    cache.insert(cache.begin(), CacheEntry{a, b, std::move(bytes)});
    if (cache.size() > kCacheSize) cache.pop_back();
}

const PlanarPicture& SimCamera::RenderedFrame(int64_t frame, PlanarPicture& slot, int64_t& slotFrame) {
    if (slotFrame != frame) {
        if (background_.y.empty()) {
            ShapePicture(background_, config_.width, config_.height, config_.subsampling);
            RenderBackground(index_, background_);
        }
        slot = background_;
        RenderForeground(index_, timeline_.FrameTime(frame), slot);
        slotFrame = frame;
    }
    return slot;
}

SharedBytes SimCamera::EncodeUnit(int64_t unit) {
    if (!Compressed()) {
        const PlanarPicture& picture = RenderedFrame(unit, current_, currentFrame_);
        Bytes jpeg = encoder_.Encode(picture, config_.quality);
        if (jpeg.empty()) return nullptr;
        return std::make_shared<const Bytes>(std::move(jpeg));
    }
    std::vector<int64_t> times;
    const int64_t first = unit * timeline_.FramesPerUnit();
    for (int64_t k = first; k < first + timeline_.FramesPerUnit(); ++k)
        times.push_back(timeline_.FrameTime(k));
    const VideoCodec codec = config_.kind == CameraKind::H264 ? VideoCodec::H264 : VideoCodec::Mpeg4;
    const std::vector<EncodedFrame> frames =
        EncodeFrames(codec, index_, config_.width, config_.height, config_.fps, times, config_.bFrames);
    if (frames.empty()) return nullptr;
    Bytes block = config_.layout == BlockLayout::Table ? BuildTableBlock(frames) : BuildChainBlock(frames);
    return std::make_shared<const Bytes>(std::move(block));
}

SharedBytes SimCamera::Unit(int64_t unit) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (SharedBytes hit = Lookup(units_, unit, 0)) return hit;
    SharedBytes bytes = EncodeUnit(unit);
    if (bytes) Store(units_, unit, 0, bytes);
    return bytes;
}

SharedBytes SimCamera::Update(int64_t baseFrame, int64_t frame) {
    if (Compressed()) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (SharedBytes hit = Lookup(updates_, baseFrame, frame)) return hit;
    const PlanarPicture& base = RenderedFrame(baseFrame, base_, baseFrame_);
    const PlanarPicture& current = RenderedFrame(frame, current_, currentFrame_);
    Bytes update = BuildBlockUpdate(base, current, encoder_, config_.quality);
    if (update.empty()) return nullptr;
    auto bytes = std::make_shared<const Bytes>(std::move(update));
    Store(updates_, baseFrame, frame, bytes);
    return bytes;
}

namespace {

// The real picture with a readable header and a scan that ends in an undefined
// marker: TurboJPEG reads the header and fails on the picture.
Bytes BrokenScan(const Bytes& good) {
    for (size_t i = 2; i + 3 < good.size(); ++i) {
        if (good[i] != 0xFF || good[i + 1] != 0xDA) continue;
        const size_t start = i + 2 + (static_cast<size_t>(good[i + 2]) << 8 | good[i + 3]);
        if (start + 8 > good.size()) break;
        Bytes bad(good.begin(), good.begin() + static_cast<ptrdiff_t>(start + (good.size() - start) / 4));
        bad.push_back(0xFF);
        bad.push_back(0x13);
        bad.resize(std::max(bad.size(), good.size() - 2), 0x13);
        bad.push_back(0xFF);
        bad.push_back(0xD9);
        return bad;
    }
    return {0xFF, 0xD8, 0xFF, 0xDA};  // no scan found: a header that stops at once
}

}  // namespace

SharedBytes SimCamera::BadUnit(int64_t unit, int every) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (SharedBytes hit = Lookup(units_, unit, 1)) return hit;
    Bytes bad;
    if (!Compressed()) {
        if ((unit / std::max(1, every)) % 2 == 0) {
            bad = {0xFF, 0xD8, 0xFF};
            bad.resize(3 + 200, 0x13);
        } else {
            SharedBytes good = Lookup(units_, unit, 0);
            if (!good) {
                good = EncodeUnit(unit);
                if (!good) return nullptr;
                Store(units_, unit, 0, good);
            }
            bad = BrokenScan(*good);
        }
    } else {
        std::mt19937_64 random(static_cast<uint64_t>(index_) * 1'000'003ull + static_cast<uint64_t>(unit));
        std::uniform_int_distribution<int> byte(1, 255);
        const bool h264 = config_.kind == CameraKind::H264;
        std::vector<EncodedFrame> frames;
        const int64_t first = unit * timeline_.FramesPerUnit();
        for (int64_t k = first; k < first + timeline_.FramesPerUnit(); ++k) {
            EncodedFrame frame;
            frame.data = h264 ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1, 0xB6};
            for (int n = 0; n < 600; ++n) frame.data.push_back(static_cast<uint8_t>(byte(random)));
            frame.timeMs = timeline_.FrameTime(k);
            frames.push_back(std::move(frame));
        }
        bad = config_.layout == BlockLayout::Table ? BuildTableBlock(frames) : BuildChainBlock(frames);
    }
    auto bytes = std::make_shared<const Bytes>(std::move(bad));
    Store(units_, unit, 1, bytes);
    return bytes;
}

SharedBytes SimCamera::BadUpdate(int64_t baseFrame, int64_t frame) {
    SharedBytes good = Update(baseFrame, frame);
    if (!good || good->size() < kBlockUpdateHeaderSize) return nullptr;
    Bytes bad(good->begin(), good->begin() + static_cast<ptrdiff_t>(kBlockUpdateHeaderSize));
    orv_stuff::PutI32(&bad[2], 0x7FFFFFF0);
    return std::make_shared<const Bytes>(std::move(bad));
}

}  // namespace orv_sim
