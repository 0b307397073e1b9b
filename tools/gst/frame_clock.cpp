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
    : interval_(std::max<std::int64_t>(intervalUs, 1000)),
      margin_(interval_ / 8),
      fine_(std::clamp<std::int64_t>(interval_ / 64, 200, 1000)),
      coarse_(std::clamp<std::int64_t>(interval_ / 8, 1000, 10000)) {}

std::int64_t PollSchedule::Next(std::int64_t lastSeenUs, std::int64_t nowUs) const {
    const std::int64_t due = lastSeenUs + interval_;
    if (nowUs < due - margin_) return due - margin_;
    return nowUs + (nowUs < due + interval_ ? fine_ : coarse_);
}

}  // namespace nuvgst
