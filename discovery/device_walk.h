// The one walk over the video-input category: the device listing, the format
// listing and the capture-graph build all count plug-and-play devices the
// same way, so position k is the same device for each of them.
#pragma once

#include <functional>

#include "common/text.h"
#include "platform/com_ref.h"
#include "platform/os.h"

namespace nuv {

// The objects every enumeration starts from: a filter graph (scratch, or
// the build's own), the system device enumerator and the category's moniker
// enumerator. Returns kBuildOk, or the status of the step that failed
// (3, 4 or 5; an empty category, S_FALSE, counts as failure).
int OpenVideoCategory(ComRef<IGraphBuilder> &graph, ComRef<ICreateDevEnum> &devices, ComRef<IEnumMoniker> &monikers);

// A plug-and-play device as the walk meets it.
struct PnpDevice {
    IMoniker *moniker = nullptr;  // held by the walk while the visit runs
    int position = 0;             // among plug-and-play devices, from 0
    int monikerIndex = 0;         // among all monikers the walk took, from 0
    char displayName[kDisplayNameSize] = {};
    char friendlyName[kDeviceNameSize] = {};  // "" without one, or when not read
};

enum class WalkOn { kNext, kStop };

struct WalkLimits {
    int monikers = -1;           // how many monikers to take at most; -1: all
    bool friendlyNames = true;   // read each device's "FriendlyName"
};

// Takes monikers one at a time; every moniker's display name is read, and
// only those containing "@device:pnp" are visited, in enumeration order.
// Returns kBuildOk when the category ran out, the limit was reached or the
// visit stopped the walk, kBuildDisplayName when a display name could not be
// read. Every framework result is kept as the last COM status.
int WalkVideoDevices(IEnumMoniker *monikers, WalkLimits limits, const std::function<WalkOn(PnpDevice &)> &visit);

// Binds the device's moniker to its capture filter and adds the filter to
// graph as "Video Capture <nameIndex>". False when either fails (a device
// that cannot be bound fails as adding it would).
bool AddCaptureFilter(IGraphBuilder *graph, IMoniker *moniker, int nameIndex, ComRef<IBaseFilter> &filter);

}  // namespace nuv
