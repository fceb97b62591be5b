#include "video/OrvTimeLine.h"

#include <utility>

#include "platform/LocalTime.h"

namespace processing {

double NowOleUtcDays() {
    return platform::NowOleUtc();
}

OrvTimeLine::OrvTimeLine() : OrvTimeLine(WallClock(&platform::NowOleLocal)) {}

OrvTimeLine::OrvTimeLine(WallClock clock) : clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = &platform::NowOleLocal;
    }
}

void OrvTimeLine::Update() {
    const double elapsed = (clock_() - start_) * speed_;
    upper_ = base_ + elapsed;
    lower_ = base_ - elapsed;
}

void OrvTimeLine::Anchor(double streamTime) {
    start_ = clock_();
    base_ = streamTime;
    upper_ = streamTime;
    lower_ = streamTime;
}

}  // namespace processing
