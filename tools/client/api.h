// The library a tool drives, loaded at run time: the simulated world, the
// Windows DLL, or the real backend, chosen when the tool starts. Each
// export is resolved by name into a table; the simulator's control calls are
// present only when the loaded library is the simulated one. Shared by the
// tools (nuvctl, the GStreamer element), which are clients of the public
// headers like any application.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "nuv.h"
#include "nuv_sim.h"

namespace nuvclient {

// A failure the user sees with its message: what was asked, and why it
// failed.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string &message) : std::runtime_error(message) {}
};

// A library call that reported failure: what was asked, and why it may have
// failed (the library itself reports only its result).
[[noreturn]] void CallFailed(const std::string &call, const std::string &causes);

#define NUVCTL_EXPORTS(X)                                                                                       \
    X(NuvDLLVersion) X(NuvGetBufferSize) X(NuvGetDevice) X(NuvGetDeviceWithSerialNo) X(NuvGetFormat) X(NuvOpen) \
    X(NuvReceiveImage) X(NuvClose) X(NuvOpenSerialNo) X(NuvSetLed) X(NuvGetLed) X(NuvSetGain) X(NuvGetGain)     \
    X(NuvSetExposure) X(NuvGetExposure) X(NuvSetCameraNo) X(NuvGetCameraNo) X(NuvSetColorBar) X(NuvGetColorBar) \
    X(NuvCameraRecognition) X(NuvUSBMode) X(NuvGPIODirection) X(NuvGPIOOutput) X(NuvGPIOInput) X(NuvTemperature) \
    X(NuvSetDigitalGain) X(NuvGetDigitalGain) X(NuvSetShutter) X(NuvGetShutter) X(NuvSetSerialNo)               \
    X(NuvGetSerialNo) X(NuvVersion) X(NuvSetRegister) X(NuvSetPixelDefect) X(NuvGetPixelDefect)                 \
    X(NuvSetPixelDefectOnOff) X(NuvGetPixelDefectOnOff) X(NuvSetShadingCorrection) X(NuvGetShadingCorrection)   \
    X(NuvSetShadingCorrectionOnOff) X(NuvGetShadingCorrectionOnOff) X(NuvSoftRewrite) X(NuvSoftRewriteState)

// The simulator's calls the tools use (their options for tests and demos,
// and the simulated world's clock).
#define NUVCTL_SIM_EXPORTS(X)                                                                                   \
    X(NuvSimUseVirtualClock) X(NuvSimAdvanceClock) X(NuvSimDeviceCount) X(NuvSimAddCamera)                      \
    X(NuvSimCameraHidInterface) X(NuvSimFlashPeek) X(NuvSimFlashPoke) X(NuvSimSetScene) X(NuvSimSetLens)       \
    X(NuvSimAddSensorDefect) X(NuvSimSetNoise) X(NuvSimHidPauseAt) X(NuvSimHidResume) X(NuvSimGetTickCount)                   \
    X(NuvSimFramesDelivered)

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
    std::string path;  // an explicit file, else the environment, else the search below
    bool sim = false;  // the simulated world (Windows: nuv_sim.dll instead of nuv.dll)
    bool real = false; // the real cameras (Linux: libnuv.so instead of libnuv_sim.so)
    // The environment variable that names the library when path is empty
    // ("" for none), and how the user chooses it, for the failure's text.
    std::string environment = "NUVCTL_LIBRARY";
    std::string howToChoose = "--library PATH or the environment variable NUVCTL_LIBRARY";
    // Linux: the folders searched first, in order; empty means the running
    // program's folder and the library folder beside it (../lib). The
    // installed library folder and the loader's own search follow.
    std::vector<std::string> searchDirs;
};

// Loads the library and resolves every export; throws Failure naming the
// library and the missing export otherwise. Libraries stay loaded for the
// life of the process; loading the same file again gives the same table.
// Safe to call from several threads.
const Api &LoadNuvLibrary(const LibraryChoice &choice);

// The library loaded last (LoadNuvLibrary first).
const Api &Library();

// The folder of the running program (Linux), "." when unknown.
std::string ExecutableDir();

}  // namespace nuvclient
