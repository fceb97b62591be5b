// A play-back time line: maps wall time onto stream time so that pictures can be
// handed out at the rate at which they were recorded.
#pragma once

#include <functional>

#include "platform/OleTime.h"

namespace processing {

// Days since 1899-12-30; one millisecond in that unit (the time line's short name).
inline constexpr double kDayMs = platform::kOleMillisecond;

// Current UTC time in days since 1899-12-30, millisecond resolution.
double NowOleUtcDays();

class OrvTimeLine {
public:
    // Source of wall time in days since 1899-12-30. The default is the local wall
    // clock; tests hand in a clock they move themselves.
    using WallClock = std::function<double()>;

    OrvTimeLine();
    explicit OrvTimeLine(WallClock clock);
    virtual ~OrvTimeLine() = default;

    OrvTimeLine(const OrvTimeLine&) = default;
    OrvTimeLine& operator=(const OrvTimeLine&) = default;

    // Advances the window: elapsed = (wall - start) * speed, upper = base + elapsed,
    // lower = base - elapsed.
    void Update();

    // Sets the stream time that corresponds to the wall time of now.
    void Anchor(double streamTime);

    void SetSpeed(double speed) { speed_ = speed; }

    double WallTime() const { return clock_(); }
    double Speed() const { return speed_; }
    double Base() const { return base_; }
    double Start() const { return start_; }
    double Upper() const { return upper_; }
    double Lower() const { return lower_; }

private:
    WallClock clock_;
    double speed_ = 1.0;
    double base_ = 0.0;
    double start_ = 0.0;  // wall time at which base_ was set
    double upper_ = 0.0;
    double lower_ = 0.0;
};

}  // namespace processing
