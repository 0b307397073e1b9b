#include "platform/framework/clock.h"

#include <chrono>
#include <thread>

namespace nuv::framework {

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
    for (auto &entry : caughtUp_) entry.second = virtualNow_;
    changed_.notify_all();
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
    std::unique_lock<std::mutex> hold(lock_);
    if (!virtual_) return;
    virtualNow_ = ms;
    // Followers count due times from when they started; a clock set back
    // leaves them nothing to catch up.
    for (auto &entry : caughtUp_) {
        if (static_cast<std::int32_t>(entry.second - ms) > 0) entry.second = ms;
    }
    changed_.notify_all();
    WaitForFollowers(hold);
}

void Clock::Advance(std::uint32_t ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!virtual_) return;
    virtualNow_ += ms;  // wraps like the OS tick count
    changed_.notify_all();
    WaitForFollowers(hold);
}

void Clock::Sleep(std::uint32_t ms) {
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (virtual_) {
            virtualNow_ += ms;
            changed_.notify_all();
            WaitForFollowers(hold);
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {
// A follower that moves the clock itself must not wait for itself.
thread_local int tFollower = 0;
}  // namespace

void Clock::WaitForFollowers(std::unique_lock<std::mutex> &lock) {
    caughtUpCv_.wait(lock, [&] {
        if (!virtual_) return true;
        for (const auto &[id, time] : caughtUp_) {
            if (id != tFollower && static_cast<std::int32_t>(virtualNow_ - time) > 0) return false;
        }
        return true;
    });
}

int Clock::AddFollower() {
    std::lock_guard<std::mutex> hold(lock_);
    const int id = nextFollower_++;
    caughtUp_[id] = virtual_ ? virtualNow_ : RealTicks();
    return id;
}

void Clock::RemoveFollower(int id) {
    std::lock_guard<std::mutex> hold(lock_);
    caughtUp_.erase(id);
    if (tFollower == id) tFollower = 0;
    caughtUpCv_.notify_all();
}

bool Clock::WaitUntil(int follower, std::uint32_t due, bool hasDue, const std::function<bool()> &wake) {
    std::unique_lock<std::mutex> hold(lock_);
    tFollower = follower;
    for (;;) {
        if (wake && wake()) return false;
        const std::uint32_t now = virtual_ ? virtualNow_ : RealTicks();
        if (hasDue && static_cast<std::int32_t>(now - due) >= 0) return true;
        if (virtual_) {
            auto it = caughtUp_.find(follower);
            if (it != caughtUp_.end() && it->second != now) {
                it->second = now;
                caughtUpCv_.notify_all();
            }
            changed_.wait(hold);
        } else {
            std::uint32_t wait = 50;
            if (hasDue && due - now < wait) wait = due - now;
            changed_.wait_for(hold, std::chrono::milliseconds(wait));
        }
    }
}

void Clock::Notify() {
    std::lock_guard<std::mutex> hold(lock_);
    changed_.notify_all();
}

}  // namespace nuv::framework
