// What tests see of the framework and device services on non-Windows builds:
// switches that make a framework step or a device-service call fail, and
// counters of what the library holds. Both are reached only through the
// simulator's control API; a library over real devices never arms a switch.
#pragma once

#include <atomic>
#include <cstdint>

#include "nuv_build_steps.h"

namespace nuv::framework {

// The device-service and framework calls that can fail on request, beside
// the steps of a capture-graph build (nuv_build_steps.h).
#define NUV_SERVICE_CALLS(CALL)          \
    CALL(CreateFileA)                    \
    CALL(HidD_GetPreparsedData)          \
    CALL(HidP_GetCaps)                   \
    CALL(HidD_GetSerialNumberString)     \
    CALL(SetupDiEnumDeviceInterfaces)    \
    CALL(SetupDiGetDeviceInterfaceDetailA) \
    CALL(CM_Get_Parent)                  \
    CALL(CM_Get_Device_IDA)              \
    CALL(GetNumberOfCapabilities)        \
    CALL(GetStreamCaps)                  \
    CALL(Stop)                           \
    CALL(WaitForCompletion)

enum class FaultPoint : int {
#define NUV_FAULT_STEP(number, name, what) name,
    NUV_BUILD_STEPS(NUV_FAULT_STEP)
#undef NUV_FAULT_STEP
#define NUV_FAULT_CALL(name) name,
    NUV_SERVICE_CALLS(NUV_FAULT_CALL)
#undef NUV_FAULT_CALL
    kCount
};

// Any argument of a call (an index, a position) matches.
inline constexpr long kAnyArgument = -1;

class Faults {
public:
    // The first `skip` calls of the point whose argument matches pass, the
    // next `count` fail (-1: every one until cleared; 0 clears the point).
    static void Arm(FaultPoint point, int skip, int count, long argument = kAnyArgument);
    static void Clear();
    // True when this call fails; counts it. Cheap while nothing is armed.
    static bool Fails(FaultPoint point, long argument = kAnyArgument);

    // A point by its name ("CreateFileA", "Connect", ...); kCount for none.
    static FaultPoint FromName(const char *name);
    // The build step with this status number; kCount for none (8 and 9 are
    // the library's own findings, not calls that fail).
    static FaultPoint FromBuildStatus(int status);

private:
    static std::atomic<int> armed_;
};

// Live objects and initialisations: all zero whenever the library holds
// nothing.
struct LiveCounts {
    std::atomic<int> comObjects{0};
    std::atomic<int> comInits{0};
    std::atomic<int> deviceInfoSets{0};
    std::atomic<int> preparsedData{0};
};
LiveCounts &Live();

// Forgets the COM initialisations made so far (a reset of the world): a
// thread that still holds one balances it without counting.
void ForgetComInits();

}  // namespace nuv::framework
