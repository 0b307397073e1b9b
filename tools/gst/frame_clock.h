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
// the next frame is due the element sleeps; from then on it looks in small
// steps, and in larger ones once the frame is well overdue, so that a
// stalled camera costs little.
class PollSchedule {
public:
    explicit PollSchedule(std::int64_t intervalUs = 33333);
    std::int64_t Next(std::int64_t lastSeenUs, std::int64_t nowUs) const;
    std::int64_t FineStep() const { return fine_; }
    std::int64_t CoarseStep() const { return coarse_; }

private:
    std::int64_t interval_;
    std::int64_t margin_;
    std::int64_t fine_;
    std::int64_t coarse_;
};

}  // namespace nuvgst
