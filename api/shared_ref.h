// A shared_ptr that one thread may replace while others take snapshots of it.
//
// Records hand out their parameter block, gain maps and control channel this
// way: a reader keeps what it loaded alive for as long as it uses it, so a
// replacement or a close on another thread never frees memory (or closes a
// handle) that is still in use. The release of the old object happens in the
// last holder, outside any lock.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace nuv {

template <class T>
class SharedRef {
public:
    constexpr SharedRef() = default;
    SharedRef(const SharedRef &) = delete;
    SharedRef &operator=(const SharedRef &) = delete;

    std::shared_ptr<T> load() const {
        std::lock_guard<std::mutex> hold(lock_);
        return ptr_;
    }

    // Installs value and returns what was there, for the caller to drop.
    std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        std::lock_guard<std::mutex> hold(lock_);
        std::swap(ptr_, value);
        return value;
    }

    void store(std::shared_ptr<T> value) { exchange(std::move(value)); }

    bool empty() const {
        std::lock_guard<std::mutex> hold(lock_);
        return ptr_ == nullptr;
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<T> ptr_;
};

}  // namespace nuv
