// Owning reference to a COM interface: released on reset and destruction, so
// release order stays explicit and a forgotten Release cannot leak.
#pragma once

#include <utility>

#include "platform/os.h"

namespace nuv {

template <class T>
class ComRef {
public:
    constexpr ComRef() = default;
    explicit ComRef(T *adopted) : ptr_(adopted) {}
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;
    ComRef(ComRef &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComRef &operator=(ComRef &&other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~ComRef() { reset(); }

    void reset() {
        if (T *p = std::exchange(ptr_, nullptr)) p->Release();
    }
    T *get() const { return ptr_; }
    T *operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // For out-parameters: drops what is held and lends the slot.
    T **put() {
        reset();
        return &ptr_;
    }
    void **putVoid() { return reinterpret_cast<void **>(put()); }

    // Queries the held object for another interface.
    template <class U>
    HRESULT query(REFIID iid, ComRef<U> &out) const {
        if (!ptr_) return E_POINTER;
        return ptr_->QueryInterface(iid, out.putVoid());
    }

private:
    T *ptr_ = nullptr;
};

}  // namespace nuv
