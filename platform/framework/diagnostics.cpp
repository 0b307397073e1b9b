#include "platform/framework/diagnostics.h"

#include <cstring>
#include <mutex>

namespace nuv::framework {
namespace {

struct Switch {
    int skip = 0;
    int remaining = 0;  // -1: until cleared
    long argument = kAnyArgument;
};

constexpr int kPoints = static_cast<int>(FaultPoint::kCount);

struct Table {
    std::mutex lock;
    Switch switches[kPoints];
};

Table &Switches() {
    static Table *table = new Table();  // outlives the library's statics
    return *table;
}

const char *const kNames[kPoints] = {
#define NUV_FAULT_STEP(number, name, what) #name,
    NUV_BUILD_STEPS(NUV_FAULT_STEP)
#undef NUV_FAULT_STEP
#define NUV_FAULT_CALL(name) #name,
        NUV_SERVICE_CALLS(NUV_FAULT_CALL)
#undef NUV_FAULT_CALL
};

constexpr int kStatuses[] = {
#define NUV_FAULT_STEP(number, name, what) number,
    NUV_BUILD_STEPS(NUV_FAULT_STEP)
#undef NUV_FAULT_STEP
};

}  // namespace

std::atomic<int> Faults::armed_{0};

void Faults::Arm(FaultPoint point, int skip, int count, long argument) {
    const int index = static_cast<int>(point);
    if (index < 0 || index >= kPoints) return;
    Table &table = Switches();
    std::lock_guard<std::mutex> hold(table.lock);
    Switch &entry = table.switches[index];
    const bool was = entry.remaining != 0;
    entry = Switch{skip > 0 ? skip : 0, count < 0 ? -1 : count, argument};
    const bool is = entry.remaining != 0;
    if (is != was) armed_ += is ? 1 : -1;
}

void Faults::Clear() {
    Table &table = Switches();
    std::lock_guard<std::mutex> hold(table.lock);
    for (Switch &entry : table.switches) entry = Switch{};
    armed_ = 0;
}

bool Faults::Fails(FaultPoint point, long argument) {
    if (armed_.load(std::memory_order_relaxed) == 0) return false;
    const int index = static_cast<int>(point);
    Table &table = Switches();
    std::lock_guard<std::mutex> hold(table.lock);
    Switch &entry = table.switches[index];
    if (entry.remaining == 0) return false;
    if (entry.argument != kAnyArgument && entry.argument != argument) return false;
    if (entry.skip > 0) {
        --entry.skip;
        return false;
    }
    if (entry.remaining > 0 && --entry.remaining == 0) --armed_;
    return true;
}

FaultPoint Faults::FromName(const char *name) {
    if (name == nullptr) return FaultPoint::kCount;
    for (int i = 0; i < kPoints; ++i) {
        if (std::strcmp(kNames[i], name) == 0) return static_cast<FaultPoint>(i);
    }
    return FaultPoint::kCount;
}

FaultPoint Faults::FromBuildStatus(int status) {
    if (status == static_cast<int>(kStatuses[static_cast<int>(FaultPoint::NoDevices)]) ||
        status == static_cast<int>(kStatuses[static_cast<int>(FaultPoint::NoDevice)])) {
        return FaultPoint::kCount;
    }
    for (int i = 0; i < static_cast<int>(sizeof kStatuses / sizeof kStatuses[0]); ++i) {
        if (kStatuses[i] == status) return static_cast<FaultPoint>(i);
    }
    return FaultPoint::kCount;
}

LiveCounts &Live() {
    static LiveCounts *counts = new LiveCounts();
    return *counts;
}

}  // namespace nuv::framework
