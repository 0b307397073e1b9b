// Video properties on a slot's capture filter. A property call holds the
// slot's graph lock while it talks to the filter, so a close on another
// thread cannot release the filter under it; the call then finds the slot no
// longer running and fails cleanly.
#include <climits>
#include <cmath>
#include <mutex>

#include "capture/capture.h"
#include "capture/capture_slot.h"
#include "common/com.h"

namespace nuv {

namespace {

enum class Direction { kSet, kGet };

// The interface of a property index, held only for this one call: both
// property interfaces have the same three operations.
template <class Interface>
bool UseProperty(IBaseFilter *filter, REFIID iid, long property, Direction direction, double *value) {
    ComRef<Interface> control;
    if (NoteCom(filter->QueryInterface(iid, control.putVoid())) != S_OK || !control) return false;
    long minimum = 0, maximum = 0, step = 0, initial = 0, caps = 0;
    if (NoteCom(control->GetRange(property, &minimum, &maximum, &step, &initial, &caps)) != S_OK) return false;
    if (direction == Direction::kSet) {
        // Truncated toward zero; the stepping is not applied.
        const double truncated = std::trunc(*value);
        if (!(truncated >= static_cast<double>(INT_MIN) && truncated <= static_cast<double>(INT_MAX))) return false;
        const long requested = static_cast<long>(truncated);
        if (requested < minimum || requested > maximum) return false;
        return NoteCom(control->Set(property, requested, 2)) == S_OK;
    }
    long current = 0, flags = 0;
    if (NoteCom(control->Get(property, &current, &flags)) != S_OK) return false;
    *value = static_cast<double>(current);
    return true;
}

bool CallProperty(int slotIndex, int propertyIndex, Direction direction, double *value) {
    if (slotIndex < 0 || slotIndex >= kCameraCount || propertyIndex < 0 || propertyIndex >= kPropertyCount)
        return false;
    CaptureSlot &slot = Slot(slotIndex);
    if (slot.running.load() == 0) return false;
    std::lock_guard<std::mutex> hold(slot.graphLock);
    // Checked again under the lock: a close may have finished meanwhile.
    if (slot.running.load() == 0 || slot.propertySupport[propertyIndex] == 0 || !slot.graph ||
        !slot.graph->captureFilter)
        return false;
    IBaseFilter *filter = slot.graph->captureFilter.get();
    if (propertyIndex < 10)
        return UseProperty<IAMVideoProcAmp>(filter, IID_IAMVideoProcAmp, propertyIndex, direction, value);
    return UseProperty<IAMCameraControl>(filter, IID_IAMCameraControl, propertyIndex - 10, direction, value);
}

}  // namespace

bool SetProperty(int slotIndex, int propertyIndex, double value) {
    return CallProperty(slotIndex, propertyIndex, Direction::kSet, &value);
}

bool GetProperty(int slotIndex, int propertyIndex, double *value) {
    if (value == nullptr) return false;
    double read = 0.0;
    if (!CallProperty(slotIndex, propertyIndex, Direction::kGet, &read)) return false;
    *value = read;
    return true;
}

}  // namespace nuv
