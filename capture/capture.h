// The capture pipeline as the other subsystems see it: the graph build, the
// teardown and the release of a camera slot's framework objects.
#pragma once

#include "api/registry.h"
#include "platform/com_ref.h"
#include "platform/os.h"

namespace nuv {

// Build statuses left in a slot after a failed graph build; 0 is success and
// -1 means the build has not finished.
enum BuildStatus : int {
    kBuildOk = 0,
    kBuildFilterGraph = 3,
    kBuildDeviceEnumerator = 4,
    kBuildClassEnumerator = 5,
    kBuildDisplayName = 6,
    kBuildAddCaptureFilter = 7,
    kBuildNoDevices = 8,
    kBuildNoDeviceBound = 9,
    kBuildCaptureBuilder = 10,
    kBuildStreamConfig = 11,
    kBuildSetFormat = 12,
    kBuildSampleGrabber = 13,
    kBuildGrabberMediaType = 14,
    kBuildAddGrabber = 15,
    kBuildConnect = 16,
    kBuildBufferSamples = 17,
    kBuildOneShot = 18,
    kBuildCallback = 19,
    kBuildMediaEvent = 20,
    kBuildMediaControl = 21,
    kBuildRun = 22,
    kBuildNoFirstFrame = 24,
};

// How long the build waits for completion and for the first frame, and how
// many times a graph that did not start or sent no frame is built again.
inline constexpr DWORD kFirstFrameTimeoutMs = 3000;
inline constexpr int kBuildAttempts = 3;

// Builds, starts and checks slot slotIndex's capture graph from the request
// in the slot (width, height, frame rate, device index, requested subtype).
// Leaves 0 or the failed item's status in the slot's build status, and the
// running flag 1 on success; a failed build holds no framework object. The
// caller holds the process lifecycle lock and not the slot's graph lock.
void BuildCaptureGraph(int slotIndex);

// Stops and dismantles a running slot's graph: 0 done, 1 nothing to do
// (index out of range or slot not running), 2 the framework refused a step
// (the slot stays as it was from that step on). After the last running slot
// it ends the library's COM initialisation and forgets the device count.
// Must not be called with the slot's graph lock held.
int TeardownGraph(int slotIndex);

// Detaches the sample callback, frees the frame buffer and the callback
// object, then releases every framework object of the slot. The graph must
// not be running (no callback may still be on its way). Never fails. Takes
// the slot's graph lock.
void ReleaseGraph(int slotIndex);

// The first pin of filter, in the filter's pin order, with the given
// direction; empty when there is none or the pins cannot be listed.
ComRef<IPin> FindPin(IBaseFilter *filter, PIN_DIRECTION direction);

}  // namespace nuv
