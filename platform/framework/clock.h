// The framework's one clock. GetTickCount, Sleep and every timed wait of the
// framework and its camera sources read it. In real time it follows the
// machine's monotonic clock. Tests of the simulated world switch it to
// virtual time, in which nothing waits: a sleep or a wait that would time out
// returns at once and moves the clock on by its length. No lock of the
// framework or of a source is held across a move of the clock, because the
// threads that must catch up with it (streaming threads) may need it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace nuv::framework {

class Clock {
public:
    static Clock &Instance();

    void UseVirtualTime(bool on);
    bool IsVirtual() const;
    std::uint32_t Now() const;
    void Set(std::uint32_t ms);       // virtual time only
    void Advance(std::uint32_t ms);   // virtual time only
    void Sleep(std::uint32_t ms);

    // Waits on cv (with lock held by the caller) until ready() or timeoutMs
    // passed. In virtual time a wait that is not ready at once advances the
    // clock by the whole timeout, with the lock let go meanwhile, and
    // returns ready()'s answer then.
    template <class Pred>
    bool WaitFor(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, std::uint32_t timeoutMs,
                 Pred ready) {
        if (ready()) return true;
        if (IsVirtual()) {
            lock.unlock();
            Advance(timeoutMs);
            lock.lock();
            return ready();
        }
        return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }

    // ---- Followers: threads that act on the passage of time (running
    // capture graphs). In virtual time an advance (Advance, Sleep, a timed
    // wait) returns only once every follower has acted on all that fell due
    // up to the new time, so that time moves the simulated devices along
    // deterministically.
    int AddFollower();  // registered as caught up with the current time
    void RemoveFollower(int id);
    // Called on the follower's thread: waits until the clock reaches due
    // (when hasDue) or wake() answers true. True when due, false when woken.
    bool WaitUntil(int follower, std::uint32_t due, bool hasDue, const std::function<bool()> &wake);
    // Makes waiting followers ask their wake() again.
    void Notify();

private:
    Clock() = default;
    void WaitForFollowers(std::unique_lock<std::mutex> &lock);
    std::condition_variable changed_;
    std::condition_variable caughtUpCv_;
    std::map<int, std::uint32_t> caughtUp_;
    int nextFollower_ = 1;
    mutable std::mutex lock_;
    bool virtual_ = false;
    std::uint32_t virtualNow_ = 0;
};

}  // namespace nuv::framework
