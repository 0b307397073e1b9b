// The capture side of the ten camera slots: each slot's request, its graph
// (the framework objects and the sample callback, owned together) and its
// frames (the newest frame and its lock), and capture's own process state.
// Only capture's sources (and its testing header) see it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "api/registry.h"
#include "capture/sample_grabber_cb.h"
#include "common/text.h"
#include "platform/aligned_buffer.h"
#include "platform/com_ref.h"
#include "platform/os.h"

namespace nuv {

inline constexpr int kPropertyCount = 17;

// The newest frame of a slot. The streaming thread writes it and
// NuvReceiveImage reads it under lock, so no frame is ever torn; the
// teardown frees it under the same lock.
struct FrameStore {
    std::mutex lock;
    AlignedArray<std::uint8_t> buffer;
    std::size_t capacity = 0;
    std::atomic<int> length{0};
    std::atomic<double> sampleTime{0.0};
    // The callback of the slot's graph while it is attached; under lock.
    ewc_SampleGrabberCB *callback = nullptr;
};

// The framework objects of a slot's graph, with its sample callback. Declared
// in the order the build makes them, so destruction releases them in the
// teardown's order: media event, grabber interface and filter, graph
// builder, capture filter, filter graph, and the callback last (a grabber
// that refused to let go of it releases it only when it goes).
struct CaptureGraph {
    std::unique_ptr<ewc_SampleGrabberCB> callback;
    ComRef<IGraphBuilder> filterGraph;
    ComRef<IBaseFilter> captureFilter;
    ComRef<ICaptureGraphBuilder2> captureBuilder;
    ComRef<IBaseFilter> grabberFilter;
    ComRef<ISampleGrabber> grabber;
    ComRef<IMediaEvent> mediaEvent;
};

struct CaptureSlot {
    // The request, and what the build bound. Written by the open and the
    // build under graphLock.
    int width = 0;
    int height = 0;
    double frameRate = 0.0;
    int deviceIndex = 0;
    int devicePosition = 0;
    char friendlyName[kDeviceNameSize] = {};
    char displayName[kDisplayNameSize] = {};
    GUID requestedSubtype = {};
    char requestedFormatName[kFormatNameSize] = {};
    GUID subtype = {};
    char formatName[kFormatNameSize] = {};
    int propertySupport[kPropertyCount] = {};
    std::atomic<int> running{0};
    std::atomic<int> buildStatus{0};

    // Held by the build, the teardown and every property call for the whole
    // of their framework calls. The streaming thread never takes it.
    std::mutex graphLock;
    std::unique_ptr<CaptureGraph> graph;

    FrameStore frames;
};

// Capture's process state.
struct CaptureState {
    // Plug-and-play devices the first build of an idle period counted; -1
    // when no build ran since the library was loaded or last went idle.
    std::atomic<int> deviceCount{-1};
    // One per slot: 1 while the slot's graph holds a bound device.
    std::atomic<int> deviceBound[kCameraCount] = {};

    // The values a build takes for a zero width, height or frame rate; each
    // build stores back what it used.
    std::mutex settingsLock;
    int lastWidth = 640;
    int lastHeight = 480;
    double lastFrameRate = 30.0;

    // The choice of a record and slot for an open, and the COM bookkeeping
    // of idle periods, one open or close at a time. Held only for that
    // bookkeeping, never across a build.
    std::mutex openLock;
    int opening = 0;                       // opens between their choice and their end
    bool reserved[kCameraCount] = {};      // slots those opens hold
};

CaptureSlot &Slot(int index);
CaptureState &Capture();

// The slot of a record in use, or null when its slot index is out of 0..9.
CaptureSlot *SlotOf(const CameraRecord &record);

// ReleaseGraph for a caller that holds the slot's graph lock.
void ReleaseGraphLocked(int slotIndex);

// TeardownGraph without its end of the idle period, for a caller that holds
// the open lock.
int StopAndReleaseGraph(int slotIndex);

// When no slot runs and no open is under way, the idle period ends: the
// library's COM initialisation is undone and the device count forgotten,
// so that the next open starts afresh. The caller holds the open lock.
void EndIdlePeriodIfNothingRuns();

}  // namespace nuv
