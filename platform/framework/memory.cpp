// The library's large buffers on non-Windows builds: aligned blocks that a
// test can make fail (frame buffers, gain maps, firmware images), counted so
// that a test sees every block given back.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/framework/memory.h"

namespace nuv::framework {
namespace {

std::atomic<int> gSkip{0};
std::atomic<int> gFailures{0};
std::atomic<int> gLive{0};

// The next allocation fails when the switch says so; counts down.
bool TakeFailure() {
    for (;;) {
        int skip = gSkip.load();
        if (skip > 0) {
            if (gSkip.compare_exchange_weak(skip, skip - 1)) return false;
            continue;
        }
        int failures = gFailures.load();
        if (failures <= 0) return false;
        if (gFailures.compare_exchange_weak(failures, failures - 1)) return true;
    }
}

}  // namespace

void FailAllocations(int skip, int count) {
    gFailures = 0;
    gSkip = skip > 0 ? skip : 0;
    gFailures = count > 0 ? count : 0;
}

void ResetAllocationSwitch() { FailAllocations(0, 0); }

int LiveAllocations() { return gLive.load(); }

}  // namespace nuv::framework

namespace nuv::os {

// The block's start is kept just before the aligned address, so that a free
// needs nothing but the pointer, on every system the simulator builds for.
void *AllocateAligned(std::size_t bytes, std::size_t alignment) {
    if (alignment < alignof(void *) || (alignment & (alignment - 1)) != 0 || alignment > 4096) return nullptr;
    if (framework::TakeFailure()) return nullptr;
    if (bytes > SIZE_MAX - alignment - sizeof(void *)) return nullptr;
    void *raw = std::malloc(bytes + alignment + sizeof(void *));
    if (raw == nullptr) return nullptr;
    auto start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void *);
    start = (start + alignment - 1) & ~(static_cast<std::uintptr_t>(alignment) - 1);
    std::memcpy(reinterpret_cast<void *>(start - sizeof(void *)), &raw, sizeof raw);
    ++framework::gLive;
    return reinterpret_cast<void *>(start);
}

void FreeAligned(void *block) {
    if (block == nullptr) return;
    void *raw = nullptr;
    std::memcpy(&raw, static_cast<unsigned char *>(block) - sizeof(void *), sizeof raw);
    std::free(raw);
    --framework::gLive;
}

}  // namespace nuv::os

