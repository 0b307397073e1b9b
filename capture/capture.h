// The capture pipeline as the other subsystems (and the tests) call it: the
// graph build, the teardown, the release of a slot's framework objects and
// the video-property calls on a slot's capture filter.
#pragma once

#include "common/build_status.h"
#include "platform/com_ref.h"
#include "platform/os.h"

namespace nuv {

// How long the build waits for completion and for the first frame, and how
// many times a graph that did not start or sent no frame is built again.
inline constexpr DWORD kFirstFrameTimeoutMs = 3000;
inline constexpr int kBuildAttempts = 3;

// Builds, starts and checks slot slotIndex's capture graph from the request
// in the slot (width, height, frame rate, device index, requested subtype).
// Leaves 0 or the failed item's status in the slot's build status, and the
// running flag 1 on success; a failed build holds no framework object. The
// caller does not hold the slot's graph lock.
void BuildCaptureGraph(int slotIndex);

// Stops and dismantles a running slot's graph: 0 done, 1 nothing to do
// (index out of range or slot not running), 2 the framework refused a step
// (the graph stays in place, but detached: nothing reaches the slot any
// more). Must not be called with the slot's graph lock held.
int TeardownGraph(int slotIndex);

// Detaches the sample callback, frees the frame buffer and releases every
// framework object of the slot, the callback object last. The graph must
// not be running. Never fails.
void ReleaseGraph(int slotIndex);

// The first pin of filter, in the filter's pin order, with the given
// direction; empty when there is none or the pins cannot be listed.
ComRef<IPin> FindPin(IBaseFilter *filter, PIN_DIRECTION direction);

// Video property propertyIndex (0..9 the processing amplifier's, 10..16 the
// camera control's 0..6) of a running slot. Both fail, without reaching the
// camera, for a slot index out of 0..9, a slot that is not running, an index
// out of 0..16 or a property the camera did not answer when it was opened.
// SetProperty truncates the value toward zero and refuses it outside the
// range the camera reports; it then succeeds exactly when the camera accepts
// it. GetProperty writes *value only on success.
bool SetProperty(int slotIndex, int propertyIndex, double value);
bool GetProperty(int slotIndex, int propertyIndex, double *value);

}  // namespace nuv
