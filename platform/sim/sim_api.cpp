// The simulator's C control API.
#include "api/guarded.h"
#include "nuv_sim.h"
#include "platform/sim/clock.h"
#include "platform/sim/files.h"
#include "platform/sim/world.h"

using nuv::Guarded;
using nuv::sim::Clock;
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
    return Guarded(-1, [&] { return World::Instance().AddDevice(nuv::sim::Widen(friendlyName), plugAndPlay != 0); });
}

NuvBool NUV_CALL NuvSimRemoveDevice(int deviceId) {
    return Guarded<NuvBool>(0, [&] { return static_cast<NuvBool>(World::Instance().RemoveDevice(deviceId)); });
}

int NUV_CALL NuvSimDeviceCount(void) { return World::Instance().DeviceCount(); }
int NUV_CALL NuvSimLiveComObjects(void) { return World::Instance().ComObjects(); }
int NUV_CALL NuvSimLiveComInits(void) { return World::Instance().ComInits(); }
int NUV_CALL NuvSimOpenHandles(void) { return nuv::sim::FileTable::Instance().OpenCount(); }

void NUV_CALL NuvSimUseVirtualClock(int on) { Clock::Instance().UseVirtualTime(on != 0); }
unsigned int NUV_CALL NuvSimGetTickCount(void) { return Clock::Instance().Now(); }
void NUV_CALL NuvSimSetClock(unsigned int ms) { Clock::Instance().Set(ms); }
void NUV_CALL NuvSimAdvanceClock(unsigned int ms) { Clock::Instance().Advance(ms); }
