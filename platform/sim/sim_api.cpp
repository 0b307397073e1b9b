// The simulator's control API: the world, the clock, the framework's fault
// switches and what tests observe of it.
#include "common/guarded.h"
#include "nuv_sim.h"
#include "platform/framework/clock.h"
#include "platform/framework/diagnostics.h"
#include "platform/framework/files.h"
#include "platform/framework/memory.h"
#include "platform/framework/threads.h"
#include "platform/sim/world.h"

using nuv::Guarded;
using nuv::framework::Clock;
using nuv::framework::FaultPoint;
using nuv::framework::Faults;
using nuv::framework::Live;
using nuv::sim::World;

void NUV_CALL NuvSimReset(void) {
    Guarded(0, [] {
        World::Instance().Reset();
        return 0;
    });
}

void NUV_CALL NuvSimResetDefault(void) {
    Guarded(0, [] {
        World::Instance().ResetDefault();
        return 0;
    });
}

int NUV_CALL NuvSimAddDevice(const char *friendlyName, int plugAndPlay) {
    return Guarded(-1, [&] {
        return World::Instance().AddDevice(nuv::framework::Widen(friendlyName), plugAndPlay != 0);
    });
}

NuvBool NUV_CALL NuvSimRemoveDevice(int deviceId) {
    return Guarded<NuvBool>(0, [&] { return static_cast<NuvBool>(World::Instance().UnplugDevice(deviceId, false)); });
}

int NUV_CALL NuvSimDeviceCount(void) {
    return Guarded(-1, [] { return World::Instance().DeviceCount(); });
}
int NUV_CALL NuvSimLiveComObjects(void) { return Live().comObjects.load(); }
int NUV_CALL NuvSimLiveComInits(void) { return Live().comInits.load(); }
int NUV_CALL NuvSimOpenHandles(void) {
    return Guarded(-1, [] { return nuv::framework::FileTable::Instance().OpenCount(); });
}
int NUV_CALL NuvSimLiveDeviceInfoSets(void) { return Live().deviceInfoSets.load(); }
int NUV_CALL NuvSimLiveHidPreparsedData(void) { return Live().preparsedData.load(); }

int NUV_CALL NuvSimComInitialize(int apartmentThreaded) {
    return Guarded<int>(-1, [&] {
        return static_cast<int>(
            nuv::os::CoInitializeEx(nullptr, apartmentThreaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED));
    });
}

void NUV_CALL NuvSimComUninitialize(void) {
    Guarded(0, [] {
        nuv::os::CoUninitialize();
        return 0;
    });
}

// ---- Clock -----------------------------------------------------------------

void NUV_CALL NuvSimUseVirtualClock(int on) {
    Guarded(0, [&] {
        Clock::Instance().UseVirtualTime(on != 0);
        return 0;
    });
}
unsigned int NUV_CALL NuvSimGetTickCount(void) {
    return Guarded(0u, [] { return Clock::Instance().Now(); });
}
void NUV_CALL NuvSimSetClock(unsigned int ms) {
    Guarded(0, [&] {
        Clock::Instance().Set(ms);
        return 0;
    });
}
void NUV_CALL NuvSimAdvanceClock(unsigned int ms) {
    Guarded(0, [&] {
        Clock::Instance().Advance(ms);
        return 0;
    });
}

// ---- Framework calls that fail on request -------------------------------------

namespace {
// A point a call can fail at: not the library's own findings 8 and 9.
bool Failable(FaultPoint point) {
    return point != FaultPoint::kCount && point != FaultPoint::NoDevices && point != FaultPoint::NoDevice;
}
}  // namespace

NuvBool NUV_CALL NuvSimFailCall(const char *name, long long argument, int skip, int count) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        const FaultPoint point = Faults::FromName(name);
        if (!Failable(point) || skip < 0 || count < -1) return 0;
        Faults::Arm(point, skip, count, argument < 0 ? nuv::framework::kAnyArgument : static_cast<long>(argument));
        return 1;
    });
}

void NUV_CALL NuvSimClearCallFaults(void) { Faults::Clear(); }

NuvBool NUV_CALL NuvSimFailBuildStepAfter(int status, int skip, int times) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        const FaultPoint point = Faults::FromBuildStatus(status);
        if (point == FaultPoint::kCount || skip < 0 || times < -1) return 0;
        Faults::Arm(point, skip, times);
        return 1;
    });
}

NuvBool NUV_CALL NuvSimFailBuildStep(int status, int times) { return NuvSimFailBuildStepAfter(status, 0, times); }

NuvBool NUV_CALL NuvSimFailBuildStepNamed(const char *name, int times) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        const FaultPoint point = Faults::FromName(name);
        const bool buildStep = static_cast<int>(point) <= static_cast<int>(FaultPoint::FirstFrame);
        if (!Failable(point) || !buildStep || times < -1) return 0;
        Faults::Arm(point, 0, times);
        return 1;
    });
}

void NUV_CALL NuvSimClearBuildFaults(void) { Faults::Clear(); }

// ---- Memory and threads -------------------------------------------------------

void NUV_CALL NuvSimFailAllocations(int skip, int count) { nuv::framework::FailAllocations(skip, count); }
int NUV_CALL NuvSimLiveAllocations(void) { return nuv::framework::LiveAllocations(); }
void NUV_CALL NuvSimFailThreadCreations(int count) { nuv::framework::FailThreadCreations(count); }
void NUV_CALL NuvSimHoldNewThreads(int on) {
    Guarded(0, [&] {
        nuv::framework::HoldNewThreads(on != 0);
        return 0;
    });
}
