// The recorded archive. The library keeps one archive position for all servers, so every
// use here holds one mutex for a short, self-contained step: position, read a few
// pictures, let go. A playback therefore shares the archive with single pictures and other
// playbacks instead of owning it.
#pragma once

#include <mutex>
#include <vector>

#include "Feeds.h"

namespace gateway {

class Archive {
  public:
    // Earliest begin and latest end over all servers (OLE dates, UTC).
    int Range(double& begin, double& end);
    // The camera's picture nearest `at`, as JPEG.
    int PictureAt(int camera, double at, Frame& out);

    // One step of a playback: pictures of `cameras` in time order from `from` on, at most
    // `maxFrames` of them, none later than `to`. Pictures at or before `after` were handed
    // out by the previous step and are skipped. `ended` turns true when `to` or the end of
    // the archive is reached.
    // `owner` names the playback: when nobody else used the archive since its previous
    // step, reading goes on from where it stopped instead of positioning again (which, on
    // compressed video, would decode from the last full picture once more).
    int ReadStep(const void* owner, const std::vector<int>& cameras, double from, double after, double to,
                 int maxFrames, std::vector<FramePtr>& out, bool& ended);

  private:
    int Open();
    int RangeLocked(double& begin, double& end);

    const void* lastOwner_ = nullptr;

    std::mutex mutex_;
    std::vector<char> buffer_ = std::vector<char>(4u << 20);
};

}  // namespace gateway
