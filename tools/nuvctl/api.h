// The library nuvctl drives, loaded at run time: the simulated world, the
// Windows DLL, or later a real backend, chosen when the tool starts. Each
// export is resolved by name into a table; the simulator's control calls are
// present only when the loaded library is the simulated one.
#pragma once

#include <string>

#include "nuv.h"
#include "nuv_sim.h"

namespace nuvctl {

#define NUVCTL_EXPORTS(X)                                                                                       \
    X(NuvDLLVersion) X(NuvGetBufferSize) X(NuvGetDevice) X(NuvGetDeviceWithSerialNo) X(NuvGetFormat) X(NuvOpen) \
    X(NuvReceiveImage) X(NuvClose) X(NuvOpenSerialNo) X(NuvSetLed) X(NuvGetLed) X(NuvSetGain) X(NuvGetGain)     \
    X(NuvSetExposure) X(NuvGetExposure) X(NuvSetCameraNo) X(NuvGetCameraNo) X(NuvSetColorBar) X(NuvGetColorBar) \
    X(NuvCameraRecognition) X(NuvUSBMode) X(NuvGPIODirection) X(NuvGPIOOutput) X(NuvGPIOInput) X(NuvTemperature) \
    X(NuvSetDigitalGain) X(NuvGetDigitalGain) X(NuvSetShutter) X(NuvGetShutter) X(NuvSetSerialNo)               \
    X(NuvGetSerialNo) X(NuvVersion) X(NuvSetRegister) X(NuvSetPixelDefect) X(NuvGetPixelDefect)                 \
    X(NuvSetPixelDefectOnOff) X(NuvGetPixelDefectOnOff) X(NuvSetShadingCorrection) X(NuvGetShadingCorrection)   \
    X(NuvSetShadingCorrectionOnOff) X(NuvGetShadingCorrectionOnOff) X(NuvSoftRewrite) X(NuvSoftRewriteState)

// The simulator's calls the tool uses (its options for tests and demos).
#define NUVCTL_SIM_EXPORTS(X)                                                                                   \
    X(NuvSimUseVirtualClock) X(NuvSimAdvanceClock) X(NuvSimDeviceCount) X(NuvSimAddCamera)                      \
    X(NuvSimCameraHidInterface) X(NuvSimFlashPeek) X(NuvSimFlashPoke) X(NuvSimSetScene) X(NuvSimSetLens)       \
    X(NuvSimAddSensorDefect) X(NuvSimSetNoise) X(NuvSimHidPauseAt) X(NuvSimHidResume) X(NuvSimFramesDelivered)

struct Api {
#define NUVCTL_MEMBER(name) decltype(&::name) name = nullptr;
    NUVCTL_EXPORTS(NUVCTL_MEMBER)
    NUVCTL_SIM_EXPORTS(NUVCTL_MEMBER)
#undef NUVCTL_MEMBER
    bool simulated = false;  // every NuvSim call above resolved
    std::string path;        // what was loaded
};

// Which library to load.
struct LibraryChoice {
    std::string path;  // --library, else the environment, else the search below
    bool sim = false;  // --sim
    bool real = false; // --real
};

// Loads the library and resolves every export; throws Failure naming the
// library and the missing export otherwise. The library stays loaded for the
// life of the process.
const Api &LoadNuvLibrary(const LibraryChoice &choice);

// The loaded library (LoadNuvLibrary first).
const Api &Library();

}  // namespace nuvctl
