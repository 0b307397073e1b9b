#include "frame_clock.h"

#include <algorithm>
#include <cmath>

namespace nuvgst {

std::uint64_t FrameCounter::Seen(double ms, std::uint64_t *missed) {
    std::uint64_t steps = 1;
    if (started_ && intervalMs_ > 0.0) {
        // Rounded: a frame seen a little late (a poll step, a busy machine)
        // is not taken for a lost one.
        const double gap = std::floor((ms - lastMs_) / intervalMs_ + 0.5);
        if (gap > 1.0) steps = static_cast<std::uint64_t>(std::min(gap, 1e12));
    }
    const std::uint64_t number = started_ ? next_ + steps - 1 : 0;
    *missed = started_ ? steps - 1 : 0;
    started_ = true;
    lastMs_ = ms;
    next_ = number + 1;
    return number;
}

PollSchedule::PollSchedule(std::int64_t intervalUs)
    : nominal_(std::max<std::int64_t>(intervalUs, 1000)),
      period_(nominal_),
      fine_(std::clamp<std::int64_t>(nominal_ / 64, 200, 1000)),
      coarse_(std::clamp<std::int64_t>(nominal_ / 4, 1000, 20000)) {}

void PollSchedule::Seen(std::int64_t gapUs, std::uint64_t steps) {
    if (gapUs <= 0 || steps == 0) return;
    // One frame's share of the gap, within reason, smoothed over about
    // eight frames.
    const std::int64_t sample = std::clamp<std::int64_t>(gapUs / static_cast<std::int64_t>(std::min<std::uint64_t>(steps, 64)),
                                                         nominal_ / 2, nominal_ * 16);
    period_ += (sample - period_) / 8;
}

std::int64_t PollSchedule::Next(std::int64_t lastSeenUs, std::int64_t nowUs) const {
    // Looks begin a thirty-second of the interval early: each one is a
    // wake-up and two calls into the library, and beginning an eighth early
    // cost more looks than the frame's own copy is worth.
    const std::int64_t start = lastSeenUs + period_ - period_ / 32;
    if (nowUs < start) return start;
    // A quarter of the lateness: a frame a little late is seen at once, a
    // camera that stopped is looked at every coarse step.
    return nowUs + std::min(coarse_, fine_ + (nowUs - start) / 4);
}

}  // namespace nuvgst
