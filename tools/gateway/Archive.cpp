#include "Archive.h"

#include <algorithm>

#include "orv_sdk.h"

namespace gateway {
namespace {
constexpr double kHalfMsDays = 0.5 / 86'400'000.0;
constexpr size_t kMaxFrameBytes = 64u << 20;
constexpr int kEmptyReadsAtEnd = 60;
}  // namespace

int Archive::Open() { return ORV_VideoArchiveOpen(1); }

int Archive::RangeLocked(double& begin, double& end) {
    lastOwner_ = nullptr;  // opening may move the position: the next playback step positions again
    const int code = Open();
    if (code != ORV_OK) {
        return code;
    }
    return ORV_VideoArchiveGetInfo(&begin, &end);
}

int Archive::Range(double& begin, double& end) {
    std::lock_guard lock(mutex_);
    return RangeLocked(begin, end);
}

int Archive::PictureAt(int camera, double at, Frame& out) {
    double begin = 0, end = 0;
    {
        std::lock_guard lock(mutex_);
        const int code = RangeLocked(begin, end);
        if (code != ORV_OK) {
            return code;
        }
    }
    // Outside the recorded span there is no nearest picture to speak of; a time just past
    // the end (a plate seen a moment ago) takes the newest recorded picture.
    constexpr double kSlackDays = 2.0 / 86'400.0;
    if (at < begin - kSlackDays || at > end + kSlackDays) {
        return ORV_E_NO_FRAME;
    }
    at = std::clamp(at, begin, end);
    // The position lands each server on its picture nearest the time, which may lie
    // before it; that picture is the answer. Right at the end of the recording a server
    // may have nothing to read on from there yet; a little earlier it has.
    int code = ORV_E_NO_FRAME;
    for (const double backSeconds : {0.0, 0.5, 2.0}) {
        std::vector<FramePtr> frames;
        bool ended = false;
        code = ReadStep(nullptr, {camera}, std::max(begin, at - backSeconds / 86'400.0), 0.0, 1e9, 1, frames, ended);
        if (code == ORV_OK && !frames.empty()) {
            out = *frames.front();
            return ORV_OK;
        }
    }
    return code == ORV_OK ? ORV_E_NO_FRAME : code;
}

int Archive::ReadStep(const void* owner, const std::vector<int>& cameras, double from, double after, double to,
                      int maxFrames, std::vector<FramePtr>& out, bool& ended) {
    std::lock_guard lock(mutex_);
    ended = false;
    // A playback's first step (nothing handed out yet) always positions.
    const bool resume = owner != nullptr && owner == lastOwner_ && after > 0;
    lastOwner_ = owner;
    int code = ORV_OK;
    if (!resume) {
        code = Open();
        if (code != ORV_OK) {
            return code;
        }
        code = ORV_VideoArchiveFindData(from, 0);
        if (code != ORV_OK) {
            lastOwner_ = nullptr;
            return code;
        }
    }
    int emptyReads = 0;
    int reads = 0;
    const int maxReads = maxFrames * 4 + kEmptyReadsAtEnd;  // every read moves on; bound the ones that bring nothing
    while (static_cast<int>(out.size()) < maxFrames && reads++ < maxReads) {
        int camera = 0, width = 0, height = 0, size = 0;
        double time = 0;
        code = ORV_VideoArchiveGetFrame(cameras.data(), static_cast<unsigned>(cameras.size()), ORV_FRAME_JPEG, 0, 1,
                                        buffer_.data(), static_cast<unsigned>(buffer_.size()), &camera, &time, &width,
                                        &height, &size);
        if (code == ORV_E_BUFFER_TOO_SMALL && size > 0 && static_cast<size_t>(size) <= kMaxFrameBytes) {
            // That read used up the picture: grow and go back to its time.
            buffer_.resize(static_cast<size_t>(size));
            code = ORV_VideoArchiveFindData(time, 0);
            if (code != ORV_OK) {
                return code;
            }
            continue;
        }
        if (code == ORV_E_NOT_DECODABLE) {
            continue;
        }
        if (code == ORV_E_NO_FRAME || code == ORV_E_FAILED) {
            // Past the end of the archive both answers come back; so do the first reads of
            // compressed video after a seek, while the decoder has nothing to hand out yet.
            if (++emptyReads >= kEmptyReadsAtEnd) {
                ended = true;
                return out.empty() ? code : ORV_OK;
            }
            continue;
        }
        if (code != ORV_OK) {
            return code;
        }
        emptyReads = 0;
        if (time > to + kHalfMsDays) {
            ended = true;
            return ORV_OK;
        }
        if (after > 0 && time <= after + kHalfMsDays) {
            continue;
        }
        if (size <= 0 || static_cast<size_t>(size) > buffer_.size()) {
            continue;
        }
        auto frame = std::make_shared<Frame>();
        frame->camera = camera;
        frame->time = time;
        frame->width = width;
        frame->height = height;
        frame->jpeg.assign(buffer_.begin(), buffer_.begin() + size);
        out.push_back(std::move(frame));
    }
    return ORV_OK;
}

}  // namespace gateway
