// The capture graph of a camera slot: build (with its first-frame check and
// retries), teardown, and the release of its framework objects.
//
// Order is what keeps the streaming thread safe: a graph is always stopped
// and its callback detached before the frame buffer is freed, and the
// callback object goes only after every framework object that could hold it.
#include <cmath>
#include <cstring>
#include <mutex>

#include "capture/capture.h"
#include "capture/capture_slot.h"
#include "common/com.h"
#include "common/holders.h"
#include "discovery/device_walk.h"
#include "discovery/discovery.h"

namespace nuv {

namespace {

CaptureSlot gSlots[kCameraCount];
CaptureState gCapture;

// Stops frames from reaching the slot: the grabber is asked to let go of the
// callback, and the callback drops whatever still arrives (a grabber that
// refused, or a graph that could not be stopped). Then the frame buffer
// goes. The result of the detach is not kept as the last COM status.
void Detach(CaptureSlot &slot, CaptureGraph &graph, bool freeFrames) {
    if (graph.grabber) graph.grabber->SetCallback(nullptr, 1);
    std::lock_guard<std::mutex> hold(slot.frames.lock);
    if (graph.callback) graph.callback->Detach();
    slot.frames.callback = nullptr;
    if (freeFrames) {
        slot.frames.buffer.reset();
        slot.frames.capacity = 0;
    }
}

// Releases what a graph holds, in the teardown's order (the declaration
// order of CaptureGraph), after detaching it.
void Dismantle(int slotIndex, CaptureSlot &slot, std::unique_ptr<CaptureGraph> graph) {
    if (slot.devicePosition != -1) gCapture.deviceBound[slotIndex] = 0;
    CaptureGraph none;
    Detach(slot, graph ? *graph : none, true);
    graph.reset();
}

// Stops the graph of a failed build. Its results are not kept as the last
// COM status: that stays the result of the step that failed.
void StopGraph(const CaptureGraph &graph) {
    if (!graph.filterGraph) return;
    ComRef<IMediaControl> control;
    if (graph.filterGraph.query(IID_IMediaControl, control) == S_OK && control) control->Stop();
}

// Walks the video-input category for the build, counts the
// plug-and-play devices and binds the one the slot asks for.
int BindDevice(int slotIndex, CaptureSlot &slot, CaptureGraph &graph, IEnumMoniker *monikers) {
    bool bound = false;
    bool added = true;
    int plugAndPlay = 0;
    const int walked = WalkVideoDevices(monikers, WalkLimits{}, [&](PnpDevice &device) {
        plugAndPlay = device.position + 1;
        const bool matches = slot.deviceIndex == -1 || slot.deviceIndex == device.position;
        if (!matches || bound || gCapture.deviceBound[slotIndex].load() != 0) return WalkOn::kNext;
        if (!AddCaptureFilter(graph.filterGraph.get(), device.moniker, slotIndex, graph.captureFilter)) {
            added = false;
            return WalkOn::kStop;
        }
        slot.devicePosition = device.position;
        std::memcpy(slot.friendlyName, device.friendlyName, sizeof slot.friendlyName);
        std::memcpy(slot.displayName, device.displayName, sizeof slot.displayName);
        gCapture.deviceBound[slotIndex] = 1;
        bound = true;
        return WalkOn::kNext;  // the walk goes on to count every device
    });
    if (walked != kBuildOk) return walked;
    if (!added) return kBuildAddFilter;
    int unknown = -1;
    gCapture.deviceCount.compare_exchange_strong(unknown, plugAndPlay);
    if (gCapture.deviceCount.load() == 0) return kBuildNoDevices;
    if (!bound) return kBuildNoDevice;
    return kBuildOk;
}

// The device's current format with the request written into it.
int SetFormat(CaptureSlot &slot, IAMStreamConfig *config) {
    MediaType format;
    if (NoteCom(config->GetFormat(format.put())) != S_OK || !format) return kBuildSetFormat;
    {
        std::lock_guard<std::mutex> hold(gCapture.settingsLock);
        if (slot.width == 0) slot.width = gCapture.lastWidth;
        if (slot.height == 0) slot.height = gCapture.lastHeight;
        if (slot.frameRate == 0.0) slot.frameRate = gCapture.lastFrameRate;
        gCapture.lastWidth = slot.width;
        gCapture.lastHeight = slot.height;
        gCapture.lastFrameRate = slot.frameRate;
    }
    VIDEOINFOHEADER *info = format.VideoInfo();
    if (info == nullptr) return kBuildSetFormat;
    // A rate whose frame interval cannot be expressed is refused here rather
    // than converted with undefined results.
    const double interval = std::floor(1e7 / slot.frameRate + 0.5);
    if (!std::isfinite(interval) || interval < -9.0e18 || interval > 9.0e18) return kBuildSetFormat;
    info->bmiHeader.biWidth = slot.width;
    info->bmiHeader.biHeight = slot.height;
    info->AvgTimePerFrame = static_cast<REFERENCE_TIME>(interval);
    format->subtype = slot.requestedSubtype;
    slot.subtype = slot.requestedSubtype;
    FormatNameFromSubtype(slot.requestedSubtype, slot.requestedFormatName);
    FormatNameFromSubtype(slot.subtype, slot.formatName);
    return NoteCom(config->SetFormat(format.get())) == S_OK ? kBuildOk : kBuildSetFormat;
}

template <class Interface>
void ProbeRanges(IBaseFilter *filter, REFIID iid, int *flags, int count) {
    for (int k = 0; k < count; ++k) flags[k] = 0;
    ComRef<Interface> control;
    if (NoteCom(filter->QueryInterface(iid, control.putVoid())) != S_OK || !control) return;
    long minimum = 0, maximum = 0, step = 0, initial = 0, caps = 0;
    for (int k = 0; k < count; ++k)
        flags[k] = NoteCom(control->GetRange(k, &minimum, &maximum, &step, &initial, &caps)) == S_OK ? 1 : 0;
}

// One attempt of the build, into graph; the slot's graph lock is held.
// The device bound, the graph builder attached and the stream format set.
int AddCaptureDevice(int slotIndex, CaptureSlot &slot, CaptureGraph &graph) {
    {
        ComRef<ICreateDevEnum> devices;
        ComRef<IEnumMoniker> monikers;
        if (const int status = OpenVideoCategory(graph.filterGraph, devices, monikers); status != kBuildOk)
            return status;
        if (const int status = BindDevice(slotIndex, slot, graph, monikers.get()); status != kBuildOk) return status;
    }
    if (NoteCom(os::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICaptureGraphBuilder2, graph.captureBuilder.putVoid())) != S_OK ||
        !graph.captureBuilder || NoteCom(graph.captureBuilder->SetFiltergraph(graph.filterGraph.get())) != S_OK)
        return kBuildCaptureGraphBuilder;
    ComRef<IAMStreamConfig> config;
    if (NoteCom(graph.captureBuilder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video,
                                                    graph.captureFilter.get(), IID_IAMStreamConfig,
                                                    config.putVoid())) != S_OK ||
        !config)
        return kBuildFindInterface;
    return SetFormat(slot, config.get());
}

// The sample grabber added behind the capture pin, with the slot's callback
// attached (the frame store emptied for it first).
int AddGrabber(int slotIndex, CaptureSlot &slot, CaptureGraph &graph) {
    if (NoteCom(os::CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     graph.grabberFilter.putVoid())) != S_OK ||
        !graph.grabberFilter || NoteCom(graph.grabberFilter.query(IID_ISampleGrabber, graph.grabber)) != S_OK ||
        !graph.grabber)
        return kBuildSampleGrabber;
    AM_MEDIA_TYPE grabberType = {};
    grabberType.majortype = MEDIATYPE_Video;
    grabberType.subtype = slot.requestedSubtype;
    grabberType.formattype = FORMAT_VideoInfo;
    if (NoteCom(graph.grabber->SetMediaType(&grabberType)) != S_OK) return kBuildSetMediaType;
    OLECHAR grabberName[32];
    WideNumbered(grabberName, sizeof grabberName / sizeof grabberName[0], "Grabber ", slotIndex);
    if (NoteCom(graph.filterGraph->AddFilter(graph.grabberFilter.get(), grabberName)) != S_OK)
        return kBuildAddGrabber;
    {
        const ComRef<IPin> captureOut = FindPin(graph.captureFilter.get(), PINDIR_OUTPUT);
        const ComRef<IPin> grabberIn = FindPin(graph.grabberFilter.get(), PINDIR_INPUT);
        if (!captureOut || !grabberIn ||
            NoteCom(graph.filterGraph->Connect(captureOut.get(), grabberIn.get())) != S_OK)
            return kBuildConnect;
    }
    if (NoteCom(graph.grabber->SetBufferSamples(FALSE)) != S_OK) return kBuildSetBufferSamples;
    if (NoteCom(graph.grabber->SetOneShot(FALSE)) != S_OK) return kBuildSetOneShot;

    graph.callback = std::make_unique<ewc_SampleGrabberCB>(slotIndex, slot.frames);
    {
        std::lock_guard<std::mutex> hold(slot.frames.lock);
        slot.frames.buffer.reset();
        slot.frames.capacity = 0;
        slot.frames.length = 0;
        slot.frames.sampleTime = 0.0;
        slot.frames.callback = graph.callback.get();
    }
    if (NoteCom(graph.grabber->SetCallback(graph.callback.get(), 1)) != S_OK) return kBuildSetCallback;
    return kBuildOk;
}

// The graph run, and its first frame awaited. ran tells the caller that the
// graph must be stopped before it goes.
int RunUntilFirstFrame(CaptureSlot &slot, CaptureGraph &graph, bool &ran) {
    if (NoteCom(graph.filterGraph.query(IID_IMediaEvent, graph.mediaEvent)) != S_OK || !graph.mediaEvent)
        return kBuildMediaEvent;
    {
        ComRef<IMediaControl> control;
        if (NoteCom(graph.filterGraph.query(IID_IMediaControl, control)) != S_OK || !control)
            return kBuildMediaControl;
        ran = true;
        if (NoteCom(control->Run()) != S_OK) return kBuildRun;
    }

    // A running capture graph does not complete: this is a pause while the
    // first frames arrive; its outcome is not looked at.
    long eventCode = 0;
    NoteCom(graph.mediaEvent->WaitForCompletion(static_cast<long>(kFirstFrameTimeoutMs), &eventCode));

    // The first frame: the poll yields the processor between looks (a
    // spinning poll would starve the streaming thread on a busy machine)
    // and stays bounded by the time-out.
    const DWORD start = os::GetTickCount();
    while (slot.frames.length.load() == 0) {
        if (static_cast<DWORD>(os::GetTickCount() - start) > kFirstFrameTimeoutMs) return kBuildFirstFrame;
        os::Sleep(1);
    }
    return kBuildOk;
}

int BuildAttempt(int slotIndex, CaptureSlot &slot, CaptureGraph &graph, bool &ran) {
    if (const int status = AddCaptureDevice(slotIndex, slot, graph); status != kBuildOk) return status;
    if (const int status = AddGrabber(slotIndex, slot, graph); status != kBuildOk) return status;
    ProbeRanges<IAMVideoProcAmp>(graph.captureFilter.get(), IID_IAMVideoProcAmp, slot.propertySupport, 10);
    ProbeRanges<IAMCameraControl>(graph.captureFilter.get(), IID_IAMCameraControl, slot.propertySupport + 10, 7);
    return RunUntilFirstFrame(slot, graph, ran);
}

}  // namespace

void ReleaseGraphLocked(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    Dismantle(slotIndex, gSlots[slotIndex], std::move(gSlots[slotIndex].graph));
}

CaptureSlot &Slot(int index) { return gSlots[index]; }
CaptureState &Capture() { return gCapture; }

CaptureSlot *SlotOf(const CameraRecord &record) {
    const int index = record.slotIndex.load();
    return (index >= 0 && index < kCameraCount) ? &gSlots[index] : nullptr;
}

ComRef<IPin> FindPin(IBaseFilter *filter, PIN_DIRECTION direction) {
    ComRef<IPin> found;
    if (filter == nullptr) return found;
    ComRef<IEnumPins> pins;
    if (NoteCom(filter->EnumPins(pins.put())) != S_OK || !pins) return found;
    for (;;) {
        ComRef<IPin> pin;
        ULONG fetched = 0;
        if (pins->Next(1, pin.put(), &fetched) != S_OK || !pin) break;
        PIN_DIRECTION pinDirection = PINDIR_INPUT;
        if (NoteCom(pin->QueryDirection(&pinDirection)) == S_OK && pinDirection == direction) {
            found = std::move(pin);
            break;
        }
    }
    return found;
}

void ReleaseGraph(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    std::lock_guard<std::mutex> hold(gSlots[slotIndex].graphLock);
    ReleaseGraphLocked(slotIndex);
}

void BuildCaptureGraph(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    CaptureSlot &slot = gSlots[slotIndex];
    std::lock_guard<std::mutex> hold(slot.graphLock);
    int status = kBuildOk;
    for (int attempt = 0; attempt < kBuildAttempts; ++attempt) {
        auto graph = std::make_unique<CaptureGraph>();
        bool ran = false;
        try {
            status = BuildAttempt(slotIndex, slot, *graph, ran);
        } catch (...) {
            status = kBuildSetCallback;
        }
        if (status == kBuildOk) {
            slot.graph = std::move(graph);
            slot.running = 1;
            slot.buildStatus = kBuildOk;
            return;
        }
        // A graph that was started is stopped before its buffer and callback
        // go, so no frame lands in freed memory.
        if (ran) StopGraph(*graph);
        Dismantle(slotIndex, slot, std::move(graph));
        if (status != kBuildRun && status != kBuildFirstFrame) break;
    }
    slot.buildStatus = status;
}

int TeardownGraph(int slotIndex) {
    const int result = StopAndReleaseGraph(slotIndex);
    if (result == 0) {
        std::lock_guard<std::mutex> hold(gCapture.openLock);
        EndIdlePeriodIfNothingRuns();
    }
    return result;
}

int StopAndReleaseGraph(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return 1;
    CaptureSlot &slot = gSlots[slotIndex];
    std::lock_guard<std::mutex> hold(slot.graphLock);
    if (slot.running.load() == 0 || !slot.graph) return 1;
    CaptureGraph &graph = *slot.graph;
    // A refused step leaves the graph in place (a later open tries again),
    // but it no longer delivers into the slot.
    auto refuse = [&] {
        Detach(slot, graph, false);
        return 2;
    };
    {
        ComRef<IMediaControl> control;
        if (NoteCom(graph.filterGraph.query(IID_IMediaControl, control)) != S_OK || !control) return refuse();
        NoteCom(control->Stop());
    }
    if (graph.mediaEvent) {
        long eventCode = 0;
        if (NoteCom(graph.mediaEvent->WaitForCompletion(static_cast<long>(kFirstFrameTimeoutMs), &eventCode)) ==
            E_ABORT)
            return refuse();
    }
    ReleaseGraphLocked(slotIndex);
    slot.running = 0;
    return 0;
}

}  // namespace nuv
