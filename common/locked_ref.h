// A shared reference that one thread replaces while others read it: the
// holder of a record's control channel, parameter block and gain maps.
//
// A reader takes a copy (load), which keeps the object alive for as long as
// it holds the copy; a writer puts a new reference in place and gets the
// previous one back (exchange), so the object is released by whoever drops
// the last copy, never under this holder's lock. The lock is a plain mutex,
// held only to copy or swap the reference (nothing else is ever taken under
// it), so under the C++ memory model every read of the reference happens
// before the next replacement. (std::atomic<std::shared_ptr>
// as libstdc++ 12 builds it releases its internal lock with a relaxed
// decrement, which gives no such order; ThreadSanitizer rightly reports it.)
#pragma once

#include <mutex>
#include <utility>

namespace nuv {

template <class Ref>
class LockedRef {
public:
    constexpr LockedRef() noexcept = default;
    LockedRef(const LockedRef &) = delete;
    LockedRef &operator=(const LockedRef &) = delete;

    Ref load() const noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        return ref_;
    }

    // The previous reference, for the caller to drop where it holds no lock
    // it cares about (a release may run a destructor that waits or closes).
    Ref exchange(Ref next) noexcept {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ref_.swap(next);
        }
        return next;
    }

    // The previous reference is dropped here, after the lock is let go.
    void store(Ref next) noexcept { exchange(std::move(next)); }

private:
    mutable std::mutex lock_;
    Ref ref_;
};

}  // namespace nuv
