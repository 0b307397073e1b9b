// Owning holders for the library's large buffers, which come from the OS
// door's aligned allocator (and can be made to fail in the simulated world).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/os.h"

namespace nuv {

struct AlignedFree {
    void operator()(void *block) const noexcept { os::FreeAligned(block); }
};

template <class T>
using AlignedArray = std::unique_ptr<T[], AlignedFree>;

// count elements of T (uninitialised), aligned to alignment bytes; null when
// memory runs out or the size does not fit in the address space.
template <class T>
AlignedArray<T> AllocateArray(std::size_t count, std::size_t alignment = 16) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    if (alignment < alignof(T)) alignment = alignof(T);
    return AlignedArray<T>(static_cast<T *>(os::AllocateAligned(count * sizeof(T), alignment)));
}

}  // namespace nuv
