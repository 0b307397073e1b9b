// The ten video-property exports: their own range checks, then the property
// call on the camera's capture filter. They live with capture, which owns
// the slots and their filters; what each property means to the camera is
// control's (control/video_properties.h).
#include "api/registry.h"
#include "capture/capture.h"
#include "common/guarded.h"
#include "control/video_properties.h"
#include "nuv.h"

namespace nuv {

namespace {

// The slot of an open camera, or -1.
int SlotOfHandle(int handle) {
    const CameraRecord *record = LookUpCamera(handle);
    return record ? record->slotIndex.load() : -1;
}

NuvBool SetExport(int handle, int value, bool inRange, int propertyIndex) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        const int slotIndex = SlotOfHandle(handle);
        if (slotIndex == -1 || !inRange) return 0;
        return SetProperty(slotIndex, propertyIndex, static_cast<double>(value)) ? 1 : 0;
    });
}

NuvBool GetExport(int handle, int *out, int propertyIndex) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        const int slotIndex = SlotOfHandle(handle);
        if (slotIndex == -1 || out == nullptr) return 0;
        double value = 0.0;
        if (!GetProperty(slotIndex, propertyIndex, &value)) return 0;
        *out = static_cast<int>(value);
        return 1;
    });
}

}  // namespace

}  // namespace nuv

using namespace nuv;

NuvBool NUV_CALL NuvSetLed(int handle, int level) {
    return SetExport(handle, level, static_cast<unsigned>(level) <= 64u, kPropertyLed);
}
NuvBool NUV_CALL NuvGetLed(int handle, int *level) { return GetExport(handle, level, kPropertyLed); }

NuvBool NUV_CALL NuvSetColorBar(int handle, int on) {
    return SetExport(handle, on, on == 0 || on == 1, kPropertyColorBar);
}
NuvBool NUV_CALL NuvGetColorBar(int handle, int *on) { return GetExport(handle, on, kPropertyColorBar); }

NuvBool NUV_CALL NuvSetGain(int handle, int gain) {
    return SetExport(handle, gain, static_cast<unsigned>(gain) <= 240u, kPropertyGain);
}
NuvBool NUV_CALL NuvGetGain(int handle, int *gain) { return GetExport(handle, gain, kPropertyGain); }

NuvBool NUV_CALL NuvSetExposure(int handle, int exposure) {
    return SetExport(handle, exposure, exposure >= -13 && exposure <= 0, kPropertyExposure);
}
NuvBool NUV_CALL NuvGetExposure(int handle, int *exposure) { return GetExport(handle, exposure, kPropertyExposure); }

NuvBool NUV_CALL NuvSetCameraNo(int handle, int cameraNo) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        if (SetExport(handle, cameraNo, cameraNo == 1 || cameraNo == 2, kPropertyCameraNumber) == 0) return 0;
        // The number chooses the correction data of the frames from now on.
        if (CameraRecord *record = LookUpCamera(handle)) {
            auto lock = LockRegistry();
            record->cameraNumberIndex = cameraNo - 1;
        }
        return 1;
    });
}
NuvBool NUV_CALL NuvGetCameraNo(int handle, int *cameraNo) {
    return GetExport(handle, cameraNo, kPropertyCameraNumber);
}
