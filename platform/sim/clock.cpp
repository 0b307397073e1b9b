#include "platform/sim/clock.h"

#include <chrono>
#include <thread>

namespace nuv::sim {

namespace {
std::uint32_t RealTicks() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

Clock &Clock::Instance() {
    // Never destroyed: devices and library statics may read the clock while
    // the process exits.
    static Clock *clock = new Clock();
    return *clock;
}

void Clock::UseVirtualTime(bool on) {
    std::lock_guard<std::mutex> hold(lock_);
    if (on && !virtual_) virtualNow_ = RealTicks();
    virtual_ = on;
}

bool Clock::IsVirtual() const {
    std::lock_guard<std::mutex> hold(lock_);
    return virtual_;
}

std::uint32_t Clock::Now() const {
    std::lock_guard<std::mutex> hold(lock_);
    return virtual_ ? virtualNow_ : RealTicks();
}

void Clock::Set(std::uint32_t ms) {
    std::lock_guard<std::mutex> hold(lock_);
    if (virtual_) virtualNow_ = ms;
}

void Clock::Advance(std::uint32_t ms) {
    std::lock_guard<std::mutex> hold(lock_);
    if (virtual_) virtualNow_ += ms;  // wraps like the OS tick count
}

void Clock::Sleep(std::uint32_t ms) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (virtual_) {
            virtualNow_ += ms;
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace nuv::sim
