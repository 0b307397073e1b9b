// The element's sense of time for one camera. The library hands out only
// the newest frame and never says when it came or how many it replaced, so
// the element counts frames from the moments it sees them (on the camera
// world's clock, which the simulated world can run virtually) and paces its
// looks at the library by the frame interval, sleeping between them.
#pragma once

#include <cstdint>

namespace nuvgst {

// Frame numbers from the moments frames are seen: a gap of k intervals
// since the last frame seen means k - 1 frames were replaced unseen.
class FrameCounter {
public:
    explicit FrameCounter(double intervalMs = 0.0) : intervalMs_(intervalMs) {}
    // A new frame seen at ms on the world's clock: returns its number (0 for
    // the first), and through missed how many frames went by unseen.
    std::uint64_t Seen(double ms, std::uint64_t *missed);
    // Milliseconds since the last frame seen (0 before the first).
    double SinceLast(double ms) const { return started_ ? ms - lastMs_ : 0.0; }

private:
    double intervalMs_;
    bool started_ = false;
    double lastMs_ = 0.0;
    std::uint64_t next_ = 0;
};

// When to look again, in microseconds of real time. Until shortly before
// the next frame is due the element sleeps; then it looks in small steps
// that grow with the frame's lateness, so that a late or stalled camera
// costs a few looks rather than hundreds. When a frame is due follows the
// frames actually seen: a camera slower than its nominal rate (a busy USB
// bus, an emulated machine) is not looked at in vain.
class PollSchedule {
public:
    explicit PollSchedule(std::int64_t intervalUs = 33333);
    // A frame seen gapUs after the one before, steps frames on (1: the next).
    void Seen(std::int64_t gapUs, std::uint64_t steps);
    std::int64_t Next(std::int64_t lastSeenUs, std::int64_t nowUs) const;
    std::int64_t PeriodUs() const { return period_; }
    std::int64_t FineStep() const { return fine_; }
    std::int64_t CoarseStep() const { return coarse_; }

private:
    std::int64_t nominal_;
    std::int64_t period_;  // the frame interval seen, smoothed
    std::int64_t fine_;
    std::int64_t coarse_;
};

}  // namespace nuvgst
