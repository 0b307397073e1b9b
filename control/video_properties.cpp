// Video properties and the ten exports built on them.
//
// A property call holds the slot's graph lock while it talks to the capture
// filter, so a close on another thread cannot release the filter under it;
// the call then finds the slot no longer running and fails cleanly.
#include "control/video_properties.h"

#include <climits>
#include <cmath>
#include <mutex>

#include "api/registry.h"
#include "capture/capture_internal.h"
#include "nuv.h"

namespace nuv {

namespace {

enum class Direction { Set, Get };

// The interface of a property index, held only for this one call: both
// property interfaces have the same three operations.
template <class Interface>
bool UseProperty(ComRef<Interface> &held, IBaseFilter *filter, REFIID iid, long property, Direction direction,
                 double *value) {
    if (NoteCom(filter->QueryInterface(iid, held.putVoid())) != S_OK || !held) {
        held.reset();
        return false;
    }
    bool ok = false;
    long minimum = 0, maximum = 0, step = 0, initial = 0, caps = 0;
    if (NoteCom(held->GetRange(property, &minimum, &maximum, &step, &initial, &caps)) == S_OK) {
        if (direction == Direction::Set) {
            // Truncated toward zero; the stepping is not applied.
            const double truncated = std::trunc(*value);
            if (truncated >= static_cast<double>(INT_MIN) && truncated <= static_cast<double>(INT_MAX)) {
                const long requested = static_cast<long>(truncated);
                if (requested >= minimum && requested <= maximum)
                    ok = NoteCom(held->Set(property, requested, 2)) == S_OK;
            }
        } else {
            long current = 0, flags = 0;
            if (NoteCom(held->Get(property, &current, &flags)) == S_OK) {
                *value = static_cast<double>(current);
                ok = true;
            }
        }
    }
    held.reset();
    return ok;
}

bool CallProperty(int slotIndex, int propertyIndex, Direction direction, double *value) {
    if (slotIndex < 0 || slotIndex >= kCameraCount || propertyIndex < 0 || propertyIndex >= kPropertyCount)
        return false;
    CameraSlot &slot = Slot(slotIndex);
    if (slot.running.load() == 0) return false;
    std::lock_guard<std::mutex> hold(slot.graphLock);
    // Checked again under the lock: a close may have finished meanwhile.
    if (slot.running.load() == 0 || slot.propertySupport[propertyIndex] == 0 || !slot.captureFilter) return false;
    if (propertyIndex < 10)
        return UseProperty(slot.procAmp, slot.captureFilter.get(), IID_IAMVideoProcAmp, propertyIndex, direction,
                           value);
    return UseProperty(slot.cameraControl, slot.captureFilter.get(), IID_IAMCameraControl, propertyIndex - 10,
                       direction, value);
}

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

bool SetProperty(int slotIndex, int propertyIndex, double value) {
    return CallProperty(slotIndex, propertyIndex, Direction::Set, &value);
}

bool GetProperty(int slotIndex, int propertyIndex, double *value) {
    if (value == nullptr) return false;
    double read = 0.0;
    if (!CallProperty(slotIndex, propertyIndex, Direction::Get, &read)) return false;
    *value = read;
    return true;
}

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
